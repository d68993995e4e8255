// The decoder front-end with the VP8 codec fed received frames (5-byte receive header, then the
// bitstream) from the network. A front-end opened at 176x144 first decodes a real key frame of that
// size, so the input is read against real references; then the input is decoded whole, once more
// with the skip flag, and as its first half. When the first byte of the input is 0xFF, the next
// four bytes give a new format (width and height, little-endian 16-bit, each cut to 0..511 so that
// the harness stays fast, and 0 kept) that goes through ChangeFormat before the frame, as a receive
// stream does on a format change. Every emitted picture must have the bytes the codec writes for
// the front-end's format and fit its picture buffer (a heap block AddressSanitizer watches).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/video_decoder.h"

namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::vector<unsigned char>& KeyFrame() {
  static const std::vector<unsigned char> frame = [] {
    HXCodecVP8Encoder encoder;
    HX_VideoCoderOptions o;
    o.width = kWidth;
    o.height = kHeight;
    o.timeBase = 10;
    o.bitrate = 200;
    o.threads = 1;
    std::vector<unsigned char> picture(kWidth * kHeight * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> out(5 + kWidth * kHeight * 3);
    HX_VideoCodecParam param;
    int n = 0;
    if (encoder.init(&o, 0)) n = encoder.convert(picture.data(), out.data() + 5, param);
    out.resize(n > 0 ? 5 + static_cast<size_t>(n) : 0);
    if (!out.empty()) out[0] = 0;
    return out;
  }();
  return frame;
}

struct Watch {
  HX_VideoDecoder* decoder;
  int pictures = 0;
  void OnPicture(const unsigned char* data, unsigned long size, unsigned w, unsigned h, unsigned) {
    Check(w == decoder->GetFormat().width && h == decoder->GetFormat().height);
    Check(size == HXCodecVP8Decoder::OutputBytes(static_cast<int>(w), static_cast<int>(h)));
    Check(size <= decoder->GetPictureBufferSize());
    volatile unsigned char last = data[size - 1];
    (void)last;
    ++pictures;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HX_VideoCodecFactory factory;
  const std::vector<unsigned char>& key = KeyFrame();
  Check(!key.empty());
  HX_VideoDecoder decoder;
  decoder.SetCodecFactory(&factory);
  Watch watch{&decoder};
  decoder.DecodedPictureSignal.Connect(&watch, &Watch::OnPicture);
  HX_MediaFormat format;
  format.width = kWidth;
  format.height = kHeight;
  format.videoCodec = HX_MediaFormat::kCodecVP8;
  decoder.Reinit(format);
  decoder.OnReady2Decompress(key.data(), key.size(), false);
  Check(watch.pictures == 1);

  if (size >= 5 && data[0] == 0xFF) {
    HX_MediaFormat next = format;
    next.width = (data[1] | data[2] << 8) & 0x1FF;
    next.height = (data[3] | data[4] << 8) & 0x1FF;
    decoder.ChangeFormat(next);
    data += 5;
    size -= 5;
  }
  // Copies, so that a read past the input is a read past a heap block.
  const std::vector<unsigned char> input(data, data + size);
  decoder.OnReady2Decompress(input.data(), input.size(), false);
  decoder.OnReady2Decompress(input.data(), input.size(), true);
  const std::vector<unsigned char> half(data, data + size / 2);
  decoder.OnReady2Decompress(half.data(), half.size(), false);
  return 0;
}
