#pragma once
// The core's millisecond tick clock: the time base of every due time, deadline and time-out.
//
// A tick counts milliseconds from the start of the wall-clock second in which the library was
// loaded, so the first ticks read lie between 0 and 999. The count advances with the system's
// monotonic clock: setting the wall clock (by hand or by a time daemon) moves no deadline.
// Ticks are signed 64-bit and do not wrap in practice. Every function here is thread-safe.

#include <cstdint>

// The wall-clock second (seconds since 1970) in which the library was loaded; 0 when the wall
// clock could not be read then. The wall time of a tick t is about getTicksOffsetValue() + t / 1000
// for as long as nobody sets the wall clock.
int64_t getTicksOffsetValue();

namespace hx {

// The current tick in milliseconds; 0 when the clock cannot be read.
// Read ticks only through this call: a tick computed from the wall clock does not match it.
int64_t GetTickCount();

}  // namespace hx
