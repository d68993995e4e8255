#include "core/base/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "testing/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(HXEvent, AutoResetEventIsTakenByOneWait) {
  HXEvent event(true);
  EXPECT_FALSE(event.Wait(0));
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0)) << "a zero-time test does not take the event";
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait());
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));

  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(50));
  EXPECT_FALSE(event.Wait(50));
}

TEST(HXEvent, ManualResetEventStaysSetUntilReset) {
  HXEvent event(false);
  ASSERT_TRUE(event.Set());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(event.Wait());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(10));
    EXPECT_TRUE(event.Wait(-1));
  }
  ASSERT_TRUE(event.Reset());
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(event.Wait(30));
}

TEST(HXEvent, TimedWaitRunsOutAfterItsTime) {
  hx::testing::LogCapture log;
  HXEvent event(false);
  // 999 ms carries the milliseconds into the deadline's seconds on nearly every run; 1500 ms
  // adds whole seconds and carries on about half of them.
  for (const int64_t ms : {int64_t{999}, int64_t{1500}}) {
    SCOPED_TRACE(ms);
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(ms));
    EXPECT_GE(MsSince(start), ms);
    EXPECT_LT(MsSince(start), ms + 3000);
  }
  EXPECT_TRUE(log.Lines().empty()) << "a time-out is not a failure";
}

TEST(HXEvent, WaitsEndWhenAnotherThreadSets) {
  for (const int64_t ms : {int64_t{-1}, int64_t{20000}}) {
    SCOPED_TRACE(ms);
    HXEvent event(true);
    std::thread setter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      event.Set();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(event.Wait(ms));
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_FALSE(event.IsSet());
    setter.join();
  }
}

TEST(HXEvent, ResetWaitWaitsForTheNextSet) {
  HXEvent event(false);
  ASSERT_TRUE(event.Set());
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    EXPECT_TRUE(event.ResetWait());
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(returned) << "the old Set must not count";
  event.Set();
  waiter.join();
  EXPECT_TRUE(returned);
}

// Starts `count` threads that announce themselves and wait on `event` with `wait`; counts the
// waits that returned true.
class Waiters {
 public:
  template <typename WaitCall>
  Waiters(int count, WaitCall wait) {
    for (int i = 0; i < count; ++i) {
      m_threads.emplace_back([this, wait] {
        ++m_waiting;
        if (wait()) ++m_released;
        ++m_returned;
      });
    }
    hx::testing::WaitFor([&] { return m_waiting == count; }, 10000);
    // Give every thread time to get from its announcement into the wait itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ~Waiters() { JoinAll(); }
  void JoinAll() {
    for (auto& thread : m_threads)
      if (thread.joinable()) thread.join();
  }
  std::atomic<int> m_waiting{0};
  std::atomic<int> m_released{0};
  std::atomic<int> m_returned{0};

 private:
  std::vector<std::thread> m_threads;
};

TEST(HXEvent, OneSetReleasesEveryUntimedWaiterOfAnAutoResetEvent) {
  HXEvent event(true);
  Waiters waiters(3, [&] { return event.Wait(); });
  ASSERT_TRUE(event.Set());
  const bool all_returned = hx::testing::WaitFor([&] { return waiters.m_returned == 3; }, 10000);
  EXPECT_TRUE(all_returned);
  EXPECT_EQ(waiters.m_released, 3);
  EXPECT_FALSE(event.IsSet()) << "the waiters clear the event";
  while (waiters.m_returned < 3) event.Set();  // let stragglers of a failed run go
}

TEST(HXEvent, OneSetReleasesOneTimedWaiterOfAnAutoResetEvent) {
  HXEvent event(true);
  Waiters waiters(3, [&] { return event.Wait(int64_t{1500}); });
  ASSERT_TRUE(event.Set());
  waiters.JoinAll();
  EXPECT_EQ(waiters.m_released, 1);
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
