#include "core/security/pkey_crypt.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

// EVP takes int lengths; a block of headroom keeps the padded size within int too.
constexpr uint32_t kMaxData = INT_MAX - EVP_MAX_BLOCK_LENGTH;

// Copies `key` through its PEM text, as `read` loads it back.
template <typename Export, typename Import>
bool CopyKey(const HX_PKey* key, Export export_pem, Import import_pem) {
  if (key == nullptr || key->GetPKeyAlg() != HX_PUBLIC_KEY_ALG_RSA) return false;
  uint32_t size = 0;
  export_pem(nullptr, size);
  std::vector<char> pem(size);
  const bool ok = size > 0 && export_pem(pem.data(), size) && import_pem(pem.data());
  OPENSSL_cleanse(pem.data(), pem.size());
  return ok;
}

}  // namespace

bool HX_PKeyCrypt::SetPublicKey(const char* source, HX_StorageType storage) {
  return key_.SetPublicKey(source, storage) && key_.GetPKeyAlg() == HX_PUBLIC_KEY_ALG_RSA;
}

bool HX_PKeyCrypt::SetPrivateKey(const char* source, HX_StorageType storage) {
  return key_.SetPrivateKey(source, storage, nullptr) &&
         key_.GetPKeyAlg() == HX_PUBLIC_KEY_ALG_RSA;
}

bool HX_PKeyCrypt::SetPublicKey(const HX_PKey* key) {
  return CopyKey(
      key, [key](char* buffer, uint32_t& size) { return key->GetPublicKey(HX_STORAGE_MEMORY, buffer, size); },
      [this](const char* pem) { return SetPublicKey(pem, HX_STORAGE_MEMORY); });
}

bool HX_PKeyCrypt::SetPrivateKey(const HX_PKey* key) {
  return CopyKey(
      key, [key](char* buffer, uint32_t& size) { return key->GetPrivateKey(HX_STORAGE_MEMORY, buffer, size); },
      [this](const char* pem) { return SetPrivateKey(pem, HX_STORAGE_MEMORY); });
}

bool HX_PKeyCrypt::UsableFor(int algorithm) const {
  return key_.GetPKeyAlg() == HX_PUBLIC_KEY_ALG_RSA &&
         (algorithm == HX_SYMMETRIC_ALG_AES128 || algorithm == HX_SYMMETRIC_ALG_AES256);
}

bool HX_PKeyCrypt::Encrypt(const uint8_t* data, uint32_t length, int algorithm, uint8_t* out,
                           uint32_t& out_size, uint8_t* iv, uint8_t* encrypted_key,
                           uint32_t& encrypted_key_size) {
  if (iv != nullptr) std::memset(iv, 0, kIvSize);
  if (!UsableFor(algorithm) || iv == nullptr || length > kMaxData ||
      (data == nullptr && length > 0))
    return false;
  const int key_size = EVP_PKEY_size(key_.GetKeyContext());
  if (key_size <= 0) return false;
  if (encrypted_key_size < static_cast<uint32_t>(key_size)) {
    encrypted_key_size = static_cast<uint32_t>(key_size);
    return false;
  }
  if (encrypted_key == nullptr) return false;
  const EVP_CIPHER* cipher = EVP_aes_256_cbc();
  const uint64_t block = static_cast<uint64_t>(EVP_CIPHER_get_block_size(cipher));
  const uint64_t needed = block * (length / block + 1);
  if (out_size < needed) {
    out_size = static_cast<uint32_t>(needed);
    return false;
  }
  if (out == nullptr) return false;

  hx::ssl::CipherCtxPtr context(EVP_CIPHER_CTX_new());
  EVP_PKEY* public_key = key_.GetKeyContext();
  unsigned char* sealed_keys[1] = {encrypted_key};
  int sealed_length = 0;
  int written = 0;
  int finished = 0;
  if (!context ||
      EVP_SealInit(context.get(), cipher, sealed_keys, &sealed_length, iv, &public_key, 1) != 1 ||
      EVP_SealUpdate(context.get(), out, &written, data, static_cast<int>(length)) != 1 ||
      EVP_SealFinal(context.get(), out + written, &finished) != 1)
    return false;
  encrypted_key_size = static_cast<uint32_t>(sealed_length);
  out_size = static_cast<uint32_t>(written + finished);
  return true;
}

bool HX_PKeyCrypt::Decrypt(const uint8_t* data, uint32_t length, int algorithm, const uint8_t* iv,
                           const uint8_t* encrypted_key, uint32_t encrypted_key_length,
                           uint8_t* out, uint32_t& out_size) {
  if (!UsableFor(algorithm) || length > kMaxData || encrypted_key_length > INT_MAX) return false;
  if (out_size < length) {
    out_size = length + 64;
    return false;
  }
  if (data == nullptr || out == nullptr || iv == nullptr || encrypted_key == nullptr ||
      encrypted_key_length == 0)
    return false;

  hx::ssl::CipherCtxPtr context(EVP_CIPHER_CTX_new());
  int written = 0;
  int finished = 0;
  if (!context ||
      EVP_OpenInit(context.get(), EVP_aes_256_cbc(), encrypted_key,
                   static_cast<int>(encrypted_key_length), iv, key_.GetKeyContext()) <= 0 ||
      EVP_OpenUpdate(context.get(), out, &written, data, static_cast<int>(length)) != 1)
    return false;
  // A damaged envelope shows as a bad padding here: never hand out what was deciphered.
  if (EVP_OpenFinal(context.get(), out + written, &finished) != 1) {
    OPENSSL_cleanse(out, static_cast<size_t>(written));
    return false;
  }
  out_size = static_cast<uint32_t>(written + finished);
  return true;
}
