#pragma once
// Base64 of RFC 4648: the standard alphabet with "=" padding, no line breaks, no terminating zero.
// Both operations are reentrant.

#include <cstddef>

class HX_Base64 {
 public:
  // Encodes `length` bytes into `out`. `*size` is set to the encoded length, 4 * ceil(length / 3).
  // Returns `out`, or null (with only the size set) when `out` is null or the given `*size` is
  // smaller than that. Null as well, size untouched, for a null `size`, null `bytes` with a
  // length, or a length too large to encode.
  static char* encode(const void* bytes, size_t length, char* out, size_t* size);

  // Decodes `length` characters; "=" and characters outside the alphabet count as 0.
  // Null, size untouched, when the length is not a multiple of 4. With a null `out` sets `*size`
  // to length / 4 * 3 and returns null. Otherwise sets `*size` to the decoded length (less one
  // for each "=" among the last two characters) and returns `out` with the bytes written, or
  // null when the given `*size` was smaller.
  static void* decode(const char* text, size_t length, void* out, size_t* size);
};
