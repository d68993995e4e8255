// The peer level averager: a rise is followed faster than a fall, a silent peer reads 0.
#include "core/media/audio/audio_level_averager.h"

#include <gtest/gtest.h>

namespace {

TEST(AudioLevelAverager, RiseFallAndTimeout) {
  HXAudioLevelAverager avg;
  EXPECT_EQ(avg.Get(0), 0u);
  avg.Set(1000, 800);
  EXPECT_EQ(avg.Get(1000), 100u);  // (7 × 0 + 800) / 8
  avg.Set(1040, 0);
  EXPECT_EQ(avg.Get(1040), 93u);  // (15 × 100 + 0) / 16
  EXPECT_EQ(avg.Get(3040), 93u);  // exactly 2000 ms: kept
  EXPECT_EQ(avg.Get(0), 93u);     // a zero tick never resets
  EXPECT_EQ(avg.Get(500), 93u);   // a tick before the last Set is no elapsed time
  EXPECT_EQ(avg.Get(3041), 0u);
}

TEST(AudioLevelAverager, ConvergesToAConstantLevel) {
  HXAudioLevelAverager avg;
  for (unsigned t = 0; t < 200; ++t) avg.Set(t, 1000);
  // The rise stops within 7 of the level: (7 × a + 1000) / 8 does not move a above 993.
  EXPECT_GE(avg.Get(200), 993u);
  EXPECT_LE(avg.Get(200), 1000u);
  for (unsigned t = 200; t < 600; ++t) avg.Set(t, 100);
  EXPECT_GE(avg.Get(600), 100u);
  EXPECT_LE(avg.Get(600), 116u);
}

}  // namespace
