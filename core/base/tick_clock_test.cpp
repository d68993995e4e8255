#include "core/base/tick_clock.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/base/event.h"
#include "core/base/thread_util.h"

// This test program replaces the C library's wall-clock reads, so that tests can set the wall
// clock without privileges. Monotonic reads pass through unchanged.
namespace {
std::atomic<int64_t> g_wall_clock_shift_s{0};

bool IsWallClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* time) noexcept {
  if (syscall(SYS_clock_gettime, clock, time) != 0) return -1;
  if (IsWallClock(clock)) time->tv_sec += g_wall_clock_shift_s;
  return 0;
}

extern "C" int gettimeofday(struct timeval* time, void*) noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  time->tv_sec = now.tv_sec;
  time->tv_usec = now.tv_nsec / 1000;
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

int64_t WallMs() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return int64_t{now.tv_sec} * 1000 + now.tv_usec / 1000;
}

// Moves the wall clock by `shift_s` seconds for the lifetime of the object.
class WallClockShift {
 public:
  explicit WallClockShift(int64_t shift_s) { g_wall_clock_shift_s = shift_s; }
  ~WallClockShift() { g_wall_clock_shift_s = 0; }
};

int64_t MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

TEST(TickClock, CountsMillisecondsFromTheLoadSecond) {
  const int64_t wall_before = WallMs();
  const int64_t tick = hx::GetTickCount();
  const int64_t wall_after = WallMs();
  EXPECT_GE(tick, 0);
  EXPECT_LT(tick, 10 * 60 * 1000) << "the library was loaded moments ago";
  EXPECT_GT(getTicksOffsetValue(), 0);
  // The load second plus the tick is the wall time, as long as nobody set the wall clock
  // (a few ms of slack for the time daemon slewing the wall clock since the load).
  const int64_t wall_of_tick = getTicksOffsetValue() * 1000 + tick;
  EXPECT_GE(wall_of_tick, wall_before - 20);
  EXPECT_LE(wall_of_tick, wall_after + 20);
}

TEST(TickClock, AdvancesWithElapsedTime) {
  const auto outer_start = Clock::now();
  const int64_t first = hx::GetTickCount();
  const auto inner_start = Clock::now();
  hx::SleepFor(std::chrono::milliseconds(300));
  const auto inner_end = Clock::now();
  const int64_t ticks = hx::GetTickCount() - first;
  const auto outer_end = Clock::now();
  EXPECT_GE(ticks, 299);
  EXPECT_GE(ticks, MsBetween(inner_start, inner_end) - 1);
  EXPECT_LE(ticks, MsBetween(outer_start, outer_end) + 1);
}

TEST(TickClock, SettingTheWallClockMovesNoTick) {
  const int64_t before = hx::GetTickCount();
  for (const int64_t shift_s : {int64_t{-3600}, int64_t{3600}}) {
    SCOPED_TRACE(shift_s);
    const int64_t wall_before = WallMs();
    WallClockShift shift(shift_s);
    ASSERT_NEAR(static_cast<double>(WallMs() - wall_before), shift_s * 1000.0, 1000.0)
        << "the test's wall clock is not in use";
    EXPECT_LT(hx::GetTickCount() - before, 1000);
  }
}

TEST(TickClock, SettingTheWallClockBackDoesNotEndATimedWaitEarly) {
  // (Set forward, a wait on a wall-clock deadline would hang instead.)
  WallClockShift shift(-3600);
  HXEvent event(false);
  const auto start = Clock::now();
  EXPECT_FALSE(event.Wait(int64_t{300}));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 300);
}

}  // namespace
