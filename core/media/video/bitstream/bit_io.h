#pragma once
// Bit-level reading and writing for the bitstream parsers, and the NAL-unit helpers that the
// H.264 and H.265 parsers share (start codes, emulation prevention).
//
// Reader. A position (hx_bitpos) carries the bytes it may read: every read stays inside them. A
// read that would pass the end, or an Exp-Golomb code of 32 or more leading zeros (no 32-bit code
// has that many), reads nothing more, answers 0 and sets `failed`; the position then stays at the
// end. Parsers read a whole header and check `failed` once, answering "malformed" when it is set.
// Bits are read most significant first, as the video standards write them.
//
// Writer (h264Bitstream, and h265Bitstream, the same type): appends bits into a caller's buffer and
// stops silently at its end. PutBits writes nothing when fewer than 5 bytes remain.
//
// Thread safety: pure functions over the caller's objects; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

struct hx_bitpos {
  const uint8_t* data = nullptr;
  size_t size = 0;      // bytes that may be read
  uint64_t bit = 0;     // bits read so far
  bool failed = false;  // a read passed the end, or a code was longer than 32 bits
};

// A position at the first bit of `size` bytes.
hx_bitpos BitPosition(const uint8_t* data, size_t size);
// Bits left to read.
uint64_t BitsLeft(const hx_bitpos& position);

uint32_t GetBit(hx_bitpos& position);
// n bits (0 to 32; more is read as 32), the first read as the most significant.
uint32_t GetBits(hx_bitpos& position, int n);
// An Exp-Golomb code: the unsigned codeNum (0 to 2^32 - 2), or, when `signedValue`, the mapped
// value (-1)^(k+1) * ceil(k / 2) of codeNum k.
int64_t GetVLC(hx_bitpos& position, bool signedValue);

struct h264Bitstream {
  uint8_t* start = nullptr;
  uint8_t* p = nullptr;    // the byte being written
  uint8_t* end = nullptr;  // one past the buffer
  int bits_left = 8;       // free bits in *p
};
using h265Bitstream = h264Bitstream;

// Starts writing at `buffer` (`size` bytes).
void InitBitstream(h264Bitstream* bs, uint8_t* buffer, size_t size);
// Bytes written so far, a partly written byte included.
size_t BitstreamBytes(const h264Bitstream* bs);

void PutBit(h264Bitstream* bs, int bit);
// The n low bits of value (n ≤ 32), most significant first; nothing when n ≤ 0 or when fewer
// than 5 bytes remain.
void PutBits(h264Bitstream* bs, int n, uint32_t value);
// codeNum v as an unsigned Exp-Golomb code (0 is the single bit 1). Takes up to 2^32.
void PutVLC_ue(h264Bitstream* bs, uint64_t v);
// v > 0 as codeNum 2v - 1, otherwise as -2v.
void PutVLC_se(h264Bitstream* bs, int32_t v);
// Truncated: ue when range > 1, the inverted bit when range is 1, nothing otherwise.
void PutVLC_te(h264Bitstream* bs, int range, uint32_t v);
// The rbsp stop bit 1, then zero bits to the byte boundary.
void PutTrailingBits(h264Bitstream* bs);

namespace hx::bitstream {

// Offset of the first start code 00 00 01 at or after `from` that is followed by at least one
// byte (the scan runs while at least 4 bytes remain), or -1.
int64_t FindStartCode(const uint8_t* data, size_t size, size_t from);
// Bytes of a unit up to the next 00 00 01, or `size` when none follows.
size_t UnitSize(const uint8_t* unit, size_t size);
// Copies `size` bytes into `out` without the emulation-prevention bytes (00 00 03 → 00 00).
void RemoveEmulationPrevention(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

}  // namespace hx::bitstream
