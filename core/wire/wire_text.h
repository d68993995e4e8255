#pragma once
// How the wire formats carry a text: one length byte n, the n bytes, and a NUL. An absent or empty
// text is the length byte 0 followed by the NUL, so every text takes n + 2 bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hx::wire {

inline constexpr size_t kMaxWireTextLength = 255;

// Writes `length` (at most 255) bytes of `text` in wire form at `out`; returns the end.
inline uint8_t* WriteWireText(uint8_t* out, const char* text, size_t length) {
  *out++ = static_cast<uint8_t>(length);
  if (length > 0) std::memcpy(out, text, length);
  out[length] = 0;
  return out + length + 1;
}

// Finds the end of the wire text whose length byte lies at `offset` of the `length` bytes at
// `bytes`: true, with the offset of its NUL in `*nul`, when the length byte and the NUL both lie
// inside and the byte there is 0; false (nothing read past `length`) otherwise.
inline bool FindWireTextEnd(const uint8_t* bytes, uint64_t length, uint64_t offset, uint64_t* nul) {
  if (offset >= length) return false;
  const uint64_t end = offset + 1 + bytes[offset];
  if (end >= length || bytes[end] != 0) return false;
  *nul = end;
  return true;
}

}  // namespace hx::wire
