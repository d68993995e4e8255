#include "core/base/event.h"

#include <errno.h>
#include <time.h>

#include "core/base/ios_log.h"

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

void LogFailure(const char* what, int error) { ios_log("%s, Err = %d", what, error); }

// Locks, logging `what` on failure; true when locked.
bool LockOrLog(pthread_mutex_t* mutex, const char* what) {
  const int error = pthread_mutex_lock(mutex);
  if (error != 0) LogFailure(what, error);
  return error == 0;
}

// Unlocks, logging `what` on failure; true when unlocked.
bool UnlockOrLog(pthread_mutex_t* mutex, const char* what) {
  const int error = pthread_mutex_unlock(mutex);
  if (error != 0) LogFailure(what, error);
  return error == 0;
}

// The monotonic instant `ms` (> 0) milliseconds from now.
timespec DeadlineAfter(int64_t ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + ms / 1000;
  int64_t nanos = int64_t{now.tv_nsec} + (ms % 1000) * 1000000;
  if (nanos >= kNanosPerSecond) {
    nanos -= kNanosPerSecond;
    ++deadline.tv_sec;
  }
  deadline.tv_nsec = nanos;
  return deadline;
}

}  // namespace

HXEvent::HXEvent(bool autoReset) : m_autoReset(autoReset) {
  if (const int error = pthread_mutex_init(&m_mutex, nullptr); error != 0) {
    LogFailure("Cannot create event (lock)", error);
  }
  // Timed waits run on the monotonic clock, so that a change of the wall clock moves no deadline.
  pthread_condattr_t attributes;
  int error = pthread_condattr_init(&attributes);
  const bool have_attributes = error == 0;
  if (have_attributes) error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  if (error != 0) LogFailure("Cannot create event (attr)", error);
  error = pthread_cond_init(&m_condition, have_attributes ? &attributes : nullptr);
  if (error != 0) LogFailure("Cannot create event (condition)", error);
  if (have_attributes) pthread_condattr_destroy(&attributes);
}

HXEvent::~HXEvent() {
  Set();
  if (const int error = pthread_cond_destroy(&m_condition); error != 0) {
    LogFailure("Cannot destroy event (condition)", error);
  }
  if (const int error = pthread_mutex_destroy(&m_mutex); error != 0) {
    LogFailure("Cannot destroy event (lock)", error);
  }
}

bool HXEvent::Set() {
  if (!LockOrLog(&m_mutex, "Cannot signal event (lock)")) return false;
  m_signalled.store(true, std::memory_order_release);
  ++m_setCount;
  bool ok = true;
  if (const int error = pthread_cond_broadcast(&m_condition); error != 0) {
    LogFailure("Cannot signal event (condition)", error);
    ok = false;
  }
  return UnlockOrLog(&m_mutex, "Cannot unlock event (unlock)") && ok;
}

bool HXEvent::Reset() {
  if (!LockOrLog(&m_mutex, "Cannot reset event (lock)")) return false;
  m_signalled.store(false, std::memory_order_relaxed);
  return UnlockOrLog(&m_mutex, "Cannot reset event (unlock)");
}

bool HXEvent::IsSet() {
  if (!LockOrLog(&m_mutex, "Cannot check event (lock)")) return false;
  const bool set = m_signalled.load(std::memory_order_relaxed);
  UnlockOrLog(&m_mutex, "Cannot check event (unlock)");
  return set;
}

bool HXEvent::Wait() { return WaitWithoutLimit(false); }

bool HXEvent::ResetWait() { return WaitWithoutLimit(true); }

bool HXEvent::Wait(int64_t ms) {
  if (ms < 0) return WaitWithoutLimit(false);
  if (ms == 0) return m_signalled.load(std::memory_order_acquire);
  return WaitUntil(DeadlineAfter(ms));
}

bool HXEvent::WaitWithoutLimit(bool reset_first) {
  if (!LockOrLog(&m_mutex, "Wait for event failed (lock)")) return false;
  if (reset_first) m_signalled.store(false, std::memory_order_relaxed);
  const uint64_t set_count_at_start = m_setCount;
  bool ok = true;
  while (!m_signalled.load(std::memory_order_relaxed) && m_setCount == set_count_at_start) {
    if (const int error = pthread_cond_wait(&m_condition, &m_mutex); error != 0) {
      LogFailure("Wait for event failed (condition)", error);
      ok = false;
      break;
    }
  }
  if (ok && m_autoReset) m_signalled.store(false, std::memory_order_relaxed);
  return UnlockOrLog(&m_mutex, "Wait for event failed (unlock)") && ok;
}

bool HXEvent::WaitUntil(const timespec& deadline) {
  if (!LockOrLog(&m_mutex, "Wait for event failed (lock)")) return false;
  int error = 0;
  while (!m_signalled.load(std::memory_order_relaxed) && error == 0) {
    error = pthread_cond_timedwait(&m_condition, &m_mutex, &deadline);
  }
  if (error != 0 && error != ETIMEDOUT) LogFailure("Cannot wait for event (condition)", error);
  // A Set that raced with the time-out still counts: the event is set, so take it.
  const bool found_set = (error == 0 || error == ETIMEDOUT) && m_signalled.load(std::memory_order_relaxed);
  if (found_set && m_autoReset) m_signalled.store(false, std::memory_order_relaxed);
  return UnlockOrLog(&m_mutex, "W for event failed (unlock)") && found_set;
}
