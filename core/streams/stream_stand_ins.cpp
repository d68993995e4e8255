#include "core/streams/stream_stand_ins.h"

#include <algorithm>

#include "core/streams/udp_direct_list_base.h"

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

void UdpTrialDirectStreamList::getAttempts(ConferenceLock&, const std::string& peerName,
                                           const TakeAttempt& take) {
  record("getAttempts " + peerName);
  std::vector<Attempt> peers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto split = std::stable_partition(m_attempts.begin(), m_attempts.end(), [&](const Attempt& a) {
      return a.connection.peerName != peerName;
    });
    peers.assign(std::make_move_iterator(split), std::make_move_iterator(m_attempts.end()));
    m_attempts.erase(split, m_attempts.end());
  }
  for (Attempt& attempt : peers) {
    if (!take(attempt.connection, attempt.handler)) {
      UdpHandlersListBase::releaseHandler(*attempt.handler);
    }
  }
}

void UdpTrialDirectStreamList::addFinishedAttempt(const udp::TrialDirectConnection& connection,
                                                  std::shared_ptr<UdpDirectHandler> handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_attempts.push_back(Attempt{connection, std::move(handler)});
}

void UdpTrialDirectStreamList::onHelloFromUnknownSource(
    ConferenceLock&, const udp::HelloRequestData& hello, UDPListenerSocketDescriptor*,
    const UDPListenerSocketDescriptor::MsgDescriptor&) {
  record("onHelloFromUnknownSource " + hello.participantName + " " + hello.source.strBind());
}

}  // namespace hx::streams
