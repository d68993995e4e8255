#include "core/base/user_list.h"

#include <chrono>
#include <cstdlib>

namespace {

// Milliseconds since the library was loaded, the time base of the core's ticks.
const std::chrono::steady_clock::time_point kLoadTime = std::chrono::steady_clock::now();

int64_t CurrentTick() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               kLoadTime)
      .count();
}

}  // namespace

HX_UserList::HX_UserList(int64_t interval_ms) : m_checkInterval(interval_ms + std::rand() % 1000) {}

bool HX_UserList::TrackSequence(int32_t sequence, bool reset) {
  return TrackSequenceAt(sequence, reset, CurrentTick());
}

bool HX_UserList::TrackSequenceAt(int32_t sequence, bool reset, int64_t now) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
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
