#pragma once
// A shield for tests and fuzz harnesses that enciphers and deciphers as a connection does after a
// secure handshake (AES-128 in ECB mode, each message on its own), with a key the test chooses
// instead of one the handshake negotiated.

#include <cstdint>
#include <vector>

#include "core/security/symmetric_crypt.h"
#include "core/transport/secure_shield.h"

namespace hx::testing {

class CipherShield : public HXSecureShield {
 public:
  // `key`: 16 bytes, used both ways.
  explicit CipherShield(const std::vector<uint8_t>& key) {
    for (HX_SymmetricCrypt* crypt : {&m_read, &m_write}) {
      crypt->Init(HX_SYMMETRIC_ALG_AES128, HX_CIPHER_MODE_ECB);
      crypt->SetKey(static_cast<uint32_t>(key.size()), key.data());
    }
  }

  const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size) override {
    return m_write.Encrypt(data, length, out, size) ? out : nullptr;
  }
  const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last_piece) override {
    return m_read.Decrypt(data, length, out, size, last_piece) ? out : nullptr;
  }
  uint32_t GetSymCryptBlockSize() override { return m_read.GetBlockSize(); }

 private:
  HX_SymmetricCrypt m_read;
  HX_SymmetricCrypt m_write;
};

}  // namespace hx::testing
