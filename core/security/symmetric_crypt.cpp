#include "core/security/symmetric_crypt.h"

#include <climits>

namespace {

const uint8_t kZeroIv[EVP_MAX_IV_LENGTH] = {};

const EVP_CIPHER* CipherFor(HX_SymmetricAlg algorithm, HX_SymmetricCipherMode mode) {
  if (algorithm == HX_SYMMETRIC_ALG_AES128 && mode == HX_CIPHER_MODE_ECB) return EVP_aes_128_ecb();
  if (algorithm == HX_SYMMETRIC_ALG_AES128 && mode == HX_CIPHER_MODE_CBC) return EVP_aes_128_cbc();
  if (algorithm == HX_SYMMETRIC_ALG_AES256 && mode == HX_CIPHER_MODE_ECB) return EVP_aes_256_ecb();
  if (algorithm == HX_SYMMETRIC_ALG_AES256 && mode == HX_CIPHER_MODE_CBC) return EVP_aes_256_cbc();
  if (algorithm == HX_SYMMETRIC_ALG_GOST && mode == HX_CIPHER_MODE_GOST)
    return EVP_get_cipherbyname("gost89");  // present only when a GOST engine registered it
  return nullptr;
}

// EVP takes int lengths; one block of headroom keeps the padded size within int as well.
constexpr uint32_t kMaxMessage = INT_MAX - EVP_MAX_BLOCK_LENGTH;

}  // namespace

HX_SymmetricCrypt& HX_SymmetricCrypt::operator=(const HX_SymmetricCrypt& other) {
  if (this == &other) return *this;
  Init(other.algorithm_, other.mode_);
  if (initialised_ && other.initialised_) SetKey(other.key_.GetKeyLength(), other.key_.data());
  return *this;
}

bool HX_SymmetricCrypt::Init(HX_SymmetricAlg algorithm, HX_SymmetricCipherMode mode) {
  encrypt_.reset();
  decrypt_.reset();
  initialised_ = false;
  keyed_ = false;
  held_back_ = 0;
  const EVP_CIPHER* cipher = CipherFor(algorithm, mode);
  if (cipher == nullptr) return false;
  hx::ssl::CipherCtxPtr encrypt(EVP_CIPHER_CTX_new());
  hx::ssl::CipherCtxPtr decrypt(EVP_CIPHER_CTX_new());
  if (!encrypt || !decrypt ||
      EVP_EncryptInit_ex(encrypt.get(), cipher, nullptr, nullptr, kZeroIv) != 1 ||
      EVP_DecryptInit_ex(decrypt.get(), cipher, nullptr, nullptr, kZeroIv) != 1)
    return false;
  encrypt_ = std::move(encrypt);
  decrypt_ = std::move(decrypt);
  algorithm_ = algorithm;
  mode_ = mode;
  initialised_ = true;
  return true;
}

bool HX_SymmetricCrypt::SetKey(uint32_t length, const uint8_t* bytes) {
  if (!initialised_ || !key_.SetKey(length, bytes)) return false;
  const bool installed =
      length <= INT_MAX &&
      EVP_CIPHER_CTX_set_key_length(encrypt_.get(), static_cast<int>(length)) == 1 &&
      EVP_CIPHER_CTX_set_key_length(decrypt_.get(), static_cast<int>(length)) == 1 &&
      EVP_EncryptInit_ex(encrypt_.get(), nullptr, nullptr, bytes, kZeroIv) == 1 &&
      EVP_DecryptInit_ex(decrypt_.get(), nullptr, nullptr, bytes, kZeroIv) == 1;
  if (!installed) key_.ClearKey();
  keyed_ = installed;
  held_back_ = 0;
  return installed;
}

bool HX_SymmetricCrypt::GetKey(uint32_t capacity, uint8_t* buffer, uint32_t& length) const {
  return initialised_ && key_.GetKey(capacity, buffer, length);
}

uint32_t HX_SymmetricCrypt::GetKeyLen() const { return initialised_ ? key_.GetKeyLength() : 0; }

uint32_t HX_SymmetricCrypt::GetBlockSize() const {
  return initialised_ ? static_cast<uint32_t>(EVP_CIPHER_CTX_get_block_size(encrypt_.get())) : 0;
}

// Every message ends with a rewind. The key stays installed (no new key schedule on this hot
// path); the IV returns to zero and whatever the context held back is dropped.
bool HX_SymmetricCrypt::ResetEncryption() {
  return EVP_EncryptInit_ex(encrypt_.get(), nullptr, nullptr, nullptr, kZeroIv) == 1;
}

bool HX_SymmetricCrypt::ResetDecryption() {
  held_back_ = 0;
  return EVP_DecryptInit_ex(decrypt_.get(), nullptr, nullptr, nullptr, kZeroIv) == 1;
}

bool HX_SymmetricCrypt::Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                uint32_t& size) {
  if (!initialised_ || !keyed_ || length > kMaxMessage || (data == nullptr && length > 0)) {
    size = 0;
    return false;
  }
  const uint64_t block = GetBlockSize();
  const uint64_t needed = block <= 1 ? length : block * (length / block + 1);
  if (size < needed || out == nullptr) {
    size = static_cast<uint32_t>(needed);
    return false;
  }
  int written = 0;
  int finished = 0;
  const bool ok =
      EVP_EncryptUpdate(encrypt_.get(), out, &written, data, static_cast<int>(length)) == 1 &&
      EVP_EncryptFinal_ex(encrypt_.get(), out + written, &finished) == 1;
  size = ok ? static_cast<uint32_t>(written + finished) : 0;
  ResetEncryption();
  return ok;
}

bool HX_SymmetricCrypt::Decrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                uint32_t& size, bool last_piece) {
  if (!initialised_ || !keyed_ || length > kMaxMessage || (data == nullptr && length > 0)) {
    size = 0;
    return false;
  }
  // The context may release the bytes it held back from an earlier piece along with this one.
  if (uint64_t{size} < uint64_t{length} + held_back_) {
    size = length + 64;
    return false;
  }
  int written = 0;
  if (out == nullptr ||
      EVP_DecryptUpdate(decrypt_.get(), out, &written, data, static_cast<int>(length)) != 1) {
    size = 0;
    ResetDecryption();
    return false;
  }
  if (!last_piece) {
    held_back_ = held_back_ + length - static_cast<uint32_t>(written);
    size = static_cast<uint32_t>(written);
    return true;
  }
  int finished = 0;
  const bool ok = EVP_DecryptFinal_ex(decrypt_.get(), out + written, &finished) == 1;
  size = ok ? static_cast<uint32_t>(written + finished) : 0;
  ResetDecryption();
  return ok;
}
