#include "core/media/video/codec/video_codec.h"

VideoCodecBase::VideoCodecBase(uint32_t fcc, bool coder) : coder_(coder), fcc_(fcc) {}

VideoCodecBase::~VideoCodecBase() = default;

int VideoCodecBase::convert(const unsigned char* input, unsigned char* output,
                            HX_VideoCodecParam& param) {
  updateBiterate();
  return _convert(input, output, param);
}

bool VideoCodecBase::updateBiterate() {
  if (!coder_) return true;
  // Read once: another thread may store a newer request meanwhile, which the next picture sees.
  const uint32_t requested = requested_.load(std::memory_order_relaxed);
  if (requested == applied_) return true;
  if (!_setBitrate(requested)) return false;
  applied_ = requested;
  return true;
}

bool VideoCodecBase::setBitrate(uint32_t bitrate) {
  requested_.store(bitrate, std::memory_order_relaxed);
  return true;
}

void VideoCodecBase::reset() {
  applied_ = 0;
  requested_.store(kInitialBitrate, std::memory_order_relaxed);
  frame_counter_ = 0;
}
