#include "core/base/utf8.h"

#include <cstring>

namespace {

// Smallest code point that needs a sequence of the index's length; shorter forms are overlong.
constexpr uint32_t kMinimumForLength[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

// Sequence length announced by a lead byte, 0 for a byte that cannot start a sequence.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;  // continuation byte
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  if (lead < 0xFE) return 6;
  return 0;  // FE and FF
}

}  // namespace

int32_t wtoutf8(uint32_t code, char* out) {
  if (out == nullptr || code >= 0x80000000u) return -1;
  if (code == 0) {
    out[0] = static_cast<char>(0xC0);
    out[1] = static_cast<char>(0x80);
    return 2;
  }
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  int length = 2;
  while (length < 6 && code >= kMinimumForLength[length + 1]) ++length;
  // The lead byte carries `length` one bits, a zero, then the top bits of the code point.
  const unsigned lead_marker = (0xFF00u >> length) & 0xFFu;
  for (int i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (code & 0x3F));
    code >>= 6;
  }
  out[0] = static_cast<char>(lead_marker | code);
  return length;
}

int32_t utf8tow(const char* bytes, size_t length, uint32_t* code) {
  if (bytes == nullptr || length == 0) return -1;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  const int needed = SequenceLength(in[0]);
  if (needed == 0 || length < static_cast<size_t>(needed)) return -1;
  if (needed == 1) {
    if (code != nullptr) *code = in[0];
    return 1;
  }
  uint32_t value = in[0] & (0x7Fu >> needed);
  for (int i = 1; i < needed; ++i) {
    if ((in[i] & 0xC0) != 0x80) return -1;
    value = (value << 6) | (in[i] & 0x3F);
  }
  const bool encoded_zero = needed == 2 && value == 0;  // C0 80
  if (value < kMinimumForLength[needed] && !encoded_zero) return -1;
  if (code != nullptr) *code = value;
  return needed;
}

int32_t utf8strlen(const char* text) {
  if (text == nullptr) return -1;
  return utf8strnlen(text, std::strlen(text));
}

int32_t utf8strnlen(const char* bytes, size_t length) {
  if (bytes == nullptr && length != 0) return -1;
  int64_t count = 0;
  size_t offset = 0;
  while (offset < length) {
    uint32_t code = 0;
    const int32_t used = utf8tow(bytes + offset, length - offset, &code);
    if (used < 0) return -1;
    offset += static_cast<size_t>(used);
    if (code == 0 && offset == length) break;  // a closing zero is not text
    ++count;
  }
  return count > INT32_MAX ? -1 : static_cast<int32_t>(count);
}
