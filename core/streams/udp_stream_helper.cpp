#include "core/streams/udp_stream_helper.h"

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
