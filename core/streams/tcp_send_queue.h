#pragma once
// The TCP send queue of a send stream and the receive buffer of a TCP media connection.
//
// Over TCP a stream is a sequence of stream frames: an 8-byte HX_StreamFrameHead, then its payload.
// Audio frames carry the codec bytes (track 1), commands and passed-on frames their bytes as they
// are, and a video frame goes out as parts of at most 8000 frame-data bytes, each a stream frame of
// track 2 whose payload is
//   frame data (c bytes) | parts left | last part index | frame counter
// The frame data is the video input after its first byte (the counter); in part 0 its first byte
// is 1 for a key frame and 0 otherwise and the next four the u32 frame interval. Every head carries
// the tick when the frame was built and the checksum (HX_StreamCksum) of its payload. The
// scalability descriptor of the send header stays off TCP: the receiving assembler reads the last
// three bytes of every part as its trailer, and nothing on the receive side reads the descriptor.
//
// HX_SendFrameQueueTCPv2 orders frames by the key (priority << 32) | counter: lower priority values
// first, equal values in arrival order. The send handler asks for the current frame (GetFrame),
// writes its current part and calls NextPart once the part is out; the frame is selected afresh
// for every part, so a frame with a lower key queued between two parts of a video frame goes out
// before that frame's remaining parts. Every part sent is reported to the queue's bandwidth
// control (HX_ControlBandTCP).
//
// Refused (AddFrame false, nothing queued): tracks other than 1, 2 and 254; audio under 4 bytes;
// a payload above the head's 16-bit length; a video input under the 6-byte prefix or needing more
// than 256 parts (the trailer counts parts in single bytes).
//
// Thread safety: every queue operation takes the queue's own lock (it is an HXLock); frames are
// built before the lock is taken. A frame returned by GetFrame is touched only by the send handler
// until its NextPart. The bandwidth control runs under this lock. HX_RecvFrameQueueTCPv2 is not
// thread-safe: the network loop thread owns it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "core/base/lock.h"
#include "core/base/packet_buffer.h"
#include "core/streams/nhp_send_queue.h"
#include "core/streams/send_video_header.h"
#include "core/streams/stream_clock.h"
#include "core/streams/stream_frame_head.h"

class HX_ControlBandTCP;
struct HX_MiscCommand;

inline constexpr size_t HX_TcpVideoPartSize = 8000;
inline constexpr size_t HX_TcpVideoTrailerSize = 3;
inline constexpr size_t HX_TcpVideoMaxParts = 256;
inline constexpr size_t HX_StreamFrameMaxPayload = 0xFFFF;

// One frame queued for sending: every part, heads included, back to back in one buffer.
class HX_CommitFrameBase {
 public:
  virtual ~HX_CommitFrameBase() = default;
  HX_CommitFrameBase(const HX_CommitFrameBase&) = delete;
  HX_CommitFrameBase& operator=(const HX_CommitFrameBase&) = delete;

  int Track() const { return m_track; }
  // The buffer at the offset: the head of the current part.
  const uint8_t* Buffer() const { return m_buffer.get() + m_offset; }
  // The whole buffer and its size.
  const uint8_t* Data() const { return m_buffer.get(); }
  uint64_t BufferSize() const { return m_size; }
  uint64_t BytesLeft() const { return m_size - m_offset; }
  uint64_t Offset() const { return m_offset; }
  uint64_t NumberOfParts() const { return m_parts; }
  void SetNumberOfParts(uint64_t parts) { m_parts = parts; }
  uint64_t UpdateTime() const { return m_updateTime; }
  void SetUpdateTime(uint64_t time) { m_updateTime = time; }
  bool Sent() const { return m_offset >= m_size; }
  // The current part's payload length + 8; 0 once the frame is sent.
  uint64_t CurrentPartSize() const;
  // Moves past the current part (nothing once the frame is sent).
  void NextPart();
  uint64_t PriorityKey() const { return m_priorityKey; }
  void SetPriorityKey(uint64_t key) { m_priorityKey = key; }

 protected:
  HX_CommitFrameBase(int track, uint64_t size);

  std::unique_ptr<uint8_t[]> m_buffer;
  uint64_t m_size;
  int32_t m_track;
  uint64_t m_updateTime = 0;
  uint64_t m_offset = 0;
  uint64_t m_priorityKey = 0;
  uint64_t m_parts = 0;
};

// One part, track byte 1, of `size` codec bytes (at most 65535).
class HX_CommitFrameAudio : public HX_CommitFrameBase {
 public:
  HX_CommitFrameAudio(const uint8_t* codec, size_t size, uint32_t tick);
};

// One part of `size` bytes (at most 65535) with the caller's track byte.
class HX_CommitFrameOrdinary : public HX_CommitFrameBase {
 public:
  HX_CommitFrameOrdinary(uint8_t track, const uint8_t* payload, size_t size, uint32_t tick);
};

// The parts of a video input of `size` bytes. The caller has checked it with
// HX_CommitFrameVideo::Fits; `header` may be null (interval 0). Its descriptor is not sent.
class HX_CommitFrameVideo : public HX_CommitFrameBase {
 public:
  HX_CommitFrameVideo(const uint8_t* input, size_t size, const HX_SendNhpVideoHeader* header,
                      uint32_t tick, size_t part_size = HX_TcpVideoPartSize);
  // Whether an input of `size` bytes can be sent: at least the 6-byte prefix, at most 256 parts,
  // and every part payload within 16 bits.
  static bool Fits(size_t size, size_t part_size = HX_TcpVideoPartSize);
  static uint64_t PartsFor(size_t size, size_t part_size = HX_TcpVideoPartSize);
};

class HX_SendFrameQueueTCPv2 : public HX_SendFrameQueueBase, public HXLock {
 public:
  explicit HX_SendFrameQueueTCPv2(HX_TickSource clock = HX_CoreTickSource());
  ~HX_SendFrameQueueTCPv2() override;

  // Track 1 audio (the data after its 4-byte tick prefix), 2 video, 254 command; see the refusals
  // above. Priority values are 0 to 255 (others are taken mod 256).
  bool AddFrame(int track, size_t size, const uint8_t* data, const HX_SendNhpVideoHeader* header,
                int priority) override;
  // The data as one frame of any track; false when it does not fit one head.
  bool AddOrdinaryFrame(int track, size_t size, const uint8_t* data, int priority);
  // Queues the payload behind a complete head (the caller vouches for Length() bytes after it) as
  // an ordinary frame of its track with a fresh tick and checksum: tracks 254 and 255 at priority
  // 1, 1 at 2, 2 at 3, 5 at 4, any other at 5.
  bool PostFrame(const HX_StreamFrameHead* head);
  static int PostPriority(unsigned track);

  // The frame whose current part goes out next, or null; its update time becomes now - 1.
  HX_CommitFrameBase* GetFrame();
  // Always false on this queue: the send handler uses GetFrame().
  bool GetFrame(const uint8_t*& data, size_t& size, int& type, int& flag) override;
  // The current part of the current frame has been written in full.
  void NextPart(uint64_t part_size);

  void GetQueueStatistics(unsigned track, QueueStatistics& statistics) override;
  // As above, for a caller that holds the lock already.
  void GetQueueStatisticsNL(unsigned track, QueueStatistics& statistics) const;
  // The timestamp of the queued video frame with the lowest key, the last video send tick and the
  // number of queued video frames; all 0 when none is queued.
  void GetQueueVideoStatistics(uint32_t& timestamp, uint64_t& last_send, uint32_t& count);

  int CalcVideoBandwidth(int value);
  int ProcessBrokerStatistics(const HX_MiscCommand& command);
  // Drops every frame, the statistics and the counters; resets the bandwidth control.
  void Reset(uint32_t bandwidth);

  // The control, for the send handler's hardware flag and for tests; use it under the lock.
  HX_ControlBandTCP& Control() { return *m_control; }
  size_t QueuedFrames();

 private:
  bool Enqueue(std::unique_ptr<HX_CommitFrameBase> frame, int priority, bool video,
               uint32_t timestamp);
  void SelectCurrent();

  std::map<uint64_t, std::unique_ptr<HX_CommitFrameBase>> m_frames;
  std::map<uint64_t, uint32_t> m_videoTimestamps;
  uint64_t m_counters[256] = {};
  std::unique_ptr<HX_ControlBandTCP> m_control;
  HX_CommitFrameBase* m_current = nullptr;
  HX_TickSource m_clock;
};

// The receive buffer of a TCP media connection: 131072 bytes and the buffer's slack.
class HX_RecvFrameQueueTCPv2 : public HXPacketBuffer {
 public:
  static constexpr int64_t kNominalSize = 131072;

  HX_RecvFrameQueueTCPv2() : HXPacketBuffer(kNominalSize) {}

  // The head of the complete frame at the start of the `length` bytes at `data`, or null while
  // fewer than 8 bytes or fewer than its head and payload are there.
  static const HX_StreamFrameHead* AssemblePacket(const uint8_t* data, uint64_t length);
  // The same over the unread bytes of this buffer.
  const HX_StreamFrameHead* AssemblePacket() const;
};
