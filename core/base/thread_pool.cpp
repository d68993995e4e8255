#include "core/base/thread_pool.h"

#include <chrono>
#include <string>

#include "core/base/ios_log.h"
#include "core/base/thread_util.h"
#include "core/base/tick_clock.h"

HXThreadPool::HXThreadPool(uint64_t runnersPerQueue, uint64_t queues, const char* name,
                           uint64_t leadTime, int64_t stopTimeout)
    : HXJobScheduler(name != nullptr ? name : "HXThreadPool", leadTime),
      m_runnersPerQueue(runnersPerQueue),
      m_queues(queues),
      m_stopTimeout(stopTimeout) {}

HXThreadPool::~HXThreadPool() {
  if (!Stop(m_stopTimeout.load())) {
    // Runners still serve jobs; deleting them now would pull the ground from under those runs.
    Wait();
  }
  HXAutoLock lock(getLock());
  for (HXAsyncRunner* runner : m_free) delete runner;
  for (const auto& [runner, queue] : m_busy) delete runner;
  m_free.clear();
  m_busy.clear();
  m_runnerCount = 0;
}

HXAsyncRunner* HXThreadPool::newRunner(const char* name) { return new HXAsyncRunner(this, name); }

int HXThreadPool::Start() {
  if (!IsIdle()) {
    // A running pool refuses the start in the base. One whose stop ran out of time is still
    // ending: its scheduler thread goes within the stop time-out.
    if (!IsTermRequest()) return HXThread::Start(hx::thread::normal, true);
    Wait();
  }
  std::vector<HXAsyncRunner*> starting;
  {
    HXAutoLock lock(getLock());
    if (!m_busy.empty()) {
      ios_log("Thread pool %s: jobs of its last run still run", GetName());
      return -1;
    }
    const std::string prefix = std::string(GetName()) + " ";
    for (; m_runnerCount < m_queues * m_runnersPerQueue; ++m_runnerCount) {
      m_free.push_back(newRunner((prefix + std::to_string(m_runnerCount)).c_str()));
    }
    m_busyPerQueue.assign(m_queues, 0);
    starting.assign(m_free.begin(), m_free.end());
  }
  for (HXAsyncRunner* runner : starting) {
    // A runner told to end by an earlier stop may not have been joined yet.
    if (runner->IsTermRequest() && !runner->IsIdle()) runner->Wait();
    if (runner->Start(hx::thread::normal, false) != 0) {
      ios_log("Thread pool %s: runner %s did not start", GetName(), runner->GetName());
      // The runners started so far end again; without a scheduler thread they get no job.
      for (HXAsyncRunner* started : starting) {
        if (started == runner) break;
        started->Terminate();
        started->Wait();
      }
      return -1;
    }
  }
  return HXThread::Start(hx::thread::normal, true);
}

bool HXThreadPool::Stop(int64_t ms) {
  const int64_t previous = m_stopTimeout.exchange(ms);
  Terminate();
  const bool ended = Wait(ms);
  m_stopTimeout.store(previous);
  if (!ended) {
    ios_log("Thread pool did not end in %ld msec", static_cast<long>(ms));
    return false;
  }
  return true;
}

HXAsyncRunnerBase* HXThreadPool::getRunner(uint32_t queue) {
  if (queue >= m_queues || queue >= m_busyPerQueue.size()) return nullptr;
  if (m_busyPerQueue[queue] >= m_runnersPerQueue || m_free.empty()) return nullptr;
  HXAsyncRunner* runner = m_free.front();
  m_free.pop_front();
  ++m_busyPerQueue[queue];
  m_busy[runner] = queue;
  return runner;
}

void HXThreadPool::castOffRunner(HXAsyncRunnerBase* base) {
  auto* runner = dynamic_cast<HXAsyncRunner*>(base);
  auto it = m_busy.find(runner);
  if (it == m_busy.end()) return;
  --m_busyPerQueue[it->second];
  m_busy.erase(it);
  m_free.push_back(runner);
}

void HXThreadPool::beforeThreadExit() {
  HXLock& lock = getLock();
  lock.Lock();
  const bool none = m_runnerCount == 0;
  if (!none) {
    for (HXAsyncRunner* runner : m_free) runner->Terminate();
    for (const auto& [runner, queue] : m_busy) runner->Terminate();
  }
  lock.Unlock();
  if (none) return;

  const int64_t timeout = m_stopTimeout.load();
  const int64_t deadline = hx::GetTickCount() + timeout;
  for (;;) {
    std::list<HXAsyncRunner*> ended;
    {
      HXAutoLock guard(lock);
      if (m_runnerCount == 0) return;
      if (m_free.empty() && m_busy.empty()) {
        ios_log("m_runningCount = %lu but no runners", static_cast<unsigned long>(m_runnerCount));
        return;
      }
      ended.swap(m_free);
    }
    // Idle runners end at once, so they are joined and deleted also when the time-out has run
    // out: left behind, ended but not joined, they could not be started again.
    for (HXAsyncRunner* runner : ended) {
      runner->Wait();
      delete runner;
    }
    {
      HXAutoLock guard(lock);
      m_runnerCount -= ended.size();
      if (m_runnerCount == 0) return;
    }
    if (timeout >= 0 && hx::GetTickCount() >= deadline) return;
    if (ended.empty()) {
      // Busy runners come back through castOffRunner when their runs finish.
      hx::SleepFor(std::chrono::milliseconds(100));
    }
  }
}
