#pragma once
// A meeting-tools factory for tests: every request, release and notification the streams' signals
// can reach is written as one line (its operation's name, with the peer where it has one), so that
// a test compares what reached the tools. A request hands out the object the test put in the member
// of that name (leaving the pointer as it was when that member is null); meetingCaps fills the caps
// of every meeting-caps request.
//
// Thread safety: the record is locked; streams may emit from any thread.
#include <functional>
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
                              std::shared_ptr<HX_AudioPlaybackBase>& out) override {
    note("OnRequestAudioPlayback", peer);
    give(playback, out);
  }
  void OnRequestVideoSource(const HX_ClientCaps&,
                            std::shared_ptr<HX_CaptureSlotFile>& out) override {
    note("OnRequestVideoSource");
    give(videoSource, out);
  }
  void OnRequestVideoCapture(const HX_ClientCaps&,
                             std::shared_ptr<HX_VideoCaptureSlotBase>& out) override {
    note("OnRequestVideoCapture");
    give(captureSlot, out);
  }
  void OnRequestMediaManagerAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>& out) override {
    note("OnRequestMediaManagerAdapter");
    give(adapter, out);
  }
  void OnRequestRecordProxySender(const char* name,
                                  std::shared_ptr<HX_RecordPeerProxyBase>& out) override {
    note("OnRequestRecordProxySender", name);
    give(recordProxy, out);
  }
  void OnRequestRecordProxyReceiver(const char* name,
                                    std::shared_ptr<HX_RecordPeerProxyBase>& out) override {
    note("OnRequestRecordProxyReceiver", name);
    give(recordProxy, out);
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
  void OnRequestMeetingCaps(const char* first, const char*, HX_ClientCaps& caps) override {
    note("OnRequestMeetingCaps", first);
    if (meetingCaps) meetingCaps(caps);
  }
  void OnSenderStart(const HX_ClientCaps&) override { note("OnSenderStart"); }
  void OnSendStatisticsUpdate(long, unsigned long) override { note("OnSendStatisticsUpdate"); }
  void OnSenderStop() override { note("OnSenderStop"); }
  void OnSendBitrateChanged(unsigned bitrate, unsigned low, unsigned up) override {
    note("OnSendBitrateChanged " + std::to_string(bitrate) + " " + std::to_string(low) + " " +
         std::to_string(up));
  }
  void OnUpdateSenderBitrateInfo(unsigned rate) override {
    note("OnUpdateSenderBitrateInfo " + std::to_string(rate));
  }
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
                             std::shared_ptr<HX_VideoEncoderBase>& out) override {
    note("OnRequestVideoEncoder");
    give(videoEncoder, out);
  }
  void OnRequestAudioRecord(const HX_ClientCaps&,
                            std::shared_ptr<HXAudioRecordBase>& out) override {
    note("OnRequestAudioRecord");
    give(microphone, out);
  }
  void OnRequestAudioEncoder(const HX_ClientCaps&, std::shared_ptr<AudioCodecBase>& out) override {
    note("OnRequestAudioEncoder caps");
    give(audioEncoder, out);
  }
  void OnRequestAudioEncoder(const HX_MediaFormat&, std::shared_ptr<AudioCodecBase>& out) override {
    note("OnRequestAudioEncoder format");
    give(audioEncoder, out);
  }
  void OnRequestVideoRender(const char* peer, const HX_ClientCaps&,
                            std::shared_ptr<HXVideoRenderBase>& out) override {
    note("OnRequestVideoRender", peer);
    give(renderer, out);
  }
  void OnRequestVideoSync(const char* peer, const HX_ClientCaps&,
                          std::shared_ptr<CVideoSinc>& out) override {
    note("OnRequestVideoSync", peer);
    give(videoSync, out);
  }
  void OnRequestAudioConnector(const char* peer, const HX_ClientCaps&,
                               std::shared_ptr<HX_AudioConnector>& out) override {
    note("OnRequestAudioConnector", peer);
    give(connector, out);
  }
  void OnRequestVideoDecoder(const char* peer, const HX_ClientCaps&,
                             std::shared_ptr<HX_VideoDecoderBase>& out) override {
    note("OnRequestVideoDecoder", peer);
    give(decoder, out);
  }
  void OnRequestAudioCodecFactory(std::shared_ptr<HX_AudioCodecFactory>& out) override {
    note("OnRequestAudioCodecFactory");
    give(codecFactory, out);
  }

  // What the requests hand out; set before the streams ask.
  std::shared_ptr<HX_AudioPlaybackBase> playback;
  std::shared_ptr<HX_CaptureSlotFile> videoSource;
  std::shared_ptr<HX_VideoCaptureSlotBase> captureSlot;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
  std::shared_ptr<HX_RecordPeerProxyBase> recordProxy;
  std::shared_ptr<HX_VideoEncoderBase> videoEncoder;
  std::shared_ptr<HXAudioRecordBase> microphone;
  std::shared_ptr<AudioCodecBase> audioEncoder;
  std::shared_ptr<HXVideoRenderBase> renderer;
  std::shared_ptr<CVideoSinc> videoSync;
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HX_VideoDecoderBase> decoder;
  std::shared_ptr<HX_AudioCodecFactory> codecFactory;
  std::function<void(HX_ClientCaps&)> meetingCaps;

 private:
  template <class T>
  static void give(const std::shared_ptr<T>& held, std::shared_ptr<T>& out) {
    if (held) out = held;
  }
  void note(const std::string& call, const char* peer = nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(peer != nullptr && *peer != '\0' ? call + " " + peer : call);
  }
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

}  // namespace hx::testing
