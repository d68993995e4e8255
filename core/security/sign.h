#pragma once
// RSA signatures (PKCS #1 version 1.5) over a SHA-1 digest of the data.

#include <cstdint>

#include "core/security/openssl_handles.h"
#include "core/security/pkey.h"

struct HX_SignArg {
  static constexpr uint32_t kRsa = 1;
  static constexpr uint32_t kSha1 = 4;
  static constexpr uint32_t kSha256 = 8;

  uint32_t key_algorithm = 0;
  uint32_t digest = 0;
};

class HX_Sign {
 public:
  // Accepts only RSA with SHA-1.
  bool Init(const HX_SignArg& arguments);
  static bool VerifySignArg(const HX_SignArg& arguments);
  bool IsInitSignArg() const { return (flags_ & kArgumentsSet) != 0; }
  bool IsSpecifiedPublicKey() const { return (flags_ & kPublicKeySet) != 0; }
  bool IsSpecifiedPrivateKey() const { return (flags_ & kPrivateKeySet) != 0; }

  // Read a PEM key (the first `length` bytes of `source`, or the file at the path `source`);
  // false when a key is already set.
  bool SetPublicKey(const char* source, uint32_t length, HX_StorageType storage);
  // `password` (null or empty for none) opens an encrypted PEM.
  bool SetPrivateKey(const char* source, HX_StorageType storage, const char* password);

  // The key size in bytes, the size of every signature; 0 without a key.
  uint32_t GetSignSize() const;
  // Signs `data` with the private key. `size` holds the capacity and receives the signature
  // length, or the key size when the capacity is too small.
  bool SignData(const uint8_t* data, uint32_t length, uint8_t* signature, uint32_t& size);
  // 1 when `signature` is valid for `data` under the public key, 0 when it is not, -1 on error.
  int VerifySign(const uint8_t* data, uint32_t length, const uint8_t* signature,
                 uint32_t signature_length);

 private:
  static constexpr uint32_t kArgumentsSet = 1;
  static constexpr uint32_t kPublicKeySet = 2;
  static constexpr uint32_t kPrivateKeySet = 4;

  const EVP_MD* Digest() const;

  uint32_t flags_ = 0;
  hx::ssl::PKeyPtr key_;
  HX_SignArg arguments_;
};
