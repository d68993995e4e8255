// The voice detector and its comfort-noise generator: pieces of 40 samples, the 240 ms hang-over,
// the noise floor's fast fall and slow rise, learning from non-voice blocks, and the noise served
// before and after learning.
#include "core/media/audio/audio_vad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "testing/audio_signal.h"

namespace {

const unsigned char* Bytes(const std::vector<int16_t>& v) {
  return reinterpret_cast<const unsigned char*>(v.data());
}

std::vector<int16_t> Noise(int amp, size_t n, uint32_t seed) {
  return hx_test::ToneAndNoise(16000, 100, 0, amp, n, seed);
}

TEST(AudioVAD, InitRefusesRatesAndWidths) {
  struct Case {
    int rate, bits;
    bool ok;
  };
  for (const Case c : {Case{3999, 16, false}, Case{4000, 16, true}, Case{96000, 8, true},
                       Case{96001, 16, false}, Case{16000, 12, false}, Case{16000, 24, false}}) {
    HXAudioVAD vad;
    EXPECT_EQ(vad.Init(c.rate, c.bits), c.ok) << c.rate << "/" << c.bits;
  }
  HXAudioVAD vad;
  ASSERT_TRUE(vad.Init(16000, 16));
  EXPECT_EQ(vad.GetState(), 2);
  EXPECT_EQ(vad.GetMode(), 2);
  EXPECT_EQ(vad.GetNoiseFloor(), -48.0f);
  EXPECT_EQ(vad.GetHangoverReload(), 3840);
  EXPECT_EQ(vad.GetFloorHoldReload(), 19200);
  ASSERT_NE(vad.GetNoiseGen(), nullptr);
  EXPECT_EQ(vad.GetNoiseGen()->GetN(), 48000);
  vad.SetMode(0);
  EXPECT_TRUE(vad.IsVad(nullptr, 0));  // detection off: everything is voice
}

TEST(AudioVAD, OneLoudPieceMakesTheBlockVoiceAndTheHangoverHolds3840Samples) {
  HXAudioVAD vad;
  ASSERT_TRUE(vad.Init(16000, 16));
  // Settle on quiet noise.
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(vad.IsVad(Bytes(Noise(30, 640, i + 1)), 1280)) << i;
  // A 640-sample block is 16 pieces; only piece 7 is loud.
  auto block = Noise(30, 640, 1000);
  const auto loud = hx_test::ToneAndNoise(16000, 1500, 12000, 0, 40);
  std::copy(loud.begin(), loud.end(), block.begin() + 7 * 40);
  EXPECT_TRUE(vad.IsVad(Bytes(block), 1280));
  EXPECT_EQ(vad.GetState(), 1);
  // Then quiet 40-sample pieces: the energy decays for a while (voice, hang-over reloaded), then
  // the hang-over runs down 40 samples a piece and holds exactly 3840 samples.
  int piece = 0;
  while (vad.IsVad(Bytes(Noise(30, 40, 5000 + piece)), 80) &&
         vad.GetHangover() == vad.GetHangoverReload()) {
    ASSERT_LT(++piece, 2000);
  }
  int held = 40;  // the piece that first ran the hang-over down was voice too
  while (vad.IsVad(Bytes(Noise(30, 40, 9000 + held)), 80)) {
    held += 40;
    ASSERT_LT(held, 10000);
  }
  EXPECT_EQ(held, 3840);
  EXPECT_EQ(vad.GetState(), 0);
  EXPECT_EQ(vad.GetHangover(), 0);
}

TEST(AudioVAD, NoiseFloorFallsAtOnceAndRises1p5DbPer1200Ms) {
  HXAudioVAD vad;
  ASSERT_TRUE(vad.Init(16000, 16));
  for (int i = 0; i < 200; ++i) vad.IsVad(Bytes(Noise(2000, 40, i + 1)), 80);
  const float loud_floor = vad.GetNoiseFloor();
  // Much quieter noise: the floor follows every lower energy at once (each drop reloads the
  // hold) and does not rise within 1200 ms (480 pieces).
  float previous = loud_floor;
  for (int i = 0; i < 400; ++i) {
    vad.IsVad(Bytes(Noise(10, 40, 1000 + i)), 80);
    const float now = vad.GetNoiseFloor();
    ASSERT_LE(now, previous) << "piece " << i;
    if (now < previous) ASSERT_EQ(vad.GetFloorHold(), vad.GetFloorHoldReload()) << "piece " << i;
    previous = now;
  }
  EXPECT_LT(vad.GetNoiseFloor(), loud_floor - 8.0f);
  // Louder noise again: the floor rises by 1.5 dB, 481 pieces (just over 19200 samples) after
  // the last lower energy reloaded its hold, then every 480 pieces.
  int last_reload = -1, first_rise = -1, second_rise = -1;
  float before = vad.GetNoiseFloor();
  for (int i = 0; i < 1200 && second_rise < 0; ++i) {
    vad.IsVad(Bytes(Noise(2000, 40, 50000 + i)), 80);
    const float now = vad.GetNoiseFloor();
    if (now > before) {
      EXPECT_NEAR(now - before, 1.5f, 1e-4);
      (first_rise < 0 ? first_rise : second_rise) = i;
    } else if (vad.GetFloorHold() == vad.GetFloorHoldReload()) {
      last_reload = i;
    }
    before = now;
  }
  ASSERT_GE(last_reload, 0);
  EXPECT_EQ(first_rise - last_reload, 481);
  EXPECT_EQ(second_rise - first_rise, 480);
}

TEST(AudioVAD, EightBitBlocksAndLearning) {
  HXAudioVAD vad;
  ASSERT_TRUE(vad.Init(8000, 8));
  std::vector<unsigned char> quiet(160, 128);  // 8-bit silence is 128
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(vad.IsVad(quiet.data(), 160));
  EXPECT_TRUE(vad.GetNoiseGen()->IsBuilt());  // non-voice blocks taught the generator
  std::vector<unsigned char> loud(160);
  for (int i = 0; i < 160; ++i) loud[i] = static_cast<unsigned char>(128 + 100 * std::sin(i * 0.9));
  EXPECT_TRUE(vad.IsVad(loud.data(), 160));
  // An empty or one-byte 16-bit block is non-voice and teaches nothing.
  HXAudioVAD v16;
  ASSERT_TRUE(v16.Init(16000, 16));
  unsigned char one = 5;
  EXPECT_FALSE(v16.IsVad(&one, 1));
  EXPECT_FALSE(v16.GetNoiseGen()->IsBuilt());
  // Mode 1 only detects.
  v16.SetMode(1);
  EXPECT_FALSE(v16.IsVad(Bytes(Noise(10, 640, 3)), 1280));
  EXPECT_FALSE(v16.GetNoiseGen()->IsBuilt());
}

TEST(NoiseGen, InitSizes) {
  NoiseGen gen;
  EXPECT_TRUE(gen.Init(16000, 3000));
  EXPECT_EQ(gen.GetN(), 48000);
  EXPECT_TRUE(gen.Init(16000, 100));
  EXPECT_EQ(gen.GetN(), 8000);  // at least 500 ms
  EXPECT_FALSE(gen.Init(999, 3000));
  for (int16_t v : gen.GetTable()) ASSERT_TRUE(v >= 0 && v <= 2047);
}

TEST(NoiseGen, BeforeLearningNoiseIsScaledTableNoise) {
  NoiseGen gen;
  ASSERT_TRUE(gen.Init(16000, 3000));
  gen.SetLevel(300);
  std::vector<short> out(320);
  gen.GetNoise(out.data(), 320);
  const auto& table = gen.GetTable();
  auto expect_at = [&](int t) {
    return static_cast<short>(static_cast<int16_t>(300 * table[t % 10000]) >> 12);
  };
  int start = -1;
  for (int s = 0; s < 10000 && start < 0; ++s) {
    bool all = true;
    for (int i = 1; i < 319 && all; ++i) all = out[i] == expect_at(s + i);
    if (all) start = s;
  }
  ASSERT_GE(start, 0) << "no table start produces the served noise";
  EXPECT_EQ(out[0], expect_at(start) / 2);
  EXPECT_EQ(out[319], expect_at(start + 319) / 2);
  gen.GetNoise(out.data(), 0);  // an empty request writes nothing
}

TEST(NoiseGen, LearnedNoiseFollowsTheBlocksLevel) {
  NoiseGen gen;
  ASSERT_TRUE(gen.Init(16000, 500));
  for (int i = 0; i < 40; ++i) {
    auto block = Noise(1000, 320, i + 1);
    gen.FillBuffer(block.data(), 320);
  }
  EXPECT_TRUE(gen.IsBuilt());
  std::vector<short> out(20000);  // longer than N − 2000: served in pieces
  gen.GetNoise(out.data(), static_cast<int>(out.size()));
  const int rms = NoiseGen::GetSummSq(out.data(), static_cast<int>(out.size()));
  EXPECT_GT(rms, 300);
  EXPECT_LT(rms, 900);  // uniform ±1000 has rms 577
  EXPECT_EQ(NoiseGen::GetSummSq(out.data(), 0), 0);
}

TEST(NoiseGen, ShortestBufferStillServesLongRequests) {
  // At 4 kHz the buffer is 2000 samples: no piece could start among the first 2000 positions and
  // leave anything to copy. The request must still end.
  NoiseGen gen;
  ASSERT_TRUE(gen.Init(4000, 500));
  EXPECT_EQ(gen.GetN(), 2000);
  auto block = Noise(500, 400, 2);
  gen.FillBuffer(block.data(), 400);
  std::vector<short> out(5000);
  gen.GetNoise(out.data(), 5000);
  EXPECT_GT(NoiseGen::GetSummSq(out.data(), 5000), 0);
}

}  // namespace
