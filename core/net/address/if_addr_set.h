#pragma once
// The ordered set of local addresses: by address (scope id included), then by interface, so
// IPv4 items come before IPv6 ones and one address on two interfaces gives two items.

#include <set>

#include "core/net/address/if_ip_entry.h"

struct HXIpIfListItemLess {
  bool operator()(const HXIpIfListItem& a, const HXIpIfListItem& b) const {
    return a.cmp(b) < 0;
  }
};

class HXIpIfAddrSet : public std::set<HXIpIfListItem, HXIpIfListItemLess> {
 public:
  using std::set<HXIpIfListItem, HXIpIfListItemLess>::set;

  // Removes the items of interfaces that are not up and running, and 127.0.0.1 and ::1
  // (other loopback addresses stay).
  void removeDownAndLocalhostIf();
};
