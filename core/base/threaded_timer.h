#pragma once
// HXThreadedTimer: a job scheduler that runs its due jobs itself, one at a time, on its own
// thread, after each pass of the scheduler. All its jobs share its single runner, whatever queue
// index they were given.
//
// Its tasks run on the scheduler thread, so a waiting CancelTask, RemoveTask, RemoveTasks or
// ReScheduleTask made from one of them cannot be waited for: the call queues its operations as
// the non-waiting form does and returns at once (0 for CancelTask and RemoveTask). The timer
// applies them before it runs anything else, so a cancelled or removed job does not run again.
// A subclass terminates and waits for the thread in its own destructor.

#include <cstdint>

#include "core/base/job_scheduler.h"

class HXThreadedTimer : public HXJobScheduler, private HXAsyncRunnerBase {
 public:
  // A null name means "HXThreadedTimer".
  explicit HXThreadedTimer(const char* name = nullptr, uint64_t leadTime = 0);
  // Terminates the thread and waits for it (and so for a running job) before the tables go.
  ~HXThreadedTimer() override;

 protected:
  void castOffRunner(HXAsyncRunnerBase* runner) override;
  HXAsyncRunnerBase* getRunner(uint32_t queue) override;
  void idle() override;
  bool waitWouldHang(uint32_t id) const override;
  void notifyRunLoop() override;
};
