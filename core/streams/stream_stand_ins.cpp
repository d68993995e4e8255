#include "core/streams/stream_stand_ins.h"

#include <algorithm>

namespace stream {

std::vector<std::string> StandInRecord::calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

size_t StandInRecord::callCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<size_t>(std::count(m_calls.begin(), m_calls.end(), name));
}

void StandInRecord::record(const std::string& call) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(call);
}

uint32_t MediaStreamStandIn::getStateFlags() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_flags;
}

void MediaStreamStandIn::setStateFlags(uint32_t flags) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_flags = flags;
}

bool MediaStreamStandIn::shutdownStream() {
  record("shutdownStream");
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    hook = m_shutdownHook;
  }
  if (hook) hook();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_shutdownOk) m_flags = 0;
  return m_shutdownOk;
}

void MediaStreamStandIn::setShutdownHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shutdownHook = std::move(hook);
}

void MediaStreamStandIn::setShutdownAnswer(bool ok) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shutdownOk = ok;
}

bool MediaStreamStandIn::getStreamConfStat(TConferenceStatistics& out) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_block) return false;
  out = *m_block;
  return true;
}

void MediaStreamStandIn::setStreamConfStatBlock(const std::optional<TConferenceStatistics>& block) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_block = block;
}

}  // namespace stream

int HX_SenderBase::RequestKeyFrame() {
  record("RequestKeyFrame");
  return 1;
}

void HX_SenderBase::SetRoleVideoCapture(bool on) {
  record(on ? "SetRoleVideoCapture 1" : "SetRoleVideoCapture 0");
}

void HX_SenderBase::SetRoleAudioCapturer(bool on) {
  record(on ? "SetRoleAudioCapturer 1" : "SetRoleAudioCapturer 0");
}

HX_ReceiverBase::HX_ReceiverBase(std::string senderId, std::string receiverId)
    : m_senderId(std::move(senderId)), m_receiverId(std::move(receiverId)) {}

void HX_ReceiverBase::SetFltrEnabled(uint32_t filter) {
  record("SetFltrEnabled");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_filter = filter;
}

uint32_t HX_ReceiverBase::GetFltrEnabled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_filter;
}

void HX_ReceiverBase::setReceiverId(const std::string& id) {
  record("setReceiverId " + id);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_receiverId = id;
}

void HX_ReceiverBase::setSenderId(const std::string& id) {
  record("setSenderId " + id);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_senderId = id;
}

std::string HX_ReceiverBase::GetReceiverId() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_receiverId;
}

std::string HX_ReceiverBase::GetSenderId() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_senderId;
}

namespace hx::streams {

bool UdpTrialDirectStreamList::stopDCHandler(ConferenceLock&, uint32_t id) {
  record("stopDCHandler " + std::to_string(id));
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stops;
}

void UdpTrialDirectStreamList::setStopAnswer(bool stops) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stops = stops;
}

void UdpTrialDirectStreamList::removeDCHandler(ConferenceLock&, uint32_t id) {
  record("removeDCHandler " + std::to_string(id));
}

void UdpTrialDirectStreamList::addConfPeerInfo(ConferenceLock&, const std::string& peerId) {
  record("addConfPeerInfo " + peerId);
}

}  // namespace hx::streams
