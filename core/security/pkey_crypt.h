#pragma once
// Envelope encryption with an RSA key: a fresh AES-256-CBC session key enciphers the data and is
// itself sealed with the public key; the holder of the private key opens the envelope. The
// envelope travels as three pieces whose framing is the caller's: the 16-byte IV, the sealed
// session key (as many bytes as the RSA key) and the padded cipher text.

#include <cstdint>

#include "core/security/pkey.h"

class HX_PKeyCrypt {
 public:
  static constexpr uint32_t kIvSize = 16;

  // Load the key used for sealing (public) or opening (private); true only for an RSA key.
  bool SetPublicKey(const char* source, HX_StorageType storage);
  bool SetPrivateKey(const char* source, HX_StorageType storage);
  bool SetPublicKey(const HX_PKey* key);
  bool SetPrivateKey(const HX_PKey* key);
  uint32_t GetKeyLength() const { return 0; }

  // Seals `data` (algorithm 1 or 11, both meaning AES-256-CBC). `iv` receives 16 bytes (it is
  // cleared first, whatever the outcome); `encrypted_key` receives the sealed session key and
  // `encrypted_key_size` its length, the RSA key size in bytes; `out` receives the cipher text
  // and `out_size` its length. A size argument below what is needed is set to the need and the
  // call fails.
  bool Encrypt(const uint8_t* data, uint32_t length, int algorithm, uint8_t* out,
               uint32_t& out_size, uint8_t* iv, uint8_t* encrypted_key,
               uint32_t& encrypted_key_size);

  // Opens an envelope sealed by Encrypt. `out_size` must be at least `length` (else it is set to
  // length + 64); it receives the plain bytes. A wrong key or damaged cipher text fails.
  bool Decrypt(const uint8_t* data, uint32_t length, int algorithm, const uint8_t* iv,
               const uint8_t* encrypted_key, uint32_t encrypted_key_length, uint8_t* out,
               uint32_t& out_size);

 private:
  bool UsableFor(int algorithm) const;

  HX_PKey key_;
};
