#pragma once
// HX_CaptureMode: what a camera delivers with each frame (or offers in its capability list): the
// raw picture's size and pixel format, a request for a second intermediate buffer, and the frame
// rates the mode offers. A plain value; copy freely.

#include <cstdint>
#include <vector>

#include "core/media/video/video_processing_defs.h"

struct HX_CaptureMode {
  int32_t width = 0;  // pixels of the raw picture
  int32_t height = 0;
  int32_t extraPass = 0;  // non-zero asks the conversion for a second intermediate buffer
  bool disabled = false;  // read in capability lists
  hx_processing_defs::eProcessingPixelFormat pixelFormat = hx_processing_defs::eI420;
  std::vector<float> frameRates;  // read in capability lists; carried along otherwise
};
