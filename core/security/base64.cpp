#include "core/security/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of every character; "=" and foreign characters are 0.
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

}  // namespace

char* HX_Base64::encode(const void* bytes, size_t length, char* out, size_t* size) {
  if (size == nullptr || (bytes == nullptr && length != 0)) return nullptr;
  if (length / 3 >= SIZE_MAX / 4) return nullptr;  // 4 * ceil(length / 3) would overflow
  const size_t needed = (length + 2) / 3 * 4;
  const size_t given = *size;
  *size = needed;
  if (out == nullptr || given < needed) return nullptr;

  const auto* in = static_cast<const uint8_t*>(bytes);
  char* next = out;
  for (size_t i = 0; i < length; i += 3) {
    const size_t left = length - i;
    const uint32_t group = (uint32_t{in[i]} << 16) | (left > 1 ? uint32_t{in[i + 1]} << 8 : 0) |
                           (left > 2 ? uint32_t{in[i + 2]} : 0);
    *next++ = kAlphabet[(group >> 18) & 0x3F];
    *next++ = kAlphabet[(group >> 12) & 0x3F];
    *next++ = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    *next++ = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  return out;
}

void* HX_Base64::decode(const char* text, size_t length, void* out, size_t* size) {
  if (size == nullptr || length % 4 != 0 || (text == nullptr && length != 0)) return nullptr;
  if (out == nullptr) {
    *size = length / 4 * 3;
    return nullptr;
  }
  size_t decoded = length / 4 * 3;
  if (length > 0) decoded -= (text[length - 1] == '=') + (text[length - 2] == '=');
  const size_t given = *size;
  *size = decoded;
  if (given < decoded) return nullptr;

  auto* bytes = static_cast<uint8_t*>(out);
  size_t written = 0;
  for (size_t i = 0; i < length && written < decoded; i += 4) {
    const auto* in = reinterpret_cast<const unsigned char*>(text + i);
    const uint32_t group = (uint32_t{kDecodeTable[in[0]]} << 18) |
                           (uint32_t{kDecodeTable[in[1]]} << 12) |
                           (uint32_t{kDecodeTable[in[2]]} << 6) | kDecodeTable[in[3]];
    for (int shift = 16; shift >= 0 && written < decoded; shift -= 8) {
      bytes[written++] = static_cast<uint8_t>(group >> shift);
    }
  }
  return out;
}
