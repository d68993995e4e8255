// The send stream on the real worker pool with a recording net handler and recording meeting tools
// that hand out fakes where a device or codec would be (a video encoder that emits the 6-byte
// prefix, an audio encoder and a microphone that record what they get) and real objects elsewhere
// (the capture slot, the video source, the audio connector, the media-format adapter). Time is the
// test's: the stream reads a clock the test sets.

#include "core/streams/sender_base.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "core/conference/control/recording_meeting_tools.h"
#include "core/conference/model/conference.h"
#include "core/media/audio/audio_codec.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_device.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_encoder.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/stream_test_util.h"

namespace hx::testing {
namespace {

// Emits one encoded frame per picture: the 6-byte prefix (counter, type 0 for a key frame,
// timestamp) and the picture's first byte.
class FakeVideoEncoder : public HX_VideoEncoderBase {
 public:
  bool IsValid() override { return true; }
  void OnReady2Compress(const unsigned char* picture, unsigned long size,
                        const HX_SendNhpVideoHeader* header, bool& sent) override {
    const uint8_t type = header->frameType;
    {
      std::lock_guard<std::mutex> lock(mutex);
      keys.push_back(type == 0);
    }
    unsigned char frame[7] = {header->frameCounter, type, 0, 0, 0, 0, size ? picture[0] : 0};
    std::memcpy(frame + 2, &header->timestamp, 4);
    HX_SendNhpVideoHeader out = *header;
    CompressedFrameSignal(frame, sizeof frame, &out);
    sent = true;
  }
  void Reinit(const HX_MediaFormat*, bool) override {}
  void Release() override {}
  void SetBitrate(int bitrate, int low, int up, int fps) override {
    std::lock_guard<std::mutex> lock(mutex);
    bitrates.push_back({bitrate, low, up, fps});
  }
  bool CheckFormat(const HX_MediaFormat&, bool) override { return true; }
  void Configure(const scalable_info::Config&) override {}
  uint32_t GetResolutionBaseLayer() override { return 0; }

  std::mutex mutex;
  std::vector<bool> keys;
  std::vector<std::vector<int>> bitrates;
};

// Encodes a block into `out` bytes of its first byte; records the input sizes and rooms.
class FakeAudioEncoder : public AudioCodecBase {
 public:
  FakeAudioEncoder() : AudioCodecBase(true) {}
  int Init(int) override { return 0; }
  void Release() override {}
  int Convert(unsigned char* input, int bytes, unsigned char* output, int room) override {
    inputs.push_back(bytes);
    rooms.push_back(room);
    const int n = std::min(out, room);
    std::memset(output, input[0], static_cast<size_t>(n));
    return n;
  }
  void SetQuality(int) override {}
  void SetBitrate(int bitrate) override { bitrates.push_back(bitrate); }
  void UpdateBitrate(int) override {}
  int out = 10;
  std::vector<int> inputs;
  std::vector<int> rooms;
  std::vector<int> bitrates;
};

class FakeMicrophone : public HXAudioRecordBase {
 public:
  bool DeviceOpen(const char*, const HX_MediaFormat&) override { return true; }
  bool DeviceStart() override { return true; }
  bool DeviceStop() override { return true; }
  bool DevicePause() override { return true; }
  bool DeviceFlush() override { return true; }
  // Closing stops the capture thread and waits for it, as a device does before its owner may
  // disconnect from its signal.
  bool DeviceClose() override {
    closes.fetch_add(1);
    running.store(false);
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    return true;
  }
  // Emits 20 ms blocks of 16 kHz audio from a thread of its own until closed.
  void StartCapture() {
    running.store(true);
    thread = std::thread([this] {
      std::vector<unsigned char> block(640, 3);
      while (running.load()) {
        sampleReady(block.data(), block.size(), 16000.0f, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~FakeMicrophone() override { DeviceClose(); }
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
  std::string GetDefaultDevName() override { return "fake"; }
  std::set<audio::Device*> EnumerateDevices() override { return {}; }
  std::string GetInternalName(const std::string& name, const std::set<audio::Device*>&) override {
    return name;
  }
  bool SetMicLevel(float) override { return true; }
  float GetMaxMicLevel() override { return 1; }
  float GetMicLevel() override { return 1; }
  std::atomic<int> closes{0};
  std::atomic<bool> running{false};
  std::thread thread;
};

class SenderCtl : public HX_SenderStreamCtl {
 public:
  void onSenderStop() override {}
  bool calculatePodiumTime(bool) override { return true; }
};

class SendStream : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    tools.adapter = adapter;
    tools.meetingCaps = [](HX_ClientCaps& caps) { caps.SetMediaFormat(HX_MediaFormat()); };
    tools.videoEncoder = encoder;
    tools.audioEncoder = audioEncoder;
    tools.microphone = microphone;
    tools.videoSource = std::make_shared<HX_CaptureSlotFile>(1 << 16);
    tools.captureSlot = std::make_shared<HX_VideoCaptureSlotBase>();
    tools.connector = std::make_shared<HX_AudioConnector>();
    sender = std::make_shared<HX_SenderBase>([this] { return now.load(); });
    sender->SetStreamCapabilites(&tools, adapter, nullptr, "me@t", "srv");
    ctl.initSender(sender, &tools);
    rig = std::make_unique<StreamRig<RecordingSendHandler>>(sender.get());
  }
  void TearDown() override {
    rig.reset();
    sender.reset();
    LoopFixture::TearDown();
  }
  RecordingSendHandler& handler() { return *rig->handler; }
  // One picture of `format` at `tick`.
  void Picture(uint64_t tick, uint32_t width = 320, uint32_t codec = HX_MediaFormat::kCodecVP8,
               bool keyRequested = false) {
    HX_MediaFormat format;
    format.width = width;
    format.height = width * 3 / 4;
    format.videoCodec = codec;
    const unsigned char picture[16] = {7};
    sender->OnCapturePutImage(nullptr, picture, sizeof picture, format,
                              static_cast<unsigned long>(tick), keyRequested);
  }
  std::vector<bool> Keys() {
    std::lock_guard<std::mutex> lock(encoder->mutex);
    return encoder->keys;
  }

  std::atomic<int64_t> now{100000};
  RecordingMeetingTools tools;
  SenderCtl ctl;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter =
      std::make_shared<HX_MediaFormatManagerAdapter>();
  std::shared_ptr<FakeVideoEncoder> encoder = std::make_shared<FakeVideoEncoder>();
  std::shared_ptr<FakeAudioEncoder> audioEncoder = std::make_shared<FakeAudioEncoder>();
  std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
  std::shared_ptr<HX_SenderBase> sender;
  std::unique_ptr<StreamRig<RecordingSendHandler>> rig;
};

TEST_F(SendStream, AcquiresAndReleasesInOrderAndHoldsNothingAfterwards) {
  ASSERT_TRUE(rig->Connect());
  const std::vector<std::string> acquired = {
      "OnRequestMeetingCaps me@t",  "OnRequestVideoSource",
      "OnRequestVideoEncoder",      "OnRequestAudioRecord",
      "OnRequestAudioEncoder caps", "OnRequestMediaManagerAdapter",
      "OnRequestVideoCapture",      "OnRequestRecordProxySender me@t",
      "OnRequestAudioConnector",    "OnSenderStart"};
  EXPECT_EQ(tools.calls(), acquired);
  EXPECT_TRUE(sender->HardwareHeld());
  EXPECT_EQ(rig->events.count("setBitrateLimit 0"), 1u);
  // The first picture after connecting is a key frame: the capture slot was asked for one.
  EXPECT_TRUE(sender->GetVideoCapture()->GetForceKeyFrameFlag());
  EXPECT_EQ(encoder->CompressedFrameSignal.Count(), 1u);
  EXPECT_EQ(microphone->sampleReady.Count(), 1u);

  // A break and a second connection change nothing of the hardware.
  rig->Break();
  ASSERT_TRUE(rig->FinishTrial(true) || WaitFor([&] { return rig->FinishTrial(true); }));
  ASSERT_TRUE(WaitFor([&] { return rig->transfers() == 2; }));
  EXPECT_EQ(tools.calls().size(), acquired.size());

  rig->Finish();
  std::vector<std::string> expected = acquired;
  for (const char* call : {"OnSenderStop", "OnReleaseVideoSource", "OnReleaseVideoCapture",
                           "OnReleaseHardwareSender"}) {
    expected.push_back(call);
  }
  EXPECT_EQ(tools.calls(), expected);
  EXPECT_FALSE(sender->HardwareHeld());
  EXPECT_EQ(sender->GetVideoCapture(), nullptr);
  EXPECT_EQ(sender->GetVideoEncoder(), nullptr);
  EXPECT_EQ(microphone->closes.load(), 1);
  EXPECT_EQ(encoder->CompressedFrameSignal.Count(), 0u);
  EXPECT_EQ(microphone->sampleReady.Count(), 0u);
  EXPECT_EQ(tools.connector->sampleProcessed.Count(), 0u);
  EXPECT_EQ(tools.captureSlot->FrameReadySignal.Count(), 0u);
  EXPECT_EQ(sender->pauseVideoSignal.Count(), 0u);
  // Twice is harmless.
  EXPECT_TRUE(sender->ReleaseHardware());
  EXPECT_EQ(tools.calls(), expected);
}

TEST_F(SendStream, KeyFrames) {
  ASSERT_TRUE(rig->Connect());
  const uint64_t period = sender->GetKeyFramePeriod();
  ASSERT_GE(period, 10000u);  // no conference: the default range
  ASSERT_LE(period, 10000u + 0xfff);
  const uint64_t t = 100000;
  const struct {
    const char* name;
    uint64_t tick;
    uint32_t width;
    uint32_t codec;
    bool keyRequested;
    bool key;
  } rows[] = {
      {"the first picture", t, 320, HX_MediaFormat::kCodecVP8, false, true},
      {"the next one", t + 40, 320, HX_MediaFormat::kCodecVP8, false, false},
      {"a new size", t + 80, 640, HX_MediaFormat::kCodecVP8, false, true},
      {"a key request within 2000 ms waits", t + 120, 640, HX_MediaFormat::kCodecVP8, true, false},
      {"still waiting", t + 2079, 640, HX_MediaFormat::kCodecVP8, false, false},
      {"2000 ms after the last key frame", t + 2080, 640, HX_MediaFormat::kCodecVP8, false, true},
      {"nothing pending", t + 4200, 640, HX_MediaFormat::kCodecVP8, false, false},
      {"a new codec", t + 4240, 640, HX_MediaFormat::kCodecH264, false, true},
      {"a request after 2000 ms", t + 6300, 640, HX_MediaFormat::kCodecH264, true, true},
      {"just before the period", t + 6300 + period - 1, 640, HX_MediaFormat::kCodecH264, false,
       false},
      {"the period", t + 6300 + period, 640, HX_MediaFormat::kCodecH264, false, true},
  };
  size_t announcements = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler().clearFrames();
    Picture(row.tick, row.width, row.codec, row.keyRequested);
    ASSERT_FALSE(Keys().empty());
    EXPECT_EQ(Keys().back(), row.key);
    // A key frame is announced with the format first, then the picture goes out.
    const auto frames = handler().frames();
    ASSERT_EQ(frames.size(), row.key ? 2u : 1u);
    if (row.key) {
      const HX_MiscCommand info = frames[0].command();
      EXPECT_EQ(frames[0].track, 254);
      EXPECT_EQ(frames[0].priority, 3);
      EXPECT_EQ(info.code, HX_Cmd_RcvMFormat);
      EXPECT_EQ(info.mode, HX_CmdMode_Info);
      HX_MediaFormat announced;
      ASSERT_TRUE(announced.Load(info.data, info.DataLength()));
      EXPECT_EQ(announced.width, row.width);
      EXPECT_EQ(announced.videoCodec, row.codec);
      ++announcements;
    }
    EXPECT_EQ(frames.back().track, 2);
    EXPECT_EQ(frames.back().priority, 3);
  }
  EXPECT_EQ(announcements, 6u);
}

TEST_F(SendStream, KeyFramePeriodByConferenceType) {
  const struct {
    HX_Conference_Type type;
    uint64_t low, high;
  } rows[] = {{0, 30000, 30000 + 0x1fff},
              {1, 30000, 30000 + 0x1fff},
              {6, 6000, 6000 + 0x7ff},
              {5, 10000, 10000 + 0xfff}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    auto conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
    conference->setConferenceType(row.type, 0, 0, false);
    HX_SenderBase s;
    s.SetStreamCapabilites(nullptr, nullptr, conference.get(), "me@t", "srv");
    ASSERT_TRUE(s.AcquireHardware());
    EXPECT_GE(s.GetKeyFramePeriod(), row.low);
    EXPECT_LE(s.GetKeyFramePeriod(), row.high);
    EXPECT_TRUE(s.ReleaseHardware());
  }
}

TEST_F(SendStream, CongestionDropsPictures) {
  ASSERT_TRUE(rig->Connect());
  // Ticks past 2^32 ms: the queue's timestamps are the ticks cut to 32 bits.
  const uint64_t t = (uint64_t{1} << 32) + 50000;
  const auto cut = [](uint64_t tick) { return static_cast<uint32_t>(tick); };
  struct Row {
    const char* name;
    uint64_t tick;
    uint32_t oldest;
    int64_t blockedFor;  // -1: not blocked
    int count;
    bool sent;
    bool key;
  };
  const Row rows[] = {
      {"the first picture, nothing queued", t, 0, -1, 0, true, true},
      {"the UDP handler's zeros", t + 40, 0, -1, 0, true, false},
      {"one second queued: two to skip", t + 80, cut(t + 80 - 1000), -1, 1, true, false},
      {"skipped", t + 120, cut(t + 80 - 1000), -1, 1, false, false},
      {"skipped again", t + 160, cut(t + 80 - 1000), -1, 1, false, false},
      {"through, the queue empty", t + 200, 0, -1, 0, true, false},
      {"25 frames queued skip 2 even when young", t + 240, cut(t + 230), -1, 25, true, false},
      {"skipped", t + 280, cut(t + 230), -1, 25, false, false},
      {"skipped", t + 320, cut(t + 230), -1, 25, false, false},
      {"blocked 1999 ms", t + 2500, 0, 1999, 1, true, false},
      {"blocked 2000 ms: a due key frame is dropped", t + 2540, 0, 2000, 1, false, false},
      {"still blocked", t + 2580, 0, 5000, 1, false, false},
      {"free again: the remembered key frame", t + 2620, 0, -1, 0, true, true},
      {"then an ordinary picture", t + 2660, 0, -1, 0, true, false},
  };
  now.store(static_cast<int64_t>(t));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    handler().setQueue(row.oldest, row.blockedFor < 0 ? 0 : now.load() - row.blockedFor, row.count);
    const size_t before = Keys().size();
    // The dropped picture of the blocked queue is due as a key frame (a request after 2000 ms).
    Picture(row.tick, 320, HX_MediaFormat::kCodecVP8, row.tick == t + 2540);
    ASSERT_EQ(Keys().size(), before + (row.sent ? 1 : 0));
    if (row.sent) EXPECT_EQ(Keys().back(), row.key);
  }
}

TEST_F(SendStream, AudioInWholeBlocks) {
  ASSERT_TRUE(rig->Connect());
  const int block = sender->GetAudioBlockSize();
  ASSERT_GT(block, 0);
  std::vector<unsigned char> samples(static_cast<size_t>(block) * 3, 1);
  // Odd chunks: 1/3, 1 and 1/3 + 1 blocks, then the rest of the third.
  const size_t chunks[] = {static_cast<size_t>(block / 3), static_cast<size_t>(block),
                           static_cast<size_t>(block / 3 + 1)};
  size_t fed = 0;
  for (size_t chunk : chunks) {
    sender->OnReady2Compress(samples.data(), chunk);
    fed += chunk;
  }
  EXPECT_EQ(audioEncoder->inputs, std::vector<int>(fed / block, block));
  EXPECT_EQ(audioEncoder->rooms, std::vector<int>(fed / block, block));
  sender->OnReady2Compress(samples.data(), 3 * block - fed);
  EXPECT_EQ(audioEncoder->inputs.size(), 3u);
  const auto frames = handler().frames(1);
  ASSERT_EQ(frames.size(), 3u);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.bytes.size(),
              4u + 10u);  // the tick slot, then the encoded bytes
    EXPECT_EQ(frame.priority, 2);
    EXPECT_FALSE(frame.header);
  }
}

TEST_F(SendStream, AudioFormatChangesAreCheckedOnceAndAnnounced) {
  ASSERT_TRUE(rig->Connect());
  const int block = sender->GetAudioBlockSize();
  const auto formatRequests = [&] {
    const auto calls = tools.calls();
    return std::count(calls.begin(), calls.end(), "OnRequestAudioEncoder format");
  };
  unsigned char samples[64] = {};
  // A peer can force a codec and sample rate whose derived block is too long: one that fits the
  // output buffer but not the FIFO (one second at the old rate), and one beyond the buffer.
  constexpr uint32_t kPcm = 1;
  std::vector<uint32_t> badRates;
  for (uint32_t rate = 8000; rate <= 4000000 && badRates.size() < 2; rate += 8000) {
    HX_MediaFormat f;
    f.SetAudio(rate, kPcm, HX_MediaFormat::kDefaultDuration);
    const bool beyondFifo = f.audioBufferSize > 32000 && f.audioBufferSize <= 32764;
    const bool beyondBuffer = f.audioBufferSize > 32764;
    if ((badRates.empty() && beyondFifo) || (!badRates.empty() && beyondBuffer)) {
      badRates.push_back(rate);
    }
  }
  ASSERT_EQ(badRates.size(), 2u);
  for (uint32_t rate : badRates) {
    HX_MediaFormat bad;
    bad.SetAudio(rate, kPcm, HX_MediaFormat::kDefaultDuration);
    adapter->ForceSndMediaFormat(bad);
    handler().clearFrames();
    sender->OnAudioConnectorSampleReady(samples, sizeof samples, 16000, 0);
    EXPECT_EQ(formatRequests(), 0) << rate;
    EXPECT_EQ(sender->GetAudioBlockSize(), block) << rate;
    EXPECT_TRUE(handler().frames(254).empty()) << rate;
    EXPECT_EQ(sender->GetCurrentMediaFormat().sampleRate, 16000u) << rate;
  }
  HX_MediaFormat good;
  good.SetAudio(48000, HX_MediaFormat::kAudioOpus, HX_MediaFormat::kDefaultDuration);
  adapter->ForceSndMediaFormat(good);
  handler().clearFrames();
  sender->OnAudioConnectorSampleReady(samples, sizeof samples, 16000, 0);
  sender->OnAudioConnectorSampleReady(samples, sizeof samples, 16000, 0);
  EXPECT_EQ(formatRequests(), 1);
  EXPECT_EQ(sender->GetAudioBlockSize(), static_cast<int>(good.audioBufferSize));
  EXPECT_EQ(sender->GetCurrentMediaFormat().sampleRate, 48000u);
  const auto commands = handler().frames(254);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].command().code, HX_Cmd_RcvMFormat);
}

TEST_F(SendStream, BitrateStepFrameRateAndUploadLimits) {
  // No capture slot: no measured capture rate, so the frame-rate limit starts at 700.
  tools.captureSlot = nullptr;
  adapter->SetConfType(5);
  ASSERT_TRUE(rig->Connect());
  sender->onNetConnectionDone();  // no "Sender stat" run between the rows
  Picture(100000);                // 15 frames per second: no limit below 1500 from the format
  const struct {
    const char* name;
    std::function<void()> limits;
    uint32_t uploadAsked;  // 0: the handler is not asked
    std::string changed;   // OnSendBitrateChanged x y fps
  } rows[] = {
      {"no limits: 700 and 128", [] {}, 128, "OnSendBitrateChanged 256 0 700"},
      {"conference frame rate", [&] { adapter->SetCnfFpsLimit(500); }, 128,
       "OnSendBitrateChanged 256 0 500"},
      {"external frame rate over the conference's",
       [&] {
         adapter->SetExtFpsLimit(3);
         adapter->SetSrvFpsLimit(400);
       },
       128, "OnSendBitrateChanged 256 0 300"},
      {"server frame rate the smallest", [&] { adapter->SetSrvFpsLimit(200); }, 128,
       "OnSendBitrateChanged 256 0 200"},
      {"smallest non-zero upload limit",
       [&] {
         adapter->SetSrvUpLimit(300);
         adapter->SetPeerUpLimit(200);
       },
       200, "OnSendBitrateChanged 256 0 200"},
      {"base limit", [&] { adapter->SetCnfBaseUpLimit(90); }, 200,
       "OnSendBitrateChanged 256 90 200"},
      {"an external limit sets all three", [&] { adapter->SetExtBitrateLimit(400); }, 0,
       "OnSendBitrateChanged 400 400 200"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.limits();
    handler().lastUploadLimit = 0;
    const size_t before = tools.calls().size();
    sender->CalcStreamValues(100, 0, 3);
    EXPECT_EQ(sender->GetSendBitrateInfo(), 103u);
    EXPECT_EQ(handler().lastUploadLimit.load(), row.uploadAsked);
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before], "OnUpdateSenderBitrateInfo 103");
    EXPECT_EQ(calls[before + 1], row.changed);
  }
  // Without a capture slot the video codec is left alone; the audio codec is not.
  EXPECT_TRUE(encoder->bitrates.empty());
  EXPECT_EQ(audioEncoder->bitrates.back(), 56000);  // 400 kbit/s
}

TEST_F(SendStream, BitrateStepMaximumReachesTheEncoder) {
  adapter->SetConfType(5);
  ASSERT_TRUE(rig->Connect());
  sender->onNetConnectionDone();
  adapter->SetCnfBaseMaxUpLimit(1000);
  adapter->SetCnfVideoUpLimit(300);
  adapter->SetCnfDsUpLimit(600);
  adapter->SetCnfBaseUpLimit(90);
  const struct {
    const char* name;
    std::function<void()> limits;
    std::vector<int> rates;  // the encoder's first three values
  } rows[] = {
      {"the video maximum", [] {}, {256, 90, 300}},
      {"the desktop-sharing maximum while sharing",
       [&] { adapter->SetScreenCapture(true); },
       {256, 90, 600}},
      {"an external limit", [&] { adapter->SetExtBitrateLimit(400); }, {400, 400, 400}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.limits();
    sender->CalcStreamValues(100, 0, 3);
    std::lock_guard<std::mutex> lock(encoder->mutex);
    ASSERT_FALSE(encoder->bitrates.empty());
    const std::vector<int>& last = encoder->bitrates.back();
    EXPECT_EQ(std::vector<int>(last.begin(), last.begin() + 3), row.rates);
  }
}

TEST_F(SendStream, BitrateStepWithoutHardwareSkipsTheCodecs) {
  sender->CalcStreamValues(0, 0, 0);
  EXPECT_TRUE(encoder->bitrates.empty());
  EXPECT_TRUE(audioEncoder->bitrates.empty());
  // A call (type 0): the whole bandwidth, the video budget twice, a frame rate fitted to the
  // picture.
  EXPECT_EQ(tools.calls().back().rfind("OnSendBitrateChanged 256 256 ", 0), 0u);
}

TEST_F(SendStream, PingsOnlyWhenIdle) {
  rig->handler->pingPeriod = 200;
  ASSERT_TRUE(rig->Connect());
  // Idle: a ping about every period (the clock moves with the real one here).
  std::atomic<bool> run{true};
  std::thread clock([&] {
    while (run.load()) {
      now.fetch_add(10);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  EXPECT_TRUE(WaitFor([&] { return handler().pings.load() >= 3; }));
  // Steady traffic: none.
  std::atomic<bool> traffic{true};
  std::thread sending([&] {
    while (traffic.load()) {
      sender->RequestKeyFrame();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int pings = handler().pings.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(handler().pings.load(), pings);
  traffic = false;
  sending.join();
  run = false;
  clock.join();
}

TEST_F(SendStream, ADeadConnectionReconnects) {
  ASSERT_TRUE(rig->Connect());
  const size_t trials = rig->supplier->calls().size();
  rig->handler->alive = false;
  // "Sender stat" finds it dead and looks for a new connection at once.
  ASSERT_TRUE(WaitFor([&] { return rig->supplier->calls().size() > trials; }));
  EXPECT_EQ(sender->getStateFlags() & HX_MediaStreamBase::kConnected, 0u);
}

TEST_F(SendStream, ADeadConnectionThatCannotReconnectIsUnavailable) {
  ASSERT_TRUE(rig->Connect());
  rig->supplier->refuse = true;
  rig->handler->alive = false;
  ASSERT_TRUE(WaitFor([&] {
    const auto calls = tools.calls();
    return std::count(calls.begin(), calls.end(), "OnStreamUnavailable 1 2 srv") == 1;
  }));
  // The stat job has ended: no second report follows.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const auto calls = tools.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "OnStreamUnavailable 1 2 srv"), 1);
}

TEST_F(SendStream, StatisticsBlock) {
  ASSERT_TRUE(rig->Connect());
  const int64_t before = time(nullptr);
  sender->setStreamConfStat(1000, 2, 5000);
  const int64_t after = time(nullptr);
  sender->setStreamConfStat(3500, 1, 7000);
  for (int i = 0; i < 5; ++i) Picture(100000 + i * 40);
  stream::TConferenceStatistics block;
  ASSERT_TRUE(sender->getStreamConfStat(block));
  bool matched = false;
  for (int64_t start = before; start <= after; ++start) {
    stream::TConferenceStatistics expected;
    expected.durationMs = 2500;
    expected.bytesSent = 12000;
    expected.videoWidth = 320;
    expected.videoHeight = 240;
    expected.frameRate = 5 / 2.5;
    expected.startTime = static_cast<uint64_t>(start) * 10000000 + 116444736000000000ULL;
    expected.endTime = static_cast<uint64_t>(start + 2) * 10000000 + 116444736000000000ULL;
    matched = matched || std::memcmp(&block, &expected, sizeof block) == 0;
  }
  EXPECT_TRUE(matched);
  // No time passed: no frame rate.
  sender->resetConfStat();
  sender->setStreamConfStat(5000, 2, 1);
  ASSERT_TRUE(sender->getStreamConfStat(block));
  EXPECT_EQ(block.durationMs, 0);
  EXPECT_EQ(block.frameRate, 0.0);
}

// A shutdown while the microphone delivers from its own thread and commands come from another:
// the hardware is released once, nothing reaches the handler after the release, and no delegate
// is left connected.
// Hanging up while pictures enter from the camera's thread, audio from the microphone's and
// commands from a third: connected, while "acquire hardware" runs (held inside the meeting-caps
// request), and while a reconnect's trial runs. Each round releases the hardware once and hands
// nothing to the net handler after the release.
TEST_F(SendStream, ShutdownUnderLoad) {
  enum Phase { kConnected, kAcquiring, kTrialRunning };
  const struct {
    const char* name;
    Phase phase;
  } rows[] = {{"connected", kConnected},
              {"acquire hardware running", kAcquiring},
              {"a trial running", kTrialRunning}};
  std::atomic<bool> gateArmed{false};
  std::atomic<bool> gateEntered{false};
  std::atomic<bool> gateOpen{false};
  tools.meetingCaps = [&](HX_ClientCaps& caps) {
    caps.SetMediaFormat(HX_MediaFormat());
    if (!gateArmed.load()) return;
    gateEntered = true;
    while (!gateOpen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  HX_MiscCommand keyRequest;
  keyRequest.RequestKeyFrame();
  for (const auto& row : rows) {
    for (int round = 0; round < 8; ++round) {
      SCOPED_TRACE(std::string(row.name) + " round " + std::to_string(round));
      rig.reset();
      sender = std::make_shared<HX_SenderBase>([this] { return now.load(); });
      sender->SetStreamCapabilites(&tools, adapter, nullptr, "me@t", "srv");
      ctl.initSender(sender, &tools);
      rig = std::make_unique<StreamRig<RecordingSendHandler>>(sender.get());
      const auto releases = [&] {
        const auto calls = tools.calls();
        return std::count(calls.begin(), calls.end(), "OnReleaseHardwareSender");
      };
      const auto released = releases();

      gateArmed = row.phase == kAcquiring;
      gateEntered = false;
      gateOpen = false;
      // A failed assertion must not leave the acquiring job held for the teardown.
      struct OpenGate {
        std::atomic<bool>& open;
        ~OpenGate() { open = true; }
      } openGate{gateOpen};
      if (row.phase == kAcquiring) {
        ASSERT_TRUE(sender->startConnection("key", 0));
        ASSERT_TRUE(rig->FinishTrial(true));
        ASSERT_TRUE(WaitFor([&] { return gateEntered.load(); }));
      } else {
        ASSERT_TRUE(rig->Connect());
      }
      microphone->StartCapture();
      std::atomic<bool> stop{false};
      std::thread camera([&] {
        const std::vector<unsigned char> picture(320 * 240 * 3 / 2, 9);
        HX_CaptureMode mode;
        mode.width = 320;
        mode.height = 240;
        for (unsigned long time = 1000; !stop.load(); time += 33) {
          tools.captureSlot->OnPutFrame(picture.data(), picture.size(), 3000, time, false, &mode,
                                        hx_processing_defs::eRotateNone,
                                        hx_capture_defs::eCaptureDefault);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      std::thread commands([&] {
        while (!stop.load()) sender->RequestKeyFrame();
      });
      if (row.phase == kConnected) {
        EXPECT_TRUE(WaitFor([&] {
          return !handler().frames(1).empty() && !handler().frames(2).empty();
        }));
      } else if (row.phase == kTrialRunning) {
        EXPECT_TRUE(sender->reconnectServer());
        EXPECT_TRUE(WaitFor([&] { return rig->TrialRunning(); }));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(round));

      EXPECT_FALSE(sender->shutdownStream());
      gateOpen = true;
      EXPECT_TRUE(WaitFor([&] { return !sender->HardwareHeld() && sender->getStateFlags() == 0; }));
      // Only the commands thread's key-frame requests may still reach the handler: nothing of
      // the pictures or the audio (frames, format announcements) does.
      const size_t handed = handler().frames().size();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::vector<SentFrame> after = handler().frames();
      for (size_t i = handed; i < after.size(); ++i) {
        EXPECT_EQ(after[i].track, 254) << i;
        if (after[i].track == 254) EXPECT_EQ(after[i].command().code, keyRequest.code) << i;
      }
      stop = true;
      camera.join();
      commands.join();
      EXPECT_FALSE(microphone->running.load());
      EXPECT_EQ(microphone->sampleReady.Count(), 0u);
      EXPECT_EQ(tools.connector->sampleProcessed.Count(), 0u);
      EXPECT_EQ(tools.captureSlot->FrameReadySignal.Count(), 0u);
      EXPECT_EQ(encoder->CompressedFrameSignal.Count(), 0u);
      EXPECT_EQ(releases(), released + 1);
    }
  }
}

}  // namespace
}  // namespace hx::testing
