#include "core/streams/udp_stream_helper.h"

#include <cstdint>

bool HX_MediaStreamUDPHelper::crypterInit(const std::string& key) {
  crypterClear();
  if (key.empty()) return true;
  auto crypter = std::make_unique<HX_StreamCrypter>();
  if (!crypter->Init(key.c_str())) return false;
  m_blockSize = crypter->GetBlockSize();
  m_crypter = std::move(crypter);
  return true;
}

void HX_MediaStreamUDPHelper::crypterClear() {
  m_crypter.reset();
  m_blockSize = 0;
}

const uint8_t* HX_MediaStreamUDPHelper::decryptPacket(const uint8_t* packet, size_t size,
                                                      HXNetMessage& buffer, size_t& length) {
  length = size;
  if (!m_crypter || size == 0 || size > UINT32_MAX - m_blockSize) return packet;
  buffer.ensureSize(size + m_blockSize);
  uint32_t plain =
      static_cast<uint32_t>(buffer.capacity() > UINT32_MAX ? UINT32_MAX : buffer.capacity());
  if (!m_crypter->Decrypt(packet, static_cast<uint32_t>(size), buffer.buffer(), plain)) {
    return packet;
  }
  length = plain;
  return buffer.buffer();
}
