#pragma once
// H.265 bitstream readers: the picture size of a sequence parameter set and the slice type.
//
// The stream functions scan an Annex B byte stream for 00 00 01 while at least 4 bytes remain and
// hand the unit after it, with every byte left in the stream, to the NAL function. Results: 0
// found, -1 nothing found, -2 H.265 whose answer is not available (an IRAP picture before any
// sequence parameter set, a forbidden bit, a malformed or short parameter set); the NAL functions
// answer -3 for an IRAP unit (types 16 to 21), which the stream functions turn into -2.
//
// Nothing is read outside the given length; sizes are computed in 64 bits and a size that is not
// a positive int answers -2.
//
// Thread safety: pure functions; callable from any thread.

#include <cstdint>

#include "core/media/video/bitstream/bit_io.h"

// Types below 10 -1; 16 to 21 -3; 33 (sequence parameter set) 0 with the conformance-window size
// or -2; the forbidden bit or any other type -2; length ≤ 0 -1. The unit is read up to the next
// start code, without its emulation-prevention bytes.
int ResolutionFromNAL_H265(const uint8_t* nal, int length, int& width, int& height);
// The first answer of ResolutionFromNAL_H265 that is 0 or -1 over the units of the stream, -3
// answered as -2; -1 at the end of the stream.
int ResolutionFromBitstream_H265(const uint8_t* stream, int length, int& width, int& height);

// length ≤ 0 -1; the forbidden bit or a type above 21 -2; 0 to 9 -1; 10 to 15 -2; 16 to 21 0.
int TypeSliceFromNAL_H265(const uint8_t* nal, int length);
// delta := 1; units with the forbidden bit are skipped; the first of a type below 10 -1; the first
// of types 16 to 21 delta := 0 and 0; others are skipped; nothing -1.
int TypeSliceFromBitstream_H265(const uint8_t* stream, int length, int& delta);

// Skips profile_tier_level() (ITU-T H.265 7.3.3) at the position.
void profile_tier_level(bool profilePresent, int maxSubLayersMinus1, hx_bitpos& position);
