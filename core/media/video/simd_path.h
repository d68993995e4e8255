#pragma once
// Which form of the picture loops runs: the plain scalar loops, the SSE2 form (the x86-64
// baseline) or the AVX2 form. The best form the processor supports is chosen at start; every form
// computes the same bytes, so the choice only changes the speed. Tests switch it to run their
// tables through each form.
//
// SetSimdPath is meant for tests and benchmarks: call it while no picture work runs.

namespace hx::video {

enum class SimdPath : int { kPlain = 0, kSse2 = 1, kAvx2 = 2 };

// The fastest form the processor supports.
SimdPath BestSimdPath();
// The form in use (BestSimdPath until SetSimdPath changes it).
SimdPath ActiveSimdPath();
// Selects a form; false, and nothing changed, when the processor lacks it.
bool SetSimdPath(SimdPath path);
// "plain", "sse2" or "avx2".
const char* SimdPathName(SimdPath path);

}  // namespace hx::video
