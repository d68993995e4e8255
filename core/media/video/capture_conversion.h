#pragma once
// HX_VideoCaptureConversion: turns one raw camera picture into the I420 picture the send stream
// wants. It converts the pixel format, turns the picture (through a toolbox that can), builds or
// takes apart stereo pictures (two views stacked in each plane) and scales to the send size.
//
// The work is planned once per change of input mode, rotation or send format (work flags,
// intermediate buffers A and B, plane pointers); each frame then only runs the planned stages and
// refreshes the plane pointers, so a steady stream allocates nothing. The pixel work is done by an
// HX_VideoProcessingBase that the conversion is given and does not own (it must outlive the
// conversion).
//
// Stereo picture of views w x h: left Y at 0, right Y at w*h; left U at 2wh, right U at 9/4 wh;
// left V at 5/2 wh, right V at 11/4 wh.
//
// Not thread-safe: one object per picture stream, used from one thread at a time.

#include <cstdint>

#include "core/media/video/capture_mode.h"
#include "core/media/video/video_processing.h"
#include "core/wire/media_format.h"

class HX_VideoCaptureConversion {
 public:
  // State flags.
  enum : uint32_t { kHasProcessing = 1, kHasReceiveFormat = 2, kHasSendFormat = 4 };
  // Work flags.
  enum : uint32_t {
    kColourConversion = 0x01,
    kExtraPass = 0x02,
    kResample = 0x04,
    kStereoInput = 0x08,
    kStereoOutput = 0x10,
    kPassThrough = 0x20,
    kRotation = 0x40,
  };

  explicit HX_VideoCaptureConversion(HX_VideoProcessingBase* processing);
  virtual ~HX_VideoCaptureConversion();
  HX_VideoCaptureConversion(const HX_VideoCaptureConversion&) = delete;
  HX_VideoCaptureConversion& operator=(const HX_VideoCaptureConversion&) = delete;

  HX_VideoProcessingBase* processing() const { return m_processing; }

  // Sets the send format (null clears it and releases the plan). With quarterTurn the input must
  // arrive with width and height exchanged to go out unscaled. A stereo format's height counts
  // both views; the conversion keeps the height of one. Returns the state flags.
  uint32_t SetSendFormat(HX_MediaFormat* format, bool quarterTurn);
  // When false, a turned picture is always scaled back to the send size.
  void SetCanSendDynFormat(bool can) { m_canSendDynFormat = can; }
  // Frees the intermediate buffers and forgets the planned input.
  void Release();
  // Plans for an input mode and rotation (anew only when they changed) and points the stages at
  // `destination`. Returns the state flags.
  uint32_t SetReceiveFormat(HX_CaptureMode* mode, hx_processing_defs::eRotateMode rotate,
                            unsigned char* destination);
  // Converts one frame of `size` bytes into `destination`, which holds the send picture
  // (views x width x height x 3 / 2 bytes). False when not ready (no send format), when a step
  // fails, when the source is shorter than its mode needs, or when a pass-through frame is larger
  // than the send picture.
  bool Process(const unsigned char* source, int size, unsigned char* destination, bool contentFlag,
               HX_CaptureMode* mode, hx_processing_defs::eRotateMode rotate,
               hx_capture_defs::eProcessingCapture capture);
  // Builds or takes apart stereo pictures; send width and height describe one view.
  bool ProcessStereo(const unsigned char* source, int width, int height, int inViews,
                     unsigned char* destination, int sendWidth, int sendHeight, int outViews);

  uint32_t state() const { return m_state; }
  uint32_t workFlags() const { return m_work; }
  const HX_MediaFormat& sendFormat() const { return m_sendFormat; }
  const HX_MediaFormat& turnedSendFormat() const { return m_turnedFormat; }
  // Buffers allocated since construction (A and B), for tests of the plan cache.
  uint64_t allocationCount() const { return m_allocations; }

 private:
  uint64_t SendPictureBytes() const;

  HX_VideoProcessingBase* m_processing;
  uint32_t m_state = 0;
  uint32_t m_work = 0;
  hx_processing_defs::eResamplingMode m_resamplingMode = hx_processing_defs::eInscribe;
  hx_processing_defs::eRotateMode m_rotate = hx_processing_defs::eRotateNone;
  HX_MediaFormat m_sendFormat;
  HX_MediaFormat m_turnedFormat;
  HX_CaptureMode m_input;
  bool m_canSendDynFormat = true;
  unsigned char* m_bufferA = nullptr;
  unsigned char* m_bufferB = nullptr;
  unsigned char* m_conversionTarget = nullptr;
  unsigned char* m_extraOutput = nullptr;
  unsigned char* m_finalOutput = nullptr;
  uint64_t m_allocations = 0;
};
