#pragma once
// A transport message as the client queues it for sending: it remembers how many of its bytes
// have already gone out, so a partial send resumes where it stopped.

#include <cstdint>

#include "core/wire/transport_message.h"

class HX_ClientMessage : public HX_TransportMessage {
 public:
  // Builds a request with an empty DstCID (see HX_TransportMessage::Set); the message is simply
  // not valid when building fails.
  HX_ClientMessage(const char* srcService, const char* addString, const char* dstService,
                   uint32_t timeLimit, const void* body, uint32_t bodyLength, uint32_t sequence,
                   const char* srcCID, const char* dstUser, const char* srcUser,
                   const char* dstServer, const char* srcServer);

  // Adopt a received message as HX_TransportMessage::Set does; not valid when the check fails
  // (the buffer then stays the caller's).
  explicit HX_ClientMessage(char* message);
  explicit HX_ClientMessage(uint8_t* message);
  explicit HX_ClientMessage(HX_FixedPartMessage* message);

  // The first byte still to send; null without a buffer.
  const uint8_t* Data() const;
  // The count of bytes still to send; 0 without a buffer.
  uint64_t Size() const;
  // Counts `n` more bytes as sent (never beyond the end of the message).
  void PartialInc(uint64_t n);
  // Forgets the buffer without freeing it.
  HX_FixedPartMessage* Release() { return ReleaseMessage(); }

 private:
  uint64_t m_sent = 0;
};
