#include "core/base/io_service_pool.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

// Counts the threads that entered and left the service.
class CountingPool : public hx::ASIOThreadPool {
 public:
  using hx::ASIOThreadPool::ASIOThreadPool;
  ~CountingPool() override { Stop(); }
  std::atomic<int> started{0};
  std::atomic<int> exited{0};

 protected:
  void OnThreadStart() override { started.fetch_add(1); }
  void OnThreadExit() override { exited.fetch_add(1); }
};

TEST(IoServicePoolTest, RunsHandlersOnItsThreadsAndDrainsThemOnStop) {
  CountingPool pool(4, "io");
  ASSERT_TRUE(pool.Start());
  EXPECT_FALSE(pool.Start());  // already running
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  constexpr int kHandlers = 2000;
  for (int i = 0; i < kHandlers; ++i) {
    boost::asio::post(pool.GetIOService(), [&] {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      done.fetch_add(1);
    });
  }
  pool.Stop();  // queued handlers still run before the threads end
  EXPECT_EQ(done.load(), kHandlers);
  EXPECT_EQ(pool.started.load(), 4);
  EXPECT_EQ(pool.exited.load(), 4);
  EXPECT_GT(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);

  // Started again, the service serves new work.
  ASSERT_TRUE(pool.Start());
  std::atomic<bool> ran{false};
  boost::asio::post(pool.GetIOService(), [&] { ran = true; });
  pool.Stop();
  EXPECT_TRUE(ran.load());
}

TEST(IoServicePoolTest, HandlerThatThrowsDoesNotEndTheThread) {
  hx::testing::LogCapture log;
  hx::ASIOThreadPool pool(1, "io");
  ASSERT_TRUE(pool.Start());
  std::atomic<bool> after{false};
  boost::asio::post(pool.GetIOService(), [] { throw std::runtime_error("broken handler"); });
  boost::asio::post(pool.GetIOService(), [&] { after = true; });
  pool.Stop();
  EXPECT_TRUE(after.load());
  EXPECT_TRUE(log.Contains("ASIO handler failed on io 0: broken handler"));
}

TEST(IoServicePoolTest, ThreadCountAndNames) {
  hx::ASIOThreadPool machine(0, "");
  EXPECT_EQ(machine.GetThreadCount(), std::max(1u, std::thread::hardware_concurrency()));

  struct Case {
    unsigned count;
    const char* name;
    unsigned index;
    const char* expected;
  };
  const Case cases[] = {
      {12, "", 11, "ASIO 11"},
      {3, "ASIO", 2, "ASIO 2"},
      {3, "Trial connections", 1, "Trial connect 1"},   // 13 characters kept
      {12, "Trial connections", 11, "Trial connec 11"},  // 12 characters kept
      {100, "Trial connections", 99, "Trial conne 99"},  // 11 characters kept
  };
  for (const Case& c : cases) {
    hx::ASIOThreadPool pool(c.count, c.name);
    EXPECT_EQ(pool.GetThreadName(c.index), c.expected);
  }
}

TEST(IoServicePoolTest, DestroyingAStartedPoolStopsIt) {
  std::atomic<int> done{0};
  {
    hx::ASIOThreadPool pool(2, "io");
    ASSERT_TRUE(pool.Start());
    for (int i = 0; i < 50; ++i) boost::asio::post(pool.GetIOService(), [&] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 50);
}

}  // namespace
