#pragma once
// Byte-order helpers of the wire formats: every multi-byte integer on the wire is little-endian.
// They work on any byte position, aligned or not.

#include <cstdint>

namespace hx::wire {

inline uint16_t LoadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16);
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return LoadLe24(p) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

inline void StoreLe24(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
}

inline void StoreLe32(uint8_t* p, uint32_t value) {
  StoreLe24(p, value);
  p[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace hx::wire
