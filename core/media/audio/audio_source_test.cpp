// The per-peer jitter buffer with real Opus payloads and a stepped clock: the start rule, the drop
// rule, the pause rule, the level of empty and undecodable payloads, and GetData's concealment
// with its joints (including an underrun that leaves a single sample to fill).
#include "core/media/audio/audio_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/media/audio/audio_test_support.h"

namespace {

constexpr int kRate = 16000;
constexpr int kFrameBytes = 1280;  // 40 ms at 16 kHz

using hx_audio_test::Packets;

struct Fixture {
  int64_t now = 100000;
  HX_AudioSource source;
  HX_MediaFormat format;
  explicit Fixture(int rate = kRate) {
    source.SetClock([this] { return now; });
    format.SetAudio(rate, HX_MediaFormat::kAudioOpus, 40);
    EXPECT_TRUE(source.Init(&format, nullptr));
  }
};

TEST(AudioSource, InitRefusesUnusableFormats) {
  HX_AudioSource source;
  EXPECT_FALSE(source.Init(nullptr, nullptr));
  struct Case {
    uint32_t rate, tag, size;
  } cases[] = {{16000, 0, 1280},
               {7999, HX_MediaFormat::kAudioOpus, 1280},
               {48001, HX_MediaFormat::kAudioOpus, 1280},
               {16000, HX_MediaFormat::kAudioOpus, 0}};
  for (const auto& c : cases) {
    HX_MediaFormat f;
    f.sampleRate = c.rate;
    f.audioCodec = c.tag;
    f.audioBufferSize = c.size;
    EXPECT_FALSE(source.Init(&f, nullptr)) << c.rate << " " << c.tag << " " << c.size;
    EXPECT_FALSE(source.IsValid());
  }
  char buf[64];
  EXPECT_EQ(source.GetData(buf, 64), 0);
  EXPECT_FALSE(source.AddData(buf, 10));
}

TEST(AudioSource, FirstTwoFramesChangeTheLevelNotTheFifo) {
  Fixture fx;
  ASSERT_EQ(fx.format.audioBufferSize, static_cast<uint32_t>(kFrameBytes));
  auto packets = Packets(kRate, 3, 8000);
  EXPECT_EQ(fx.source.GetLevel(), 0u);
  ASSERT_TRUE(fx.source.AddData(packets[0].data(), packets[0].size()));
  fx.now += 40;
  ASSERT_TRUE(fx.source.AddData(packets[1].data(), packets[1].size()));
  EXPECT_GT(fx.source.GetLevel(), 0u);
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), 0u);
  fx.now += 40;
  ASSERT_TRUE(fx.source.AddData(packets[2].data(), packets[2].size()));
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), static_cast<uint32_t>(kFrameBytes));
  EXPECT_EQ(fx.source.GetCurrBuffDurr(), 40u);
  // The level falls to 0 two seconds after the last frame.
  fx.now += 2001;
  EXPECT_EQ(fx.source.GetLevel(), 0u);
}

TEST(AudioSource, EmptyAndUndecodablePayloadsGiveLevelZeroAndTheStreamGoesOn) {
  Fixture fx;
  // An empty payload, and a code-3 TOC byte announcing more frames than the payload holds.
  char junk[3] = {static_cast<char>(0xFF), static_cast<char>(0xFF), 0};
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(fx.source.AddData(nullptr, 0));
    EXPECT_TRUE(fx.source.AddData(junk, 3));
    fx.now += 40;
  }
  EXPECT_EQ(fx.source.GetLevel(), 0u);
  // The empty blocks were buffered as frames of nothing.
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), 0u);
  EXPECT_GT(fx.source.GetFrameCounter(), 20);
  auto packets = Packets(kRate, 1, 8000);
  EXPECT_TRUE(fx.source.AddData(packets[0].data(), packets[0].size()));
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), static_cast<uint32_t>(kFrameBytes));
  EXPECT_GT(fx.source.GetLevel(), 0u);
}

// Brings the FIFO to 200 ms with a recommended time of 100 ms (arrivals every 100 ms).
void PrepareOverLength(Fixture& fx, const std::vector<std::vector<char>>& packets) {
  for (int i = 0; i < 3; ++i) {
    fx.source.AddData(const_cast<char*>(packets[i].data()), packets[i].size());
    fx.now += 100;
  }
  HX_FifoBuffer* fifo = fx.source.GetFifo();
  std::vector<char> pad(6400 - fifo->GetDataLen(), 0);
  ASSERT_TRUE(fifo->AddData(pad.data(), pad.size()));
  ASSERT_EQ(fx.source.GetCurrBuffDurr(), 200u);
  ASSERT_EQ(fx.source.GetEstimator()->GetRTime(), 100u);
}

TEST(AudioSource, NonVoiceFrameIsDroppedAtOnce) {
  Fixture fx;
  auto packets = Packets(kRate, 6, 0);
  PrepareOverLength(fx, packets);
  const uint32_t held = fx.source.GetFifo()->GetDataLen();
  EXPECT_TRUE(fx.source.AddData(packets[3].data(), packets[3].size()));
  EXPECT_EQ(fx.source.GetLastAddedType(), HX_AudioSource::kDropped);
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), held);
  EXPECT_EQ(fx.source.GetDropCountdown(), 4);  // k = 100 / (200 - 140 + 10) + 4 = 5
  // One drop per countdown: the next non-voice frame is kept.
  fx.now += 100;
  EXPECT_TRUE(fx.source.AddData(packets[4].data(), packets[4].size()));
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), held + kFrameBytes);
}

TEST(AudioSource, VoiceFrameIsDroppedAtTheCountdownsLastStep) {
  Fixture fx;
  auto packets = Packets(kRate, 10, 12000);
  PrepareOverLength(fx, packets);
  uint32_t held = fx.source.GetFifo()->GetDataLen();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(fx.source.AddData(packets[3 + i].data(), packets[3 + i].size()));
    fx.now += 100;
    EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), held + kFrameBytes) << "frame " << i + 1;
    held += kFrameBytes;
    EXPECT_EQ(fx.source.GetDropCountdown(), 4 - i);
  }
  ASSERT_TRUE(fx.source.AddData(packets[7].data(), packets[7].size()));
  EXPECT_EQ(fx.source.GetLastAddedType(), HX_AudioSource::kDropped);
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), held);
  EXPECT_EQ(fx.source.GetDropCountdown(), 0);
  // The sixth arms a new countdown from 360 ms held: k = 100 / 230 + 4 = 4, and keeps the voice.
  fx.now += 100;
  ASSERT_TRUE(fx.source.AddData(packets[8].data(), packets[8].size()));
  EXPECT_EQ(fx.source.GetDropCountdown(), 3);
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), held + kFrameBytes);
}

TEST(AudioSource, PauseAbove4000MsRestartsTheEstimate) {
  Fixture fx;
  auto packets = Packets(kRate, 6, 8000);
  for (int i = 0; i < 3; ++i) {
    fx.source.AddData(packets[i].data(), packets[i].size());
    fx.now += 100;
  }
  fx.now += 4000 - 100;  // exactly 4000 ms after the last arrival: kept
  fx.source.AddData(packets[3].data(), packets[3].size());
  EXPECT_EQ(fx.source.GetEstimator()->GetRTime(), (4000u + 3 * 100u) / 4);
  fx.now += 4001;
  fx.source.AddData(packets[4].data(), packets[4].size());
  EXPECT_EQ(fx.source.GetEstimator()->GetRTime(), static_cast<unsigned long>(-1));
}

// Plays one decoded frame, leaving `held` bytes; answers the frame as the FIFO held it.
std::vector<int16_t> LeaveHeld(Fixture& fx, int held) {
  auto packets = Packets(kRate, 3, 8000);
  for (auto& p : packets) fx.source.AddData(p.data(), p.size());
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), static_cast<uint32_t>(kFrameBytes));
  std::vector<int16_t> frame(kFrameBytes / 2);
  fx.source.GetFifo()->GetData(frame.data(), kFrameBytes, false);
  std::vector<int16_t> first(kFrameBytes / 2);
  EXPECT_EQ(fx.source.GetData(reinterpret_cast<char*>(first.data()), kFrameBytes - held),
            kFrameBytes - held);
  return frame;
}

TEST(AudioSource, UnderrunFillsWithSilenceAfterTheNoiseWindowAndPullsTheJoint) {
  Fixture fx;
  auto frame = LeaveHeld(fx, 200);
  fx.now += 2000;  // the last full read is 2000 ms old: zeros
  std::vector<int16_t> out(320, 0x5A5A);
  ASSERT_EQ(fx.source.GetData(reinterpret_cast<char*>(out.data()), 640), 640);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(out[i], frame[540 + i]) << i;
  const int last = frame[639];
  const int16_t d = static_cast<int16_t>(last / 3);
  EXPECT_EQ(out[100], 2 * d);
  EXPECT_EQ(out[101], d);
  for (int i = 102; i < 320; ++i) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), 0u);
}

TEST(AudioSource, UnderrunWithinTheNoiseWindowGivesComfortNoise) {
  Fixture fx;
  auto frame = LeaveHeld(fx, 200);
  fx.now += 1999;
  std::vector<int16_t> out(320, 0);
  ASSERT_EQ(fx.source.GetData(reinterpret_cast<char*>(out.data()), 640), 640);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(out[i], frame[540 + i]) << i;
  int nonzero = 0;
  for (int i = 102; i < 320; ++i) nonzero += out[i] != 0;
  EXPECT_GT(nonzero, 100);
}

TEST(AudioSource, UnderrunLeavingOneSampleWritesNothingPastTheBlock) {
  Fixture fx;
  auto frame = LeaveHeld(fx, 638);
  fx.now += 3000;
  // The block sits at the end of a larger buffer whose tail is a guard area.
  std::vector<int16_t> buffer(320 + 8, 0x5A5A);
  ASSERT_EQ(fx.source.GetData(reinterpret_cast<char*>(buffer.data()), 640), 640);
  for (int i = 0; i < 319; ++i) ASSERT_EQ(buffer[i], frame[321 + i]) << i;
  EXPECT_EQ(buffer[319], static_cast<int16_t>(2 * (frame[639] / 3)));
  for (int i = 320; i < 328; ++i) EXPECT_EQ(buffer[i], 0x5A5A) << i;
}

TEST(AudioSource, RandomPayloadsStayInsideTheBuffers) {
  Fixture fx;
  std::mt19937 rng(7);
  std::vector<char> out(1280);
  for (int i = 0; i < 300; ++i) {
    std::vector<char> payload(rng() % 200);
    for (auto& b : payload) b = static_cast<char>(rng());
    EXPECT_TRUE(fx.source.AddData(payload.data(), payload.size()));
    EXPECT_EQ(fx.source.GetData(out.data(), 1 + 2 * (rng() % 640)) > 0, true);
    fx.now += 40;
  }
}

TEST(AudioSource, ReInitKeepsTheBlockFlagAndRefusesTheSameFormat) {
  Fixture fx;
  fx.source.SetBlock(true);
  HX_MediaFormat same = fx.format;
  EXPECT_FALSE(fx.source.ReInit(&same, nullptr));
  HX_MediaFormat other;
  other.SetAudio(48000, HX_MediaFormat::kAudioOpus, 40);
  EXPECT_TRUE(fx.source.ReInit(&other, nullptr));
  EXPECT_TRUE(fx.source.IsValid());
  EXPECT_TRUE(fx.source.IsBlocked());
  EXPECT_EQ(fx.source.GetFormat().sampleRate, 48000u);
  char payload[4] = {};
  EXPECT_FALSE(fx.source.AddData(payload, 4));  // blocked
}

}  // namespace
