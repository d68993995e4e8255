#pragma once
// The address set shared between threads: the network loop keeps one for the process. Every
// operation takes the lock; a caller that needs several steps at once brackets them with
// lockList() and unlockList(). The sets handed out are copies, the caller's own; their items
// share the interface objects, which nobody changes once gathered.

#include <cstddef>
#include <cstdint>

#include "core/base/lock.h"
#include "core/net/address/if_addr_container.h"

class HXIfIpAddrContainerTS {
 public:
  void clear();
  // True when an item has this address (scope id included).
  bool contains(const HXAIpAddressBase& address) const;
  // A copy of the whole set.
  HXIpIfAddrSet getAddrList() const;
  // A copy of the items that pass the filters of HXIfIpAddrContainer::getAddrSet; by default
  // the whole set.
  HXIpIfAddrSet getAddrSet(ip::IANA_Addr_Type::type klass = ip::IANA_Addr_Type::any,
                           uint8_t family = ip::Family::any,
                           ip::IfType::type kind = ip::IfType::any,
                           int32_t required_flags = 0) const;
  size_t size() const;

  // Locks and hands out the container for work in place; unlockList() must follow on the
  // same thread.
  HXIfIpAddrContainer& lockList();
  void unlockList();

 private:
  mutable HXLock m_lock;
  HXIfIpAddrContainer m_list;
};
