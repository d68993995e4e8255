// The H.263 picture-size reader fed peer bytes (a heap block of exactly their size): 0 with a size
// from the format table or from CPFMT, else -1 or -2, and nothing read past the input.
#include <cstdint>
#include <cstdlib>

#include "core/media/video/bitstream/bitstream_h263.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  int w = -1, h = -1;
  const int r = ResolutionFromBitstream_H263(data, static_cast<int>(size), w, h);
  if (r != 0 && r != -1 && r != -2) std::abort();
  // CPFMT allows at most 2048 x 2044; the table at most 1408 x 1152.
  if (r == 0 && (w < 0 || w > 2048 || h < 0 || h > 2044)) std::abort();
  return 0;
}
