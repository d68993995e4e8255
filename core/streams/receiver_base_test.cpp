// A receive stream on the real worker pool with a recording net handler and recording meeting
// tools: a real video synchroniser and audio connector, a fake renderer and decoder that record
// what reaches them. Its conference's send stream, where a test needs one, has a recording send
// handler too, so that key-frame requests and command replies show as frames it was handed.

#include "core/streams/receiver_base.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/conference/control/receivers_stream_pool_ctl.h"
#include "core/conference/control/recording_meeting_tools.h"
#include "core/conference/model/conference.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/video/receive/video_render.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_decoder.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/stream_test_util.h"

namespace hx::testing {
namespace {

class FakeRenderer : public HXVideoRenderBase {
 public:
  void OnPaint(const unsigned char*, unsigned long, unsigned, unsigned, uint32_t) override {}
};

class FakeDecoder : public HX_VideoDecoderBase {
 public:
  void OnReady2Decompress(const unsigned char*, unsigned long, bool) override {}
  void Reinit(const HX_MediaFormat&) override {}
  void Release() override {}
  void ChangeFormat(const HX_MediaFormat& format) override {
    std::lock_guard<std::mutex> lock(mutex);
    formats.push_back(format);
  }
  void Configure(int, int) override {}
  std::mutex mutex;
  std::vector<HX_MediaFormat> formats;
};

class ReceiveStream : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    tools.meetingCaps = [](HX_ClientCaps& caps) { caps.SetMediaFormat(HX_MediaFormat()); };
    tools.renderer = renderer;
    tools.decoder = decoder;
    tools.videoSync = std::make_shared<CVideoSinc>();
    tools.connector = std::make_shared<HX_AudioConnector>();
    conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
    conference->setConferenceType(5, 0, 0, false);
    sender = std::make_shared<HX_SenderBase>();
    sender->SetStreamCapabilites(nullptr, nullptr, conference.get(), "me@t", "srv");
    conference->setSender(sender);
    senderRig = std::make_unique<StreamRig<RecordingSendHandler>>(sender.get());
    receiver = std::make_shared<HX_ReceiverBase>();
    receiver->SetStreamCapabilites(&tools, conference.get(), "bob@t", "me@t");
    conference->InsertReceiver("bob@t", receiver);
    conference->initReceiver("bob@t", &tools);
    rig = std::make_unique<StreamRig<RecordingReceiveHandler>>(receiver.get());
  }
  void TearDown() override {
    rig.reset();
    senderRig.reset();
    conference->destroyReceivers();
    conference->setSender(nullptr);
    receiver.reset();
    sender.reset();
    conference.reset();
    LoopFixture::TearDown();
  }
  // The commands the conference's send stream was handed, by code.
  std::vector<uint8_t> SentCommands() {
    std::vector<uint8_t> codes;
    for (const auto& frame : senderRig->handler->frames(254)) codes.push_back(frame.command().code);
    return codes;
  }

  RecordingMeetingTools tools;
  std::shared_ptr<FakeRenderer> renderer = std::make_shared<FakeRenderer>();
  std::shared_ptr<FakeDecoder> decoder = std::make_shared<FakeDecoder>();
  std::shared_ptr<HX_Conference> conference;
  std::shared_ptr<HX_SenderBase> sender;
  std::shared_ptr<HX_ReceiverBase> receiver;
  std::unique_ptr<StreamRig<RecordingSendHandler>> senderRig;
  std::unique_ptr<StreamRig<RecordingReceiveHandler>> rig;
};

TEST_F(ReceiveStream, AcquiresAndReleasesInOrder) {
  ASSERT_TRUE(rig->Connect());
  const std::vector<std::string> acquired = {
      "OnRequestMeetingCaps bob@t",    "OnRequestAudioPlayback bob@t",
      "OnRequestVideoRender bob@t",    "OnRequestVideoDecoder bob@t",
      "OnRequestVideoSync bob@t",      "OnRequestAudioCodecFactory",
      "OnRequestAudioConnector bob@t", "OnRequestRecordProxyReceiver bob@t",
      "OnReceiverStart bob@t"};
  EXPECT_EQ(tools.calls(), acquired);
  EXPECT_EQ(tools.videoSync->SourceCount(), 1u);
  EXPECT_EQ(decoder->DecodedPictureSignal.Count(), 1u);
  // The start asks the senders for a key frame.
  EXPECT_EQ(SentCommands(), std::vector<uint8_t>{HX_Cmd_RequestKeyFrame});

  rig->Finish();
  std::vector<std::string> expected = acquired;
  expected.push_back("OnReceiverStop bob@t");
  expected.push_back("OnReleaseHardwareReceiver bob@t");
  EXPECT_EQ(tools.calls(), expected);
  EXPECT_FALSE(receiver->HardwareHeld());
  EXPECT_EQ(tools.videoSync->SourceCount(), 0u);
  EXPECT_EQ(decoder->DecodedPictureSignal.Count(), 0u);
  EXPECT_EQ(decoder->RequestKeyFrameSignal.Count(), 0u);
  EXPECT_TRUE(receiver->ReleaseHardware());
  EXPECT_EQ(tools.calls(), expected);
}

TEST_F(ReceiveStream, DataPackets) {
  struct Sink {
    std::vector<std::string> payloads;
    void OnData(int zero, const uint8_t* bytes, size_t size) {
      EXPECT_EQ(zero, 0);
      payloads.emplace_back(reinterpret_cast<const char*>(bytes), size);
    }
  } sink;
  receiver->dataReceivedSignal.Connect(&sink, &Sink::OnData);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool emitted;
    std::string payload;
  } rows[] = {
      {"empty", {}, false, ""},
      {"one byte: shorter than its value", {0x05}, false, ""},
      {"exactly the value: an empty payload", {0x00, 0x00}, true, ""},
      {"value 255", {0xFF, 0x00, 'x', 'y'}, true, "xy"},
      {"value 256", {0x00, 0x01, 'x'}, false, ""},
      {"value 0xFFFF", {0xFF, 0xFF, 'x'}, false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sink.payloads.clear();
    // A buffer of exactly the packet's size, so that a read past it shows.
    std::unique_ptr<uint8_t[]> packet(new uint8_t[row.bytes.size()]);
    if (!row.bytes.empty()) std::memcpy(packet.get(), row.bytes.data(), row.bytes.size());
    EXPECT_TRUE(
        receiver->ProcessRecvDataPacket(packet.get(), static_cast<uint16_t>(row.bytes.size())));
    EXPECT_EQ(sink.payloads.size(), row.emitted ? 1u : 0u);
    if (row.emitted && !sink.payloads.empty()) EXPECT_EQ(sink.payloads[0], row.payload);
  }
  receiver->dataReceivedSignal.Disconnect(&sink, &Sink::OnData);
}

TEST_F(ReceiveStream, FormatCommands) {
  ASSERT_TRUE(rig->Connect());
  const auto command = [](uint8_t code, uint8_t mode, uint8_t result, uint32_t width,
                          uint32_t height, size_t cut) {
    HX_MediaFormat format;
    format.width = width;
    format.height = height;
    HX_MiscCommand c;
    c.InfoRcvMFormat(format);
    c.code = code;
    c.mode = mode;
    c.result = result;
    if (cut != 0) c.length = static_cast<uint8_t>(cut);
    return c;
  };
  const struct {
    const char* name;
    HX_MiscCommand command;
    bool handled;
    bool changes;
    uint32_t width,
        height;  // what reaches the sync, the decoder and the handler
  } rows[] = {
      {"an announcement", command(5, 4, 0, 640, 480, 0), true, true, 640, 480},
      {"the same again: no change", command(5, 4, 0, 640, 480, 0), true, false, 0, 0},
      {"a width under 16", command(5, 4, 0, 8, 480, 0), true, true, 0, 0},
      {"a height over 131072", command(5, 4, 0, 640, 131073, 0), true, false, 0, 0},
      {"an accepted send-format change", command(4, 2, 0, 352, 288, 0), true, true, 352, 288},
      {"a refused one", command(4, 2, 1, 176, 144, 0), false, false, 0, 0},
      {"a request", command(5, 1, 0, 176, 144, 0), false, false, 0, 0},
      {"cut short", command(5, 4, 0, 176, 144, 10), true, false, 0, 0},
      {"a key-frame request", command(1, 1, 0, 176, 144, 0), false, false, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t before = rig->handler->formats().size();
    EXPECT_EQ(receiver->ProcessCommand(row.command), row.handled);
    const auto formats = rig->handler->formats();
    ASSERT_EQ(formats.size(), before + (row.changes ? 1 : 0));
    if (!row.changes) continue;
    EXPECT_EQ(formats.back().width, row.width);
    EXPECT_EQ(formats.back().height, row.height);
    std::lock_guard<std::mutex> lock(decoder->mutex);
    EXPECT_EQ(decoder->formats.back().width, row.width);
  }
}

TEST_F(ReceiveStream, EnablingVideoAsksForOneKeyFrame) {
  ASSERT_TRUE(rig->Connect());
  ASSERT_EQ(SentCommands().size(), 1u);  // the start's request
  receiver->SetFltrEnabled(0x100);
  EXPECT_EQ(SentCommands().size(), 1u);
  receiver->SetFltrEnabled(0x300);
  EXPECT_EQ(SentCommands().size(), 2u);
  receiver->SetFltrEnabled(0xF00);  // video stays on
  EXPECT_EQ(SentCommands().size(), 2u);
  EXPECT_TRUE(receiver->CheckFltrEnabled(0x300));
  EXPECT_FALSE(receiver->CheckFltrEnabled(0x1000));
  receiver->SetFltrEnabled(0);
  EXPECT_EQ(SentCommands().size(), 2u);
  EXPECT_FALSE(renderer->IsVideoEnabled());
}

TEST_F(ReceiveStream, ACommandForTheSenderWaitsForTheNextFrame) {
  ASSERT_TRUE(senderRig->Connect());
  ASSERT_TRUE(rig->Connect());
  HX_MiscCommand request;
  request.SetFpsVsQ(3);
  EXPECT_FALSE(receiver->ProcessCommand(request));  // not the receive stream's
  sender->AddCommand(request, false);
  const size_t before = senderRig->handler->frames(254).size();
  EXPECT_EQ(sender->ReceivedCount(), 1u);
  receiver->afterFrameReceived(1);
  EXPECT_EQ(sender->ReceivedCount(), 0u);
  const auto frames = senderRig->handler->frames(254);
  ASSERT_EQ(frames.size(), before + 1);
  const HX_MiscCommand reply = frames.back().command();
  EXPECT_EQ(reply.code, HX_Cmd_SetFpsVsQ);
  EXPECT_EQ(reply.mode, HX_CmdMode_Reply);
  EXPECT_EQ(reply.result, 0);
  EXPECT_EQ(frames.back().priority, 1);
}

TEST_F(ReceiveStream, StatisticsBlock) {
  rig->handler->jitter = 12;
  rig->handler->lostPackets = 3;
  receiver->setStreamConfStat(1000, 1, 300);
  receiver->setStreamConfStat(1800, 2, 700);
  stream::TConferenceStatistics block;
  ASSERT_TRUE(receiver->getStreamConfStat(block));
  stream::TConferenceStatistics expected;
  expected.durationMs = 800;
  expected.bytesRecv = 1000;
  expected.jitter = 12;
  expected.lostPackets = 3;
  EXPECT_EQ(std::memcmp(&block, &expected, sizeof block), 0);
}

}  // namespace
}  // namespace hx::testing
