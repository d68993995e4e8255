#pragma once
// A socket address: IP address, port and transport protocol, kept in the system's own
// socket-address structure so that it goes to socket calls as it is. The port is held in
// network byte order; port() and setPort() speak host order.
//
// A value type without locks.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "core/net/address/address_family.h"
#include "core/net/address/ip_address_base.h"

class HXSockAddr : public HXAIpAddressBase {
 public:
  // Family 0, port 0, protocol unknown.
  HXSockAddr();
  // Family 0 with a port (host order).
  HXSockAddr(ip::Proto::type proto, uint16_t port);
  // As set(proto, address, port).
  HXSockAddr(ip::Proto::type proto, const HXAIpAddressBase& address, uint16_t port);
  HXSockAddr(const HXSockAddr&) = default;
  HXSockAddr& operator=(const HXSockAddr&) = default;

  uint8_t family() const override;
  uint8_t* in_addr() override;
  const uint8_t* in_addr() const override;
  uint8_t* in6_addr() override;
  const uint8_t* in6_addr() const override;
  // The native scope id for AF_INET6, else 0.
  uint32_t scopeId() const override;
  // Stored only when the family is AF_INET6.
  void setScopeId(uint32_t scope_id) override;
  // AF_INET for 4, AF_INET6 for 6, else 0. A change of family keeps the port and clears the
  // rest, so no bytes of the old form linger in the new one.
  void setFamily(uint8_t family) override;
  void setSysFamily(int sys_family) override;
  int sysFamily() const override;

  // The address setters of the base replace only the address part; port and protocol stay.
  using HXAIpAddressBase::set;
  // The address with a port (host order) and protocol; fails for an empty address.
  bool set(ip::Proto::type proto, const HXAIpAddressBase& address, uint16_t port);
  bool set(const HXSockAddr& other);
  // A system structure: AF_INET6 needs length >= 28, AF_INET >= 16; length 0 skips the check
  // (only for structures the system made). The whole structure is taken, port included.
  bool set(ip::Proto::type proto, const struct sockaddr* native, socklen_t length);
  // A numeric-only getaddrinfo lookup of host and service text: never resolves a name.
  // family is 4, 6 or 0 (either); flags are getaddrinfo's AI_ flags.
  bool set(ip::Proto::type proto, const char* host, const char* service, uint8_t family,
           int flags);

  // Take the local or remote address of a connected or bound socket; SOCK_STREAM sockets give
  // TCP, every other type UDP. False when a system call fails.
  bool setFromLiveLocal(int socket_handle);
  bool setFromLiveRemote(int socket_handle);
  // The SO_TYPE of a socket, or -1.
  static int getSockSysTypeLive(int socket_handle);

  uint16_t port() const;
  uint16_t portNBO() const { return m_native.sin6.sin6_port; }
  void setPort(uint16_t port);
  void setPortNBO(uint16_t port) { m_native.sin6.sin6_port = port; }
  void setPort(const HXSockAddr& other) { m_native.sin6.sin6_port = other.m_native.sin6.sin6_port; }
  // A decimal number in 0..65535 and nothing else; on failure the port is unchanged.
  bool setPortStr(const char* text);

  ip::Proto::type proto() const { return m_proto; }
  void setProto(ip::Proto::type proto) { m_proto = proto; }
  // "tcp" or "udp" in any case; false and unchanged otherwise.
  bool setProto(const char* text);
  // IPPROTO_TCP or IPPROTO_UDP; false and unchanged otherwise.
  bool setSysProto(int sys_proto);
  int sysProto() const { return ip::Proto::sysProto(m_proto); }
  int sysSockType() const { return ip::Proto::sysSockType(m_proto); }

  // The native structure, for socket calls; sa_len() is the length to pass with it.
  const struct sockaddr* sockaddr() const { return &m_native.sa; }
  const sockaddr_in* sockaddrIn() const { return &m_native.sin; }
  const sockaddr_in6* sockaddrIn6() const { return &m_native.sin6; }
  socklen_t sa_len() const;

  // Zero structure, family 0, protocol unknown.
  void clear();

  // Protocol, then address, then port (host order). Negative, zero or positive.
  using HXAIpAddressBase::cmp;
  int cmp(const HXSockAddr& other, bool ignore_scope = false) const;

  // "address:port" (IPv6 without brackets, link-local with its scope id); with with_proto,
  // prefixed by the protocol name and "://".
  std::string strBind(bool with_proto = false) const;

 private:
  bool setFromLive(int socket_handle, bool remote);

  union Native {
    struct sockaddr sa;
    sockaddr_in sin;
    sockaddr_in6 sin6;
  } m_native;
  ip::Proto::type m_proto = ip::Proto::unknown;
};
