// The scheduler's job life cycle, on the threaded timer (one runner: runs are easy to order).
#include "core/base/threaded_timer.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

constexpr int kLong = 10000;  // generous bound for things that must happen

// A timer whose id counter can be set, to reach the wrap-around quickly.
class TestTimer : public HXThreadedTimer {
 public:
  using HXThreadedTimer::HXThreadedTimer;
  // The scheduler thread calls virtual members: it must end before this part goes.
  ~TestTimer() override {
    Terminate();
    Wait();
  }
  void SetIdCounter(uint32_t value) { m_idCounter.store(value); }
};

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(timer.Start(hx::thread::normal, true), 0); }
  TestTimer timer{nullptr, 25};
};

TEST_F(TimerTest, UnarmedJobRunsOnlyOnceRescheduled) {
  Probe probe;
  const uint32_t id = timer.ScheduleTask(0, new ProbeTask(&probe));
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(probe.started.load(), 0);
  EXPECT_EQ(timer.getTaskQueueLen(false), 0u);

  EXPECT_EQ(timer.ReScheduleTask(id, TickIn(0), false, false), 1);
  ASSERT_TRUE(WaitFor([&] { return probe.deleted.load() == 1; }, kLong));
  EXPECT_EQ(probe.Runs(), 1);
  EXPECT_EQ(timer.CancelTask(id, false), 2);  // a one-shot job is gone after its run
}

TEST_F(TimerTest, NullTaskIsRefused) { EXPECT_EQ(timer.ScheduleTask(TickIn(0), nullptr), 0u); }

TEST_F(TimerTest, UnknownIdAnswersTwo) {
  const uint32_t unknown = 4242;
  EXPECT_EQ(timer.CancelTask(unknown, true), 2);
  EXPECT_EQ(timer.RemoveTask(unknown, true, true), 2);
  EXPECT_EQ(timer.ReScheduleTask(unknown, TickIn(0), true, true), 2);
  EXPECT_EQ(timer.Recycle(unknown, true), 2);
}

TEST_F(TimerTest, CancelOfIdleJobDeletesOnlyAutoDeleteTasks) {
  Probe deleting;
  const uint32_t one_shot = timer.ScheduleTask(0, new ProbeTask(&deleting));
  EXPECT_EQ(timer.CancelTask(one_shot, true), 1);
  EXPECT_EQ(deleting.deleted.load(), 1);
  EXPECT_EQ(timer.CancelTask(one_shot, true), 2);

  Probe kept;
  auto* task = new ProbeTask(&kept);
  task->SetAutoDelete(false);
  const uint32_t periodic = timer.ScheduleTask(0, task);
  EXPECT_EQ(timer.CancelTask(periodic, false), 1);
  EXPECT_EQ(kept.deleted.load(), 0);
  EXPECT_EQ(timer.ReScheduleTask(periodic, TickIn(0), false, false), 1);
  ASSERT_TRUE(WaitFor([&] { return kept.Runs() == 1; }, kLong));
  ASSERT_TRUE(WaitFor([&] { return timer.getTaskQueueLen(false) == 0; }, kLong));
  EXPECT_EQ(timer.ReScheduleTask(periodic, TickIn(0), false, false), 1);  // survived its run
  ASSERT_TRUE(WaitFor([&] { return kept.Runs() == 2; }, kLong));
  EXPECT_EQ(timer.Recycle(periodic, false), 1);
  EXPECT_EQ(kept.deleted.load(), 1);
}

TEST_F(TimerTest, CancelOfArmedJobDropsItsRun) {
  Probe probe;
  const uint32_t id = timer.ScheduleTask(TickIn(60000), new ProbeTask(&probe));
  ASSERT_TRUE(WaitFor([&] { return timer.getTaskQueueLen(true) == 1; }, kLong));
  EXPECT_EQ(timer.CancelTask(id, true), 1);
  EXPECT_EQ(probe.deleted.load(), 1);
  EXPECT_EQ(timer.getTaskQueueLen(false), 0u);
}

// Waiting calls on a job whose run is held at a gate return only after the run has finished.
TEST_F(TimerTest, WaitingCallsReturnAfterTheRunInProgress) {
  enum Call { kCancel, kRemove, kRescheduleCancelling };
  for (Call call : {kCancel, kRemove, kRescheduleCancelling}) {
    SCOPED_TRACE(call);
    Gate gate;
    Probe probe;
    probe.gate = &gate;
    auto* task = new ProbeTask(&probe);
    task->SetAutoDelete(false);
    const uint32_t id = timer.ScheduleTask(TickIn(0), task);
    ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));

    auto result = std::async(std::launch::async, [&] {
      switch (call) {
        case kCancel: return timer.CancelTask(id, true);
        case kRemove: return timer.RemoveTask(id, true, true);
        default: return timer.ReScheduleTask(id, TickIn(60000), true, true);
      }
    });
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    gate.Open();
    EXPECT_EQ(result.get(), 1);
    EXPECT_EQ(probe.finished.load(), 1);
    if (call == kRemove) {
      EXPECT_EQ(probe.deleted.load(), 1);
      EXPECT_EQ(timer.CancelTask(id, false), 2);
    } else {
      EXPECT_EQ(timer.RemoveTask(id, false, true), call == kCancel ? 1 : 0);
    }
  }
}

TEST_F(TimerTest, RemovalWithoutWaitIsQueuedAndBlocksRescheduling) {
  Gate gate;
  Probe probe;
  probe.gate = &gate;
  const uint32_t id = timer.ScheduleTask(TickIn(0), new ProbeTask(&probe));
  ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));
  EXPECT_EQ(timer.RemoveTask(id, false, false), 0);
  EXPECT_EQ(timer.ReScheduleTask(id, TickIn(0), false, false), 2);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return probe.deleted.load() == 1; }, kLong));
  EXPECT_EQ(probe.Runs(), 1);
}

TEST_F(TimerTest, SkippedTaskCompletesWithoutRunning) {
  Probe probe;
  auto* task = new ProbeTask(&probe);
  task->SetSkip(true);
  timer.ScheduleTask(TickIn(0), task);
  ASSERT_TRUE(WaitFor([&] { return probe.deleted.load() == 1; }, kLong));
  EXPECT_EQ(probe.started.load(), 0);
}

TEST(TimerTimingTest, RunsStartWithinTheLeadTimeAndNotEarlier) {
  struct Case {
    uint64_t lead_ms;
    int64_t due_in_ms;
    bool before_due;
  };
  for (const Case& c : {Case{2000, 1500, true}, Case{0, 300, false}}) {
    SCOPED_TRACE(c.lead_ms);
    HXThreadedTimer timer(nullptr, c.lead_ms);
    ASSERT_EQ(timer.Start(hx::thread::normal, true), 0);
    Probe probe;
    const uint64_t due = TickIn(c.due_in_ms);
    timer.ScheduleTask(due, new ProbeTask(&probe));
    ASSERT_TRUE(WaitFor([&] { return probe.Runs() == 1; }, kLong));
    const int64_t started = probe.start_ticks.at(0);
    if (c.before_due) {
      EXPECT_LT(started, static_cast<int64_t>(due));
    } else {
      EXPECT_GE(started, static_cast<int64_t>(due));
    }
  }
}

TEST_F(TimerTest, RunsDueAtTheSameTickStartInArmingOrder) {
  Probe probe;
  const uint64_t due = TickIn(100);
  for (int tag = 0; tag < 8; ++tag) timer.ScheduleTask(due, new ProbeTask(&probe, tag), tag % 3);
  ASSERT_TRUE(WaitFor([&] { return probe.Runs() == 8; }, kLong));
  EXPECT_EQ(probe.order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(TimerTest, JobsOfEveryQueueIndexRun) {
  // The one runner is refused to whichever index asks while it is busy; every index must get it.
  Probe probe;
  for (int i = 0; i < 20; ++i) timer.ScheduleTask(TickIn(0), new ProbeTask(&probe), i % 4);
  EXPECT_TRUE(WaitFor([&] { return probe.Runs() == 20; }, kLong));
}

TEST_F(TimerTest, IdsSkipZeroAndLiveJobsWhenTheCounterWraps) {
  Probe probe;
  timer.SetIdCounter(UINT32_MAX - 1);
  EXPECT_EQ(timer.ScheduleTask(0, new ProbeTask(&probe)), UINT32_MAX);
  EXPECT_EQ(timer.ScheduleTask(0, new ProbeTask(&probe)), 1u);
  EXPECT_EQ(timer.ScheduleTask(0, new ProbeTask(&probe)), 2u);
  timer.SetIdCounter(0);
  EXPECT_EQ(timer.ScheduleTask(0, new ProbeTask(&probe)), 3u);
  EXPECT_EQ(timer.RemoveTasks(nullptr, true), 1);
  EXPECT_EQ(probe.deleted.load(), 4);
}

// Tasks that act on their own job from inside its run.
struct SelfActor {
  HXJobScheduler* scheduler;
  std::atomic<uint32_t> id{0};
  std::atomic<int> runs{0};
  std::atomic<int> result{-100};
  int rearms = 0;

  void CancelWaiting() {
    runs.fetch_add(1);
    result.store(scheduler->CancelTask(id.load(), true));
  }
  void RemoveWaiting() {
    runs.fetch_add(1);
    result.store(scheduler->RemoveTask(id.load(), true, true));
  }
  void Rearm() {
    if (runs.fetch_add(1) < rearms) {
      result.store(scheduler->ReScheduleTask(id.load(), hx::testing::TickIn(1), false, false));
    }
  }
};

TEST_F(TimerTest, WaitingCallFromItsOwnTaskIsQueuedAndTheJobRunsNoMore) {
  for (void (SelfActor::*method)() : {&SelfActor::CancelWaiting, &SelfActor::RemoveWaiting}) {
    SCOPED_TRACE(method == &SelfActor::CancelWaiting ? "cancel" : "remove");
    SelfActor actor{&timer};
    auto* task = HXCallback::Save(&actor, method);
    task->SetAutoDelete(false);
    actor.id = timer.ScheduleTask(0, task);
    // Two runs pending (the later one armed first): the first run cancels (or removes) the other.
    timer.ReScheduleTask(actor.id, TickIn(150), false, false);
    timer.ReScheduleTask(actor.id, TickIn(0), false, false);
    ASSERT_TRUE(WaitFor([&] { return actor.result.load() != -100; }, kLong));
    EXPECT_EQ(actor.result.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(actor.runs.load(), 1);
    const int cancelled_job_left = method == &SelfActor::CancelWaiting ? 1 : 2;
    EXPECT_EQ(timer.RemoveTask(actor.id, false, true), cancelled_job_left);
  }
}

TEST_F(TimerTest, OneShotJobRearmedDuringItsRunRunsAgain) {
  SelfActor actor{&timer};
  actor.rearms = 2;
  actor.id = timer.ScheduleTask(0, HXCallback::Save(&actor, &SelfActor::Rearm));
  timer.ReScheduleTask(actor.id, TickIn(0), false, false);
  ASSERT_TRUE(WaitFor([&] { return actor.runs.load() == 3; }, kLong));
  EXPECT_EQ(actor.result.load(), 1);
  ASSERT_TRUE(WaitFor([&] { return timer.CancelTask(actor.id, false) == 2; }, kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(actor.runs.load(), 3);
}

TEST_F(TimerTest, ReschedulingWithCancelReplacesThePendingRun) {
  Probe probe;
  const uint32_t id = timer.ScheduleTask(TickIn(60000), new ProbeTask(&probe));
  ASSERT_TRUE(WaitFor([&] { return timer.getTaskQueueLen(true) == 1; }, kLong));
  EXPECT_EQ(timer.ReScheduleTask(id, TickIn(10), true, false), 1);
  ASSERT_TRUE(WaitFor([&] { return probe.deleted.load() == 1; }, kLong));
  EXPECT_EQ(probe.Runs(), 1);
  EXPECT_EQ(timer.getTaskQueueLen(false), 0u);
}

TEST_F(TimerTest, TaskSharedByJobsIsDeletedOnceWithTheLastJob) {
  Probe probe;
  auto* task = new ProbeTask(&probe);
  const uint32_t idle = timer.ScheduleTask(0, task);
  timer.ScheduleTask(TickIn(0), task);
  timer.ScheduleTask(TickIn(30), task);
  ASSERT_TRUE(WaitFor([&] { return probe.Runs() == 2; }, kLong));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(probe.deleted.load(), 0);  // still registered under `idle`
  EXPECT_EQ(timer.RemoveTasks(task, true), 1);
  EXPECT_EQ(probe.deleted.load(), 1);
  EXPECT_EQ(timer.CancelTask(idle, false), 2);
}

TEST_F(TimerTest, TerminationWaitsForTheRunningJob) {
  Gate gate;
  Probe probe;
  probe.gate = &gate;
  timer.ScheduleTask(TickIn(0), new ProbeTask(&probe));
  timer.ScheduleTask(TickIn(60000), new ProbeTask(&probe));
  ASSERT_TRUE(WaitFor([&] { return probe.started.load() == 1; }, kLong));
  timer.Terminate();
  EXPECT_FALSE(timer.Wait(200));
  gate.Open();
  EXPECT_TRUE(timer.Wait());
  EXPECT_EQ(probe.finished.load(), 1);
  EXPECT_EQ(probe.deleted.load(), 2);  // the pending job went with the stop
}

TEST(TimerLifecycleTest, JobsRegisteredBeforeStartRunOnceStarted) {
  Probe probe;
  {
    HXThreadedTimer timer;
    const uint32_t cancelled = timer.ScheduleTask(TickIn(0), new ProbeTask(&probe));
    EXPECT_EQ(timer.CancelTask(cancelled, true), 1);  // its arm was still queued: cancelled at once
    EXPECT_EQ(probe.deleted.load(), 1);
    timer.ScheduleTask(TickIn(0), new ProbeTask(&probe));
    ASSERT_EQ(timer.Start(hx::thread::normal, true), 0);
    ASSERT_TRUE(WaitFor([&] { return probe.Runs() == 1; }, kLong));

    timer.Terminate();
    ASSERT_TRUE(timer.Wait());
    timer.ScheduleTask(TickIn(0), new ProbeTask(&probe));  // kept until the timer goes
  }
  EXPECT_EQ(probe.Runs(), 1);
  EXPECT_EQ(probe.deleted.load(), 3);
}

}  // namespace
