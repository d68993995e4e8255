// The G.711 A-law decoder fed payloads from the network;
// audio_decoder_fuzz.h says what is checked.
#include <cstddef>
#include <cstdint>

#include "fuzz/audio_decoder_fuzz.h"
#include "sdk/bridge/ios_ac_factory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IOS_ACFactory factory;
  FuzzAudioDecoder(factory.CreateDecoder(hx_audio_tags::kG711a), 8000, data, size);
  return 0;
}
