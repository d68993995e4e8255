#pragma once
// Tasks and helpers for the scheduler and pool tests: a task that reports its runs to a probe
// which outlives it (the scheduler deletes auto-delete tasks), and a gate that holds runs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"

namespace hx::testing {

// Holds every run that reaches it until it is opened.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// What the runs of one or more probe tasks did.
struct Probe {
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::atomic<int> running{0};
  std::atomic<int> most_running{0};  // most runs executing at the same time
  std::atomic<int> deleted{0};
  Gate* gate = nullptr;  // when set, runs wait here

  std::mutex mutex;
  std::vector<int64_t> start_ticks;
  std::vector<int> order;  // tags of the runs, in start order

  int Runs() { return finished.load(); }
};

class ProbeTask : public HXStoredTask {
 public:
  explicit ProbeTask(Probe* probe, int tag = 0) : probe_(probe), tag_(tag) {}
  ~ProbeTask() override { probe_->deleted.fetch_add(1); }

  void Execute() override {
    {
      std::lock_guard<std::mutex> lock(probe_->mutex);
      probe_->start_ticks.push_back(hx::GetTickCount());
      probe_->order.push_back(tag_);
    }
    probe_->started.fetch_add(1);
    const int now_running = probe_->running.fetch_add(1) + 1;
    for (int most = probe_->most_running.load();
         now_running > most && !probe_->most_running.compare_exchange_weak(most, now_running);) {
    }
    if (probe_->gate != nullptr) probe_->gate->Pass();
    probe_->running.fetch_sub(1);
    probe_->finished.fetch_add(1);
  }

 private:
  Probe* probe_;
  int tag_;
};

// The tick `ms` milliseconds from now, as the schedulers take it (never 0, which means unarmed).
inline uint64_t TickIn(int64_t ms) {
  const int64_t tick = hx::GetTickCount() + ms;
  return tick > 0 ? static_cast<uint64_t>(tick) : 1;
}

}  // namespace hx::testing
