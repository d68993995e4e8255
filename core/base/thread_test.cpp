#include "core/base/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/base/thread_local_storage.h"
#include "testing/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A service-style thread: loops until asked to stop, woken through OnTerminateRequest.
class LoopThread : public HXThread {
 public:
  explicit LoopThread(const char* name = "loop") : HXThread(name) {}
  ~LoopThread() override {
    Terminate();
    Wait();
  }
  std::atomic<int> runs{0};
  std::atomic<int> wake_ups{0};
  HXEvent running{true};

 protected:
  void Run() override {
    ++runs;
    running.Set();
    // Long enough that a missing wake-up shows, short enough that a failing test still ends.
    while (!Terminated()) m_wake.Wait(int64_t{20000});
  }
  void OnTerminateRequest() override {
    ++wake_ups;
    m_wake.Set();
  }

 private:
  HXEvent m_wake{true};
};

TEST(HXThread, StartsStopsOnRequestAndStartsAgain) {
  hx::testing::LogCapture log;
  LoopThread thread;
  EXPECT_TRUE(thread.IsIdle());
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.Wait()) << "nothing to wait for";

  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(thread.Start(hx::thread::normal, true), 0);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.Terminated());
    ASSERT_TRUE(thread.running.Wait(int64_t{10000}));
    EXPECT_EQ(thread.runs, run);

    EXPECT_EQ(thread.Start(hx::thread::normal, true), 1) << "already running";
    EXPECT_FALSE(thread.Wait(int64_t{100})) << "still running";
    EXPECT_TRUE(thread.IsRunning());

    thread.Terminate();
    EXPECT_TRUE(thread.IsTermRequest());
    EXPECT_TRUE(thread.Terminated());
    ASSERT_TRUE(thread.Wait(int64_t{10000}));
    EXPECT_TRUE(thread.IsIdle());
    EXPECT_FALSE(thread.IsTermRequest());
  }
  EXPECT_EQ(thread.runs, 2);
  EXPECT_EQ(thread.wake_ups, 2);
  char refusal[80];
  std::snprintf(refusal, sizeof(refusal), "Attemt to restart a live thread at %p 0x0",
                static_cast<void*>(&thread));
  EXPECT_TRUE(log.Contains(refusal));
}

TEST(HXThread, StartWithoutWaitThenWait) {
  LoopThread thread;
  ASSERT_EQ(thread.Start(hx::thread::normal, false), 0);
  EXPECT_TRUE(thread.IsRunning()) << "claimed before the new thread gets to run";
  ASSERT_TRUE(thread.running.Wait(int64_t{10000}));
  thread.Terminate();
  EXPECT_TRUE(thread.Wait());
  EXPECT_TRUE(thread.IsIdle());
}

TEST(HXThread, StopRequestWithoutTheHookBlocksAStart) {
  LoopThread thread;
  EXPECT_TRUE(thread.Terminate(true));
  EXPECT_TRUE(thread.IsTermRequest());
  EXPECT_EQ(thread.wake_ups, 0);
  EXPECT_EQ(thread.Start(hx::thread::normal, true), 1) << "only an idle object starts";
  EXPECT_FALSE(thread.Terminate(false));
  EXPECT_EQ(thread.Start(hx::thread::normal, true), 0);
}

// Polls only, and never stops its thread in its own destructor.
class PollingThread : public HXThread {
 public:
  PollingThread() : HXThread("polling") {}

 protected:
  void Run() override {
    const HXThreadBase& self = *this;
    while (!self.Terminated()) hx::testing::WaitFor([] { return false; }, 1);
  }
};

// Destroyed right after a start that waits, the thread may not have entered Run() yet; destroyed
// later, it is inside Run(). Either way the subclass part is gone, and the process ends with a
// diagnostic instead of going on into undefined behaviour.
TEST(HXThreadDeathTest, DestroyingAThreadThatStartsOrRunsEndsWithADiagnostic) {
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer reports the destroyed subclass's race with the running thread (the very
  // fault this diagnostic is for) and ends the child before the diagnostic can be printed.
  GTEST_SKIP() << "the thread sanitizer ends the child first";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* diagnostic = "HXThread \"polling\" at 0x[0-9a-f]+ destroyed while its thread starts or runs";
  EXPECT_DEATH(
      {
        auto* thread = new PollingThread();
        thread->Start(hx::thread::normal, true);
        delete thread;
      },
      diagnostic);
  EXPECT_DEATH(
      {
        auto* thread = new PollingThread();
        thread->Start(hx::thread::normal, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        delete thread;
      },
      diagnostic);
}

class ShortThread : public HXThread {
 public:
  ShortThread() : HXThread("short") {}

 protected:
  void Run() override {}
};

TEST(HXThread, DestroyingAFinishedThreadJoinsIt) {
  hx::testing::LogCapture log;
  auto* thread = new ShortThread();
  ASSERT_EQ(thread->Start(hx::thread::normal, true), 0);
  ASSERT_TRUE(hx::testing::WaitFor([&] { return !thread->IsRunning(); }, 10000));
  EXPECT_FALSE(thread->IsIdle()) << "finished, but not joined";
  delete thread;
  EXPECT_TRUE(log.Contains("Removing thread object that is not joined"));
}

// Records, from inside its run, what the system and the store say about the thread.
class ProbeThread : public HXThread {
 public:
  explicit ProbeThread(const char* name) : HXThread(name) {}
  std::string system_name;
  int policy = -1;
  int scheduling_priority = -1;
  bool had_store = false;

 protected:
  void Run() override {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    system_name = name;
    sched_param parameters{};
    pthread_getschedparam(pthread_self(), &policy, &parameters);
    scheduling_priority = parameters.sched_priority;
    HXTLSBase* store = HXThreadBase::TLS();
    had_store = store != nullptr;
    int value = 7;
    if (store != nullptr) store->Set(1, &value);
  }
};

TEST(HXThread, NamesAreCutAndMarkedWithTheObjectAddress) {
  struct Case {
    const char* name;
    const char* stored;
    const char* system_tail;  // the last 12 characters of the stored name
  };
  const Case cases[] = {
      {nullptr, "", ""},
      {"zserver", "zserver", "zserver"},
      {"Job scheduler", "Job scheduler", "ob scheduler"},
      {"abcdefghijklmnopqrst", "abcdefghijklmno", "defghijklmno"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    ProbeThread thread(c.name);
    EXPECT_STREQ(thread.GetName(), c.stored);
    ASSERT_EQ(thread.Start(hx::thread::normal, true), 0);
    ASSERT_TRUE(thread.Wait(int64_t{10000}));
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%x.%s",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&thread) & 0xfff), c.system_tail);
    expected[14] = '\0';  // the system name is cut to 14 characters
    EXPECT_EQ(thread.system_name, expected);
    EXPECT_TRUE(thread.had_store);
  }
}

// Starts `thread` at `level` from a helper thread that runs under SCHED_BATCH, which a new
// thread inherits unless its level changes it.
void StartFromBatchThread(HXThread& thread, hx::thread::priority level) {
  std::thread starter([&] {
    sched_param parameters{};
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters), 0);
    ASSERT_EQ(thread.Start(level, true), 0);
  });
  starter.join();
  ASSERT_TRUE(thread.Wait(int64_t{10000}));
}

TEST(HXThread, NormalLevelKeepsTheInheritedSchedulingOthersSetTheMappedPriority) {
  struct Case {
    hx::thread::priority level;
    int policy;
  };
  const Case cases[] = {
      {hx::thread::normal, SCHED_BATCH},
      {hx::thread::lowest, SCHED_OTHER},
      {hx::thread::highest, SCHED_OTHER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    ProbeThread thread("probe");
    StartFromBatchThread(thread, c.level);
    EXPECT_EQ(thread.policy, c.policy);
    EXPECT_EQ(thread.scheduling_priority, thread.MapPriority(c.level));
    EXPECT_EQ(thread.GetPriority(), c.level);
  }
  ProbeThread thread("probe");
  EXPECT_EQ(thread.GetMinOSPriority(), sched_get_priority_min(SCHED_OTHER));
  EXPECT_EQ(thread.GetMaxOSPriority(), sched_get_priority_max(SCHED_OTHER));
  EXPECT_EQ(thread.MapPriority(hx::thread::lowest), thread.GetMinOSPriority());
  EXPECT_EQ(thread.MapPriority(hx::thread::highest), thread.GetMaxOSPriority());
}

class ExitingThread : public HXThread {
 public:
  ExitingThread() : HXThread("exiting") {}
  std::atomic<bool> passed_exit{false};

 protected:
  void Run() override {
    HXThreadBase::ThreadExit(nullptr);
    passed_exit = true;
  }
};

TEST(HXThread, ThreadExitInsideRunStillEndsTheRun) {
  ExitingThread thread;
  ASSERT_EQ(thread.Start(hx::thread::normal, true), 0);
  ASSERT_TRUE(thread.Wait(int64_t{10000}));
  EXPECT_TRUE(thread.IsIdle());
  EXPECT_FALSE(thread.passed_exit);
}

// Deletes itself when its run ends; tells the test through flags that outlive it.
class SelfDeletingThread : public HXThread {
 public:
  SelfDeletingThread(std::atomic<bool>& ran, std::atomic<bool>& deleted)
      : HXThread("bushido"), m_ran(ran), m_deleted(deleted) {}
  ~SelfDeletingThread() override { m_deleted = true; }

 protected:
  void Run() override { m_ran = true; }

 private:
  std::atomic<bool>& m_ran;
  std::atomic<bool>& m_deleted;
};

TEST(HXThread, BushidoThreadDeletesItself) {
  hx::testing::LogCapture log;
  for (int i = 0; i < 20; ++i) {  // short runs race the creating thread on purpose
    std::atomic<bool> ran{false};
    std::atomic<bool> deleted{false};
    ASSERT_EQ((new SelfDeletingThread(ran, deleted))->Bushido(hx::thread::normal), 0);
    ASSERT_TRUE(hx::testing::WaitFor([&] { return deleted.load(); }, 10000));
    EXPECT_TRUE(ran);
  }
  EXPECT_FALSE(log.Contains("Removing thread object"));
}

}  // namespace
