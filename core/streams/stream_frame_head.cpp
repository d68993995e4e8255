#include "core/streams/stream_frame_head.h"

#include "core/streams/stream_handshake.h"

uint16_t HX_StreamFrameHead::Length() const {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t HX_StreamFrameHead::Tick() const {
  return static_cast<uint32_t>(bytes[2]) | (static_cast<uint32_t>(bytes[3]) << 8) |
         (static_cast<uint32_t>(bytes[4]) << 16) | (static_cast<uint32_t>(bytes[5]) << 24);
}

void HX_StreamFrameHead::Set(const uint8_t* payload, uint16_t length, uint32_t tick,
                             uint8_t track) {
  bytes[0] = static_cast<uint8_t>(length);
  bytes[1] = static_cast<uint8_t>(length >> 8);
  for (int i = 0; i < 4; ++i) bytes[2 + i] = static_cast<uint8_t>(tick >> (8 * i));
  bytes[6] = track;
  bytes[7] = HX_StreamCksum(payload, length);
}

bool HX_StreamFrameHead::CheckPayload(const uint8_t* payload) const {
  return HX_StreamCksum(payload, Length()) == Checksum();
}
