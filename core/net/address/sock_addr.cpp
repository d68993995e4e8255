#include "core/net/address/sock_addr.h"

#include <netdb.h>

#include <cstring>

HXSockAddr::HXSockAddr() { std::memset(&m_native, 0, sizeof(m_native)); }

HXSockAddr::HXSockAddr(ip::Proto::type proto, uint16_t port) : HXSockAddr() {
  m_proto = proto;
  setPort(port);
}

HXSockAddr::HXSockAddr(ip::Proto::type proto, const HXAIpAddressBase& address, uint16_t port)
    : HXSockAddr() {
  set(proto, address, port);
}

uint8_t HXSockAddr::family() const { return ip::Family::fromSysFamily(m_native.sa.sa_family); }

uint8_t* HXSockAddr::in_addr() { return reinterpret_cast<uint8_t*>(&m_native.sin.sin_addr); }

const uint8_t* HXSockAddr::in_addr() const {
  return reinterpret_cast<const uint8_t*>(&m_native.sin.sin_addr);
}

uint8_t* HXSockAddr::in6_addr() { return reinterpret_cast<uint8_t*>(&m_native.sin6.sin6_addr); }

const uint8_t* HXSockAddr::in6_addr() const {
  return reinterpret_cast<const uint8_t*>(&m_native.sin6.sin6_addr);
}

uint32_t HXSockAddr::scopeId() const {
  return m_native.sa.sa_family == AF_INET6 ? m_native.sin6.sin6_scope_id : 0;
}

void HXSockAddr::setScopeId(uint32_t scope_id) {
  if (m_native.sa.sa_family == AF_INET6) m_native.sin6.sin6_scope_id = scope_id;
}

void HXSockAddr::setFamily(uint8_t family) { setSysFamily(ip::Family::sysFamily(family)); }

void HXSockAddr::setSysFamily(int sys_family) {
  // The IPv4 address would otherwise become the IPv6 flow information, and so on.
  if (m_native.sa.sa_family != sys_family) {
    const in_port_t port = m_native.sin6.sin6_port;
    std::memset(&m_native, 0, sizeof(m_native));
    m_native.sin6.sin6_port = port;
  }
  m_native.sa.sa_family = static_cast<sa_family_t>(sys_family);
}

int HXSockAddr::sysFamily() const { return m_native.sa.sa_family; }

bool HXSockAddr::set(ip::Proto::type proto, const HXAIpAddressBase& address, uint16_t port) {
  std::memset(&m_native, 0, sizeof(m_native));
  m_proto = proto;
  setPort(port);
  return set(address);
}

bool HXSockAddr::set(const HXSockAddr& other) {
  *this = other;
  return finishSet();
}

bool HXSockAddr::set(ip::Proto::type proto, const struct sockaddr* native, socklen_t length) {
  m_proto = proto;
  if (native == nullptr) return failSet();
  const bool unchecked = length == 0;
  if (native->sa_family == AF_INET6 && (unchecked || length >= sizeof(sockaddr_in6))) {
    std::memcpy(&m_native.sin6, native, sizeof(sockaddr_in6));
  } else if (native->sa_family == AF_INET && (unchecked || length >= sizeof(sockaddr_in))) {
    std::memset(&m_native, 0, sizeof(m_native));
    std::memcpy(&m_native.sin, native, sizeof(sockaddr_in));
  } else {
    return failSet();
  }
  return finishSet();
}

bool HXSockAddr::set(ip::Proto::type proto, const char* host, const char* service,
                     uint8_t family, int flags) {
  m_proto = proto;
  const bool no_host = host == nullptr || *host == '\0';
  const bool no_service = service == nullptr || *service == '\0';
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_flags = flags | AI_NUMERICHOST | AI_NUMERICSERV | (no_host ? AI_PASSIVE : 0);
  hints.ai_family = family == ip::Family::v6 ? AF_INET6
                    : family == ip::Family::v4 ? AF_INET
                                               : AF_UNSPEC;
  if (proto != ip::Proto::unknown) {
    hints.ai_socktype = ip::Proto::sysSockType(proto);
    hints.ai_protocol = ip::Proto::sysProto(proto);
  }
  addrinfo* results = nullptr;
  const int rc =
      getaddrinfo(no_host ? nullptr : host, no_service ? nullptr : service, &hints, &results);
  if (rc != 0 || results == nullptr) return failSet();
  const bool ok = set(proto, results->ai_addr, results->ai_addrlen);
  freeaddrinfo(results);
  return ok;
}

int HXSockAddr::getSockSysTypeLive(int socket_handle) {
  int type = 0;
  socklen_t length = sizeof(type);
  if (getsockopt(socket_handle, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return -1;
  return type;
}

bool HXSockAddr::setFromLive(int socket_handle, bool remote) {
  const int type = getSockSysTypeLive(socket_handle);
  if (type < 0) return false;
  sockaddr_storage storage;
  socklen_t length = sizeof(storage);
  auto* native = reinterpret_cast<struct sockaddr*>(&storage);
  const int rc = remote ? getpeername(socket_handle, native, &length)
                        : getsockname(socket_handle, native, &length);
  if (rc != 0) return false;
  return set(type == SOCK_STREAM ? ip::Proto::tcp : ip::Proto::udp, native, length);
}

bool HXSockAddr::setFromLiveLocal(int socket_handle) { return setFromLive(socket_handle, false); }

bool HXSockAddr::setFromLiveRemote(int socket_handle) { return setFromLive(socket_handle, true); }

uint16_t HXSockAddr::port() const { return ntohs(m_native.sin6.sin6_port); }

void HXSockAddr::setPort(uint16_t port) { m_native.sin6.sin6_port = htons(port); }

bool HXSockAddr::setPortStr(const char* text) {
  if (text == nullptr || *text == '\0') return false;
  uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > 65535) return false;
  }
  setPort(static_cast<uint16_t>(value));
  return true;
}

bool HXSockAddr::setProto(const char* text) {
  const ip::Proto::type proto = ip::Proto::fromStr(text);
  if (proto == ip::Proto::unknown) return false;
  m_proto = proto;
  return true;
}

bool HXSockAddr::setSysProto(int sys_proto) {
  const ip::Proto::type proto = ip::Proto::fromSysProto(sys_proto);
  if (proto == ip::Proto::unknown) return false;
  m_proto = proto;
  return true;
}

socklen_t HXSockAddr::sa_len() const {
  return m_native.sa.sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void HXSockAddr::clear() {
  std::memset(&m_native, 0, sizeof(m_native));
  m_proto = ip::Proto::unknown;
}

int HXSockAddr::cmp(const HXSockAddr& other, bool ignore_scope) const {
  // The protocol may hold any stored value: compare, do not subtract.
  if (m_proto != other.m_proto) return m_proto < other.m_proto ? -1 : 1;
  const int address = HXAIpAddressBase::cmp(other, ignore_scope);
  if (address != 0) return address;
  return static_cast<int>(port()) - static_cast<int>(other.port());
}

std::string HXSockAddr::strBind(bool with_proto) const {
  std::string text = str_wscope() + ":" + std::to_string(port());
  if (!with_proto) return text;
  return ip::Proto::str(m_proto) + "://" + text;
}
