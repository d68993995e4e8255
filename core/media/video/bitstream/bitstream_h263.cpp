#include "core/media/video/bitstream/bitstream_h263.h"

#include "core/media/video/bitstream/bit_io.h"

const h263_format_resolution kH263FormatResolution[8] = {
    {0, 0}, {128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}, {0, 0}, {0, 0}};

namespace {

constexpr int kStartCodeBits = 22;
constexpr uint32_t kSourceFormatExtended = 7;
constexpr uint32_t kSourceFormatCustom = 6;

}  // namespace

int ResolutionFromBitstream_H263(const uint8_t* stream, int length, int& width, int& height) {
  if (!stream || length < 4) return -1;
  const size_t size = static_cast<size_t>(length);
  size_t at = 0;
  bool found = false;
  for (; at + 3 <= size; ++at) {
    if (stream[at] == 0 && stream[at + 1] == 0 && (stream[at + 2] & 0xFC) == 0x80) {
      found = true;
      break;
    }
  }
  if (!found) return -1;
  hx_bitpos p = BitPosition(stream + at, size - at);
  GetBits(p, kStartCodeBits);
  if (BitsLeft(p) < 25) return -1;
  GetBits(p, 8);  // temporal reference
  GetBits(p, 5);  // PTYPE: marker, H.261 distinction, split screen, document camera, freeze release
  const uint32_t format = GetBits(p, 3);
  if (format != kSourceFormatExtended) {
    width = kH263FormatResolution[format].width;
    height = kH263FormatResolution[format].height;
    return 0;
  }
  const uint32_t ufep = GetBits(p, 3);
  if (p.failed) return -2;
  if (ufep != 1) return -1;
  const uint32_t extended = GetBits(p, 3);  // OPPTYPE source format
  GetBits(p, 15);                           // the rest of OPPTYPE
  GetBits(p, 9);                            // MPPTYPE
  if (GetBit(p)) GetBits(p, 2);             // CPM, then PSBI
  if (extended == kSourceFormatCustom) {
    GetBits(p, 4);  // pixel aspect ratio code
    const uint32_t widthIndication = GetBits(p, 9);
    GetBit(p);
    const uint32_t heightIndication = GetBits(p, 9);
    if (p.failed) return -2;
    width = static_cast<int>((widthIndication + 1) * 4);
    height = static_cast<int>(heightIndication * 4);
    return 0;
  }
  if (p.failed) return -2;
  width = kH263FormatResolution[extended].width;
  height = kH263FormatResolution[extended].height;
  return 0;
}
