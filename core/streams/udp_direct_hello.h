#pragma once
// The two datagrams by which peers prove a direct UDP path to each other: the hello
// ("UDP_DIRECT_CONNECT") that each side repeats until it is answered, and the OK reply
// ("UDP_CONN_OK") that answers each hello heard. Both are a NUL-terminated header text, a 4-byte
// little-endian body length N and N bytes of a serialised HX_Container:
//
//   hello:    "UDP_DIRECT_CONNECT\0" (19) | N (4) | body (N)
//   OK reply: "UDP_CONN_OK\0" (12)        | N (4) | body (N)
//
// Everything here reads remote data and trusts none of it: the header is matched without regard
// to case, the length field is checked against the datagram, bytes after the body are ignored.
// Stateless functions, safe on any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/net/address/sock_addr.h"

class HX_Container;
class HXNetMessage;

namespace hx::streams::udp {

inline constexpr char kHelloText[] = "UDP_DIRECT_CONNECT";
inline constexpr size_t kHelloHeaderSize = sizeof(kHelloText);  // text and its NUL: 19
inline constexpr char kOkReplyText[] = "UDP_CONN_OK";
inline constexpr size_t kOkReplyHeaderSize = sizeof(kOkReplyText);  // 12
inline constexpr size_t kBodyLengthSize = 4;
// An address entry longer than this counts as absent.
inline constexpr size_t kMaxAddressEntrySize = 50;
// The only version this side speaks; any higher version a peer sends reads as this one.
inline constexpr int32_t kHandshakeVersion = 1;

// What a hello carries. `source` is not part of the body: the receiver fills it in from the
// datagram. With a version of 0 or less only the names and the control number are read.
struct HelloRequestData {
  std::string conferenceName;            // the conference's SID
  std::string participantName;           // the sender's own name
  std::string connectedParticipantName;  // the name the sender wants to reach
  uint64_t sendTime = 0;                 // the sender's tick when it built the message
  int32_t controlNumber = 0;
  HXSockAddr localIntEp;   // the sender's local socket address
  HXSockAddr source;       // where the datagram came from
  HXSockAddr remoteExtEp;  // the address the sender sent to
  int32_t version = 0;
};

// What an OK reply carries: the hello's fields and the echo of our last "SendTime".
struct ReplyData : HelloRequestData {
  uint64_t retBackTime = 0;
};

// Header recognition; a null pointer is never a header.
bool isUdpDCHelloHeader(const void* data, size_t size);
bool isUdpDCOkReplyHeader(const void* data, size_t size);
// Either of the two.
bool isTrialUdpDCHeader(const void* data, size_t size);

// Read a whole datagram. False (and `out` in an unspecified state) for a wrong or short header, a
// length beyond the datagram, a body that does not deserialise or has no "CtrlNum", and, for a
// hello, an empty name. `out.source` is left as it was.
bool readHelloRequest(const void* data, size_t size, HelloRequestData& out);
bool readOkReply(const void* data, size_t size, ReplyData& out);

// Reads the fields common to both bodies; false when "CtrlNum" is missing.
bool readCommonReqFields(const HX_Container& body, HelloRequestData& out);
// Adds the seven keys that a hello and a reply to a version-1 peer share, in their order:
// names, "HandshakeVersion" (kHandshakeVersion), "SendTime" and the two addresses (each left out
// when it has no serialised form). `fields.controlNumber`, `source` and `version` are not used.
void addCommonReqFields(const HelloRequestData& fields, HX_Container& body);

// "CtrlNum", in host (little-endian) order: last key of a hello, first key of a reply.
void addCtrlNum(HX_Container& body, int32_t controlNumber);
// "RetBackTime": the peer's "SendTime" echoed, most significant byte first; last key of a reply.
void addRetBackTime(HX_Container& body, uint64_t retBackTime);

// Replaces `message`'s content with header, body length and the body serialised in place.
// `header` is the text without its NUL (kHelloText or kOkReplyText). False when the body does
// not serialise.
bool fillMsg(HXNetMessage& message, const HX_Container& body, const char* header,
             size_t headerSize);

}  // namespace hx::streams::udp
