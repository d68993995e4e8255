#include "core/media/video/capture_conversion.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace hx_processing_defs;

namespace {

bool NoColourConversion(eProcessingPixelFormat f) {
  return f == eI420 || f == eI420_2 || f == eStereoI420;
}
bool IsPassThrough(eProcessingPixelFormat f) {
  return f == eHardware6 || f == eHardware8 || f == eHardware9 || f == eHardware10;
}
bool IsStereoInput(eProcessingPixelFormat f) { return f == eStereoYUY2 || f == eStereoI420; }

int64_t PictureBytes(int64_t views, int64_t w, int64_t h) { return views * w * h * 3 / 2; }

}  // namespace

HX_VideoCaptureConversion::HX_VideoCaptureConversion(HX_VideoProcessingBase* processing)
    : m_processing(processing) {
  m_sendFormat.Clear();
  m_turnedFormat.Clear();
  m_state = processing != nullptr ? kHasProcessing : 0;
}

HX_VideoCaptureConversion::~HX_VideoCaptureConversion() {
  SetSendFormat(nullptr, false);
  Release();
  m_input.frameRates.clear();
}

uint32_t HX_VideoCaptureConversion::SetSendFormat(HX_MediaFormat* format, bool quarterTurn) {
  if (m_processing == nullptr) return m_state;
  if (format != nullptr) {
    m_sendFormat = *format;
    m_turnedFormat = *format;
    if (quarterTurn) {
      m_turnedFormat.width = format->height;
      m_turnedFormat.height = format->width;
    }
    if (format->stereo != 0) {
      m_sendFormat.height >>= 1;
      m_turnedFormat.height >>= 1;
    }
    m_state |= kHasSendFormat;
  } else if (m_state & kHasSendFormat) {
    Release();
    m_sendFormat.Clear();
    m_turnedFormat.Clear();
    m_canSendDynFormat = true;
    m_state &= ~kHasSendFormat;
  }
  return m_state;
}

void HX_VideoCaptureConversion::Release() {
  // Buffers are freed whatever the flags say: a plan that failed half-way may hold one.
  delete[] m_bufferA;
  delete[] m_bufferB;
  m_bufferA = m_bufferB = nullptr;
  m_conversionTarget = m_extraOutput = m_finalOutput = nullptr;
  m_work = 0;
  m_rotate = eRotateNone;
  m_input = HX_CaptureMode{};
}

uint32_t HX_VideoCaptureConversion::SetReceiveFormat(HX_CaptureMode* mode, eRotateMode rotate,
                                                     unsigned char* destination) {
  if (m_processing == nullptr) return m_state;
  if (mode == nullptr || !(m_state & kHasSendFormat) || mode->width <= 0 || mode->height <= 0) {
    if (m_state & kHasReceiveFormat) {
      Release();
      m_state &= ~kHasReceiveFormat;
    }
    return m_state;
  }
  if (!(m_state & kHasReceiveFormat) || mode->width != m_input.width ||
      mode->height != m_input.height || mode->extraPass != m_input.extraPass ||
      mode->pixelFormat != m_input.pixelFormat || rotate != m_rotate) {
    if (m_state & kHasReceiveFormat) Release();
    m_state &= ~kHasReceiveFormat;
    const eProcessingPixelFormat f = mode->pixelFormat;
    const int views = IsStereoInput(f) ? 2 : 1;
    uint32_t work = 0;
    if (!NoColourConversion(f) && !IsPassThrough(f)) {
      work |= kColourConversion;
      if (rotate != eRotateNone) work |= kRotation;
    } else if (rotate != eRotateNone && !IsPassThrough(f)) {
      work |= kRotation;
    }
    const uint64_t bytes = PictureBytes(views, mode->width, mode->height);
    bool ok = true;
    if (work & (kColourConversion | kRotation)) {
      m_bufferA = new (std::nothrow) unsigned char[bytes];
      ++m_allocations;
      ok = m_bufferA != nullptr;
      m_conversionTarget = m_bufferA;
    }
    if (ok && mode->extraPass != 0) {
      work |= kExtraPass;
      m_bufferB = new (std::nothrow) unsigned char[bytes];
      ++m_allocations;
      ok = m_bufferB != nullptr;
      m_extraOutput = m_bufferB;
    }
    if (IsPassThrough(f)) work |= kPassThrough;
    if (IsStereoInput(f)) work |= kStereoInput;
    if (!ok) {
      Release();
      return m_state;
    }
    m_work = work;
    m_input = *mode;
    m_rotate = rotate;
    m_state |= kHasReceiveFormat;
  }
  if (m_sendFormat.stereo != 0) {
    m_work |= kStereoOutput;
  } else {
    m_work &= ~kStereoOutput;
  }
  const bool turned = (m_work & kRotation) != 0;
  if (m_turnedFormat.width != static_cast<uint32_t>(m_input.width) ||
      m_turnedFormat.height != static_cast<uint32_t>(m_input.height) ||
      (turned && !m_canSendDynFormat)) {
    m_work |= kResample;
  } else {
    m_work &= ~kResample;
  }
  // Plane pointers for this frame: the destination may move from frame to frame.
  const uint32_t converting = m_work & (kColourConversion | kRotation);
  const uint32_t stereo = m_work & (kStereoInput | kStereoOutput);
  if (m_work == 0 || (m_work & kPassThrough)) {
    // nothing to point at
  } else if (m_work & kResample) {
    m_finalOutput = destination;
    if (converting) m_conversionTarget = m_bufferA;
  } else if (m_work & kExtraPass) {
    m_extraOutput = destination;
  } else if (converting) {
    if (stereo == 0) {
      m_conversionTarget = destination;
    } else if (stereo == kStereoInput) {
      m_conversionTarget = m_bufferA;
      m_finalOutput = destination;
    } else {
      m_conversionTarget = m_bufferA;
      m_finalOutput = destination;
    }
  } else {
    m_finalOutput = destination;
  }
  return m_state;
}

uint64_t HX_VideoCaptureConversion::SendPictureBytes() const {
  const int views = m_sendFormat.stereo != 0 ? 2 : 1;
  return PictureBytes(views, m_sendFormat.width, m_sendFormat.height);
}

bool HX_VideoCaptureConversion::Process(const unsigned char* source, int size,
                                        unsigned char* destination, bool contentFlag,
                                        HX_CaptureMode* mode, eRotateMode rotate,
                                        hx_capture_defs::eProcessingCapture capture) {
  if (source == nullptr || destination == nullptr || size < 0) return false;
  if (SetReceiveFormat(mode, rotate, destination) !=
      (kHasProcessing | kHasReceiveFormat | kHasSendFormat)) {
    return false;
  }
  const uint64_t sendBytes = SendPictureBytes();
  if (m_work == 0 || (m_work & kPassThrough)) {
    // The destination holds the send picture and no more: a larger encoded frame is refused,
    // a larger raw one is cut to the picture.
    if ((m_work & kPassThrough) && static_cast<uint64_t>(size) > sendBytes) return false;
    std::memcpy(destination, source, std::min<uint64_t>(size, sendBytes));
    return true;
  }
  int w = m_input.width;
  int h = m_input.height;
  const int inViews = (m_work & kStereoInput) ? 2 : 1;
  const int outViews = (m_work & kStereoOutput) ? 2 : 1;
  const eProcessingPixelFormat format = m_input.pixelFormat;
  if (!(m_work & kColourConversion) &&
      static_cast<uint64_t>(size) < static_cast<uint64_t>(PictureBytes(inViews, w, h))) {
    // An I420 frame shorter than its mode would be read past its end by the later stages.
    return false;
  }
  const unsigned char* current = source;
  if (m_work & (kColourConversion | kRotation)) {
    int newW = w, newH = h;
    eRotateMode turn = m_rotate;
    if (turn == eRotateQuarter || turn == eRotateThreeQuarters) {
      newW = h;
      newH = w;
      if (capture & hx_capture_defs::eCaptureSwapQuarterTurns) {
        turn = turn == eRotateQuarter ? eRotateThreeQuarters : eRotateQuarter;
      }
    }
    bool ok;
    if ((m_work & kColourConversion) && (m_work & kRotation)) {
      ok = m_processing->ConvertRotateToI420(source, static_cast<unsigned long>(size), w, h,
                                             m_conversionTarget, newW, newH, format, turn);
    } else if (m_work & kRotation) {
      ok = m_processing->RotateI420(source, w, h, m_conversionTarget, newW, newH, turn);
    } else {
      ok = m_processing->ConvertToI420(source, w, m_conversionTarget, w, w, inViews * h, format,
                                       static_cast<unsigned long>(size));
    }
    if (!ok) return false;
    current = m_conversionTarget;
    w = newW;
    h = newH;
  }
  if (m_work & kExtraPass) current = m_extraOutput;
  const int sendW = static_cast<int>(m_sendFormat.width);
  const int sendH = static_cast<int>(m_sendFormat.height);
  if (m_work & (kStereoInput | kStereoOutput)) {
    return ProcessStereo(current, w, h, inViews, m_finalOutput, sendW, sendH, outViews);
  }
  if (!(m_work & kResample)) return true;
  const eResamplingMode mode8 = contentFlag ? eInscribe : m_resamplingMode;
  return m_processing->ResampleI420(current, w, w, h, m_finalOutput, sendW, sendW, sendH, mode8);
}

namespace {

// Plane pointers of view `view` of a picture of `views` views of w x h.
template <typename T>
void ViewPlanes(T* base, int64_t w, int64_t h, int views, int view, T* planes[3]) {
  const int64_t n = w * h;
  if (views == 1) {
    planes[0] = base;
    planes[1] = base + n;
    planes[2] = base + n * 5 / 4;
    return;
  }
  planes[0] = base + view * n;
  planes[1] = base + 2 * n + view * n / 4;
  planes[2] = base + n * 5 / 2 + view * n / 4;
}

void CopyView(const unsigned char* const* from, unsigned char* const* to, int64_t n) {
  std::memcpy(to[0], from[0], n);
  std::memcpy(to[1], from[1], n / 4);
  std::memcpy(to[2], from[2], n / 4);
}

}  // namespace

bool HX_VideoCaptureConversion::ProcessStereo(const unsigned char* source, int width, int height,
                                              int inViews, unsigned char* destination,
                                              int sendWidth, int sendHeight, int outViews) {
  if (source == nullptr || destination == nullptr || m_processing == nullptr) return false;
  const bool resample = width != sendWidth || height != sendHeight;
  const int64_t n = int64_t{sendWidth} * sendHeight;
  const unsigned char* inL[3];
  const unsigned char* inR[3];
  unsigned char* outL[3];
  unsigned char* outR[3];
  ViewPlanes(source, width, height, inViews, 0, inL);
  ViewPlanes(source, width, height, inViews, inViews - 1, inR);
  ViewPlanes(destination, sendWidth, sendHeight, outViews, 0, outL);
  ViewPlanes(destination, sendWidth, sendHeight, outViews, outViews - 1, outR);
  auto scale = [&](const unsigned char** from, unsigned char** to) {
    return m_processing->ResampleStereoI420(from, width, width, height, to, sendWidth, sendWidth,
                                            sendHeight);
  };
  if (inViews == 1 && outViews == 2) {
    if (!resample) {
      CopyView(inL, outL, n);
      CopyView(inL, outR, n);
      return true;
    }
    const bool ok = scale(inL, outL);
    CopyView(outL, outR, n);
    return ok;
  }
  if (inViews == 2 && outViews == 2) {
    if (!resample) {
      CopyView(inL, outL, n);
      CopyView(inR, outR, n);
      return true;
    }
    return scale(inL, outL) && scale(inR, outR);
  }
  // Stereo in, mono out: the left view alone.
  if (!resample) {
    CopyView(inL, outL, n);
    return true;
  }
  return scale(inL, outL);
}
