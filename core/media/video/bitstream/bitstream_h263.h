#pragma once
// H.263 and H.263+ picture size from a picture header (ITU-T H.263 5.1).
//
// Thread safety: pure functions; callable from any thread.

#include <cstdint>

// Width and height by source format 0 to 7; 0 x 0 for the forbidden, custom and extended formats.
struct h263_format_resolution {
  int width;
  int height;
};
extern const h263_format_resolution kH263FormatResolution[8];

// Finds the picture start code at a byte boundary and reads the source format. Standard formats
// answer 0 with their table size (0 x 0 included: callers check the size). The extended type
// (PLUSPTYPE) with UFEP 1 reads OPPTYPE's format, and for the custom format CPFMT:
// width := (PWI + 1) x 4, height := PHI x 4. Fewer than 4 bytes, no start code with 25 bits after
// it, or UFEP other than 1: -1. A header that ends before the size is read: -2. Nothing outside
// `length` is read.
int ResolutionFromBitstream_H263(const uint8_t* stream, int length, int& width, int& height);
