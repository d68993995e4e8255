#include "core/base/threaded_timer.h"

HXThreadedTimer::HXThreadedTimer(const char* name, uint64_t leadTime)
    : HXJobScheduler(name != nullptr ? name : "HXThreadedTimer", leadTime),
      HXAsyncRunnerBase(this) {}

HXThreadedTimer::~HXThreadedTimer() {
  Terminate();
  Wait();
}

void HXThreadedTimer::castOffRunner(HXAsyncRunnerBase* /*runner*/) {
  clearTask();
  // The one runner serves every queue index: a refusal blocked whichever index asked, and only
  // this finish can release it.
  m_blocked.clear();
}

HXAsyncRunnerBase* HXThreadedTimer::getRunner(uint32_t /*queue*/) {
  return currentTask() == nullptr ? this : nullptr;
}

void HXThreadedTimer::idle() { runCurrentJob(); }

bool HXThreadedTimer::waitWouldHang(uint32_t /*id*/) const {
  // While any of our tasks runs, the scheduler thread applies nothing.
  return callerRunsJobOfThis(nullptr);
}

void HXThreadedTimer::notifyRunLoop() { kickScheduler(); }
