#pragma once
// HX_StreamFrameHead: the 8-byte head of a stream frame, followed in memory and on the wire by its
// payload. Little-endian fields, no alignment (the head may sit anywhere in a byte buffer):
//   0  u16  payload length in bytes (the head not counted)
//   2  u32  send tick: the low 32 bits of the millisecond tick when the frame was built
//   6  u8   track: 1 audio, 2 video, 5 data, 254 command, 255 sender control
//   7  u8   checksum of the payload (HX_StreamCksum)
//
// A plain value; not thread-safe.

#include <cstddef>
#include <cstdint>

struct HX_StreamFrameHead {
  static constexpr size_t kSize = 8;

  uint8_t bytes[kSize] = {};

  uint16_t Length() const;
  uint32_t Tick() const;
  uint8_t Track() const { return bytes[6]; }
  uint8_t Checksum() const { return bytes[7]; }

  // Fills the head for `length` payload bytes at `payload` (null only when length is 0).
  void Set(const uint8_t* payload, uint16_t length, uint32_t tick, uint8_t track);
  // True when the checksum matches `payload`, which must hold Length() bytes.
  bool CheckPayload(const uint8_t* payload) const;
  // The payload that follows this head in memory: the caller vouches for Length() bytes there.
  const uint8_t* Payload() const { return bytes + kSize; }
};
static_assert(sizeof(HX_StreamFrameHead) == HX_StreamFrameHead::kSize);
static_assert(alignof(HX_StreamFrameHead) == 1);
