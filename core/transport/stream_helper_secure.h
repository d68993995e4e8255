#pragma once
// HXHelperStreamSecure: the shield of an encrypted media stream. A frame is an 8-byte frame head
// followed by its payload; the payload is enciphered on its own with the stream key
// (HX_StreamCrypter), the head's first 16 bits (little-endian) then give the new payload length
// and its byte 7 the stream checksum of the enciphered payload (HX_StreamCksum). A frame without
// payload, a frame the cipher refuses, and every frame while no usable key is set pass unchanged.
// Deciphering does the same backwards; the checksum byte is not verified.
//
// The result of Encrypt and Decrypt lies in the shield's own work buffer (or is the input itself)
// and stays valid until the next call. Not thread-safe: one stream's sending or receiving thread.

#include <cstdint>
#include <memory>

#include "core/security/stream_crypter.h"
#include "core/transport/secure_shield.h"

class HXHelperStreamSecure : public HXSecureShield {
 public:
  static constexpr uint32_t kFrameHead = 8;
  static constexpr uint32_t kWorkBuffer = 65536;

  HXHelperStreamSecure();
  ~HXHelperStreamSecure() override;

  // The key as text (see HX_StreamCrypter::Init); false leaves the cipher unusable.
  bool SetCryptoKey(const char* key);

  // `out` is not used. `size` receives the length of the frame returned.
  const uint8_t* Encrypt(const uint8_t* frame, uint32_t length, uint8_t* out,
                         uint32_t& size) override;
  const uint8_t* Decrypt(const uint8_t* frame, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last_piece) override;
  // 16.
  uint32_t GetSymCryptBlockSize() override;

 private:
  template <class Cipher>
  const uint8_t* transform(const uint8_t* frame, uint32_t length, uint32_t& size, bool encipher,
                           Cipher&& cipher);

  std::unique_ptr<HX_StreamCrypter> m_crypter;
  std::unique_ptr<uint8_t[]> m_work;
};
