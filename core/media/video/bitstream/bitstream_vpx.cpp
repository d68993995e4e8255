#include "core/media/video/bitstream/bitstream_vpx.h"

#include <cstddef>

namespace {

constexpr size_t kSizeBytes = 10;  // a frame's size fields end at byte 9

bool HasStartCode(const uint8_t* at) { return at[0] == 0x9D && at[1] == 0x01 && at[2] == 0x2A; }

uint32_t Le16(const uint8_t* at) { return static_cast<uint32_t>(at[0] | (at[1] << 8)); }

uint32_t Le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

bool IsBitstreamKeyFrame_VPX(const uint8_t* stream, int length) {
  return stream && length > 9 && HasStartCode(stream + 3);
}

int ResolutionFromBitstream_VPX(const uint8_t* stream, int length, int& width, int& height,
                                int& frames) {
  if (!stream || length <= 9) return -1;
  if (HasStartCode(stream + 3)) {
    width = static_cast<int>(Le16(stream + 6) & 0x3FFF);
    height = static_cast<int>(Le16(stream + 8) & 0x3FFF);
    frames = 1;
    return 0;
  }
  if (length <= 17 || !HasStartCode(stream + 11)) return -1;
  const size_t size = static_cast<size_t>(length);
  const uint32_t count = Le32(stream);
  frames = static_cast<int>(count);
  if (count < 2 || count > 6) return -1;
  size_t at = 4;
  int64_t heights = 0;
  int lastWidth = 0;
  int firstWidth = 0;
  int firstHeight = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < 4) return -1;
    const uint64_t frameSize = Le32(stream + at);
    at += 4;
    if (frameSize > size - at || frameSize < kSizeBytes) return -1;
    const uint8_t* frame = stream + at;
    const int w = static_cast<int>(Le16(frame + 6) & 0x3FFF);
    const int h = static_cast<int>(Le16(frame + 8) & 0x3FFF);
    if (i == 0) {
      firstWidth = w;
      firstHeight = h;
    }
    lastWidth = w;
    heights += h;
    at += static_cast<size_t>(frameSize);
  }
  if (count == 2) {
    width = firstWidth;
    height = firstHeight;
    return 0;
  }
  const int64_t stacked = heights - 2 * 32 - static_cast<int64_t>(count - 2) * 64;
  if (stacked <= 0) return -1;
  width = lastWidth;
  height = static_cast<int>(stacked);
  return 0;
}
