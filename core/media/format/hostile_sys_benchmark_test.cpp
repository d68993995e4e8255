// The benchmark record as the settings store hands it back, treated as the
// hostile file input it is: every length from nothing to twice the record in a
// heap block of exactly that size (so that AddressSanitizer sees a read past
// it), scores no measurement can give, fields that lie about the score,
// reserved bytes that are not zero and durations at the ends of their range.
// Then the arithmetic helpers and the benchmark thread fed extreme numbers:
// averages at the ends of the 64-bit range, NaN and infinite factors, clocks
// that jump across the whole 64-bit range or run backwards, and previous scores
// nobody could have measured. Everything runs under the undefined-behaviour
// sanitizer, so a signed overflow on the way is a failure too.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "core/media/format/sys_benchmark.h"
#include "core/media/format/sys_performance_state.h"
#include "core/media/format/video_levels.h"

namespace {

using namespace std::chrono_literals;

const kn_VideoLevelCaps& Levels() {
  static const kn_VideoLevelCaps levels;
  return levels;
}

// Reads `bytes` from a heap block of exactly their length.
HX_SysPerformanceState ReadExact(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return HX_SysPerformanceState::FromBytes(bytes.empty() ? nullptr : block.get(), bytes.size());
}

std::vector<uint8_t> Record(int32_t score, int32_t send, int32_t second, int32_t group, uint8_t l0,
                            uint8_t l1, uint8_t l2, uint64_t duration, uint8_t reservedByte = 0) {
  std::vector<uint8_t> out(HX_SysPerformanceState::kBytes, 0);
  auto put32 = [&](size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i)
      out[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
  };
  put32(0, score);
  put32(4, send);
  put32(8, second);
  put32(12, group);
  out[16] = l0;
  out[17] = l1;
  out[18] = l2;
  for (int i = 19; i < 24; ++i) out[i] = reservedByte;
  for (int i = 0; i < 8; ++i) out[24 + i] = static_cast<uint8_t>(duration >> (8 * i));
  return out;
}

// A record the benchmark could have written: all zero, or exactly what its
// score gives, with reserved bytes 0 and a score within what a measurement can
// give.
void ExpectWritable(const HX_SysPerformanceState& s) {
  const HX_SysPerformanceState zero{};
  if (s == zero) return;
  EXPECT_GE(s.score, 0);
  EXPECT_LE(s.score, HX_SysPerformanceState::kMaxScore);
  EXPECT_EQ(s, HX_SysPerformanceState::FromScore(s.score, s.duration, Levels()));
  for (uint8_t b : s.reserved) EXPECT_EQ(b, 0);
}

// Every length up to twice a record: only exactly 32 bytes are read, nothing
// past the block is touched, and a record of another length reads as never
// measured.
TEST(HostileSysBenchmark, EveryLengthReadsInsideItsBlock) {
  const HX_SysPerformanceState good = HX_SysPerformanceState::FromScore(189600, 500, Levels());
  std::vector<uint8_t> full(HX_SysPerformanceState::kBytes);
  good.ToBytes(full.data());
  for (size_t n = 0; n <= 2 * HX_SysPerformanceState::kBytes; ++n) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bytes(n, 0xA5);
    if (n > 0) std::memcpy(bytes.data(), full.data(), std::min(n, full.size()));
    const HX_SysPerformanceState read = ReadExact(bytes);
    if (n == HX_SysPerformanceState::kBytes) {
      EXPECT_EQ(read, good);
    } else {
      EXPECT_EQ(read, HX_SysPerformanceState{});
    }
  }
  EXPECT_EQ(HX_SysPerformanceState::FromBytes(nullptr, 0), HX_SysPerformanceState{});
  // A length that wraps when added to anything.
  const uint8_t one = 0;
  EXPECT_EQ(HX_SysPerformanceState::FromBytes(&one, SIZE_MAX), HX_SysPerformanceState{})
      << "a lying length is trusted";
}

// Scores no measurement can give read as never measured; fields that lie about
// a possible score are rebuilt from it; reserved bytes come back 0; the
// duration is carried as it is.
TEST(HostileSysBenchmark, LyingFieldsReadAsARecordTheBenchmarkCouldWrite) {
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
    bool zero;
  } rows[] = {
      {"negative score", Record(-1, 0, 0, 0, 0, 0, 0, 0), true},
      {"most negative score", Record(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, 255, 255, 255, 1),
       true},
      {"score above the largest measurement",
       Record(HX_SysPerformanceState::kMaxScore + 1, 0, 0, 0, 0, 0, 0, 1), true},
      {"largest int score", Record(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, 98, 98, 98, 1),
       true},
      {"largest possible score, lying rates",
       Record(HX_SysPerformanceState::kMaxScore, -1, -1, -1, 255, 0, 7, 1), false},
      {"score 1, huge rates and levels 255",
       Record(1, INT32_MAX, INT32_MAX, INT32_MAX, 255, 255, 255, 0), false},
      {"levels 0 for a big score", Record(189600, 49296, 79632, 130913, 0, 0, 0, 500), false},
      {"reserved bytes all ones", Record(189600, 49296, 79632, 130913, 47, 54, 60, 500, 0xFF),
       false},
      {"duration at its largest", Record(189600, 49296, 79632, 130913, 47, 54, 60, UINT64_MAX),
       false},
      {"score 0 with lying fields", Record(0, 5, 5, 5, 98, 98, 98, 12345), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HX_SysPerformanceState read = ReadExact(row.bytes);
    if (row.zero) {
      EXPECT_EQ(read, HX_SysPerformanceState{});
    } else {
      ExpectWritable(read);
      int32_t score;
      std::memcpy(&score, row.bytes.data(), 4);
      if (!(read == HX_SysPerformanceState{})) EXPECT_EQ(read.score, score);
    }
    // What was read writes back to bytes that read the same.
    std::vector<uint8_t> again(HX_SysPerformanceState::kBytes);
    read.ToBytes(again.data());
    EXPECT_EQ(ReadExact(again), read);
  }
}

// Random records, as a corrupted settings file gives them: whatever is read is
// a record the benchmark could have written, and reading it again changes
// nothing.
TEST(HostileSysBenchmark, RandomRecordsReadAsWritableRecords) {
  std::mt19937_64 rng(20261211);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> bytes(HX_SysPerformanceState::kBytes);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    if (i % 2 == 0) {
      // Half of them with a score that a measurement can give.
      const uint32_t score =
          static_cast<uint32_t>(rng() % (HX_SysPerformanceState::kMaxScore + 1ull));
      std::memcpy(bytes.data(), &score, 4);
    }
    const HX_SysPerformanceState read = ReadExact(bytes);
    ExpectWritable(read);
    std::vector<uint8_t> again(HX_SysPerformanceState::kBytes);
    read.ToBytes(again.data());
    ASSERT_EQ(ReadExact(again), read) << i;
  }
}

// The score arithmetic with the scores a stored record or a measurement can
// hold (the whole 32-bit range): no overflow on the way, the rule's results.
TEST(HostileSysBenchmark, AverageOfEveryThirtyTwoBitScore) {
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT32_MAX, 0), 1610612735);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT32_MAX, INT32_MAX - 1), 2147483646);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT32_MAX, INT32_MAX), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT32_MIN, INT32_MIN), INT32_MIN);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT32_MIN, INT32_MAX), 0);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(0, INT32_MIN), INT32_MIN);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(100000, 60000), 90000);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(60000, 100000), 80000);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(0, 5), 5);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(-5, 10), 2);
}

// The helper takes 64-bit scores and promises 64-bit arithmetic clamped to the
// 32-bit range, so any 64-bit input must give a clamped result without
// overflowing on the way (previous x 75 does not fit 64 bits near its ends).
TEST(HostileSysBenchmark, AverageAtTheEndsOfItsSixtyFourBitRange) {
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT64_MAX, 0), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT64_MAX, INT64_MAX - 1), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT64_MAX, INT64_MAX), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(0, INT64_MAX), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT64_MIN, INT64_MIN), INT32_MIN);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(-1, INT64_MIN), INT32_MIN);
  EXPECT_EQ(HX_SysBenchmark::AverageScore(INT64_MIN, INT64_MAX), 0);
}

TEST(HostileSysBenchmark, MeasurementOfExtremeDurations) {
  EXPECT_EQ(HX_SysBenchmark::MeasurementScore(0), 0);
  EXPECT_EQ(HX_SysBenchmark::MeasurementScore(1), HX_SysPerformanceState::kMaxScore);
  EXPECT_EQ(HX_SysBenchmark::MeasurementScore(79001), 0);
  EXPECT_EQ(HX_SysBenchmark::MeasurementScore(UINT64_MAX), 0);
  EXPECT_EQ(HX_SysBenchmark::MeasurementScore(uint64_t{1} << 63), 0);
}

// The group rate and the decoder load fed extreme and non-finite numbers:
// computed in 64 bits and clamped to the int range, never an overflow; a result
// that is not a number is 0.
TEST(HostileSysBenchmark, GroupRateAndLoadOfExtremeNumbers) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  HX_SysBenchmark bench(nullptr, [] { return 0u; });
  // (100 - percent) overflows 32 bits for the most negative percent.
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, INT32_MAX, INT32_MIN, 3.0), INT32_MAX);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, INT32_MIN, INT32_MIN, 3.0), INT32_MIN);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, INT32_MIN, INT32_MAX, 3.0), INT32_MAX);
  EXPECT_EQ(bench.GetBenchGroupMBps(INT32_MIN, 40000, 60, 3.0),
            HX_SysPerformanceState::GroupMBps(Levels(), INT32_MIN, 40000, 60, 3.0));
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, 1e300), INT32_MAX);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, -1e300), INT32_MIN);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, inf), INT32_MAX);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, -inf), INT32_MIN);
  // The ordinary case still holds.
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, 3.0), 12809);

  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(50, nan), 0);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(100, -1.0), 0);  // 0 / 0
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(INT32_MIN, -1.0), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(INT32_MIN, 0.0), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(INT32_MAX, 0.0), 100 - INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(50, inf), 0);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(50, -1.0 + 1e-12), INT32_MAX);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(50, -1.0 - 1e-12), INT32_MIN);
}

// A NaN factor gives no number at all: the group rate is 0, not whatever the
// conversion of a NaN happens to give.
TEST(HostileSysBenchmark, GroupRateOfANaNFactorIsZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(HX_SysPerformanceState::GroupMBps(Levels(), 11600, 40000, 60, nan), 0);
}

// Every level byte has a name (possibly empty), and merging extreme ratings
// follows the rules.
TEST(HostileSysBenchmark, NamesAndMergesOfEveryLevelByte) {
  for (int level = 0; level <= 255; ++level) {
    const char* name = HX_SysPerformanceOverall::sysRating::LevelName(static_cast<uint8_t>(level));
    ASSERT_NE(name, nullptr) << level;
    EXPECT_EQ(std::string(name).empty(), level == 255) << level;
  }
  HX_SysPerformanceState software{};
  software.sendLevel = 0;
  software.secondLevel = 0;
  software.groupLevel = 0;
  HX_SysPerformanceOverall::sysRating hardware;
  hardware.sendLevel = 255;
  hardware.secondLevel = 255;
  hardware.groupLevel = 255;
  hardware.sendName = std::string(100000, 'x');
  HX_SysPerformanceOverall overall;
  HX_SysBenchmark::MergeHardwarePerformance(software, hardware, &overall);
  EXPECT_EQ(overall.merged.sendLevel, 58);
  EXPECT_EQ(overall.merged.secondLevel, 58);
  EXPECT_EQ(overall.merged.groupLevel, 0);
  EXPECT_EQ(overall.hardware.sendName, hardware.sendName);
  software.sendLevel = 255;
  software.secondLevel = 255;
  software.groupLevel = 255;
  hardware.sendLevel = hardware.secondLevel = hardware.groupLevel = 0;
  HX_SysBenchmark::MergeHardwarePerformance(software, hardware, &overall);
  EXPECT_EQ(overall.merged.sendLevel, 255);
  EXPECT_EQ(overall.merged.secondLevel, 255);
  EXPECT_EQ(overall.merged.groupLevel, 255);
  EXPECT_EQ(overall.merged.sendName, "");
}

// The benchmark thread with clocks nobody should have and previous scores
// nobody could have measured. A run always ends (bounded wait) and emits a
// result whose rates and levels are those its score gives.
class Emitted {
 public:
  void On(const HX_SysPerformanceState& s) {
    std::lock_guard<std::mutex> guard(mutex_);
    states_.push_back(s);
    changed_.notify_all();
  }
  bool Wait(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return states_.size() >= n; });
  }
  HX_SysPerformanceState Last() {
    std::lock_guard<std::mutex> guard(mutex_);
    return states_.back();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HX_SysPerformanceState> states_;
};

HX_SysPerformanceState RunWith(std::vector<int64_t> readings, int32_t previousScore) {
  auto index = std::make_shared<std::atomic<size_t>>(0);
  auto ticks = [readings, index] {
    const size_t i = index->fetch_add(1);
    return readings[std::min(i, readings.size() - 1)];
  };
  Emitted emitted;
  HX_SysBenchmark bench(
      ticks, [] { return 0u; }, 1);
  auto connection =
      bench.resultSignal.Connect([&emitted](const HX_SysPerformanceState& s) { emitted.On(s); });
  HX_SysPerformanceState previous{};
  previous.score = previousScore;
  EXPECT_TRUE(bench.Execute(previous));
  EXPECT_TRUE(emitted.Wait(1)) << "no result within the bound";
  const HX_SysPerformanceState result = emitted.Wait(1) ? emitted.Last() : HX_SysPerformanceState{};
  return result;
}

TEST(HostileSysBenchmark, ClocksThatJumpOrRunBackwards) {
  struct Row {
    const char* name;
    std::vector<int64_t> readings;
    int32_t expectedScore;
  } rows[] = {
      {"backwards", {1000000, 999000}, 0},
      {"standing still", {5, 5}, 0},
      {"one millisecond", {-1, 0}, HX_SysPerformanceState::kMaxScore},
      {"an hour", {0, 3600000}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HX_SysPerformanceState result = RunWith(row.readings, 0);
    EXPECT_EQ(result.score, row.expectedScore);
    EXPECT_EQ(result, HX_SysPerformanceState::FromScore(result.score, result.duration, Levels()));
  }
}

// A tick source that jumps across the whole 64-bit range between the two
// readings of a measurement: the elapsed time is worked out without overflow
// and counts as no measurement (only a substituted clock can jump so far; the
// system's tick clock cannot).
TEST(HostileSysBenchmark, ClockThatJumpsAcrossTheWholeRange) {
  for (const std::vector<int64_t>& readings :
       {std::vector<int64_t>{INT64_MIN, INT64_MAX}, std::vector<int64_t>{INT64_MAX, INT64_MIN}}) {
    const HX_SysPerformanceState result = RunWith(readings, 0);
    EXPECT_EQ(result.score, 0);
    EXPECT_EQ(result, HX_SysPerformanceState::FromScore(result.score, result.duration, Levels()));
  }
}

TEST(HostileSysBenchmark, PreviousScoresNobodyCouldHaveMeasured) {
  // 500 ms: a measurement of 189600.
  for (int32_t previous : {INT32_MAX, INT32_MIN, -1, HX_SysPerformanceState::kMaxScore + 1}) {
    SCOPED_TRACE(previous);
    const HX_SysPerformanceState result = RunWith({1000, 1500}, previous);
    EXPECT_EQ(result.score, HX_SysBenchmark::AverageScore(previous, 189600));
    EXPECT_EQ(result, HX_SysPerformanceState::FromScore(result.score, result.duration, Levels()));
    EXPECT_EQ(result.duration, 500u);
  }
}

}  // namespace
