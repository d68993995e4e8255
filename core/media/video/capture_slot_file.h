#pragma once
// HX_CaptureSlotFile: the stage between a finished capture picture and the video encoder. It
// stamps each frame with a send header (frame counter, frame type, capture time and the interval
// since the previous frame, at most 1000 ms) and hands frame and header on through a signal.
//
// Raw frames (AddFrame) go out through RawFrameSignal with an `accepted` flag that starts false;
// only when a receiver sets it (the encoder produced output) do the counter and the previous
// frame's time advance, so a frame nobody took is not counted. Already encoded frames
// (AddEncodedFrame) go out through EncodedFrameSignal and always count.
//
// The counter starts at 0: the first accepted raw frame carries 1, the first encoded frame 0.
//
// The slot holds a frame buffer of the size it was made with (one picture of the send format),
// uninitialised; a size of 0 leaves it empty.
//
// Not thread-safe: one thread (the one delivering capture frames to the send stream) calls in, and
// the signals are emitted on it.

#include <cstdint>
#include <memory>

#include "core/base/signal.h"
#include "core/streams/send_video_header.h"

class HX_CaptureSlotFile {
 public:
  // `size`: the bytes of the frame buffer. The name is not used (kept for the creators' calls).
  explicit HX_CaptureSlotFile(unsigned long size);
  HX_CaptureSlotFile(const char* name, unsigned long size);
  HX_CaptureSlotFile(const HX_CaptureSlotFile&) = delete;
  HX_CaptureSlotFile& operator=(const HX_CaptureSlotFile&) = delete;

  // (data, size, header, accepted)
  hx::Signal4<const unsigned char*, unsigned long, const HX_SendNhpVideoHeader&, bool&>
      RawFrameSignal;
  // (data, size, header)
  hx::Signal3<const unsigned char*, unsigned long, const HX_SendNhpVideoHeader&> EncodedFrameSignal;

  void AddFrame(const unsigned char* data, unsigned long size, unsigned long timeMs, bool keyFrame);
  void AddEncodedFrame(const unsigned char* data, unsigned long size, unsigned long timeMs,
                       bool keyFrame);
  // Clears the header and the previous frame's time; the counter keeps its value. Answers 0.
  int Reset();

  const HX_SendNhpVideoHeader& header() const { return m_header; }
  uint8_t frameCounter() const { return m_frameCounter; }
  unsigned char* frameBuffer() { return m_frame.get(); }
  unsigned long frameBufferSize() const { return m_frameSize; }

 private:
  void Stamp(unsigned long timeMs, bool keyFrame);

  std::unique_ptr<unsigned char[]> m_frame;
  unsigned long m_frameSize = 0;
  HX_SendNhpVideoHeader m_header;
  uint8_t m_frameCounter = 0;
  uint64_t m_previousTime = 0;
};
