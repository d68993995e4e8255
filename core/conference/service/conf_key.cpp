#include "core/conference/service/conf_key.h"

#include <openssl/rand.h>

#include <cstdint>

bool HX_GenKeyByMD5(char* out, size_t size) {
  // A key derived from the clock could be guessed from the call time, and two
  // accepts within one second would share it: the bytes come from the random
  // generator instead. The printed form stays what peers expect.
  constexpr size_t kKeyBytes = 16;
  if (out == nullptr || size < 2 * kKeyBytes + 1) return false;
  uint8_t bytes[kKeyBytes];
  if (RAND_bytes(bytes, static_cast<int>(kKeyBytes)) != 1) {
    out[0] = '\0';
    return false;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < kKeyBytes; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 0xF];
  }
  out[2 * kKeyBytes] = '\0';
  return true;
}
