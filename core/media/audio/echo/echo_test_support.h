#pragma once
// Test support for the echo-delay measurement: a processing module that hands the detector the
// rendered audio as the far end, sample for sample beside the captured audio (what a real
// module's alignment provides: both streams counted from the same device block), counting and
// recording what the connector asks of it.
#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "core/media/audio/audio_processing.h"

namespace hx_echo_test {

class SeamProcessing : public HX_AudioProcessingStub {
 public:
  explicit SeamProcessing(bool farEndIsRendered) : far_end_is_rendered_(farEndIsRendered) {}
  int Init(unsigned rate, int options) override {
    init_rate = rate;
    init_options = options;
    inits.fetch_add(1);
    return 0;
  }
  bool ProcessRenderAudio(const short* s, unsigned long count, float, int) override {
    std::lock_guard<std::mutex> l(mutex_);
    rendered_.insert(rendered_.end(), s, s + count);
    if (rendered_.size() > 16000 * 10)
      rendered_.erase(rendered_.begin(), rendered_.begin() + count);
    render_blocks.fetch_add(1);
    return true;
  }
  int ProcessCaptureAudio(short* input, short*& output, short*& captured, short*& rendered,
                          unsigned long count, float, int, bool skip, bool probe) override {
    output = input;
    captured = input;
    rendered = input;
    if (far_end_is_rendered_) {
      std::lock_guard<std::mutex> l(mutex_);
      far_.assign(count, 0);
      const size_t n = std::min<size_t>(count, rendered_.size());
      std::copy(rendered_.begin(), rendered_.begin() + n, far_.begin());
      rendered_.erase(rendered_.begin(), rendered_.begin() + n);
      rendered = far_.data();
    }
    capture_blocks.fetch_add(1);
    if (skip) skipped.fetch_add(1);
    if (probe) probe_blocks.fetch_add(1);
    return static_cast<int>(count);
  }
  void SetOption(int option, bool enable) override {
    if (option == 0x10) echo_canceller.store(enable);
    if (option == 0x02) gain_control.store(enable);
  }
  float GetRmsLevel() override { return rms.load(); }
  float GetMicLevel() override { return mic.load(); }
  void SetMicLevel(int level) override { mic_set.store(level); }
  void SetEchoOffset(int ms) override { echo_offset.store(ms); }
  int GetEchoOffset() override { return echo_offset.load(); }
  void ResetCapture() override { resets.fetch_add(1); }

  std::atomic<unsigned> init_rate{0};
  std::atomic<int> init_options{-1}, inits{0}, resets{0}, mic_set{0};
  std::atomic<int> render_blocks{0}, capture_blocks{0}, skipped{0}, probe_blocks{0};
  std::atomic<bool> echo_canceller{false}, gain_control{false};
  std::atomic<float> rms{-1.0f}, mic{-1.0f};
  std::atomic<int> echo_offset{0};

 private:
  const bool far_end_is_rendered_;
  std::mutex mutex_;
  std::deque<short> rendered_;  // rendered, not yet handed out
  std::vector<short> far_;      // capture thread only
};

class SeamFactory : public HX_AudioProcessingFactory {
 public:
  explicit SeamFactory(bool farEndIsRendered) : far_end_is_rendered_(farEndIsRendered) {}
  HX_AudioProcessingBase* CreateAudioProcessing() override {
    return new SeamProcessing(far_end_is_rendered_);
  }

 private:
  const bool far_end_is_rendered_;
};

}  // namespace hx_echo_test
