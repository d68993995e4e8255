#pragma once
// TEMPORARY: MD5 hex and CRC-32 until the core's own digests (core/security) are merged; then the
// callers switch to those and this file goes away.

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace hx::storage_stand_in {

// 32 upper-case hex digits of the MD5 of the text up to its first NUL.
inline std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const std::string upto_nul = text.c_str();
  EVP_Digest(upto_nul.data(), upto_nul.size(), digest, &length, EVP_md5(), nullptr);
  char hex[33] = {};
  for (unsigned int i = 0; i < length && i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  return hex;
}

// Continues a running CRC-32 whose register starts at all ones; the caller complements the end value.
inline uint32_t Crc32Update(uint32_t reg, const std::string& bytes) {
  // zlib's crc32 works on the complemented register.
  return ~static_cast<uint32_t>(
      crc32(~reg, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace hx::storage_stand_in
