#include "core/streams/tcp_send_liveness.h"

void HX_TcpSendLiveness::reset(uint64_t socket_queue) {
  HXAutoLock lock(m_lock);
  m_sentSinceCheck = 0;
  m_nextCheck = 0;
  m_lastSocketQueue = socket_queue;
  m_stallCount = 0;
}

void HX_TcpSendLiveness::onSent(uint64_t now, uint64_t bytes) {
  HXAutoLock lock(m_lock);
  m_sentSinceCheck += bytes;
  m_stallCount = 0;
  m_nextCheck = now + kDrainedDelayMs;
}

bool HX_TcpSendLiveness::check(uint64_t now, uint64_t socket_queue) {
  HXAutoLock lock(m_lock);
  if (now < m_nextCheck) return true;
  m_nextCheck = now;
  const uint64_t sent = m_sentSinceCheck;
  m_sentSinceCheck = 0;
  // What was in the socket plus what went in since: more than is left means bytes left the host.
  if (sent + m_lastSocketQueue > socket_queue) {
    m_stallCount = 0;
    m_nextCheck += kDrainedDelayMs;
  } else {
    ++m_stallCount;
    if (m_stallCount > kStallLimit) return false;
    m_nextCheck += kStalledDelayMs;
  }
  m_lastSocketQueue = socket_queue;
  return true;
}

HX_TcpSendLiveness::Snapshot HX_TcpSendLiveness::snapshot() {
  HXAutoLock lock(m_lock);
  return Snapshot{m_stallCount, m_lastSocketQueue, m_nextCheck, m_sentSinceCheck};
}

void HX_TcpSendLiveness::restore(const Snapshot& state) {
  HXAutoLock lock(m_lock);
  m_stallCount = state.stallCount;
  m_lastSocketQueue = state.lastSocketQueue;
  m_nextCheck = state.nextCheck;
  m_sentSinceCheck = state.sentSinceCheck;
}
