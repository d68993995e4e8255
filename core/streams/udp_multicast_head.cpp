#include "core/streams/udp_multicast_head.h"

#include "core/streams/nhp_send_queue.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/stream_handshake.h"

namespace hx::streams {

uint8_t convertTrackUdp(unsigned type) { return static_cast<uint8_t>(HX_NhpTrackOfType(type)); }

}  // namespace hx::streams

namespace {

// The checksum of an empty payload.
constexpr uint8_t kEmptyChecksum = 172;
constexpr size_t kHeadLengthOffset = 8;
constexpr size_t kKeyOffset = 10;

}  // namespace

void HX_UdpMulticastHead::Write(uint8_t* out, const uint8_t* payload, uint16_t length,
                                uint32_t tick, uint8_t track, uint32_t key) {
  HX_StreamFrameHead head;
  head.Set(payload, length, tick, track);
  for (size_t i = 0; i < HX_StreamFrameHead::kSize; ++i) out[i] = head.bytes[i];
  out[kHeadLengthOffset] = static_cast<uint8_t>(kSize);
  out[9] = 1;
  for (size_t i = 0; i < 4; ++i) out[kKeyOffset + i] = static_cast<uint8_t>(key >> (8 * i));
}

uint32_t HX_UdpMulticastHead::ReadKey(const uint8_t* head) {
  uint32_t key = 0;
  for (size_t i = 0; i < 4; ++i) key |= static_cast<uint32_t>(head[kKeyOffset + i]) << (8 * i);
  return key;
}

bool HX_CheckMulticastDatagram(const uint8_t* datagram, size_t size, uint32_t key, size_t& offset,
                               size_t& length) {
  if (datagram == nullptr || size < HX_UdpMulticastHead::kSize) return false;
  const size_t headLength = datagram[kHeadLengthOffset];
  if (headLength < HX_UdpMulticastHead::kSize) return false;
  const size_t payload = static_cast<size_t>(datagram[0]) | (static_cast<size_t>(datagram[1]) << 8);
  if (payload > HX_UdpMulticastHead::kMaxPayload) return false;
  // Also for an empty payload: a head that claims more bytes than arrived is not media.
  if (static_cast<uint64_t>(headLength) + payload > size) return false;
  const uint8_t checksum = datagram[7];
  if (payload == 0 ? checksum != kEmptyChecksum
                   : checksum != HX_StreamCksum(datagram + headLength, payload)) {
    return false;
  }
  if (HX_UdpMulticastHead::ReadKey(datagram) != key) return false;
  offset = headLength;
  length = payload;
  return true;
}
