#pragma once
// TEMPORARY: a recursive lock with the core lock's interface, used only until core/base/lock.h is
// merged; then every include of this file switches to that header and this file goes away.

#include <mutex>

class HXLock {
 public:
  HXLock() = default;
  virtual ~HXLock() = default;
  HXLock(const HXLock&) = delete;
  HXLock& operator=(const HXLock&) = delete;
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class HXAutoLock {
 public:
  explicit HXAutoLock(HXLock& lock) : lock_(lock) { lock_.Lock(); }
  ~HXAutoLock() { lock_.Unlock(); }
  HXAutoLock(const HXAutoLock&) = delete;
  HXAutoLock& operator=(const HXAutoLock&) = delete;

 private:
  HXLock& lock_;
};
