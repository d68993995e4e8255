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

#include "core/base/net_message.h"
#include "core/security/stream_crypter.h"

class HX_MediaStreamUDPHelper {
 public:
  HX_MediaStreamUDPHelper() = default;
  virtual ~HX_MediaStreamUDPHelper() = default;

  // Drops any cipher; an empty key leaves none (true). Otherwise a new cipher from the key text;
  // false (and no cipher) when the key does not initialise it.
  bool crypterInit(const std::string& key);
  void crypterClear();

  // The packet to go on with: deciphered into `buffer` (grown as needed) when there is a cipher
  // and it deciphers the `size` bytes at `packet`; otherwise `packet` itself, as received, for
  // the queue's own checks to judge. `length` receives the length of what is returned.
  const uint8_t* decryptPacket(const uint8_t* packet, size_t size, HXNetMessage& buffer,
                               size_t& length);

  // Null when the stream is not encrypted.
  HX_StreamCrypter* crypter() const { return m_crypter.get(); }
  // The growth a packet may see through encryption; 0 without cipher.
  uint64_t blockSize() const { return m_blockSize; }

 private:
  std::unique_ptr<HX_StreamCrypter> m_crypter;
  uint64_t m_blockSize = 0;
};
