// The wiring of the streams' signals to the meeting tools: each of the seventeen send-stream and
// thirteen receive-stream signals reaches its operation of a recording tools factory, in order;
// the send stream's stop also reaches the conference; doneReceiver disconnects exactly the
// thirteen. Also the bit-rate questions the send stream asks of its conference.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/conference/control/receivers_stream_pool_ctl.h"
#include "core/conference/control/recording_meeting_tools.h"
#include "core/conference/control/sender_stream_ctl.h"
#include "core/streams/receiver_base.h"
#include "core/streams/sender_base.h"
#include "core/wire/media_format.h"

namespace {

using hx::testing::RecordingMeetingTools;

class SenderCtl : public HX_SenderStreamCtl {
 public:
  void onSenderStop() override { ++stops; }
  bool calculatePodiumTime(bool) override { return true; }
  int stops = 0;
};

class Pool : public HX_ReceiversStreamPoolCtl {
 public:
  void scheduleCheckSavedReceiver(const std::string&) override {}
};

// Emits every send-stream signal once, in the order the conference wires them.
void EmitSenderSignals(HX_SenderBase& s) {
  HX_ClientCaps caps;
  HX_MediaFormat format;
  std::shared_ptr<HX_VideoEncoderBase> encoder;
  std::shared_ptr<HXAudioRecordBase> microphone;
  std::shared_ptr<AudioCodecBase> audio;
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HX_RecordPeerProxyBase> proxy;
  std::shared_ptr<HX_CaptureSlotFile> source;
  std::shared_ptr<HX_VideoCaptureSlotBase> capture;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
  s.requestVideoEncoderSignal(caps, encoder);
  s.requestMicrophoneSignal(caps, microphone);
  s.requestAudioEncoderSignal(caps, audio);
  s.requestAudioEncoderForFormatSignal(format, audio);
  s.requestAudioConnectorSignal("", caps, connector);
  s.requestRecordProxySignal("me@t", proxy);
  s.requestVideoSourceSignal(caps, source);
  s.requestCaptureSlotSignal(caps, capture);
  s.hardwareReleasedSignal();
  s.releaseVideoSourceSignal(source);
  s.releaseCaptureSlotSignal(capture);
  s.requestMeetingCapsSignal("me@t", "srv", caps);
  s.senderStartedSignal(caps);
  s.sendStatisticsSignal(1, 2);
  s.senderStoppedSignal();
  s.unavailableSignal(1, hx::NetHandshakeNoConnection, "room", "srv");
  s.requestMediaAdapterSignal(adapter);
  // Neither reaches the tools.
  s.releaseRecordProxySignal(proxy);
  s.pauseVideoSignal(true);
}

void EmitReceiverSignals(HX_ReceiverBase& r) {
  HX_ClientCaps caps;
  std::shared_ptr<HXVideoRenderBase> renderer;
  std::shared_ptr<HX_AudioPlaybackBase> playback;
  std::shared_ptr<CVideoSinc> sync;
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HX_VideoDecoderBase> decoder;
  std::shared_ptr<HX_AudioCodecFactory> factory;
  std::shared_ptr<HX_RecordPeerProxyBase> proxy;
  r.receiverStartedSignal("bob", caps);
  r.receiverStoppedSignal("bob");
  r.receiveStatisticsSignal("bob", 1, 2);
  r.hardwareReleasedSignal("bob");
  r.requestAudioCodecFactorySignal(factory);
  r.requestAudioConnectorSignal("bob", caps, connector);
  r.requestPlaybackSignal("bob", caps, playback);
  r.requestMeetingCapsSignal("bob", "me", caps);
  r.requestRendererSignal("bob", caps, renderer);
  r.requestRecordProxySignal("bob", proxy);
  r.requestVideoSyncSignal("bob", caps, sync);
  r.requestVideoDecoderSignal("bob", caps, decoder);
  r.unavailableSignal(2, hx::NetHandshakeTimeout, "room", "bob");
  const uint8_t data[] = {1};
  r.dataReceivedSignal(0, data, 1);  // not the tools'
}

TEST(StreamSignals, EverySendSignalReachesItsOperationAndTheStopTheConference) {
  RecordingMeetingTools tools;
  SenderCtl ctl;
  auto sender = std::make_shared<HX_SenderBase>();
  ctl.initSender(sender, &tools);
  EXPECT_EQ(ctl.Sender(), sender);
  EmitSenderSignals(*sender);
  const std::vector<std::string> expected = {"OnRequestVideoEncoder",
                                             "OnRequestAudioRecord",
                                             "OnRequestAudioEncoder caps",
                                             "OnRequestAudioEncoder format",
                                             "OnRequestAudioConnector",
                                             "OnRequestRecordProxySender me@t",
                                             "OnRequestVideoSource",
                                             "OnRequestVideoCapture",
                                             "OnReleaseHardwareSender",
                                             "OnReleaseVideoSource",
                                             "OnReleaseVideoCapture",
                                             "OnRequestMeetingCaps me@t",
                                             "OnSenderStart",
                                             "OnSendStatisticsUpdate",
                                             "OnSenderStop",
                                             "OnStreamUnavailable 1 2 srv",
                                             "OnRequestMediaManagerAdapter"};
  EXPECT_EQ(tools.calls(), expected);
  EXPECT_EQ(ctl.stops, 1);  // after the tools' OnSenderStop
  EXPECT_EQ(sender->senderStoppedSignal.Count(), 2u);
}

TEST(StreamSignals, EveryReceiveSignalReachesItsOperationUntilDone) {
  RecordingMeetingTools tools;
  Pool pool;
  EXPECT_FALSE(pool.initReceiver("bob", &tools));  // no stream yet
  auto receiver = std::make_shared<HX_ReceiverBase>("bob", "me");
  pool.InsertReceiver("bob", receiver);
  ASSERT_TRUE(pool.initReceiver("bob", &tools));
  EmitReceiverSignals(*receiver);
  const std::vector<std::string> expected = {
      "OnReceiverStart bob",        "OnReceiverStop bob",
      "OnRecvStatisticsUpdate bob", "OnReleaseHardwareReceiver bob",
      "OnRequestAudioCodecFactory", "OnRequestAudioConnector bob",
      "OnRequestAudioPlayback bob", "OnRequestMeetingCaps bob",
      "OnRequestVideoRender bob",   "OnRequestRecordProxyReceiver bob",
      "OnRequestVideoSync bob",     "OnRequestVideoDecoder bob",
      "OnStreamUnavailable 2 1 bob"};
  EXPECT_EQ(tools.calls(), expected);

  // Whoever consumes the data track stays connected.
  struct DataSink {
    void OnData(int, const uint8_t*, size_t) {}
  } sink;
  receiver->dataReceivedSignal.Connect(&sink, &DataSink::OnData);
  pool.doneReceiver(receiver);
  EmitReceiverSignals(*receiver);
  EXPECT_EQ(tools.calls().size(), expected.size());
  EXPECT_EQ(receiver->dataReceivedSignal.Count(), 1u);
}

TEST(StreamSignals, BitrateQuestions) {
  RecordingMeetingTools tools;
  SenderCtl ctl;
  uint32_t rate = 7;
  EXPECT_FALSE(ctl.requestSenderBitrate(rate));
  EXPECT_EQ(rate, 7u);
  auto sender = std::make_shared<HX_SenderBase>();
  sender->SetSendBitrateInfo(321);
  ctl.initSender(sender, &tools);
  ASSERT_TRUE(ctl.requestSenderBitrate(rate));
  EXPECT_EQ(rate, 321u);

  Pool pool;
  std::map<std::string, unsigned> rates;
  EXPECT_TRUE(pool.requestReceiversBitrate(rates));
  EXPECT_TRUE(rates.empty());
  // A stream's rate over one window, closed by a report 1000 ms on (the window counts as
  // 1001 ms): kbps x 128 bytes a second.
  int64_t now = 5000;
  for (const auto& [peer, kbps] : {std::pair<std::string, uint32_t>{"a", 100}, {"b", 250}}) {
    auto receiver = std::make_shared<HX_ReceiverBase>(peer, "me", [&now] { return now; });
    receiver->setStreamConfStat(5000, 2, kbps * 128 * 1001 / 1000 + 1);
    receiver->setStreamConfStat(6000, 2, 0);
    pool.InsertReceiver(peer, receiver);
  }
  now = 6000;
  EXPECT_TRUE(pool.requestReceiversBitrate(rates));
  EXPECT_EQ(rates, (std::map<std::string, unsigned>{{"a", 100}, {"b", 250}}));
  pool.destroyReceivers();
}

}  // namespace
