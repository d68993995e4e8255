// The VP8 size reader fed peer bytes, a single frame or a packet of frames (a heap block of exactly
// their size): 0 with a 14-bit size and 1 to 6 frames, else -1, and nothing read past the input.
#include <cstdint>
#include <cstdlib>

#include "core/media/video/bitstream/bitstream_vpx.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const int length = static_cast<int>(size);
  int w = -1, h = -1, frames = 0;
  const int r = ResolutionFromBitstream_VPX(data, length, w, h, frames);
  const bool key = IsBitstreamKeyFrame_VPX(data, length);
  Check(r == 0 || r == -1);
  if (key) Check(r == 0 && frames == 1);
  if (r == 0) {
    Check(frames >= 1 && frames <= 6);
    Check(w >= 0 && w <= 0x3FFF && h >= 0);
    // Six stacked frames of at most 0x3FFF lines each.
    Check(h <= 6 * 0x3FFF);
  }
  return 0;
}
