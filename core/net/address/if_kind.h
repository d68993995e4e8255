#pragma once
// The kind of a network interface and the flags word kept for it.

#include <cstdint>

namespace ip {

namespace IfType {

enum type : int32_t {
  p2p = 0,       // point-to-point (PPP, SLIP)
  tunnel = 1,    // IP tunnels, tun devices
  ethernet = 2,  // broadcast-capable Ethernet
  other = 3,     // everything else (loopback included), and an entry without interface
  any = 4,       // never stored: filters take it to mean every kind
};

// The kind of a Linux link-layer hardware type (ARPHRD_*).
type fromHardwareType(unsigned hardware_type);

}  // namespace IfType

namespace IfFlags {

enum : int32_t {
  kind_p2p = 0x1,
  kind_tunnel = 0x2,
  kind_ethernet = 0x4,
  multicast = 0x8,
  up_and_running = 0x10,
  kind_bits = kind_p2p | kind_tunnel | kind_ethernet,
};

}  // namespace IfFlags

}  // namespace ip
