#pragma once
// A meeting-tools factory for tests: every request, release and notification the streams' signals
// can reach is written as one line (its operation's name, with the peer where it has one), so
// that a test compares what reached the tools. Requests leave their pointers as they were.
//
// Thread safety: the record is locked; streams may emit from any thread.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/client/meeting_tools.h"

namespace hx::testing {

class RecordingMeetingTools : public HX_MeetingToolsFactory {
 public:
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

  void OnRequestAudioPlayback(const char* peer, const HX_ClientCaps&,
                              std::shared_ptr<HX_AudioPlaybackBase>&) override {
    note("OnRequestAudioPlayback", peer);
  }
  void OnRequestVideoSource(const HX_ClientCaps&, std::shared_ptr<HX_CaptureSlotFile>&) override {
    note("OnRequestVideoSource");
  }
  void OnRequestVideoCapture(const HX_ClientCaps&,
                             std::shared_ptr<HX_VideoCaptureSlotBase>&) override {
    note("OnRequestVideoCapture");
  }
  void OnRequestMediaManagerAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>&) override {
    note("OnRequestMediaManagerAdapter");
  }
  void OnRequestRecordProxySender(const char* name,
                                  std::shared_ptr<HX_RecordPeerProxyBase>&) override {
    note("OnRequestRecordProxySender", name);
  }
  void OnRequestRecordProxyReceiver(const char* name,
                                    std::shared_ptr<HX_RecordPeerProxyBase>&) override {
    note("OnRequestRecordProxyReceiver", name);
  }
  void OnReleaseHardwareSender() override { note("OnReleaseHardwareSender"); }
  void OnReleaseHardwareReceiver(const char* peer) override {
    note("OnReleaseHardwareReceiver", peer);
  }
  void OnReleaseVideoSource(std::shared_ptr<HX_CaptureSlotFile>&) override {
    note("OnReleaseVideoSource");
  }
  void OnReleaseVideoCapture(std::shared_ptr<HX_VideoCaptureSlotBase>&) override {
    note("OnReleaseVideoCapture");
  }
  void OnRequestMeetingCaps(const char* first, const char*, HX_ClientCaps&) override {
    note("OnRequestMeetingCaps", first);
  }
  void OnSenderStart(const HX_ClientCaps&) override { note("OnSenderStart"); }
  void OnSendStatisticsUpdate(long, unsigned long) override { note("OnSendStatisticsUpdate"); }
  void OnSenderStop() override { note("OnSenderStop"); }
  void OnReceiverStart(const char* peer, const HX_ClientCaps&) override {
    note("OnReceiverStart", peer);
  }
  void OnRecvStatisticsUpdate(const char* peer, long, unsigned long) override {
    note("OnRecvStatisticsUpdate", peer);
  }
  void OnReceiverStop(const char* peer) override { note("OnReceiverStop", peer); }
  void OnStreamUnavailable(HX_StreamClient_Type type, hx::NetHandshakeConnectResult result,
                           const std::string&, const std::string& peer) override {
    note("OnStreamUnavailable " + std::to_string(type) + " " + std::to_string(result),
         peer.c_str());
  }
  HXCapabilites GetCapabilites() override { return HXCapabilites(); }
  void OnRequestVideoEncoder(const HX_ClientCaps&,
                             std::shared_ptr<HX_VideoEncoderBase>&) override {
    note("OnRequestVideoEncoder");
  }
  void OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) override {
    note("OnRequestAudioRecord");
  }
  void OnRequestAudioEncoder(const HX_ClientCaps&, std::shared_ptr<AudioCodecBase>&) override {
    note("OnRequestAudioEncoder caps");
  }
  void OnRequestAudioEncoder(const HX_MediaFormat&, std::shared_ptr<AudioCodecBase>&) override {
    note("OnRequestAudioEncoder format");
  }
  void OnRequestVideoRender(const char* peer, const HX_ClientCaps&,
                            std::shared_ptr<HXVideoRenderBase>&) override {
    note("OnRequestVideoRender", peer);
  }
  void OnRequestVideoSync(const char* peer, const HX_ClientCaps&,
                          std::shared_ptr<CVideoSinc>&) override {
    note("OnRequestVideoSync", peer);
  }
  void OnRequestAudioConnector(const char* peer, const HX_ClientCaps&,
                               std::shared_ptr<HX_AudioConnector>&) override {
    note("OnRequestAudioConnector", peer);
  }
  void OnRequestVideoDecoder(const char* peer, const HX_ClientCaps&,
                             std::shared_ptr<HX_VideoDecoderBase>&) override {
    note("OnRequestVideoDecoder", peer);
  }
  void OnRequestAudioCodecFactory(std::shared_ptr<HX_AudioCodecFactory>&) override {
    note("OnRequestAudioCodecFactory");
  }

 private:
  void note(const std::string& call, const char* peer = nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(peer != nullptr && *peer != '\0' ? call + " " + peer : call);
  }
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

}  // namespace hx::testing
