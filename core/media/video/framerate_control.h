#pragma once
// Frame-rate control of the capture path, and the pixel-format helpers of capture modes.
//
// HX_CapturerFramerateCalc measures a frame rate from frame times (milliseconds) over the last
// one and a half seconds. HX_CapturerFramerateAnalyser thins a camera's frame rate to the codec's
// by keeping one frame in `factor`, and measures the rate of the frames it keeps.
//
// Rates are hundredths of a frame per second (3000 is 30 frames per second).
//
// Thread safety: none; each object belongs to its capture slot's capture thread.

#include <cstdint>
#include <deque>
#include <string>

#include "core/media/video/video_processing_defs.h"

class HX_CapturerFramerateCalc {
 public:
  // Appends a frame time.
  void SnapFramerate(unsigned long long timeMs) { times_.push_back(timeMs); }
  void CleanFramerate() { times_.clear(); }
  // With at least two frame times and `nowMs` after the oldest: rate = 100 x the whole number of
  // frames per second over (count - 1) intervals since the oldest (rounded; at least 100), then the
  // times 1500 ms or more before `nowMs` are dropped; true. Otherwise false, rate untouched.
  bool GetFramerate(unsigned long long nowMs, unsigned long& rate);

 protected:
  std::deque<unsigned long long> times_;
};

class HX_CapturerFramerateAnalyser : public HX_CapturerFramerateCalc {
 public:
  // Answers whether to skip this frame. `frameTime` is the capture time in 100-nanosecond units;
  // the decimation restarts (ResetDecimate) when the rates differ from those set up or when more
  // than three capture intervals passed since the last frame. Kept frames feed the measurement;
  // `measured` receives the measured rate of the kept frames (the target rate right after a reset).
  bool DecimateFramerate(unsigned long long nowMs, long long frameTime, unsigned long captureFps,
                         unsigned long targetFps, unsigned long& measured);
  // Sets up the decimation: the factor f ≥ 1 that brings captureFps / f nearest to targetFps
  // (factor 1 below one frame per second); a new factor restarts the frame counter.
  void ResetDecimate(unsigned long captureFps, unsigned long targetFps);

  long long factor() const { return factor_; }

 private:
  long long last_frame_time_ = 0;  // 100 ns
  long long capture_fps_ = 500;
  long long target_fps_ = 500;
  long long measured_fps_ = 500;
  long long factor_ = 1;
  long long counter_ = 0;
};

// "I420" 0, "YV12" 1, "NV21" 2, "NV12" 3, "NV16" 4, "YUY2" 5 (four characters in memory order,
// the first in the low byte); any other code -1.
hx_processing_defs::eProcessingPixelFormat convertFourcc2Format(unsigned fourcc);
// Pixel formats 6, 8, 9 and 10.
bool isHardwareEncodeStream(hx_processing_defs::eProcessingPixelFormat format);
// The hardware formats and MJPEG (20).
bool isCompressedStream(hx_processing_defs::eProcessingPixelFormat format);
// Pixel formats 22 and 23.
bool isStereoStream(hx_processing_defs::eProcessingPixelFormat format);
// Names are not kept by this system: an empty string and "Unknown".
std::string convertStreamFormat2Name(unsigned format);
std::string convertPixelFormat2Name(hx_processing_defs::eProcessingPixelFormat format);
