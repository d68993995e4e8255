#pragma once
// The "_HX_PING_" record of the zero-handshake ping: a zero-handshake record (version 1) whose
// body is a serialised container followed by one 0 byte, the length field holding the container's
// size; or a body of the 0 byte alone (length field 0) when the sender has no container to give.
// The container holds, in this order, "Conference", "From", "To" (texts) and "ReqBodyVersion" in
// a request or "AnsBodyVersion" in an answer (32-bit integer, the sender's content version).
//
// These are the pure parts of the ping: forming a record and reading one. Plain functions,
// thread-safe on distinct data.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/base/net_message.h"

namespace hx::ping {

// Result codes of the ping (read by its done handlers).
enum Result : int32_t {
  kResultNone = 0,
  kResultSuccess = 1,
  kResultClosed = 2,        // the peer closed, or a readable event came before the connect
  kResultHeadCksum = 3,     // the head checksum is wrong
  kResultPrimaryField = 4,  // the primary field is not "_HX_PING_"
  kResultCksum = 6,         // the record checksums are wrong
  kResultSocketError = 7,
  kResultBody = 8,         // the body is not a container, or data came while the request went out
  kResultUnknownKey = 9,   // a key other than the five, or a value of the wrong type
  kResultConference = 10,  // the answer names another conference
  kResultUsers = 11,       // the answer names other users
};

inline constexpr size_t kHeadSize = 21;  // the 20-byte head and the one byte of an empty body
// The largest container the 13-bit length field can announce.
inline constexpr size_t kMaxContainer = 8191;

// The fields a ping body carries.
struct Fields {
  std::string conference;
  std::string from;
  std::string to;
  int32_t version = -1;  // -1 when the body carried none
};

// Builds a whole record into `out` (its size is the record's). A container is
// sent when `content_version` is above 0 and its serialised form fits the length field; otherwise
// the record carries no container and `content_version` becomes 0.
void FormRecord(HXNetMessage& out, bool request, int32_t& content_version,
                const std::string& conference, const std::string& from, const std::string& to);

// Checks the fixed part of a record held in `bytes` (`count` bytes so far): 0 while fewer than 21
// bytes (or, unless `head_only`, fewer than the whole record) are held, 1 when it is complete and
// valid, -1 with `result` set when it is not. `need` receives the byte count to wait for.
int32_t ParseFixedPart(const uint8_t* bytes, size_t count, bool head_only, size_t& need,
                       int32_t& result);

// Reads a container body of exactly `size` bytes. False with `result` 8 when it is no container,
// 9 for an unknown key or a value of the wrong type; a version key of the other direction counts
// as unknown.
bool ParseBody(const uint8_t* body, size_t size, bool request, Fields& fields, int32_t& result);

}  // namespace hx::ping
