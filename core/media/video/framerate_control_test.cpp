// Frame-rate measurement and decimation, and the pixel-format helpers.
#include "core/media/video/framerate_control.h"

#include <gtest/gtest.h>

namespace {

constexpr unsigned Fourcc(const char (&s)[5]) {
  return static_cast<unsigned>(static_cast<unsigned char>(s[0])) |
         static_cast<unsigned>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<unsigned>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<unsigned>(static_cast<unsigned char>(s[3])) << 24;
}

TEST(FramerateCalc, MeasuresWholeFramesPerSecond) {
  HX_CapturerFramerateCalc calc;
  unsigned long rate = 777;
  EXPECT_FALSE(calc.GetFramerate(100, rate));
  calc.SnapFramerate(0);
  EXPECT_FALSE(calc.GetFramerate(100, rate));
  calc.SnapFramerate(33);
  EXPECT_FALSE(calc.GetFramerate(0, rate)) << "now equal to the oldest";
  EXPECT_EQ(rate, 777u);
  calc.CleanFramerate();
  for (int i = 0; i < 31; ++i) calc.SnapFramerate(33ull * i);
  ASSERT_TRUE(calc.GetFramerate(990, rate));
  EXPECT_EQ(rate, 3000u);  // 100 x round(30 x 1000 / 990)
  // Two frames ten seconds apart: 0.1 frames per second rounds to 0, reported as 100.
  HX_CapturerFramerateCalc slow;
  slow.SnapFramerate(0);
  slow.SnapFramerate(10000);
  ASSERT_TRUE(slow.GetFramerate(10000, rate));
  EXPECT_EQ(rate, 100u);
  // The old time was dropped (10000 ms before now): a single time measures nothing.
  EXPECT_FALSE(slow.GetFramerate(10001, rate));
}

TEST(FramerateAnalyser, DecimationFactors) {
  const struct {
    unsigned long capture, target;
    long long factor;
  } cases[] = {{3000, 1500, 2}, {3000, 2000, 2}, {3000, 3000, 1}, {3000, 1000, 3},
               {99, 10, 1},     {6000, 1500, 4}, {0, 1500, 1},    {2500, 1500, 2}};
  for (const auto& c : cases) {
    HX_CapturerFramerateAnalyser a;
    a.ResetDecimate(c.capture, c.target);
    EXPECT_EQ(a.factor(), c.factor) << c.capture << " -> " << c.target;
  }
}

TEST(FramerateAnalyser, SkipsEverySecondFrameAndMeasuresTheKeptOnes) {
  HX_CapturerFramerateAnalyser a;
  unsigned long measured = 0;
  int kept = 0;
  for (int i = 0; i < 60; ++i) {
    const unsigned long long now = 1000 + 33ull * i;
    const bool skip =
        a.DecimateFramerate(now, static_cast<long long>(now) * 10000, 3000, 1500, measured);
    EXPECT_EQ(skip, i % 2 == 1) << i;
    kept += !skip;
    if (i == 0) EXPECT_EQ(measured, 1500u) << "the target rate right after the reset";
  }
  EXPECT_EQ(kept, 30);
  EXPECT_EQ(measured, 1500u);
}

TEST(FramerateAnalyser, PauseResetsAndKeepsTheNextFrame) {
  HX_CapturerFramerateAnalyser a;
  unsigned long measured = 0;
  long long t = 10000000;  // 100 ns units
  // Three frames: kept, skipped, kept; the counter now stands at an odd value.
  for (int i = 0; i < 3; ++i, t += 333333) a.DecimateFramerate(t / 10000, t, 3000, 1500, measured);
  // Exactly three intervals later: no reset, the fourth frame is skipped.
  t += 3 * 333333 - 333333;
  EXPECT_TRUE(a.DecimateFramerate(t / 10000, t, 3000, 1500, measured));
  // More than three intervals: reset, and the next frame is kept although the count was odd.
  t += 3 * 333333 + 1;
  EXPECT_FALSE(a.DecimateFramerate(t / 10000, t, 3000, 1500, measured));
  t += 333333;
  EXPECT_TRUE(a.DecimateFramerate(t / 10000, t, 3000, 1500, measured));
  // A rate change resets too.
  t += 333333;
  EXPECT_FALSE(a.DecimateFramerate(t / 10000, t, 3000, 3000, measured));
  EXPECT_EQ(a.factor(), 1);
  EXPECT_FALSE(a.DecimateFramerate(t / 10000 + 33, t + 333333, 3000, 3000, measured));
}

TEST(PixelFormats, FourccsAndClasses) {
  const struct {
    const char* code;
    int format;
  } cases[] = {{"I420", 0}, {"YV12", 1}, {"NV21", 2},  {"NV12", 3},
               {"NV16", 4}, {"YUY2", 5}, {"MJPG", -1}, {"i420", -1}};
  for (const auto& c : cases) {
    const unsigned code = static_cast<unsigned>(static_cast<unsigned char>(c.code[0])) |
                          static_cast<unsigned>(static_cast<unsigned char>(c.code[1])) << 8 |
                          static_cast<unsigned>(static_cast<unsigned char>(c.code[2])) << 16 |
                          static_cast<unsigned>(static_cast<unsigned char>(c.code[3])) << 24;
    EXPECT_EQ(convertFourcc2Format(code), c.format) << c.code;
  }
  EXPECT_EQ(convertFourcc2Format(Fourcc("NV16")), 4);
  EXPECT_EQ(convertFourcc2Format(0), -1);
  for (int f = -1; f <= 24; ++f) {
    const auto pf = static_cast<hx_processing_defs::eProcessingPixelFormat>(f);
    const bool hw = f == 6 || f == 8 || f == 9 || f == 10;
    EXPECT_EQ(isHardwareEncodeStream(pf), hw) << f;
    EXPECT_EQ(isCompressedStream(pf), hw || f == 20) << f;
    EXPECT_EQ(isStereoStream(pf), f == 22 || f == 23) << f;
    EXPECT_EQ(convertPixelFormat2Name(pf), "Unknown");
  }
  EXPECT_EQ(convertStreamFormat2Name(3), "");
}

}  // namespace
