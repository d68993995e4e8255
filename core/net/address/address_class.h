#pragma once
// The class of an address after the IANA special-purpose address registries. Callers compare
// classes numerically (media picks the local binding with the highest class), so the values
// are fixed.

#include <cstdint>

class HXAIpAddressBase;

namespace ip {
namespace IANA_Addr_Type {

enum type : uint8_t {
  reserved = 0,          // this-network, IPv4-mapped, discard-only, IETF assignments, IPv6
                         // documentation, ORCHID, class E
  multicast4 = 1,        // IPv4 multicast
  broadcast4 = 2,        // 255.255.255.255
  unspecified6 = 3,      // ::
  loopback = 4,          // 127.0.0.0/8, ::1
  link_local = 5,        // 169.254.0.0/16, fe80::/64
  documentation4 = 6,    // the three IPv4 documentation networks
  special_purpose = 7,   // Teredo, 6to4, shared address space, IPv6 benchmarking, 192.0.0.0/29
  private_network = 8,   // private and unique-local networks, IPv4 benchmarking
  global = 9,            // everything else, and addresses of no known family
  any = 10,              // never returned: callers pass it to mean "no filter"
};

type getType(const HXAIpAddressBase& address);

}  // namespace IANA_Addr_Type
}  // namespace ip
