#pragma once
// HXPunyCodec: converts host names between their Unicode (UTF-8) form and the ASCII form that DNS
// carries, label by label: a label with non-ASCII letters becomes "xn--" and its punycode, and
// back. No normalisation or case mapping is applied, so a capital letter stays a capital letter.
//
// A label that cannot be converted ends the conversion: the result is what was converted before
// it, followed by the label's separator (for Encode, a label of invalid UTF-8 is kept as "xn--"
// and its unchanged bytes). Results are at most 1025 bytes. Nothing is logged, nothing throws.
// The codec has no state; every operation is thread-safe.

#include <cstddef>
#include <string>

class HXPunyCodec {
 public:
  static constexpr size_t kMaxResult = 1025;

  // The ASCII form of a host name; "" for a null or empty name.
  static std::string Encode(const char* name);
  static std::string Encode(const std::string& name);
  // The Unicode form of a host name; "" for a null or empty name.
  static std::string Decode(const char* name);
  static std::string Decode(const std::string& name);

  // Convert one label into `output`. On entry `length` is the room in `output`, on return the
  // bytes written (no NUL). They answer whether the label converted.
  static bool PunyEncode(const char* label, size_t labelLength, char* output, size_t& length);
  static bool PunyDecode(const char* label, size_t labelLength, char* output, size_t& length);

  // No byte of the text has its top bit set.
  static bool IsAscii(const char* text, size_t length);
  // The text begins with "xn--".
  static bool IsPuny(const char* text);
  // Always true.
  static bool PunyCodecTest();
};
