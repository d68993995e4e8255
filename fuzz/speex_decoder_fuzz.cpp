// The Speex decoder fed payloads from the network;
// audio_decoder_fuzz.h says what is checked.
#include <cstddef>
#include <cstdint>

#include "core/media/audio/audio_codec_factory.h"
#include "fuzz/audio_decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_AudioCodecFactory factory;
  FuzzAudioDecoder(factory.CreateDecoder(hx_audio_tags::kSpeex), 16000, data, size);
  return 0;
}
