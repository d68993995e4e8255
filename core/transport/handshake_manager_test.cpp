// The handshake manager on the network loop's real worker pool, with scripted fake trials: a
// supplier hands out trials (or "usable now", "ask later", "nothing left") from a script, the
// trials record when they were started and recycled and end when the test says so, and a
// listener records what the manager reports. Intervals are scaled down from the product's
// (800 ms step, 20 s limit) to keep the run short; the checks allow for scheduling slack.

#include "core/transport/handshake_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/tick_clock.h"
#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

class FakeTrial : public HX_NetTrialConnection {
 public:
  explicit FakeTrial(bool start_ok) : m_startOk(start_ok) {}
  bool start() override {
    startedAt.store(hx::GetTickCount());
    return m_startOk;
  }
  void connRecycle() override { recycled.store(true); }
  void finish(bool success) { reportTrialDone(success); }

  std::atomic<int64_t> startedAt{-1};
  std::atomic<bool> recycled{false};

 private:
  const bool m_startOk;
};

struct Step {
  int32_t kind;
  uint64_t delay = 0;
  bool startOk = true;
};

// Hands out the script's steps in order; the last step repeats. Owns every trial it made, so the
// test decides when a trial is destroyed.
class ScriptedSupplier : public HXHandshakeManager::ConnectionSupplier {
 public:
  int createStream(HXHandshakeManagerBase::CreateStreamResult& result) override {
    if (onCreate) onCreate();
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(hx::GetTickCount());
    if (script.empty()) return -1;
    const Step step = script.size() > 1 ? script.front() : script.back();
    if (script.size() > 1) script.pop_front();
    result.kind = step.kind;
    result.delay = step.delay;
    if (step.kind == HXHandshakeManagerBase::kNewTrial ||
        step.kind == HXHandshakeManagerBase::kUsableNow) {
      trials.push_back(std::make_unique<FakeTrial>(step.startOk));
      result.trial = trials.back().get();
    }
    return 0;
  }

  std::vector<FakeTrial*> started() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<FakeTrial*> list;
    for (auto& trial : trials) {
      if (trial->startedAt.load() >= 0) list.push_back(trial.get());
    }
    return list;
  }
  size_t callCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
  // Destroys a trial (as the media streams do once a recycled trial is closed).
  void destroy(FakeTrial* trial) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = trials.begin(); it != trials.end(); ++it) {
      if (it->get() == trial) {
        trials.erase(it);
        return;
      }
    }
  }

  std::mutex mutex;
  std::deque<Step> script;
  std::vector<int64_t> calls;
  std::vector<std::unique_ptr<FakeTrial>> trials;
  std::function<void()> onCreate;
};

class RecordingListener : public HXHandshakeManagerBase::ListenerCallback {
 public:
  struct Event {
    HX_NetConnectionBase* connection;
    int32_t result;
    bool usableNow;
  };
  void onHMTrialConnectDone(HX_NetConnectionBase* connection, hx::NetHandshakeConnectResult result,
                            bool usable_now) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({connection, result, usable_now});
  }
  void onHandshakeManagerDone() override { managerDone.fetch_add(1); }
  std::vector<Event> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

  std::mutex mutex;
  std::vector<Event> events;
  std::atomic<int> managerDone{0};
};

class HandshakeManagerTest : public LoopFixture {
 protected:
  void Make(uint64_t limit, uint32_t step, uint32_t lifetime) {
    manager = std::make_unique<HXHandshakeManager>(limit, step, lifetime);
    manager->setConnectionSupplier(&supplier);
    manager->setListenerCallback(&listener);
  }
  void TearDown() override {
    manager.reset();
    LoopFixture::TearDown();
  }
  size_t StartedCount() { return supplier.started().size(); }
  // Stops the manager and destroys every trial; the manager is idle afterwards.
  void StopAndDestroyAll() {
    manager->stop();
    for (FakeTrial* trial : supplier.started()) supplier.destroy(trial);
    EXPECT_TRUE(manager->isDone());
  }

  ScriptedSupplier supplier;
  RecordingListener listener;
  std::unique_ptr<HXHandshakeManager> manager;
};

TEST_F(HandshakeManagerTest, KickWithoutDelayReplacesTheOnlyTrial) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(1, 800, 60000);
  ASSERT_TRUE(manager->start(0, 0));
  ASSERT_EQ(StartedCount(), 1u);
  FakeTrial* first = supplier.started()[0];
  ASSERT_TRUE(manager->kick(0));
  ASSERT_EQ(StartedCount(), 2u);
  EXPECT_TRUE(first->recycled.load());
  EXPECT_EQ(first->getWatchingHM(), manager.get());  // watched until destroyed
  EXPECT_EQ(manager->getConnectionCount(), 1u);
  supplier.destroy(first);
  StopAndDestroyAll();
}

TEST_F(HandshakeManagerTest, StepIntervalPacesTrialsOnePerAddJob) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(3, 300, 60000);
  ASSERT_TRUE(manager->start(0, 0));
  EXPECT_EQ(StartedCount(), 1u);
  ASSERT_TRUE(WaitFor([&] { return StartedCount() == 3; }, 5000));
  const std::vector<FakeTrial*> trials = supplier.started();
  EXPECT_GE(trials[1]->startedAt - trials[0]->startedAt, 275);
  EXPECT_GE(trials[2]->startedAt - trials[1]->startedAt, 275);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(StartedCount(), 3u);  // the limit holds
  EXPECT_FALSE(manager->stop());  // the closed trials are still alive
  for (FakeTrial* trial : trials) EXPECT_TRUE(trial->recycled.load());
  StopAndDestroyAll();
}

TEST_F(HandshakeManagerTest, WithoutStepTheLimitIsFilledAtOnceAndRecheckedLater) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(3, 0, 60000);
  ASSERT_TRUE(manager->start(0, 0));
  EXPECT_EQ(StartedCount(), 3u);
  // A trial that fails leaves room; the add job fills it at its next round (800 ms).
  FakeTrial* failing = supplier.started()[0];
  const int64_t failed_at = hx::GetTickCount();
  failing->finish(false);
  EXPECT_TRUE(failing->recycled.load());
  EXPECT_EQ(failing->getWatchingHM(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return StartedCount() == 4; }, 5000));
  EXPECT_GE(supplier.started()[3]->startedAt - failed_at, 0);
  StopAndDestroyAll();
}

TEST_F(HandshakeManagerTest, TrialOlderThanItsLifetimeIsStoppedAndWatched) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(1, 800, 200);
  ASSERT_TRUE(manager->start(0, 0));
  FakeTrial* trial = supplier.started()[0];
  ASSERT_TRUE(WaitFor([&] { return trial->recycled.load(); }, 5000));
  EXPECT_GE(hx::GetTickCount() - trial->startedAt, 175);
  EXPECT_EQ(trial->getWatchingHM(), manager.get());
  EXPECT_TRUE(manager->pause());
  EXPECT_TRUE(manager->stop() == false);  // stopped, but the trial is still alive
  EXPECT_EQ(manager->getState(), HXHandshakeManagerBase::stateStopped);
  supplier.destroy(trial);
  EXPECT_EQ(manager->getState(), HXHandshakeManagerBase::stateIdle);
  EXPECT_EQ(listener.managerDone.load(), 1);
}

TEST_F(HandshakeManagerTest, AskLaterWaitsTheLongerOfDelayAndStep) {
  struct Case {
    uint64_t delay;
    int64_t atLeast;
  } cases[] = {{700, 675}, {100, 275}};
  for (const Case& c : cases) {
    supplier.calls.clear();
    supplier.script = {{HXHandshakeManagerBase::kAskLater, c.delay},
                       {HXHandshakeManagerBase::kAskLater, 60000}};
    Make(2, 300, 60000);
    ASSERT_TRUE(manager->start(0, 0));
    ASSERT_TRUE(WaitFor([&] { return supplier.callCount() >= 2; }, 5000));
    EXPECT_GE(supplier.calls[1] - supplier.calls[0], c.atLeast) << c.delay;
    EXPECT_LT(supplier.calls[1] - supplier.calls[0], c.atLeast + 1000) << c.delay;
    EXPECT_TRUE(manager->stop());
  }
}

TEST_F(HandshakeManagerTest, OverallTimeLimitReportsResultOneThenDoneWhenTrialsAreGone) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(1, 800, 60000);
  ASSERT_TRUE(manager->start(200, 0));
  ASSERT_TRUE(WaitFor([&] { return listener.snapshot().size() == 1; }, 5000));
  const RecordingListener::Event event = listener.snapshot()[0];
  EXPECT_EQ(event.connection, nullptr);
  EXPECT_EQ(event.result, hx::NetHandshakeTimeout);
  EXPECT_EQ(manager->getState(), HXHandshakeManagerBase::stateStopped);
  FakeTrial* trial = supplier.started()[0];
  EXPECT_TRUE(trial->recycled.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(listener.managerDone.load(), 0);
  supplier.destroy(trial);
  EXPECT_EQ(listener.managerDone.load(), 1);
  EXPECT_TRUE(manager->isDone());
}

TEST_F(HandshakeManagerTest, NoCandidateLeftReportsResultTwo) {
  supplier.script = {{HXHandshakeManagerBase::kNothingLeft}};
  Make(1, 100, 60000);
  ASSERT_TRUE(manager->start(0, 50));
  ASSERT_TRUE(WaitFor([&] { return listener.snapshot().size() == 1; }, 5000));
  EXPECT_EQ(listener.snapshot()[0].result, hx::NetHandshakeNoConnection);
  EXPECT_TRUE(manager->isDone());
}

TEST_F(HandshakeManagerTest, SuccessAndUsableConnectionsAreReported) {
  supplier.script = {{HXHandshakeManagerBase::kUsableNow}, {HXHandshakeManagerBase::kNewTrial}};
  Make(1, 800, 60000);
  ASSERT_TRUE(manager->start(0, 0));
  ASSERT_EQ(listener.snapshot().size(), 1u);
  EXPECT_TRUE(listener.snapshot()[0].usableNow);
  EXPECT_EQ(listener.snapshot()[0].result, hx::NetHandshakeConnected);
  ASSERT_EQ(StartedCount(), 1u);
  FakeTrial* trial = supplier.started()[0];
  std::thread loop_side([trial] { trial->finish(true); });
  loop_side.join();
  ASSERT_EQ(listener.snapshot().size(), 2u);
  EXPECT_EQ(listener.snapshot()[1].connection, trial);
  EXPECT_FALSE(listener.snapshot()[1].usableNow);
  EXPECT_TRUE(trial->recycled.load());
  EXPECT_EQ(manager->getConnectionCount(), 0u);
  StopAndDestroyAll();
}

TEST_F(HandshakeManagerTest, StopFromInsideTheManagersOwnJobDoesNotHang) {
  supplier.script = {{HXHandshakeManagerBase::kNewTrial}};
  Make(1, 800, 60000);
  std::atomic<int> stops{0};
  std::atomic<bool> stopped_idle{false};
  supplier.onCreate = [&] {
    if (stops.fetch_add(1) == 0) stopped_idle.store(manager->stop());
  };
  ASSERT_TRUE(manager->start(0, 50));  // the first add runs as the "Hsmgr add" job
  ASSERT_TRUE(WaitFor([&] { return stops.load() >= 1; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return manager->isDone(); }, 5000));
  EXPECT_TRUE(stopped_idle.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(StartedCount(), 0u);  // the job found the manager stopped and started nothing
}

TEST_F(HandshakeManagerTest, StatesOfStartKickPauseStop) {
  supplier.script = {{HXHandshakeManagerBase::kAskLater, 60000}};
  Make(1, 800, 60000);
  EXPECT_FALSE(manager->kick(0));
  EXPECT_FALSE(manager->pause());
  ASSERT_TRUE(manager->start(0, 1000));
  EXPECT_TRUE(manager->isConnecting());
  EXPECT_FALSE(manager->start(0, 0));
  EXPECT_TRUE(manager->pause());
  EXPECT_TRUE(manager->isOnDuty());
  EXPECT_FALSE(manager->isConnecting());
  EXPECT_TRUE(manager->kick(0));
  EXPECT_TRUE(manager->isConnecting());
  EXPECT_TRUE(manager->stop());
  EXPECT_TRUE(manager->isDone());
  EXPECT_TRUE(manager->start(0, 1000));  // again after a stop
}

}  // namespace
}  // namespace hx::testing
