#pragma once
// The block cipher of the client: one key shared by an encryption and a decryption context.
// Every message is enciphered on its own (PKCS#7 padding, all-zero IV in CBC mode), so no state
// carries from one message to the next. One object is used by one thread at a time.

#include <openssl/evp.h>

#include <cstdint>

#include "core/security/openssl_handles.h"
#include "core/security/symmetric_key.h"

enum HX_SymmetricAlg : int {
  HX_SYMMETRIC_ALG_AES128 = 1,
  HX_SYMMETRIC_ALG_AES256 = 11,
  HX_SYMMETRIC_ALG_GOST = 12,  // GOST 28147-89, only where a "gost89" cipher is registered
};

enum HX_SymmetricCipherMode : int {
  HX_CIPHER_MODE_ECB = 2,
  HX_CIPHER_MODE_CBC = 3,
  HX_CIPHER_MODE_GOST = 4,
};

class HX_SymmetricCrypt {
 public:
  HX_SymmetricCrypt() = default;
  virtual ~HX_SymmetricCrypt() = default;
  HX_SymmetricCrypt(const HX_SymmetricCrypt& other) { *this = other; }
  // Takes the other's algorithm, mode and (when both end up initialised) its key.
  HX_SymmetricCrypt& operator=(const HX_SymmetricCrypt& other);

  // Prepares both contexts for the cipher of (algorithm, mode); false for a pair the client does
  // not support. A key set earlier stays stored but must be set again.
  bool Init(HX_SymmetricAlg algorithm, HX_SymmetricCipherMode mode);
  // Installs the key in both contexts; it must suit the cipher (16 bytes AES-128, 32 AES-256).
  bool SetKey(uint32_t length, const uint8_t* bytes);
  bool GetKey(uint32_t capacity, uint8_t* buffer, uint32_t& length) const;
  uint32_t GetKeyLen() const;
  static bool GenerateKey(uint32_t length, uint8_t* buffer) {
    return HX_SymmetricKey::GenerateKey(length, buffer);
  }

  bool ChekKeyStrength() const { return initialised_; }
  HX_SymmetricAlg GetAlg() const { return algorithm_; }
  HX_SymmetricCipherMode GetCipherMode() const { return mode_; }
  // 16 for AES; 0 when not initialised.
  uint32_t GetBlockSize() const;

  // Enciphers one whole message. `size` holds the output capacity and receives the bytes written,
  // or the needed size (B * (length / B + 1)) when the capacity is too small.
  bool Encrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size);

  // Deciphers a message, whole or in pieces. Pieces before the last (`last_piece` false) return
  // the plain bytes of the blocks completed so far and keep the rest for the next call; the last
  // piece strips and checks the padding. Any failure, a bad padding included, fails the call and
  // starts the next message afresh. `size` holds the output capacity (at least `length`; after an
  // earlier piece up to one block more) and receives the plain bytes written, or length + 64 when
  // the capacity is too small.
  bool Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
               bool last_piece = true);

 private:
  // Rewinds a context to the stored key and the all-zero IV.
  bool ResetEncryption();
  bool ResetDecryption();

  HX_SymmetricKey key_;
  hx::ssl::CipherCtxPtr encrypt_;
  hx::ssl::CipherCtxPtr decrypt_;
  HX_SymmetricAlg algorithm_ = static_cast<HX_SymmetricAlg>(0);
  HX_SymmetricCipherMode mode_ = static_cast<HX_SymmetricCipherMode>(0);
  bool initialised_ = false;
  // Whether the contexts hold the key: a new Init or a failed SetKey leaves them without one.
  bool keyed_ = false;
  // Cipher bytes of the current message that the decryption context holds back (at most a block).
  uint32_t held_back_ = 0;
};
