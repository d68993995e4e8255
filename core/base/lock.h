#pragma once
// HXLock, the core's one kind of lock, and its scope guards.
//
// HXLock is a recursive mutex. Many classes derive from it so that the object itself is its lock.
// All operations are thread-safe; the thread that locks must be the one that unlocks, as often as
// it locked. Locks are never copied or moved: a class that derives from HXLock and wants to be
// copyable builds a fresh lock in its own copy constructor.
//
// Failing system calls are logged as "<what>, Err = <errno>" and otherwise ignored; a busy lock
// is not a failure and is not logged.

#include <pthread.h>

#include <cstdint>

class HXLock {
 public:
  HXLock();
  virtual ~HXLock();
  HXLock(const HXLock&) = delete;
  HXLock& operator=(const HXLock&) = delete;

  // Blocks until this thread holds the lock. A thread that holds it already enters again.
  void Lock();
  void Unlock();
  // True when the lock was taken at once (or this thread holds it already).
  bool TryLock();
  // Tries until the lock is taken or `ms` milliseconds have passed on the tick clock. The lock is
  // polled every 25 ms, so a lock freed during a pause is taken at the next poll, and even 0 ms
  // costs one pause when the lock is busy.
  bool TryLock(uint64_t ms);

 private:
  pthread_mutex_t m_mutex;
};

// Holds `lock` for its own lifetime.
class HXAutoLock {
 public:
  explicit HXAutoLock(HXLock& lock) : m_lock(lock) { m_lock.Lock(); }
  ~HXAutoLock() { m_lock.Unlock(); }
  HXAutoLock(const HXAutoLock&) = delete;
  HXAutoLock& operator=(const HXAutoLock&) = delete;

 private:
  HXLock& m_lock;
};

// A guard that may hold its lock or not; the destructor unlocks only when it holds it.
// One guard belongs to one thread. The held flag is a flag, not a count: taking the lock twice
// through the same guard leaves one level held after the guard's end.
class HXSoftLock {
 public:
  // With `block` true waits for the lock; with false only tries once.
  HXSoftLock(HXLock& lock, bool block) : m_lock(lock), m_locked(false) {
    if (block) {
      Lock();
    } else {
      TryLock();
    }
  }
  // Held when the timed TryLock succeeded; a negative `ms` waits as good as forever.
  HXSoftLock(HXLock& lock, long ms) : m_lock(lock), m_locked(false) {
    TryLock(static_cast<uint64_t>(ms));
  }
  // Lets a plain int literal pick the timed form instead of being ambiguous with the bool form.
  HXSoftLock(HXLock& lock, int ms) : HXSoftLock(lock, static_cast<long>(ms)) {}
  ~HXSoftLock() {
    if (m_locked) m_lock.Unlock();
  }
  HXSoftLock(const HXSoftLock&) = delete;
  HXSoftLock& operator=(const HXSoftLock&) = delete;

  bool IsLocked() const { return m_locked; }
  void Lock() {
    m_lock.Lock();
    m_locked = true;
  }
  bool TryLock() { return m_locked = m_lock.TryLock(); }
  bool TryLock(uint64_t ms) { return m_locked = m_lock.TryLock(ms); }
  void Unlock() {
    m_locked = false;
    m_lock.Unlock();
  }

 private:
  HXLock& m_lock;
  bool m_locked;
};

// Adopts a lock that the caller holds already and unlocks it at the end of the scope. In between
// the owner may unlock and lock again, as long as it holds the lock when the holder ends.
class HXLockHolder {
 public:
  explicit HXLockHolder(HXLock& lock) : m_lock(lock) {}
  ~HXLockHolder() { m_lock.Unlock(); }
  HXLockHolder(const HXLockHolder&) = delete;
  HXLockHolder& operator=(const HXLockHolder&) = delete;

 private:
  HXLock& m_lock;
};

// A lock type of its own for each N, so that a class deriving from several lock bases holds
// distinct locks. Copying yields a fresh, unlocked lock.
template <int N>
class HXMultiLock : public HXLock {
 public:
  HXMultiLock() = default;
  HXMultiLock(const HXMultiLock&) : HXLock() {}
  HXMultiLock& operator=(const HXMultiLock&) { return *this; }
};
