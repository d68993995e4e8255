#pragma once
// HX_SysPerformanceState: the result of the system benchmark (sys_benchmark.h),
// and the record kept under the setting "SysBenchmark": 32 bytes,
// little-endian, in this order:
//
//   offset size
//    0      4   score: the averaged measurement, a macroblock rate (signed)
//    4      4   send rate: score x 26 / 100 (signed)
//    8      4   second rate: score x 42 / 100 (signed)
//   12      4   group rate: GroupMBps(send rate, score, 60, 3.0) (signed)
//   16      1   send level: MBps2Level(send rate)
//   17      1   second level: MBps2Level(second rate)
//   18      1   group level: MBps2Level(group rate)
//   19      5   reserved, 0
//   24      8   duration of the last measurement in milliseconds (unsigned)
//
// The in-memory struct has exactly that layout on a little-endian machine
// (checked below), but records are always written and read through ToBytes /
// FromBytes, which fix the byte order.
//
// Everything but the score and the duration follows from the score (FromScore).
// A device that never ran the benchmark has the all-zero record. The stored
// bytes are file input and are not trusted: FromBytes answers the all-zero
// record for a record of another size or with a score no measurement can give,
// and rebuilds the fields that follow from the score when they disagree with
// it, so that a record read back is always one the benchmark could have
// written.
//
// A plain value; not thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>

class kn_VideoLevelCaps;

struct HX_SysPerformanceState {
  static constexpr size_t kBytes = 32;
  // The largest score a measurement can give: a 640x480 picture encoded twenty
  // times within the shortest measurable time, 1 ms ((640 x 480 x 79000) >> 8).
  // An average never exceeds it.
  static constexpr int32_t kMaxScore = 94800000;

  int32_t score = 0;
  int32_t sendRate = 0;
  int32_t secondRate = 0;
  int32_t groupRate = 0;
  uint8_t sendLevel = 0;
  uint8_t secondLevel = 0;
  uint8_t groupLevel = 0;
  uint8_t reserved[5] = {};
  uint64_t duration = 0;

  bool operator==(const HX_SysPerformanceState&) const = default;

  // Writes the 32-byte little-endian record.
  void ToBytes(uint8_t out[kBytes]) const;
  // Reads a stored record of `size` bytes (see above for what is refused or
  // rebuilt). `data` may be null when `size` is 0.
  static HX_SysPerformanceState FromBytes(const void* data, size_t size);

  // The record the benchmark derives from `score` (any value; the arithmetic is
  // 64-bit) and a measurement's duration, with `levels` for the level lookups.
  static HX_SysPerformanceState FromScore(int32_t score, uint64_t duration, const kn_VideoLevelCaps& levels);

  // The group rate: with L the smaller of MBps2Level(rate) and 32,
  // truncate(((100 - percent) x score / 100 - maximum macroblocks per second of
  // L) x factor x 0.7), the first part in integer arithmetic, the product in
  // double precision. Negative when the share of the score is below the level's
  // rate. Computed in 64 bits and clamped to the 32-bit range.
  static int GroupMBps(const kn_VideoLevelCaps& levels, int rate, int score, int percent, double factor);
};

static_assert(sizeof(HX_SysPerformanceState) == HX_SysPerformanceState::kBytes);
static_assert(offsetof(HX_SysPerformanceState, score) == 0);
static_assert(offsetof(HX_SysPerformanceState, sendRate) == 4);
static_assert(offsetof(HX_SysPerformanceState, secondRate) == 8);
static_assert(offsetof(HX_SysPerformanceState, groupRate) == 12);
static_assert(offsetof(HX_SysPerformanceState, sendLevel) == 16);
static_assert(offsetof(HX_SysPerformanceState, secondLevel) == 17);
static_assert(offsetof(HX_SysPerformanceState, groupLevel) == 18);
static_assert(offsetof(HX_SysPerformanceState, reserved) == 19);
static_assert(offsetof(HX_SysPerformanceState, duration) == 24);

// The benchmark's levels as a rating with display names: the software rating
// (the benchmark's levels), the hardware rating the platform supplies, and the
// two merged (see HX_SysBenchmark::MergeHardwarePerformance). A plain value;
// not thread-safe.
struct HX_SysPerformanceOverall {
  struct sysRating {
    uint8_t sendLevel = 0;
    uint8_t secondLevel = 0;
    uint8_t groupLevel = 0;
    std::string sendName;
    std::string secondName;
    std::string groupName;

    // Copies the three levels of `state`, then fillNames.
    void setIdc(const HX_SysPerformanceState& state);
    // Names each level after the first threshold above it: up to 31 "SD", 46
    // "HQ", 57 "ED", 62 "HD", 80 "FHD", 90 "WQHD", 97 "UHD", 254 "UHD60"; 255
    // has no threshold above it and gets the empty name.
    void fillNames();
    static const char* LevelName(uint8_t level);
  };

  sysRating software;
  sysRating hardware;
  sysRating merged;
  int32_t score = 0;
};
