#pragma once
// HX_RecvNhpVideoHeader: the 5 bytes in front of every received video frame that the receive side
// hands on (assembled TCP frames, whole UDP frames): byte 0 the frame type (0 key frame, 1 other),
// bytes 1 to 4 a 32-bit little-endian time value. The decoder front-end skips it unread.
//
// A plain value laid out byte for byte as on the wire; read it with Load, never by casting a
// buffer of unknown length.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct HX_RecvNhpVideoHeader {
  static constexpr size_t kSize = 5;

  uint8_t frameType = 1;  // 0 key frame
  uint32_t timeValue = 0;

  bool isKeyFrame() const { return frameType == 0; }
  // Reads the header from the start of a frame; false (nothing read) when fewer than 5 bytes.
  bool Load(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length < kSize) return false;
    frameType = bytes[0];
    timeValue = static_cast<uint32_t>(bytes[1]) | static_cast<uint32_t>(bytes[2]) << 8 |
                static_cast<uint32_t>(bytes[3]) << 16 | static_cast<uint32_t>(bytes[4]) << 24;
    return true;
  }
  void Store(uint8_t out[kSize]) const {
    out[0] = frameType;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>(timeValue >> (8 * i));
  }
};
#pragma pack(pop)
static_assert(sizeof(HX_RecvNhpVideoHeader) == HX_RecvNhpVideoHeader::kSize);
