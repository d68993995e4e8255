// Base64 decoding of text from the network, and the encode-decode round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/security/base64.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  size_t needed = 0;
  HX_Base64::decode(text, size, nullptr, &needed);
  // Exactly the reported room, so a write past it shows under AddressSanitizer.
  std::vector<uint8_t> decoded(needed);
  size_t decoded_size = needed;
  if (HX_Base64::decode(text, size, decoded.empty() ? nullptr : decoded.data(), &decoded_size)) {
    Check(decoded_size <= needed);
  }

  size_t encoded_size = 0;
  HX_Base64::encode(data, size, nullptr, &encoded_size);
  std::vector<char> encoded(encoded_size + 1);
  Check(HX_Base64::encode(data, size, encoded.data(), &encoded_size) == encoded.data());
  std::vector<uint8_t> back(size + 1);
  size_t back_size = back.size();
  Check(HX_Base64::decode(encoded.data(), encoded_size, back.data(), &back_size) == back.data());
  Check(back_size == size && std::memcmp(back.data(), data, size) == 0);
  return 0;
}
