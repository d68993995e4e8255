#pragma once
// HXThread: the POSIX implementation of HXThreadBase. Still abstract: a subclass supplies Run().
//
// Priority levels on Linux: levels are mapped onto the priority range of the time-sharing policy
// (SCHED_OTHER), as MapPriority shows. Linux gives that policy a single priority, 0, so every
// level maps to 0: starting at a level other than normal puts the thread back to plain time
// sharing (undoing, say, SCHED_BATCH inherited from its creator), and otherwise all threads share
// the processors alike. Linux lets any process do that. It does not let an unprivileged process
// move threads into the real-time policies (SCHED_FIFO, SCHED_RR), which could also starve the
// machine, and a nice value once raised cannot be lowered again without privilege; so neither is
// used for levels.
//
// The thread's system name (what debuggers and `top -H` show) is set from the object's name when
// the thread starts, and by SetName.

#include <pthread.h>

#include "core/base/lock.h"
#include "core/base/thread_base.h"

class HXThread : public HXThreadBase {
 public:
  explicit HXThread(const char* name);
  // Joins a thread that has finished but is not yet joined; a thread still starting or running
  // ends the process with a diagnostic (see HXThreadBase).
  ~HXThread() override;

  // The scheduling priority for `level` within [GetMinOSPriority(), GetMaxOSPriority()]:
  // 0 min, 1 a quarter, 2 a third, 4 two thirds, 5 three quarters of the way up, 6 max; any other
  // value half way.
  int MapPriority(int level) const;
  // The bounds of the time-sharing policy, read at construction; -1 when they could not be read.
  int GetMinOSPriority() const { return m_minPriority; }
  int GetMaxOSPriority() const { return m_maxPriority; }

 protected:
  bool _CreateThread(EntryFunction entry, void* arg) override;
  bool _Join() override;
  void _SetPriority(int level) override;
  void _SetName(const char* text) override;

 private:
  // Guards the handle: the new thread names itself and sets its priority through it while the
  // creating thread may still be storing it.
  HXLock m_handleLock;
  pthread_t m_thread{};
  bool m_hasThread = false;
  const int m_minPriority;
  const int m_maxPriority;
};
