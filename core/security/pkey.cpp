#include "core/security/pkey.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>
#include <string>

#include "core/security/pem_reader.h"

namespace {

constexpr size_t kMaxSourceLength = 65535;
constexpr int kKeyGenerationAttempts = 8;

bool SourceUsable(const char* source) {
  return source != nullptr && strnlen(source, kMaxSourceLength + 1) <= kMaxSourceLength;
}

// Reads a key with `read_bio` from PEM text or with `read_file` from the file at the path.
template <typename ReadBio, typename ReadFile>
hx::ssl::PKeyPtr ReadKey(const char* source, HX_StorageType storage, const char* mode,
                         ReadBio read_bio, ReadFile read_file) {
  if (!SourceUsable(source)) return nullptr;
  return hx::ssl::ReadPem<hx::ssl::PKeyPtr>(source, storage == HX_STORAGE_MEMORY ? std::strlen(source) : 0,
                                            storage, mode, read_bio, read_file);
}

const EVP_CIPHER* PemCipher(int algorithm, int mode, bool* valid) {
  *valid = true;
  if (algorithm == 0) return nullptr;
  if (algorithm == HX_SYMMETRIC_ALG_AES128 || algorithm == HX_SYMMETRIC_ALG_AES256) {
    if (mode == HX_CIPHER_MODE_CBC) return EVP_aes_256_cbc();
    if (mode == HX_CIPHER_MODE_ECB) return EVP_aes_256_ecb();
  }
  *valid = false;
  return nullptr;
}

}  // namespace

namespace hx::ssl {

bool CopyPemOut(const std::string& pem, char* buffer, uint32_t& size) {
  if (pem.empty() || pem.size() >= UINT32_MAX) return false;
  const uint32_t needed = static_cast<uint32_t>(pem.size() + 1);
  if (buffer == nullptr || size < needed) {
    size = needed;
    return false;
  }
  std::memcpy(buffer, pem.c_str(), needed);
  return true;
}

int PasswordCallback(char* buffer, int size, int /*rwflag*/, void* password) {
  if (buffer == nullptr || size <= 0) return -1;
  const char* text = password != nullptr ? static_cast<const char*>(password) : "";
  const size_t length = strnlen(text, static_cast<size_t>(size));
  std::memcpy(buffer, text, length);
  return static_cast<int>(length);
}

}  // namespace hx::ssl

HX_PKey::HX_PKey() : key_(EVP_PKEY_new()) {}

bool HX_PKey::GenerateKeys(uint32_t bits, HX_PublicKeyAlg algorithm) {
  if (algorithm != HX_PUBLIC_KEY_ALG_RSA || !key_ || bits > INT_MAX) return false;
  for (int attempt = 0; attempt < kKeyGenerationAttempts; ++attempt) {
    hx::ssl::PKeyCtxPtr context(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_keygen(context.get(), &generated) != 1)
      return false;  // the parameters are refused: another attempt would not help
    hx::ssl::PKeyPtr candidate(generated);
    hx::ssl::PKeyCtxPtr check(EVP_PKEY_CTX_new(candidate.get(), nullptr));
    if (check && EVP_PKEY_check(check.get()) == 1) {
      key_ = std::move(candidate);
      return true;
    }
  }
  return false;
}

HX_PublicKeyAlg HX_PKey::GetPKeyAlg() const {
  return key_ && EVP_PKEY_get_base_id(key_.get()) == EVP_PKEY_RSA ? HX_PUBLIC_KEY_ALG_RSA
                                                                  : HX_PUBLIC_KEY_ALG_NONE;
}

bool HX_PKey::SetPublicKey(const char* source, HX_StorageType storage) {
  hx::ssl::PKeyPtr key = ReadKey(
      source, storage, "r",
      [](BIO* bio) { return PEM_read_bio_PUBKEY(bio, nullptr, hx::ssl::PasswordCallback, nullptr); },
      [](FILE* file) { return PEM_read_PUBKEY(file, nullptr, hx::ssl::PasswordCallback, nullptr); });
  if (!key) return false;
  key_ = std::move(key);
  return true;
}

bool HX_PKey::SetPrivateKey(const char* source, HX_StorageType storage, const char* password) {
  void* pass = const_cast<char*>(password != nullptr ? password : "");
  hx::ssl::PKeyPtr key = ReadKey(
      source, storage, "rb",
      [pass](BIO* bio) { return PEM_read_bio_PrivateKey(bio, nullptr, hx::ssl::PasswordCallback, pass); },
      [pass](FILE* file) { return PEM_read_PrivateKey(file, nullptr, hx::ssl::PasswordCallback, pass); });
  if (!key) return false;
  key_ = std::move(key);
  return true;
}

bool HX_PKey::GetPublicKey(HX_StorageType storage, char* buffer, uint32_t& size) const {
  if (storage != HX_STORAGE_MEMORY || !key_) return false;
  hx::ssl::BioPtr bio = hx::ssl::MemoryWriter();
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1) return false;
  return hx::ssl::CopyPemOut(hx::ssl::MemoryContents(bio.get()), buffer, size);
}

bool HX_PKey::GetPrivateKey(HX_StorageType storage, char* buffer, uint32_t& size) const {
  if (storage != HX_STORAGE_MEMORY || !key_) return false;
  hx::ssl::BioPtr bio = hx::ssl::MemoryWriter();
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return false;
  std::string pem = hx::ssl::MemoryContents(bio.get());
  const bool copied = hx::ssl::CopyPemOut(pem, buffer, size);
  OPENSSL_cleanse(pem.data(), pem.size());
  return copied;
}

bool HX_PKey::WritePublicKey(const char* path, HX_StorageType storage) const {
  if (storage != HX_STORAGE_FILE || path == nullptr || !key_) return false;
  hx::ssl::FilePtr file(std::fopen(path, "w"));
  return file && PEM_write_PUBKEY(file.get(), key_.get()) == 1;
}

bool HX_PKey::WritePrivateKey(char* target, uint32_t& size, HX_StorageType storage, int algorithm,
                              int mode, const char* password,
                              uint32_t /*password_length: the pass phrase ends at its NUL*/) const {
  bool valid = false;
  const EVP_CIPHER* cipher = PemCipher(algorithm, mode, &valid);
  if (!valid || !key_) return false;
  void* pass = const_cast<char*>(password != nullptr ? password : "");
  if (storage == HX_STORAGE_FILE) {
    if (target == nullptr) return false;
    hx::ssl::FilePtr file(std::fopen(target, "w"));
    return file && PEM_write_PrivateKey(file.get(), key_.get(), cipher, nullptr, 0,
                                        hx::ssl::PasswordCallback, pass) == 1;
  }
  if (storage != HX_STORAGE_MEMORY) return false;
  hx::ssl::BioPtr bio = hx::ssl::MemoryWriter();
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), cipher, nullptr, 0,
                                       hx::ssl::PasswordCallback, pass) != 1)
    return false;
  std::string pem = hx::ssl::MemoryContents(bio.get());
  const bool copied = hx::ssl::CopyPemOut(pem, target, size);
  OPENSSL_cleanse(pem.data(), pem.size());
  return copied;
}
