#include "core/net/dns/dns64_prefix.h"

#include <cstring>

#include "core/net/address/address_family.h"

namespace hx::dns {
namespace {

constexpr size_t kUOctet = 8;

struct Placement {
  uint8_t length;
  uint8_t bytes[4];  // where the four IPv4 bytes go, in order
};

constexpr Placement kPlacements[] = {
    {96, {12, 13, 14, 15}}, {64, {9, 10, 11, 12}}, {56, {7, 9, 10, 11}},
    {48, {6, 7, 9, 10}},    {40, {5, 6, 7, 9}},    {32, {4, 5, 6, 7}},
};

const Placement* placementOf(uint8_t length) {
  for (const Placement& placement : kPlacements) {
    if (placement.length == length) return &placement;
  }
  return nullptr;
}

}  // namespace

bool isIpv4Only_arpa(const uint8_t bytes[4]) {
  return bytes[0] == 192 && bytes[1] == 0 && bytes[2] == 0 && (bytes[3] == 170 || bytes[3] == 171);
}

bool Pref64::synthesis(const HXAIpAddressBase& ipv4, HXIpAddress& ipv6) const {
  const Placement* placement = placementOf(length);
  if (placement == nullptr || ipv4.family() != ip::Family::v4 ||
      prefix.family() != ip::Family::v6) {
    return false;
  }
  uint8_t bytes[16] = {};
  std::memcpy(bytes, prefix.in6_addr(), length / 8);
  for (int i = 0; i < 4; ++i) bytes[placement->bytes[i]] = ipv4.in_addr()[i];
  return ipv6.set(ip::Family::v6, bytes);
}

bool lookupPref64_n(const HXAIpAddressBase& address, Pref64& prefix) {
  if (address.family() != ip::Family::v6) return false;
  const uint8_t* bytes = address.in6_addr();
  if (bytes[kUOctet] != 0) return false;
  const Placement* found = nullptr;
  for (const Placement& placement : kPlacements) {
    const uint8_t embedded[4] = {bytes[placement.bytes[0]], bytes[placement.bytes[1]],
                                 bytes[placement.bytes[2]], bytes[placement.bytes[3]]};
    if (!isIpv4Only_arpa(embedded)) continue;
    if (found != nullptr) return false;  // ambiguous
    found = &placement;
  }
  if (found == nullptr) return false;
  uint8_t masked[16] = {};
  std::memcpy(masked, bytes, found->length / 8);
  prefix.length = found->length;
  return prefix.prefix.set(ip::Family::v6, masked);
}

}  // namespace hx::dns
