#include "core/security/stream_crypter.h"

#include <openssl/crypto.h>

#include <cstring>
#include <utility>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

HX_StreamCrypter::HX_StreamCrypter(HX_StreamCrypter&& other) noexcept
    : crypt_(std::move(other.crypt_)), initialised_(std::exchange(other.initialised_, false)) {}

HX_StreamCrypter& HX_StreamCrypter::operator=(HX_StreamCrypter&& other) noexcept {
  if (this != &other) {
    crypt_ = std::move(other.crypt_);
    initialised_ = std::exchange(other.initialised_, false);
  }
  return *this;
}

bool HX_StreamCrypter::Init(const uint8_t* key, uint32_t length) {
  if (key == nullptr || length == 0) return false;
  Free();
  auto crypt = std::make_unique<HX_SymmetricCrypt>();
  const HX_SymmetricAlg algorithm = length == 16 ? HX_SYMMETRIC_ALG_AES128 : HX_SYMMETRIC_ALG_AES256;
  if (!crypt->Init(algorithm, HX_CIPHER_MODE_ECB) || !crypt->SetKey(length, key)) return false;
  crypt_ = std::move(crypt);
  initialised_ = true;
  return true;
}

bool HX_StreamCrypter::Init(const char* key_text) {
  if (key_text == nullptr || strnlen(key_text, 32) < 32) return false;
  uint8_t key[16];
  for (int i = 0; i < 16; ++i) {
    const int high = HexDigit(key_text[2 * i]);
    const int low = HexDigit(key_text[2 * i + 1]);
    key[i] = (high < 0 || low < 0) ? 0 : static_cast<uint8_t>(high * 16 + low);
  }
  const bool ok = Init(key, sizeof key);
  OPENSSL_cleanse(key, sizeof key);
  return ok;
}

void HX_StreamCrypter::Free() {
  crypt_.reset();
  initialised_ = false;
}

uint32_t HX_StreamCrypter::GetBlockSize() const {
  return initialised_ ? crypt_->GetBlockSize() : 0;
}

bool HX_StreamCrypter::Encrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size) {
  return initialised_ && crypt_->Encrypt(data, length, out, size);
}

bool HX_StreamCrypter::Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size) {
  return initialised_ && crypt_->Decrypt(data, length, out, size, /*last_piece=*/true);
}
