#pragma once
// Small thread helpers: sleeping and naming the calling thread. All are thread-safe.

#include <chrono>

namespace hx {

// Sleeps the calling thread for `duration` (nothing for zero or less); a signal does not cut it short.
void SleepFor(std::chrono::nanoseconds duration);

// Nothing to do on this platform: threads have no system message queue to prepare.
inline void FixThreadSystemMessages() {}

namespace detail {

// Names the calling thread for debuggers and process tools (first 15 characters; null is ignored).
void SetThreadName(const char* name);

}  // namespace detail
}  // namespace hx
