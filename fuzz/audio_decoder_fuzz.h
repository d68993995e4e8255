#pragma once
// What every audio decoder harness checks: fed payloads from the network, whatever the bytes, the
// decoder answers 0 or a length within the room it was given, and writes nothing past that room
// (the output is a heap block of exactly that size, so AddressSanitizer sees a write past it). The
// room varies with the input so that short rooms are tried too.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/media/audio/audio_codec.h"

inline void FuzzAudioDecoder(const std::shared_ptr<AudioCodecBase>& decoder, int rate,
                             const uint8_t* data, size_t size) {
  if (decoder->Init(rate) != 0) return;
  std::vector<unsigned char> payload(data, data + size);
  for (int room : {1 + static_cast<int>(size > 1 ? data[1] : 0) * 8, 3840, 150000}) {
    std::vector<unsigned char> out(room);
    const int n =
        decoder->Convert(payload.data(), static_cast<int>(payload.size()), out.data(), room);
    if (n < 0 || n > room) std::abort();
  }
}
