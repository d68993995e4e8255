#include "core/security/sign.h"

#include <openssl/pem.h>

#include <climits>

#include "core/security/pem_reader.h"

namespace {

template <typename ReadBio, typename ReadFile>
hx::ssl::PKeyPtr ReadKey(const char* source, size_t length, HX_StorageType storage,
                         const char* mode, ReadBio read_bio, ReadFile read_file) {
  return hx::ssl::ReadPem<hx::ssl::PKeyPtr>(source, length, storage, mode, read_bio, read_file);
}

}  // namespace

bool HX_Sign::Init(const HX_SignArg& arguments) {
  if (!VerifySignArg(arguments)) return false;
  arguments_ = arguments;
  flags_ |= kArgumentsSet;
  return true;
}

bool HX_Sign::VerifySignArg(const HX_SignArg& arguments) {
  return arguments.key_algorithm == HX_SignArg::kRsa && arguments.digest == HX_SignArg::kSha1;
}

bool HX_Sign::SetPublicKey(const char* source, uint32_t length, HX_StorageType storage) {
  if (key_) return false;
  key_ = ReadKey(
      source, length, storage, "r",
      [](BIO* bio) { return PEM_read_bio_PUBKEY(bio, nullptr, hx::ssl::PasswordCallback, nullptr); },
      [](FILE* file) { return PEM_read_PUBKEY(file, nullptr, hx::ssl::PasswordCallback, nullptr); });
  if (!key_) return false;
  flags_ |= kPublicKeySet;
  return true;
}

bool HX_Sign::SetPrivateKey(const char* source, HX_StorageType storage, const char* password) {
  if (key_ || source == nullptr) return false;
  void* pass = const_cast<char*>(password != nullptr ? password : "");
  key_ = ReadKey(
      source, strnlen(source, INT_MAX), storage, "rb",
      [pass](BIO* bio) { return PEM_read_bio_PrivateKey(bio, nullptr, hx::ssl::PasswordCallback, pass); },
      [pass](FILE* file) { return PEM_read_PrivateKey(file, nullptr, hx::ssl::PasswordCallback, pass); });
  if (!key_) return false;
  flags_ |= kPrivateKeySet;
  return true;
}

uint32_t HX_Sign::GetSignSize() const {
  const int size = key_ ? EVP_PKEY_size(key_.get()) : 0;
  return size > 0 ? static_cast<uint32_t>(size) : 0;
}

const EVP_MD* HX_Sign::Digest() const {
  if (arguments_.digest == HX_SignArg::kSha1) return EVP_sha1();
  if (arguments_.digest == HX_SignArg::kSha256) return EVP_sha256();
  return nullptr;
}

bool HX_Sign::SignData(const uint8_t* data, uint32_t length, uint8_t* signature, uint32_t& size) {
  if (!IsInitSignArg() || !IsSpecifiedPrivateKey() || (data == nullptr && length > 0)) return false;
  const uint32_t needed = GetSignSize();
  if (needed == 0) return false;
  if (size < needed || signature == nullptr) {
    size = needed;
    return false;
  }
  hx::ssl::MdCtxPtr context(EVP_MD_CTX_new());
  unsigned int written = 0;
  if (!context || EVP_SignInit_ex(context.get(), Digest(), nullptr) != 1 ||
      EVP_SignUpdate(context.get(), data, length) != 1 ||
      EVP_SignFinal(context.get(), signature, &written, key_.get()) != 1)
    return false;
  size = written;
  return true;
}

int HX_Sign::VerifySign(const uint8_t* data, uint32_t length, const uint8_t* signature,
                        uint32_t signature_length) {
  if (!IsInitSignArg() || !IsSpecifiedPublicKey()) return 0;
  if ((data == nullptr && length > 0) || signature == nullptr || signature_length > INT_MAX)
    return -1;
  hx::ssl::MdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_VerifyInit_ex(context.get(), Digest(), nullptr) != 1 ||
      EVP_VerifyUpdate(context.get(), data, length) != 1)
    return -1;
  const int result = EVP_VerifyFinal(context.get(), signature, signature_length, key_.get());
  return result == 1 ? 1 : result == 0 ? 0 : -1;
}
