#pragma once
// HX_SysBenchmark: measures how much media work the device can carry and reports the 32-byte
// result record through its result signal. So far Execute reports the record it is given
// unchanged; the measurement comes with the media subsystem.
//
// Thread safety: Execute emits on the calling thread; connect before it runs.

#include "core/base/signal.h"
#include "core/client/fsm_shared.h"

class HX_SysBenchmark {
 public:
  HX_SysBenchmark() = default;
  virtual ~HX_SysBenchmark() = default;
  HX_SysBenchmark(const HX_SysBenchmark&) = delete;
  HX_SysBenchmark& operator=(const HX_SysBenchmark&) = delete;

  // Runs the benchmark starting from `stored` (the record saved last time) and reports.
  virtual void Execute(const HX_SysPerformanceState& stored) { resultSignal(stored); }

  hx::Signal1<const HX_SysPerformanceState&> resultSignal;
};
