#pragma once
// A one-byte spin lock for critical sections of a few instructions.
//
// Not recursive: a thread that takes it twice spins forever. Waiters burn a core (no pause, no
// yield), so never hold it across a call that may block or take long. Thread-safe; not copyable.

#include <atomic>
#include <cstdint>

class HXSpinLock {
 public:
  HXSpinLock() = default;
  HXSpinLock(const HXSpinLock&) = delete;
  HXSpinLock& operator=(const HXSpinLock&) = delete;

  void Lock() {
    while (m_taken.exchange(1, std::memory_order_acquire) != 0) {
    }
  }
  void Unlock() { m_taken.store(0, std::memory_order_release); }

 private:
  std::atomic<uint8_t> m_taken{0};  // 0 free, 1 taken
};

static_assert(sizeof(HXSpinLock) == 1, "the spin lock is one byte");

// Holds a spin lock for its own lifetime.
class HXAutoSpinLock {
 public:
  explicit HXAutoSpinLock(HXSpinLock& lock) : m_lock(lock) { m_lock.Lock(); }
  ~HXAutoSpinLock() { m_lock.Unlock(); }
  HXAutoSpinLock(const HXAutoSpinLock&) = delete;
  HXAutoSpinLock& operator=(const HXAutoSpinLock&) = delete;

 private:
  HXSpinLock& m_lock;
};
