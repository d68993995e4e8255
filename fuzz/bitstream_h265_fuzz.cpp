// The H.265 readers fed peer bytes: the stream functions, the unit functions on the whole input,
// and profile_tier_level with a sub-layer count taken from the first byte. Answers stay within
// 0, -1 and -2 (-3 for the unit function), sizes are positive when found, and nothing is read past
// the input (a heap block of exactly its size).
#include <cstdint>
#include <cstdlib>

#include "core/media/video/bitstream/bitstream_h265.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const int length = static_cast<int>(size);
  int w = 0, h = 0, delta = 0;
  const int r = ResolutionFromBitstream_H265(data, length, w, h);
  Check(r == 0 || r == -1 || r == -2);
  if (r == 0) Check(w > 0 && h > 0);
  const int t = TypeSliceFromBitstream_H265(data, length, delta);
  Check((t == 0 && delta == 0) || (t == -1 && delta == 1));
  const int n = ResolutionFromNAL_H265(data, length, w, h);
  Check(n >= -3 && n <= 0);
  const int type = TypeSliceFromNAL_H265(data, length);
  Check(type >= -2 && type <= 0);
  if (size > 0) {
    hx_bitpos position = BitPosition(data + 1, size - 1);
    profile_tier_level(data[0] & 1, data[0] >> 1, position);
    Check(position.bit <= static_cast<uint64_t>(size - 1) * 8);
  }
  return 0;
}
