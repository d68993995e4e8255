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

}  // namespace stream

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
