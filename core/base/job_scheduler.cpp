#include "core/base/job_scheduler.h"

#include <algorithm>
#include <limits>

#include "core/base/tick_clock.h"

namespace {

// The run executing on this thread, if any: the scheduler that handed it out and its job.
thread_local const HXJobSchedulerCallback* t_runScheduler = nullptr;
thread_local uint32_t t_runJob = 0;

// Waiters re-check this often: with several waiters on the auto-reset state-change event, one of
// them may consume a wake-up that another one was about to wait for.
constexpr int64_t kRecheckMs = 50;

uint64_t Now() {
  const int64_t tick = hx::GetTickCount();
  return tick > 0 ? static_cast<uint64_t>(tick) : 0;
}

}  // namespace

void HXAsyncRunnerBase::runJob(uint32_t id, HXStoredTask* task) {
  m_jobId.store(id, std::memory_order_relaxed);
  m_task.store(task, std::memory_order_release);
  notifyRunLoop();
}

void HXAsyncRunnerBase::runCurrentJob() {
  HXStoredTask* task = m_task.load(std::memory_order_acquire);
  if (task == nullptr) return;
  const uint32_t id = m_jobId.load(std::memory_order_relaxed);
  if (!task->IsSkipped()) {
    t_runScheduler = m_scheduler;
    t_runJob = id;
    task->Execute();
    t_runScheduler = nullptr;
    t_runJob = 0;
  }
  clearTask();
  m_scheduler->onJobDone(this, id);
}

HXJobScheduler::HXJobScheduler(const char* name, uint64_t leadTime)
    : HXThread(name != nullptr ? name : "Job scheduler"), m_leadTime(leadTime) {}

HXJobScheduler::~HXJobScheduler() {
  Terminate();
  Wait();
  HXAutoLock lock(m_lock);
  for (auto it = m_jobs.begin(); it != m_jobs.end();) it = eraseJob(it);
}

// ---- Public operations -------------------------------------------------------------------------

uint32_t HXJobScheduler::ScheduleTask(uint64_t due, HXStoredTask* task, uint32_t queue,
                                      const char* /*name*/) {
  if (task == nullptr) return 0;
  uint32_t id;
  {
    HXAutoLock lock(m_lock);
    do {
      id = m_idCounter.fetch_add(1) + 1;
    } while (id == 0 || m_jobs.count(id) != 0);
    Job& job = m_jobs[id];
    job.queue = queue;
    job.task = task;
    ++m_taskUses[task];
    if (due != 0) m_operations.push_back({kArm, id, due});
  }
  if (due != 0) kickScheduler();
  return id;
}

int HXJobScheduler::CancelTask(uint32_t id, bool wait) {
  uint32_t generation;
  {
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end()) return 2;
    dropQueuedOperations(id, {kArm, kCancel});
    if (it->second.state == kStateIdle) {
      if (it->second.task->IsAutoDelete()) forgetJob(it);
      return 1;
    }
    m_operations.push_back({kCancel, id, 0});
    generation = it->second.generation;
  }
  kickScheduler();
  if (!wait || waitWouldHang(id)) return 0;
  return waitForChange(id, generation);
}

int HXJobScheduler::RemoveTask(uint32_t id, bool wait, bool deleteTask) {
  {
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end()) return 2;
    if (deleteTask) it->second.task->SetAutoDelete(true);
    dropQueuedOperations(id, {kArm, kCancel, kRemove});
    if (it->second.state == kStateIdle) {
      eraseJob(it);
      return 1;
    }
    m_operations.push_back({kRemove, id, 0});
  }
  kickScheduler();
  if (!wait || waitWouldHang(id)) return 0;
  return waitUntilGone({id});
}

int HXJobScheduler::RemoveTasks(HXStoredTask* task, bool wait) {
  std::vector<uint32_t> pending;
  {
    HXAutoLock lock(m_lock);
    std::vector<uint32_t> ids;
    for (const auto& [id, job] : m_jobs) {
      if (task == nullptr || job.task == task) ids.push_back(id);
    }
    for (uint32_t id : ids) {
      if (RemoveTask(id, false, false) == 0) pending.push_back(id);
    }
  }
  if (pending.empty()) return 1;
  if (!wait) return 0;
  for (uint32_t id : pending) {
    if (waitWouldHang(id)) return 0;
  }
  return waitUntilGone(pending);
}

int HXJobScheduler::ReScheduleTask(uint32_t id, uint64_t due, bool cancelPending, bool wait) {
  bool cancelQueued = false;
  uint32_t generation = 0;
  {
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end() || hasQueuedOperation(id, kRemove)) return 2;
    if (cancelPending) {
      dropQueuedOperations(id, {kArm});
      if (it->second.state != kStateIdle) {
        m_operations.push_back({kCancel, id, 0});
        cancelQueued = true;
        generation = it->second.generation;
      }
    }
    m_operations.push_back({kArm, id, due});
  }
  kickScheduler();
  if (!cancelQueued || !wait || waitWouldHang(id)) return 1;
  return waitForChange(id, generation);
}

int HXJobScheduler::Recycle(uint32_t id, bool recycle) {
  {
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end()) return 2;
    it->second.task->SetAutoDelete(!recycle);
    if (recycle) return 1;
    if (it->second.state == kStateIdle) {
      forgetJob(it);
      return 1;
    }
    m_operations.push_back({kRemove, id, 0});
  }
  kickScheduler();
  return 0;
}

uint64_t HXJobScheduler::getTaskQueueLen(bool onlyQueued) {
  HXAutoLock lock(m_lock);
  return m_dueCount + (onlyQueued ? 0 : m_runningRuns);
}

void HXJobScheduler::onJobDone(HXAsyncRunnerBase* runner, uint32_t id) {
  {
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end()) {
      m_blocked.clear();
    } else {
      Job& job = it->second;
      m_blocked.erase(job.queue);
      if (--job.running == 0) {
        setState(job, job.armed.empty() ? kStateIdle : kStateArmed);
        if (shouldDeleteIdle(it)) forgetJob(it);
      }
    }
    if (m_runningRuns != 0) --m_runningRuns;
    castOffRunner(runner);
    // Hand the freed runner its next run now instead of after a round trip through the scheduler
    // thread (which still wakes up below, to plan its next wake-up).
    if (m_runState.load() == kRunStateRunning && !IsTermRequest()) pass();
  }
  m_kick.Set();
  m_stateChanged.Set();
}

bool HXJobScheduler::waitWouldHang(uint32_t id) const {
  uint32_t running;
  return callerRunsJobOfThis(&running) && running == id;
}

bool HXJobScheduler::callerRunsJobOfThis(uint32_t* id) const {
  if (t_runScheduler != static_cast<const HXJobSchedulerCallback*>(this)) return false;
  if (id != nullptr) *id = t_runJob;
  return true;
}

// ---- Scheduler thread --------------------------------------------------------------------------

void HXJobScheduler::Run() {
  m_kick.Set();
  {
    HXAutoLock lock(m_lock);
    m_blocked.clear();
  }
  m_runState.store(kRunStateRunning);
  int64_t timeout = 0;
  while (!Terminated()) {
    m_kick.Wait(timeout);
    if (IsTermRequest()) break;
    uint64_t next;
    {
      HXAutoLock lock(m_lock);
      next = pass();
    }
    idle();
    if (next == 0) {
      timeout = -1;
    } else {
      const uint64_t now = Now();
      timeout = next > now ? static_cast<int64_t>(next - now) : 0;
    }
  }
  stop();
}

uint64_t HXJobScheduler::pass() {
  std::vector<SchedCtl> arms;
  if (applyOperations(&arms)) m_stateChanged.Set();
  applyArms(arms);
  return dispatchDueRuns();
}

bool HXJobScheduler::applyOperations(std::vector<SchedCtl>* arms) {
  // Erasing a job here leaves its later operations in the list; they find the job gone and are
  // dropped in turn. Ids are not reused meanwhile: the lock is held throughout.
  bool changed = false;
  for (auto op = m_operations.begin(); op != m_operations.end();) {
    auto it = m_jobs.find(op->id);
    if (it == m_jobs.end()) {
      op = m_operations.erase(op);
      changed = true;
      continue;
    }
    Job& job = it->second;
    const uint32_t id = op->id;
    switch (op->kind) {
      case kArm:
        if (arms != nullptr) arms->push_back(*op);
        op = m_operations.erase(op);
        break;
      case kCancel:
        op = m_operations.erase(op);
        dropCollectedArms(arms, id);
        dropDueEntries(job);
        // A run in progress makes the job idle when it finishes.
        if (job.running == 0) {
          setState(job, kStateIdle);
          if (shouldDeleteIdle(it)) eraseJob(it);
        }
        changed = true;
        break;
      case kRemove:
        dropCollectedArms(arms, id);
        dropDueEntries(job);
        if (job.running != 0) {
          ++op;  // applied again in later passes, once the run has finished
          break;
        }
        op = m_operations.erase(op);
        eraseJob(it);
        changed = true;
        break;
      default:
        op = m_operations.erase(op);
        break;
    }
  }
  return changed;
}

void HXJobScheduler::applyArms(const std::vector<SchedCtl>& arms) {
  for (const SchedCtl& arm : arms) {
    auto it = m_jobs.find(arm.id);
    if (it == m_jobs.end()) continue;
    Job& job = it->second;
    DueQueue& due = m_due[job.queue];
    job.armed.push_back(due.emplace(DueKey{arm.due, ++m_armSequence}, arm.id).first);
    ++m_dueCount;
    if (job.armed.size() == 1 && job.running == 0) setState(job, kStateArmed);
  }
}

uint64_t HXJobScheduler::dispatchDueRuns() {
  const uint64_t now = Now();
  const uint64_t horizon =
      m_leadTime > std::numeric_limits<uint64_t>::max() - now ? std::numeric_limits<uint64_t>::max()
                                                               : now + m_leadTime;
  for (;;) {
    // The earliest due entry of the queue indexes that are not blocked.
    DueQueue* earliest = nullptr;
    uint32_t queue = 0;
    for (auto& [index, due] : m_due) {
      if (due.empty() || due.begin()->first.first > horizon || m_blocked.count(index) != 0) continue;
      if (earliest == nullptr || due.begin()->first < earliest->begin()->first) {
        earliest = &due;
        queue = index;
      }
    }
    if (earliest == nullptr) break;
    HXAsyncRunnerBase* runner = getRunner(queue);
    if (runner == nullptr) {
      m_blocked.insert(queue);
      continue;
    }
    const auto entry = earliest->begin();
    const uint32_t id = entry->second;
    Job& job = m_jobs.at(id);  // erasing a job drops its entries, so it exists
    job.armed.erase(std::find(job.armed.begin(), job.armed.end(), entry));
    earliest->erase(entry);
    --m_dueCount;
    if (job.running++ == 0) setState(job, kStateRunning);
    ++m_runningRuns;
    runner->runJob(id, job.task);
  }

  uint64_t next = 0;
  if (horizon == std::numeric_limits<uint64_t>::max()) return next;
  for (const auto& [index, due] : m_due) {
    const auto first = due.lower_bound(DueKey{horizon + 1, 0});
    if (first != due.end() && (next == 0 || first->first.first < next)) next = first->first.first;
  }
  return next;
}

void HXJobScheduler::stop() {
  m_runState.store(kRunStateStopping);
  bool empty;
  {
    HXAutoLock lock(m_lock);
    empty = sweepStoppedJobs();
    if (!empty) {
      std::vector<uint32_t> running;
      for (const auto& [id, job] : m_jobs) running.push_back(id);
      for (uint32_t id : running) RemoveTask(id, false, false);
      empty = sweepStoppedJobs();
    }
  }
  // Running jobs finish on their runners; each finish kicks us.
  while (!empty) {
    if (!m_kick.Wait()) break;
    HXAutoLock lock(m_lock);
    empty = sweepStoppedJobs();
  }
  m_stateChanged.Set();
  {
    HXAutoLock lock(m_lock);
    // Jobs registered after the last sweep never ran: their auto-delete tasks go with them.
    for (auto it = m_jobs.begin(); it != m_jobs.end();) it = eraseJob(it);
    m_operations.clear();
    m_due.clear();
    m_dueCount = 0;
  }
  beforeThreadExit();
  m_runState.store(kRunStateStopped);
}

bool HXJobScheduler::sweepStoppedJobs() {
  bool changed = applyOperations(nullptr);
  for (auto it = m_jobs.begin(); it != m_jobs.end();) {
    if (it->second.running == 0) {
      it = forgetJob(it);
      changed = true;
    } else {
      ++it;
    }
  }
  if (changed) m_stateChanged.Set();
  return m_jobs.empty();
}

// ---- Waiting -----------------------------------------------------------------------------------

int HXJobScheduler::waitForChange(uint32_t id, uint32_t generation) {
  if (m_runState.load() == kRunStateStopped) return -1;
  for (;;) {
    m_stateChanged.Wait(kRecheckMs);
    HXAutoLock lock(m_lock);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end() || it->second.generation != generation) return 1;
    if (m_runState.load() == kRunStateStopped) return 1;
  }
}

int HXJobScheduler::waitUntilGone(const std::vector<uint32_t>& ids) {
  for (;;) {
    {
      HXAutoLock lock(m_lock);
      const bool gone = std::none_of(ids.begin(), ids.end(),
                                     [this](uint32_t id) { return m_jobs.count(id) != 0; });
      if (gone) return 1;
      if (m_runState.load() == kRunStateStopped) return -1;
    }
    m_stateChanged.Wait(kRecheckMs);
  }
}

// ---- Table helpers (under the lock) ------------------------------------------------------------

void HXJobScheduler::setState(Job& job, uint32_t state) {
  if (job.state == state) return;
  job.state = state;
  ++job.generation;
}

void HXJobScheduler::dropDueEntries(Job& job) {
  DueQueue& due = m_due[job.queue];
  for (const DueQueue::iterator& entry : job.armed) due.erase(entry);
  m_dueCount -= job.armed.size();
  job.armed.clear();
}

void HXJobScheduler::dropCollectedArms(std::vector<SchedCtl>* arms, uint32_t id) {
  if (arms == nullptr) return;
  arms->erase(std::remove_if(arms->begin(), arms->end(),
                             [id](const SchedCtl& arm) { return arm.id == id; }),
              arms->end());
}

void HXJobScheduler::dropQueuedOperations(uint32_t id, std::initializer_list<uint32_t> kinds) {
  m_operations.remove_if([&](const SchedCtl& op) {
    return op.id == id && std::find(kinds.begin(), kinds.end(), op.kind) != kinds.end();
  });
}

bool HXJobScheduler::hasQueuedOperation(uint32_t id, uint32_t kind) const {
  return std::any_of(m_operations.begin(), m_operations.end(),
                     [&](const SchedCtl& op) { return op.id == id && op.kind == kind; });
}

bool HXJobScheduler::shouldDeleteIdle(JobTable::iterator it) const {
  // A job re-armed while it ran or while it was cancelled keeps its task for the queued arm.
  return it->second.state == kStateIdle && it->second.task->IsAutoDelete() &&
         !hasQueuedOperation(it->first, kArm);
}

HXJobScheduler::JobTable::iterator HXJobScheduler::eraseJob(JobTable::iterator it) {
  Job& job = it->second;
  dropDueEntries(job);
  auto uses = m_taskUses.find(job.task);
  if (uses != m_taskUses.end() && --uses->second == 0) {
    m_taskUses.erase(uses);
    if (job.task->IsAutoDelete()) delete job.task;
  }
  return m_jobs.erase(it);
}

HXJobScheduler::JobTable::iterator HXJobScheduler::forgetJob(JobTable::iterator it) {
  dropQueuedOperations(it->first, {kArm, kCancel, kRemove});
  return eraseJob(it);
}
