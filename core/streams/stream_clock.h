#pragma once
// The clock the stream queues read their millisecond tick from. By default the core's tick
// (hx::GetTickCount); tests, the simulated channel and the benchmark hand in a simulated one.
// Ticks are the core's signed 64-bit milliseconds; packet timestamps hold their low 32 bits.

#include <cstdint>
#include <functional>

using HX_TickSource = std::function<int64_t()>;

// The core's tick clock.
HX_TickSource HX_CoreTickSource();

// Whether 32-bit timestamp a lies before b, across the wrap of the 32-bit counter.
inline bool HX_TimestampBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
