#pragma once
// HX_VideoFrameAssembler joins the parts of a video frame received over a TCP media connection
// into one contiguous frame that starts with the 5-byte HX_RecvNhpVideoHeader, as the receive-side
// synchroniser and the decoder front-end take it.
//
// A part (the payload of one TCP video frame record, n bytes) is a chunk of n - 3 bytes and a
// 3-byte trailer: parts left after this one, parts of the frame minus one, frame counter (mod 256).
// The first part of a frame (parts left = parts minus one) starts with 1 for a key frame (0
// otherwise) and the 32-bit little-endian interval since the previous frame; the bitstream
// follows. The TCP writer (HX_CommitFrameVideo) sends chunk and trailer only: the scalability
// descriptor stays off TCP, so the trailer is always the last three bytes.
//
// Losses: a part with an unexpected counter or position, a part that does not start a frame
// where one must start, a delta frame that starts while waiting for a key frame, and a part too
// short for its trailer (or a first part too short for header and trailer) drop the frame in
// progress; nothing is assembled again until a key frame starts. The caller is asked for a key
// frame on the first refused part while waiting and on every 16th after it. Nothing outside a
// part is read.
//
// Picture size: a key frame whose bitstream announces a new size (the stream probe) replaces the
// buffer by a black I420 picture of that size; a size of 0 or above HX_MaxPeerPictureSide is not
// used, as for a key frame whose size cannot be probed. Until a size is known (Reset with a size,
// or such a key frame) no frame is assembled.
//
// Thread safety: none. The receive stream's network thread owns it.

#include <cstdint>
#include <memory>

#include "core/media/video/recv_video_header.h"

class HX_VideoFrameAssembler {
 public:
  HX_VideoFrameAssembler();
  virtual ~HX_VideoFrameAssembler();
  HX_VideoFrameAssembler(const HX_VideoFrameAssembler&) = delete;
  HX_VideoFrameAssembler& operator=(const HX_VideoFrameAssembler&) = delete;

  // Adds one part of `length` bytes. True when a frame has just been completed (see getFrame).
  // `keyFrameNeeded` is set when the caller should ask the sender for a key frame.
  bool PushFrame(const uint8_t* part, uint16_t length, bool& keyFrameNeeded);

  // The completed frame: the buffer, its length (header included), the time value, the header
  // (the buffer's start) and whether it is a key frame (byte 0 is 0). Valid until the next
  // PushFrame or Reset. Before the first completed frame: null, 0, 0, null, false.
  void getFrame(const uint8_t*& data, uint64_t& length, uint32_t& time,
                const HX_RecvNhpVideoHeader*& header, bool& keyFrame) const;

  // Waiting flag := wait; the next part must start a frame; the frame in progress is dropped.
  void Reset(bool wait);
  // With restart: waiting for a key frame, the frame in progress dropped, counters 0. A side of 0
  // or above HX_MaxPeerPictureSide clears the size (nothing is assembled until one is known
  // again); the current size changes nothing more; another size replaces the buffer by a black
  // I420 picture of that size (width x height bytes of 0, the rest 128).
  void Reset(uint64_t width, uint64_t height, bool restart);

  // For diagnostics and tests.
  bool IsReady() const { return m_ready; }
  bool IsWaitingForKeyFrame() const { return m_waitKeyFrame; }
  uint64_t Width() const { return m_width; }
  uint64_t Height() const { return m_height; }
  uint64_t Capacity() const { return m_capacity; }
  // The first bytes of the buffer, whatever their state (the black picture after a resize).
  const uint8_t* Buffer() const { return m_buffer.get(); }

 private:
  // A loss: drop the frame in progress and wait for a key frame.
  void Drop();
  // A part refused while waiting: asks for a key frame on the first and every 16th.
  void Refuse(bool& keyFrameNeeded);
  bool Append(const uint8_t* chunk, uint64_t size);

  bool m_waitKeyFrame = true;
  bool m_frameStart = true;
  uint8_t m_dropped = 0;
  uint8_t m_expectedCounter = 0;
  uint8_t m_partsExpected = 0;
  bool m_key = false;  // the frame being assembled is a key frame
  uint32_t m_time = 0;
  std::unique_ptr<uint8_t[]> m_buffer;
  uint64_t m_length = 0;
  uint64_t m_capacity = 0;
  bool m_ready = false;
  bool m_complete = false;  // m_length bytes hold a completed frame
  uint64_t m_width = 0;
  uint64_t m_height = 0;
};
