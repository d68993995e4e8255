// The system benchmark with the real VP8 encoder: every run below encodes its
// twenty pictures with libvpx. A fake tick source gives a measurement any
// duration (the worked cases of the score arithmetic), a pause source replaces
// the 4 to 6 s pause, and hooks in both let the tests stop the benchmark at a
// chosen point: Release and destruction during the pause and during the
// measurement, listeners that disconnect or restart from the benchmark thread.
// Nothing here waits on a timer except as a guard against a hang; run it under
// ThreadSanitizer as well.
#include "core/media/format/sys_benchmark.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/system_info.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kHangGuard = 60s;
// Runs whose duration the fake clock decides encode one picture instead of
// twenty.
constexpr int kShort = 1;

const kn_VideoLevelCaps& Levels() {
  static const kn_VideoLevelCaps levels;
  return levels;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kHangGuard) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A tick source for the measurement: each measurement reads it twice, and the
// n-th measurement lasts durations[n] milliseconds (the last entry repeats).
// Optional hooks run on the benchmark thread at the first and the second
// reading of a measurement.
class FakeTicks {
 public:
  explicit FakeTicks(std::vector<int64_t> durations) : durations_(std::move(durations)) {}

  HX_SysBenchmark::TickSource Source() {
    return [this] { return Read(); };
  }
  std::function<void()> atStart;
  std::function<void()> atEnd;
  int Measurements() {
    std::lock_guard<std::mutex> guard(mutex_);
    return readings_ / 2;
  }

 private:
  int64_t Read() {
    int reading;
    int64_t value;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      reading = readings_++;
      const size_t n = std::min<size_t>(reading / 2, durations_.size() - 1);
      value = 1000000 * (1 + reading / 2) + (reading % 2 == 1 ? durations_[n] : 0);
    }
    if (reading % 2 == 0 && atStart) atStart();
    if (reading % 2 == 1 && atEnd) atEnd();
    return value;
  }

  std::mutex mutex_;
  std::vector<int64_t> durations_;
  int readings_ = 0;
};

// Collects emitted results and the threads they came on.
class Results {
 public:
  void On(const HX_SysPerformanceState& state) {
    std::lock_guard<std::mutex> guard(mutex_);
    states_.push_back(state);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return states_.size() >= count; });
  }
  std::vector<HX_SysPerformanceState> States() {
    std::lock_guard<std::mutex> guard(mutex_);
    return states_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> guard(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HX_SysPerformanceState> states_;
  std::vector<std::thread::id> threads_;
};

// A one-shot gate a benchmark-thread hook can wait on.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

HX_SysBenchmark::PauseSource NoPause() {
  return [] { return 0u; };
}

// The run has released its state and its thread has left Run.
void ExpectRunEnds(HX_SysBenchmark& bench) {
  EXPECT_TRUE(WaitUntil([&] { return !bench.IsBenchmarkRunning() && !bench.IsRunning(); }));
}

TEST(SysBenchmark, DefaultResultBeforeAnyMeasurement) {
  HX_SysBenchmark bench;
  HX_SysPerformanceState s;
  bench.GetPerformanceState(&s);
  EXPECT_EQ(s.score, 40000);
  EXPECT_EQ(s.sendRate, 11600);
  EXPECT_EQ(s.secondRate, 13200);
  EXPECT_EQ(s.groupRate, 12809);
  EXPECT_EQ(s.sendLevel, 30);
  EXPECT_EQ(s.secondLevel, 31);
  EXPECT_EQ(s.groupLevel, 31);
  EXPECT_EQ(s.duration, 0u);
  EXPECT_EQ(bench.GetBenchGroupMBps(11600, 40000, 60, 3.0), 12809);
  EXPECT_FALSE(bench.IsBenchmarkRunning());
}

TEST(SysBenchmark, EncoderThreadsAreThePhysicalCoresWithinWhatLibvpxOpens) {
  HX_SysBenchmark bench;
  const int cores = hx::sysinfo::PhysicalCpu();
  EXPECT_EQ(bench.EncoderThreads(), std::min(cores, HX_SysBenchmark::kMaxEncoderThreads));
  // Why the cap: one thread more and the encoder does not open, and a measurement of encodes
  // that do nothing would rate the device at the top.
  for (int threads : {HX_SysBenchmark::kMaxEncoderThreads, HX_SysBenchmark::kMaxEncoderThreads + 1}) {
    HX_VideoCoderOptions options;
    options.width = 640;
    options.height = 480;
    options.timeBase = 10;
    options.bitrate = 512;
    options.threads = threads;
    HXCodecVP8Encoder encoder;
    EXPECT_EQ(encoder.init(&options, 0), threads <= HX_SysBenchmark::kMaxEncoderThreads) << threads;
  }
}

TEST(SysBenchmark, RandomPauseLastsFourToSixSeconds) {
  for (int i = 0; i < 1000; ++i) {
    const uint32_t pause = HX_SysBenchmark::RandomPause();
    EXPECT_GE(pause, 4000u);
    EXPECT_LE(pause, 6000u);
  }
}

TEST(SysBenchmark, MeasurementAndAverageArithmetic) {
  struct Measure {
    uint64_t duration;
    int32_t score;
  };
  const Measure measures[] = {
      {500, 189600},
      {1580, 60000},
      {951, 99600},
      {79000, 1200},
      {79001, 0},
      {0, 0},
      {1, 94800000},  // 307200 x 79000 does not
                      // fit 32 bits
      {5, 18960000},  // nor does 307200 x 15800
      {6, 15799200},
  };
  for (const Measure& m : measures) {
    EXPECT_EQ(HX_SysBenchmark::MeasurementScore(m.duration), m.score) << m.duration;
  }
  struct Average {
    int64_t previous, measurement;
    int32_t score;
  };
  const Average averages[] = {
      {100000, 60000, 90000},  // a worse measurement moves a quarter of the way
      {60000, 100000, 80000},  // a better one half of the way
      {0, 60000, 60000},       // a first run takes the measurement
      {0, 0, 0},
      {189600, 0, 142200},
      {70000, 70000, 70000},
      {-100, 60000, 29950},
      {2147483647, 94800000, 1634312735},  // no overflow in the weighting
  };
  for (const Average& a : averages) {
    EXPECT_EQ(HX_SysBenchmark::AverageScore(a.previous, a.measurement), a.score)
        << a.previous << " " << a.measurement;
  }
}

TEST(SysBenchmark, FirstRunOfFiveHundredMillisecondsOnTheBenchmarkThread) {
  FakeTicks ticks({500});
  HX_SysBenchmark bench(ticks.Source(), NoPause(), kShort);
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(results.WaitFor(1));
  const HX_SysPerformanceState s = results.States()[0];
  EXPECT_EQ(s.score, 189600);
  EXPECT_EQ(s.sendRate, 49296);
  EXPECT_EQ(s.sendLevel, 47);
  EXPECT_EQ(s.secondRate, 79632);
  EXPECT_EQ(s.secondLevel, 54);
  EXPECT_EQ(s.groupRate, 130913);
  EXPECT_EQ(s.groupLevel, 60);
  EXPECT_EQ(s.duration, 500u);
  EXPECT_NE(results.Threads()[0], std::this_thread::get_id());
  ExpectRunEnds(bench);
  HX_SysPerformanceState kept;
  bench.GetPerformanceState(&kept);
  EXPECT_EQ(kept, s);
}

TEST(SysBenchmark, SuccessiveRunsAverageWithThePreviousScore) {
  struct Case {
    int32_t previous;
    int64_t duration;  // of the fake clock
    int32_t score;
    uint64_t storedDuration;
  };
  const Case cases[] = {
      {100000, 1580, 90000, 1580},  // measurement 60000
      {60000, 951, 79800, 951},     // measurement 99600
      {189600, 0, 142200, 0},       // a 0 ms measurement counts as 0
      {0, 0, 0, 0},
      {50000, -40, 37500, 0},  // a clock that went back measures 0 ms
  };
  std::vector<int64_t> durations;
  for (const Case& c : cases) durations.push_back(c.duration);
  FakeTicks ticks(durations);
  HX_SysBenchmark bench(ticks.Source(), NoPause(), kShort);
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  size_t n = 0;
  for (const Case& c : cases) {
    HX_SysPerformanceState previous;
    previous.score = c.previous;
    // Each Execute follows the emission at once, while the last run's thread
    // may still be on its way out: Execute waits for it.
    ASSERT_TRUE(WaitUntil([&] { return !bench.IsBenchmarkRunning(); }));
    EXPECT_TRUE(bench.Execute(previous));
    ASSERT_TRUE(results.WaitFor(++n));
    const HX_SysPerformanceState s = results.States().back();
    EXPECT_EQ(s, HX_SysPerformanceState::FromScore(c.score, c.storedDuration, Levels()))
        << c.previous << " " << c.duration;
  }
  // The zero score of a measured 0 is not the never-measured record.
  EXPECT_EQ(results.States()[3].sendLevel, 10);
  ExpectRunEnds(bench);
}

TEST(SysBenchmark, ExecuteTwiceStartsOneMeasurement) {
  FakeTicks ticks({500});
  Gate gate;
  std::atomic<int> pauses{0};
  HX_SysBenchmark bench(
      ticks.Source(),
      [&] {
        ++pauses;
        gate.Wait();
        return 0u;
      },
      kShort);
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  HX_SysPerformanceState other;
  other.score = 100000;
  EXPECT_TRUE(bench.Execute(other));  // changes nothing: not even the score to average with
  EXPECT_TRUE(bench.IsBenchmarkRunning());
  gate.Open();
  ASSERT_TRUE(results.WaitFor(1));
  ExpectRunEnds(bench);
  EXPECT_EQ(pauses.load(), 1);
  EXPECT_EQ(ticks.Measurements(), 1);
  ASSERT_EQ(results.States().size(), 1u);
  EXPECT_EQ(results.States()[0].score, 189600);
}

TEST(SysBenchmark, RealMeasurementWithLibvpx) {
  HX_SysBenchmark bench(nullptr, NoPause());
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(results.WaitFor(1));
  const HX_SysPerformanceState s = results.States()[0];
  EXPECT_GT(s.duration, 0u);
  EXPECT_GT(s.score, 0);
  EXPECT_EQ(s.score, HX_SysBenchmark::MeasurementScore(s.duration));
  EXPECT_EQ(s.sendRate, static_cast<int32_t>(int64_t{s.score} * 26 / 100));
  EXPECT_EQ(s.secondRate, static_cast<int32_t>(int64_t{s.score} * 42 / 100));
  EXPECT_EQ(s.sendLevel, Levels().MBps2Level(s.sendRate));
  EXPECT_EQ(s.secondLevel, Levels().MBps2Level(s.secondRate));
  EXPECT_EQ(s.groupLevel, Levels().MBps2Level(s.groupRate));
  std::printf(
      "20 VP8 encodes of 640x480 noise with %d threads: %llu ms, score "
      "%d, levels %d %d %d\n",
      bench.EncoderThreads(), static_cast<unsigned long long>(s.duration), s.score, s.sendLevel,
      s.secondLevel, s.groupLevel);
  ExpectRunEnds(bench);
}

TEST(SysBenchmark, ReleaseDuringThePauseEndsTheRunWithoutAResult) {
  FakeTicks ticks({500});
  std::atomic<uint32_t> pause{3600000};
  std::atomic<int> pauses{0};
  HX_SysBenchmark bench(
      ticks.Source(),
      [&] {
        ++pauses;
        return pause.load();
      },
      kShort);
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(WaitUntil([&] { return pauses.load() == 1; }));
  bench.Release();
  EXPECT_FALSE(bench.IsBenchmarkRunning());
  // The hour-long pause ends at once and nothing is measured.
  ASSERT_TRUE(WaitUntil([&] { return !bench.IsRunning(); }));
  EXPECT_EQ(ticks.Measurements(), 0);
  EXPECT_TRUE(results.States().empty());
  // The benchmark can be started again.
  pause = 0;
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.States()[0].score, 189600);
  ExpectRunEnds(bench);
}

TEST(SysBenchmark, DestructionDuringThePauseDoesNotWaitForIt) {
  FakeTicks ticks({500});
  std::atomic<int> pauses{0};
  auto bench = std::make_unique<HX_SysBenchmark>(
      ticks.Source(),
      [&] {
        ++pauses;
        return 3600000u;
      },
      kShort);
  Results results;
  bench->resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench->Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(WaitUntil([&] { return pauses.load() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  bench.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kHangGuard);
  EXPECT_EQ(ticks.Measurements(), 0);
  EXPECT_TRUE(results.States().empty());
}

TEST(SysBenchmark, DestructionDuringTheMeasurementWaitsForItAndEmitsNothing) {
  FakeTicks ticks({500});
  Gate measuring;
  std::atomic<bool> finished{false};
  auto bench = std::make_unique<HX_SysBenchmark>(ticks.Source(), NoPause(), kShort);
  HX_SysBenchmark* raw = bench.get();
  ticks.atStart = [&] { measuring.Open(); };
  // The measurement ends only once destruction has asked the thread to stop.
  ticks.atEnd = [&] {
    EXPECT_TRUE(WaitUntil([&] { return raw->IsTermRequest(); }));
    finished = true;
  };
  Results results;
  bench->resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench->Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(measuring.Wait());
  bench.reset();
  EXPECT_TRUE(finished.load()) << "the destructor returned before the measurement ended";
  EXPECT_EQ(ticks.Measurements(), 1);
  EXPECT_TRUE(results.States().empty());
}

TEST(SysBenchmark, ReleaseDuringTheMeasurementTakesEffectAfterIt) {
  FakeTicks ticks({500});
  Gate measuring;
  HX_SysBenchmark bench(ticks.Source(), NoPause(), kShort);
  ticks.atStart = [&] { measuring.Open(); };
  Results results;
  bench.resultSignal.Connect(&results, &Results::On);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(measuring.Wait());
  bench.Release();  // waits for the encodes, which use the encoder it frees
  EXPECT_FALSE(bench.IsBenchmarkRunning());
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.States()[0].score, 189600);
  ExpectRunEnds(bench);
}

TEST(SysBenchmark, ListenersDisconnectOnTheBenchmarkThreadWhileOthersConnect) {
  FakeTicks ticks({500});
  HX_SysBenchmark bench(ticks.Source(), NoPause(), kShort);
  Results all;
  Results firstOnly;
  std::atomic<int> selfCalls{0};
  std::atomic<int> otherCalls{0};
  hx::CallbackList<const HX_SysPerformanceState&>::Connection self;
  hx::CallbackList<const HX_SysPerformanceState&>::Connection other;
  std::mutex handles;  // the test thread assigns the handles the listener uses
  {
    std::lock_guard<std::mutex> guard(handles);
    self = bench.resultSignal.Connect([&](const HX_SysPerformanceState&) {
      ++selfCalls;
      std::lock_guard<std::mutex> held(handles);
      EXPECT_TRUE(self.Disconnect());
      EXPECT_TRUE(other.Disconnect());
    });
    other = bench.resultSignal.Connect([&](const HX_SysPerformanceState&) { ++otherCalls; });
  }
  bench.resultSignal.Connect(&all, &Results::On);

  // Meanwhile another thread keeps connecting and disconnecting listeners.
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      auto c = bench.resultSignal.Connect([](const HX_SysPerformanceState&) {});
      c.Disconnect();
    }
  });
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(WaitUntil([&] { return !bench.IsBenchmarkRunning(); }));
    EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
    ASSERT_TRUE(all.WaitFor(run));
  }
  stop = true;
  churn.join();
  ExpectRunEnds(bench);
  EXPECT_EQ(selfCalls.load(), 1);
  // The emission under way had copied the other listener before it was
  // disconnected.
  EXPECT_EQ(otherCalls.load(), 1);
  EXPECT_EQ(bench.resultSignal.Count(), 1u);
}

TEST(SysBenchmark, ListenersMayExecuteAndReleaseFromTheBenchmarkThread) {
  FakeTicks ticks({500});
  HX_SysBenchmark bench(ticks.Source(), NoPause(), kShort);
  std::atomic<int> calls{0};
  std::atomic<int> executeWhileRunning{-1};
  std::atomic<int> executeAfterRelease{-1};
  bench.resultSignal.Connect([&](const HX_SysPerformanceState&) {
    if (++calls == 1) {
      // The run is not yet released: nothing new starts.
      executeWhileRunning = bench.Execute(HX_SysPerformanceState()) ? 1 : 0;
    } else {
      // Released by the listener itself, a new run would need this thread to
      // end first.
      bench.Release();
      executeAfterRelease = bench.Execute(HX_SysPerformanceState()) ? 1 : 0;
    }
  });
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 1 && !bench.IsRunning(); }));
  EXPECT_EQ(executeWhileRunning.load(), 1);
  EXPECT_EQ(ticks.Measurements(), 1);
  EXPECT_TRUE(bench.Execute(HX_SysPerformanceState()));
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 2 && !bench.IsRunning(); }));
  EXPECT_EQ(executeAfterRelease.load(), 0);
  EXPECT_EQ(ticks.Measurements(), 2);
  EXPECT_FALSE(bench.IsBenchmarkRunning());
}

TEST(SysBenchmark, MergeHardwarePerformance) {
  struct Case {
    uint8_t s[3];
    uint8_t h[3];
    uint8_t merged[3];
  };
  const Case cases[] = {
      {{40, 60, 30}, {63, 58, 70}, {58, 58, 30}},  // second follows hardware 58 below software 60
      {{40, 40, 40}, {57, 57, 57}, {40, 57, 40}},  // hardware below 58: send keeps software
      {{60, 40, 10}, {50, 30, 10}, {60, 40, 10}},  // software ahead, hardware below 58
      {{70, 70, 20}, {75, 75, 90}, {75, 75, 20}},  // software above 62: hardware
      {{60, 60, 20}, {75, 75, 20}, {63, 63, 20}},  // software 58 to 62: hardware capped at 63
      {{58, 58, 20}, {60, 60, 20}, {60, 60, 20}},
      {{30, 30, 20}, {70, 70, 20}, {58, 58, 20}},  // software below 58: 58
      {{30, 30, 20}, {40, 40, 20}, {30, 40, 20}},  // hardware below 58: second follows it
      {{70, 70, 20}, {58, 58, 20}, {70, 58, 20}},  // send keeps the higher software, second not
      {{63, 63, 20}, {63, 63, 20}, {63, 63, 20}},
  };
  for (const Case& c : cases) {
    HX_SysPerformanceState software = HX_SysPerformanceState::FromScore(123456, 9, Levels());
    software.sendLevel = c.s[0];
    software.secondLevel = c.s[1];
    software.groupLevel = c.s[2];
    HX_SysPerformanceOverall::sysRating hardware;
    hardware.sendLevel = c.h[0];
    hardware.secondLevel = c.h[1];
    hardware.groupLevel = c.h[2];
    hardware.fillNames();
    HX_SysPerformanceOverall overall;
    HX_SysBenchmark::MergeHardwarePerformance(software, hardware, &overall);
    const std::string label = std::to_string(c.s[0]) + "/" + std::to_string(c.h[0]);
    EXPECT_EQ(overall.merged.sendLevel, c.merged[0]) << label;
    EXPECT_EQ(overall.merged.secondLevel, c.merged[1]) << label;
    EXPECT_EQ(overall.merged.groupLevel, c.merged[2]) << label;
    EXPECT_EQ(overall.merged.sendName, HX_SysPerformanceOverall::sysRating::LevelName(c.merged[0]));
    EXPECT_EQ(overall.merged.secondName, HX_SysPerformanceOverall::sysRating::LevelName(c.merged[1]));
    EXPECT_EQ(overall.software.sendLevel, c.s[0]);
    EXPECT_EQ(overall.software.groupName, HX_SysPerformanceOverall::sysRating::LevelName(c.s[2]));
    EXPECT_EQ(overall.hardware.secondLevel, c.h[1]);
    EXPECT_EQ(overall.hardware.sendName, hardware.sendName);
    EXPECT_EQ(overall.score, 123456);
  }
  HX_SysBenchmark::MergeHardwarePerformance(HX_SysPerformanceState(), {},
                                            nullptr);  // no crash
}

TEST(SysBenchmark, SmallHelpers) {
  HX_SysBenchmark bench;
  EXPECT_EQ(bench.GetLevel(0, 49296), 47);
  EXPECT_EQ(bench.GetLevel(7, 0), 10);
  EXPECT_EQ(HX_SysBenchmark::CorrectBenchmarkResult(-5), -5);
  EXPECT_EQ(HX_SysBenchmark::CorrectBenchmarkResult(189600), 189600);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(40, 2.0), 20);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(0, 2.5), 28);
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(100, -1.0), 0);          // 0 / 0
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(50, -1.0), 2147483647);  // 50 / 0
  EXPECT_EQ(HX_SysBenchmark::GetLoadDecoder(150, 0.0), -50);
  bench.GetPerformanceState(nullptr);  // no crash
}

}  // namespace
