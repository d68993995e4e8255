#include "core/media/video/capture_slot_file.h"

HX_CaptureSlotFile::HX_CaptureSlotFile(unsigned long size)
    : m_frame(size > 0 ? new unsigned char[size] : nullptr), m_frameSize(size) {}

HX_CaptureSlotFile::HX_CaptureSlotFile(const char*, unsigned long size) : HX_CaptureSlotFile(size) {}

void HX_CaptureSlotFile::Stamp(unsigned long timeMs, bool keyFrame) {
  m_header.frameType = keyFrame ? 0 : 1;
  m_header.timestamp = static_cast<uint32_t>(timeMs);
  // A time before the previous one wraps to a large difference and so counts as a long gap.
  const uint32_t interval = static_cast<uint32_t>(static_cast<uint64_t>(timeMs) - m_previousTime);
  m_header.frameInterval = interval < 1000 ? interval : 1000;
}

void HX_CaptureSlotFile::AddFrame(const unsigned char* data, unsigned long size,
                                  unsigned long timeMs, bool keyFrame) {
  Stamp(timeMs, keyFrame);
  m_header.frameCounter = static_cast<uint8_t>(m_frameCounter + 1);
  bool accepted = false;
  RawFrameSignal.Emit(data, size, m_header, accepted);
  if (accepted) {
    m_frameCounter = m_header.frameCounter;
    m_previousTime = timeMs;
  }
}

void HX_CaptureSlotFile::AddEncodedFrame(const unsigned char* data, unsigned long size,
                                         unsigned long timeMs, bool keyFrame) {
  Stamp(timeMs, keyFrame);
  m_header.frameCounter = m_frameCounter++;
  m_previousTime = timeMs;
  EncodedFrameSignal.Emit(data, size, m_header);
}

int HX_CaptureSlotFile::Reset() {
  m_header = HX_SendNhpVideoHeader();
  m_header.frameType = 0;
  m_previousTime = 0;
  return 0;
}
