#pragma once
// The server's side of the transport encryption after a secure handshake: every message is
// enciphered whole and on its own with AES in ECB mode and PKCS#7 padding, so a message of T bytes
// travels as 16 * (T / 16 + 1) cipher bytes. The server reads with the key the client writes with
// and writes with the other one.
//
// Written on OpenSSL's raw block operations (padding done here) rather than on the client's cipher
// class, so that the server checks the padding the client produced byte for byte.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::testing {

class MessageCipher {
 public:
  static constexpr size_t kBlockSize = 16;

  MessageCipher();
  ~MessageCipher();
  MessageCipher(const MessageCipher&) = delete;
  MessageCipher& operator=(const MessageCipher&) = delete;

  // Keys of 16 bytes (AES-128) or 32 bytes (AES-256); false for other lengths or an OpenSSL
  // failure, leaving the cipher off.
  bool SetKeys(const std::vector<uint8_t>& read_key, const std::vector<uint8_t>& write_key);
  bool IsOn() const { return on_; }

  // The cipher bytes that a message of `plain_size` bytes takes.
  static uint64_t CipherSize(uint64_t plain_size) {
    return kBlockSize * (plain_size / kBlockSize + 1);
  }

  std::vector<uint8_t> Encipher(const std::vector<uint8_t>& plain);
  // Deciphers whole blocks (a multiple of kBlockSize) without touching padding: how the reader
  // learns a message's length from its first block.
  bool DecipherBlocks(const uint8_t* cipher, size_t size, uint8_t* plain);
  // Deciphers one whole message and strips its padding; false with `problem` set when the size is
  // not a whole number of blocks or the padding is malformed.
  bool DecipherMessage(const uint8_t* cipher, size_t size, std::vector<uint8_t>& plain,
                       std::string& problem);

 private:
  bool Run(EVP_CIPHER_CTX* context, const uint8_t* in, size_t size, uint8_t* out);

  EVP_CIPHER_CTX* read_context_;
  EVP_CIPHER_CTX* write_context_;
  bool on_ = false;
};

}  // namespace hx::testing
