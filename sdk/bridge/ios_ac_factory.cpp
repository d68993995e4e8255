// The one file of ours that calls the WebRTC G.711 and G.722 codecs.
#include "sdk/bridge/ios_ac_factory.h"

#include <algorithm>
#include <cstdint>

#include "modules/audio_coding/codecs/g711/g711_interface.h"
#include "modules/audio_coding/codecs/g722/g722_interface.h"

namespace {

using EncodeFn = size_t (*)(const int16_t*, size_t, uint8_t*);
using DecodeFn = size_t (*)(const uint8_t*, size_t, int16_t*, int16_t*);

// One byte per sample each way; only the part whose output fits is converted.
int ConvertG711(bool coder, EncodeFn encode, DecodeFn decode, unsigned char* input, int inputBytes,
                unsigned char* output, int outputCapacity) {
  if (input == nullptr || output == nullptr || inputBytes <= 0 || outputCapacity <= 0) return 0;
  if (coder) {
    const size_t samples = std::min<size_t>(inputBytes / 2, outputCapacity);
    if (samples == 0) return 0;
    return static_cast<int>(encode(reinterpret_cast<const int16_t*>(input), samples, output));
  }
  const size_t bytes = std::min<size_t>(inputBytes, outputCapacity / 2);
  if (bytes == 0) return 0;
  int16_t speech_type = 0;
  return static_cast<int>(decode(input, bytes, reinterpret_cast<int16_t*>(output), &speech_type) *
                          2);
}

}  // namespace

int AudioCodecG711a::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                             int outputCapacity) {
  return ConvertG711(coder_, WebRtcG711_EncodeA, WebRtcG711_DecodeA, input, inputBytes, output,
                     outputCapacity);
}

int AudioCodecG711u::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                             int outputCapacity) {
  return ConvertG711(coder_, WebRtcG711_EncodeU, WebRtcG711_DecodeU, input, inputBytes, output,
                     outputCapacity);
}

AudioCodecG722::AudioCodecG722(bool coder) : AudioCodecBase(coder) {
  if (coder) {
    WebRtcG722_CreateEncoder(&encoder_);
  } else {
    WebRtcG722_CreateDecoder(&decoder_);
  }
}

AudioCodecG722::~AudioCodecG722() {
  if (encoder_ != nullptr) WebRtcG722_FreeEncoder(encoder_);
  if (decoder_ != nullptr) WebRtcG722_FreeDecoder(decoder_);
}

int AudioCodecG722::Init(int) {
  if (coder_) {
    if (encoder_ == nullptr) return -1;
    WebRtcG722_EncoderInit(encoder_);
  } else {
    if (decoder_ == nullptr) return -1;
    WebRtcG722_DecoderInit(decoder_);
  }
  return 0;
}

int AudioCodecG722::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                            int outputCapacity) {
  if (input == nullptr || output == nullptr || inputBytes <= 0 || outputCapacity <= 0) return 0;
  if (coder_) {
    if (encoder_ == nullptr) return 0;
    // Samples go in pairs (the library reads two per output byte): an odd last sample is left.
    const size_t samples =
        std::min<size_t>(inputBytes / 2, size_t{2} * outputCapacity) & ~size_t{1};
    if (samples == 0) return 0;
    // The full count: a 16-bit result would turn negative past 32767 bytes.
    return static_cast<int>(
        WebRtcG722_Encode(encoder_, reinterpret_cast<const int16_t*>(input), samples, output));
  }
  if (decoder_ == nullptr) return 0;
  const size_t bytes = std::min<size_t>(inputBytes, outputCapacity / 4);
  if (bytes == 0) return 0;
  int16_t speech_type = 0;
  return static_cast<int>(
      WebRtcG722_Decode(decoder_, input, bytes, reinterpret_cast<int16_t*>(output), &speech_type) *
      2);
}

IOS_ACFactory::IOS_ACFactory() {
  AddSupportFourcc(hx_audio_tags::kG711a);
  AddSupportFourcc(hx_audio_tags::kG711mu);
  AddSupportFourcc(hx_audio_tags::kG722);
}

AudioCodecBase* IOS_ACFactory::CreateEncoderG711a() { return new AudioCodecG711a(true); }
AudioCodecBase* IOS_ACFactory::CreateEncoderG711mu() { return new AudioCodecG711u(true); }
AudioCodecBase* IOS_ACFactory::CreateEncoderG722() { return new AudioCodecG722(true); }
AudioCodecBase* IOS_ACFactory::CreateDecoderG711a() { return new AudioCodecG711a(false); }
AudioCodecBase* IOS_ACFactory::CreateDecoderG711mu() { return new AudioCodecG711u(false); }
AudioCodecBase* IOS_ACFactory::CreateDecoderG722() { return new AudioCodecG722(false); }
