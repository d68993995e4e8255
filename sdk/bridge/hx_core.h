#pragma once
// HXCore: the SDK's core object, so far only what the platform codec factory reads of it. The
// hardware H.264 option is false until the options set it; it is read at every call, so codecs
// follow the option as it is when they are created.
//
// Thread safety: the option is an atomic; any thread may read or set it.

#include <atomic>

class HXCore {
 public:
  HXCore() = default;
  HXCore(const HXCore&) = delete;
  HXCore& operator=(const HXCore&) = delete;

  // The options' hardware H.264 codec flag.
  bool UseHwH264Codec() const { return use_hw_h264_codec_.load(std::memory_order_relaxed); }
  // Stores the options' flag (what the options record holds, not a request to switch codecs).
  void SetOptionUseHwH264Codec(bool on) {
    use_hw_h264_codec_.store(on, std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> use_hw_h264_codec_{false};
};
