// Many threads schedule, re-arm, cancel and remove jobs at once, on a timer and on a 2 x 2 pool.
// Every job must run exactly as often as its story says: none lost, none doubled, none left
// pending forever, no run after a waiting cancel or remove has returned, every task deleted.
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/job_test_support.h"
#include "core/base/thread_pool.h"
#include "core/base/threaded_timer.h"
#include "testing/test_support.h"

namespace {

using hx::testing::Probe;
using hx::testing::ProbeTask;
using hx::testing::TickIn;
using hx::testing::WaitFor;

// Re-arms its own one-shot job from inside its run, `rearms` times.
class RearmingTask : public ProbeTask {
 public:
  RearmingTask(Probe* probe, HXJobScheduler* scheduler, int rearms)
      : ProbeTask(probe), scheduler_(scheduler), remaining_(rearms) {}
  std::atomic<uint32_t> id{0};

  void Execute() override {
    ProbeTask::Execute();
    if (remaining_.fetch_sub(1) > 0) scheduler_->ReScheduleTask(id.load(), TickIn(1), false, false);
  }

 private:
  HXJobScheduler* scheduler_;
  std::atomic<int> remaining_;
};

enum Story { kOneShot, kCancelWaiting, kRemoveWaiting, kSelfRearm, kReplacePending, kPeriodic, kStories };

struct Job {
  Story story;
  Probe probe;
  int expected_runs = -1;  // -1: fixed when a waiting call returns
  std::string failure;     // what went wrong while the story was told
};

void Tell(HXJobScheduler& scheduler, Job& job, std::mt19937& random) {
  Probe* probe = &job.probe;
  const uint32_t queue = random() % 2;
  const int64_t soon = static_cast<int64_t>(random() % 4);
  switch (job.story) {
    case kOneShot:
      scheduler.ScheduleTask(TickIn(soon), new ProbeTask(probe), queue);
      job.expected_runs = 1;
      break;
    case kCancelWaiting:
    case kRemoveWaiting: {
      const uint32_t id = scheduler.ScheduleTask(TickIn(soon), new ProbeTask(probe), queue);
      if (random() % 2) std::this_thread::yield();
      const int result = job.story == kCancelWaiting ? scheduler.CancelTask(id, true)
                                                     : scheduler.RemoveTask(id, true, false);
      job.expected_runs = probe->finished.load();
      if (result != 1 && result != 2) job.failure = "result " + std::to_string(result);
      if (probe->started.load() != job.expected_runs) job.failure = "a run was in progress";
      if (job.story == kRemoveWaiting && probe->deleted.load() != 1) job.failure = "task kept";
      break;
    }
    case kSelfRearm: {
      auto* task = new RearmingTask(probe, &scheduler, 2);
      task->id = scheduler.ScheduleTask(0, task, queue);
      scheduler.ReScheduleTask(task->id, TickIn(soon), false, false);
      job.expected_runs = 3;
      break;
    }
    case kReplacePending: {
      const uint32_t id = scheduler.ScheduleTask(TickIn(60000), new ProbeTask(probe), queue);
      if (random() % 2) std::this_thread::yield();
      scheduler.ReScheduleTask(id, TickIn(soon), true, false);
      job.expected_runs = 1;
      break;
    }
    case kPeriodic: {
      auto* task = new ProbeTask(probe);
      task->SetAutoDelete(false);
      const uint32_t id = scheduler.ScheduleTask(0, task, queue);
      for (int i = 0; i < 3; ++i) scheduler.ReScheduleTask(id, TickIn(soon), false, false);
      if (!WaitFor([&] { return probe->Runs() == 3; }, 20000)) job.failure = "runs missing";
      if (scheduler.RemoveTask(id, true, true) != 1) job.failure = "not removed";
      if (probe->deleted.load() != 1) job.failure = "task kept";
      job.expected_runs = 3;
      break;
    }
    default:
      break;
  }
}

void Stress(HXJobScheduler& scheduler) {
  constexpr int kThreads = 6;
  constexpr int kJobsPerThread = 90;
  std::vector<std::unique_ptr<Job>> jobs;
  for (int i = 0; i < kThreads * kJobsPerThread; ++i) {
    jobs.push_back(std::make_unique<Job>());
    jobs.back()->story = static_cast<Story>(i % kStories);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t + 1));
      for (int i = t; i < static_cast<int>(jobs.size()); i += kThreads) Tell(scheduler, *jobs[i], random);
    });
  }
  for (std::thread& thread : threads) thread.join();

  const bool settled = WaitFor(
      [&] {
        for (const auto& job : jobs) {
          if (job->probe.Runs() != job->expected_runs || job->probe.deleted.load() != 1) return false;
        }
        return scheduler.getTaskQueueLen(false) == 0;
      },
      30000);
  EXPECT_TRUE(settled);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // late extra runs would show now
  for (size_t i = 0; i < jobs.size(); ++i) {
    Job& job = *jobs[i];
    SCOPED_TRACE(testing::Message() << "job " << i << " story " << job.story);
    EXPECT_EQ(job.failure, "");
    EXPECT_EQ(job.probe.Runs(), job.expected_runs);
    EXPECT_LE(job.probe.Runs(), job.story == kCancelWaiting || job.story == kRemoveWaiting ? 1 : 3);
    EXPECT_EQ(job.probe.started.load(), job.probe.finished.load());
    EXPECT_EQ(job.probe.deleted.load(), 1);
  }
  EXPECT_EQ(scheduler.getTaskQueueLen(false), 0u);
}

TEST(JobSchedulerStressTest, ThreadedTimer) {
  HXThreadedTimer timer(nullptr, 25);
  ASSERT_EQ(timer.Start(hx::thread::normal, true), 0);
  Stress(timer);
}

TEST(JobSchedulerStressTest, ThreadPoolTwoByTwo) {
  HXThreadPool pool(2, 2, "HXZServer pool", 25, 5000);
  ASSERT_EQ(pool.Start(), 0);
  Stress(pool);
}

// Stopping while jobs run and others keep being scheduled: every task is run or deleted.
TEST(JobSchedulerStressTest, StopWhileBusy) {
  std::vector<std::unique_ptr<Probe>> probes;
  for (int i = 0; i < 400; ++i) probes.push_back(std::make_unique<Probe>());
  {
    HXThreadPool pool(2, 2, nullptr, 25, 5000);
    ASSERT_EQ(pool.Start(), 0);
    std::atomic<bool> scheduled_half{false};
    std::thread scheduler_thread([&] {
      for (size_t i = 0; i < probes.size(); ++i) {
        pool.ScheduleTask(TickIn(static_cast<int64_t>(i % 7)), new ProbeTask(probes[i].get()),
                          static_cast<uint32_t>(i % 2));
        if (i == probes.size() / 2) scheduled_half = true;
      }
    });
    while (!scheduled_half.load()) std::this_thread::yield();
    EXPECT_TRUE(pool.Stop(10000));
    scheduler_thread.join();
  }
  for (const auto& probe : probes) {
    EXPECT_LE(probe->Runs(), 1);
    EXPECT_EQ(probe->started.load(), probe->finished.load());
    EXPECT_EQ(probe->deleted.load(), 1);
  }
}

}  // namespace
