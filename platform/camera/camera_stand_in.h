#pragma once
// The camera stand-in: what a device camera would deliver, made on Linux from a moving-pattern
// generator or a raw I420 file. It runs a capture thread of its own that hands one packed I420
// picture (luma, then U, then V, each chroma plane half width and half height) to the frame
// callback per period of the set frame rate, with the capture time in milliseconds of a steady
// clock and the frame rate in hundredths of a frame per second.
//
// The mode (size and rate) can change while it runs; the next picture takes it. A file source
// holds pictures of the size it was opened with: a mode of another size changes only the rate.
// The pattern is a function of the frame index alone (MovingPattern), so a receiver can rebuild
// the picture a frame was made from.
//
// Threads: every method may be called from any thread. The callback runs on the capture thread;
// Stop returns once no callback runs any more (called from inside the callback, it only asks the
// thread to end).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::platform {

class CameraStandIn {
 public:
  // (picture, bytes, width, height, capture time in ms, frame rate x 100)
  using FrameCallback = std::function<void(const uint8_t*, int, int, int, int64_t, int)>;

  struct Mode {
    int width = 640;
    int height = 360;
    int fps100 = 3000;
  };

  CameraStandIn();
  ~CameraStandIn();
  CameraStandIn(const CameraStandIn&) = delete;
  CameraStandIn& operator=(const CameraStandIn&) = delete;

  // Set before Start.
  void SetCallback(FrameCallback callback);
  // Sizes are even, 2 to 8192; rates 100 to 12000. False (nothing changed) otherwise.
  bool SetMode(const Mode& mode);
  Mode GetMode() const;
  // The moving pattern (the default source).
  void UsePattern();
  // Raw I420 pictures of width x height, read whole; played in a loop. False when the file cannot
  // be read, the size is not a mode size, or the file holds no whole picture.
  bool UseFile(const std::string& path, int width, int height);

  bool Start();
  void Stop();
  bool IsRunning() const { return running_.load(); }
  uint64_t FramesDelivered() const { return delivered_.load(); }

  // Writes picture `index` of the moving pattern (width x height x 3 / 2 bytes): a smooth diagonal
  // luma wave and a bright square that move with the index, chroma that varies slowly.
  static void MovingPattern(uint64_t index, int width, int height, uint8_t* out);

 private:
  void Loop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  FrameCallback callback_;
  Mode mode_;
  bool use_file_ = false;
  int file_width_ = 0;
  int file_height_ = 0;
  std::vector<uint8_t> file_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  bool stop_ = false;
  std::atomic<uint64_t> delivered_{0};
};

}  // namespace hx::platform
