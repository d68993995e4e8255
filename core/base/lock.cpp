#include "core/base/lock.h"

#include <errno.h>

#include <limits>

#include "core/base/ios_log.h"
#include "core/base/thread_util.h"
#include "core/base/tick_clock.h"

namespace {

constexpr int64_t kTryLockPollMs = 25;

void LogFailure(const char* what, int error) { ios_log("%s, Err = %d", what, error); }

// start + ms, held at the largest tick instead of overflowing.
int64_t DeadlineAfter(int64_t start, uint64_t ms) {
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - start);
  return ms >= room ? std::numeric_limits<int64_t>::max() : start + static_cast<int64_t>(ms);
}

}  // namespace

HXLock::HXLock() {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error != 0) {
    LogFailure("Cannot allocate mutex attributes", error);
    // Still give the object a usable (if not recursive) mutex rather than none.
    if ((error = pthread_mutex_init(&m_mutex, nullptr)) != 0) LogFailure("Cannot create mutex", error);
    return;
  }
  if ((error = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE)) != 0) {
    LogFailure("Cannot set mutex recursive", error);
  }
  if ((error = pthread_mutex_init(&m_mutex, &attributes)) != 0) {
    LogFailure("Cannot create mutex", error);
  }
  if ((error = pthread_mutexattr_destroy(&attributes)) != 0) {
    LogFailure("Cannot free mutex attributes", error);
  }
}

HXLock::~HXLock() {
  if (const int error = pthread_mutex_destroy(&m_mutex); error != 0) {
    LogFailure("Cannot delete mutex", error);
  }
}

void HXLock::Lock() {
  if (const int error = pthread_mutex_lock(&m_mutex); error != 0) {
    LogFailure("Cannot lock mutex", error);
  }
}

void HXLock::Unlock() {
  if (const int error = pthread_mutex_unlock(&m_mutex); error != 0) {
    LogFailure("Cannot unlock mutex", error);
  }
}

bool HXLock::TryLock() {
  const int error = pthread_mutex_trylock(&m_mutex);
  if (error != 0 && error != EBUSY) LogFailure("Cannot lock mutex", error);
  return error == 0;
}

bool HXLock::TryLock(uint64_t ms) {
  const int64_t start = hx::GetTickCount();
  if (TryLock()) return true;
  const int64_t deadline = DeadlineAfter(start, ms);
  for (;;) {
    hx::SleepFor(std::chrono::milliseconds(kTryLockPollMs));
    if (hx::GetTickCount() >= deadline) return false;
    if (TryLock()) return true;
  }
}
