#pragma once
// HX_Endpoint: one way of reaching a server or a peer (host, port, transport protocol and the SOCKS
// and HTTP proxy settings to use on the way), with its checksummed stored form and the checksummed
// list blob that carries several of them.
//
// Stored form (little-endian; each text is a length byte, the text and a NUL, see wire_text.h):
//   u32 checksum, host, u16 port, protocol, SOCKS host, u16 SOCKS port, SOCKS user,
//   SOCKS password, u8 SOCKS version, HTTP proxy host, u16 HTTP proxy port, HTTP proxy user,
//   HTTP proxy password.                                     27 bytes plus the eight texts.
// List blob: u32 checksum, u32 record count, then per record a u32 size and a stored endpoint.
// Both checksums cover every byte after the checksum field.
//
// An endpoint is a plain value: copy it freely, share it through shared pointers. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace hx {

// The endpoint type. Bit 1 set means a direct UDP endpoint, clear means TCP; bit 0 is carried along.
enum EpType : uint16_t {
  tcpConnect = 0,
};

inline constexpr char PROTOCOL_TCP[] = "Tcp";
inline constexpr char PROTOCOL_DIRECT_UDP[] = "DirectUdp";

}  // namespace hx

class HX_Endpoint;
using HX_TransportEndpointList = std::list<std::shared_ptr<HX_Endpoint>>;

class HX_Endpoint {
 public:
  static const std::string emptyString;

  // The name is not stored; callers set host and port afterwards.
  HX_Endpoint(const char* name, hx::EpType type);
  // The protocol follows from the type: "Tcp" for 0 and 1, "DirectUdp" for 2 and 3, else empty.
  HX_Endpoint(hx::EpType type, const char* name, const char* host, uint16_t port,
              const char* socksHost, uint16_t socksPort, const char* socksUser,
              const char* socksPassword, uint8_t socksVersion, const char* httpHost,
              uint16_t httpPort, const char* httpUser, const char* httpPassword);

  // Assigns all twelve fields; a null text becomes empty.
  void ApplyProperties(const char* host, uint16_t port, const char* protocol, const char* socksHost,
                       uint16_t socksPort, const char* socksUser, const char* socksPassword,
                       uint8_t socksVersion, const char* httpHost, uint16_t httpPort,
                       const char* httpUser, const char* httpPassword);
  // Every text empty, port 4307, SOCKS port 1080, SOCKS version 4, HTTP port 8080. Type and
  // address family stay.
  void Reset();

  hx::EpType GetType() const { return m_type; }
  void SetFamily(int family) { m_family = family; }
  int GetFamily() const { return m_family; }
  void SetHost(const char* host);
  void SetHost(const std::string& host) { m_host = host; }
  void SetPort(uint16_t port) { m_port = port; }
  const char* GetHost() const { return m_host.c_str(); }
  const std::string& getHost() const { return m_host; }
  uint16_t GetPort() const { return m_port; }
  const char* GetProtocol() const { return m_protocol.c_str(); }
  const char* GetSocksHost() const { return m_socksHost.c_str(); }
  uint16_t GetSocksPort() const { return m_socksPort; }
  const char* GetSocksUser() const { return m_socksUser.c_str(); }
  const char* GetSocksPassword() const { return m_socksPassword.c_str(); }
  uint8_t GetSocksVersion() const { return m_socksVersion; }
  const char* GetHttpHost() const { return m_httpHost.c_str(); }
  uint16_t GetHttpPort() const { return m_httpPort; }
  const char* GetHttpUser() const { return m_httpUser.c_str(); }
  const char* GetHttpPassword() const { return m_httpPassword.c_str(); }

  // Same type, same port and byte-for-byte the same host (no case folding).
  bool isEqTypeHostPort(const HX_Endpoint& other) const;

  // Sets `size` to the stored size and, when `buffer` is given and `size` was at least that,
  // writes the stored form and returns true. A text of 256 bytes or more cannot be stored: then
  // `size` becomes 0 and the result is false.
  bool Serialize(void* buffer, size_t& size) const;
  // Reads host, port and protocol from a stored endpoint (the proxy fields return to their
  // defaults; they are not read back); bit 1 of the type follows the protocol.
  bool Deserialize(const void* data, size_t length);

  // A new endpoint of type 0 read from a stored endpoint; null when `flag` is false or the record
  // is bad.
  static std::unique_ptr<HX_Endpoint> Factory(const void* data, size_t length, bool flag);
  // The endpoints of a list blob, in blob order (of type 0, or 1 when `flag` is false). A damaged
  // record is skipped; a damaged blob, or a null name, gives an empty list.
  static HX_TransportEndpointList Factory(const char* name, const void* data, size_t length, bool flag);
  // The list blob of already stored records, in the given order: checksum, count, then each
  // record's size and bytes. The records are taken as they are (Factory checks them on reading).
  // Empty when the blob would not fit 32-bit sizes.
  static std::vector<uint8_t> MakeListBlob(const std::vector<std::vector<uint8_t>>& storedForms);

 private:
  hx::EpType m_type;
  std::string m_host;
  uint16_t m_port;
  std::string m_protocol;
  std::string m_socksHost;
  uint16_t m_socksPort;
  std::string m_socksUser;
  std::string m_socksPassword;
  uint8_t m_socksVersion;
  std::string m_httpHost;
  uint16_t m_httpPort;
  std::string m_httpUser;
  std::string m_httpPassword;
  int m_family = 0;
};
