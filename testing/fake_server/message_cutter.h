#pragma once
// Cuts the client's byte stream into transport messages: plain, or each enciphered whole after a
// secure handshake (then the first cipher block gives the fixed part and so the message length).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/fake_server/message_cipher.h"

namespace hx::testing {

struct CutResult {
  enum Status { kNeedMore, kMessage, kBroken };
  Status status = kNeedMore;
  size_t consumed = 0;           // bytes of the input the message took
  std::vector<uint8_t> message;  // the plain message (kMessage)
  std::string problem;           // why the stream cannot be read on (kBroken)
};

// The first message at the start of `data`. `cipher` deciphers when it is on. A fixed part whose
// header length cannot hold nine names breaks the stream: nothing after it can be trusted.
CutResult CutMessage(const uint8_t* data, size_t size, MessageCipher& cipher);

}  // namespace hx::testing
