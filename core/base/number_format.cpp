#include "core/base/number_format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// Centred on '0': index 35 + remainder gives the right digit for negative remainders too, so
// the most negative value needs no special case.
constexpr char kDigits[] =
    "zyxwvutsrqponmlkjihgfedcba9876543210123456789abcdefghijklmnopqrstuvwxyz";

}  // namespace

char* hxitoa(int32_t value, char* buffer, int base) {
  if (buffer == nullptr) return nullptr;
  if (base < 2 || base > 36) {
    buffer[0] = '\0';
    return buffer;
  }
  const bool negative = value < 0;
  char* end = buffer;
  do {
    const int32_t rest = value / base;
    *end++ = kDigits[35 + (value - rest * base)];
    value = rest;
  } while (value != 0);
  if (negative) *end++ = '-';
  *end = '\0';
  std::reverse(buffer, end);
  return buffer;
}

int hxsnprintf(char* buffer, size_t size, const char* format, ...) {
  if (format == nullptr || (buffer == nullptr && size != 0)) return -1;
  va_list args;
  va_start(args, format);
  const int result = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  return result;
}
