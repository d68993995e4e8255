#pragma once
// UTF-8 in the six-byte form of RFC 2279 (31-bit code points). Code point 0 is written as the two
// bytes C0 80, so encoded text never holds a zero byte; the decoder takes C0 80 as 0 and refuses
// every other overlong form. All functions are reentrant.

#include <cstddef>
#include <cstdint>

// Writes `code` into `out` (room for 6 bytes) and returns the number of bytes written (1 to 6;
// 2 for code point 0), or -1 for a code point of 2^31 or more.
int32_t wtoutf8(uint32_t code, char* out);

// Decodes the one sequence at the start of `bytes` into `*code` and returns its length, or -1 for
// a null pointer, a length of 0, an invalid lead byte, fewer bytes than the lead byte announces,
// a byte that is not a continuation byte, or an overlong form other than C0 80.
int32_t utf8tow(const char* bytes, size_t length, uint32_t* code);

// The number of code points before the terminating zero byte; -1 for invalid UTF-8 or null.
int32_t utf8strlen(const char* text);

// The number of code points in `length` bytes; a zero code point that ends the bytes is not
// counted. -1 for invalid UTF-8.
int32_t utf8strnlen(const char* bytes, size_t length);
