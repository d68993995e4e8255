#pragma once
// A transport message: the routed unit of the one connection between client and server. It is one
// contiguous buffer: the 16-byte fixed part (fixed_part_message.h), nine names and an opaque body
// (for service traffic a serialised container). Each name is a length byte n, n bytes of text and
// a NUL; an absent name is written as the length byte 0 and the NUL.
//
// Not thread-safe: a message is used by one thread at a time.

#include <cstdint>
#include <string>

#include "core/wire/fixed_part_message.h"

// The endpoint name that FormReply writes into SrcServer. Nothing in the client sets it.
extern std::string tr_endpointName;

class HX_TransportMessage {
 public:
  HX_TransportMessage() = default;
  virtual ~HX_TransportMessage();
  HX_TransportMessage(const HX_TransportMessage&) = delete;
  HX_TransportMessage& operator=(const HX_TransportMessage&) = delete;

  // Builds a message of version 1: a request when `request` is 1, a reply when it is 0. Names may
  // be null (written empty) and take at most 255 bytes each; the body takes 1 to 16,777,216 bytes.
  // Note that the user pair and the server pair each come destination first. On failure the
  // message is left as it was.
  bool Set(unsigned request, uint32_t sequence, const char* srcCID, const char* srcService,
           const char* addString, const char* dstCID, const char* dstService, uint32_t timeLimit,
           const void* body, uint32_t bodyLength, const char* dstUser, const char* srcUser,
           const char* dstServer, const char* srcServer);

  // Adopts a received message. `message` must be a malloc'ed buffer that holds at least the
  // fixed part and the whole message that its fixed part announces. When the message is well
  // formed this object takes the buffer over; otherwise the object is unchanged and the buffer
  // stays the caller's.
  bool Set(HX_FixedPartMessage* message);

  // Replaces this message with the reply to `request` (or to this message when null), which must
  // be a received request that is not a notification.
  bool FormReply(const HX_TransportMessage* request, uint32_t timeLimit, const void* body,
                 uint32_t bodyLength, const char* addString);

  // The text of name `index` (1 to 9) inside `buffer`, or inside this message when `buffer` is
  // null (then null when the message is not valid). Null for an index out of range or when the
  // names do not fit the header length.
  const char* GetName(int index, const HX_FixedPartMessage* buffer = nullptr) const;
  const char* SrcCID() const { return GetName(1); }
  const char* SrcService() const { return GetName(2); }
  const char* AddString() const { return GetName(3); }
  const char* DstCID() const { return GetName(4); }
  const char* DstService() const { return GetName(5); }
  const char* SrcUser() const { return GetName(6); }
  const char* DstUser() const { return GetName(7); }
  const char* SrcServer() const { return GetName(8); }
  const char* DstServer() const { return GetName(9); }

  // Replaces one name (at most 255 bytes) and recomputes the checksums; the received flag stays.
  bool SetName(int index, const char* text);
  bool SetSrcCID(const char* text) { return SetName(1, text); }
  bool SetSrcService(const char* text) { return SetName(2, text); }
  bool SetString(const char* text) { return SetName(3, text); }
  bool SetDstCID(const char* text) { return SetName(4, text); }
  bool SetDstService(const char* text) { return SetName(5, text); }
  bool SetSrcUser(const char* text) { return SetName(6, text); }
  bool SetDstUser(const char* text) { return SetName(7, text); }
  bool SetSrcServer(const char* text) { return SetName(8, text); }
  bool SetDstServer(const char* text) { return SetName(9, text); }

  // Readers: 0 or false on a message that is not valid.
  bool IsValid() const { return m_valid; }
  uint8_t Version() const;
  bool IsRequest() const;
  bool IsReply() const;
  bool IsNotify() const;
  int Type() const;  // 3 notification, 1 request, 2 reply
  uint32_t Sequence() const;
  uint32_t TimeLimit() const;
  // The body length; `body`, when given, receives a pointer to the body (null when not valid).
  uint32_t Body(const uint8_t** body = nullptr) const;
  bool IsFromServer() const;  // SrcUser is empty

  // Frees the buffer.
  void Reset();
  // Forgets the buffer without freeing it and hands it to the caller.
  HX_FixedPartMessage* ReleaseMessage();

 protected:
  const HX_FixedPartMessage* Message() const { return m_message; }

 private:
  void TakeBuffer(HX_FixedPartMessage* message, bool received);

  bool m_valid = false;
  bool m_received = false;  // adopted from the wire rather than built here
  HX_FixedPartMessage* m_message = nullptr;
};
