// The echo-delay detector on generated streams: the probe's layout, collection and probe
// playback (never past the render block, at 16 and 48 kHz), the analysis helpers on small
// tables, and whole measurements with the probe placed at known blocks, twice, or not at all.
#include "core/media/audio/echo/echo_delay_detector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/media/audio/audio_test_support.h"
#include "core/media/audio/echo/echo_probe.h"

namespace {

using audiodelay_detector::kDelayFound;
using audiodelay_detector::kManyCandidates;
using audiodelay_detector::kNoCandidate;

double Rms(const std::vector<int16_t>& v, size_t from, size_t n) {
  double s = 0;
  for (size_t i = from; i < from + n; ++i) s += double(v[i]) * v[i];
  return std::sqrt(s / n);
}

TEST(EchoProbe, LayoutLevelsAndTones) {
  const auto& p = hx_echo_probe::Probe();
  ASSERT_EQ(p.size(), 20800u);
  int peak = 0;
  for (int16_t s : p) peak = std::max(peak, std::abs(int(s)));
  EXPECT_EQ(peak, 7760);
  // Gaps: [0,1600), [6400,8000), [12800,14400), [19200,20800), all below 50.
  for (size_t g : {0u, 6400u, 12800u, 19200u})
    for (size_t i = g; i < g + 1600; ++i) ASSERT_LT(std::abs(int(p[i])), 50) << i;
  for (int i = 0; i < 1600; ++i) ASSERT_LE(std::abs(int(p[i])), 1);
  for (int t = 0; t < 3; ++t) {
    const size_t start = 1600 + t * 6400;
    int early = 0;
    for (size_t i = start; i < start + 32; ++i) early = std::max(early, std::abs(int(p[i])));
    EXPECT_GT(early, 7000) << "tone " << t << " reaches full level within 2 ms";
    EXPECT_NEAR(Rms(p, start + 32, 160), 5400, 250);
    EXPECT_NEAR(Rms(p, start + 4800 - 160, 160), 1950, 250);
    const double hz = hx_echo_probe::kToneHz[t];
    const double own = hx_audio_test::ToneAmplitude(p.data() + start, 4800, 16000, hz);
    for (double other : hx_echo_probe::kToneHz)
      if (other != hz)
        EXPECT_GT(own, 10 * hx_audio_test::ToneAmplitude(p.data() + start, 4800, 16000, other));
  }
}

class EchoDetector : public ::testing::Test {
 protected:
  void SetUp() override { d.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>()); }
  // 5300 ms of low noise with the probe at the given sample offsets.
  static std::vector<int16_t> Stream(std::initializer_list<size_t> at, unsigned seed = 1) {
    std::vector<int16_t> s(332 * 256);  // 5312 ms: whole blocks past 5300 ms
    std::mt19937 rng(seed);
    for (auto& v : s) v = int16_t(int(rng() % 41) - 20);
    for (size_t a : at)
      for (size_t i = 0; i < 20800 && a + i < s.size(); ++i) s[a + i] += hx_echo_probe::Probe()[i];
    return s;
  }
  void Feed(const std::vector<int16_t>& captured, const std::vector<int16_t>& rendered) {
    for (size_t i = 0; i + 256 <= captured.size(); i += 256) {
      d.AddCapturedSamples(captured.data() + i, 256);
      d.AddRenderedSamples(rendered.data() + i, 256);
    }
  }
  HX_EchoDelayDetector d;
};

TEST_F(EchoDetector, InitNeedsARateAndAResamplerFactory) {
  EXPECT_FALSE(d.Init(2000, 2000, 0));
  HX_EchoDelayDetector bare;
  EXPECT_FALSE(bare.Init(2000, 2000, 16000));
  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  EXPECT_EQ(d.GetTotalTime(), 5300u);
  EXPECT_FALSE(d.IsEnoughData());
  d.Release();
  EXPECT_FALSE(d.IsEnoughData());  // no measurement is not a complete one
  EXPECT_EQ(d.GetTotalTime(), 0u);
}

TEST_F(EchoDetector, CollectsUntilTheTotalTimeOfBothStreams) {
  ASSERT_TRUE(d.Init(2000, 2000, 48000));
  std::vector<int16_t> block(480, 1);
  // 10 ms per block at 48 kHz: 530 blocks reach 5300 ms; later blocks are not kept.
  for (int i = 0; i < 529; ++i) {
    d.AddCapturedSamples(block.data(), 480);
    d.AddRenderedSamples(block.data(), 480);
  }
  EXPECT_FALSE(d.IsEnoughData());
  d.AddCapturedSamples(block.data(), 480);
  EXPECT_FALSE(d.IsEnoughData());
  d.AddRenderedSamples(block.data(), 480);
  EXPECT_TRUE(d.IsEnoughData());
  d.AddCapturedSamples(block.data(), 480);
  EXPECT_EQ(d.GetCapturedTime(), 5300u);
  d.AddCapturedSamples(nullptr, 480);
  d.AddCapturedSamples(block.data(), -5);
  EXPECT_EQ(d.GetCapturedTime(), 5300u);
}

// The probe starts once more than the lead time of reference was collected, and every call
// writes only into its block: the resampler's surplus waits for the next block.
TEST_F(EchoDetector, ProbeIsWrittenOnlyIntoTheBlockAt16And48kHz) {
  for (int f : {16000, 48000, 44100, 8000}) {
    ASSERT_TRUE(d.Init(2000, 2000, 16000));
    const unsigned long samples = 256;
    std::vector<int16_t> reference(256, 0);
    std::vector<int16_t> played;
    bool started = false;
    for (int b = 0; b < 600; ++b) {
      std::vector<int16_t> block(samples + 64, 0x5555);  // 64 guard samples
      std::fill(block.begin(), block.begin() + samples, 0);
      const uint64_t before = d.GetProbePosition();
      d.AddPatternToRenderedAudio(block.data(), f, samples);
      EXPECT_LE(d.GetProbePosition() - before, samples * 16000 / f) << f;
      for (size_t g = samples; g < block.size(); ++g)
        ASSERT_EQ(block[g], 0x5555) << f << " block " << b;
      if (d.GetProbePosition() > 0) started = true;
      played.insert(played.end(), block.begin(), block.begin() + samples);
      d.AddRenderedSamples(reference.data(), 256);  // 16 ms of reference per block
      d.AddCapturedSamples(reference.data(), 256);
    }
    EXPECT_EQ(d.GetProbePosition(), 20800u) << f;
    // Nothing before 2000 ms of reference (125 blocks of 16 ms; the probe starts in block 126),
    // and the tones come out at the device rate.
    for (size_t i = 0; i < 126 * samples; ++i) ASSERT_EQ(played[i], 0) << f << " " << i;
    const double hz = hx_echo_probe::kToneHz[0];
    const size_t tone = 126 * samples + size_t(0.15 * f);
    EXPECT_GT(hx_audio_test::ToneAmplitude(played.data() + tone, f / 20, f, hz), 3000) << f;
    EXPECT_FALSE(d.IsPatternAdding());
  }
}

TEST(EchoDetectorHelpers, SmoothingMinimumsAndOutliers) {
  using P = HX_EchoDelayDetector::Pairs;
  EXPECT_EQ(HX_EchoDelayDetector::GetSmoothed(P{{0, 3}, {1, 9}}), (P{{0, 3}, {1, 9}}));
  EXPECT_EQ(HX_EchoDelayDetector::GetSmoothed(P{{0, 3}, {1, 9}, {2, 0}, {3, 6}}),
            (P{{0, 3}, {1, 4}, {2, 5}, {3, 6}}));
  // First point, strict interior minima of the smoothed values, last point.
  // Smoothed: 9, 8, 7, 6.67, 7, 8, 8.67, 9, 8.67, 6, 5.67, 6, 9 (a plateau is no minimum).
  const P f = HX_EchoDelayDetector::ToIndexValuePairs({9, 8, 7, 6, 7, 8, 9, 9, 9, 8, 1, 8, 9});
  const P mins = HX_EchoDelayDetector::GetLocalMinimums(f);
  ASSERT_EQ(mins.size(), 4u);
  EXPECT_EQ(mins[0].first, 0);
  EXPECT_EQ(mins[1].first, 3);
  EXPECT_NEAR(mins[1].second, 20.0 / 3, 1e-9);
  EXPECT_EQ(mins[2].first, 10);
  EXPECT_EQ(mins[3].first, 12);
  EXPECT_TRUE(
      HX_EchoDelayDetector::GetLocalMinimums(HX_EchoDelayDetector::ToIndexValuePairs({5, 5, 5, 5}))
          .size() == 2);
  EXPECT_TRUE(HX_EchoDelayDetector::GetLocalMinimums({}).empty());
  EXPECT_EQ(HX_EchoDelayDetector::GetMinIdx(HX_EchoDelayDetector::ToIndexValuePairs({4, 1, 3, 1})),
            1);
  EXPECT_EQ(HX_EchoDelayDetector::GetMinIdx({}), -1);

  // 32 values 100..131 with two deep ones: q1 = 107 (position 8), q3 = 123 (position 24), major
  // threshold 107 - 48 = 59, minor 107 - 24 = 83.
  std::vector<double> v(32);
  for (int i = 0; i < 32; ++i) v[i] = 100 + i;
  v[16] = 10;
  v[3] = 70;
  const P pairs = HX_EchoDelayDetector::ToIndexValuePairs(v);
  std::vector<double> sorted = v;
  std::sort(sorted.begin(), sorted.end());
  const double q1 = sorted[8], q3 = sorted[24];
  EXPECT_DOUBLE_EQ(HX_EchoDelayDetector::GetMajorOutlier(pairs), q1 - 3 * (q3 - q1));
  EXPECT_DOUBLE_EQ(HX_EchoDelayDetector::GetMinorOutlier(pairs), q1 - 1.5 * (q3 - q1));
  EXPECT_EQ(HX_EchoDelayDetector::GetMajorOutliers(pairs), (P{{16, 10}}));
  EXPECT_EQ(HX_EchoDelayDetector::GetMinorOutliers(pairs), (P{{16, 10}, {3, 70}}));
}

TEST_F(EchoDetector, ProbeAtBlock20OfTheNearEndAnd14OfTheReferenceGives96Ms) {
  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  Feed(Stream({20 * 256}), Stream({14 * 256}, 2));
  ASSERT_TRUE(d.IsEnoughData());
  EXPECT_EQ(d.ComputeDelay(), kDelayFound);
  EXPECT_EQ(d.GetDelay(), 96);
  EXPECT_EQ(d.GetMatchCount(), 1);
}

TEST_F(EchoDetector, IdenticalStreamsGiveDelayZero) {
  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  const auto s = Stream({33 * 256 + 100});
  Feed(s, s);
  EXPECT_EQ(d.ComputeDelay(), kDelayFound);
  EXPECT_EQ(d.GetDelay(), 0);
}

TEST_F(EchoDetector, NoProbeOrTwoProbesKeepThePreviousDelay) {
  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  Feed(Stream({30 * 256}), Stream({10 * 256}, 2));
  ASSERT_EQ(d.ComputeDelay(), kDelayFound);
  ASSERT_EQ(d.GetDelay(), 320);

  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  Feed(Stream({}), Stream({10 * 256}, 2));
  EXPECT_EQ(d.ComputeDelay(), kNoCandidate);
  EXPECT_EQ(d.GetDelay(), 320);

  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  Feed(Stream({5 * 256, 150 * 256}), Stream({5 * 256}, 2));
  EXPECT_EQ(d.ComputeDelay(), kManyCandidates);
  EXPECT_GE(d.GetMatchCount(), 2);
  EXPECT_EQ(d.GetDelay(), 320);

  // Streams shorter than the probe: no match function, no candidate.
  ASSERT_TRUE(d.Init(2000, 2000, 16000));
  std::vector<int16_t> shortStream(256 * 50, 0);
  Feed(shortStream, shortStream);
  EXPECT_EQ(d.ComputeDelay(), kNoCandidate);
}

TEST_F(EchoDetector, StreamsCollectedAt48kHzAreAnalysedAt16kHz) {
  ASSERT_TRUE(d.Init(2000, 2000, 48000));
  // The 16 kHz streams played at 48 kHz by repeating each sample three times.
  auto up = [](const std::vector<int16_t>& s) {
    std::vector<int16_t> o;
    for (int16_t v : s) o.insert(o.end(), 3, v);
    return o;
  };
  const auto c = up(Stream({40 * 256})), r = up(Stream({22 * 256}, 2));
  for (size_t i = 0; i < c.size(); i += 480) {
    d.AddCapturedSamples(c.data() + i, 480);
    d.AddRenderedSamples(r.data() + i, 480);
  }
  ASSERT_TRUE(d.IsEnoughData());
  EXPECT_EQ(d.ComputeDelay(), kDelayFound);
  EXPECT_NEAR(d.GetDelay(), 18 * 16, 16);
}

}  // namespace
