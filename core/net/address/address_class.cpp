#include "core/net/address/address_class.h"

#include <cstring>

#include "core/net/address/address_family.h"
#include "core/net/address/ip_address_base.h"

namespace ip {
namespace IANA_Addr_Type {

namespace {

// One row of a registry: addresses whose first `prefix_bits` bits equal those of `network`
// are of class `klass`. Rows are tried in order and the first match decides.
struct Row {
  uint8_t network[16];
  int prefix_bits;
  type klass;
};

bool PrefixMatches(const uint8_t* address, const uint8_t* network, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(address, network, static_cast<size_t>(whole)) != 0) return false;
  if (bits % 8 == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - bits % 8));
  return (address[whole] & mask) == (network[whole] & mask);
}

const Row kIpv4Rows[] = {
    {{255, 255, 255, 255}, 32, broadcast4},
    {{192, 0, 0, 0}, 29, special_purpose},
    {{192, 0, 0, 0}, 24, reserved},
    {{192, 0, 2, 0}, 24, documentation4},
    {{192, 88, 99, 0}, 24, global},
    {{198, 51, 100, 0}, 24, documentation4},
    {{203, 0, 113, 0}, 24, documentation4},
    {{169, 254, 0, 0}, 16, link_local},
    {{192, 168, 0, 0}, 16, private_network},
    {{198, 18, 0, 0}, 15, private_network},
    {{172, 16, 0, 0}, 12, private_network},
    {{100, 64, 0, 0}, 10, special_purpose},
    {{0, 0, 0, 0}, 8, reserved},
    {{10, 0, 0, 0}, 8, private_network},
    {{127, 0, 0, 0}, 8, loopback},
    {{224, 0, 0, 0}, 4, multicast4},
    {{240, 0, 0, 0}, 4, reserved},
};

// Scope ids never take part: the only prefix where they could (fe80::/64) ignores them.
const Row kIpv6Rows[] = {
    {{}, 128, unspecified6},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, loopback},
    {{0x00, 0x64, 0xff, 0x9b}, 96, global},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96, reserved},
    {{0x01, 0x00}, 64, reserved},
    {{0x20, 0x01, 0x00, 0x02}, 48, special_purpose},
    {{0x20, 0x01}, 32, special_purpose},
    {{0x20, 0x01, 0x0d, 0xb8}, 32, reserved},
    {{0x20, 0x01, 0x00, 0x10}, 28, reserved},
    {{0x20, 0x01}, 23, reserved},
    {{0x20, 0x02}, 16, special_purpose},
    {{0xfe, 0x80}, 64, link_local},
    {{0xfc, 0x00}, 7, private_network},
};

template <size_t N>
type Classify(const uint8_t* address, const Row (&rows)[N]) {
  for (const Row& row : rows)
    if (PrefixMatches(address, row.network, row.prefix_bits)) return row.klass;
  return global;
}

}  // namespace

type getType(const HXAIpAddressBase& address) {
  if (address.family() == Family::v4) return Classify(address.in_addr(), kIpv4Rows);
  if (address.family() == Family::v6) return Classify(address.in6_addr(), kIpv6Rows);
  return global;
}

}  // namespace IANA_Addr_Type
}  // namespace ip
