#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>

#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Records where and when it ran, and that it was deleted.
struct JobProbe {
  std::atomic<int> runs{0};
  std::atomic<bool> onLoop{false};
  std::atomic<bool> deleted{false};
  std::atomic<int64_t> ranAfterMs{-1};
  std::string threadName;  // written by the job before `runs` is raised
  Clock::time_point start = Clock::now();
};

class ProbeTask : public HXStoredTask {
 public:
  explicit ProbeTask(JobProbe* probe) : m_probe(probe) {}
  ~ProbeTask() override { m_probe->deleted.store(true); }
  void Execute() override {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    m_probe->threadName = name;
    m_probe->onLoop.store(HXZServer::m_Instance->onLoopThread());
    m_probe->ranAfterMs.store(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_probe->start)
            .count());
    m_probe->runs.fetch_add(1);
  }

 private:
  JobProbe* m_probe;
};

using JobsTest = LoopFixture;

TEST_F(JobsTest, NetworkJobsRunOnTheLoopThreadAtTheirDueTime) {
  struct Case {
    uint32_t delay_ms;
  } cases[] = {{0}, {150}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay_ms);
    JobProbe probe;
    ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new ProbeTask(&probe), c.delay_ms));
    ASSERT_TRUE(WaitFor([&] { return probe.deleted.load(); }, 10000));
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_TRUE(probe.onLoop.load());
    EXPECT_GE(probe.ranAfterMs.load(), static_cast<int64_t>(c.delay_ms) - 1);
  }
}

TEST_F(JobsTest, SkippedNetworkJobIsDeletedWithoutRunning) {
  JobProbe probe;
  auto* task = new ProbeTask(&probe);
  task->SetSkip(true);
  ASSERT_TRUE(HXZServer::ScheduleNetworkJob(task, 0));
  ASSERT_TRUE(WaitFor([&] { return probe.deleted.load(); }, 10000));
  EXPECT_EQ(probe.runs.load(), 0);
}

TEST_F(JobsTest, PoolJobsRunOnThePoolAtTheirDueTime) {
  JobProbe normal;
  JobProbe urgent;
  EXPECT_NE(HXZServer::ScheduleJob(new ProbeTask(&normal), 120, "normal"), 0u);
  EXPECT_NE(HXZServer::ScheduleUrgentJob(new ProbeTask(&urgent), 60, "urgent"), 0u);
  ASSERT_TRUE(WaitFor([&] { return normal.deleted.load() && urgent.deleted.load(); }, 10000));
  for (JobProbe* probe : {&normal, &urgent}) {
    EXPECT_EQ(probe->runs.load(), 1);
    EXPECT_FALSE(probe->onLoop.load());
    // System thread names carry the tail of the runner's name "HXZServer pool <index>".
    EXPECT_NE(probe->threadName.find(".Server poo"), std::string::npos) << probe->threadName;
  }
  EXPECT_GE(normal.ranAfterMs.load(), 119);
  EXPECT_GE(urgent.ranAfterMs.load(), 59);
}

TEST_F(JobsTest, JobsRegisteredWithoutDelayWaitUntilArmed) {
  JobProbe normal;
  JobProbe urgent;
  const uint32_t normal_id = HXZServer::ScheduleJob(new ProbeTask(&normal), std::string("n"));
  const uint32_t urgent_id = HXZServer::ScheduleUrgentJob(new ProbeTask(&urgent), std::string("u"));
  ASSERT_NE(normal_id, 0u);
  ASSERT_NE(urgent_id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(normal.runs.load() + urgent.runs.load(), 0);
  EXPECT_GE(HXZServer::ReScheduleJob(normal_id, 0, false, false), 0);
  EXPECT_GE(HXZServer::ReScheduleJob(urgent_id, 0, false, false), 0);
  // Until both tasks are deleted: the pool deletes a task after it ran, and the probes live on
  // this stack.
  EXPECT_TRUE(WaitFor([&] { return normal.deleted.load() && urgent.deleted.load(); }, 10000));
  EXPECT_EQ(normal.runs.load(), 1);
  EXPECT_EQ(urgent.runs.load(), 1);
}

TEST_F(JobsTest, RemovedAndCancelledJobsDoNotRun) {
  JobProbe removed;
  JobProbe cancelled;
  const uint32_t removed_id = HXZServer::ScheduleJob(new ProbeTask(&removed), 300, "r");
  const uint32_t cancelled_id = HXZServer::ScheduleJob(new ProbeTask(&cancelled), 300, "c");
  EXPECT_EQ(HXZServer::UnScheduleJob(removed_id, true, true), 1);
  EXPECT_TRUE(removed.deleted.load());
  EXPECT_EQ(HXZServer::CancelJob(cancelled_id, true), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(removed.runs.load() + cancelled.runs.load(), 0);
}

TEST_F(JobsTest, NetworkJobStillWaitingAtShutdownIsDeleted) {
  JobProbe probe;
  ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new ProbeTask(&probe), 60000));
  OnLoop([] {});  // the job has reached the job queue
  EndLoop();
  EXPECT_TRUE(probe.deleted.load());
  EXPECT_EQ(probe.runs.load(), 0);
}

TEST(JobsWithoutLoop, RefusedNetworkJobIsDeleted) {
  ASSERT_EQ(HXZServer::m_Instance, nullptr);
  JobProbe probe;
  EXPECT_FALSE(HXZServer::ScheduleNetworkJob(new ProbeTask(&probe), 0));
  EXPECT_TRUE(probe.deleted.load());
  EXPECT_EQ(HXZServer::ScheduleJob(new ProbeTask(&probe), 0, "x"), 0u);
}

TEST(JobsBeforeTheLoopRuns, ManyCommandsWaitInThePipeWithoutLoss) {
  // More records than ZeroMQ queues by default before it refuses a send.
  constexpr int kJobs = 5000;
  HXZServer* loop = HXZServer::installNetworkManager();
  ASSERT_NE(loop, nullptr);
  std::atomic<int> runs{0};
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new FunctionTask([&] { runs.fetch_add(1); }), 0))
        << i;
  }
  EXPECT_EQ(runs.load(), 0);
  ASSERT_EQ(loop->startServerLoop(), 0);
  EXPECT_TRUE(WaitFor([&] { return runs.load() == kJobs; }, 20000));
  loop->Shutdown();
  delete loop;
}

TEST(LoopStart, SignalsAndSecondInstallGiveTheSameLoop) {
  struct Observer {
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};
    void OnStart() { started.fetch_add(1); }
    void OnStop() { stopped.fetch_add(1); }
  } observer;
  HXZServer::fireZServerStart.Connect(&observer, &Observer::OnStart);
  HXZServer::fireZServerStop.Connect(&observer, &Observer::OnStop);
  HXZServer* loop = HXZServer::installNetworkManager();
  ASSERT_NE(loop, nullptr);
  EXPECT_EQ(HXZServer::installNetworkManager(), loop);
  ASSERT_EQ(loop->startServerLoop(), 0);
  EXPECT_TRUE(loop->isRunning());
  EXPECT_EQ(observer.started.load(), 1);
  EXPECT_TRUE(loop->Shutdown());
  EXPECT_TRUE(loop->Shutdown());
  EXPECT_TRUE(loop->Wait4Done());
  EXPECT_EQ(observer.stopped.load(), 1);
  EXPECT_FALSE(loop->isRunning());
  delete loop;
  EXPECT_EQ(HXZServer::m_Instance, nullptr);
  HXZServer::fireZServerStart.Disconnect(&observer, &Observer::OnStart);
  HXZServer::fireZServerStop.Disconnect(&observer, &Observer::OnStop);
}

}  // namespace
}  // namespace hx::testing
