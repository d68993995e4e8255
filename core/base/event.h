#pragma once
// HXEvent: the core's wake-up primitive, with manual or automatic reset.
//
// A manual-reset event stays set until Reset(). An auto-reset event is cleared by the wait that
// sees it set. Set() wakes every thread that waits at that moment:
//  - untimed waits (Wait(), ResetWait(), Wait(ms < 0)) all return true for that Set, even when
//    one of them already cleared an auto-reset event again;
//  - timed waits (Wait(ms > 0)) return true only when they find the event still set, so with an
//    auto-reset event one Set releases one of them and the others wait on until their time is up.
// Timed waits are measured on the monotonic clock: setting the wall clock changes none of them.
//
// All operations are thread-safe. The owner must make sure nobody waits any more when the event
// is destroyed; the destructor sets the event once to release late waiters. Failing system calls
// are logged as "<what>, Err = <errno>" and make the operation return false.

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

class HXEvent {
 public:
  explicit HXEvent(bool autoReset);
  ~HXEvent();
  HXEvent(const HXEvent&) = delete;
  HXEvent& operator=(const HXEvent&) = delete;

  // Sets the event and wakes every waiter.
  bool Set();
  // Clears the event.
  bool Reset();
  bool IsSet();
  // Waits without limit for the event (see above); true on success.
  bool Wait();
  // Clears the event, then waits as Wait() does for the next Set.
  bool ResetWait();
  // ms < 0: as Wait(). ms == 0: the current state at once, an auto-reset event is not cleared.
  // ms > 0: true when the event was found set within ms milliseconds, false on time-out.
  bool Wait(int64_t ms);

 private:
  bool WaitWithoutLimit(bool reset_first);
  bool WaitUntil(const timespec& deadline);

  const bool m_autoReset;
  // Written only under m_mutex; atomic because Wait(0) reads it without the mutex.
  std::atomic<bool> m_signalled{false};
  // Counts Set() calls (under m_mutex), so that an untimed waiter knows a Set happened while it
  // slept even when another waiter has cleared the event since.
  uint64_t m_setCount = 0;
  pthread_mutex_t m_mutex;
  pthread_cond_t m_condition;
};
