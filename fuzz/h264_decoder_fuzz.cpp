// The H.264 software decoder adapter fed packets from the network: a decoder opened at 64x48 first
// decodes a real key frame of that size made by the adapter's encoder (parameter sets and an IDR
// picture), so the input is read against real parameter sets and references; then the input is
// decoded whole, and once more as its first half. Whatever the bytes, the decoder answers 0 or the
// bytes of one I420 picture of its opened size, and writes nothing past that room (the output is a
// heap block of exactly that size, so AddressSanitizer sees a write past it).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/wire/media_format.h"

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
  o.timeBase = 30;
  o.bitrate = 200;
  return o;
}

const std::vector<unsigned char>& KeyFrame() {
  static const std::vector<unsigned char> frame = [] {
    VideoCodecFFmpeg encoder(HX_MediaFormat::kCodecH264, true, true, 0);
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

int Decode(VideoCodecFFmpeg& decoder, const std::vector<unsigned char>& bytes, size_t size) {
  const size_t room = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  std::vector<unsigned char> out(room);
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
  VideoCodecFFmpeg decoder(HX_MediaFormat::kCodecH264, false, true, 0);
  HX_VideoCoderOptions o = Options();
  Check(decoder.init(&o, 0));
  Check(Decode(decoder, key, key.size()) > 0);
  if (size == 0) return 0;
  const std::vector<unsigned char> input(data, data + size);
  Decode(decoder, input, size);
  if (size > 1) Decode(decoder, input, size / 2);
  return 0;
}
