#include "core/security/symmetric_key.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

HX_SymmetricKey::~HX_SymmetricKey() { ClearKey(); }

bool HX_SymmetricKey::GenerateKey(uint32_t length, uint8_t* buffer) {
  if (buffer == nullptr || length < 1 || length > 256) return false;
  return RAND_bytes(buffer, static_cast<int>(length)) == 1;
}

bool HX_SymmetricKey::SetKey(uint32_t length, const uint8_t* bytes) {
  if (length == 0 || bytes == nullptr) return false;
  ClearKey();
  key_.assign(bytes, bytes + length);
  return true;
}

void HX_SymmetricKey::ClearKey() {
  if (!key_.empty()) OPENSSL_cleanse(key_.data(), key_.size());
  key_.clear();
  key_.shrink_to_fit();
}

bool HX_SymmetricKey::GetKey(uint32_t capacity, uint8_t* buffer, uint32_t& length) const {
  if (capacity < key_.size() || (buffer == nullptr && !key_.empty())) return false;
  if (!key_.empty()) std::memcpy(buffer, key_.data(), key_.size());
  length = GetKeyLength();
  return true;
}
