#pragma once
// HXCpuLoad: the platform's CPU-load meter, as the conference layer holds it.
//
// This platform has no meter: the one Create() returns takes every sample successfully and always
// reports a load of 1. Thread-safe.

#include <memory>

class HXCpuLoad {
 public:
  virtual ~HXCpuLoad() = default;

  // Takes a sample; true when it worked.
  virtual bool Calc() = 0;
  // The load figure of the samples taken.
  virtual int GetCpuLoad() = 0;
  // Forgets the samples taken.
  virtual void Reset() = 0;

  static std::shared_ptr<HXCpuLoad> Create();
};
