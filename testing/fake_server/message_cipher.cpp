#include "testing/fake_server/message_cipher.h"

#include <climits>

namespace hx::testing {
namespace {

const EVP_CIPHER* CipherForKey(size_t key_size) {
  if (key_size == 16) return EVP_aes_128_ecb();
  if (key_size == 32) return EVP_aes_256_ecb();
  return nullptr;
}

// ECB on whole blocks without padding keeps no state between calls, so one context per direction
// serves every message.
bool Prepare(EVP_CIPHER_CTX* context, const std::vector<uint8_t>& key, int encrypt) {
  const EVP_CIPHER* cipher = CipherForKey(key.size());
  return cipher != nullptr &&
         EVP_CipherInit_ex(context, cipher, nullptr, key.data(), nullptr, encrypt) == 1 &&
         EVP_CIPHER_CTX_set_padding(context, 0) == 1;
}

}  // namespace

MessageCipher::MessageCipher()
    : read_context_(EVP_CIPHER_CTX_new()), write_context_(EVP_CIPHER_CTX_new()) {}

MessageCipher::~MessageCipher() {
  EVP_CIPHER_CTX_free(read_context_);
  EVP_CIPHER_CTX_free(write_context_);
}

bool MessageCipher::SetKeys(const std::vector<uint8_t>& read_key,
                            const std::vector<uint8_t>& write_key) {
  on_ = read_context_ != nullptr && write_context_ != nullptr &&
        Prepare(read_context_, read_key, 0) && Prepare(write_context_, write_key, 1);
  return on_;
}

bool MessageCipher::Run(EVP_CIPHER_CTX* context, const uint8_t* in, size_t size, uint8_t* out) {
  if (!on_ || size % kBlockSize != 0 || size > INT_MAX) return false;
  int produced = 0;
  return EVP_CipherUpdate(context, out, &produced, in, static_cast<int>(size)) == 1 &&
         static_cast<size_t>(produced) == size;
}

std::vector<uint8_t> MessageCipher::Encipher(const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> padded = plain;
  const uint8_t pad = static_cast<uint8_t>(CipherSize(plain.size()) - plain.size());
  padded.insert(padded.end(), pad, pad);
  std::vector<uint8_t> cipher(padded.size());
  if (!Run(write_context_, padded.data(), padded.size(), cipher.data())) return {};
  return cipher;
}

bool MessageCipher::DecipherBlocks(const uint8_t* cipher, size_t size, uint8_t* plain) {
  return Run(read_context_, cipher, size, plain);
}

bool MessageCipher::DecipherMessage(const uint8_t* cipher, size_t size, std::vector<uint8_t>& plain,
                                    std::string& problem) {
  plain.resize(size);
  if (size == 0 || !DecipherBlocks(cipher, size, plain.data())) {
    problem = "cipher text of " + std::to_string(size) + " bytes cannot be deciphered";
    return false;
  }
  const uint8_t pad = plain.back();
  bool padding_ok = pad >= 1 && pad <= kBlockSize;
  for (size_t i = 0; padding_ok && i < pad; ++i) padding_ok = plain[size - 1 - i] == pad;
  if (!padding_ok) {
    problem = "malformed cipher padding";
    return false;
  }
  plain.resize(size - pad);
  return true;
}

}  // namespace hx::testing
