#include "core/base/user_list.h"

#include <cstdlib>

#include "core/base/tick_clock.h"

HX_UserList::HX_UserList(int64_t interval_ms) : m_checkInterval(interval_ms + std::rand() % 1000) {}

bool HX_UserList::TrackSequence(int32_t sequence, bool reset) {
  return TrackSequenceAt(sequence, reset, hx::GetTickCount());
}

bool HX_UserList::TrackSequenceAt(int32_t sequence, bool reset, int64_t now) {
  HXAutoLock guard(m_lock);
  if (reset) {
    m_lastSequence = sequence;
    m_lastRequest = now;
    return false;
  }
  if (sequence == -1) return false;
  if (m_lastSequence != -1) {
    // Sequence numbers wrap around; unsigned arithmetic keeps the step defined at the top.
    m_lastSequence = static_cast<int32_t>(static_cast<uint32_t>(m_lastSequence) + 1u);
    if (sequence == m_lastSequence) return false;
  }
  // A clock that went back gives a huge unsigned difference and lets the request through.
  const uint64_t elapsed = static_cast<uint64_t>(now) - static_cast<uint64_t>(m_lastRequest);
  if (elapsed >= static_cast<uint64_t>(m_checkInterval)) {
    m_lastRequest = now;
    return true;
  }
  return false;
}
