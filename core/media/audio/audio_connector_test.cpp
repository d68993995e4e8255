// The audio connector with recording fakes at its device and processing-module interfaces, real
// Opus sources in its sink, and echo-delay measurements driven block by block through a
// simulated echo line (render, then capture what was rendered a set time earlier).
#include "core/media/audio/audio_connector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/media/audio/audio_test_support.h"
#include "core/media/audio/echo/echo_debugger.h"
#include "core/media/audio/echo/echo_test_support.h"

namespace {

using hx_echo_test::SeamFactory;
using hx_echo_test::SeamProcessing;

class FakePlayback : public HX_AudioPlaybackBase {
 public:
  explicit FakePlayback(int frequency) { device_frequency_ = frequency; }
  void SetMuxerFrequency(int f) override { calls.push_back(f); }
  std::vector<int> calls;
};

struct Recorder {
  void OnFreq(unsigned f) { freqs.push_back(f); }
  void OnSample(unsigned char const*, unsigned long bytes) { samples.push_back(bytes); }
  void OnAudioLevel(float a) { audio.push_back(a); }
  void OnMicLevel(float m) { mic.push_back(m); }
  void OnDelay(audiodelay_detector::EGetDelayResult r, int offset,
               HX_AudioConnector::Identifiers ids) {
    result = r;
    this->offset = offset;
    this->ids = ids;
    done.store(true);
  }
  std::vector<unsigned> freqs;
  std::vector<unsigned long> samples;
  std::vector<float> audio, mic;
  std::atomic<bool> done{false};
  audiodelay_detector::EGetDelayResult result{};
  int offset = 0;
  HX_AudioConnector::Identifiers ids;
};

class Connector : public ::testing::Test {
 protected:
  explicit Connector(bool farEndIsRendered = true) : factory(farEndIsRendered), c(&factory) {
    module = static_cast<SeamProcessing*>(c.GetProcessing());
    c.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
    c.muxerFrequencyChanged.Connect(&rec, &Recorder::OnFreq);
    c.sampleProcessed.Connect(&rec, &Recorder::OnSample);
    c.audioLevelChanged.Connect(&rec, &Recorder::OnAudioLevel);
    c.micLevelChanged.Connect(&rec, &Recorder::OnMicLevel);
    c.delayComputed.Connect(&rec, &Recorder::OnDelay);
  }
  SeamFactory factory;
  HX_AudioConnector c;
  SeamProcessing* module;
  Recorder rec;
};

TEST_F(Connector, CapturerRoleZeroProcessesAndReportsLevelsButDeliversNothing) {
  std::vector<int16_t> block(320, 100);
  auto* data = reinterpret_cast<unsigned char*>(block.data());
  module->rms.store(0.5f);
  module->mic.store(0.25f);
  c.SetAudioCapturerRole(0);
  c.OnAudioSampleReady(data, 640, 16000.0f, 0);
  EXPECT_EQ(module->capture_blocks.load(), 1);
  EXPECT_EQ(module->skipped.load(), 1);
  EXPECT_TRUE(rec.samples.empty());
  EXPECT_EQ(rec.audio, std::vector<float>{0.5f});
  EXPECT_EQ(rec.mic, std::vector<float>{0.25f});
  c.SetAudioCapturerRole(1);
  c.OnAudioSampleReady(data, 640, 16000.0f, 0);  // same levels: not reported again
  EXPECT_EQ(rec.samples, std::vector<unsigned long>{640});
  EXPECT_EQ(rec.audio.size(), 1u);
  module->rms.store(-1.0f);  // unknown levels are not reported
  module->mic.store(-1.0f);
  c.OnAudioSampleReady(data, 640, 16000.0f, 0);
  EXPECT_EQ(rec.audio.size(), 1u);
  EXPECT_EQ(rec.mic.size(), 1u);
  c.ResetCapturerDevice();
  EXPECT_EQ(module->resets.load(), 1);
  EXPECT_EQ(rec.mic.back(), 0.0f);
  c.SetMicLevel(0.75f, true);
  EXPECT_EQ(module->mic_set.load(), 750);
  c.OnAudioSampleReady(nullptr, 640, 16000.0f, 0);
  c.OnAudioSampleReady(data, 1, 16000.0f, 0);
  EXPECT_EQ(module->capture_blocks.load(), 3);
}

TEST_F(Connector, CurrentFreqEmitsEachChangeAndZeroAlways) {
  module->echo_canceller.store(true);
  EXPECT_TRUE(c.CurrentFreq(16000));
  EXPECT_TRUE(c.CurrentFreq(16000));
  EXPECT_TRUE(c.IsRenderRunning());
  EXPECT_FALSE(module->echo_canceller.load());  // the options' bit, clear
  EXPECT_TRUE(c.CurrentFreq(0));
  EXPECT_TRUE(c.CurrentFreq(0));
  EXPECT_FALSE(c.IsRenderRunning());
  c.EnableEchoCanceller(true);
  EXPECT_TRUE(c.CurrentFreq(48000));
  EXPECT_TRUE(module->echo_canceller.load());
  EXPECT_EQ(rec.freqs, (std::vector<unsigned>{16000, 0, 0, 48000}));
  EXPECT_EQ(c.GetCurrentFrequency(), 48000u);
}

TEST_F(Connector, CapturerInitClearsTheEchoCancellerUnlessRenderRuns) {
  c.EnableEchoCanceller(true);
  c.EnableGainControl(true);
  c.SetSenderSamplerate(16000);
  auto device = std::shared_ptr<HXAudioRecordBase>();
  c.SelectCapturerDevice(device);  // null: nothing
  EXPECT_EQ(module->inits.load(), 0);
  struct Mic : HXAudioRecordBase {
    bool DeviceOpen(const char*, const HX_MediaFormat&) override { return true; }
    bool DeviceStart() override { return true; }
    bool DeviceStop() override { return true; }
    bool DevicePause() override { return true; }
    bool DeviceFlush() override { return true; }
    bool DeviceClose() override { return true; }
    void* DeviceHandle() override { return nullptr; }
    bool PrepareFilters(const HX_MediaFormat&) override { return true; }
    void ResetFilters() override {}
    bool DeviceSetSampleRate(unsigned long) override { return true; }
    unsigned long DeviceGetSampleRate() override { return 16000; }
    bool DeviceSetStreamRate(unsigned long) override { return true; }
    unsigned long DeviceGetStreamRate() override { return 16000; }
    bool DeviceSetChannel(audio::channels) override { return true; }
    bool DeviceSetFormat(audio::format) override { return true; }
    bool DeviceMute(bool) override { return true; }
    bool DeviceCheckMute() override { return false; }
    std::string GetDefaultDevName() override { return "mic"; }
    std::set<audio::Device*> EnumerateDevices() override { return {}; }
    std::string GetInternalName(const std::string& n, const std::set<audio::Device*>&) override {
      return n;
    }
    bool SetMicLevel(float) override { return true; }
    float GetMaxMicLevel() override { return 1; }
    float GetMicLevel() override { return 1; }
  };
  c.SelectCapturerDevice(std::make_shared<Mic>());
  EXPECT_EQ(module->init_rate.load(), 16000u);
  EXPECT_EQ(module->init_options.load(), 0x02);
  c.CurrentFreq(16000);
  c.SelectCapturerDevice(std::make_shared<Mic>());
  EXPECT_EQ(module->init_options.load(), 0x12);
}

// A device at 16000 Hz fixes the mixing frequency whatever the sources' rates; selecting
// unblocks the sources and resetting blocks them again.
TEST_F(Connector, DeviceAt16kHzFixesTheMixingFrequencyAndSelectionUnblocksSources) {
  HX_MediaFormat f48;
  f48.SetAudio(48000, HX_MediaFormat::kAudioOpus, 40);
  HX_AudioSource source;
  ASSERT_TRUE(source.Init(&f48, nullptr));
  c.ResetRendererDevice();
  ASSERT_TRUE(c.GetSink()->AddSource(&source));
  EXPECT_TRUE(source.IsBlocked());
  EXPECT_EQ(c.GetCurrentFrequency(), 48000u);

  auto device = std::make_shared<FakePlayback>(16000);
  c.SelectRendererDevice(device);
  EXPECT_FALSE(source.IsBlocked());
  EXPECT_EQ(device->GetRenderCallback(), &c);
  EXPECT_EQ(device->calls, std::vector<int>{16000});
  EXPECT_EQ(c.GetCurrentFrequency(), 16000u);
  EXPECT_TRUE(c.IsRenderRunning());

  auto follow = std::make_shared<FakePlayback>(0);  // no fixed rate: the sources' rate
  c.SelectRendererDevice(follow);
  EXPECT_EQ(follow->calls, std::vector<int>{48000});
  EXPECT_EQ(device->calls.size(), 1u);  // the old device is no longer connected
  EXPECT_EQ(device->GetRenderCallback(), nullptr);

  c.ResetRendererDevice();
  EXPECT_TRUE(source.IsBlocked());
  EXPECT_FALSE(c.IsRenderRunning());
  c.GetSink()->RemoveSource(&source);
  EXPECT_EQ(follow->calls, std::vector<int>{48000});  // reset: nothing reaches the device
}

TEST_F(Connector, RenderWithoutSourcesPlaysSilenceUnlessMeasuring) {
  std::vector<int16_t> block(256, 99);
  EXPECT_FALSE(c.PutAudio(block.data(), 512, 16000, 0));
  EXPECT_EQ(block[0], 99);
  EXPECT_EQ(module->render_blocks.load(), 0);
  c.SetSenderSamplerate(16000);
  c.EnableAudioDelayDetectControl(true, {"a", "b"});
  EXPECT_TRUE(c.PutAudio(block.data(), 512, 16000, 0));
  EXPECT_EQ(block, std::vector<int16_t>(256, 0));
  EXPECT_EQ(module->render_blocks.load(), 1);
  c.EnableAudioDelayDetectControl(false, {});
  EXPECT_FALSE(c.IsMeasuring());
}

// Drives a measurement through render and capture blocks of 256 samples at 16 kHz: each round
// renders a block, then captures the sum of the echo paths of what was rendered.
struct EchoLine {
  std::vector<std::pair<int, double>> paths;  // (delay in samples, gain)
  std::vector<int16_t> played;
  int firstProbeBlock = -1;
  void Run(HX_AudioConnector& c, Recorder& rec, int maxBlocks = 600) {
    for (int b = 0; b < maxBlocks && !rec.done.load(); ++b) {
      std::vector<int16_t> out(256);
      c.PutAudio(out.data(), 512, 16000, 0);
      if (firstProbeBlock < 0)
        for (int16_t v : out)
          if (v != 0) {
            firstProbeBlock = b;
            break;
          }
      played.insert(played.end(), out.begin(), out.end());
      std::vector<int16_t> in(256, 0);
      for (int i = 0; i < 256; ++i) {
        const long t = long(played.size()) - 256 + i;
        double v = 0;
        for (auto [d, g] : paths)
          if (t - d >= 0) v += g * played[t - d];
        in[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
      }
      c.OnAudioSampleReady(reinterpret_cast<unsigned char*>(in.data()), 512, 16000.0f, 0);
    }
    for (int i = 0; i < 3000 && !rec.done.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
};

TEST_F(Connector, MeasurementFindsAn96MsEchoAndSetsTheOffset) {
  c.SetSenderSamplerate(16000);
  module->echo_offset.store(40);
  c.EnableAudioDelayDetectControl(true, {"conf", "peer"});
  EXPECT_EQ(module->echo_offset.load(), 0);
  EXPECT_TRUE(module->echo_canceller.load());
  EchoLine line;
  line.paths = {{96 * 16, 0.8}};
  line.Run(c, rec);
  ASSERT_TRUE(rec.done.load());
  // The probe starts after more than 2000 ms of reference: in the 127th block.
  EXPECT_EQ(line.firstProbeBlock, 126);
  EXPECT_GT(module->probe_blocks.load(), 0);
  EXPECT_EQ(rec.result, audiodelay_detector::kDelayFound);
  EXPECT_EQ(rec.offset, 80);
  EXPECT_EQ(module->echo_offset.load(), 80);
  EXPECT_EQ(rec.ids, (HX_AudioConnector::Identifiers{"conf", "peer"}));
  EXPECT_FALSE(c.IsMeasuring());
  c.EnableAudioDelayDetectControl(false, {});
  EXPECT_EQ(module->echo_offset.load(), 80);
  EXPECT_FALSE(module->echo_canceller.load());
}

TEST_F(Connector, SilentMicrophoneOrTwoEchoPathsKeepTheOffset) {
  c.SetSenderSamplerate(16000);
  module->echo_offset.store(40);
  c.EnableAudioDelayDetectControl(true, {"x", "y"});
  EchoLine silent;  // no path: the microphone hears nothing
  silent.Run(c, rec);
  ASSERT_TRUE(rec.done.load());
  EXPECT_EQ(rec.result, audiodelay_detector::kNoCandidate);
  EXPECT_EQ(rec.offset, 40);
  EXPECT_EQ(module->echo_offset.load(), 40);

  rec.done.store(false);
  c.EnableAudioDelayDetectControl(true, {"x", "z"});  // joins the finished thread
  EchoLine two;
  two.paths = {{64 * 16, 0.7}, {1600 * 16, 0.7}};
  two.Run(c, rec);
  ASSERT_TRUE(rec.done.load());
  EXPECT_EQ(rec.result, audiodelay_detector::kManyCandidates);
  EXPECT_EQ(rec.offset, 40);
  EXPECT_EQ(rec.ids.second, "z");
}

class StubConnector : public Connector {
 protected:
  StubConnector() : Connector(false) {}
};

TEST_F(StubConnector, IdenticalStreamsGiveDelayZeroAndOffsetMinus16) {
  c.SetSenderSamplerate(16000);
  c.EnableAudioDelayDetectControl(true, {"", ""});
  EchoLine line;
  line.paths = {{96 * 16, 0.8}};
  line.Run(c, rec);
  ASSERT_TRUE(rec.done.load());
  EXPECT_EQ(rec.result, audiodelay_detector::kDelayFound);
  EXPECT_EQ(rec.offset, -16);
}

// A second enable while a computation may still run, and destruction right after a start:
// both join the thread.
TEST(ConnectorLifetime, EnableAndDestructionJoinTheMeasurementThread) {
  for (int round = 0; round < 2; ++round) {
    SeamFactory factory(true);
    HX_AudioConnector c(&factory);
    c.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
    c.SetSenderSamplerate(16000);
    c.EnableAudioDelayDetectControl(true, {"", ""});
    std::vector<int16_t> block(256, 0);
    for (int b = 0; b < 340; ++b) {
      c.PutAudio(block.data(), 512, 16000, 0);
      c.OnAudioSampleReady(reinterpret_cast<unsigned char*>(block.data()), 512, 16000.0f, 0);
    }
    EXPECT_FALSE(c.IsMeasuring());  // the computation thread was started
    if (round == 0) c.EnableAudioDelayDetectControl(true, {"", ""});
  }
}

// A module with an enabled echo debugger gets the connector's render and mixing events in its log.
TEST(ConnectorDebugLog, RenderSelectionAndMixingEventsAreLogged) {
  struct LoggingProcessing : SeamProcessing {
    LoggingProcessing() : SeamProcessing(true) {}
    HX_EchoDebugger* GetEchoDebugger() override { return &debugger; }
    HX_EchoDebugger debugger;
  };
  struct LoggingFactory : HX_AudioProcessingFactory {
    HX_AudioProcessingBase* CreateAudioProcessing() override { return new LoggingProcessing; }
  } factory;
  const auto dir =
      std::filesystem::temp_directory_path() / ("hx_connector_log_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path;
  {
    HX_AudioConnector c(&factory);
    auto* module = static_cast<LoggingProcessing*>(c.GetProcessing());
    module->debugger.Init(dir.string());
    module->debugger.SetEnabled(true);
    path = module->debugger.GetPath(HX_EchoDebugger::kLog);
    c.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
    c.SelectRendererDevice(std::make_shared<FakePlayback>(16000));
    c.CurrentFreq(16000);  // no source: the frequency comes from here
    std::vector<int16_t> block(256);
    c.PutAudio(block.data(), 512, 16000, 0);
    module->debugger.Clear();
  }
  std::ifstream in(path);
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(log.find("select renderer\n"), std::string::npos) << log;
  EXPECT_NE(log.find("run muxer audio\n"), std::string::npos) << log;
  EXPECT_NE(log.find("renderer GeAudio : res =     0, curFreq =  16000, devFreq =  16000\n"),
            std::string::npos)
      << log;
  std::filesystem::remove_all(dir);
}

}  // namespace
