#pragma once
// HX_MediaStreamUDPHelper: the media cipher of a UDP stream, the second base of the four UDP net
// handlers. The stream's key (the conference key the server gave when the conference opened)
// chooses it; without a key the stream's packets travel in the clear.
//
// Thread safety: none of its own. crypterInit and crypterClear run while the stream is not
// carrying data (its start); the handlers use the cipher under their stream or receive lock.

#include <cstdint>
#include <memory>
#include <string>

#include "core/security/stream_crypter.h"

class HX_MediaStreamUDPHelper {
 public:
  HX_MediaStreamUDPHelper() = default;
  virtual ~HX_MediaStreamUDPHelper() = default;

  // Drops any cipher; an empty key leaves none (true). Otherwise a new cipher from the key text;
  // false (and no cipher) when the key does not initialise it.
  bool crypterInit(const std::string& key);
  void crypterClear();

  // Null when the stream is not encrypted.
  HX_StreamCrypter* crypter() const { return m_crypter.get(); }
  // The growth a packet may see through encryption; 0 without cipher.
  uint64_t blockSize() const { return m_blockSize; }

 private:
  std::unique_ptr<HX_StreamCrypter> m_crypter;
  uint64_t m_blockSize = 0;
};
