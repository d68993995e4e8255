#include "core/transport/stream_helper_secure.h"

#include <cstring>

#include "core/streams/stream_handshake.h"
#include "core/wire/little_endian.h"

HXHelperStreamSecure::HXHelperStreamSecure()
    : m_crypter(std::make_unique<HX_StreamCrypter>()),
      m_work(std::make_unique<uint8_t[]>(kWorkBuffer)) {}

HXHelperStreamSecure::~HXHelperStreamSecure() = default;

bool HXHelperStreamSecure::SetCryptoKey(const char* key) {
  return key != nullptr && m_crypter->Init(key);
}

template <class Cipher>
const uint8_t* HXHelperStreamSecure::transform(const uint8_t* frame, uint32_t length,
                                               uint32_t& size, bool encipher, Cipher&& cipher) {
  size = length;
  if (frame == nullptr || length <= kFrameHead) return frame;
  uint32_t produced = kWorkBuffer - kFrameHead;
  if (!cipher(frame + kFrameHead, length - kFrameHead, m_work.get() + kFrameHead, produced) ||
      produced > kWorkBuffer - kFrameHead || produced > 0xFFFF) {
    return frame;
  }
  uint8_t* work = m_work.get();
  std::memcpy(work, frame, kFrameHead);
  hx::wire::StoreLe16(work, static_cast<uint16_t>(produced));
  if (encipher) work[7] = HX_StreamCksum(work + kFrameHead, produced);
  size = produced + kFrameHead;
  return work;
}

const uint8_t* HXHelperStreamSecure::Encrypt(const uint8_t* frame, uint32_t length, uint8_t*,
                                             uint32_t& size) {
  return transform(frame, length, size, true,
                   [this](const uint8_t* in, uint32_t n, uint8_t* o, uint32_t& s) {
                     return m_crypter->Encrypt(in, n, o, s);
                   });
}

const uint8_t* HXHelperStreamSecure::Decrypt(const uint8_t* frame, uint32_t length, uint8_t*,
                                             uint32_t& size, bool) {
  return transform(frame, length, size, false,
                   [this](const uint8_t* in, uint32_t n, uint8_t* o, uint32_t& s) {
                     return m_crypter->Decrypt(in, n, o, s);
                   });
}

uint32_t HXHelperStreamSecure::GetSymCryptBlockSize() { return 16; }
