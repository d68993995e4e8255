// The H.264 software decoder adapter fed packets from the network, as every video decoder harness
// (video_decoder_fuzz.h): its key frame holds parameter sets and an IDR picture, made by the
// adapter's encoder; a picture is I420 of the opened size.
#include <cstdint>
#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/wire/media_format.h"
#include "fuzz/video_decoder_fuzz.h"

namespace {

HX_VideoCoderOptions Options() {
  HX_VideoCoderOptions o;
  o.width = kFuzzVideoWidth;
  o.height = kFuzzVideoHeight;
  o.timeBase = 30;
  o.bitrate = 200;
  return o;
}

const std::vector<unsigned char>& KeyFrame() {
  static const std::vector<unsigned char> frame = [] {
    VideoCodecFFmpeg encoder(HX_MediaFormat::kCodecH264, true, true, 0);
    return EncodeFuzzKeyFrame(encoder, Options());
  }();
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VideoCodecFFmpeg decoder(HX_MediaFormat::kCodecH264, false, true, 0);
  FuzzVideoDecoder(decoder, Options(), KeyFrame(),
                   static_cast<size_t>(kFuzzVideoWidth) * kFuzzVideoHeight * 3 / 2, data, size);
  return 0;
}
