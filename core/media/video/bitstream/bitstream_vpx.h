#pragma once
// VP8 picture size from a key frame, or from a packet of 2 to 6 VP8 frames (a 32-bit little-endian
// frame count, then for each frame a 32-bit little-endian size and the frame).
//
// Thread safety: pure functions; callable from any thread.

#include <cstdint>

// A frame of more than 9 bytes with the key-frame start code 9D 01 2A at bytes 3 to 5: the 14-bit
// width and height, frames := 1, 0. A packet of more than 17 bytes with the start code at bytes 11
// to 13: frames := the count; -1 when the count is not 2 to 6 or a frame does not fit in the packet
// or is shorter than 10 bytes; 2 frames: the first frame's size; 3 to 6: the last frame's width and
// the sum of the heights less 32 for the first and the last frame and 64 for each between (-1 when
// that is not positive). Anything else -1. Nothing outside `length` is read.
int ResolutionFromBitstream_VPX(const uint8_t* stream, int length, int& width, int& height,
                                int& frames);
// length > 9 and the key-frame start code at bytes 3 to 5.
bool IsBitstreamKeyFrame_VPX(const uint8_t* stream, int length);
