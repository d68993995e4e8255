#include "core/base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "core/base/event.h"
#include "core/base/spin_lock.h"
#include "testing/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether another thread can take `lock` right now (it releases it again at once).
bool OtherThreadCanTake(HXLock& lock) {
  bool taken = false;
  std::thread other([&] {
    taken = lock.TryLock();
    if (taken) lock.Unlock();
  });
  other.join();
  return taken;
}

// Holds a lock on a thread of its own until Release(), or for `release_after_ms` when given.
class ForeignHolder {
 public:
  explicit ForeignHolder(HXLock& lock, int release_after_ms = -1) {
    m_thread = std::thread([&lock, release_after_ms, this] {
      lock.Lock();
      m_holding.Set();
      m_release.Wait(release_after_ms);
      lock.Unlock();
    });
    m_holding.Wait();
  }
  ~ForeignHolder() {
    Release();
    m_thread.join();
  }
  void Release() { m_release.Set(); }

 private:
  HXEvent m_holding{false};
  HXEvent m_release{false};
  std::thread m_thread;
};

TEST(HXLock, RecursiveLockMustBeUnlockedAsOftenAsLocked) {
  hx::testing::LogCapture log;
  HXLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());  // the holder enters again
  lock.Lock();
  EXPECT_FALSE(OtherThreadCanTake(lock));
  lock.Unlock();
  lock.Unlock();
  EXPECT_FALSE(OtherThreadCanTake(lock));
  lock.Unlock();
  EXPECT_TRUE(OtherThreadCanTake(lock));
  EXPECT_TRUE(log.Lines().empty()) << "a busy lock is not a failure";
}

TEST(HXLock, TimedTryLockOnALockThatStaysBusyFailsAfterItsTime) {
  struct Case {
    uint64_t ms;
    int64_t min_elapsed_ms;  // at least one 25 ms pause, and never less than the time asked for
  };
  // The tick clock counts whole milliseconds, so the time asked for may end up to 1 ms early.
  const Case cases[] = {{0, 25}, {60, 59}};
  HXLock lock;
  ForeignHolder holder(lock);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    const auto start = Clock::now();
    EXPECT_FALSE(lock.TryLock(c.ms));
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, c.min_elapsed_ms);
    EXPECT_LT(elapsed, c.min_elapsed_ms + 3000);
  }
}

TEST(HXLock, TimedTryLockTakesALockFreedWhileItWaits) {
  // The longest time must not overflow the deadline into the past.
  const uint64_t times[] = {10000, std::numeric_limits<uint64_t>::max()};
  for (const uint64_t ms : times) {
    SCOPED_TRACE(ms);
    HXLock lock;
    {
      ForeignHolder holder(lock, /*release_after_ms=*/150);
      const auto start = Clock::now();
      ASSERT_TRUE(lock.TryLock(ms));
      EXPECT_GE(MsSince(start), 100);
      EXPECT_LT(MsSince(start), 8000);
    }
    lock.Unlock();
  }
}

TEST(HXLock, GuardsExcludeEachOther) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  HXLock lock;
  HXSpinLock spin;
  int locked_count = 0;  // plain ints: the guards alone must keep the increments apart
  int spin_count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        {
          HXAutoLock guard(lock);
          ++locked_count;
        }
        HXAutoSpinLock guard(spin);
        ++spin_count;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(locked_count, kThreads * kRounds);
  EXPECT_EQ(spin_count, kThreads * kRounds);
}

TEST(HXSoftLock, HoldsOnlyWhatItTook) {
  HXLock lock;
  {
    HXSoftLock blocking(lock, true);
    EXPECT_TRUE(blocking.IsLocked());
    EXPECT_FALSE(OtherThreadCanTake(lock));
    blocking.Unlock();
    EXPECT_FALSE(blocking.IsLocked());
    EXPECT_TRUE(OtherThreadCanTake(lock));
    EXPECT_TRUE(blocking.TryLock());
    EXPECT_TRUE(blocking.IsLocked());
  }
  EXPECT_TRUE(OtherThreadCanTake(lock)) << "the destructor releases what it holds";

  hx::testing::LogCapture log;
  {
    ForeignHolder holder(lock);
    {
      HXSoftLock trying(lock, false);
      EXPECT_FALSE(trying.IsLocked());
      HXSoftLock timed(lock, 30);
      EXPECT_FALSE(timed.IsLocked());
      EXPECT_FALSE(timed.TryLock(uint64_t{0}));
    }
    EXPECT_FALSE(OtherThreadCanTake(lock)) << "the other thread still holds it";
  }
  EXPECT_TRUE(log.Lines().empty()) << "no guard may unlock a lock it does not hold";
  HXSoftLock timed(lock, 30L);
  EXPECT_TRUE(timed.IsLocked());
}

TEST(HXLockHolder, AdoptsAHeldLockWithoutLockingAgain) {
  HXLock lock;
  lock.Lock();
  {
    HXLockHolder holder(lock);
    lock.Unlock();  // the owner may release and take it again in between
    EXPECT_TRUE(OtherThreadCanTake(lock));
    lock.Lock();
  }
  EXPECT_TRUE(OtherThreadCanTake(lock)) << "one Lock, one Unlock: the holder must not lock too";
}

TEST(HXLock, LogsAFailedUnlock) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer stops at an unlock of a lock that is not held";
#endif
  hx::testing::LogCapture log;
  HXLock lock;
  lock.Unlock();
  EXPECT_TRUE(log.Contains("Cannot unlock mutex, Err = 1")) << "EPERM: not the owner";
}

}  // namespace
