#include "core/net/address/ip_address_base.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "core/net/address/address_family.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

// The scope id after "%": optional sign, then leading decimal digits; no digits read as 0.
// A negative value or one beyond 32 bits is refused.
bool ParseScopeId(const char* text, uint32_t* scope_id) {
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > UINT32_MAX) return false;
  }
  if (negative && value != 0) return false;
  *scope_id = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

bool HXAIpAddressBase::isLinkLocal6() const {
  static const uint8_t kPrefix[8] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0};
  return family() == ip::Family::v6 && std::memcmp(in6_addr(), kPrefix, sizeof(kPrefix)) == 0;
}

bool HXAIpAddressBase::isValid() const { return true; }

int HXAIpAddressBase::cmp(const HXAIpAddressBase& other, bool ignore_scope) const {
  const int family_difference = static_cast<int>(family()) - static_cast<int>(other.family());
  if (family_difference != 0) return family_difference;
  // Byte order is network order, so comparing bytes compares big-endian numbers.
  const int bytes = family() == ip::Family::v4
                        ? Sign(std::memcmp(in_addr(), other.in_addr(), 4))
                        : Sign(std::memcmp(in6_addr(), other.in6_addr(), 16));
  if (bytes != 0 || ignore_scope || !isLinkLocal6()) return bytes;
  // Compared, not subtracted: a difference of two 32-bit ids does not fit an int.
  const uint32_t mine = scopeId();
  const uint32_t theirs = other.scopeId();
  return (mine > theirs) - (mine < theirs);
}

uint32_t HXAIpAddressBase::ipv4Nbo() const {
  uint32_t value;
  std::memcpy(&value, in_addr(), sizeof(value));
  return value;
}

bool HXAIpAddressBase::isInAddrAny() const {
  static const uint8_t kZero[16] = {};
  const int sys_family = sysFamily();
  if (sys_family == AF_INET) return std::memcmp(in_addr(), kZero, 4) == 0;
  if (sys_family == AF_INET6) return std::memcmp(in6_addr(), kZero, 16) == 0;
  return false;
}

bool HXAIpAddressBase::isLoopbackIf() const {
  static const uint8_t kLoopback4[4] = {127, 0, 0, 1};
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (family() == ip::Family::v4) return std::memcmp(in_addr(), kLoopback4, 4) == 0;
  if (family() == ip::Family::v6) return std::memcmp(in6_addr(), kLoopback6, 16) == 0;
  return false;
}

bool HXAIpAddressBase::isMulticast() const {
  if (family() == ip::Family::v4) return (in_addr()[0] & 0xf0) == 0xe0;
  if (family() == ip::Family::v6) return in6_addr()[0] == 0xff;
  return false;
}

bool HXAIpAddressBase::set(const HXAIpAddressBase& other) {
  if (&other == this) return finishSet();
  if (other.family() == ip::Family::v4) return set(ip::Family::v4, other.in_addr());
  if (other.family() == ip::Family::v6)
    return set(ip::Family::v6, other.in6_addr(), other.scopeId());
  return failSet();
}

bool HXAIpAddressBase::set(uint8_t family, const void* bytes, uint32_t scope_id) {
  if (bytes == nullptr || (family != ip::Family::v4 && family != ip::Family::v6))
    return failSet();
  // The source may alias our own bytes; take it first.
  uint8_t copy[16];
  std::memcpy(copy, bytes, family == ip::Family::v4 ? 4 : 16);
  setFamily(family);
  std::memset(in6_addr(), 0, 16);
  if (family == ip::Family::v4) {
    std::memcpy(in_addr(), copy, 4);
    setScopeId(0);
  } else {
    std::memcpy(in6_addr(), copy, 16);
    setScopeId(scope_id);
  }
  return finishSet();
}

bool HXAIpAddressBase::set(const struct sockaddr* native, socklen_t length) {
  if (native == nullptr) return failSet();
  // Copied out instead of cast: the caller's buffer need not be aligned for the structure.
  if (native->sa_family == AF_INET6 && (length == 0 || length >= sizeof(sockaddr_in6))) {
    sockaddr_in6 in6;
    std::memcpy(&in6, native, sizeof(in6));
    return set(ip::Family::v6, &in6.sin6_addr, in6.sin6_scope_id);
  }
  if (native->sa_family == AF_INET && (length == 0 || length >= sizeof(sockaddr_in))) {
    sockaddr_in in4;
    std::memcpy(&in4, native, sizeof(in4));
    return set(ip::Family::v4, &in4.sin_addr);
  }
  return failSet();
}

bool HXAIpAddressBase::set(const char* text) {
  if (text == nullptr) return failSet();
  uint8_t bytes[16];
  if (inet_pton(AF_INET, text, bytes) == 1) return set(ip::Family::v4, bytes);
  const char* percent = std::strchr(text, '%');
  if (percent == nullptr) {
    if (inet_pton(AF_INET6, text, bytes) == 1) return set(ip::Family::v6, bytes, 0);
    return failSet();
  }
  const std::string address(text, static_cast<size_t>(percent - text));
  uint32_t scope_id = 0;
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1 || !ParseScopeId(percent + 1, &scope_id))
    return failSet();
  return set(ip::Family::v6, bytes, scope_id);
}

std::string HXAIpAddressBase::str() const {
  char text[INET6_ADDRSTRLEN];
  if (family() == ip::Family::v4 && inet_ntop(AF_INET, in_addr(), text, sizeof(text)) != nullptr)
    return text;
  if (family() == ip::Family::v6 && inet_ntop(AF_INET6, in6_addr(), text, sizeof(text)) != nullptr)
    return text;
  return std::string();
}

std::string HXAIpAddressBase::str_wscope() const {
  if (!isLinkLocal6()) return str();
  return str() + "%" + std::to_string(scopeId());
}

bool HXAIpAddressBase::finishSet() {
  if (isValid()) return true;
  return failSet();
}

bool HXAIpAddressBase::failSet() {
  setFamily(ip::Family::none);
  std::memset(in6_addr(), 0, 16);
  std::memset(in_addr(), 0, 4);
  setScopeId(0);
  return false;
}
