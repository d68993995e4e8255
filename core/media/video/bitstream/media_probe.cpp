#include "core/media/video/bitstream/media_probe.h"

#include "core/media/video/bitstream/bitstream_h263.h"
#include "core/media/video/bitstream/bitstream_h264.h"
#include "core/media/video/bitstream/bitstream_h265.h"
#include "core/media/video/bitstream/bitstream_vpx.h"
#include "core/wire/media_format.h"

namespace {
constexpr unsigned kCodecVP8Further = 0x64687670;
}  // namespace

int HX_ProbeMediaFormat(const uint8_t* bitstream, int length, int& width, int& height,
                        unsigned& fourcc, int& frames) {
  if (bitstream == nullptr || length <= 0) return -1;
  // Every parser writes its outputs only on success, but the probe promises that for all of them.
  int w = 0, h = 0, n = 0;
  if (ResolutionFromBitstream_VPX(bitstream, length, w, h, n) == 0) {
    fourcc = n == 1   ? HX_MediaFormat::kCodecVP8
             : n == 2 ? HX_MediaFormat::kCodecVP8Stereo
                      : kCodecVP8Further;
    width = w;
    height = h;
    frames = n;
    return 0;
  }
  struct Step {
    int (*parse)(const uint8_t*, int, int&, int&);
    unsigned fourcc;
  };
  const Step steps[] = {
      {ResolutionFromBitstream_H264, HX_MediaFormat::kCodecH264},
      {ResolutionFromBitstream_H265, HX_MediaFormat::kCodecH265},
      {ResolutionFromBitstream_H263, HX_MediaFormat::kCodecH263Plus},
  };
  for (const Step& step : steps) {
    const int r = step.parse(bitstream, length, w, h);
    if (r == -1) continue;
    fourcc = step.fourcc;
    if (r != 0) return -2;
    width = w;
    height = h;
    frames = 1;
    return 0;
  }
  return -1;
}
