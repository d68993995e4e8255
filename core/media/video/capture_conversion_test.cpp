// The capture conversion over the base toolbox, and over a test toolbox that turns pictures.
#include "core/media/video/capture_conversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace hx_processing_defs;
using Bytes = std::vector<uint8_t>;

HX_CaptureMode Mode(int w, int h, eProcessingPixelFormat f) {
  HX_CaptureMode m;
  m.width = w;
  m.height = h;
  m.pixelFormat = f;
  return m;
}

HX_MediaFormat Send(uint32_t w, uint32_t h, uint32_t stereo = 0) {
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.stereo = stereo;
  return f;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 320);
  return b;
}

const auto kNoCapture = hx_capture_defs::eCaptureDefault;

TEST(CaptureConversionTest, NotReadyBeforeSendFormat) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  EXPECT_EQ(c.state(), 1u);
  auto mode = Mode(320, 240, eI420);
  const Bytes src = Pattern(320 * 240 * 3 / 2);
  Bytes dst(src.size());
  EXPECT_FALSE(
      c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  HX_VideoCaptureConversion none(nullptr);
  EXPECT_EQ(none.state(), 0u);
  auto f = Send(320, 240);
  EXPECT_EQ(none.SetSendFormat(&f, false), 0u);
}

TEST(CaptureConversionTest, I420OfTheSendSizeIsCopied) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  EXPECT_EQ(c.SetSendFormat(&f, false), 5u);
  auto mode = Mode(320, 240, eI420);
  const Bytes src = Pattern(320 * 240 * 3 / 2);
  Bytes dst(src.size(), 0);
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(dst, src);
  EXPECT_EQ(c.workFlags(), 0u);
  // A longer frame is cut to the send picture; the destination is not overrun.
  Bytes longer = Pattern(src.size() + 1000);
  ASSERT_TRUE(
      c.Process(longer.data(), longer.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(0, std::memcmp(dst.data(), longer.data(), dst.size()));
}

TEST(CaptureConversionTest, HardwareStreamIsCopiedWhateverTheSizes) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  c.SetSendFormat(&f, false);
  auto mode = Mode(1920, 1080, eHardware8);
  const Bytes src = Pattern(5000);
  Bytes dst(320 * 240 * 3 / 2, 0);
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(0, std::memcmp(dst.data(), src.data(), src.size()));
  EXPECT_TRUE(c.workFlags() & HX_VideoCaptureConversion::kPassThrough);
  // An encoded frame larger than the send picture is refused, not written past the destination.
  const Bytes huge = Pattern(dst.size() + 1);
  EXPECT_FALSE(
      c.Process(huge.data(), huge.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
}

TEST(CaptureConversionTest, Nv12OfTheSendSizeGoesStraightIntoTheDestination) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  c.SetSendFormat(&f, false);
  auto mode = Mode(320, 240, eNV12);
  const Bytes src = Pattern(320 * 240 * 3 / 2);
  Bytes dst(src.size(), 0), expected(src.size(), 0);
  ASSERT_TRUE(
      tools.ConvertToI420(src.data(), 320, expected.data(), 320, 320, 240, eNV12, src.size()));
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(dst, expected);
  EXPECT_EQ(c.workFlags(), HX_VideoCaptureConversion::kColourConversion);
  // A short NV12 frame is refused.
  EXPECT_FALSE(
      c.Process(src.data(), src.size() - 1, dst.data(), false, &mode, eRotateNone, kNoCapture));
  // Equal frames replan nothing.
  const uint64_t planned = c.allocationCount();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(
        c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  }
  EXPECT_EQ(c.allocationCount(), planned);
}

TEST(CaptureConversionTest, LargerInputIsInscribed) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  c.SetSendFormat(&f, false);
  auto mode = Mode(640, 480, eI420);
  const Bytes src = Pattern(640 * 480 * 3 / 2);
  Bytes dst(320 * 240 * 3 / 2, 0), expected(dst.size(), 1);
  HX_VideoProcessingBase reference;
  ASSERT_TRUE(
      reference.ResampleI420(src.data(), 640, 640, 480, expected.data(), 320, 320, 240, eInscribe));
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(dst, expected);
  EXPECT_EQ(tools.inscribePlacement().x, 0);
  // A frame shorter than its mode is refused.
  EXPECT_FALSE(
      c.Process(src.data(), src.size() - 1, dst.data(), false, &mode, eRotateNone, kNoCapture));
}

TEST(CaptureConversionTest, StereoSendFormatCopiesAMonoInputIntoBothViews) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 480, 0x10);
  c.SetSendFormat(&f, false);
  EXPECT_EQ(c.sendFormat().height, 240u);
  auto mode = Mode(320, 240, eI420);
  const Bytes src = Pattern(320 * 240 * 3 / 2);
  const int64_t n = 320 * 240;
  Bytes dst(2 * src.size(), 0);
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(0, std::memcmp(dst.data(), src.data(), n));                               // left Y
  EXPECT_EQ(0, std::memcmp(dst.data() + n, src.data(), n));                           // right Y
  EXPECT_EQ(0, std::memcmp(dst.data() + 2 * n, src.data() + n, n / 4));               // left U
  EXPECT_EQ(0, std::memcmp(dst.data() + n * 9 / 4, src.data() + n, n / 4));           // right U
  EXPECT_EQ(0, std::memcmp(dst.data() + n * 5 / 2, src.data() + n * 5 / 4, n / 4));   // left V
  EXPECT_EQ(0, std::memcmp(dst.data() + n * 11 / 4, src.data() + n * 5 / 4, n / 4));  // right V
  // Scaled into the left view and copied to the right.
  auto big = Mode(640, 480, eI420);
  const Bytes bigSrc = Pattern(640 * 480 * 3 / 2);
  ASSERT_TRUE(
      c.Process(bigSrc.data(), bigSrc.size(), dst.data(), false, &big, eRotateNone, kNoCapture));
  EXPECT_EQ(0, std::memcmp(dst.data(), dst.data() + n, n));
}

TEST(CaptureConversionTest, BaseToolboxRefusesEveryRotation) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  c.SetSendFormat(&f, false);
  const Bytes src = Pattern(320 * 240 * 3 / 2);
  Bytes dst(src.size());
  for (auto fmt : {eI420, eNV12}) {
    auto mode = Mode(320, 240, fmt);
    for (auto r : {eRotateQuarter, eRotateHalf, eRotateThreeQuarters}) {
      EXPECT_FALSE(c.Process(src.data(), src.size(), dst.data(), false, &mode, r, kNoCapture));
    }
  }
}

// A toolbox that turns I420 pictures a quarter turn (clockwise for 1, anticlockwise for 3) and
// records the turns it was asked for.
class TurningToolbox : public HX_VideoProcessingBase {
 public:
  std::vector<int> turns;
  bool ConvertRotateToI420(const unsigned char* src, unsigned long, int w, int h,
                           unsigned char* dst, int dw, int dh, eProcessingPixelFormat format,
                           eRotateMode rotate) override {
    if (format != eI420 || dw != h || dh != w) return false;
    turns.push_back(rotate);
    auto turnPlane = [&](const unsigned char* s, unsigned char* d, int pw, int ph) {
      for (int y = 0; y < ph; ++y) {
        for (int x = 0; x < pw; ++x) {
          const int tx = rotate == eRotateQuarter ? ph - 1 - y : y;
          const int ty = rotate == eRotateQuarter ? x : pw - 1 - x;
          d[ty * ph + tx] = s[y * pw + x];
        }
      }
    };
    turnPlane(src, dst, w, h);
    turnPlane(src + w * h, dst + w * h, w / 2, h / 2);
    turnPlane(src + w * h * 5 / 4, dst + w * h * 5 / 4, w / 2, h / 2);
    return true;
  }
};

TEST(CaptureConversionTest, QuarterTurnWithoutDynamicFormatIsScaledBack) {
  TurningToolbox tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 320);  // the turned size equals the send size
  c.SetSendFormat(&f, true);
  c.SetCanSendDynFormat(false);
  auto mode = Mode(320, 320, eI420);
  const Bytes src = Pattern(320 * 320 * 3 / 2);
  Bytes dst(src.size(), 0);
  ASSERT_TRUE(
      c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateQuarter, kNoCapture));
  EXPECT_TRUE(c.workFlags() & HX_VideoCaptureConversion::kResample);
  EXPECT_TRUE(c.workFlags() & HX_VideoCaptureConversion::kRotation);
  // The top-left output pixel is the source's bottom-left one after a clockwise turn.
  EXPECT_EQ(dst[0], src[319 * 320]);
  // With a dynamic format allowed, the turned picture goes out as it is: no scaling.
  c.SetCanSendDynFormat(true);
  ASSERT_TRUE(
      c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateQuarter, kNoCapture));
  EXPECT_FALSE(c.workFlags() & HX_VideoCaptureConversion::kResample);
  // Capture kind bit 8 exchanges the quarter turns.
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateQuarter,
                        hx_capture_defs::eCaptureSwapQuarterTurns));
  ASSERT_EQ(tools.turns.size(), 3u);
  EXPECT_EQ(tools.turns[0], eRotateQuarter);
  EXPECT_EQ(tools.turns[2], eRotateThreeQuarters);
  EXPECT_EQ(dst[0], src[319]);  // anticlockwise: top-right comes to the top-left
}

TEST(CaptureConversionTest, NullSendFormatReleasesThePlan) {
  HX_VideoProcessingBase tools;
  HX_VideoCaptureConversion c(&tools);
  auto f = Send(320, 240);
  c.SetSendFormat(&f, false);
  auto mode = Mode(640, 480, eYUY2);
  const Bytes src = Pattern(640 * 480 * 2);
  Bytes dst(320 * 240 * 3 / 2);
  ASSERT_TRUE(c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
  EXPECT_EQ(c.state(), 7u);
  EXPECT_EQ(c.SetSendFormat(nullptr, false), 3u);
  EXPECT_EQ(c.workFlags(), 0u);
  EXPECT_FALSE(
      c.Process(src.data(), src.size(), dst.data(), false, &mode, eRotateNone, kNoCapture));
}

}  // namespace
