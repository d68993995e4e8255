#include "core/base/async_runner.h"

HXAsyncRunner::HXAsyncRunner(HXJobSchedulerCallback* scheduler, const char* name)
    : HXAsyncRunnerBase(scheduler), HXThread(name) {}

HXAsyncRunner::~HXAsyncRunner() {
  Terminate();
  Wait();
}

void HXAsyncRunner::Run() {
  while (!Terminated()) {
    m_wakeUp.Wait();
    if (IsTermRequest()) break;
    runCurrentJob();
  }
}
