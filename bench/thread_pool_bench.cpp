// Scheduling and running 100k short jobs on the network loop's 2 x 2 pool: throughput, and the
// delay from each job's due time to the start of its run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/base/stored_task.h"
#include "core/base/thread_pool.h"
#include "core/base/tick_clock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kJobs = 100000;

// Notes when each job started and wakes the benchmark when all have run.
class Recorder {
 public:
  explicit Recorder(int jobs) : starts_(jobs), remaining_(jobs) {}

  void Ran(int index) {
    starts_[index] = Clock::now();
    if (remaining_.fetch_sub(1) == 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      all_ran_.notify_all();
    }
  }
  void WaitAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    all_ran_.wait(lock, [this] { return remaining_.load() == 0; });
  }
  Clock::time_point start(int index) const { return starts_[index]; }

 private:
  std::vector<Clock::time_point> starts_;
  std::atomic<int> remaining_;
  std::mutex mutex_;
  std::condition_variable all_ran_;
};

// Due now; 0 would mean "register without arming".
uint64_t NowTick() { return static_cast<uint64_t>(std::max<int64_t>(hx::GetTickCount(), 1)); }

void ReportDelays(benchmark::State& state, std::vector<double>& delays, const char* unit) {
  std::sort(delays.begin(), delays.end());
  auto at = [&](double share) { return delays[static_cast<size_t>(share * (delays.size() - 1))]; };
  double sum = 0;
  for (double delay : delays) sum += delay;
  state.counters[std::string("mean_") + unit] = sum / static_cast<double>(delays.size());
  state.counters[std::string("p50_") + unit] = at(0.5);
  state.counters[std::string("p99_") + unit] = at(0.99);
  state.counters[std::string("min_") + unit] = delays.front();
  state.counters[std::string("max_") + unit] = delays.back();
}

// All jobs due at once (due = the moment each is scheduled): the pool's raw throughput, and how
// long a job waits behind the others for one of its queue's two runners.
void BM_PoolRunsJobsDueNow(benchmark::State& state) {
  HXThreadPool pool(2, 2, "HXZServer pool", 25, 5000);
  pool.Start();
  std::vector<double> delays;
  for (auto _ : state) {
    Recorder recorder(kJobs);
    std::vector<Clock::time_point> dues(kJobs);
    for (int i = 0; i < kJobs; ++i) {
      dues[i] = Clock::now();
      pool.ScheduleTask(NowTick(), HXCallback::Save(&recorder, &Recorder::Ran, i), i % 2);
    }
    recorder.WaitAll();
    for (int i = 0; i < kJobs; ++i) {
      delays.push_back(std::chrono::duration<double, std::micro>(recorder.start(i) - dues[i]).count());
    }
  }
  state.SetItemsProcessed(state.iterations() * kJobs);
  ReportDelays(state, delays, "us");
}
BENCHMARK(BM_PoolRunsJobsDueNow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Jobs due over the next second (200 per millisecond): lateness of each start against its due
// time, in ms. Negative values are runs started early, within the pool's 25 ms lead time.
void BM_PoolRunsJobsDueLater(benchmark::State& state) {
  HXThreadPool pool(2, 2, "HXZServer pool", 25, 5000);
  pool.Start();
  std::vector<double> lateness;
  for (auto _ : state) {
    Recorder recorder(kJobs);
    std::vector<Clock::time_point> dues(kJobs);
    // Ticks are whole milliseconds; map them onto the steady clock at one instant (which lies
    // somewhere inside its tick, so lateness reads up to 1 ms low).
    const Clock::time_point origin = Clock::now();
    const int64_t origin_tick = hx::GetTickCount();
    for (int i = 0; i < kJobs; ++i) {
      const int64_t due_tick = origin_tick + 50 + i / (kJobs / 1000);
      dues[i] = origin + std::chrono::milliseconds(due_tick - origin_tick);
      pool.ScheduleTask(static_cast<uint64_t>(due_tick), HXCallback::Save(&recorder, &Recorder::Ran, i),
                        i % 2);
    }
    recorder.WaitAll();
    for (int i = 0; i < kJobs; ++i) {
      lateness.push_back(
          std::chrono::duration<double, std::milli>(recorder.start(i) - dues[i]).count());
    }
  }
  state.SetItemsProcessed(state.iterations() * kJobs);
  ReportDelays(state, lateness, "ms");
}
BENCHMARK(BM_PoolRunsJobsDueLater)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
