// The media format manager adapter: its start format, the 15000 ms recalculation rule driven by
// a test clock, which setters force a recalculation, Reset's repair of an unusable format, the
// forced send format, and a capture thread requesting a format per frame while other threads set
// limits and the benchmark result (run under ThreadSanitizer in build/tsan).

#include "core/media/format/media_format_adapter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/media/video/capture_slot_list.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/wire/client_caps.h"

namespace {

constexpr uint32_t kVP8 = HX_MediaFormat::kCodecVP8;
constexpr uint32_t kH264 = HX_MediaFormat::kCodecH264;

struct Clock {
  std::atomic<int64_t> now{100000};
  std::function<int64_t()> Ticks() {
    return [this] { return now.load(); };
  }
};

HX_MediaFormat Format(uint32_t w, uint32_t h, uint32_t codec, uint32_t fps) {
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.videoCodec = codec;
  f.frameRate = fps;
  return f;
}

TEST(MediaFormatAdapter, StartsAt640x360VP8WithOpus) {
  HX_MediaFormatManagerAdapter adapter;
  const HX_MediaFormat f = adapter.GetMediaFormat();
  EXPECT_EQ(f.width, 640u);
  EXPECT_EQ(f.height, 360u);
  EXPECT_EQ(f.videoCodec, kVP8);
  EXPECT_EQ(f.frameRate, 30u);
  EXPECT_EQ(f.stereo | f.svcMode | f.hardwareCodec, 0u);
  EXPECT_EQ(f.sampleRate, 16000u);
  EXPECT_EQ(f.audioCodec, HX_MediaFormat::kAudioOpus);
  HX_MediaFormat opus;
  opus.SetAudio(16000, HX_MediaFormat::kAudioOpus, -1);
  EXPECT_EQ(f.audioBufferSize, opus.audioBufferSize);
  EXPECT_FALSE(adapter.IsConnected());
  EXPECT_EQ(adapter.GetBitrateValue(), 128);
  EXPECT_EQ(adapter.GetMulCaps(), 2u);
}

TEST(MediaFormatAdapter, RecalculatesOnBitrateChangeOrAfter15Seconds) {
  Clock clock;
  HX_MediaFormatManagerAdapter adapter(clock.Ticks());
  unsigned char level = 0;
  adapter.RequestMediaFormat(level);  // the first: time since tick 0 is long
  EXPECT_NE(level, 0);
  clock.now += 1000;
  adapter.RequestMediaFormat(level);
  EXPECT_EQ(level, 0);
  clock.now += 14000;  // 15000 since the recalculation: still not
  adapter.RequestMediaFormat(level);
  EXPECT_EQ(level, 0);
  clock.now += 1;
  adapter.RequestMediaFormat(level);
  EXPECT_NE(level, 0);
  adapter.SetBitrate(800);
  adapter.RequestMediaFormat(level);
  EXPECT_NE(level, 0);
  adapter.SetBitrate(800);  // unchanged
  adapter.RequestMediaFormat(level);
  EXPECT_EQ(level, 0);
}

// Which setters force a recalculation within 15 seconds and which only store.
TEST(MediaFormatAdapter, ForceColumnOfTheSetters) {
  HX_VideoCaptureSlotList list(69);
  HX_VideoCodecFactory factory;
  using A = HX_MediaFormatManagerAdapter;
  struct Row {
    const char* name;
    std::function<void(A&)> set;
    bool force;
  };
  const HX_SysPerformanceState bench;
  const std::vector<Row> rows = {
      {"SetHQAutoMode", [](A& a) { a.SetHQAutoMode(false); }, true},
      {"SetStereoMode", [](A& a) { a.SetStereoMode(1); }, true},
      {"SetSysBenchmarkResult", [&](A& a) { a.SetSysBenchmarkResult(bench); }, true},
      {"SetUseHDInput", [](A& a) { a.SetUseHDInput(true); }, true},
      {"SetResolutionExtLimit", [](A& a) { a.SetResolutionExtLimit(320, 240); }, true},
      {"SetFpsExtLimit", [](A& a) { a.SetFpsExtLimit(10); }, true},
      {"SetBitrateExtLimit", [](A& a) { a.SetBitrateExtLimit(500); }, false},
      {"SetVideoCodec", [](A& a) { a.SetVideoCodec(kH264); }, true},
      {"SetVideoHardware", [](A& a) { a.SetVideoHardware(3); }, true},
      {"SetAudioCodec", [](A& a) { a.SetAudioCodec(8); }, false},
      {"SetAudioSamplerate", [](A& a) { a.SetAudioSamplerate(8000); }, false},
      {"SetResolutionCaptureLimit", [](A& a) { a.SetResolutionCaptureLimit(640, 480); }, true},
      {"SetCaptureStereo", [](A& a) { a.SetCaptureStereo(1); }, true},
      {"SetBitrateNetworkLimit", [](A& a) { a.SetBitrateNetworkLimit(500); }, false},
      {"ForceSndLevel", [](A& a) { a.ForceSndLevel(40); }, true},
      {"SetBitrateServerLimit", [](A& a) { a.SetBitrateServerLimit(500); }, true},
      {"SetFpsServerLimit", [](A& a) { a.SetFpsServerLimit(1500); }, true},
      {"SetResolutionServerLimit", [](A& a) { a.SetResolutionServerLimit(320, 240); }, true},
      {"SetBitrateConferenceLimit", [](A& a) { a.SetBitrateConferenceLimit(500); }, false},
      {"SetBitrateConferenceVideoLimit", [](A& a) { a.SetBitrateConferenceVideoLimit(500); },
       false},
      {"SetBitrateConferenceDsLimit", [](A& a) { a.SetBitrateConferenceDsLimit(500); }, false},
      {"SetBitrateBaseConferenceLimit", [](A& a) { a.SetBitrateBaseConferenceLimit(500); }, false},
      {"SetBitrateBaseMaxConferenceLimit", [](A& a) { a.SetBitrateBaseMaxConferenceLimit(500); },
       false},
      {"SetFpsConferenceLimit", [](A& a) { a.SetFpsConferenceLimit(1500); }, false},
      {"SetResolutionConferenceVideoLimit", [](A& a) { a.SetResolutionConferenceVideoLimit(3600); },
       false},
      {"SetResolutionConferenceDsLimit", [](A& a) { a.SetResolutionConferenceDsLimit(3600); },
       false},
      {"SetFps", [](A& a) { a.SetFps(1500); }, false},
      {"SetCaptureList", [&](A& a) { a.SetCaptureList(&list); }, true},
      {"SetVideoCodecFactory", [&](A& a) { a.SetVideoCodecFactory(&factory); }, false},
      {"ForceSndMediaFormat", [](A& a) { a.ForceSndMediaFormat(HX_MediaFormat()); }, true},
      {"SetHQAutoScheme", [](A& a) { a.SetHQAutoScheme(eHQAutoSchemeExtended); }, false},
      {"SetForceUpdate", [](A& a) { a.SetForceUpdate(); }, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Clock clock;
    HX_MediaFormatManagerAdapter adapter(clock.Ticks());
    unsigned char level = 0;
    adapter.RequestMediaFormat(level);
    ASSERT_NE(level, 0);
    clock.now += 1000;
    r.set(adapter);
    adapter.RequestMediaFormat(level);
    EXPECT_EQ(level != 0, r.force);
  }
}

TEST(MediaFormatAdapter, SettersStoreTheirControls) {
  HX_MediaFormatManagerAdapter a;
  a.SetResolutionServerLimit(1280, 720);
  a.SetFpsServerLimit(1500);
  a.SetBitrateConferenceLimit(900);
  a.SetResolutionConferenceDsLimit(8160);
  a.SetStereoMode(0);
  a.SetUseHDInput(true);
  a.ForceSndLevel(40);
  HX_SysPerformanceState bench;
  bench.sendLevel = 58;
  bench.score = 1234;
  a.SetSysBenchmarkResult(bench);
  EXPECT_EQ(a.GetSrvResolutionLimit(), 1280u << 16 | 720);
  EXPECT_EQ(a.GetSrvFpsLimit(), 1500);
  EXPECT_EQ(a.GetCnfUpLimit(), 900);
  EXPECT_EQ(a.GetCnfDsResolutionLimit(), 8160u);
  EXPECT_FALSE(a.GetExtStereo());
  EXPECT_TRUE(a.GetAllowHD());
  EXPECT_EQ(a.GetSysPerformance().score, 1234);
  EXPECT_EQ(a.GetSysPerformance().sendLevel, 58);
  a.ForceSndLevel(40);  // only the level byte
  EXPECT_EQ(a.GetSysPerformance().sendLevel, 40);
  EXPECT_EQ(a.GetSysPerformance().score, 1234);
}

TEST(MediaFormatAdapter, ResetRepairsAnUnusableFormat) {
  struct Row {
    HX_MediaFormat own;
    uint32_t w, h;
  };
  const Row rows[] = {
      {Format(642, 360, kVP8, 30), 640, 360},    {Format(1280, 720, kH264, 30), 1280, 720},
      {Format(640, 360, 0, 30), 640, 360},       {Format(8, 8, kVP8, 30), 640, 360},
      {Format(640, 131080, kVP8, 30), 640, 360}, {Format(131072, 16, kVP8, 30), 131072, 16},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.own.width);
    HX_MediaFormatManagerAdapter adapter;
    adapter.SetHQAutoMode(false);
    HX_ClientCaps peer, own;
    peer.m_videoRcv = 1;  // fixed: the own format is sent as it is
    own.SetMediaFormat(r.own);
    adapter.SetConnection(&peer, &own, true);
    EXPECT_TRUE(adapter.IsConnected());
    EXPECT_EQ(adapter.GetMediaFormat().width, r.own.width);
    adapter.Reset();
    EXPECT_FALSE(adapter.IsConnected());
    const HX_MediaFormat f = adapter.GetMediaFormat();
    EXPECT_EQ(f.width, r.w);
    EXPECT_EQ(f.height, r.h);
    EXPECT_EQ(f.frameRate, 30u);
    EXPECT_EQ(f.videoCodec, kVP8);  // the idle choice sends VP8
  }
}

TEST(MediaFormatAdapter, ForcedFormatAudioAtOnceVideoAtTheNextRecalculation) {
  Clock clock;
  HX_MediaFormatManagerAdapter adapter(clock.Ticks());
  HX_ClientCaps peer, own;
  peer.m_videoRcv = 0x8;
  own.SetMediaFormat(Format(640, 360, kVP8, 30));
  adapter.SetConnection(&peer, &own, true);
  HX_MediaFormat forced = Format(352, 288, kH264, 15);
  forced.SetAudio(8000, 7, -1);  // G.711
  adapter.ForceSndMediaFormat(forced);
  HX_MediaFormat now = adapter.GetMediaFormat();
  EXPECT_EQ(now.sampleRate, 8000u);
  EXPECT_EQ(now.audioCodec, 7u);
  EXPECT_EQ(now.width, 640u);  // video waits for the recalculation
  unsigned char level = 0;
  now = adapter.RequestMediaFormat(level);
  EXPECT_NE(level, 0);
  EXPECT_EQ(now.width, 352u);
  EXPECT_EQ(now.height, 288u);
  EXPECT_EQ(now.videoCodec, kH264);
  EXPECT_EQ(now.frameRate, 15u);
  EXPECT_EQ(now.sampleRate, 8000u);
}

TEST(MediaFormatAdapter, ConnectionFollowsPeerScreenAndReturnsToIdle) {
  HX_MediaFormatManagerAdapter adapter;
  HX_SysPerformanceState bench;
  bench.sendLevel = 69;
  adapter.SetSysBenchmarkResult(bench);
  adapter.SetUseHDInput(true);
  adapter.SetBitrate(20000);
  HX_ClientCaps peer, own;
  peer.m_videoRcv = 0x8;
  peer.m_level = 89;
  peer.m_screenWidth = 320;
  peer.m_screenHeight = 180;
  own.SetMediaFormat(Format(1280, 720, kVP8, 30));
  adapter.SetConnection(&peer, &own, true);
  HX_MediaFormat f = adapter.GetMediaFormat();
  EXPECT_LE(f.width, 320u);
  EXPECT_LE(f.height, 180u);
  EXPECT_GE(f.width, 16u);
  adapter.Reset();
  f = adapter.GetMediaFormat();
  // The peer's 180 lines are no multiple of 8: Reset restores 640x360, which the idle choice
  // keeps (no capture list), with no screen limit left.
  EXPECT_EQ(f.width, 640u);
  EXPECT_EQ(f.height, 360u);
  EXPECT_EQ(adapter.GetRcvResolutionLimit(), 0u);
}

// A capture thread asks for a format per frame while two threads change limits and the benchmark
// result. Every returned format must be one of the formats the choice can produce from those
// inputs (never a width of one choice with the height of another).
TEST(MediaFormatAdapter, CaptureThreadAgainstSetters) {
  HX_MediaFormatManagerAdapter adapter;
  adapter.SetHQAutoMode(false);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, requests{0};
  std::thread capture([&] {
    while (!stop.load()) {
      unsigned char level = 0;
      const HX_MediaFormat f = adapter.RequestMediaFormat(level);
      const bool sizeOk =
          (f.width == 640 && f.height == 360) || (f.width == 1280 && f.height == 720);
      const bool fpsOk = f.frameRate == 15 || f.frameRate == 30;
      if (!sizeOk || !fpsOk || f.videoCodec != kVP8 || f.sampleRate != 16000) ++bad;
      requests.fetch_add(1);
    }
  });
  std::thread limits([&] {
    for (int i = 0; i < 2000; ++i) {
      if (i % 2)
        adapter.SetResolutionServerLimit(1280, 720);
      else
        adapter.SetResolutionServerLimit(640, 360);
      adapter.SetFpsServerLimit(i % 3 ? 1500 : 3000);
      adapter.SetBitrate(100 + i);
      (void)adapter.GetSrvResolutionLimit();  // lock-free read
    }
  });
  std::thread benchmark([&] {
    for (int i = 0; i < 2000; ++i) {
      HX_SysPerformanceState s;
      s.sendLevel = static_cast<uint8_t>(30 + i % 30);
      adapter.SetSysBenchmarkResult(s);
      (void)adapter.IsConnected();
    }
  });
  limits.join();
  benchmark.join();
  while (requests.load() < 100) std::this_thread::yield();
  stop = true;
  capture.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
