#include "core/net/address/net_mask.h"

#include <netinet/in.h>

#include <cstring>

#include "core/net/address/address_family.h"

namespace {

int ByteCount(uint8_t family) { return family == ip::Family::v4 ? 4 : 16; }

int MaxPrefix(uint8_t family) { return family == ip::Family::v4 ? 32 : 128; }

}  // namespace

HXNetMask::HXNetMask() {
  setFamily(ip::Family::v6);
  setMaskLen(128);
}

HXNetMask::HXNetMask(uint8_t family, int32_t prefix_length) {
  setFamily(family);
  setMaskLen(prefix_length);
}

HXNetMask::HXNetMask(const struct sockaddr* native) : HXNetMask() {
  if (native == nullptr) return;
  if (native->sa_family == AF_INET) {
    sockaddr_in in4;
    std::memcpy(&in4, native, sizeof(in4));
    setFamily(ip::Family::v4);
    std::memcpy(in_addr(), &in4.sin_addr, 4);
    normalise();
  } else if (native->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    std::memcpy(&in6, native, sizeof(in6));
    std::memcpy(in6_addr(), &in6.sin6_addr, 16);
    normalise();
  }
}

HXNetMask::HXNetMask(const HXAIpAddressBase& a, const HXAIpAddressBase& b) : HXNetMask() {
  const uint8_t family = a.family();
  if (family != b.family() || (family != ip::Family::v4 && family != ip::Family::v6)) return;
  setFamily(family);
  const uint8_t* a_bytes = family == ip::Family::v4 ? a.in_addr() : a.in6_addr();
  const uint8_t* b_bytes = family == ip::Family::v4 ? b.in_addr() : b.in6_addr();
  for (int i = 0; i < ByteCount(family); ++i)
    in6_addr()[i] = static_cast<uint8_t>(~(a_bytes[i] ^ b_bytes[i]));
  normalise();
}

void HXNetMask::setMaskLen(int32_t prefix_length) {
  uint8_t* bytes = in6_addr();
  setScopeId(0);
  if (family() != ip::Family::v4 && family() != ip::Family::v6) {
    std::memset(bytes, 0xff, 16);
    m_mask_len = 128;
    return;
  }
  const int32_t width = MaxPrefix(family());
  m_mask_len = prefix_length < 0 ? 0 : (prefix_length > width ? width : prefix_length);
  std::memset(bytes, 0, 16);
  std::memset(bytes, 0xff, static_cast<size_t>(m_mask_len / 8));
  if (m_mask_len % 8 != 0) bytes[m_mask_len / 8] = static_cast<uint8_t>(0xff << (8 - m_mask_len % 8));
}

void HXNetMask::normalise() {
  uint8_t* bytes = in6_addr();
  const int count = ByteCount(family());
  int ones = 0;
  int i = 0;
  while (i < count && bytes[i] == 0xff) {
    ones += 8;
    ++i;
  }
  if (i < count) {
    uint8_t kept = 0;
    for (uint8_t bit = 0x80; bit != 0 && (bytes[i] & bit) != 0; bit >>= 1) {
      kept |= bit;
      ++ones;
    }
    bytes[i++] = kept;
  }
  for (; i < 16; ++i) bytes[i] = 0;
  m_mask_len = ones;
  setScopeId(0);
}

HXIpAddress HXNetMask::net(const HXAIpAddressBase& address) const {
  HXIpAddress result;
  if (family() == ip::Family::none || family() != address.family()) {
    result.set(address);
    return result;
  }
  uint8_t bytes[16];
  const uint8_t* source = family() == ip::Family::v4 ? address.in_addr() : address.in6_addr();
  for (int i = 0; i < ByteCount(family()); ++i) bytes[i] = in6_addr()[i] & source[i];
  result.set(family(), bytes, 0);
  return result;
}

bool HXNetMask::operator==(const HXNetMask& other) const {
  return family() == other.family() && m_mask_len == other.m_mask_len;
}
