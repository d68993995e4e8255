#pragma once
// Test support for the video receive side: a clock tests step by hand, a recording renderer and
// an audio-delay answer that a test sets.
//
// RecordingRenderer keeps, for every picture painted, its size, width, height, the last value,
// an FNV-1a checksum of the bytes, the painting thread, the clock at the paint and (when the
// test supplies it) the due time the synchroniser gave the frame. A test may hold the painting
// thread inside OnPaint (Hold, then Release) to make the draw thread fall behind.
//
// Thread safety: every member may be used from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/tick_clock.h"
#include "core/media/video/receive/video_render.h"

namespace hx_test {

inline uint64_t Fnv1a(const unsigned char* data, size_t size) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 1099511628211ull;
  }
  return h;
}

// Milliseconds that only move when the test says so.
class SteppedClock {
 public:
  explicit SteppedClock(int64_t start = 1000) : now_(start) {}
  int64_t operator()() const { return now_.load(); }
  void Set(int64_t ms) { now_.store(ms); }
  void Step(int64_t ms) { now_.fetch_add(ms); }
  std::function<int64_t()> Source() {
    return [this] { return now_.load(); };
  }

 private:
  std::atomic<int64_t> now_;
};

// Answers the synchroniser's audio-delay request with what the test set.
class AudioDelayAnswer {
 public:
  explicit AudioDelayAnswer(int ms = 0) : ms_(ms) {}
  void Set(int ms) { ms_.store(ms); }
  void OnAudioRequestTotalBuffDurr(int& total, int& second) {
    total = ms_.load();
    second = 0;
    requests_.fetch_add(1);
  }
  int Requests() const { return requests_.load(); }

 private:
  std::atomic<int> ms_;
  std::atomic<int> requests_{0};
};

struct PaintedPicture {
  unsigned long size = 0;
  unsigned width = 0;
  unsigned height = 0;
  uint32_t value = 0;
  uint64_t checksum = 0;
  std::thread::id thread;
  int64_t paintedAt = 0;
  int64_t due = 0;
};

class RecordingRenderer : public HXVideoRenderBase {
 public:
  // `clock` stamps each paint (the core's tick when empty); `due` (optional) is asked, on the
  // painting thread, for the due time of the picture being painted.
  explicit RecordingRenderer(std::function<int64_t()> clock = {}, std::function<int64_t()> due = {})
      : clock_(std::move(clock)), due_(std::move(due)) {
    m_videoEnabled.store(true);
  }

  void OnPaint(const unsigned char* picture, unsigned long size, unsigned width, unsigned height,
               uint32_t value) override {
    PaintedPicture p;
    p.size = size;
    p.width = width;
    p.height = height;
    p.value = value;
    p.checksum = Fnv1a(picture, size);
    p.thread = std::this_thread::get_id();
    p.paintedAt = clock_ ? clock_() : hx::GetTickCount();
    p.due = due_ ? due_() : 0;
    std::unique_lock<std::mutex> lock(mutex_);
    pictures_.push_back(p);
    changed_.notify_all();
    if (hold_) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !hold_; });
      held_ = false;
    }
  }

  std::vector<PaintedPicture> Pictures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_.size();
  }
  // True when at least n pictures were painted within ms milliseconds.
  bool WaitForCount(size_t n, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return pictures_.size() >= n; });
  }
  // The next paint blocks inside OnPaint until Release.
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  // True once a paint is blocked.
  bool WaitUntilHeld(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }

 private:
  std::function<int64_t()> clock_;
  std::function<int64_t()> due_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PaintedPicture> pictures_;
  bool hold_ = false;
  bool held_ = false;
};

}  // namespace hx_test
