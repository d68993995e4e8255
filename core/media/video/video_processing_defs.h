#pragma once
// Codes shared by the picture toolbox and the capture path: pixel formats, resampling, rotation
// and expansion modes, the bicubic scaling state, and the capture kind flags.

#include <cstdint>

namespace hx_processing_defs {

enum eProcessingPixelFormat : int32_t {
  eI420 = 0,
  eYV12 = 1,
  eNV21 = 2,
  eNV12 = 3,
  eNV16 = 4,
  eYUY2 = 5,
  eHardware6 = 6,  // hardware-encoded stream
  eNoConversion = 7,
  eHardware8 = 8,
  eHardware9 = 9,
  eHardware10 = 10,
  eYUY2_2 = 11,
  eYVYU = 12,
  eI420_2 = 13,
  eUYVY = 14,
  eUYVY_2 = 15,
  eBGRA = 16,
  eRGB24 = 17,
  eARGB = 18,
  eBGRA_2 = 19,
  eMJPG = 20,
  eYUV444 = 21,
  eStereoYUY2 = 22,
  eStereoI420 = 23,
};

enum eResamplingMode : int32_t {
  eNearest = 1,
  eBilinear = 2,
  eBicubic = 3,
  eBicubicUp2 = 4,
  eBicubicUp1d5 = 5,
  eBilinearDown8 = 6,
  eCrop = 7,
  eInscribe = 8,
};

enum eRotateMode : int32_t {
  eRotateNone = 0,
  eRotateQuarter = 1,
  eRotateHalf = 2,
  eRotateThreeQuarters = 3,
};

// Passed through to the clip/expand operation, which the base toolbox does not provide.
enum eExpandMode : int32_t {
  eExpandNone = 0,
};

}  // namespace hx_processing_defs

namespace hx_image_proc_defs {

// Taps and tables of the bicubic plane scaler (made by genTableAlloc); frees both tables.
struct resizeBicubicState {
  int32_t tapsX = 0;
  int32_t tapsY = 0;
  short* tableX = nullptr;
  short* tableY = nullptr;

  resizeBicubicState() = default;
  resizeBicubicState(const resizeBicubicState&) = delete;
  resizeBicubicState& operator=(const resizeBicubicState&) = delete;
  ~resizeBicubicState() { Free(); }
  void Free() {
    delete[] tableX;
    delete[] tableY;
    tableX = tableY = nullptr;
    tapsX = tapsY = 0;
  }
};

}  // namespace hx_image_proc_defs

namespace hx_capture_defs {

// Kind of a captured frame, a set of flags.
enum eProcessingCapture : uint32_t {
  eCaptureDefault = 0,
  // The camera's quarter turns run the other way round: 1 and 3 are exchanged.
  eCaptureSwapQuarterTurns = 0x100,
};

}  // namespace hx_capture_defs
