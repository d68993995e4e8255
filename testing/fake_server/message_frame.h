#pragma once
// The fake server's own reading and writing of transport messages: a 16-byte fixed part, nine
// routing names and a body. It is written apart from the client's message classes so that a
// mistake in those shows up as a disagreement with this server.
//
// Fixed part (little-endian): flags (bit 7 always set, bits 0-4 version, 0x40 request,
// 0x20 notify), header checksum, u16 header length H, body checksum, 24-bit body length - 1,
// u32 sequence number, u32 time limit. Then the nine names (length byte, text, NUL), then the body.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::testing {

inline constexpr size_t kMessageFixedPartSize = 16;
inline constexpr uint64_t kMaxMessageBodySize = 16777216;

inline constexpr uint8_t kMessageAlwaysSetBit = 0x80;
inline constexpr uint8_t kMessageRequestBit = 0x40;
inline constexpr uint8_t kMessageNotifyBit = 0x20;
inline constexpr uint8_t kMessageVersionBits = 0x1f;
inline constexpr uint8_t kRequestFlags = 0xC1;  // version 1 request
inline constexpr uint8_t kReplyFlags = 0x81;    // version 1 reply

// The nine routing names, in the order they travel.
struct MessageNames {
  std::string src_cid;
  std::string src_service;
  std::string add_string;
  std::string dst_cid;
  std::string dst_service;
  std::string src_user;
  std::string dst_user;
  std::string src_server;
  std::string dst_server;

  std::array<std::string*, 9> InWireOrder();
  std::array<const std::string*, 9> InWireOrder() const;
};

struct MessageFrame {
  uint8_t flags = kRequestFlags;
  uint32_t sequence = 1;
  uint32_t time_limit = 0;
  MessageNames names;
  std::vector<uint8_t> body;
};

// The wire bytes with both checksums stored; empty when a name exceeds 255 bytes or the body is
// empty or larger than kMaxMessageBodySize.
std::vector<uint8_t> EncodeMessage(const MessageFrame& frame);

// Header length + body length, read from a fixed part (16 bytes).
uint64_t MessageSizeFromFixedPart(const uint8_t* fixed_part);

// The checksums of a whole message as they should be stored at offsets 1 and 4.
uint8_t MessageHeaderChecksum(const uint8_t* message);
uint8_t MessageBodyChecksum(const uint8_t* message);

// Reads a whole message of `size` bytes (size as MessageSizeFromFixedPart gives). Every way in
// which it breaks the format is appended to `problems`; the frame is filled as far as it can be
// read. False when the names cannot be walked, so that names and body are unknown.
bool DecodeMessage(const uint8_t* message, size_t size, MessageFrame& frame,
                   std::vector<std::string>& problems);

}  // namespace hx::testing
