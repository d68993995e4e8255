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

}  // namespace hx::wire
