#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Records every timer with the time since the socket was made.
class TimerSocket : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  void OnTimer(unsigned id) override {
    const auto after =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fired.emplace_back(id, after);
  }
  std::vector<std::pair<unsigned, int64_t>> fired() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fired;
  }

 private:
  const Clock::time_point m_start = Clock::now();
  mutable std::mutex m_mutex;
  std::vector<std::pair<unsigned, int64_t>> m_fired;
};

using TimerTest = LoopFixture;

TimerSocket* NewTimerSocket() {
  return HXZServer::implantNative<TimerSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

TEST_F(TimerTest, TimersFireOnceEachAtTheirDueTime) {
  TimerSocket* socket = NewTimerSocket();
  ASSERT_TRUE(socket->startTimer(3, 250));
  ASSERT_TRUE(socket->startTimer(1, 0));
  ASSERT_TRUE(socket->startTimer(2, 100));
  ASSERT_TRUE(WaitFor([&] { return socket->fired().size() == 3; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // one-shot: nothing more
  const auto fired = socket->fired();
  ASSERT_EQ(fired.size(), 3u);
  const unsigned order[] = {1, 2, 3};
  const int64_t due[] = {0, 100, 250};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(fired[i].first, order[i]);
    EXPECT_GE(fired[i].second, due[i] - 1);
  }
  socket->DeleteLater();
}

TEST_F(TimerTest, RestartedTimerFiresOnceAtTheLaterTime) {
  TimerSocket* socket = NewTimerSocket();
  ASSERT_TRUE(socket->startTimer(5, 100));
  ASSERT_TRUE(socket->startTimer(5, 300));
  ASSERT_TRUE(WaitFor([&] { return !socket->fired().empty(); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto fired = socket->fired();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_GE(fired[0].second, 299);
  socket->DeleteLater();
}

TEST_F(TimerTest, StoppedTimerDoesNotFireAndOthersDo) {
  TimerSocket* socket = NewTimerSocket();
  ASSERT_TRUE(socket->startTimer(1, 150));
  ASSERT_TRUE(socket->startTimer(2, 150));
  ASSERT_TRUE(socket->stopTimer(1));
  ASSERT_TRUE(WaitFor([&] { return !socket->fired().empty(); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto fired = socket->fired();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].first, 2u);
  socket->DeleteLater();
}

}  // namespace
}  // namespace hx::testing
