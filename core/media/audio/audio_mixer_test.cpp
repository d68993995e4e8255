// The mixer's modes: the Q14 gain table, the soft knee, block peak normalisation, and the
// per-listener form.
#include "core/media/audio/audio_mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "testing/audio_signal.h"

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

// The mixer as first written: every output position sums its inputs on its own, in 64 bits.
// The kept form sums rows of a chunk and must write the same samples.
void ReferenceMix(int mode, short** inputs, unsigned count, short* output, unsigned samples) {
  auto sum = [&](unsigned i) {
    int64_t s = 0;
    for (unsigned j = 0; j < count; ++j) s += inputs[j][i];
    return s;
  };
  auto clampGain = [](int64_t p) -> int32_t {
    if (p > 0x1FFFFFFF) return 32767;
    if (p < -0x20000000) return -32768;
    return static_cast<int32_t>(p >> 14);
  };
  int64_t peak = 0;
  if (mode == kMixPeakNormalise) {
    for (unsigned i = 0; i < samples; ++i) peak = std::max<int64_t>(peak, std::abs(sum(i)));
  }
  for (unsigned i = 0; i < samples; ++i) {
    const int64_t s = sum(i);
    switch (mode) {
      case kMixClamp:
        output[i] = static_cast<short>(std::clamp<int64_t>(s, -32768, 32767));
        break;
      case kMixGain:
        output[i] = static_cast<short>(clampGain(HX_AudioMixer::Gain(count) * s));
        break;
      case kMixSoftKnee: {
        const int64_t a = std::abs(s);
        if (a <= 16000) {
          output[i] = static_cast<short>(s);
        } else {
          const float knee =
              32767.0f - 16767.0f * std::exp((16000.0f - static_cast<float>(a)) / 16767.0f);
          const int32_t v = static_cast<int32_t>(knee);
          output[i] = static_cast<short>(s < 0 ? -v : v);
        }
        break;
      }
      case kMixPeakNormalise:
        output[i] = static_cast<short>(peak <= 32767 ? s : s * 32766 / peak);
        break;
    }
  }
}

TEST(AudioMixer, MatchesThePerPositionSumsOnRealSignals) {
  // Peers talking over each other: tones with noise at levels from quiet to clipping, extreme
  // samples, block lengths around the chunk size, and an output that is one of the inputs.
  const unsigned lengths[] = {0, 1, 160, 255, 256, 257, 513, 1920, 4000};
  const int levels[] = {300, 9000, 20000, 32767};
  for (int mode = kMixClamp; mode <= kMixPeakNormalise; ++mode) {
    for (unsigned count = 0; count <= 6; ++count) {
      for (unsigned samples : lengths) {
        for (int level : levels) {
          std::vector<std::vector<int16_t>> signals;
          for (unsigned j = 0; j < count; ++j) {
            // One sample more than mixed, so that even an empty block has an address.
            signals.push_back(hx_test::ToneAndNoise(16000, 200 + 170 * j, level, level / 10 + 1,
                                                    samples + 1, 3 + j + level));
            if (samples > 10 && level == 32767) signals.back()[samples / 3] = -32768;
          }
          std::vector<short*> inputs;
          for (auto& v : signals) inputs.push_back(v.data());
          std::vector<int16_t> expected(samples + 1, 77), out(samples + 1, 77);
          ReferenceMix(mode, inputs.data(), count, expected.data(), samples);
          HX_AudioMixer mixer;
          ASSERT_TRUE(mixer.Init(static_cast<HX_AudioMixerMode>(mode)));
          ASSERT_TRUE(mixer.Mix(inputs.data(), count, out.data(), samples));
          ASSERT_EQ(out, expected) << "mode " << mode << " count " << count << " samples "
                                   << samples << " level " << level;
          if (count > 0) {
            // In place: the output overwrites the first input.
            std::vector<int16_t> first = signals[0];
            first.back() = 77;
            inputs[0] = first.data();
            ASSERT_TRUE(mixer.Mix(inputs.data(), count, first.data(), samples));
            ASSERT_EQ(first, expected) << "in place, mode " << mode << " count " << count;
          }
        }
      }
    }
  }
}

}  // namespace
