#include "core/conference/control/sender_stream_ctl.h"

#include "core/conference/store/conference_lock.h"
#include "core/streams/stream_stand_ins.h"

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
  if (effective == old || !m_sender) return;
  const uint64_t changed = effective ^ old;
  if ((changed & kVideo) != 0) m_sender->SetRoleVideoCapture((effective & kVideo) != 0);
  if ((changed & kAudio) != 0) m_sender->SetRoleAudioCapturer((effective & kAudio) != 0);
}

void HX_SenderStreamCtl::onSenderStart() {
  if (!m_sender) return;
  const uint64_t effective = getEffectiveFilter();
  m_sender->SetRoleVideoCapture((effective & kVideo) != 0);
  m_sender->SetRoleAudioCapturer((effective & kAudio) != 0);
}

int HX_SenderStreamCtl::RequestKeyFrame() { return m_sender ? m_sender->RequestKeyFrame() : 0; }

bool HX_SenderStreamCtl::DisconnectSender(ConferenceLock& lock) {
  const std::shared_ptr<HX_SenderBase> sender = m_sender;
  if (!sender) return true;
  lock.TempUnlock();
  const bool down = sender->shutdownStream();
  lock.ReLock();
  return down;
}
