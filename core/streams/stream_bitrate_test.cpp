// The send bit-rate arithmetic: the rates CalcBitrate hands to OnChangeStreamBitrate for calls and
// conferences (audio steps, the audio and data shares, frame-rate rounding, the pixel table and
// its ends, pictures under 256 pixels and out-of-range inputs), the first bandwidth of a TCP send
// stream around each threshold, and restrictions from the server or a peer applied to a recording
// media-format adapter, hostile values included.

#include "core/streams/stream_bitrate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/media/format/media_format_adapter.h"
#include "core/wire/media_format.h"

namespace {

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();

struct Rates {
  uint32_t rate, second, third, fps, audio;
  bool operator==(const Rates&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rates& r) {
  return os << "(" << r.rate << ", " << r.second << ", " << r.third << ", " << r.fps << ", "
            << r.audio << ")";
}

class RecordingBitrate : public HXStreamBitrate {
 public:
  void OnChangeStreamBitrate(uint32_t rate, uint32_t second, uint32_t third, uint32_t fps,
                             uint32_t audio) override {
    calls.push_back({rate, second, third, fps, audio});
  }
  std::vector<Rates> calls;
};

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t frameRate, uint32_t stereo = 0) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  format.frameRate = frameRate;
  format.stereo = stereo;
  return format;
}

struct CalcCase {
  std::string name;
  HX_MediaFormat format;
  uint32_t bandwidth, base, max, audio, data, fpsLimit;
  HX_Conference_Type type;
  Rates expected;
};

class CalcBitrateTest : public testing::TestWithParam<CalcCase> {};

TEST_P(CalcBitrateTest, OneCallWithTheRates) {
  const CalcCase& c = GetParam();
  RecordingBitrate bitrate;
  bitrate.CalcBitrate(c.format, c.bandwidth, c.base, c.max, c.audio, /*video*/ 777, c.data,
                      c.fpsLimit, /*lastFps*/ 1234, false, true, c.type);
  ASSERT_EQ(bitrate.calls.size(), 1u);
  EXPECT_EQ(bitrate.calls[0], c.expected);
}

const HX_MediaFormat kQvga15 = Format(320, 240, 15);  // 300 units: key 900
const HX_MediaFormat kVga15 = Format(640, 480, 15);   // 1200 units: key 1620
const HX_MediaFormat kOneUnit60 = Format(16, 16, 60);

INSTANTIATE_TEST_SUITE_P(
    StreamBitrate, CalcBitrateTest,
    testing::Values(
        // Bandwidth 10 counts as 16; 16 / 10 = 1 <= 20 leaves 6 for video, raised to 10. The frame
        // rate is the limit 700, below the format's 1500.
        CalcCase{"SmallBandwidthConference",
                 kQvga15,
                 10,
                 300,
                 400,
                 10,
                 0,
                 700,
                 5,
                 {10, 300, 400, 700, 12000}},
        // In a call the picture size holds the rate: 10 / 0.005265437 / 300 x 100 = 633.
        CalcCase{
            "SmallBandwidthCall", kQvga15, 10, 300, 400, 10, 0, 700, 0, {16, 10, 10, 633, 12000}},
        // 640x480 takes the value of key 1620: 500 buys 7416 (x 100) frames, so 15 frames stay.
        CalcCase{"VgaCall", kVga15, 500, 0, 0, 0, 0, 3000, 0, {500, 500, 500, 1500, 56000}},
        // Audio takes its share once it is a twentieth of the bandwidth or more.
        CalcCase{"AudioTwentieth", kVga15, 1000, 1, 2, 50, 0, 700, 6, {950, 1, 2, 700, 56000}},
        CalcCase{
            "AudioJustOverTwentieth", kVga15, 1000, 1, 2, 49, 0, 700, 6, {951, 1, 2, 700, 56000}},
        CalcCase{
            "AudioUnderTwentieth", kVga15, 1000, 1, 2, 47, 0, 700, 6, {1000, 1, 2, 700, 56000}},
        // Measured audio above the bandwidth: the budget goes below 0 and comes back as 10.
        CalcCase{"AudioAboveBandwidthConference",
                 kVga15,
                 100,
                 1,
                 2,
                 200,
                 0,
                 700,
                 5,
                 {10, 1, 2, 700, 24000}},
        CalcCase{"AudioAboveBandwidthCall",
                 kOneUnit60,
                 100,
                 1,
                 2,
                 200,
                 0,
                 700,
                 0,
                 {100, 10, 10, 700, 24000}},
        // Data above a twentieth of the budget in a call: 512 / (sqrt(512 / 128) + 1) = 171.
        CalcCase{
            "DataShareCall", kOneUnit60, 512, 0, 0, 0, 26, 700, 0, {512, 171, 171, 700, 56000}},
        CalcCase{"DataWithinShareCall",
                 kOneUnit60,
                 512,
                 0,
                 0,
                 0,
                 25,
                 700,
                 0,
                 {512, 512, 512, 700, 56000}},
        CalcCase{"DataIgnoredInConference",
                 kOneUnit60,
                 512,
                 0,
                 0,
                 0,
                 1000,
                 700,
                 6,
                 {512, 0, 0, 700, 56000}},
        // The frame rate is rounded to whole frames, halves up, and is at least one frame.
        CalcCase{"FpsRoundsDown", kOneUnit60, 512, 0, 0, 0, 0, 1549, 5, {512, 0, 0, 1500, 56000}},
        CalcCase{"FpsRoundsUp", kOneUnit60, 512, 0, 0, 0, 0, 1550, 5, {512, 0, 0, 1600, 56000}},
        CalcCase{"FpsAtLeastOneFrame", kOneUnit60, 512, 0, 0, 0, 0, 49, 5, {512, 0, 0, 100, 56000}},
        CalcCase{"FpsLimitZero", kOneUnit60, 512, 0, 0, 0, 0, 0, 5, {512, 0, 0, 100, 56000}},
        CalcCase{"FormatWithoutFrameRate",
                 Format(16, 16, 0),
                 512,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 5,
                 {512, 0, 0, 100, 56000}},
        CalcCase{"FormatFrameRateBelowLimit",
                 Format(16, 16, 10),
                 512,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 5,
                 {512, 0, 0, 1000, 56000}},
        // The frame rate a call's budget buys is never below one frame.
        CalcCase{"CallFpsAtLeastOneFrame",
                 Format(1920, 1080, 30),
                 16,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {16, 16, 16, 100, 12000}},
        // A picture under 256 pixels, or none (an audio-only call), is one unit rather than a
        // division by zero: 100 buys 351617 (x 100) frames, and the format's 15 frames stay.
        CalcCase{"CallPictureUnder256Pixels",
                 Format(15, 15, 15),
                 100,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {100, 100, 100, 1500, 24000}},
        CalcCase{"CallWithoutPicture",
                 Format(0, 0, 15),
                 100,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {100, 100, 100, 1500, 24000}},
        CalcCase{"CallPictureWithoutHeight",
                 Format(640, 0, 15),
                 100,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {100, 100, 100, 1500, 24000}},
        // The stereo flag halves the units: 600 units take key 900's value (1582), the plain
        // picture key 1620's (741).
        CalcCase{"StereoHalvesUnits",
                 Format(640, 480, 30, 1),
                 50,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {50, 50, 50, 1582, 16000}},
        CalcCase{
            "PlainUnits", Format(640, 480, 30), 50, 0, 0, 0, 0, 3000, 0, {50, 50, 50, 741, 16000}},
        // Exactly the last key (200000 units), and beyond it: the last entry serves both.
        CalcCase{"LastKey",
                 Format(6400, 8000, 60),
                 5000,
                 0,
                 0,
                 0,
                 0,
                 6000,
                 0,
                 {5000, 5000, 5000, 1831, 56000}},
        CalcCase{"BeyondLastKey",
                 Format(8192, 8192, 60),
                 5000,
                 0,
                 0,
                 0,
                 0,
                 6000,
                 0,
                 {5000, 5000, 5000, 1396, 56000}},
        CalcCase{"LargestPicture",
                 Format(kU32Max, kU32Max, 60, 1),
                 5000,
                 0,
                 0,
                 0,
                 0,
                 6000,
                 0,
                 {5000, 5000, 5000, 100, 56000}},
        // Out-of-range inputs: products in 64 bits, a rate the budget cannot limit in 32 bits.
        CalcCase{"MaximumBandwidthConference",
                 Format(kU32Max, kU32Max, kU32Max),
                 kU32Max,
                 kU32Max,
                 kU32Max,
                 0,
                 kU32Max,
                 kU32Max,
                 5,
                 {kU32Max, kU32Max, kU32Max, kU32Max / 100 * 100, 56000}},
        CalcCase{"MaximumBandwidthCall",
                 kVga15,
                 kU32Max,
                 0,
                 0,
                 0,
                 0,
                 3000,
                 0,
                 {kU32Max, kU32Max, kU32Max, 1500, 56000}},
        CalcCase{"MaximumDataCall",
                 kOneUnit60,
                 kU32Max,
                 0,
                 0,
                 1,
                 kU32Max,
                 6000,
                 0,
                 {kU32Max, 741327, 741327, 6000, 56000}},
        CalcCase{"MaximumAudio",
                 kOneUnit60,
                 512,
                 0,
                 0,
                 kU32Max,
                 0,
                 6000,
                 0,
                 {512, 10, 10, 6000, 56000}}),
    [](const testing::TestParamInfo<CalcCase>& info) { return info.param.name; });

// Arbitrary inputs, extremes favoured: one call each time, and results inside their ranges. Run
// under the sanitizers, this also shows that no product overflows.
TEST(StreamBitrate, ArbitraryInputsStayInRange) {
  std::mt19937_64 random(20261211);
  auto pick = [&random]() -> uint32_t {
    switch (random() % 4) {
      case 0:
        return static_cast<uint32_t>(random() % 3);
      case 1:
        return kU32Max - static_cast<uint32_t>(random() % 3);
      case 2:
        return static_cast<uint32_t>(random() % 5000);
      default:
        return static_cast<uint32_t>(random());
    }
  };
  for (int i = 0; i < 20000; ++i) {
    const HX_MediaFormat format = Format(pick(), pick(), pick(), pick() % 2);
    const uint32_t bandwidth = pick(), base = pick(), max = pick(), audio = pick(), data = pick(),
                   fpsLimit = pick();
    const HX_Conference_Type type = (random() % 2) != 0 ? 0 : static_cast<int32_t>(pick());
    RecordingBitrate bitrate;
    bitrate.CalcBitrate(format, bandwidth, base, max, audio, pick(), data, fpsLimit, pick(), false,
                        false, type);
    ASSERT_EQ(bitrate.calls.size(), 1u);
    const Rates& r = bitrate.calls[0];
    const uint32_t bw = std::max<uint32_t>(bandwidth, 16);
    EXPECT_GE(r.fps, 100u);
    EXPECT_LE(r.fps, std::max<uint64_t>(100, uint64_t{fpsLimit} + 50));
    EXPECT_EQ(r.audio, HXStreamBitrate::AudioBitrate(bw));
    if (type == 0) {
      EXPECT_EQ(r.rate, bw);
      EXPECT_EQ(r.second, r.third);
      EXPECT_GE(r.second, 10u);
      EXPECT_LE(r.second, std::max<uint32_t>(bw, 10));
    } else {
      EXPECT_GE(r.rate, 10u);
      EXPECT_LE(r.rate, std::max<uint32_t>(bw, 10));
      EXPECT_EQ(r.second, base);
      EXPECT_EQ(r.third, max);
    }
    if (HasFailure()) break;
  }
}

TEST(StreamBitrate, AudioBitrateSteps) {
  const std::vector<std::pair<uint32_t, uint32_t>> steps = {
      {0, 12000},   {16, 12000},  {32, 12000},  {33, 16000},  {64, 16000},     {65, 20000},
      {96, 20000},  {97, 24000},  {128, 24000}, {129, 28000}, {160, 28000},    {161, 32000},
      {192, 32000}, {193, 44000}, {256, 44000}, {257, 56000}, {kU32Max, 56000}};
  for (const auto& [bandwidth, expected] : steps) {
    EXPECT_EQ(HXStreamBitrate::AudioBitrate(bandwidth), expected) << bandwidth;
    RecordingBitrate bitrate;
    bitrate.CalcBitrate(kQvga15, bandwidth, 0, 0, 0, 0, 0, 700, 0, false, false, 6);
    ASSERT_EQ(bitrate.calls.size(), 1u);
    EXPECT_EQ(bitrate.calls[0].audio, expected) << bandwidth;
  }
}

TEST(StreamBitrate, PixelTable) {
  RecordingBitrate bitrate;
  const std::map<uint32_t, float> table = {
      {0, 0.02844f},        {230, 0.02844f},      {900, 0.005265437f},   {1620, 0.005618109f},
      {3600, 0.006097213f}, {8100, 0.006583772f}, {200000, 0.001365333f}};
  EXPECT_EQ(bitrate.pixelTable(), table);
  // Units -> the key whose value applies.
  const std::vector<std::pair<uint64_t, uint32_t>> lookups = {
      {0, 0},
      {1, 230},
      {229, 230},
      {230, 230},
      {231, 900},
      {900, 900},
      {901, 1620},
      {1620, 1620},
      {1621, 3600},
      {3600, 3600},
      {3601, 8100},
      {8100, 8100},
      {8101, 200000},
      {200000, 200000},
      {200001, 200000},
      {kU32Max, 200000},
      {uint64_t{1} << 40, 200000},
      {std::numeric_limits<uint64_t>::max(), 200000}};
  for (const auto& [units, key] : lookups) {
    EXPECT_EQ(bitrate.PixelValue(units), table.at(key)) << units;
  }
}

struct InitialCase {
  int32_t conference, server, peer;
  uint32_t networkType;
  uint32_t expected;
};

TEST(StreamBitrate, InitialSenderBandwidth) {
  const std::vector<InitialCase> cases = {
      // Fast network types: 2m / 3 up to the threshold 1538, then 512.
      {767, 0, 0, 2, 511},
      {769, 0, 0, 2, 512},
      {770, 0, 0, 2, 512},
      {1000, 0, 0, 3, 512},
      {600, 0, 0, 4, 400},
      {600, 0, 0, 5, 400},
      {600, 0, 0, 11, 400},
      // Other types: threshold 290, then 96.
      {143, 0, 0, 6, 95},
      {145, 0, 0, 6, 96},
      {146, 0, 0, 6, 96},
      {600, 0, 0, 7, 96},
      {120, 0, 0, 10, 80},
      {120, 0, 0, 0, 80},
      {120, 0, 0, 1, 80},
      {120, 0, 0, 12, 80},
      {120, 0, 0, 0x8004, 80},
      {kI32Max, kI32Max, kI32Max, 2, 512},
      {kI32Max, kI32Max, kI32Max, 8, 96},
      // The floor of 48.
      {72, 0, 0, 2, 48},
      {71, 0, 0, 2, 48},
      {1, 0, 0, 9, 48},
      // The smallest positive limit, wherever it is.
      {0, 300, 0, 2, 200},
      {0, 0, 300, 2, 200},
      {1000, 300, 600, 2, 200},
      {600, 1000, 300, 2, 200},
      // No positive limit: 128, as the rate step takes it.
      {0, 0, 0, 2, 85},
      {0, 0, 0, 8, 85},
      {-5, 0, 0, 2, 85},
      {kI32Min, kI32Min, kI32Min, 2, 85},
      {-5, 300, kI32Min, 2, 200},
  };
  for (const InitialCase& c : cases) {
    EXPECT_EQ(
        HXStreamBitrate::GetInitialSenderBandwidth(c.conference, c.server, c.peer, c.networkType),
        c.expected)
        << c.conference << " " << c.server << " " << c.peer << " type " << c.networkType;
  }
  EXPECT_EQ(HXStreamBitrate::UploadLimit(0, 0, 0), 128u);
  EXPECT_EQ(HXStreamBitrate::UploadLimit(-1, -1, 7), 7u);
  EXPECT_EQ(HXStreamBitrate::UploadLimit(kI32Max, 0, 0), uint32_t(kI32Max));
}

// Records every conference-limit setter in call order, and stores as the real adapter does.
class RecordingAdapter : public HX_MediaFormatManagerAdapter {
 public:
  using Call = std::pair<std::string, uint32_t>;
  std::vector<Call> calls;

  void SetBitrateConferenceLimit(uint32_t v) override {
    calls.emplace_back("ConferenceLimit", v);
    HX_MediaFormatManagerAdapter::SetBitrateConferenceLimit(v);
  }
  void SetBitrateConferenceVideoLimit(uint32_t v) override {
    calls.emplace_back("VideoLimit", v);
    HX_MediaFormatManagerAdapter::SetBitrateConferenceVideoLimit(v);
  }
  void SetBitrateConferenceDsLimit(uint32_t v) override {
    calls.emplace_back("DsLimit", v);
    HX_MediaFormatManagerAdapter::SetBitrateConferenceDsLimit(v);
  }
  void SetBitrateBaseConferenceLimit(uint32_t v) override {
    calls.emplace_back("BaseLimit", v);
    HX_MediaFormatManagerAdapter::SetBitrateBaseConferenceLimit(v);
  }
  void SetBitrateBaseMaxConferenceLimit(uint32_t v) override {
    calls.emplace_back("BaseMaxLimit", v);
    HX_MediaFormatManagerAdapter::SetBitrateBaseMaxConferenceLimit(v);
  }
  void SetFpsConferenceLimit(uint32_t v) override {
    calls.emplace_back("FpsLimit", v);
    HX_MediaFormatManagerAdapter::SetFpsConferenceLimit(v);
  }
  void SetResolutionConferenceVideoLimit(uint32_t v) override {
    calls.emplace_back("VideoResolution", v);
    HX_MediaFormatManagerAdapter::SetResolutionConferenceVideoLimit(v);
  }
  void SetResolutionConferenceDsLimit(uint32_t v) override {
    calls.emplace_back("DsResolution", v);
    HX_MediaFormatManagerAdapter::SetResolutionConferenceDsLimit(v);
  }
};

conference::ServerBitrateControl Record(int32_t base, int32_t baseMax, int32_t video, int32_t ds,
                                        int32_t conf, int32_t fps, int32_t videoRes,
                                        int32_t dsRes) {
  return {base, baseMax, video, ds, conf, fps, videoRes, dsRes};
}

struct RestrictCase {
  std::string name;
  conference::ServerBitrateControl control;
  std::vector<RecordingAdapter::Call> expected;
};

class RestrictTest : public testing::TestWithParam<RestrictCase> {};

TEST_P(RestrictTest, SettersInOrder) {
  const RestrictCase& c = GetParam();
  RecordingAdapter adapter;
  EXPECT_TRUE(HXStreamBitrate::ProcessRestrictBitrate(adapter, c.control));
  EXPECT_EQ(adapter.calls, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    StreamBitrate, RestrictTest,
    testing::Values(
        RestrictCase{"Everything",
                     Record(1, 2, 3, 4, 5, 6, 7, 8),
                     {{"ConferenceLimit", 5},
                      {"VideoLimit", 3},
                      {"DsLimit", 4},
                      {"BaseLimit", 1},
                      {"BaseMaxLimit", 2},
                      {"FpsLimit", 600},
                      {"VideoResolution", 7},
                      {"DsResolution", 8}}},
        RestrictCase{"Nothing", Record(0, 0, 0, 0, 0, 0, 0, 0), {}},
        RestrictCase{"SomeFields",
                     Record(0, 640, 0, 0, 0, 25, 0, 3600),
                     {{"BaseMaxLimit", 640}, {"FpsLimit", 2500}, {"DsResolution", 3600}}},
        // Negative values are no restriction: none reaches the adapter as a huge unsigned limit.
        RestrictCase{"Negative", Record(-1, -2, -3, -4, -5, -6, -7, kI32Min), {}},
        RestrictCase{
            "MixedSigns",
            Record(-1, 700, -3, 800, -5, 30, -7, 900),
            {{"DsLimit", 800}, {"BaseMaxLimit", 700}, {"FpsLimit", 3000}, {"DsResolution", 900}}},
        // The largest values pass; the frame rate x 100 is capped at the largest whole-frame value
        // the signed limit holds.
        RestrictCase{"Largest",
                     Record(kI32Max, kI32Max, kI32Max, kI32Max, kI32Max, kI32Max, kI32Max, kI32Max),
                     {{"ConferenceLimit", uint32_t(kI32Max)},
                      {"VideoLimit", uint32_t(kI32Max)},
                      {"DsLimit", uint32_t(kI32Max)},
                      {"BaseLimit", uint32_t(kI32Max)},
                      {"BaseMaxLimit", uint32_t(kI32Max)},
                      {"FpsLimit", 2147483600u},
                      {"VideoResolution", uint32_t(kI32Max)},
                      {"DsResolution", uint32_t(kI32Max)}}},
        RestrictCase{
            "FpsAtCap", Record(0, 0, 0, 0, 0, 21474836, 0, 0), {{"FpsLimit", 2147483600u}}},
        RestrictCase{
            "FpsOverCap", Record(0, 0, 0, 0, 0, 21474837, 0, 0), {{"FpsLimit", 2147483600u}}},
        // The server's single rate and a peer's RestrictBitrate command.
        RestrictCase{"Uniform",
                     conference::ServerBitrateControl::Uniform(512),
                     {{"ConferenceLimit", 512},
                      {"VideoLimit", 512},
                      {"DsLimit", 512},
                      {"BaseLimit", 512},
                      {"BaseMaxLimit", 512}}},
        RestrictCase{"UniformFromHostilePeer",
                     conference::ServerBitrateControl::Uniform(static_cast<int32_t>(0x80000000u)),
                     {}},
        // The scalable form: layers from the high word, the conference limit from the low word.
        RestrictCase{"Svc",
                     conference::ServerBitrateControl::Svc((uint64_t{300} << 32) | 1000),
                     {{"ConferenceLimit", 1000},
                      {"VideoLimit", 300},
                      {"DsLimit", 300},
                      {"BaseLimit", 300},
                      {"BaseMaxLimit", 300}}},
        RestrictCase{"SvcNegativeHalves",
                     conference::ServerBitrateControl::Svc(0xFFFFFFFF00000064ull),
                     {{"ConferenceLimit", 100}}}),
    [](const testing::TestParamInfo<RestrictCase>& info) { return info.param.name; });

TEST(StreamBitrate, RestrictionStaysAndReadsBack) {
  HX_MediaFormatManagerAdapter adapter;
  ASSERT_TRUE(HXStreamBitrate::ProcessRestrictBitrate(adapter, Record(1, 2, 3, 4, 5, 6, 7, 8)));
  // Zeros and negatives leave the earlier restriction in place.
  ASSERT_TRUE(
      HXStreamBitrate::ProcessRestrictBitrate(adapter, Record(0, -1, 0, kI32Min, 50, 0, -7, 80)));
  EXPECT_EQ(adapter.GetCnfBaseUpLimit(), 1);
  EXPECT_EQ(adapter.GetCnfBaseMaxUpLimit(), 2);
  EXPECT_EQ(adapter.GetCnfVideoUpLimit(), 3);
  EXPECT_EQ(adapter.GetCnfDsUpLimit(), 4);
  EXPECT_EQ(adapter.GetCnfUpLimit(), 50);
  EXPECT_EQ(adapter.GetCnfFpsLimit(), 600);
  EXPECT_EQ(adapter.GetCnfVideoResolutionLimit(), 7u);
  EXPECT_EQ(adapter.GetCnfDsResolutionLimit(), 80u);
}

TEST(StreamBitrate, ServerBitrateControlRecord) {
  EXPECT_FALSE(conference::ServerBitrateControl{}.HasRestriction());
  for (int field = 0; field < 8; ++field) {
    int32_t values[8] = {};
    values[field] = -1;
    const auto control = Record(values[0], values[1], values[2], values[3], values[4], values[5],
                                values[6], values[7]);
    EXPECT_TRUE(control.HasRestriction()) << field;
  }
  EXPECT_EQ(conference::ServerBitrateControl::Uniform(9), Record(9, 9, 9, 9, 9, 0, 0, 0));
  EXPECT_EQ(conference::ServerBitrateControl::Svc(0x0000000700000003ull),
            Record(7, 7, 7, 7, 3, 0, 0, 0));
  EXPECT_EQ(conference::ServerBitrateControl::Svc(0), conference::ServerBitrateControl{});
}

}  // namespace
