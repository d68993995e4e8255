#pragma once
// Holds one set of local addresses and offers filtered views of it. Not locked; see
// HXIfIpAddrContainerTS for the shared one.

#include <cstddef>
#include <cstdint>

#include "core/net/address/address_class.h"
#include "core/net/address/address_family.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/if_kind.h"

class HXIfIpAddrContainer {
 public:
  const HXIpIfAddrSet& getAddrSet() const { return m_set; }
  // The items that pass all four filters: address class (IANA_Addr_Type::any for every
  // class), family (ip::Family::any for every family), interface kind (IfType::any for every
  // kind; an item without interface is of kind other) and required flags, every bit of which
  // must be set in the interface's flags (the kind bits always count as set; 0 requires
  // nothing).
  HXIpIfAddrSet getAddrSet(ip::IANA_Addr_Type::type klass, uint8_t family,
                           ip::IfType::type kind, int32_t required_flags) const;
  // The first item whose address equals `address` (scope id included), or null.
  const HXIpIfListItem* lookup(const HXAIpAddressBase& address) const;

  void set(const HXIpIfAddrSet& items);
  void addAddrList(const HXIpIfAddrSet& items);
  void clear() { m_set.clear(); }
  size_t size() const { return m_set.size(); }

 private:
  HXIpIfAddrSet m_set;
};
