#pragma once
// What every video decoder harness does with packets from the network: a decoder opened at 64x48
// first decodes a real key frame of that size made by the matching encoder, so that the input is
// read against real parameter sets and references; then the input is decoded whole, and once
// more as its first half. Whatever the bytes, the decoder answers 0 or the bytes of one picture
// of its opened size, and writes nothing past that room (the output is a heap block of exactly
// that size, so AddressSanitizer sees a write past it; the input is a copy of exactly its size,
// so a read past it is seen too).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/video/codec/video_codec.h"

constexpr int kFuzzVideoWidth = 64;
constexpr int kFuzzVideoHeight = 48;

inline void FuzzCheck(bool condition) {
  if (!condition) std::abort();
}

// One key frame of a gradient picture of the harness's size, made by `encoder` opened with
// `options`; empty when it cannot be made.
inline std::vector<unsigned char> EncodeFuzzKeyFrame(VideoCodecBase& encoder,
                                                     const HX_VideoCoderOptions& options) {
  std::vector<unsigned char> picture(kFuzzVideoWidth * kFuzzVideoHeight * 3 / 2);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>(i * 7);
  std::vector<unsigned char> out(kFuzzVideoWidth * kFuzzVideoHeight * 3);
  HX_VideoCodecParam param;
  int n = 0;
  if (encoder.init(&options, 0)) n = encoder.convert(picture.data(), out.data(), param);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// Decodes the first `size` bytes of `bytes` into a block of exactly `room` bytes.
inline int DecodeFuzzInput(VideoCodecBase& decoder, const std::vector<unsigned char>& bytes,
                           size_t size, size_t room) {
  std::vector<unsigned char> out(room);
  std::vector<unsigned char> in(bytes.begin(), bytes.begin() + static_cast<long>(size));
  HX_VideoCodecParam param;
  param.inputSize = static_cast<uint32_t>(size);
  const int n = decoder.convert(in.data(), out.data(), param);
  FuzzCheck(n == 0 || static_cast<size_t>(n) == room);
  return n;
}

// Opens `decoder` with `options`, decodes `keyFrame` (which must give a picture), then the input
// whole and its first half; `room` is the size of one decoded picture.
inline void FuzzVideoDecoder(VideoCodecBase& decoder, const HX_VideoCoderOptions& options,
                             const std::vector<unsigned char>& keyFrame, size_t room,
                             const uint8_t* data, size_t size) {
  FuzzCheck(!keyFrame.empty());
  FuzzCheck(decoder.init(&options, 0));
  FuzzCheck(DecodeFuzzInput(decoder, keyFrame, keyFrame.size(), room) > 0);
  if (size == 0) return;
  const std::vector<unsigned char> input(data, data + size);
  DecodeFuzzInput(decoder, input, size, room);
  if (size > 1) DecodeFuzzInput(decoder, input, size / 2, room);
}
