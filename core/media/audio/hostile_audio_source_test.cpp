// Audio payloads as a hostile peer sends them, through the real decoders (Opus, Speex, iSAC, and
// the SDK factory's G.711 A-law and mu-law and G.722) into a source and out through the mixing
// sink: empty, one byte, odd, huge and negative lengths, random bytes, format changes in the
// middle of a stream, formats with rates and frame sizes no codec has, pulls of odd sizes and far
// larger than anything buffered, device frequencies of 0 and beyond any device, and mixes of many
// full-scale inputs. Every payload and every destination is a heap block of exactly its length,
// so AddressSanitizer sees a byte read or written past it; every pull that could spin runs on a
// helper thread with a bounded wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <vector>

#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_mixer.h"
#include "core/media/audio/audio_sinc.h"
#include "core/media/audio/audio_source.h"
#include "core/media/audio/audio_test_support.h"
#include "sdk/bridge/ios_ac_factory.h"

namespace {

using namespace std::chrono_literals;

// A payload in a heap block of exactly its length.
struct Block {
  explicit Block(size_t n, uint8_t fill = 0) : size(n), data(new char[n == 0 ? 1 : n]) {
    std::memset(data.get(), fill, n == 0 ? 1 : n);
  }
  size_t size;
  std::unique_ptr<char[]> data;
};

// Reads every byte it is offered, so a block that claims more than it holds is seen.
struct CheckingProxy : HX_RecordPeerProxyBase {
  void PutAudio(const void* data, unsigned long bytes, unsigned sampleRate) override {
    EXPECT_EQ(bytes % 2, 0u);
    EXPECT_LE(bytes, static_cast<unsigned long>(HX_AudioSource::kDecodeBufferBytes));
    EXPECT_GE(sampleRate, 8000u);
    EXPECT_LE(sampleRate, 48000u);
    if (bytes > 0) {
      std::vector<char> copy(bytes);
      std::memcpy(copy.data(), data, bytes);
    }
    ++blocks;
  }
  void PutVideo(const void*, unsigned long) override {}
  int blocks = 0;
};

struct Codec {
  const char* name;
  uint32_t tag;
  uint32_t rate;
};
const Codec kCodecs[] = {
    {"Opus 16000", HX_MediaFormat::kAudioOpus, 16000},
    {"Opus 48000", HX_MediaFormat::kAudioOpus, 48000},
    {"Opus 8000", HX_MediaFormat::kAudioOpus, 8000},
    {"Speex 16000", hx_audio_tags::kSpeex, 16000},
    {"Speex 8000", hx_audio_tags::kSpeex, 8000},
    {"iSAC 16000", hx_audio_tags::kISAC, 16000},
    {"G.711 A-law", hx_audio_tags::kG711a, 8000},
    {"G.711 mu-law", hx_audio_tags::kG711mu, 8000},
    {"G.722", hx_audio_tags::kG722, 16000},
};

class Source {
 public:
  explicit Source(const Codec& codec, int durationMs = 40)
      : proxy(std::make_shared<CheckingProxy>()), source(std::make_shared<IOS_ACFactory>(), proxy) {
    source.SetClock([this] { return now; });
    format.SetAudio(codec.rate, codec.tag, durationMs);
    ok = source.Init(&format, nullptr);
  }
  // Feeds `block`; the FIFO stays within its six seconds and holds whole samples.
  bool Add(Block& block) {
    now += 20;
    const bool added = source.AddData(block.data.get(), static_cast<int>(block.size));
    const uint32_t held = source.GetFifo() ? source.GetFifo()->GetDataLen() : 0;
    EXPECT_LE(held, format.sampleRate * 12);
    EXPECT_LE(source.GetCurrBuffDurr(), 6000u);
    return added;
  }
  int64_t now = 100000;
  std::shared_ptr<CheckingProxy> proxy;
  HX_AudioSource source;
  HX_MediaFormat format;
  bool ok = false;
};

// Every codec fed empty, tiny, odd, random and huge payloads: each is decoded inside its block,
// counts as a frame (true), and the FIFO stays bounded.
TEST(HostileAudioSource, PayloadsOfEveryShapeThroughEveryDecoder) {
  std::mt19937 rng(1211);
  for (const Codec& codec : kCodecs) {
    SCOPED_TRACE(codec.name);
    Source fx(codec);
    ASSERT_TRUE(fx.ok);
    for (size_t size : {0u, 1u, 2u, 3u, 7u, 160u, 161u, 1279u, 4000u, 65535u, 75001u, 150000u,
                        150001u, 1000000u}) {
      SCOPED_TRACE(size);
      Block block(size);
      for (size_t i = 0; i < size; ++i) block.data[i] = static_cast<char>(rng());
      EXPECT_TRUE(fx.Add(block));
      Block zeros(size, 0);
      EXPECT_TRUE(fx.Add(zeros));
      Block ones(size, 0xFF);
      EXPECT_TRUE(fx.Add(ones));
    }
    // A null payload of length 0, as a peer's empty frame arrives.
    EXPECT_TRUE(fx.source.AddData(nullptr, 0));
    // Everything buffered comes out again inside an exact destination.
    Block out(fx.source.GetFifo()->GetDataLen() + 2);
    EXPECT_EQ(fx.source.GetData(out.data.get(), static_cast<int>(out.size)),
              static_cast<int>(out.size));
  }
}

// A payload length that is negative (a length field read as signed) holds no audio: nothing is
// read from the payload and nothing is buffered.
TEST(HostileAudioSource, NegativePayloadLengthsHoldNoAudio) {
  for (const Codec& codec : kCodecs) {
    SCOPED_TRACE(codec.name);
    Source fx(codec);
    ASSERT_TRUE(fx.ok);
    Block block(1, 0x11);
    for (int i = 0; i < 6; ++i) {
      const uint32_t before = fx.source.GetFifo()->GetDataLen();
      for (int length : {-1, -2, INT_MIN}) {
        fx.now += 20;
        fx.source.AddData(block.data.get(), length);
      }
      EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), before);
    }
  }
}

// Pulls of every small size, odd ones included, from an empty source that never played: each
// fills exactly its destination (silence, since no full read ever happened) and writes nothing
// past it. Then the same with real audio held, so that odd pulls leave half a sample behind.
TEST(HostileAudioSource, PullsOfOddAndTinySizes) {
  Source fx(kCodecs[0]);
  ASSERT_TRUE(fx.ok);
  for (int bytes = 1; bytes <= 9; ++bytes) {
    SCOPED_TRACE(bytes);
    Block out(bytes, 0x55);
    EXPECT_EQ(fx.source.GetData(out.data.get(), bytes), bytes);
    for (int i = 0; i < bytes; ++i) EXPECT_EQ(out.data[i], 0) << i;
  }
  auto packets = hx_audio_test::Packets(16000, 40, 12000);
  for (auto& p : packets) {
    fx.now += 40;
    fx.source.AddData(p.data(), static_cast<int>(p.size()));
  }
  ASSERT_GT(fx.source.GetFifo()->GetDataLen(), 0u);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const int bytes = 1 + static_cast<int>(rng() % 9);
    Block out(bytes);
    fx.now += 1;
    ASSERT_EQ(fx.source.GetData(out.data.get(), bytes), bytes);
  }
  // An odd pull when exactly one byte is held.
  while (fx.source.GetFifo()->GetDataLen() > 1) {
    Block out(1);
    fx.source.GetData(out.data.get(), 1);
  }
  for (int bytes : {1, 2, 3, 640}) {
    Block out(bytes);
    EXPECT_EQ(fx.source.GetData(out.data.get(), bytes), bytes);
  }
}

// A pull of a negative or zero size writes nothing and answers 0.
TEST(HostileAudioSource, PullsOfNoSizeWriteNothing) {
  Source fx(kCodecs[0]);
  ASSERT_TRUE(fx.ok);
  for (int bytes : {0, -1, -2, INT_MIN}) {
    SCOPED_TRACE(bytes);
    Block out(1, 0x55);
    EXPECT_EQ(fx.source.GetData(out.data.get(), bytes), 0);
    EXPECT_EQ(out.data[0], 0x55);
  }
}

// A pull far larger than anything buffered fills its whole destination: the buffered audio, then
// comfort noise or silence, and answers its size.
TEST(HostileAudioSource, PullsLargerThanAnythingBuffered) {
  Source fx(kCodecs[0]);
  ASSERT_TRUE(fx.ok);
  auto packets = hx_audio_test::Packets(16000, 200, 12000);
  for (auto& p : packets) {
    fx.now += 40;
    fx.source.AddData(p.data(), static_cast<int>(p.size()));
  }
  for (int bytes : {16000 * 12 + 2, 16000 * 12 + 1, 4000000}) {
    SCOPED_TRACE(bytes);
    Block out(bytes);
    EXPECT_EQ(fx.source.GetData(out.data.get(), bytes), bytes);
    EXPECT_EQ(fx.source.GetFifo()->GetDataLen(), 0u);
  }
}

// A peer's format record with frame sizes no codec has (1 byte, odd, the largest values): Init
// takes it (only 0 is refused) and the jitter rule stays defined while frames arrive.
TEST(HostileAudioSource, FrameSizesNoCodecHas) {
  auto packets = hx_audio_test::Packets(16000, 60, 12000);
  for (uint32_t frameBytes : {1u, 3u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(frameBytes);
    HX_AudioSource source;
    int64_t now = 5000;
    source.SetClock([&now] { return now; });
    HX_MediaFormat format;
    format.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    format.audioBufferSize = frameBytes;
    ASSERT_TRUE(source.Init(&format, nullptr));
    for (auto& p : packets) {
      now += 40;
      EXPECT_TRUE(source.AddData(p.data(), static_cast<int>(p.size())));
    }
    EXPECT_LE(source.GetCurrBuffDurr(), 6000u);
    Block out(640);
    EXPECT_EQ(source.GetData(out.data.get(), 640), 640);
  }
}

// Rates at the edges and beyond: 0 and every rate outside 8000 to 48000 are refused by Init and
// ReInit with nothing changed; a rate inside the range that the codec does not support leaves the
// source invalid (no decoding, no output) but never broken.
TEST(HostileAudioSource, RatesAtTheEdges) {
  Source fx(kCodecs[0]);
  ASSERT_TRUE(fx.ok);
  for (uint32_t rate : {0u, 1u, 7999u, 48001u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(rate);
    HX_MediaFormat f;
    f.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    f.sampleRate = rate;
    EXPECT_FALSE(fx.source.ReInit(&f, nullptr));
    EXPECT_TRUE(fx.source.IsValid());
    EXPECT_EQ(fx.source.GetFormat().sampleRate, 16000u);
    HX_AudioSource fresh;
    EXPECT_FALSE(fresh.Init(&f, nullptr));
  }
  for (uint32_t rate : {8001u, 11025u, 22050u, 44100u, 47999u}) {
    SCOPED_TRACE(rate);
    HX_MediaFormat f;
    f.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    f.sampleRate = rate;
    f.audioBufferSize = 1280;
    fx.source.ReInit(&f, nullptr);
    Block payload(100, 0x3C);
    fx.source.AddData(payload.data.get(), 100);
    Block out(641);
    const int n = fx.source.GetData(out.data.get(), 641);
    EXPECT_TRUE(n == 0 || n == 641) << n;
    // Back to a usable format.
    HX_MediaFormat good;
    good.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    EXPECT_TRUE(fx.source.ReInit(&good, nullptr));
    EXPECT_TRUE(fx.source.IsValid());
  }
}

// Format changes in the middle of a stream, through the sink as the receive stream makes them:
// every codec after every other, each followed by payloads made for the previous codec, while the
// sink keeps pulling. The source moves between rate groups and every pull fills its block.
TEST(HostileAudioSource, FormatChangesMidStream) {
  struct NoCallback : AudioMixerCallback {
    bool CurrentFreq(unsigned) override { return true; }
  } callback;
  HX_AudioSinc sink(&callback);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  Source fx(kCodecs[0]);
  ASSERT_TRUE(fx.ok);
  ASSERT_TRUE(sink.AddSource(&fx.source));
  auto opus = hx_audio_test::Packets(16000, 10, 12000);
  std::mt19937 rng(3);
  for (int round = 0; round < 3; ++round) {
    for (const Codec& codec : kCodecs) {
      SCOPED_TRACE(codec.name);
      HX_MediaFormat f;
      f.SetAudio(codec.rate, codec.tag, 40);
      EXPECT_TRUE(sink.ChangeFormatSource(&fx.source, f));
      EXPECT_TRUE(sink.HasGroup(fx.source.IsValid() ? codec.rate : 0) || sink.HasGroup(codec.rate));
      for (auto& p : opus) {
        fx.now += 40;
        fx.source.AddData(p.data(), static_cast<int>(p.size()));
      }
      for (unsigned device : {8000u, 16000u, 44100u, 48000u}) {
        Block out(device / 25 * 2);
        EXPECT_TRUE(sink.GetAudio(out.data.get(), static_cast<unsigned>(out.size), device));
      }
    }
  }
  // A format the source refuses (rate 0, tag 0, no frame size) changes nothing: the source keeps
  // its group and keeps playing.
  const uint32_t rate = fx.source.GetFormat().sampleRate;
  for (int i = 0; i < 3; ++i) {
    HX_MediaFormat bad;
    bad.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    if (i == 0) bad.sampleRate = 0;
    if (i == 1) bad.audioCodec = 0;
    if (i == 2) bad.audioBufferSize = 0;
    EXPECT_TRUE(sink.ChangeFormatSource(&fx.source, bad));
    EXPECT_EQ(fx.source.GetFormat().sampleRate, rate);
    EXPECT_TRUE(sink.HasGroup(rate));
    EXPECT_EQ(sink.GroupCount(), 1u);
  }
  EXPECT_TRUE(sink.RemoveSource(&fx.source));
  EXPECT_EQ(sink.GroupCount(), 0u);
}

// The sink's pulls with device frequencies of 0 and beyond any device, odd block sizes and blocks
// far larger than a group's FIFO, with a live source, a source whose Init failed, and sources at
// several rates. Each pull returns within a bounded time and fills exactly its block.
TEST(HostileAudioSource, SinkPullsThatCannotBeServedInFull) {
  struct NoCallback : AudioMixerCallback {
    bool CurrentFreq(unsigned) override { return true; }
  } callback;
  HX_AudioSinc sink(&callback);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  Source a(kCodecs[0]);  // Opus 16000
  Source b(kCodecs[6]);  // G.711 8000
  Source c(kCodecs[1]);  // Opus 48000
  HX_AudioSource broken;
  HX_MediaFormat bad;
  bad.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  bad.sampleRate = 44100;  // Opus does not decode at 44100
  broken.Init(&bad, nullptr);
  ASSERT_TRUE(a.ok && b.ok && c.ok);
  for (HX_AudioSource* s : {&a.source, &b.source, &c.source, &broken}) sink.AddSource(s);
  auto packets = hx_audio_test::Packets(16000, 50, 12000);
  for (auto& p : packets) {
    a.now += 40;
    a.source.AddData(p.data(), static_cast<int>(p.size()));
  }
  Block alaw(320, 0x55);
  for (int i = 0; i < 50; ++i) b.Add(alaw);
  for (unsigned device :
       {0u, 1u, 7u, 8000u, 11025u, 44100u, 96000u, 192000u, 1000000u, 0x80000000u, 0xFFFFFFFFu}) {
    for (unsigned bytes : {0u, 1u, 2u, 3u, 641u, 3840u, 64001u, 300000u}) {
      SCOPED_TRACE(testing::Message() << device << " Hz, " << bytes << " bytes");
      if (device == 0) sink.ResetCurrentFrequency();
      Block out(bytes, 0x5A);
      auto pull = std::async(std::launch::async,
                             [&] { return sink.GetAudio(out.data.get(), bytes, device); });
      ASSERT_EQ(pull.wait_for(20s), std::future_status::ready) << "the pull spins";
      EXPECT_TRUE(pull.get());
    }
  }
  for (HX_AudioSource* s : {&a.source, &b.source, &c.source, &broken}) {
    EXPECT_TRUE(sink.RemoveSource(s));
  }
  EXPECT_FALSE(sink.RemoveSource(&broken));
}

// The millisecond tick is taken as a signed 32-bit value, so after 24.8 days of uptime it wraps.
// Frames that arrive across the wrap (of the signed and of the unsigned 32-bit range) are still
// buffered, the differences of ticks stay defined, and the level still falls to 0 two seconds
// after the last frame.
TEST(HostileAudioSource, TicksThatWrapAcrossThirtyTwoBits) {
  auto packets = hx_audio_test::Packets(16000, 60, 12000);
  for (int64_t start : {int64_t{INT32_MAX} - 1000, int64_t{UINT32_MAX} - 1000,
                        int64_t{INT32_MIN} - 1000, int64_t{-1000}}) {
    SCOPED_TRACE(start);
    HX_AudioSource source;
    int64_t now = start;
    source.SetClock([&now] { return now; });
    HX_MediaFormat format;
    format.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    ASSERT_TRUE(source.Init(&format, nullptr));
    for (auto& p : packets) {
      now += 40;
      ASSERT_TRUE(source.AddData(p.data(), static_cast<int>(p.size())));
      Block out(1280);
      now += 1;
      ASSERT_EQ(source.GetData(out.data.get(), 1280), 1280);
    }
    EXPECT_GT(source.GetLevel(), 0u);
    now += 2001;
    EXPECT_EQ(source.GetLevel(), 0u);
  }
}

// Pulls and the level read across the same wrap, with every frame added before it: the
// concealment after an underrun and the fall of the level take the wrap in their stride.
TEST(HostileAudioSource, PullsAndLevelAcrossTheTickWrap) {
  auto packets = hx_audio_test::Packets(16000, 20, 12000);
  for (int64_t start : {int64_t{INT32_MAX} - 2000, int64_t{UINT32_MAX} - 2000}) {
    SCOPED_TRACE(start);
    HX_AudioSource source;
    int64_t now = start;
    source.SetClock([&now] { return now; });
    HX_MediaFormat format;
    format.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
    ASSERT_TRUE(source.Init(&format, nullptr));
    for (auto& p : packets) {
      now += 40;
      ASSERT_TRUE(source.AddData(p.data(), static_cast<int>(p.size())));
    }
    Block full(640);
    ASSERT_EQ(source.GetData(full.data.get(), 640), 640);
    now = start + 2000 + 500;  // past the wrap, 1.7 s after the full read
    EXPECT_GT(source.GetLevel(), 0u);
    Block out(1 << 20);
    EXPECT_EQ(source.GetData(out.data.get(), 1 << 20), 1 << 20);
    now += 2001;
    EXPECT_EQ(source.GetLevel(), 0u);
    Block silent(640, 0x55);
    EXPECT_EQ(source.GetData(silent.data.get(), 640), 640);
  }
}

// A receiving clock that jumps back and forth by up to a billion milliseconds between frames
// (within the 32-bit range): the recommended length stays capped, the FIFO bounded, and every
// pull fills its block.
TEST(HostileAudioSource, ArrivalClockThatJumpsBackAndForth) {
  auto packets = hx_audio_test::Packets(16000, 40, 12000);
  HX_AudioSource source;
  int64_t now = 0;
  source.SetClock([&now] { return now; });
  HX_MediaFormat format;
  format.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  ASSERT_TRUE(source.Init(&format, nullptr));
  const int64_t jumps[] = {40, -1000000000, 1000000000, 0, 3999, 4001, -4001, 1, -1, 999999999};
  for (int round = 0; round < 10; ++round) {
    for (size_t i = 0; i < packets.size(); ++i) {
      now = std::clamp<int64_t>(now + jumps[(i + round) % 10], -1000000000, 1000000000);
      ASSERT_TRUE(source.AddData(packets[i].data(), static_cast<int>(packets[i].size())));
      EXPECT_LE(source.GetCurrBuffDurr(), 6000u);
      if (i % 3 == 0) {
        Block out(640);
        ASSERT_EQ(source.GetData(out.data.get(), 640), 640);
      }
    }
  }
}

// Sources that are not there: null and unknown sources are refused without effect.
TEST(HostileAudioSource, SinkRefusesSourcesItDoesNotHold) {
  struct NoCallback : AudioMixerCallback {
    bool CurrentFreq(unsigned) override { return true; }
  } callback;
  HX_AudioSinc sink(&callback);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  Source a(kCodecs[0]);
  HX_MediaFormat f;
  EXPECT_FALSE(sink.RemoveSource(&a.source));
  EXPECT_FALSE(sink.ChangeFormatSource(&a.source, f));
  EXPECT_FALSE(sink.AddSource(nullptr));
  EXPECT_FALSE(sink.RemoveSource(nullptr));
  EXPECT_FALSE(sink.ChangeFormatSource(nullptr, f));
  EXPECT_EQ(sink.GroupCount(), 0u);
  Block out(640, 0x5A);
  EXPECT_FALSE(sink.GetAudio(out.data.get(), 640, 16000));
  EXPECT_EQ(out.data[0], 0x5A);
}

// Mixes of many full-scale inputs: the sums and the gain products stay defined (no 32-bit
// overflow) and every mode answers its limit.
TEST(HostileAudioSource, MixesOfManyFullScaleInputs) {
  constexpr unsigned kSamples = 64;
  std::vector<short> loud(kSamples, 32767), quiet(kSamples, -32768);
  for (unsigned count : {1u, 2u, 8u, 16u, 1000u, 70000u}) {
    for (bool negative : {false, true}) {
      SCOPED_TRACE(testing::Message() << count << (negative ? " negative" : " positive"));
      std::vector<short*> inputs(count, negative ? quiet.data() : loud.data());
      struct Mode {
        HX_AudioMixerMode mode;
        short expected;
      } modes[] = {{kMixClamp, negative ? short(-32768) : short(32767)},
                   {kMixGain, negative ? short(-32768) : short(32767)},
                   {kMixPeakNormalise, negative ? short(-32766) : short(32766)}};
      for (const Mode& m : modes) {
        if (m.mode == kMixPeakNormalise && count == 1) continue;  // no sum above the range
        SCOPED_TRACE(m.mode);
        HX_AudioMixer mixer;
        ASSERT_TRUE(mixer.Init(m.mode));
        std::vector<short> out(kSamples, 0);
        ASSERT_TRUE(mixer.Mix(inputs.data(), count, out.data(), kSamples));
        if (m.mode == kMixGain && count == 1) continue;  // one input is only scaled
        for (short s : out) ASSERT_EQ(s, m.expected);
      }
      HX_AudioMixer knee;
      ASSERT_TRUE(knee.Init(kMixSoftKnee));
      std::vector<short> out(kSamples, 0);
      ASSERT_TRUE(knee.Mix(inputs.data(), count, out.data(), kSamples));
      for (short s : out) EXPECT_EQ(s > 0, !negative);
    }
  }
  // No inputs, or a mode out of range.
  HX_AudioMixer mixer;
  EXPECT_FALSE(mixer.Init(static_cast<HX_AudioMixerMode>(5)));
  EXPECT_FALSE(mixer.Init(static_cast<HX_AudioMixerMode>(-1)));
  ASSERT_TRUE(mixer.Init(kMixPeakNormalise));
  std::vector<short> out(kSamples, 7);
  if (mixer.Mix(nullptr, 0, out.data(), kSamples)) {
    for (short s : out) EXPECT_EQ(s, 0);
  }
}

// The receiving thread feeds hostile payloads and changes the format while the render thread
// pulls through the sink: bounded on both sides, no finding.
TEST(HostileAudioSource, FeedingAndPullingFromTwoThreads) {
  struct NoCallback : AudioMixerCallback {
    bool CurrentFreq(unsigned) override { return true; }
  } callback;
  HX_AudioSinc sink(&callback);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  HX_AudioSource source(std::make_shared<IOS_ACFactory>(), std::make_shared<CheckingProxy>());
  HX_MediaFormat f;
  f.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  ASSERT_TRUE(source.Init(&f, nullptr));
  ASSERT_TRUE(sink.AddSource(&source));
  auto opus = hx_audio_test::Packets(16000, 20, 12000);
  std::atomic<bool> done{false};
  std::thread receiver([&] {
    std::mt19937 rng(9);
    for (int i = 0; i < 3000; ++i) {
      if (i % 500 == 499) {
        const Codec& codec = kCodecs[rng() % (sizeof(kCodecs) / sizeof(kCodecs[0]))];
        HX_MediaFormat g;
        g.SetAudio(codec.rate, codec.tag, 40);
        sink.ChangeFormatSource(&source, g);
      }
      if (i % 3 == 0) {
        Block junk(rng() % 2000, static_cast<uint8_t>(rng()));
        source.AddData(junk.data.get(), static_cast<int>(junk.size));
      } else {
        auto& p = opus[i % opus.size()];
        source.AddData(p.data(), static_cast<int>(p.size()));
      }
    }
    done = true;
  });
  std::thread render([&] {
    std::mt19937 rng(10);
    for (int i = 0; i < 3000 && !done.load(); ++i) {
      Block out(2 * (1 + rng() % 2000));
      sink.GetAudio(out.data.get(), static_cast<unsigned>(out.size), i % 2 ? 48000 : 16000);
    }
  });
  receiver.join();
  render.join();
  EXPECT_TRUE(sink.RemoveSource(&source));
}

}  // namespace
