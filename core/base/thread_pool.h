#pragma once
// HXThreadPool: a job scheduler whose runs execute on pooled runner threads grouped into queues.
// Each job names a queue index (0 to queues - 1); each queue occupies at most `runnersPerQueue`
// runners at once, and there are exactly queues x runnersPerQueue runners, so a queue waits only
// while its own runs occupy its runners. The network loop's pool is 2 x 2 (queue 0 urgent,
// queue 1 normal); the system-resolver pool has one queue. A job with an index of no queue never
// runs (it stays armed until it is cancelled or removed). A subclass stops the pool in its own
// destructor.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "core/base/async_runner.h"
#include "core/base/job_scheduler.h"

class HXThreadPool : public HXJobScheduler {
 public:
  // A null name means "HXThreadPool". Runners are named after the pool, a space and their index.
  HXThreadPool(uint64_t runnersPerQueue, uint64_t queues, const char* name = nullptr,
               uint64_t leadTime = 25, int64_t stopTimeout = 5000);
  // Stops the pool (waiting as long as it takes when the stop time-out is not enough) and
  // deletes every runner.
  ~HXThreadPool() override;

  // Creates the missing runners, starts them and then the scheduler thread; the base's result
  // (0 started, 1 already running, -1 failed). After a stop whose time-out ran out it first
  // waits for the scheduler thread to end. -1 (logged) when a runner does not start, or when
  // jobs of the last run still run on runners.
  int Start();
  // Requests termination and waits up to `ms` for the scheduler thread to end, using `ms` as the
  // stop time-out meanwhile. False (logged) when it has not ended in time.
  bool Stop(int64_t ms);

  int64_t stopTimeout() const { return m_stopTimeout.load(); }

 protected:
  // A new runner of this pool named `name`; called by Start under the scheduler lock.
  virtual HXAsyncRunner* newRunner(const char* name);
  // Both under the scheduler lock.
  HXAsyncRunnerBase* getRunner(uint32_t queue) override;
  void castOffRunner(HXAsyncRunnerBase* runner) override;
  // Ends and deletes the runners once every job is gone (within the stop time-out); idle runners
  // are always joined and deleted, busy ones that outlast the time-out stay counted.
  void beforeThreadExit() override;

  // Runner bookkeeping, guarded by the scheduler lock.
  std::list<HXAsyncRunner*> m_free;             // in the order in which they were freed
  std::map<HXAsyncRunner*, uint32_t> m_busy;    // runner -> queue index it serves
  std::vector<uint32_t> m_busyPerQueue;

 private:
  const uint64_t m_runnersPerQueue;
  const uint64_t m_queues;
  uint64_t m_runnerCount = 0;  // runners that exist
  std::atomic<int64_t> m_stopTimeout;
};
