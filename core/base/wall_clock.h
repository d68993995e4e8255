#pragma once
// The wall clock of the stored records: whole seconds since 1970, as the per-user databases write
// them into their rows (call history, address-book cache, avatars) and compare them with their
// expiry rules. Due times and time-outs use the tick clock (tick_clock.h), never this one.
//
// The source is process-wide and may be replaced, so that tests can put the clock at the edges
// of those rules; a WallClockOverride sets a source for its own lifetime and puts the previous
// one back when it ends.
//
// Thread safety: every function may be called from any thread. A source installed while other
// threads read the clock is seen by their next read; the source itself must be callable from any
// thread. An operation that binds "now" more than once reads it once and binds that value.

#include <atomic>
#include <cstdint>
#include <functional>

namespace hx {

using WallClockSource = std::function<int64_t()>;

// The current time in whole seconds since 1970 from the installed source (the system clock
// unless one was set).
int64_t WallClockSeconds();

// Installs `source` (an empty function restores the system clock); returns the previous one,
// empty when that was the system clock.
WallClockSource SetWallClockSource(WallClockSource source);

// The system clock, whatever source is installed.
int64_t SystemWallClockSeconds();

// Sets a source for its lifetime. Overrides nest: each puts back what it found.
class WallClockOverride {
 public:
  explicit WallClockOverride(WallClockSource source);
  ~WallClockOverride();
  WallClockOverride(const WallClockOverride&) = delete;
  WallClockOverride& operator=(const WallClockOverride&) = delete;

 private:
  WallClockSource m_previous;
};

// A settable clock for tests and tools: reads the value last set. Thread-safe.
class ManualWallClock {
 public:
  explicit ManualWallClock(int64_t seconds) : m_seconds(seconds) {}
  void Set(int64_t seconds);
  void Advance(int64_t seconds);
  int64_t Now() const;
  // A source that reads this clock; the clock must outlive the source's installation.
  WallClockSource Source() const;

 private:
  mutable std::atomic_int64_t m_seconds;
};

}  // namespace hx
