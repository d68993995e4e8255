#include "core/streams/tcp_send_queue.h"

#include <algorithm>
#include <cstring>

#include "core/streams/stream_command.h"
#include "core/streams/tcp_control_band.h"

namespace {

void WriteHead(uint8_t* at, size_t length, uint32_t tick, uint8_t track) {
  HX_StreamFrameHead head;
  head.Set(at + HX_StreamFrameHead::kSize, static_cast<uint16_t>(length), tick, track);
  std::memcpy(at, head.bytes, HX_StreamFrameHead::kSize);
}

}  // namespace

HX_CommitFrameBase::HX_CommitFrameBase(int track, uint64_t size)
    : m_buffer(new uint8_t[size == 0 ? 1 : size]), m_size(size), m_track(track) {}

uint64_t HX_CommitFrameBase::CurrentPartSize() const {
  if (Sent() || BytesLeft() < HX_StreamFrameHead::kSize) return 0;
  const uint8_t* head = Buffer();
  return (static_cast<uint64_t>(head[0]) | (static_cast<uint64_t>(head[1]) << 8)) +
         HX_StreamFrameHead::kSize;
}

void HX_CommitFrameBase::NextPart() {
  const uint64_t part = CurrentPartSize();
  m_offset = part == 0 ? m_size : std::min(m_size, m_offset + part);
}

HX_CommitFrameAudio::HX_CommitFrameAudio(const uint8_t* codec, size_t size, uint32_t tick)
    : HX_CommitFrameBase(1, HX_StreamFrameHead::kSize + size) {
  if (size > 0) std::memcpy(m_buffer.get() + HX_StreamFrameHead::kSize, codec, size);
  WriteHead(m_buffer.get(), size, tick, 1);
  m_parts = 1;
}

HX_CommitFrameOrdinary::HX_CommitFrameOrdinary(uint8_t track, const uint8_t* payload, size_t size,
                                               uint32_t tick)
    : HX_CommitFrameBase(track, HX_StreamFrameHead::kSize + size) {
  if (size > 0) std::memcpy(m_buffer.get() + HX_StreamFrameHead::kSize, payload, size);
  WriteHead(m_buffer.get(), size, tick, track);
  m_parts = 1;
}

uint64_t HX_CommitFrameVideo::PartsFor(size_t size, size_t part_size) {
  if (size <= 1 || part_size == 0) return 0;
  return (size - 1 + part_size - 1) / part_size;
}

bool HX_CommitFrameVideo::Fits(size_t size, size_t part_size) {
  if (size < HX_VideoFramePrefixSize || part_size == 0) return false;
  if (PartsFor(size, part_size) > HX_TcpVideoMaxParts) return false;
  const size_t widest = std::min(part_size, size - 1);
  return widest + HX_TcpVideoTrailerSize <= HX_StreamFrameMaxPayload;
}

HX_CommitFrameVideo::HX_CommitFrameVideo(const uint8_t* input, size_t size,
                                         const HX_SendNhpVideoHeader* header, uint32_t tick,
                                         size_t part_size)
    : HX_CommitFrameBase(
          2, (size > 1 ? size - 1 : 0) +
                 PartsFor(size, part_size) * (HX_StreamFrameHead::kSize + HX_TcpVideoTrailerSize)) {
  const uint64_t n = PartsFor(size, part_size);
  m_parts = n;
  size_t left = size > 1 ? size - 1 : 0;
  const uint8_t* from = input + 1;
  uint8_t* at = m_buffer.get();
  for (uint64_t i = 0; i < n; ++i) {
    const size_t c = std::min(part_size, left);
    uint8_t* payload = at + HX_StreamFrameHead::kSize;
    std::memcpy(payload, from, c);
    payload[c] = static_cast<uint8_t>(n - 1 - i);
    payload[c + 1] = static_cast<uint8_t>(n - 1);
    payload[c + 2] = input[0];
    if (i == 0) {
      // Part 0 starts with the inverted frame type and the interval in place of the timestamp;
      // Fits() guarantees the 5 bytes are frame data.
      payload[0] = payload[0] == 0 ? 1 : 0;
      const uint32_t interval = header != nullptr ? header->frameInterval : 0;
      for (int b = 0; b < 4; ++b) payload[1 + b] = static_cast<uint8_t>(interval >> (8 * b));
    }
    WriteHead(at, c + HX_TcpVideoTrailerSize, tick, 2);
    at += HX_StreamFrameHead::kSize + c + HX_TcpVideoTrailerSize;
    from += c;
    left -= c;
  }
}

HX_SendFrameQueueTCPv2::HX_SendFrameQueueTCPv2(HX_TickSource clock)
    : m_control(std::make_unique<HX_ControlBandTCP>(this, clock)), m_clock(std::move(clock)) {}

HX_SendFrameQueueTCPv2::~HX_SendFrameQueueTCPv2() = default;

bool HX_SendFrameQueueTCPv2::AddFrame(int track, size_t size, const uint8_t* data,
                                      const HX_SendNhpVideoHeader* header, int priority) {
  if (data == nullptr && size > 0) return false;
  const uint32_t tick = static_cast<uint32_t>(m_clock());
  switch (track) {
    case 1: {
      if (size < 4 || size - 4 > HX_StreamFrameMaxPayload) return false;
      return Enqueue(std::make_unique<HX_CommitFrameAudio>(data + 4, size - 4, tick), priority,
                     false, 0);
    }
    case 2: {
      if (!HX_CommitFrameVideo::Fits(size)) return false;
      uint32_t timestamp = 0;
      if (header != nullptr) {
        timestamp = header->timestamp;
      } else {
        for (int b = 0; b < 4; ++b) timestamp |= static_cast<uint32_t>(data[2 + b]) << (8 * b);
      }
      return Enqueue(std::make_unique<HX_CommitFrameVideo>(data, size, header, tick), priority,
                     true, timestamp);
    }
    case 254:
      return AddOrdinaryFrame(track, size, data, priority);
    default:
      return false;
  }
}

bool HX_SendFrameQueueTCPv2::AddOrdinaryFrame(int track, size_t size, const uint8_t* data,
                                              int priority) {
  if (size > HX_StreamFrameMaxPayload || (data == nullptr && size > 0)) return false;
  const uint32_t tick = static_cast<uint32_t>(m_clock());
  return Enqueue(
      std::make_unique<HX_CommitFrameOrdinary>(static_cast<uint8_t>(track), data, size, tick),
      priority, false, 0);
}

int HX_SendFrameQueueTCPv2::PostPriority(unsigned track) {
  switch (track) {
    case 254:
    case 255:
      return 1;
    case 1:
      return 2;
    case 2:
      return 3;
    case 5:
      return 4;
    default:
      return 5;
  }
}

bool HX_SendFrameQueueTCPv2::PostFrame(const HX_StreamFrameHead* head) {
  if (head == nullptr) return false;
  return AddOrdinaryFrame(head->Track(), head->Length(), head->Payload(),
                          PostPriority(head->Track()));
}

bool HX_SendFrameQueueTCPv2::Enqueue(std::unique_ptr<HX_CommitFrameBase> frame, int priority,
                                     bool video, uint32_t timestamp) {
  HXAutoLock lock(*this);
  const uint8_t p = static_cast<uint8_t>(priority);
  const uint64_t key = (static_cast<uint64_t>(p) << 32) | (m_counters[p]++ & 0xFFFFFFFFu);
  frame->SetPriorityKey(key);
  const unsigned track = static_cast<unsigned>(frame->Track());
  const uint32_t bytes = static_cast<uint32_t>(frame->BufferSize());
  const uint32_t parts = static_cast<uint32_t>(frame->NumberOfParts());
  for (unsigned t : {track, 256u}) {
    QueueStatistics& s = m_statistics[t];
    s.bytes += bytes;
    s.frames += parts;
  }
  if (video) m_videoTimestamps[key] = timestamp;
  m_frames[key] = std::move(frame);
  return true;
}

void HX_SendFrameQueueTCPv2::SelectCurrent() {
  for (;;) {
    if (m_frames.empty()) {
      m_videoTimestamps.clear();
      m_statistics.clear();
      m_current = nullptr;
      return;
    }
    if (m_current == nullptr) {
      m_current = m_frames.begin()->second.get();
      continue;
    }
    if (m_current->Sent()) {
      m_videoTimestamps.erase(m_current->PriorityKey());
      m_frames.erase(m_current->PriorityKey());
      m_current = nullptr;
      continue;
    }
    return;
  }
}

HX_CommitFrameBase* HX_SendFrameQueueTCPv2::GetFrame() {
  HXAutoLock lock(*this);
  SelectCurrent();
  if (m_current != nullptr) m_current->SetUpdateTime(static_cast<uint64_t>(m_clock() - 1));
  return m_current;
}

bool HX_SendFrameQueueTCPv2::GetFrame(const uint8_t*&, size_t&, int&, int&) { return false; }

void HX_SendFrameQueueTCPv2::NextPart(uint64_t part_size) {
  HXAutoLock lock(*this);
  if (m_current == nullptr) return;
  const unsigned track = static_cast<unsigned>(m_current->Track());
  if (track == 2) m_lastVideoSend = static_cast<uint64_t>(m_clock());
  for (unsigned t : {track, 256u}) {
    auto it = m_statistics.find(t);
    if (it == m_statistics.end()) continue;
    // Never below zero: a caller's part size larger than what is queued must not wrap the figures.
    it->second.frames -= std::min<uint32_t>(it->second.frames, 1);
    it->second.bytes -= static_cast<uint32_t>(std::min<uint64_t>(it->second.bytes, part_size));
  }
  m_control->Add(m_current->UpdateTime(), part_size, static_cast<uint16_t>(track), 0, 0);
  m_current->NextPart();
  if (m_current->Sent()) m_videoTimestamps.erase(m_current->PriorityKey());
  m_current = nullptr;
}

void HX_SendFrameQueueTCPv2::GetQueueStatistics(unsigned track, QueueStatistics& statistics) {
  HXAutoLock lock(*this);
  GetQueueStatisticsNL(track, statistics);
}

void HX_SendFrameQueueTCPv2::GetQueueStatisticsNL(unsigned track,
                                                  QueueStatistics& statistics) const {
  auto it = m_statistics.find(track);
  statistics = it == m_statistics.end() ? QueueStatistics{} : it->second;
}

void HX_SendFrameQueueTCPv2::GetQueueVideoStatistics(uint32_t& timestamp, uint64_t& last_send,
                                                     uint32_t& count) {
  HXAutoLock lock(*this);
  if (m_videoTimestamps.empty()) {
    timestamp = 0;
    last_send = 0;
    count = 0;
    return;
  }
  timestamp = m_videoTimestamps.begin()->second;
  last_send = m_lastVideoSend;
  count = static_cast<uint32_t>(m_videoTimestamps.size());
}

int HX_SendFrameQueueTCPv2::CalcVideoBandwidth(int value) {
  HXAutoLock lock(*this);
  return m_control->GetVideoBandwidth(value);
}

int HX_SendFrameQueueTCPv2::ProcessBrokerStatistics(const HX_MiscCommand& command) {
  HXAutoLock lock(*this);
  return m_control->SetReceivedCommand(command);
}

void HX_SendFrameQueueTCPv2::Reset(uint32_t bandwidth) {
  HXAutoLock lock(*this);
  m_frames.clear();
  m_current = nullptr;
  m_videoTimestamps.clear();
  m_statistics.clear();
  m_control->Reset(bandwidth);
  std::fill(std::begin(m_counters), std::end(m_counters), 0);
}

size_t HX_SendFrameQueueTCPv2::QueuedFrames() {
  HXAutoLock lock(*this);
  return m_frames.size();
}

const HX_StreamFrameHead* HX_RecvFrameQueueTCPv2::AssemblePacket(const uint8_t* data,
                                                                 uint64_t length) {
  if (data == nullptr || length < HX_StreamFrameHead::kSize) return nullptr;
  const uint64_t payload = static_cast<uint64_t>(data[0]) | (static_cast<uint64_t>(data[1]) << 8);
  if (payload + HX_StreamFrameHead::kSize > length) return nullptr;
  return reinterpret_cast<const HX_StreamFrameHead*>(data);
}

const HX_StreamFrameHead* HX_RecvFrameQueueTCPv2::AssemblePacket() const {
  return AssemblePacket(GetPacketBufferRead(), static_cast<uint64_t>(GetPacketBufferWriteSize()));
}
