#pragma once
// HXAsyncRunner: a runner thread of a thread pool. It sleeps until the scheduler hands it a run,
// executes the task outside the scheduler lock and reports back through onJobDone.

#include "core/base/event.h"
#include "core/base/job_scheduler.h"
#include "core/base/thread.h"

class HXAsyncRunner : public HXAsyncRunnerBase, public HXThread {
 public:
  HXAsyncRunner(HXJobSchedulerCallback* scheduler, const char* name);
  ~HXAsyncRunner() override;

 protected:
  void notifyRunLoop() override { m_wakeUp.Set(); }
  void Run() override;
  void OnTerminateRequest() override { m_wakeUp.Set(); }

 private:
  HXEvent m_wakeUp{true};
};
