#include "core/streams/nhp_send_queue.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/streams/stream_command.h"

namespace {

constexpr uint32_t kMaxRedundancy = 10;
constexpr uint32_t kRequestableSpacing = 7500;
constexpr uint32_t kFallbackSpacing = 40;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Before the first packet whose priority value is greater than `priority`. The queue is always
// ordered by priority value, so the walk runs from the back: fresh packets usually go last.
std::list<HX_PartitionData>::iterator InsertPoint(std::list<HX_PartitionData>& queue,
                                                  int32_t priority) {
  auto it = queue.end();
  while (it != queue.begin()) {
    auto prev = std::prev(it);
    if (prev->priority <= priority) break;
    it = prev;
  }
  return it;
}

}  // namespace

unsigned HX_NhpTrackOfType(unsigned type) {
  switch (type) {
    case HX_Nhp_Audio:
      return 1;
    case HX_Nhp_Video:
      return 2;
    case HX_Nhp_Data:
      return 5;
    default:
      return 254;
  }
}

void HX_PartitionData::SetAttributes(uint8_t resend, uint16_t seq, uint8_t counter,
                                     uint8_t fragment, uint8_t packet_type, uint8_t frame_type,
                                     uint64_t ts, int32_t prio) {
  resendCount = resend;
  sequence = seq;
  frameCounter = counter;
  fragmentPosition = fragment;
  type = packet_type;
  frameType = frame_type;
  timestamp = ts;
  priority = prio;
}

bool HX_PartitionData::SetData(const void* bytes, size_t n) {
  const bool ok = packet.Set(bytes, n);
  size = packet.Size();
  return ok;
}

void HX_PartitionData::IncResendCount() {
  ++resendCount;
  if (packet.Size() > 0) {
    uint8_t& flags = packet.Data()[0];
    flags = static_cast<uint8_t>((flags & ~0x0C) | ((resendCount & 3) << 2));
  }
}

void HX_PartitionData::IncPriority() {
  if (priority != std::numeric_limits<int32_t>::max()) ++priority;
}

void HX_PartitionData::DecPriority() {
  if (priority > 1) --priority;
}

void HX_PartitionData::Clear() { *this = HX_PartitionData(); }

HX_SendFrameQueueNhp::HX_SendFrameQueueNhp(HX_SendKick* owner, uint64_t payload_size,
                                           uint32_t redundancy, uint32_t spacing,
                                           HX_TickSource clock)
    : m_owner(owner),
      m_payloadSize(std::clamp<uint64_t>(payload_size, 500, 8000)),
      m_clock(clock ? std::move(clock) : HX_CoreTickSource()) {
  if (redundancy <= 1) {
    m_redundancy = 0;
    m_spacing = kRequestableSpacing;
  } else {
    m_redundancy = std::min(redundancy, kMaxRedundancy);
    const uint64_t span = static_cast<uint64_t>(m_redundancy) * spacing;
    m_spacing = spacing != 0 && span <= kRequestableSpacing ? spacing : kFallbackSpacing;
  }
}

void HX_SendFrameQueueNhp::MakePacket(uint8_t type, uint8_t fragment, const uint8_t* payload,
                                      size_t n, uint64_t ts, int priority) {
  const size_t header = type == HX_Nhp_Video   ? HX_NhpVideoHeaderSize
                        : type == HX_Nhp_Audio ? HX_NhpAudioHeaderSize
                                               : HX_NhpBaseHeaderSize;
  HX_PartitionData packet;
  const uint16_t sequence = m_sequence[type]++;
  const uint8_t counter = type == HX_Nhp_Video ? m_frameCounter : 0;
  const uint8_t frame_type = type == HX_Nhp_Video ? m_frameType : 0;
  packet.SetAttributes(0, sequence, counter, fragment, type, frame_type, ts, priority);
  packet.packet.SetSize(header + n);
  packet.size = packet.packet.Size();
  uint8_t* out = packet.packet.Data();
  if (out == nullptr) return;  // out of memory: the packet is lost, its number stays used
  out[0] = static_cast<uint8_t>((fragment & 3) | (type << 4));
  out[1] = 0;
  PutU16(out + 2, sequence);
  if (type == HX_Nhp_Audio) {
    PutU32(out + 4, static_cast<uint32_t>(ts));
  } else if (type == HX_Nhp_Video) {
    out[4] = counter;
    out[5] = frame_type;
    PutU32(out + 6, static_cast<uint32_t>(ts));
  }
  if (n > 0) std::memcpy(out + header, payload, n);
  m_scratch.push_back(std::move(packet));
}

bool HX_SendFrameQueueNhp::AddFrame(int track, size_t size, const uint8_t* data,
                                    const HX_SendNhpVideoHeader* /*header*/, int priority) {
  if (data == nullptr && size > 0) return false;
  m_scratch.clear();
  switch (track) {
    case 1: {
      if (size < 4) return false;
      // The packet carries the timestamp in its header; the payload is the whole input, whose
      // first four bytes are that same timestamp (the receiver hands audio on with it).
      MakePacket(HX_Nhp_Audio, 1, data + 4, size - 4, GetU32(data), priority);
      break;
    }
    case 2: {
      if (size < HX_VideoFramePrefixSize) return false;
      m_frameCounter = data[0];
      m_frameType = data[1];
      const uint32_t ts = GetU32(data + 2);
      if (m_videoClockOffset == 0) m_videoClockOffset = static_cast<uint64_t>(m_clock()) - ts;
      const uint8_t* payload = data + HX_VideoFramePrefixSize;
      const uint64_t length = size - HX_VideoFramePrefixSize;
      const uint64_t full = length / m_payloadSize;
      const uint64_t rest = length % m_payloadSize;
      for (uint64_t i = 0; i < full; ++i) {
        uint8_t fragment;
        if (i == 0) {
          fragment = full == 1 && rest == 0 ? 3 : 2;
        } else {
          fragment = i == full - 1 && rest == 0 ? 1 : 0;
        }
        MakePacket(HX_Nhp_Video, fragment, payload + i * m_payloadSize, m_payloadSize, ts,
                   priority);
      }
      if (rest > 0 || length == 0) {
        MakePacket(HX_Nhp_Video, length < m_payloadSize ? 3 : 1, payload + full * m_payloadSize,
                   rest, ts, priority);
      }
      break;
    }
    case 5:
      MakePacket(HX_Nhp_Data, 1, data, size, 0, priority);
      break;
    case 254:
      MakePacket(HX_Nhp_Command, 1, data, size, 0, priority);
      break;
    case 255:
      if (size == 1) {
        HX_MiscCommand request;
        request.RequestKeyFrame();
        request.mode = HX_CmdMode_Request;
        MakePacket(HX_Nhp_Command, 1, request.Bytes(), HX_MiscCommandHeadSize, 0, priority);
      } else {
        MakePacket(HX_Nhp_Command, 1, data, size, 0, priority);
      }
      break;
    default:
      return false;
  }
  Enqueue(m_scratch, priority);
  return true;
}

void HX_SendFrameQueueNhp::Enqueue(std::list<HX_PartitionData>& packets, int32_t priority) {
  m_queue.splice(InsertPoint(m_queue, priority), packets);
}

bool HX_SendFrameQueueNhp::GetFrame(const uint8_t*& data, size_t& size, int& type, int& flag) {
  flag = 0;
  if (m_redundancy != 0) ResendScan(m_clock());
  if (m_queue.empty()) return false;
  const HX_PartitionData& head = m_queue.front();
  data = head.packet.Data();
  size = head.size;
  type = head.type;
  return true;
}

void HX_SendFrameQueueNhp::GetQueueStatistics(unsigned /*track*/, QueueStatistics& statistics) {
  statistics.bytes = 0;
  statistics.frames = static_cast<uint32_t>(m_queue.size());
}

void HX_SendFrameQueueNhp::MarkFirstAsSend() {
  if (m_queue.empty()) return;
  // Signed ticks: at a clock that starts at 0 "now minus the spacing" lies before every send.
  const int64_t now = m_clock();
  if (m_redundancy == 0) {
    const int64_t expiry = now - static_cast<int64_t>(m_spacing);
    while (!m_sent.empty() && m_sent.front().sendTime < expiry) m_sent.pop_front();
  }
  HX_PartitionData& head = m_queue.front();
  const bool keep = m_redundancy == 0 ? head.resendCount == 0
                                      : static_cast<uint32_t>(head.resendCount) + 1 < m_redundancy;
  if (keep) {
    head.sendTime = now;
    m_sent.splice(m_sent.end(), m_queue, m_queue.begin());
  } else {
    m_queue.pop_front();
  }
}

bool HX_SendFrameQueueNhp::ResendPackect(uint16_t sequence, uint8_t type) {
  auto it = std::find_if(m_sent.begin(), m_sent.end(), [&](const HX_PartitionData& p) {
    return p.sequence == sequence && p.type == type;
  });
  if (it == m_sent.end()) return false;
  it->IncResendCount();
  it->DecPriority();
  HX_PartitionData copy = *it;
  m_queue.insert(InsertPoint(m_queue, copy.priority), std::move(copy));
  if (m_owner != nullptr) m_owner->kickSend();
  return true;
}

void HX_SendFrameQueueNhp::ResendScan(int64_t now) {
  const int64_t oldest = now - static_cast<int64_t>(m_redundancy) * m_spacing;
  const int64_t due = now - static_cast<int64_t>(m_spacing);
  std::map<int32_t, std::list<HX_PartitionData>> holding;
  while (!m_sent.empty()) {
    HX_PartitionData& packet = m_sent.front();
    if (packet.sendTime > due) break;
    if (packet.sendTime <= oldest) {
      m_sent.pop_front();
      continue;
    }
    packet.IncResendCount();
    packet.IncPriority();
    auto& list = holding[packet.priority];
    list.splice(list.end(), m_sent, m_sent.begin());
  }
  // Timestamps are 32-bit: compare differences, so that neither the wrap of the tick's low bits
  // nor that of the video timestamps makes every queued packet look stale.
  const uint32_t oldest32 = static_cast<uint32_t>(oldest);
  const uint32_t oldest_video32 =
      static_cast<uint32_t>(static_cast<uint64_t>(oldest) - m_videoClockOffset);
  m_queue.remove_if([&](const HX_PartitionData& p) {
    if (p.timestamp == 0) return false;
    const uint32_t limit = p.type == HX_Nhp_Video ? oldest_video32 : oldest32;
    return HX_TimestampBefore(static_cast<uint32_t>(p.timestamp), limit);
  });
  for (auto& [priority, list] : holding) Enqueue(list, priority);
}
