#include "core/base/thread_pool.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/base/job_test_support.h"
#include "testing/test_support.h"

namespace {

using hx::testing::Gate;
using hx::testing::Probe;
using hx::testing::ProbeTask;
using hx::testing::TickIn;
using hx::testing::WaitFor;

constexpr int kLong = 10000;

// A pool whose runner supply can be looked at.
class TestPool : public HXThreadPool {
 public:
  using HXThreadPool::HXThreadPool;
  // The scheduler thread calls virtual members: it must end before this part goes.
  ~TestPool() override {
    Terminate();
    Wait();
  }
  using HXThreadPool::castOffRunner;
  using HXThreadPool::getRunner;
  std::vector<std::string> RunnerNames() {
    HXAutoLock lock(getLock());
    std::vector<std::string> names;
    for (HXAsyncRunner* runner : m_free) names.push_back(runner->GetName());
    return names;
  }
};

int Started(Probe* probes, int count) {
  int started = 0;
  for (int i = 0; i < count; ++i) started += probes[i].started.load();
  return started;
}

TEST(ThreadPoolTest, TwoByTwoPoolRunsTwoUrgentAndOneNormalJobAtOnce) {
  HXThreadPool pool(2, 2, "HXZServer pool", 25, 5000);
  ASSERT_EQ(pool.Start(), 0);
  Gate urgent_gates[3];
  Probe urgent[3];
  Gate normal_gate;
  Probe normal;
  normal.gate = &normal_gate;
  const uint64_t due = TickIn(50);
  for (int i = 0; i < 3; ++i) {
    urgent[i].gate = &urgent_gates[i];
    pool.ScheduleTask(due, new ProbeTask(&urgent[i]), 0);
  }
  pool.ScheduleTask(due, new ProbeTask(&normal), 1);

  ASSERT_TRUE(WaitFor([&] { return Started(urgent, 3) == 2 && normal.started.load() == 1; }, kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(Started(urgent, 3), 2);  // the third urgent job waits for a runner of its queue
  EXPECT_EQ(pool.getTaskQueueLen(true), 1u);
  EXPECT_EQ(pool.getTaskQueueLen(false), 4u);

  const int first_started = urgent[0].started.load() == 1 ? 0 : 1;
  urgent_gates[first_started].Open();
  ASSERT_TRUE(WaitFor([&] { return Started(urgent, 3) == 3; }, kLong));
  for (Gate& gate : urgent_gates) gate.Open();
  normal_gate.Open();
  ASSERT_TRUE(WaitFor([&] { return pool.getTaskQueueLen(false) == 0; }, kLong));
  for (Probe& probe : urgent) EXPECT_EQ(probe.deleted.load(), 1);
}

TEST(ThreadPoolTest, JobRearmedWhileRunningStartsASecondRun) {
  HXThreadPool pool(2, 1, nullptr, 0, 5000);
  ASSERT_EQ(pool.Start(), 0);
  Gate gate;
  Probe probe;
  probe.gate = &gate;
  auto* task = new ProbeTask(&probe);
  task->SetAutoDelete(false);
  const uint32_t id = pool.ScheduleTask(TickIn(0), task);
  ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));

  EXPECT_EQ(pool.ReScheduleTask(id, TickIn(0), false, false), 1);
  ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 2; }, kLong));
  EXPECT_EQ(probe.most_running.load(), 2);
  EXPECT_EQ(pool.getTaskQueueLen(false), 2u);

  // Cancelling waits until both runs have finished and the job is idle.
  auto cancelled = std::async(std::launch::async, [&] { return pool.CancelTask(id, true); });
  EXPECT_EQ(cancelled.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
  gate.Open();
  EXPECT_EQ(cancelled.get(), 1);
  EXPECT_EQ(probe.finished.load(), 2);
  EXPECT_EQ(pool.RemoveTask(id, false, true), 1);  // idle, so removed at once
  EXPECT_EQ(probe.deleted.load(), 1);
}

TEST(ThreadPoolTest, RunnersAreLimitedPerQueueAndOnlyValidQueuesGetOne) {
  TestPool pool(2, 2, "HXZServer pool", 25, 5000);
  ASSERT_EQ(pool.Start(), 0);
  // Names are cut to 15 characters, so the index falls off in this pool.
  EXPECT_EQ(pool.RunnerNames(), std::vector<std::string>(4, "HXZServer pool "));

  HXAutoLock lock(pool.getLock());
  EXPECT_EQ(pool.getRunner(2), nullptr);
  HXAsyncRunnerBase* first = pool.getRunner(1);
  HXAsyncRunnerBase* second = pool.getRunner(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(pool.getRunner(1), nullptr);
  HXAsyncRunnerBase* urgent = pool.getRunner(0);
  EXPECT_NE(urgent, nullptr);
  pool.castOffRunner(first);
  pool.castOffRunner(first);  // no longer busy: ignored
  HXAsyncRunnerBase* third = pool.getRunner(1);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(pool.getRunner(1), nullptr);
  for (HXAsyncRunnerBase* runner : {second, urgent, third}) pool.castOffRunner(runner);
  EXPECT_EQ(pool.RunnerNames().size(), 4u);  // all back on the free list
}

TEST(ThreadPoolTest, RunnerNamesCarryTheirIndexWhenItFits) {
  TestPool pool(1, 3, "Sync", 25, 5000);
  ASSERT_EQ(pool.Start(), 0);
  EXPECT_EQ(pool.RunnerNames(), (std::vector<std::string>{"Sync 0", "Sync 1", "Sync 2"}));
}

TEST(ThreadPoolTest, JobOfAQueueThatDoesNotExistNeverRunsAndCanBeRemoved) {
  HXThreadPool pool(1, 1, nullptr, 0, 5000);
  ASSERT_EQ(pool.Start(), 0);
  Probe stray;
  Probe good;
  const uint32_t id = pool.ScheduleTask(TickIn(0), new ProbeTask(&stray), 1);
  pool.ScheduleTask(TickIn(0), new ProbeTask(&good), 0);
  ASSERT_TRUE(WaitFor([&] { return good.Runs() == 1; }, kLong));
  EXPECT_EQ(stray.started.load(), 0);
  EXPECT_EQ(pool.RemoveTask(id, true, false), 1);
  EXPECT_EQ(stray.deleted.load(), 1);
}

TEST(ThreadPoolTest, StopWaitsForRunningJobsWithinItsTimeout) {
  hx::testing::LogCapture log;
  Gate gate;
  Probe probe;
  probe.gate = &gate;
  HXThreadPool pool(2, 2, nullptr, 25, 5000);
  ASSERT_EQ(pool.Start(), 0);
  pool.ScheduleTask(TickIn(0), new ProbeTask(&probe), 1);
  ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));

  EXPECT_FALSE(pool.Stop(0));
  EXPECT_TRUE(log.Contains("Thread pool did not end in 0 msec"));
  EXPECT_EQ(pool.stopTimeout(), 5000);

  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    gate.Open();
  });
  EXPECT_TRUE(pool.Stop(5000));
  opener.join();
  EXPECT_EQ(probe.finished.load(), 1);
  EXPECT_EQ(probe.deleted.load(), 1);

  // A stopped pool starts again with fresh runners.
  Probe again;
  ASSERT_EQ(pool.Start(), 0);
  pool.ScheduleTask(TickIn(0), new ProbeTask(&again), 0);
  EXPECT_TRUE(WaitFor([&] { return again.Runs() == 1; }, kLong));
}

TEST(ThreadPoolTest, DestroyingARunningPoolWaitsForItsJobs) {
  Gate gate;
  Probe probe;
  probe.gate = &gate;
  std::thread opener;
  {
    HXThreadPool pool(1, 1, nullptr, 25, 100);  // a stop time-out shorter than the run
    ASSERT_EQ(pool.Start(), 0);
    pool.ScheduleTask(TickIn(0), new ProbeTask(&probe));
    ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));
    opener = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      gate.Open();
    });
  }
  opener.join();
  EXPECT_EQ(probe.finished.load(), 1);
  EXPECT_EQ(probe.deleted.load(), 1);
}

// A stop whose time-out ran out at once still leaves a pool that starts again, runs jobs and goes
// promptly.
TEST(ThreadPoolTest, PoolStoppedWithoutWaitingStartsAgainAndRunsAJob) {
  Probe probe;
  const auto destroyed = std::make_shared<std::promise<void>>();
  std::future<void> done = destroyed->get_future();
  std::thread owner([&, destroyed] {
    {
      HXThreadPool pool(2, 2, nullptr, 0, 5000);
      ASSERT_EQ(pool.Start(), 0);
      pool.Stop(0);
      ASSERT_EQ(pool.Start(), 0);
      pool.ScheduleTask(TickIn(0), new ProbeTask(&probe), 1);
      EXPECT_TRUE(WaitFor([&] { return probe.Runs() == 1; }, kLong));
    }
    destroyed->set_value();
  });
  const bool prompt = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!prompt) {
    owner.detach();  // leaves the hung thread behind rather than hang the whole run
    FAIL() << "the pool's destructor hangs";
  }
  owner.join();
  EXPECT_EQ(probe.Runs(), 1);
}

// A runner for which the system refuses a thread while `refuse` is set.
class RefusedRunner : public HXAsyncRunner {
 public:
  RefusedRunner(HXThreadPool* pool, const char* name, std::atomic<bool>* refuse)
      : HXAsyncRunner(pool, name), refuse_(refuse) {}

 protected:
  bool _CreateThread(EntryFunction entry, void* arg) override {
    return !refuse_->load() && HXAsyncRunner::_CreateThread(entry, arg);
  }

 private:
  std::atomic<bool>* refuse_;
};

class PoolWithARefusedRunner : public TestPool {
 public:
  PoolWithARefusedRunner() : TestPool(1, 3, "Refusing", 0, 5000) {}
  // Its own override is called from the scheduler thread: stop that thread before this part goes.
  ~PoolWithARefusedRunner() override {
    Terminate();
    Wait();
  }
  std::atomic<bool> refuse{true};

 protected:
  HXAsyncRunner* newRunner(const char* name) override {
    // The second runner of three: the first one has started by then.
    if (++created_ == 2) return new RefusedRunner(this, name, &refuse);
    return TestPool::newRunner(name);
  }

 private:
  int created_ = 0;
};

TEST(ThreadPoolTest, StartFailsWhenARunnerCannotStart) {
  hx::testing::LogCapture log;
  PoolWithARefusedRunner pool;
  EXPECT_EQ(pool.Start(), -1);
  EXPECT_TRUE(log.Contains("Thread pool Refusing: runner Refusing 1 did not start"));
  EXPECT_TRUE(pool.IsIdle());
  // Once the system gives it a thread, the pool starts and runs jobs.
  pool.refuse = false;
  ASSERT_EQ(pool.Start(), 0);
  Probe probe;
  pool.ScheduleTask(TickIn(0), new ProbeTask(&probe), 2);
  EXPECT_TRUE(WaitFor([&] { return probe.Runs() == 1; }, kLong));
}

// A task that waits for its own job from inside its run.
struct SelfRemover {
  HXJobScheduler* scheduler;
  std::atomic<uint32_t> id{0};
  std::atomic<int> result{-100};
  void Run() { result.store(scheduler->RemoveTask(id.load(), true, true)); }
};

TEST(ThreadPoolTest, WaitForItsOwnJobFromARunnerIsNotAttempted) {
  HXThreadPool pool(1, 1, nullptr, 0, 5000);
  ASSERT_EQ(pool.Start(), 0);
  SelfRemover remover{&pool};
  const uint32_t id = pool.ScheduleTask(0, HXCallback::Save(&remover, &SelfRemover::Run));
  remover.id = id;
  pool.ReScheduleTask(id, TickIn(0), false, false);
  ASSERT_TRUE(WaitFor([&] { return remover.result.load() != -100; }, kLong));
  EXPECT_EQ(remover.result.load(), 0);
  EXPECT_TRUE(WaitFor([&] { return pool.CancelTask(id, false) == 2; }, kLong));
}

}  // namespace
