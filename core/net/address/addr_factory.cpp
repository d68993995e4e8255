#include "core/net/address/addr_factory.h"

#include <cstring>

#include "core/net/address/address_family.h"

HXIpAddress HXAddrFactory::get(uint32_t host_order) {
  return v4(static_cast<uint8_t>(host_order >> 24), static_cast<uint8_t>(host_order >> 16),
            static_cast<uint8_t>(host_order >> 8), static_cast<uint8_t>(host_order));
}

HXIpAddress HXAddrFactory::v4(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint8_t bytes[4] = {b0, b1, b2, b3};
  HXIpAddress address;
  address.set(ip::Family::v4, bytes);
  return address;
}

HXIpAddress HXAddrFactory::v6(uint16_t g0, uint16_t g1, uint16_t g2, uint16_t g3, uint16_t g4,
                              uint16_t g5, uint16_t g6, uint16_t g7) {
  HXIpAddress address;
  address.set6(g0, g1, g2, g3, g4, g5, g6, g7);
  return address;
}

HXIpAddress HXAddrFactory::get(const struct sockaddr* native, socklen_t length) {
  HXIpAddress address;
  address.set(native, length);
  return address;
}

HXIpAddress HXAddrFactory::get(const addrinfo* info) {
  HXIpAddress address;
  if (info != nullptr) address.set(info->ai_addr, info->ai_addrlen);
  return address;
}

HXIpAddress HXAddrFactory::get(const char* text) {
  HXIpAddress address;
  address.set(text);
  return address;
}

HXIpAddress HXAddrFactory::get(const HXAIpAddressBase& other) {
  HXIpAddress address;
  address.set(other);
  return address;
}

HXIpAddress HXAddrFactory::zero(uint8_t family) {
  HXIpAddress address;
  address.setFamily(family);
  return address;
}

HXIpAddress HXAddrFactory::zero(const struct sockaddr* native) {
  return zero(native == nullptr ? uint8_t{ip::Family::none}
                                : ip::Family::fromSysFamily(native->sa_family));
}
