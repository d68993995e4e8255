#pragma once
// The fake server's own reading and writing of zero-handshake records and of the transport
// handshake carried in them (the client's request, the server's reply).
//
// Record: a 16-byte NUL-padded primary field, a little-endian u32 packed word (bits 0-4 version,
// 5-12 head checksum, 13-18 body checksum, 19-31 body length - 1), then the body.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hx::testing {

inline constexpr size_t kZeroHandshakeHeadSize = 20;
inline constexpr size_t kMaxZeroHandshakeBodySize = 8192;
inline constexpr char kTransportPrimaryField[] = "_HX_TRANSPORT_";
inline constexpr char kCheckSrvPrimaryField[] = "CHECK_SRV";
// A check ping and its answer: head and a 13-byte body.
inline constexpr size_t kCheckSrvRecordSize = 33;

// Version bits of the transport handshake: names present, secure connection asked or granted.
inline constexpr uint8_t kHandshakeNamesBit = 8;
inline constexpr uint8_t kHandshakeSecureBit = 16;

// Body length (1 to 8192) read from a record's 20-byte head.
uint32_t ZeroHandshakeBodyLength(const uint8_t* head);
// The checksums of a whole record as they should be stored in its packed word.
uint8_t ZeroHandshakeHeadChecksum(const uint8_t* record);
uint8_t ZeroHandshakeBodyChecksum(const uint8_t* record);

// A record with both checksums stored; empty when the body is empty or too large, or the
// primary field longer than 15 characters.
std::vector<uint8_t> EncodeZeroHandshake(const std::string& primary_field, uint8_t version,
                                         const std::vector<uint8_t>& body);

// The answer to a check ping: version 1; the body holds the end-point count and the CPU load as
// little-endian u32 values, then five zero bytes.
std::vector<uint8_t> EncodeCheckSrvAnswer(uint32_t end_points, uint32_t cpu_load);

struct TransportHandshakeRequest {
  uint8_t version = 0;
  bool secure_requested = false;
  std::string client_id;
  std::string second_name;
  uint8_t value = 0;
  uint8_t keep_alive = 0;
};

// Reads a whole request record (head and body). Every way in which it strays from what a client
// sends is appended to `problems`; false when the record cannot be read at all.
bool DecodeTransportHandshakeRequest(const uint8_t* record, size_t size,
                                     TransportHandshakeRequest& request,
                                     std::vector<std::string>& problems);

struct TransportHandshakeReply {
  uint8_t result = 0;  // 0 accepted
  uint16_t idle_timeout_ms = 30000;
  uint8_t value1 = 0;  // two values the client only copies
  uint8_t value2 = 0;
  bool names_flag = true;  // version bit 3: the client takes the names (always sent)
  std::string server_id = "127.0.0.1#vcs";
  std::string client_id;              // the id the server assigns
  bool secure = false;                // version bit 4: the secure handshake follows
  std::optional<uint8_t> keep_alive;  // absent: no byte after the names
};

// The reply record (version 1 plus the two bits); empty when a name exceeds 255 bytes.
std::vector<uint8_t> EncodeTransportHandshakeReply(const TransportHandshakeReply& reply);

}  // namespace hx::testing
