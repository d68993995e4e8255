// The mixer's modes: the Q14 gain table, the soft knee, block peak normalisation, and the
// per-listener form.
#include "core/media/audio/audio_mixer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(AudioMixer, GainTable) {
  const struct {
    unsigned count;
    int16_t gain;
  } table[] = {{1, 16301}, {2, 13708}, {3, 12386}, {4, 11527}};
  for (const auto& row : table) EXPECT_EQ(HX_AudioMixer::Gain(row.count), row.gain) << row.count;
}

TEST(AudioMixer, ModesOnOnePosition) {
  const struct {
    HX_AudioMixerMode mode;
    int16_t a, b;
    int16_t expected;
  } cases[] = {
      {kMixClamp, 30000, 30000, 32767},
      {kMixClamp, -30000, -30000, -32768},
      {kMixClamp, 100, -50, 50},
      {kMixGain, 32767, 32767, 32767},  // 13708 × 65534 > 0x1FFFFFFF
      {kMixGain, 16384, 16384, (13708 * 32768) >> 14},
      {kMixGain, 1000, 1000, (13708 * 2000) >> 14},
      {kMixGain, -1000, 0, static_cast<int16_t>((13708 * -1000) >> 14)},
      {kMixSoftKnee, 10000, 6000, 16000},
      {kMixSoftKnee, 10000, 10000, 19558},
      {kMixSoftKnee, -10000, -10000, -19558},
  };
  for (const auto& c : cases) {
    HX_AudioMixer mixer;
    ASSERT_TRUE(mixer.Init(c.mode));
    int16_t a = c.a, b = c.b, out = 0;
    short* inputs[] = {&a, &b};
    ASSERT_TRUE(mixer.Mix(inputs, 2, &out, 1));
    EXPECT_EQ(out, c.expected) << c.mode << " " << c.a << " " << c.b;
  }
}

TEST(AudioMixer, PeakNormalisationScalesTheWholeBlock) {
  HX_AudioMixer mixer;
  ASSERT_TRUE(mixer.Init(kMixPeakNormalise));
  std::vector<int16_t> a = {30000, 15000, -100, 7};
  std::vector<int16_t> b = {30000, 15000, 100, 0};
  std::vector<int16_t> out(4);
  short* inputs[] = {a.data(), b.data()};
  ASSERT_TRUE(mixer.Mix(inputs, 2, out.data(), 4));
  EXPECT_EQ(out[0], 32766);
  EXPECT_EQ(out[1], 16383);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 7 * 32766 / 60000);
  // Below the peak the sums pass unchanged.
  std::vector<int16_t> c = {1000, -2000, 3, 4};
  short* one[] = {c.data()};
  ASSERT_TRUE(mixer.Mix(one, 1, out.data(), 4));
  EXPECT_EQ(out, c);
}

TEST(AudioMixer, ModeZeroWritesNothingAndBadModesFail) {
  HX_AudioMixer mixer;
  int16_t a = 5, out = 77;
  short* inputs[] = {&a};
  EXPECT_FALSE(mixer.Mix(inputs, 1, &out, 1));  // not initialised
  EXPECT_FALSE(mixer.Init(static_cast<HX_AudioMixerMode>(5)));
  EXPECT_FALSE(mixer.Mix(inputs, 1, &out, 1));
  ASSERT_TRUE(mixer.Init(kMixNone));
  EXPECT_TRUE(mixer.Mix(inputs, 1, &out, 1));
  EXPECT_EQ(out, 77);
}

TEST(AudioMixer, ListenerOutputsLeaveOutTheirOwnInput) {
  HX_AudioMixer mixer;
  ASSERT_TRUE(mixer.Init(kMixGain));
  int16_t a = 1000, b = 2000, c = 4000;
  int16_t o0 = 0, o1 = 0, o2 = 0, total = 0;
  short* inputs[] = {&a, &b, &c};
  short* outputs[] = {&o0, &o1, &o2, &total};
  ASSERT_TRUE(mixer.Mix(inputs, 3, outputs, 1));
  EXPECT_EQ(o0, (13708 * 6000) >> 14);
  EXPECT_EQ(o2, (13708 * 3000) >> 14);
  EXPECT_EQ(total, (12386 * 7000) >> 14);
  short* single[] = {&a};
  ASSERT_TRUE(mixer.Mix(single, 1, outputs, 1));
  EXPECT_EQ(o0, 0);
  EXPECT_EQ(o1, 1000);
  ASSERT_TRUE(mixer.Init(kMixClamp));
  EXPECT_FALSE(mixer.Mix(inputs, 3, outputs, 1));
}

}  // namespace
