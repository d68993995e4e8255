// The mixing sink with real Opus sources: rate groups and the announced mixing frequency, a source
// whose Init failed, two peers at 16 and 48 kHz played at 16 kHz, and requests that the group
// FIFO cannot serve (larger than its room, or a device frequency of 0).
#include "core/media/audio/audio_sinc.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/media/audio/audio_test_support.h"

namespace {

using hx_audio_test::Packets;
using hx_audio_test::ToneAmplitude;

struct RecordingCallback : AudioMixerCallback {
  std::vector<unsigned> frequencies;
  bool CurrentFreq(unsigned f) override {
    frequencies.push_back(f);
    return true;
  }
};

// Records the input length of every conversion.
struct CountingFactory : HX_AudioResamplerFactory {
  struct Resampler : HXResamplerWebRtc {
    explicit Resampler(std::vector<unsigned>* c) : chunks(c) {}
    int InternalProcess(void* in, void* out, unsigned bytes) override {
      chunks->push_back(bytes);
      return HXResamplerWebRtc::InternalProcess(in, out, bytes);
    }
    std::vector<unsigned>* chunks;
  };
  std::vector<unsigned> chunks;
  HX_AudioResamplerBase* CreateAudioResampler() override { return new Resampler(&chunks); }
};

std::unique_ptr<HX_AudioSource> MakeSource(int rate, const int64_t* now = nullptr) {
  auto source = std::make_unique<HX_AudioSource>();
  if (now != nullptr) source->SetClock([now] { return *now; });
  HX_MediaFormat format;
  format.SetAudio(rate, HX_MediaFormat::kAudioOpus, 40);
  EXPECT_TRUE(source->Init(&format, nullptr));
  return source;
}

void Feed(HX_AudioSource& source, const std::vector<std::vector<char>>& packets) {
  for (const auto& p : packets) source.AddData(const_cast<char*>(p.data()), p.size());
}

TEST(AudioSinc, GroupsAndAnnouncedFrequency) {
  RecordingCallback cb;
  HX_AudioSinc sink(&cb);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  auto a = MakeSource(16000);
  auto b = MakeSource(48000);
  auto c = MakeSource(16000);
  EXPECT_TRUE(sink.AddSource(a.get()));
  EXPECT_FALSE(sink.AddSource(a.get()));
  EXPECT_TRUE(sink.AddSource(b.get()));
  EXPECT_TRUE(sink.AddSource(c.get()));
  EXPECT_EQ(sink.GroupCount(), 2u);
  EXPECT_TRUE(sink.RemoveSource(b.get()));
  EXPECT_FALSE(sink.RemoveSource(b.get()));
  EXPECT_FALSE(sink.HasGroup(48000));
  EXPECT_TRUE(sink.SetAudioMode(HX_AudioSinc::kFixed, 32000));
  sink.ResetCurrentFrequency();
  EXPECT_TRUE(sink.SetAudioMode(HX_AudioSinc::kFixed, 32000));
  // A format change moves the source to the new group.
  HX_MediaFormat f48;
  f48.SetAudio(48000, HX_MediaFormat::kAudioOpus, 40);
  EXPECT_TRUE(sink.SetAudioMode(HX_AudioSinc::kFollowSources, 0));
  EXPECT_TRUE(sink.ChangeFormatSource(c.get(), f48));
  EXPECT_TRUE(sink.HasGroup(48000));
  EXPECT_TRUE(sink.HasGroup(16000));
  EXPECT_TRUE(sink.RemoveSource(a.get()));
  EXPECT_FALSE(sink.HasGroup(16000));
  EXPECT_TRUE(sink.RemoveSource(c.get()));
  EXPECT_EQ(cb.frequencies,
            (std::vector<unsigned>{16000, 48000, 16000, 32000, 32000, 16000, 48000, 0}));
  char block[64];
  EXPECT_FALSE(sink.GetAudio(block, sizeof block, 16000));
}

TEST(AudioSinc, BlockedStateReachesLaterSources) {
  HX_AudioSinc sink(nullptr);
  auto a = MakeSource(16000);
  sink.BlockSources(true);
  ASSERT_TRUE(sink.AddSource(a.get()));
  EXPECT_TRUE(a->IsBlocked());
  sink.BlockSources(false);
  EXPECT_FALSE(a->IsBlocked());
  sink.RemoveSource(a.get());
}

TEST(AudioSinc, SourceWhoseInitFailedStaysSilentAndDisturbsNoOther) {
  HX_AudioSinc sink(nullptr);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  HX_AudioSource broken;
  HX_MediaFormat bad;
  bad.audioCodec = 0;
  EXPECT_FALSE(broken.Init(&bad, nullptr));
  auto good = MakeSource(16000);
  Feed(*good, Packets(16000, 12, 8000, 440));
  ASSERT_TRUE(sink.AddSource(&broken));
  ASSERT_TRUE(sink.AddSource(good.get()));
  EXPECT_TRUE(sink.HasGroup(0));
  EXPECT_EQ(sink.GetCurrentFrequency(), 16000u);
  std::vector<int16_t> alone(2560 / 2), both(2560 / 2);
  // The broken source's group is read first (rate 0); the good one must come through whole.
  ASSERT_TRUE(sink.GetAudio(both.data(), 2560, 16000));
  ASSERT_TRUE(sink.RemoveSource(&broken));
  ASSERT_TRUE(sink.GetAudio(alone.data(), 2560, 16000));
  EXPECT_GT(ToneAmplitude(both.data(), both.size(), 16000, 440), 3000);
  EXPECT_GT(ToneAmplitude(alone.data(), alone.size(), 16000, 440), 3000);
  sink.RemoveSource(good.get());
}

TEST(AudioSinc, PeersAt16And48kHzMixIntoA16kHzDevice) {
  RecordingCallback cb;
  HX_AudioSinc sink(&cb);
  auto factory = std::make_shared<CountingFactory>();
  sink.SetResamplerFactory(factory);
  int64_t now = 1000;
  auto low = MakeSource(16000, &now);
  auto high = MakeSource(48000, &now);
  const auto lowPackets = Packets(16000, 40, 20000, 440);
  const auto highPackets = Packets(48000, 40, 20000, 1250);
  ASSERT_TRUE(sink.AddSource(low.get()));
  ASSERT_TRUE(sink.AddSource(high.get()));
  EXPECT_EQ(cb.frequencies.back(), 48000u);
  // 256-frame blocks at 16 kHz, as the loudspeaker asks for them (0.8 s), with a 40 ms frame
  // arriving at each peer every 40 ms of played time.
  std::vector<int16_t> out;
  std::vector<int16_t> block(256);
  size_t fed = 0;
  for (int i = 0; i < 50; ++i, now += 16) {
    while (fed < lowPackets.size() && static_cast<int64_t>(fed) * 40 <= now - 1000 + 80) {
      low->AddData(const_cast<char*>(lowPackets[fed].data()), lowPackets[fed].size());
      high->AddData(const_cast<char*>(highPackets[fed].data()), highPackets[fed].size());
      ++fed;
    }
    ASSERT_TRUE(sink.GetAudio(block.data(), 512, 16000));
    out.insert(out.end(), block.begin(), block.end());
  }
  ASSERT_FALSE(factory->chunks.empty());
  for (unsigned c : factory->chunks) EXPECT_EQ(c, 3840u);
  // Both tones, and no sample beyond the 16-bit range clipped at the rail (peak normalised).
  const size_t skip = 1600;  // past the resampler's start-up
  EXPECT_GT(ToneAmplitude(out.data() + skip, out.size() - skip, 16000, 440), 8000);
  EXPECT_GT(ToneAmplitude(out.data() + skip, out.size() - skip, 16000, 1250), 8000);
  int peak = 0;
  for (int16_t s : out) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_LE(peak, 32766);
  sink.RemoveSource(low.get());
  sink.RemoveSource(high.get());
}

TEST(AudioSinc, RequestsTheGroupFifoCannotServeEndWithSilence) {
  HX_AudioSinc sink(nullptr);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  auto narrow = MakeSource(8000);
  Feed(*narrow, Packets(8000, 30, 8000, 300));
  ASSERT_TRUE(sink.AddSource(narrow.get()));
  // 0.75 s at 48 kHz: more than the 8 kHz group's FIFO of 64000 bytes can take.
  std::vector<int16_t> big(36000, 0x5A5A);
  ASSERT_TRUE(sink.GetAudio(big.data(), 72000, 48000));
  EXPECT_GT(ToneAmplitude(big.data() + 4800, 24000, 48000, 300), 2000);
  for (size_t i = 32000; i < big.size(); ++i) ASSERT_EQ(big[i], 0) << i;
  // A device frequency of 0 with a mixing frequency of 0 (fixed mode at 0).
  sink.SetAudioMode(HX_AudioSinc::kFixed, 0);
  std::vector<int16_t> block(256, 0x5A5A);
  ASSERT_TRUE(sink.GetAudio(block.data(), 512, 0));
  for (int16_t s : block) ASSERT_EQ(s, 0);
  sink.RemoveSource(narrow.get());
}

TEST(AudioSinc, SourceThatIsNoLongerValidPlaysSilenceNotItsLastBlock) {
  // Three groups: two peers at 16 kHz (mixed through MixRange), one at 48 kHz alone (read into
  // the resampling chunk) and one at 8 kHz alone played at a device of 8 kHz (read straight into
  // its group buffer). Each group has played its tone; then the tone peers are released while
  // still held: their shares must fall silent, not repeat what the buffers held before.
  HX_AudioSinc sink(nullptr);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  int64_t now = 1000;
  auto keep = MakeSource(16000, &now);
  auto mixed = MakeSource(16000, &now);
  auto resampled = MakeSource(48000, &now);
  Feed(*keep, Packets(16000, 30, 8000, 440));
  Feed(*mixed, Packets(16000, 30, 8000, 1000));
  Feed(*resampled, Packets(48000, 30, 8000, 1500));
  for (auto* s : {keep.get(), mixed.get(), resampled.get()}) ASSERT_TRUE(sink.AddSource(s));
  std::vector<int16_t> block(1280);
  ASSERT_TRUE(sink.GetAudio(block.data(), 2560, 16000));
  EXPECT_GT(ToneAmplitude(block.data(), block.size(), 16000, 1000), 1500);
  EXPECT_GT(ToneAmplitude(block.data(), block.size(), 16000, 1500), 1500);
  mixed->Release();
  resampled->Release();
  // The 48 kHz group's FIFO may still hold converted audio for one block.
  ASSERT_TRUE(sink.GetAudio(block.data(), 2560, 16000));
  ASSERT_TRUE(sink.GetAudio(block.data(), 2560, 16000));
  EXPECT_GT(ToneAmplitude(block.data(), block.size(), 16000, 440), 3000);
  EXPECT_LT(ToneAmplitude(block.data(), block.size(), 16000, 1000), 50);
  EXPECT_LT(ToneAmplitude(block.data(), block.size(), 16000, 1500), 50);
  for (auto* s : {keep.get(), mixed.get(), resampled.get()}) sink.RemoveSource(s);

  HX_AudioSinc direct(nullptr);
  direct.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  auto alone = MakeSource(8000, &now);
  Feed(*alone, Packets(8000, 30, 8000, 700));
  ASSERT_TRUE(direct.AddSource(alone.get()));
  std::vector<int16_t> narrow(640, 0x5A5A);
  ASSERT_TRUE(direct.GetAudio(narrow.data(), 1280, 8000));
  EXPECT_GT(ToneAmplitude(narrow.data(), narrow.size(), 8000, 700), 3000);
  alone->Release();
  std::fill(narrow.begin(), narrow.end(), 0x5A5A);
  ASSERT_TRUE(direct.GetAudio(narrow.data(), 1280, 8000));
  for (int16_t v : narrow) ASSERT_EQ(v, 0);
  direct.RemoveSource(alone.get());
}

}  // namespace
