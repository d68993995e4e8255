#include "core/media/video/framerate_control.h"

#include <cmath>

using hx_processing_defs::eProcessingPixelFormat;

bool HX_CapturerFramerateCalc::GetFramerate(unsigned long long nowMs, unsigned long& rate) {
  if (times_.size() < 2 || nowMs == times_.front()) return false;
  const double span = static_cast<double>(nowMs - times_.front());
  const double fps = static_cast<double>(times_.size() - 1) * 1000.0 / span;
  rate = 100 * static_cast<unsigned long>(fps + 0.5);
  if (rate == 0) rate = 100;
  while (!times_.empty() && nowMs - times_.front() >= 1500) times_.pop_front();
  return true;
}

bool HX_CapturerFramerateAnalyser::DecimateFramerate(unsigned long long nowMs, long long frameTime,
                                                     unsigned long captureFps,
                                                     unsigned long targetFps,
                                                     unsigned long& measured) {
  const long long gap =
      captureFps != 0 ? 3 * (1000000000LL / static_cast<long long>(captureFps)) : 3000000000LL;
  if (frameTime - last_frame_time_ > gap || static_cast<long long>(captureFps) != capture_fps_ ||
      static_cast<long long>(targetFps) != target_fps_) {
    ResetDecimate(captureFps, targetFps);
  }
  const bool skip = counter_ % factor_ != 0;
  ++counter_;
  last_frame_time_ = frameTime;
  if (!skip) SnapFramerate(nowMs);
  unsigned long rate = static_cast<unsigned long>(measured_fps_);
  if (GetFramerate(nowMs, rate)) measured_fps_ = static_cast<long long>(rate);
  measured = static_cast<unsigned long>(measured_fps_);
  return skip;
}

void HX_CapturerFramerateAnalyser::ResetDecimate(unsigned long captureFps,
                                                 unsigned long targetFps) {
  factor_ = 1;
  capture_fps_ = static_cast<long long>(captureFps);
  target_fps_ = static_cast<long long>(targetFps);
  measured_fps_ = static_cast<long long>(targetFps);
  if (captureFps < 100) return;
  long long best = 1;
  float bestDistance = -1;
  for (long long f = 1;; ++f) {
    const float q = static_cast<float>(captureFps) / static_cast<float>(f);
    const float distance = std::fabs(q - static_cast<float>(targetFps));
    if (bestDistance < 0 || distance < bestDistance) {
      bestDistance = distance;
      best = f;
    }
    if (q < 100) break;
  }
  // Starting the count afresh keeps the first frame after the reset (a pause, a new rate).
  if (best != factor_) {
    factor_ = best;
    counter_ = 0;
  }
}

namespace {
constexpr unsigned Fourcc(const char (&s)[5]) {
  return static_cast<unsigned>(static_cast<unsigned char>(s[0])) |
         static_cast<unsigned>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<unsigned>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<unsigned>(static_cast<unsigned char>(s[3])) << 24;
}
}  // namespace

eProcessingPixelFormat convertFourcc2Format(unsigned fourcc) {
  switch (fourcc) {
    case Fourcc("I420"):
      return hx_processing_defs::eI420;
    case Fourcc("YV12"):
      return hx_processing_defs::eYV12;
    case Fourcc("NV21"):
      return hx_processing_defs::eNV21;
    case Fourcc("NV12"):
      return hx_processing_defs::eNV12;
    case Fourcc("NV16"):
      return hx_processing_defs::eNV16;
    case Fourcc("YUY2"):
      return hx_processing_defs::eYUY2;
    default:
      return static_cast<eProcessingPixelFormat>(-1);
  }
}

bool isHardwareEncodeStream(eProcessingPixelFormat format) {
  return format == 6 || format == 8 || format == 9 || format == 10;
}

bool isCompressedStream(eProcessingPixelFormat format) {
  return isHardwareEncodeStream(format) || format == 20;
}

bool isStereoStream(eProcessingPixelFormat format) { return format == 22 || format == 23; }

std::string convertStreamFormat2Name(unsigned) { return std::string(); }

std::string convertPixelFormat2Name(eProcessingPixelFormat) { return "Unknown"; }
