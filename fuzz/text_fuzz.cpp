// UTF-8 decoding, case mapping, comparison and time parsing of text that came from the network.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/text_compare.h"
#include "core/base/time_format.h"
#include "core/base/utf8.h"
#include "core/base/utf8_case.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckCodec(const char* bytes, size_t size) {
  for (size_t at = 0; at < size;) {
    uint32_t code = 0;
    const int32_t used = utf8tow(bytes + at, size - at, &code);
    if (used < 0) return;
    char encoded[6];
    // Every accepted sequence is the one encoding of its code point, but for the plain zero byte
    // that stands for zero as well as C0 80.
    const bool zero_byte = used == 1 && code == 0;
    Check(zero_byte ||
          (wtoutf8(code, encoded) == used && std::memcmp(encoded, bytes + at, used) == 0));
    at += static_cast<size_t>(used);
  }
}

void CheckCaseMapping(const char* bytes, size_t size) {
  std::vector<char> out(size * 2 + 7);
  size_t out_size = out.size();
  if (utf8lcstr(bytes, size, out.data(), &out_size) != 0) return;
  Check(out_size + 6 <= out.size() && out[out_size] == '\0');
  // Mapping keeps the number of code points; the zero byte may become C0 80.
  const int32_t count = utf8strnlen(bytes, size);
  const int32_t mapped = utf8strnlen(out.data(), out_size);
  Check(count >= 0 && (mapped == count || (mapped == count + 1 && bytes[size - 1] == 0)));
  // A text equals its lower-case form without regard to case. (A zero code point ends the
  // comparison early, where the two may have different numbers of bytes left.)
  const std::string text(bytes, size);
  const bool has_zero =
      text.find('\0') != std::string::npos || text.find("\xC0\x80") != std::string::npos;
  Check(size == 0 || has_zero || utf8strncasecmp(bytes, size, out.data(), out_size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  CheckCodec(bytes, size);
  CheckCaseMapping(bytes, size);

  const size_t half = size / 2;
  const int32_t order = utf8strncasecmp(bytes, half, bytes + half, size - half);
  Check(order >= -2 && order <= 2);
  Check(utf8strncmp(bytes, half, bytes + half, size - half) >= -2);

  const std::string text(bytes, size);  // zero-terminated copy
  hxicomparestr(text.c_str(), text.c_str() + text.size() / 2);
  utf8strlen(text.c_str());
  tu::NStrToTimeT(text.c_str());
  tu::ISO8601_ZStrToTimeT(text.c_str());
  return 0;
}
