#pragma once
// Integer-to-text and bounded formatting. Both functions are reentrant.

#include <cstddef>
#include <cstdint>

// Longest result of hxitoa with its terminating zero: a sign and 32 binary digits.
constexpr size_t kHxItoaBufferSize = 34;

// Writes `value` in `base` (2 to 36) with lower-case digits, a leading minus sign for negative
// values and a terminating zero into `buffer` (kHxItoaBufferSize bytes are always enough), and
// returns `buffer`. Another base gives the empty string.
char* hxitoa(int32_t value, char* buffer, int base);

// vsnprintf into `buffer` of `size` bytes (always zero-terminated when size > 0); returns what
// vsnprintf returns: the length of the full text, or a negative value on a format error.
int hxsnprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
