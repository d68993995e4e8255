#include "core/wire/client_message.h"

#include <algorithm>

HX_ClientMessage::HX_ClientMessage(const char* srcService, const char* addString,
                                   const char* dstService, uint32_t timeLimit, const void* body,
                                   uint32_t bodyLength, uint32_t sequence, const char* srcCID,
                                   const char* dstUser, const char* srcUser, const char* dstServer,
                                   const char* srcServer) {
  Set(1, sequence, srcCID, srcService, addString, "", dstService, timeLimit, body, bodyLength,
      dstUser, srcUser, dstServer, srcServer);
}

HX_ClientMessage::HX_ClientMessage(char* message)
    : HX_ClientMessage(reinterpret_cast<HX_FixedPartMessage*>(message)) {}

HX_ClientMessage::HX_ClientMessage(uint8_t* message)
    : HX_ClientMessage(reinterpret_cast<HX_FixedPartMessage*>(message)) {}

HX_ClientMessage::HX_ClientMessage(HX_FixedPartMessage* message) { Set(message); }

namespace {

uint64_t TotalLength(const HX_FixedPartMessage* message) {
  return message == nullptr ? 0 : message->MessageLength();
}

}  // namespace

// The cursor is kept within the message even when the buffer was replaced by a shorter one or a
// sender reported more bytes than were left.
const uint8_t* HX_ClientMessage::Data() const {
  const HX_FixedPartMessage* message = Message();
  return message == nullptr ? nullptr : message->Bytes() + std::min(m_sent, TotalLength(message));
}

uint64_t HX_ClientMessage::Size() const {
  const uint64_t total = TotalLength(Message());
  return total > m_sent ? total - m_sent : 0;
}

void HX_ClientMessage::PartialInc(uint64_t n) {
  m_sent += std::min(n, Size());
}
