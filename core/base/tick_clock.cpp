#include "core/base/tick_clock.h"

#include <sys/time.h>
#include <time.h>

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kNanosPerMilli = 1000000;

struct LoadTime {
  int64_t wall_second = 0;
  // The monotonic instant, in ns, at which the wall-clock load second began: ticks count from here.
  int64_t monotonic_origin_ns = 0;
};

LoadTime CaptureLoadTime() {
  LoadTime load;
  timeval wall{};
  timespec monotonic{};
  const bool have_wall = gettimeofday(&wall, nullptr) == 0;
  if (clock_gettime(CLOCK_MONOTONIC, &monotonic) != 0) return load;
  load.monotonic_origin_ns = int64_t{monotonic.tv_sec} * kNanosPerSecond + monotonic.tv_nsec;
  if (have_wall) {
    load.wall_second = wall.tv_sec;
    // Step back to the start of the wall second, so that ticks keep their familiar meaning:
    // milliseconds since the load second began.
    load.monotonic_origin_ns -= int64_t{wall.tv_usec} * 1000;
  }
  return load;
}

const LoadTime& Load() {
  static const LoadTime load = CaptureLoadTime();
  return load;
}

// Captures the load time while the library's static objects are built, not at the first read.
[[maybe_unused]] const LoadTime& g_load_time_at_startup = Load();

}  // namespace

int64_t getTicksOffsetValue() { return Load().wall_second; }

namespace hx {

int64_t GetTickCount() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  const int64_t now_ns = int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
  return (now_ns - Load().monotonic_origin_ns) / kNanosPerMilli;
}

}  // namespace hx
