#pragma once
// HXJobScheduler: the engine behind every delayed, repeated and background job of the core.
//
// A job is a stored task registered under a 32-bit id (never 0) with a queue index that selects
// the runners it may use. Callers register a task, then arm, re-arm, cancel or remove it by id;
// those requests are queued as operations and applied by the scheduler thread, which hands due
// runs to runners obtained from its subclass (HXThreadedTimer runs them itself, HXThreadPool on
// runner threads). A finishing run makes the same pass under the lock, so that its runner takes
// the next due run without a round trip through the scheduler thread. Times are absolute ticks of the tick clock in milliseconds.
//
// Job states: 0 idle (registered, nothing pending), 1 running, 2 armed (runs due, none running).
// A job whose task has the auto-delete flag is deleted with its task when it goes idle (unless it
// was re-armed meanwhile) or is removed, so an ordinary one-shot job disappears after its run.
// A task registered under several ids is deleted only when the last of those jobs goes.
//
// Result codes: 1 done, 0 queued (not waited for), 2 unknown id (or, for ReScheduleTask, a removal
// is pending), -1 the scheduler is not running, so a wait cannot complete.
//
// Threads: every public operation may be called from any thread, including from tasks running on
// the scheduler's own runners. A waiting call made from a run that the wait depends on (a task
// waiting for its own job, or any task of an HXThreadedTimer, whose runner is the scheduler
// thread itself) would never return: it queues its operations as the non-waiting call does and
// returns what that call returns (0 for CancelTask and RemoveTask); the scheduler applies them
// before it runs anything else, so a cancelled or removed job cannot run again. Never wait while
// holding getLock(). The scheduler thread calls virtual members, so every subclass stops the
// thread in its own destructor (Terminate, then Wait) before its part of the object goes away.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/stored_task.h"
#include "core/base/thread.h"

class HXAsyncRunnerBase;

// What a runner calls when a run has finished.
class HXJobSchedulerCallback {
 public:
  virtual ~HXJobSchedulerCallback() = default;
  virtual void onJobDone(HXAsyncRunnerBase* runner, uint32_t id) = 0;
};

// A place where one run executes at a time.
class HXAsyncRunnerBase {
 public:
  explicit HXAsyncRunnerBase(HXJobSchedulerCallback* scheduler) : m_scheduler(scheduler) {}
  virtual ~HXAsyncRunnerBase() = default;

  // Hands one run to the runner and wakes it.
  void runJob(uint32_t id, HXStoredTask* task);
  // The task of the run in progress, or null when the runner is free.
  HXStoredTask* currentTask() const { return m_task.load(std::memory_order_acquire); }
  void clearTask() { m_task.store(nullptr, std::memory_order_release); }

 protected:
  virtual void notifyRunLoop() = 0;
  // Executes the handed task (unless skipped), frees the runner and reports to the scheduler.
  // Does nothing when no task was handed.
  void runCurrentJob();

 private:
  std::atomic<uint32_t> m_jobId{0};
  HXJobSchedulerCallback* const m_scheduler;
  std::atomic<HXStoredTask*> m_task{nullptr};
};

class HXJobScheduler : public HXThread, public HXJobSchedulerCallback {
 public:
  // Operation kinds of the queue that the scheduler thread applies.
  enum : uint32_t { kArm = 0, kCancel = 1, kRemove = 2 };
  struct SchedCtl {
    uint32_t kind;
    uint32_t id;
    uint64_t due;  // arm only
  };

  // A null name means "Job scheduler". A run starts when its due tick is at most
  // `leadTime` milliseconds ahead.
  explicit HXJobScheduler(const char* name = nullptr, uint64_t leadTime = 0);
  ~HXJobScheduler() override;

  // Registers `task` (which the scheduler owns from now on) and returns its new id, or 0 for a
  // null task. A due tick of 0 leaves the job registered but unarmed. The name is not used.
  uint32_t ScheduleTask(uint64_t due, HXStoredTask* task, uint32_t queue = 0,
                        const char* name = nullptr);
  // Drops the job's pending runs; with wait, returns once the job's state has changed (a run in
  // progress has finished).
  int CancelTask(uint32_t id, bool wait);
  // Removes the job (after its run in progress); `deleteTask` sets the task's auto-delete flag.
  int RemoveTask(uint32_t id, bool wait, bool deleteTask);
  // Removes every job of `task`, or every job when it is null.
  int RemoveTasks(HXStoredTask* task, bool wait);
  // Arms the job for `due`; `cancelPending` first drops the runs already pending.
  int ReScheduleTask(uint32_t id, uint64_t due, bool cancelPending, bool wait);
  // recycle true: the job survives its runs (auto-delete cleared); false: the job is removed.
  int Recycle(uint32_t id, bool recycle);
  // Runs in the due queue, plus the runs executing unless `onlyQueued`.
  uint64_t getTaskQueueLen(bool onlyQueued);

  HXLock& getLock() { return m_lock; }
  void kickScheduler() { m_kick.Set(); }

  void onJobDone(HXAsyncRunnerBase* runner, uint32_t id) override;

 protected:
  void Run() override;
  void OnTerminateRequest() override { m_kick.Set(); }

  // Runner supply of the subclass; both are called under the scheduler lock.
  virtual void castOffRunner(HXAsyncRunnerBase* runner) = 0;
  virtual HXAsyncRunnerBase* getRunner(uint32_t queue) = 0;
  // Called on the scheduler thread once every job is gone, just before it ends.
  virtual void beforeThreadExit() {}
  // Called on the scheduler thread after every pass, outside the lock.
  virtual void idle() {}
  // Whether a wait for job `id` on the calling thread could never end.
  virtual bool waitWouldHang(uint32_t id) const;

  // Whether the calling thread is executing a run handed out by this scheduler, and which job.
  bool callerRunsJobOfThis(uint32_t* id) const;

  // Guarded by the scheduler lock; the timer's single runner serves every queue index, so it
  // releases them all when it is freed.
  std::set<uint32_t> m_blocked;
  // Next id minus one; taken atomically.
  std::atomic<uint32_t> m_idCounter{0};

 private:
  // Due runs of one queue index, keyed by (due tick, arm sequence) so that equal ticks keep the
  // order in which they were armed across all queues.
  using DueKey = std::pair<uint64_t, uint64_t>;
  using DueQueue = std::map<DueKey, uint32_t>;

  struct Job {
    uint32_t queue = 0;
    HXStoredTask* task = nullptr;
    uint32_t state = 0;
    uint32_t generation = 0;
    int32_t running = 0;                    // runs handed to runners and not yet finished
    std::vector<DueQueue::iterator> armed;  // this job's entries in the due queue
  };
  using JobTable = std::map<uint32_t, Job>;

  enum : uint32_t { kStateIdle = 0, kStateRunning = 1, kStateArmed = 2 };
  enum : uint32_t { kRunStateRunning = 0, kRunStateStopped = 1, kRunStateStopping = 2 };

  void setState(Job& job, uint32_t state);
  void dropDueEntries(Job& job);
  static void dropCollectedArms(std::vector<SchedCtl>* arms, uint32_t id);
  void dropQueuedOperations(uint32_t id, std::initializer_list<uint32_t> kinds);
  bool hasQueuedOperation(uint32_t id, uint32_t kind) const;
  // Whether an idle job goes now: auto-delete set and no arm of it queued.
  bool shouldDeleteIdle(JobTable::iterator it) const;
  // Removes the job and its due entries; deletes its task when auto-delete is set and no other
  // job uses it. Returns the next table position. Its queued operations stay (they find the job
  // gone); forgetJob drops them too, which is not allowed while the operation list is walked.
  JobTable::iterator eraseJob(JobTable::iterator it);
  JobTable::iterator forgetJob(JobTable::iterator it);

  // One pass under the lock: applies the queued operations, then starts the due runs; returns
  // the due tick of the first entry beyond the horizon (0: none).
  uint64_t pass();
  // Applies the operation list; arms go to `arms` (discarded when null). True when anything changed.
  bool applyOperations(std::vector<SchedCtl>* arms);
  void applyArms(const std::vector<SchedCtl>& arms);
  // Starts due runs; returns the due tick of the first entry beyond the horizon (0: none).
  uint64_t dispatchDueRuns();
  // Applies operations and removes every job that is not running; true when the table is empty.
  bool sweepStoppedJobs();
  void stop();

  int waitForChange(uint32_t id, uint32_t generation);
  int waitUntilGone(const std::vector<uint32_t>& ids);

  const uint64_t m_leadTime;
  JobTable m_jobs;
  std::unordered_map<HXStoredTask*, uint32_t> m_taskUses;  // jobs per task
  HXLock m_lock;
  std::list<SchedCtl> m_operations;
  HXEvent m_stateChanged{true};
  uint64_t m_runningRuns = 0;
  HXEvent m_kick{true};
  std::atomic<uint32_t> m_runState{kRunStateStopped};
  std::map<uint32_t, DueQueue> m_due;  // per queue index
  uint64_t m_dueCount = 0;
  uint64_t m_armSequence = 0;
};
