// The VP8 decoder fed frames from the network: a decoder opened at 64x48 first decodes a real key
// frame of that size, so that the input is read as a delta frame against real references; then the
// input is decoded whole, and once more as its first half. Whatever the bytes, the decoder answers
// 0 or the bytes of one picture of its opened size, and writes nothing past that room (the output
// is a heap block of exactly that size, so AddressSanitizer sees a write past it).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

void Check(bool condition) {
  if (!condition) std::abort();
}

HX_VideoCoderOptions Options() {
  HX_VideoCoderOptions o;
  o.width = kWidth;
  o.height = kHeight;
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
    HX_VideoCoderOptions o = Options();
    std::vector<unsigned char> picture(kWidth * kHeight * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> out(kWidth * kHeight * 3);
    HX_VideoCodecParam param;
    int n = 0;
    if (encoder.init(&o, 0)) n = encoder.convert(picture.data(), out.data(), param);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }();
  return frame;
}

int Decode(HXCodecVP8Decoder& decoder, const std::vector<unsigned char>& bytes, size_t size) {
  const size_t room = HXCodecVP8Decoder::OutputBytes(kWidth, kHeight);
  std::vector<unsigned char> out(room);
  // The input is a copy of exactly `size` bytes, so a read past it is seen too.
  std::vector<unsigned char> in(bytes.begin(), bytes.begin() + static_cast<long>(size));
  HX_VideoCodecParam param;
  param.inputSize = static_cast<uint32_t>(size);
  const int n = decoder.convert(in.data(), out.data(), param);
  Check(n == 0 || static_cast<size_t>(n) == room);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<unsigned char>& key = KeyFrame();
  Check(!key.empty());
  HXCodecVP8Decoder decoder;
  HX_VideoCoderOptions o = Options();
  Check(decoder.init(&o, 0));
  Check(Decode(decoder, key, key.size()) > 0);
  if (size == 0) return 0;
  const std::vector<unsigned char> input(data, data + size);
  Decode(decoder, input, size);
  if (size > 1) Decode(decoder, input, size / 2);
  return 0;
}
