// The bridge's microphone and loudspeaker over the audio stand-in's real thread, alone and with
// the audio connector: silence rules of the loudspeaker, whole frames from the microphone, two
// peers of real Opus mixed into the loudspeaker, and echo-delay measurements over the stand-in's
// echo paths (a processing module that hands the rendered audio as the far end, and the
// pass-through stub that hands the microphone as both).
#include "sdk/bridge/ios_audio_devices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_test_support.h"
#include "core/media/audio/echo/echo_test_support.h"

namespace {

using hx::platform::AudioIOStandIn;

template <typename Pred>
bool WaitFor(Pred pred, int seconds = 60) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

AudioIOStandIn::Config FreeRunning() {
  AudioIOStandIn::Config c;
  c.paced = false;
  return c;
}

struct FixedCallback : AudioRenderCallback {
  std::atomic<bool> answer{true};
  std::atomic<int> calls{0};
  std::atomic<int> last_frequency{0};
  bool PutAudio(void* buffer, unsigned bytes, int f, int value) override {
    calls.fetch_add(1);
    last_frequency.store(f);
    EXPECT_EQ(value, 0);
    auto* s = static_cast<int16_t*>(buffer);
    for (unsigned i = 0; i < bytes / 2; ++i) s[i] = 1000;  // written even when answering false
    return answer.load();
  }
};

TEST(IOSAudioPlayback, PlaysTheCallbackOnlyWhenOpenAndAnsweredTrue) {
  auto io = std::make_shared<AudioIOStandIn>();
  HXAudioPlaybackIOS speaker(io);
  EXPECT_EQ(speaker.GetDeviceFrequency(), 16000);
  FixedCallback cb;
  speaker.SetRenderCallback(&cb);
  ASSERT_TRUE(io->Start(FreeRunning()));
  ASSERT_TRUE(WaitFor([&] { return io->BlocksDone() > 5; }));
  EXPECT_EQ(cb.calls.load(), 0);  // closed until a mixing frequency is announced
  EXPECT_EQ(io->LastRendered(256), std::vector<int16_t>(256, 0));

  speaker.SetMuxerFrequency(16000);
  ASSERT_TRUE(WaitFor([&] { return cb.calls.load() > 5; }));
  ASSERT_TRUE(WaitFor([&] { return io->LastRendered(1)[0] == 1000; }));
  EXPECT_EQ(cb.last_frequency.load(), 16000);

  cb.answer.store(false);
  const uint64_t from = io->FramesRendered() + 256 * 2;
  ASSERT_TRUE(WaitFor([&] { return io->FramesRendered() >= from + 512; }));
  std::vector<int16_t> quiet(512);
  ASSERT_TRUE(io->ReadRendered(from, quiet.data(), 512));
  EXPECT_EQ(quiet, std::vector<int16_t>(512, 0));

  speaker.SetRenderCallback(nullptr);
  const int calls = cb.calls.load();
  ASSERT_TRUE(WaitFor([&] { return io->FramesRendered() >= from + 4096; }));
  EXPECT_EQ(cb.calls.load(), calls);
  io->Stop();
}

TEST(IOSAudioRecord, EmitsWholeFramesAt16kHzInOrder) {
  auto io = std::make_shared<AudioIOStandIn>();
  HXAudioRecordIOS mic(io, 640);  // 20 ms frames from 16 ms blocks
  struct Sink {
    void On(unsigned char* data, unsigned long bytes, float rate, int value) {
      EXPECT_EQ(bytes, 640u);
      EXPECT_EQ(rate, 16000.0f);
      EXPECT_EQ(value, 0);
      const auto* s = reinterpret_cast<const int16_t*>(data);
      samples.insert(samples.end(), s, s + bytes / 2);
      frames.fetch_add(1);
    }
    std::vector<int16_t> samples;
    std::atomic<int> frames{0};
  } sink;
  mic.sampleReady.Connect(&sink, &Sink::On);
  AudioIOStandIn::Config c;  // paced: the capture thread keeps up as with a real microphone
  c.source = AudioIOStandIn::Source::kSine;
  c.sine_hz = 500;
  c.sine_amplitude = 3000;
  ASSERT_TRUE(mic.DeviceStart());
  ASSERT_TRUE(io->Start(c));
  ASSERT_TRUE(WaitFor([&] { return sink.frames.load() >= 20; }));
  mic.DeviceStop();
  io->Stop();
  // Frames come from the capture thread, continuous (no block lost or repeated while the FIFO
  // keeps up; a dropped block would break the sine).
  ASSERT_EQ(mic.GetDroppedBlocks(), 0u);
  for (size_t i = 0; i < sink.samples.size(); ++i)
    ASSERT_NEAR(sink.samples[i], 3000 * std::sin(2 * M_PI * 500 * double(i) / 16000), 1.0) << i;
  EXPECT_FALSE(mic.DeviceSetSampleRate(48000));
  EXPECT_TRUE(mic.DeviceFlush());
}

// Two peers at 16 and 48 kHz through the connector's sink into the stand-in loudspeaker.
TEST(IOSAudioPlayback, TwoPeersAt16And48kHzThroughTheConnector) {
  auto io = std::make_shared<AudioIOStandIn>();
  auto speaker = std::make_shared<HXAudioPlaybackIOS>(io);
  HX_AudioConnector connector;
  connector.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  HX_MediaFormat f16, f48;
  f16.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  f48.SetAudio(48000, HX_MediaFormat::kAudioOpus, 40);
  HX_AudioSource low, high;
  std::atomic<int64_t> now{1000};
  low.SetClock([&now] { return now.load(); });
  high.SetClock([&now] { return now.load(); });
  ASSERT_TRUE(low.Init(&f16, nullptr));
  ASSERT_TRUE(high.Init(&f48, nullptr));
  const auto lowPackets = hx_audio_test::Packets(16000, 60, 20000, 440);
  const auto highPackets = hx_audio_test::Packets(48000, 60, 20000, 1250);
  connector.SelectRendererDevice(speaker);
  ASSERT_TRUE(connector.GetSink()->AddSource(&low));
  ASSERT_TRUE(connector.GetSink()->AddSource(&high));
  EXPECT_EQ(speaker->GetOpenFrequency(), 16000);  // fixed by the device, not the 48 kHz peer
  // The stand-in's thread steps the clock 16 ms a block; a 40 ms frame reaches each peer every
  // 40 ms of played time (the receiving side, run here before each block).
  size_t fed = 0;
  io->SetBlockHook([&](uint64_t) {
    while (fed < lowPackets.size() && int64_t(fed) * 40 <= now.load() - 1000 + 80) {
      low.AddData(const_cast<char*>(lowPackets[fed].data()), int(lowPackets[fed].size()));
      high.AddData(const_cast<char*>(highPackets[fed].data()), int(highPackets[fed].size()));
      ++fed;
    }
    now.fetch_add(16);
  });
  auto c = FreeRunning();
  c.ring_frames = 16000;
  ASSERT_TRUE(io->Start(c));
  ASSERT_TRUE(WaitFor([&] { return io->FramesRendered() >= 16000; }));
  io->Stop();
  connector.GetSink()->RemoveSource(&low);
  connector.GetSink()->RemoveSource(&high);
  // The first second holds the audio of both peers.
  std::vector<int16_t> out(16000);
  ASSERT_TRUE(io->ReadRendered(io->FramesRendered() - 16000, out.data(), 16000));
  const size_t skip = 1600;
  EXPECT_GT(hx_audio_test::ToneAmplitude(out.data() + skip, 8000, 16000, 440), 6000);
  EXPECT_GT(hx_audio_test::ToneAmplitude(out.data() + skip, 8000, 16000, 1250), 6000);
  int peak = 0;
  for (int16_t s : out) peak = std::max(peak, std::abs(int(s)));
  EXPECT_LE(peak, 32766);
}

struct DelayRecorder {
  void On(audiodelay_detector::EGetDelayResult r, int offset, HX_AudioConnector::Identifiers) {
    result.store(r);
    this->offset.store(offset);
    done.store(true);
  }
  std::atomic<int> result{-1};
  std::atomic<int> offset{0};
  std::atomic<bool> done{false};
};

// One measurement over the stand-in: the microphone hears the loudspeaker through the echo paths.
struct Measurement {
  int result = -1;
  int offset = 0;
  int module_offset = 0;
};
Measurement Measure(HX_AudioProcessingFactory* factory,
                    std::vector<AudioIOStandIn::EchoPath> echoes) {
  auto io = std::make_shared<AudioIOStandIn>();
  auto speaker = std::make_shared<HXAudioPlaybackIOS>(io);
  auto mic = std::make_shared<HXAudioRecordIOS>(io, 512);
  HX_AudioConnector connector(factory);
  connector.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  connector.SetSenderSamplerate(16000);
  connector.GetProcessing()->SetEchoOffset(40);
  DelayRecorder rec;
  connector.delayComputed.Connect(&rec, &DelayRecorder::On);
  mic->sampleReady.Connect(&connector, &HX_AudioConnector::OnAudioSampleReady);
  connector.SelectRendererDevice(speaker);
  connector.SelectCapturerDevice(mic);
  speaker->SetMuxerFrequency(16000);  // no source announces one: the output is opened here
  connector.EnableAudioDelayDetectControl(true, {"a", "b"});
  // Free-running, each block waits until the capture thread has taken the last one, as a real
  // microphone's pace would let it.
  io->SetBlockHook([&mic](uint64_t) {
    while (mic->GetHeldBytes() >= mic->GetFrameBytes()) std::this_thread::yield();
  });
  auto c = FreeRunning();
  c.source = AudioIOStandIn::Source::kSilence;
  c.echoes = std::move(echoes);
  EXPECT_TRUE(mic->DeviceStart());
  EXPECT_TRUE(io->Start(c));
  EXPECT_TRUE(WaitFor([&] { return rec.done.load(); }));
  io->Stop();  // first: its block hook waits for the capture thread
  mic->DeviceStop();
  connector.ResetRendererDevice();
  return {rec.result.load(), rec.offset.load(), connector.GetProcessing()->GetEchoOffset()};
}

TEST(IOSAudioEcho, MeasuresA96MsEchoPathThroughTheStandIn) {
  hx_echo_test::SeamFactory seam(true);
  const Measurement m = Measure(&seam, {{96, 0.6}});
  EXPECT_EQ(m.result, audiodelay_detector::kDelayFound);
  EXPECT_NEAR(m.offset, 96 - 16, 16);
  EXPECT_EQ(m.module_offset, m.offset);
}

TEST(IOSAudioEcho, StubGivesDelayZeroSilenceAndTwoPathsKeepTheOffset) {
  HX_AudioProcessingFactory stub;
  Measurement m = Measure(&stub, {{96, 0.6}});
  EXPECT_EQ(m.result, audiodelay_detector::kDelayFound);
  EXPECT_EQ(m.offset, -16);

  hx_echo_test::SeamFactory seam(true);
  m = Measure(&seam, {});
  EXPECT_EQ(m.result, audiodelay_detector::kNoCandidate);
  EXPECT_EQ(m.offset, 40);
  EXPECT_EQ(m.module_offset, 40);

  m = Measure(&seam, {{64, 0.6}, {1600, 0.6}});
  EXPECT_EQ(m.result, audiodelay_detector::kManyCandidates);
  EXPECT_EQ(m.offset, 40);
}

}  // namespace
