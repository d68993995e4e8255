#pragma once
// The media packet cipher: AES in ECB mode with PKCS#7 padding, each packet on its own. A packet
// of n bytes becomes exactly 16 * (n / 16 + 1) bytes; nothing else is added.

#include <cstdint>
#include <memory>

#include "core/security/symmetric_crypt.h"

class HX_StreamCrypter {
 public:
  HX_StreamCrypter() = default;
  ~HX_StreamCrypter() = default;
  HX_StreamCrypter(HX_StreamCrypter&& other) noexcept;
  HX_StreamCrypter& operator=(HX_StreamCrypter&& other) noexcept;
  HX_StreamCrypter(const HX_StreamCrypter&) = delete;
  HX_StreamCrypter& operator=(const HX_StreamCrypter&) = delete;

  // AES-128-ECB for a 16-byte key, AES-256-ECB for any other length (which must then be 32).
  bool Init(const uint8_t* key, uint32_t length);
  // The key as text: the first 32 characters read as 16 bytes of two hexadecimal digits each
  // (a pair that is not two hexadecimal digits reads as 0); fewer than 32 characters fail.
  bool Init(const char* key_text);
  void Free();

  // 16 once initialised, else 0.
  uint32_t GetBlockSize() const;
  // As HX_SymmetricCrypt; false (and `size` untouched) when not initialised.
  bool Encrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size);
  // Deciphers one whole packet.
  bool Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size);

 private:
  std::unique_ptr<HX_SymmetricCrypt> crypt_;
  bool initialised_ = false;
};
