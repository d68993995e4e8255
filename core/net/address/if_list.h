#pragma once
// The system's interface table: interfaces by name, each with its kind, flags, index and
// addresses. Made, gathered and flattened into an address set by one thread, then dropped;
// the items of the set keep their interfaces alive.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/net/address/if_addr_container.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/ip_iface.h"

class HXIfList {
 public:
  HXIfList() = default;
  // Releases the interfaces' own address sets, which point back at the interfaces.
  virtual ~HXIfList();
  HXIfList(const HXIfList&) = delete;
  HXIfList& operator=(const HXIfList&) = delete;

  // Reads the running system's interfaces and their addresses; returns the number of
  // interfaces known, or 0 when the system table cannot be read (the list is then unchanged).
  unsigned gather();

  // The interface of that name, made when absent; an existing one takes the kind and index.
  std::shared_ptr<HXIpIface> addIface(ip::IfType::type kind, const std::string& name,
                                      uint32_t index);
  // Adds an address to a known interface (unknown names are ignored). The peer address is
  // kept for a point-to-point interface, the broadcast address for an Ethernet one.
  void addIfaceAddress(const std::string& name, const HXAIpAddressBase& address,
                       const HXNetMask& mask, const HXAIpAddressBase& peer,
                       const HXAIpAddressBase& broadcast);
  // The same with a full-length mask and all-zero peer and broadcast addresses.
  void addIfaceAddress(const std::string& name, const HXAIpAddressBase& address);
  // The interface of that name, or null.
  std::shared_ptr<HXIpIface> getIf(const std::string& name) const;

  // Clears `out`, then adds the addresses of every interface in name order.
  void getIfAddrList(HXIpIfAddrSet& out) const;
  void getIfAddrList(HXIfIpAddrContainer& out) const;

 private:
  std::map<std::string, std::shared_ptr<HXIpIface>> m_ifaces;
};
