// The G.722 decoder fed payloads from the network: whatever the bytes, it answers 0 or a
// length within the room it was given, and writes nothing past that room (the output is a heap
// block of exactly that size, so AddressSanitizer sees a write past it). The room varies with
// the input so that short rooms are tried too.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sdk/bridge/ios_ac_factory.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IOS_ACFactory factory;
  auto decoder = factory.CreateDecoder(hx_audio_tags::kG722);
  if (decoder->Init(16000) != 0) return 0;
  std::vector<unsigned char> payload(data, data + size);
  for (int room : {1 + static_cast<int>(size > 1 ? data[1] : 0) * 8, 3840, 150000}) {
    std::vector<unsigned char> out(room);
    const int n =
        decoder->Convert(payload.data(), static_cast<int>(payload.size()), out.data(), room);
    Check(n >= 0 && n <= room);
  }
  return 0;
}
