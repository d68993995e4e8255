#include "core/media/video/bitstream/bit_io.h"

hx_bitpos BitPosition(const uint8_t* data, size_t size) {
  hx_bitpos position;
  position.data = data;
  position.size = data ? size : 0;
  return position;
}

uint64_t BitsLeft(const hx_bitpos& position) {
  const uint64_t total = static_cast<uint64_t>(position.size) * 8;
  return position.bit < total ? total - position.bit : 0;
}

uint32_t GetBit(hx_bitpos& position) { return GetBits(position, 1); }

uint32_t GetBits(hx_bitpos& position, int n) {
  if (n <= 0) return 0;
  if (n > 32) n = 32;
  if (BitsLeft(position) < static_cast<uint64_t>(n)) {
    position.failed = true;
    position.bit = static_cast<uint64_t>(position.size) * 8;
    return 0;
  }
  uint64_t value = 0;
  for (int i = 0; i < n; ++i) {
    const uint64_t b = position.bit + static_cast<uint64_t>(i);
    value = (value << 1) | ((position.data[b >> 3] >> (7 - (b & 7))) & 1u);
  }
  position.bit += static_cast<uint64_t>(n);
  return static_cast<uint32_t>(value);
}

int64_t GetVLC(hx_bitpos& position, bool signedValue) {
  int zeros = 0;
  while (true) {
    if (BitsLeft(position) == 0) {
      position.failed = true;
      return 0;
    }
    if (GetBit(position)) break;
    if (++zeros >= 32) {
      position.failed = true;
      return 0;
    }
  }
  const uint64_t code = (uint64_t{1} << zeros) - 1 + GetBits(position, zeros);
  if (position.failed) return 0;
  if (!signedValue) return static_cast<int64_t>(code);
  const int64_t half = static_cast<int64_t>((code + 1) / 2);
  return (code & 1) ? half : -half;
}

void InitBitstream(h264Bitstream* bs, uint8_t* buffer, size_t size) {
  bs->start = buffer;
  bs->p = buffer;
  bs->end = buffer + size;
  bs->bits_left = 8;
}

size_t BitstreamBytes(const h264Bitstream* bs) {
  return static_cast<size_t>(bs->p - bs->start) + (bs->bits_left < 8 && bs->p < bs->end ? 1 : 0);
}

void PutBit(h264Bitstream* bs, int bit) {
  if (bs->p >= bs->end) return;
  if (bs->bits_left == 8) *bs->p = 0;
  --bs->bits_left;
  if (bit) *bs->p |= static_cast<uint8_t>(1u << bs->bits_left);
  if (bs->bits_left == 0) {
    ++bs->p;
    bs->bits_left = 8;
  }
}

void PutBits(h264Bitstream* bs, int n, uint32_t value) {
  if (n <= 0 || bs->end - bs->p < 5) return;
  if (n > 32) n = 32;
  for (int i = n - 1; i >= 0; --i) PutBit(bs, static_cast<int>((value >> i) & 1u));
}

void PutVLC_ue(h264Bitstream* bs, uint64_t v) {
  const uint64_t code = v + 1;
  int length = 0;
  while ((code >> length) > 1) ++length;
  // `length` zeros, then the `length + 1` bits of code (its leading 1 first); at most 33 bits.
  for (int i = 0; i < length; ++i) PutBit(bs, 0);
  for (int i = length; i >= 0; --i) PutBit(bs, static_cast<int>((code >> i) & 1u));
}

void PutVLC_se(h264Bitstream* bs, int32_t v) {
  const int64_t wide = v;
  PutVLC_ue(bs, static_cast<uint64_t>(wide > 0 ? 2 * wide - 1 : -2 * wide));
}

void PutVLC_te(h264Bitstream* bs, int range, uint32_t v) {
  if (range > 1)
    PutVLC_ue(bs, v);
  else if (range == 1)
    PutBit(bs, v ? 0 : 1);
}

void PutTrailingBits(h264Bitstream* bs) {
  PutBit(bs, 1);
  while (bs->bits_left != 8 && bs->p < bs->end) PutBit(bs, 0);
}

namespace hx::bitstream {

int64_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
  if (!data) return -1;
  for (size_t i = from; size >= 4 && i <= size - 4; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return static_cast<int64_t>(i);
  }
  return -1;
}

size_t UnitSize(const uint8_t* unit, size_t size) {
  for (size_t i = 0; size >= 3 && i <= size - 3; ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) return i;
  }
  return size;
}

void RemoveEmulationPrevention(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  out->clear();
  out->reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    out->push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
}

}  // namespace hx::bitstream
