// The voice detector and its comfort-noise generator: pieces of 40 samples, the 240 ms hang-over,
// the noise floor's fast fall and slow rise, learning from non-voice blocks, and the noise served
// before and after learning.
#include "core/media/audio/audio_vad.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/media/audio/audio_codec_opus.h"
#include "testing/audio_signal.h"

namespace {

const unsigned char* Bytes(const std::vector<int16_t>& v) {
  return reinterpret_cast<const unsigned char*>(v.data());
}

std::vector<int16_t> Noise(int amp, size_t n, uint32_t seed) {
  return hx_test::ToneAndNoise(16000, 100, 0, amp, n, seed);
}

// The detector as first written (one branch per sample in the energy tracker, a copy of every
// piece), kept as the reference its faster form must match decision by decision. The noise
// generator is followed through what the detector gives it: the level after every block and the
// running average of the blocks it learns from.
struct ReferenceVad {
  int hangover = 0, mode = 2, state = 2;
  uint64_t energy = 10000;
  float margin = 8.0f;
  int floor_hold, floor_hold_reload, hangover_reload;
  float noise_floor = -48.0f;
  int rising = 1, transitions = 0, width;
  int min_level = 65536, max_level = 0;
  int16_t previous = 0;
  int noise_level = 127, noise_average = 0;
  bool noise_built = false;

  ReferenceVad(int rate, int bits) : width(bits) {
    floor_hold_reload = 1200 * (rate / 1000);
    floor_hold = floor_hold_reload;
    hangover_reload = 240 * (rate / 1000);
  }
  static float ToDb(uint64_t e) {
    return 10.0f * std::log10(static_cast<float>(std::max<uint64_t>(e, 1))) - 93.32f;
  }
  uint64_t ComputeSTA(const short* d, int count, uint64_t* low) {
    uint64_t high = energy;
    *low = energy;
    uint64_t sum = 0;
    for (int i = 0; i < count; ++i) {
      const uint64_t sq = static_cast<uint64_t>(int64_t{d[i]} * d[i]);
      sum += sq >> 9;
      uint64_t inc, dec;
      if (rising) {
        inc = sq >> 5;
        dec = energy >> 6;
      } else {
        inc = sq >> 9;
        dec = energy >> 10;
      }
      energy = energy + inc - dec;
      rising = inc > dec;
      if (energy > high) {
        high = energy;
      } else if (energy < *low) {
        *low = energy;
      }
    }
    const int rms = static_cast<int>(std::sqrt(static_cast<float>(sum) / count * 512.0f));
    if (min_level > rms) min_level = (min_level + rms) / 2;
    if (max_level < rms) max_level = (max_level + rms) / 2;
    return high;
  }
  bool SubProcess(const short* x, int n) {
    short d[64];
    int16_t prev = previous;
    for (int i = 0; i < n; ++i) {
      d[i] = static_cast<int16_t>(x[i] - prev);
      prev = x[i];
    }
    previous = x[n - 1];
    uint64_t low = 0;
    const uint64_t high = ComputeSTA(d, n, &low);
    const float low_db = ToDb(low);
    const float high_db = ToDb(high);
    if (noise_floor >= low_db) {
      noise_floor = low_db;
      floor_hold = floor_hold_reload;
    } else {
      floor_hold -= n;
      if (floor_hold < 0) {
        noise_floor += 1.5f;
        floor_hold += floor_hold_reload;
      }
    }
    if (high_db > noise_floor + margin) {
      hangover = hangover_reload;
      if (state == 0) ++transitions;
      state = 1;
      return true;
    }
    hangover -= n;
    if (hangover >= 0) return true;
    hangover = 0;
    if (state != 0) ++transitions;
    state = 0;
    return false;
  }
  bool IsVad(const unsigned char* block, int bytes) {
    std::vector<short> converted;
    int count = 0;
    if (width == 16) {
      count = bytes >= 2 && block != nullptr ? bytes / 2 : 0;
      converted.resize(count);
      if (count > 0) std::memcpy(converted.data(), block, count * sizeof(short));
    } else if (bytes >= 1 && block != nullptr) {
      count = bytes;
      converted.resize(count);
      for (int i = 0; i < count; ++i) converted[i] = static_cast<short>((block[i] * 256) ^ 0x8000);
    }
    bool voice = false;
    for (int start = 0; start < count; start += 40) {
      if (SubProcess(converted.data() + start, std::min(40, count - start))) voice = true;
    }
    if (!voice && count > 0 && mode == 2) {
      noise_average = (noise_average + NoiseGen::GetSummSq(converted.data(), count)) / 2;
      noise_built = true;
    }
    noise_level = (min_level + (max_level >> 4) + 128) / 2;
    return voice;
  }
};

// A voice-like signal: a pitch with harmonics under a syllable-rate envelope, pauses of quiet
// background noise between phrases, and a loud burst now and then.
std::vector<int16_t> Speech(int rate, int samples, uint32_t seed) {
  std::vector<int16_t> pcm(samples);
  for (int i = 0; i < samples; ++i) {
    const double t = double(i) / rate;
    seed = seed * 1664525u + 1013904223u;
    const double noise = double((seed >> 20) & 511) - 256;
    const bool phrase = std::fmod(t, 3.0) < 1.6;
    const double env = phrase ? 0.5 + 0.5 * std::sin(2 * M_PI * 4.3 * t) : 0.0;
    const double pitch = 120 + 40 * std::sin(2 * M_PI * 0.7 * t);
    double v =
        env * (6000 * std::sin(2 * M_PI * pitch * t) + 3000 * std::sin(6 * M_PI * pitch * t) +
               1500 * std::sin(10 * M_PI * pitch * t)) +
        noise * (phrase ? 1.0 : 0.05);
    if (std::fmod(t, 5.1) < 0.02) v = 30000 * std::sin(2 * M_PI * 900 * t);
    pcm[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return pcm;
}

// The signal through a real Opus encoder and decoder in 40 ms frames.
std::vector<int16_t> ThroughOpus(const std::vector<int16_t>& pcm, int rate) {
  AudioCodecOpus enc(true), dec(false);
  EXPECT_EQ(enc.Init(rate), 0);
  EXPECT_EQ(dec.Init(rate), 0);
  const int frame = rate / 25;
  std::vector<int16_t> out;
  std::vector<unsigned char> packet(4000);
  std::vector<int16_t> decoded(frame * 2);
  for (size_t at = 0; at + frame <= pcm.size(); at += frame) {
    const int n = enc.Convert(reinterpret_cast<unsigned char*>(const_cast<int16_t*>(&pcm[at])),
                              frame * 2, packet.data(), int(packet.size()));
    const int m = dec.Convert(packet.data(), n, reinterpret_cast<unsigned char*>(decoded.data()),
                              int(decoded.size() * 2));
    out.insert(out.end(), decoded.begin(), decoded.begin() + m / 2);
  }
  return out;
}

void ExpectSameState(const HXAudioVAD& vad, const ReferenceVad& ref, size_t block) {
  ASSERT_EQ(vad.GetState(), ref.state) << "block " << block;
  ASSERT_EQ(vad.GetHangover(), ref.hangover) << "block " << block;
  ASSERT_EQ(vad.GetNoiseFloor(), ref.noise_floor) << "block " << block;
  ASSERT_EQ(vad.GetFloorHold(), ref.floor_hold) << "block " << block;
  ASSERT_EQ(vad.GetTransitions(), ref.transitions) << "block " << block;
  ASSERT_EQ(vad.GetMinLevel(), ref.min_level) << "block " << block;
  ASSERT_EQ(vad.GetMaxLevel(), ref.max_level) << "block " << block;
  ASSERT_EQ(vad.GetNoiseGen()->GetLevel(), ref.noise_level) << "block " << block;
  ASSERT_EQ(vad.GetNoiseGen()->GetAverage(), ref.noise_average) << "block " << block;
  ASSERT_EQ(vad.GetNoiseGen()->IsBuilt(), ref.noise_built) << "block " << block;
}

TEST(AudioVAD, MatchesTheReferenceDetectorOnDecodedSpeech) {
  // 16 kHz and 48 kHz peers, blocks of 40 ms as the jitter buffer sees them, then irregular
  // sizes (single samples, pieces shorter than 40) at an odd address.
  for (const int rate : {16000, 48000, 8000}) {
    const auto decoded = ThroughOpus(Speech(rate, rate * 12, 5), rate);
    ASSERT_GT(decoded.size(), size_t(rate) * 11);
    HXAudioVAD vad;
    ASSERT_TRUE(vad.Init(rate, 16));
    ReferenceVad ref(rate, 16);
    const size_t frame = rate / 25;
    size_t at = 0, block = 0;
    int voiced = 0, silent = 0;
    for (; at + frame <= decoded.size() / 2; at += frame, ++block) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(&decoded[at]);
      const bool voice = vad.IsVad(bytes, int(frame * 2));
      ASSERT_EQ(voice, ref.IsVad(bytes, int(frame * 2))) << rate << " block " << block;
      ExpectSameState(vad, ref, block);
      (voice ? voiced : silent)++;
    }
    EXPECT_GT(voiced, 10) << rate;  // the signal exercises both decisions
    EXPECT_GT(silent, 10) << rate;
    std::vector<unsigned char> odd(frame * 2 + 1);
    const size_t sizes[] = {1, 2, 3, 79, 80, 81, 158, 1000, 2 * frame + 1};
    for (size_t k = 0; at + frame <= decoded.size(); ++k, ++block) {
      const size_t bytes = std::min(sizes[k % std::size(sizes)], frame * 2);
      std::memcpy(odd.data() + 1, &decoded[at], bytes);
      at += bytes / 2 + 1;
      const bool voice = vad.IsVad(odd.data() + 1, int(bytes));
      ASSERT_EQ(voice, ref.IsVad(odd.data() + 1, int(bytes))) << rate << " block " << block;
      ExpectSameState(vad, ref, block);
    }
  }
}

TEST(AudioVAD, MatchesTheReferenceDetectorOnEightBitAndSyntheticBlocks) {
  // Full-scale square waves (squares of -32768), silence, and noise at 8 bits.
  HXAudioVAD vad;
  ASSERT_TRUE(vad.Init(8000, 8));
  ReferenceVad ref(8000, 8);
  for (int block = 0; block < 400; ++block) {
    std::vector<unsigned char> b(160 + block % 7);
    for (size_t i = 0; i < b.size(); ++i) {
      const int phase = block / 40;
      b[i] = phase % 3 == 0   ? 128
             : phase % 3 == 1 ? static_cast<unsigned char>((i / 5) % 2 ? 0 : 255)
                              : static_cast<unsigned char>(128 + ((block * 131 + i * 71) % 17) - 8);
    }
    ASSERT_EQ(vad.IsVad(b.data(), int(b.size())), ref.IsVad(b.data(), int(b.size()))) << block;
    ExpectSameState(vad, ref, block);
  }
  HXAudioVAD v16;
  ASSERT_TRUE(v16.Init(16000, 16));
  ReferenceVad r16(16000, 16);
  for (int block = 0; block < 300; ++block) {
    std::vector<int16_t> b(640);
    for (size_t i = 0; i < b.size(); ++i) {
      b[i] = block % 50 < 10 ? static_cast<int16_t>((i / 8) % 2 ? -32768 : 32767)
                             : static_cast<int16_t>(((block * 977 + i * 131) % 61) - 30);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(b.data());
    ASSERT_EQ(v16.IsVad(bytes, 1280), r16.IsVad(bytes, 1280)) << block;
    ExpectSameState(v16, r16, block);
  }
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
