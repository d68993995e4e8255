#pragma once
// The UDP send queue: frames cut into NHP packets, one queue ordered by priority, a list of sent
// packets for resends.
//
// NHP packet (little-endian), the payload running from the header's end to the packet's end:
//   0 flags: bits 0-1 fragment position (bit 0 last, bit 1 first), bits 2-3 resend count mod 4,
//            bits 4-5 packet type (0 command, 1 audio, 2 video, 3 data)
//   1 zero | 2 u16 sequence number (one counter per packet type, wrapping)
//   audio: 4 u32 timestamp (header 8 bytes); video: 4 frame counter, 5 frame type, 6 u32 timestamp
//   (header 10 bytes); command and data: the 4-byte header alone.
//
// Resends: with a redundancy count k of 2 to 10 every packet is sent k times, `spacing` ms apart,
// and given up after k × spacing ms. With count 0 a sent packet is kept `spacing` ms (7500) for
// the receiver's resend requests (ResendPackect).
//
// Thread safety: none of its own. The owner (the UDP send handler) calls every operation with the
// stream's lock held, and kickSend is called under that same lock.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>

#include "core/base/bin_buff.h"
#include "core/streams/stream_clock.h"

struct HX_SendNhpVideoHeader;

enum HX_NhpPacketType : uint8_t {
  HX_Nhp_Command = 0,
  HX_Nhp_Audio = 1,
  HX_Nhp_Video = 2,
  HX_Nhp_Data = 3,
};

inline constexpr size_t HX_NhpBaseHeaderSize = 4;
inline constexpr size_t HX_NhpAudioHeaderSize = 8;
inline constexpr size_t HX_NhpVideoHeaderSize = 10;
// The 6-byte prefix of a video frame: counter, frame type, u32 timestamp.
inline constexpr size_t HX_VideoFramePrefixSize = 6;

// The track a packet type stands for: 1 audio, 2 video, 5 data, anything else 254 (command).
unsigned HX_NhpTrackOfType(unsigned type);

// One packet in the queue.
struct HX_PartitionData {
  HX_BinBuff packet;  // header and payload exactly as they go out
  uint64_t size = 0;
  int32_t priority = 0;
  uint16_t sequence = 0;
  uint8_t frameCounter = 0;
  uint8_t type = 0;
  uint8_t frameType = 0;
  uint8_t resendCount = 0;
  uint8_t fragmentPosition = 0;
  uint64_t timestamp = 0;  // the frame's 32-bit timestamp; 0 for command and data
  int64_t sendTime = 0;    // tick of its transmission, on the sent list's copies only

  void SetAttributes(uint8_t resend, uint16_t seq, uint8_t counter, uint8_t fragment,
                     uint8_t packet_type, uint8_t frame_type, uint64_t ts, int32_t prio);
  bool SetData(const void* bytes, size_t n);
  // Resend count + 1 (8-bit), written mod 4 into bits 2-3 of the packet's first byte.
  void IncResendCount();
  // Priority value + 1, unless it is already the largest.
  void IncPriority();
  // Priority value - 1, never below 1.
  void DecPriority();
  void Clear();
};

struct QueueStatistics {
  uint32_t bytes = 0;
  uint32_t frames = 0;
};

// What a send queue needs of its owner: a nudge that a packet waits.
class HX_SendKick {
 public:
  virtual ~HX_SendKick() = default;
  virtual void kickSend() = 0;
};

// The abstract send queue of a stream.
class HX_SendFrameQueueBase {
 public:
  virtual ~HX_SendFrameQueueBase() = default;
  virtual bool AddFrame(int track, size_t size, const uint8_t* data,
                        const HX_SendNhpVideoHeader* header, int priority) = 0;
  virtual bool GetFrame(const uint8_t*& data, size_t& size, int& type, int& flag) = 0;
  virtual void GetQueueStatistics(unsigned track, QueueStatistics& statistics) = 0;

 protected:
  uint64_t m_lastVideoSend = 0;
  std::map<unsigned, QueueStatistics> m_statistics;  // 256: all tracks
};

class HX_SendFrameQueueNhp : public HX_SendFrameQueueBase {
 public:
  // `owner` may be null (nobody is kicked). Payload size clamped to 500..8000; a redundancy count
  // of 0 or 1 gives count 0 and spacing 7500; else count min(count, 10) and the given spacing when
  // it is nonzero and count × spacing is at most 7500, else 40.
  HX_SendFrameQueueNhp(HX_SendKick* owner, uint64_t payload_size, uint32_t redundancy,
                       uint32_t spacing, HX_TickSource clock = HX_CoreTickSource());
  ~HX_SendFrameQueueNhp() override = default;

  // Cuts the frame into packets and queues them by priority. Track 1 audio (u32 timestamp then
  // the codec bytes; false under 4 bytes), 2 video (the 6-byte prefix then the frame; false under
  // 6), 5 data, 254 command, 255 sender control (a single byte becomes a key-frame request).
  // Other tracks: false. The header argument is not read.
  bool AddFrame(int track, size_t size, const uint8_t* data, const HX_SendNhpVideoHeader* header,
                int priority) override;
  // The head packet, which stays queued until MarkFirstAsSend; runs the resend scan first when
  // sending redundantly. `flag` is always 0.
  bool GetFrame(const uint8_t*& data, size_t& size, int& type, int& flag) override;
  // Packets queued, whatever the track; bytes 0.
  void GetQueueStatistics(unsigned track, QueueStatistics& statistics) override;

  // The head packet left whole: keeps a copy for resends where the rules ask for one, and takes
  // the packet off the queue.
  void MarkFirstAsSend();
  // The receiver asks again for one packet; false when it is no longer kept.
  bool ResendPackect(uint16_t sequence, uint8_t type);

  uint32_t RedundancyCount() const { return m_redundancy; }
  uint32_t Spacing() const { return m_spacing; }
  uint64_t PayloadSize() const { return m_payloadSize; }
  size_t QueuedPackets() const { return m_queue.size(); }
  size_t SentPackets() const { return m_sent.size(); }
  const std::list<HX_PartitionData>& Queue() const { return m_queue; }
  uint16_t SequenceCounter(uint8_t type) const { return m_sequence[type & 3]; }

 private:
  void MakePacket(uint8_t type, uint8_t fragment, const uint8_t* payload, size_t n, uint64_t ts,
                  int priority);
  // Moves `packets` as one block before the first queued packet of greater priority value.
  void Enqueue(std::list<HX_PartitionData>& packets, int32_t priority);
  void ResendScan(int64_t now);

  HX_SendKick* m_owner;
  uint32_t m_redundancy;
  uint32_t m_spacing;
  uint8_t m_frameCounter = 0;
  uint8_t m_frameType = 0;
  uint16_t m_sequence[4] = {};  // command, audio, video, data
  std::list<HX_PartitionData> m_queue;
  std::list<HX_PartitionData> m_sent;
  std::list<HX_PartitionData> m_scratch;
  uint64_t m_payloadSize;
  uint64_t m_videoClockOffset = 0;
  HX_TickSource m_clock;
};
