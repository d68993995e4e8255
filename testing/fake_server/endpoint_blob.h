#pragma once
// The fake server's own reading and writing of endpoint records and endpoint-list blobs, written
// from the format apart from the client's HX_Endpoint so that a mistake there shows up here.
//
// Record (little-endian): u32 checksum, host, u16 port, protocol, SOCKS host, u16 SOCKS port,
// SOCKS user, SOCKS password, u8 SOCKS version, HTTP host, u16 HTTP port, HTTP user, HTTP
// password; each text is a length byte n, n bytes and a NUL. List blob: u32 checksum, u32 count,
// then per record a u32 size and the record. A checksum starts at (L / 4) + (L % 4) + 0x3D141591
// for a total length L and adds every whole little-endian word after the checksum field, then
// each byte of the tail.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hx::testing {

struct FakeEndpoint {
  std::string host;
  uint16_t port = 4307;
  std::string protocol = "Tcp";  // "Tcp" or "DirectUdp"
  std::string socks_host;
  uint16_t socks_port = 1080;
  std::string socks_user;
  std::string socks_password;
  uint8_t socks_version = 4;
  std::string http_host;
  uint16_t http_port = 8080;
  std::string http_user;
  std::string http_password;
};

// Empty when a text is longer than 255 bytes.
std::vector<uint8_t> EncodeEndpointRecord(const FakeEndpoint& endpoint);
// Nothing when the record is cut, its texts are not terminated, bytes are left over or the
// checksum does not match.
std::optional<FakeEndpoint> DecodeEndpointRecord(const uint8_t* data, size_t size);
std::vector<uint8_t> EncodeEndpointList(const std::vector<FakeEndpoint>& endpoints);
// The records of a list blob, in order; nothing when the blob is cut, its checksum does not
// match, a record does not read or bytes are left over.
std::optional<std::vector<FakeEndpoint>> DecodeEndpointList(const uint8_t* data, size_t size);

}  // namespace hx::testing
