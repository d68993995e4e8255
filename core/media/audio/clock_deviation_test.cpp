// The least-squares estimators: the enough-data guards, a straight line of known intercept and
// slope, deviations of a line with known noise, and clock drift between two counters.
#include "core/media/audio/clock_deviation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

TEST(TimeDeviation, NotValidBeforeInit) {
  HX_TimeDeviation dev;
  dev.Snap(5);
  int out = 42;
  EXPECT_FALSE(dev.GetAverage(out));
  EXPECT_EQ(out, 0);
  EXPECT_EQ(dev.GetPredicted(1.0), -1);
}

TEST(TimeDeviation, SampleCountGuards) {
  struct Case {
    unsigned capacity;
    int samples;
    bool enough;
  };
  const Case cases[] = {
      {100, 1, false},                // below 100 / 50
      {100, 4, false},                // at most 4 while capacity > 5
      {100, 5, true},  {5, 2, true},  // small rings only need capacity / 50 and a line
      {500, 9, false},                // below 500 / 50
      {500, 10, true},
  };
  for (const auto& c : cases) {
    HX_TimeDeviation dev;
    dev.Init(c.capacity);
    for (int i = 0; i < c.samples; ++i) dev.Snap(10 + 2 * i);
    int out = 0;
    EXPECT_EQ(dev.GetAverage(out), c.enough) << c.capacity << "/" << c.samples;
  }
}

TEST(TimeDeviation, StraightLine) {
  HX_TimeDeviation dev;
  dev.Init(100);
  for (int v : {10, 12, 14, 16, 18}) dev.Snap(v);
  double intercept = -1, slope = -1;
  ASSERT_TRUE(dev.Predict(intercept, slope));
  EXPECT_DOUBLE_EQ(intercept, 10.0);
  EXPECT_DOUBLE_EQ(slope, 2.0);
  int average = 0, max = -1, rms = -1;
  ASSERT_TRUE(dev.GetAverage(average));
  ASSERT_TRUE(dev.GetMax(max));
  ASSERT_TRUE(dev.GetDeviation(rms));
  EXPECT_EQ(average, 14);
  EXPECT_EQ(max, 0);
  EXPECT_EQ(rms, 0);
  EXPECT_EQ(dev.GetPredicted(10.0), 30);
  EXPECT_EQ(dev.GetPredictedFromLast(1.0), 20);  // index 5
}

TEST(TimeDeviation, DeviationsOfAZigZagAndTheRingKeepsTheNewest) {
  HX_TimeDeviation dev;
  dev.Init(10);
  // Old samples far off the line: the ring of 10 must forget them.
  for (int i = 0; i < 7; ++i) dev.Snap(1000000);
  // Then 10 samples 100 ± 3 alternating (indices 7..16): the fitted line is nearly flat.
  for (int i = 0; i < 10; ++i) dev.Snap(i % 2 == 0 ? 103 : 97);
  int average = 0, max = 0, rms = 0;
  ASSERT_TRUE(dev.GetAverage(average));
  EXPECT_EQ(average, 100);
  ASSERT_TRUE(dev.GetMax(max));
  ASSERT_TRUE(dev.GetDeviation(rms));
  EXPECT_GE(max, 3);
  EXPECT_LE(max, 4);
  EXPECT_EQ(rms, 3);
  // Negative averages round half away from zero.
  dev.Init(10);
  for (int i = 0; i < 10; ++i) dev.Snap(i % 2 == 0 ? -2 : -3);  // average -2.5
  ASSERT_TRUE(dev.GetAverage(average));
  EXPECT_EQ(average, -3);
  dev.Clear();
  EXPECT_FALSE(dev.GetAverage(average));
}

TEST(FreqDeviation, DriftBetweenTwoCounters) {
  HX_FreqDeviation freq;
  EXPECT_EQ(freq.GetA1(), -1.0);
  freq.Init(50);
  // y runs 0.1 % fast against x, with an offset of 7.
  for (int i = 1; i <= 80; ++i) freq.Snap(i * 40.0, 7 + i * 40.0 * 1.001);
  double intercept = 0, slope = 0;
  ASSERT_TRUE(freq.GetA(intercept, slope));
  EXPECT_NEAR(slope, 1.001, 1e-9);
  EXPECT_NEAR(intercept, 7.0, 1e-6);
  EXPECT_NEAR(freq.GetA1(), 1.001, 1e-9);
  freq.Clear();
  EXPECT_FALSE(freq.GetA(intercept, slope));
  EXPECT_EQ(intercept, 0.0);
  // All x equal (and zero) gives no line.
  for (int i = 0; i < 10; ++i) freq.Snap(0.0, i);
  EXPECT_EQ(freq.GetA1(), -1.0);
}

TEST(FreqDeviation, DumpWritesTheHeldPairsOldestFirst) {
  HX_FreqDeviation freq;
  freq.Init(3);
  for (int i = 1; i <= 4; ++i) freq.Snap(i, 10 * i);
  freq.DumpData(12.5);
  const char* name = "   12.50.txt";
  std::ifstream in(name);
  ASSERT_TRUE(in.good());
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "dt =     2.00, ds =    20.00\n"
            "dt =     3.00, ds =    30.00\n"
            "dt =     4.00, ds =    40.00\n");
  std::remove(name);
}

}  // namespace
