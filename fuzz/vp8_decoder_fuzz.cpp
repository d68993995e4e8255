// The VP8 decoder fed frames from the network, as every video decoder harness
// (video_decoder_fuzz.h): after a real key frame the input is read as a delta frame against real
// references; a picture is the decoder's OutputBytes of the opened size.
#include <cstdint>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "fuzz/video_decoder_fuzz.h"

namespace {

HX_VideoCoderOptions Options() {
  HX_VideoCoderOptions o;
  o.width = kFuzzVideoWidth;
  o.height = kFuzzVideoHeight;
  o.timeBase = 10;
  o.bitrate = 200;
  o.constantBitrate = 1;
  o.keyFrameMaxDistance = 1000;
  o.threads = 1;
  o.lagFrames = 1;
  o.cpuUsed = -14;
  o.staticThreshold = 800;
  o.autoKeyFrames = 1;
  return o;
}

// One real key frame of a gradient picture, made once.
const std::vector<unsigned char>& KeyFrame() {
  static const std::vector<unsigned char> frame = [] {
    HXCodecVP8Encoder encoder;
    return EncodeFuzzKeyFrame(encoder, Options());
  }();
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HXCodecVP8Decoder decoder;
  FuzzVideoDecoder(decoder, Options(), KeyFrame(),
                   HXCodecVP8Decoder::OutputBytes(kFuzzVideoWidth, kFuzzVideoHeight), data, size);
  return 0;
}
