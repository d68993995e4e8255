#include "core/conference/control/sender_stream_ctl.h"

#include "core/client/meeting_tools.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/sender_base.h"

HX_SenderStreamCtl::HX_SenderStreamCtl() : m_myCaps(std::make_unique<HXCapabilites>()) {}

HX_SenderStreamCtl::~HX_SenderStreamCtl() = default;

bool HX_SenderStreamCtl::SetMyCaps(const HXCapabilites& caps) {
  *m_myCaps = caps;
  return true;
}

void HX_SenderStreamCtl::setListenersFilter(uint64_t filter) {
  const uint64_t old = getEffectiveFilter();
  m_listenersFilter = filter;
  applyFilters(old);
}

void HX_SenderStreamCtl::setRoleMediaFilter(uint64_t bits, bool on) {
  const uint64_t old = getEffectiveFilter();
  m_sendFilter = on ? (m_sendFilter | bits) : (m_sendFilter & ~bits);
  applyFilters(old);
}

void HX_SenderStreamCtl::applyFilters(uint64_t old) {
  const uint64_t effective = getEffectiveFilter();
  calculatePodiumTime(effective != 0);
  const std::shared_ptr<HX_SenderBase> sender = Sender();
  if (effective == old || !sender) return;
  const uint64_t changed = effective ^ old;
  if ((changed & kVideo) != 0) sender->SetRoleVideoCapture((effective & kVideo) != 0);
  if ((changed & kAudio) != 0) sender->SetRoleAudioCapturer((effective & kAudio) != 0);
}

void HX_SenderStreamCtl::onSenderStart() {
  const std::shared_ptr<HX_SenderBase> sender = Sender();
  if (!sender) return;
  const uint64_t effective = getEffectiveFilter();
  sender->SetRoleVideoCapture((effective & kVideo) != 0);
  sender->SetRoleAudioCapturer((effective & kAudio) != 0);
}

void HX_SenderStreamCtl::initSender(std::shared_ptr<HX_SenderBase> sender,
                                    HX_MeetingToolsFactory* factory) {
  if (!sender) return;
  if (factory != nullptr) {
    HX_MeetingTools* tools = factory;
    HX_SenderBase& s = *sender;
    s.requestVideoEncoderSignal.Connect(tools, &HX_MeetingTools::OnRequestVideoEncoder);
    s.requestMicrophoneSignal.Connect(tools, &HX_MeetingTools::OnRequestAudioRecord);
    s.requestAudioEncoderSignal.Connect(tools, &HX_MeetingTools::OnRequestAudioEncoder);
    s.requestAudioEncoderForFormatSignal.Connect(tools, &HX_MeetingTools::OnRequestAudioEncoder);
    s.requestAudioConnectorSignal.Connect(tools, &HX_MeetingTools::OnRequestAudioConnector);
    s.requestRecordProxySignal.Connect(tools, &HX_MeetingTools::OnRequestRecordProxySender);
    s.requestVideoSourceSignal.Connect(tools, &HX_MeetingTools::OnRequestVideoSource);
    s.requestCaptureSlotSignal.Connect(tools, &HX_MeetingTools::OnRequestVideoCapture);
    s.hardwareReleasedSignal.Connect(tools, &HX_MeetingTools::OnReleaseHardwareSender);
    s.releaseVideoSourceSignal.Connect(tools, &HX_MeetingTools::OnReleaseVideoSource);
    s.releaseCaptureSlotSignal.Connect(tools, &HX_MeetingTools::OnReleaseVideoCapture);
    s.requestMeetingCapsSignal.Connect(tools, &HX_MeetingTools::OnRequestMeetingCaps);
    s.senderStartedSignal.Connect(tools, &HX_MeetingTools::OnSenderStart);
    s.sendStatisticsSignal.Connect(tools, &HX_MeetingTools::OnSendStatisticsUpdate);
    s.senderStoppedSignal.Connect(tools, &HX_MeetingTools::OnSenderStop);
    s.unavailableSignal.Connect(tools, &HX_MeetingTools::OnStreamUnavailable);
    s.requestMediaAdapterSignal.Connect(tools, &HX_MeetingTools::OnRequestMediaManagerAdapter);
  }
  sender->senderStoppedSignal.Connect(this, &HX_SenderStreamCtl::onSenderStop);
  setSender(std::move(sender));
}

bool HX_SenderStreamCtl::requestSenderBitrate(uint32_t& out) const {
  const std::shared_ptr<HX_SenderBase> sender = Sender();
  if (!sender) return false;
  out = sender->GetSendBitrateInfo();
  return true;
}

int HX_SenderStreamCtl::RequestKeyFrame() {
  const std::shared_ptr<HX_SenderBase> sender = Sender();
  return sender ? sender->RequestKeyFrame() : 0;
}

bool HX_SenderStreamCtl::DisconnectSender(ConferenceLock& lock) {
  const std::shared_ptr<HX_SenderBase> sender = Sender();
  if (!sender) return true;
  lock.TempUnlock();
  const bool down = sender->shutdownStream();
  lock.ReLock();
  return down;
}
