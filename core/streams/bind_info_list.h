#pragma once
// The choice among the UDP listener's bindings (one socket per local address) of the one to use
// towards a peer: the defaults for a local address, the binding in the peer's own network, or
// simply the best-classed binding of a family.
//
// Pure functions over value lists; no state, no locks.

#include <cstdint>
#include <vector>

#include "core/net/address/if_addr_set.h"
#include "core/net/address/sock_addr.h"

namespace hx::streams {

// One UDP listener socket: its id and its bound address.
struct BindInfoListEntry {
  uint32_t socketId = 0;
  HXSockAddr address;
};
using BindInfoList = std::vector<BindInfoListEntry>;

class BindInfoListUtil {
 public:
  // For a local address that is on an interface and has a binding: that binding for its family,
  // and for the other family the binding of the same interface with the highest address class
  // (left untouched when there is none). False, touching nothing, otherwise.
  static bool getDefaultBindings(const BindInfoList& entries, const HXAIpAddressBase& local,
                                 const HXIpIfAddrSet& interfaces, BindInfoListEntry* ipv4,
                                 BindInfoListEntry* ipv6);
  // Among the bindings of the peer's family: the binding of the peer's own address, or for a
  // link-local peer one that is link-local with the same scope; else the binding whose interface
  // network holds the peer, the longest mask winning. False when none fits.
  static bool getSameNetBinding(const HXAIpAddressBase& peer, const BindInfoList& entries,
                                const HXIpIfAddrSet& interfaces, BindInfoListEntry* binding);
  // The binding of `family` (4 or 6) with the highest address class, the first one on a tie.
  static bool getBindingIANATypeOrder(const BindInfoList& entries, uint8_t family,
                                      BindInfoListEntry* binding);
};

}  // namespace hx::streams
