#pragma once
// What the interface list knows about one local address besides the address itself: its mask,
// the peer (point-to-point) or broadcast (Ethernet) address, and the interface that carries it.
// HXIpIfListItem joins this to the address, so an item is usable wherever an address is.

#include <memory>
#include <string>

#include "core/net/address/if_kind.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/net_mask.h"

class HXIpIface;

class HXIfIpEntry {
 public:
  // IPv6 /128 mask, no second address, no interface.
  HXIfIpEntry() = default;
  HXIfIpEntry(std::shared_ptr<HXIpIface> iface, const HXNetMask& mask);

  // The interface, or null.
  HXIpIface* ifGet() const { return m_iface.get(); }
  const std::shared_ptr<HXIpIface>& getIntfShared() const { return m_iface; }
  // The interface's name; "" without interface.
  std::string ifName() const;
  // The interface's kind; other without interface.
  ip::IfType::type ifType() const;

  const HXNetMask& mask() const { return m_mask; }
  // The second address when the interface is point-to-point, else an empty address.
  HXIpAddress p2p() const;
  // The second address when the interface's kind bits are exactly Ethernet, else empty.
  HXIpAddress broadcast() const;

  // 0 for the same interface object (or none on both); an entry without interface sorts first;
  // else the interfaces compared by name, index and flags.
  int cmp(const HXIfIpEntry& other) const;

  // Copies mask, second address and interface.
  void set(const HXIfIpEntry& other);
  void setMask(const HXNetMask& mask) { m_mask = mask; }
  // Both store the one second address.
  void setPeerAddr(const HXAIpAddressBase& peer);
  void setBroadcast(const HXAIpAddressBase& broadcast);
  void setInterface(std::shared_ptr<HXIpIface> iface) { m_iface = std::move(iface); }

 private:
  // The interface flags, or 0 without interface.
  int32_t ifFlags() const;

  HXNetMask m_mask;
  HXIpAddress m_second;
  std::shared_ptr<HXIpIface> m_iface;
};

// One local address with its entry. Its address is the local address itself.
class HXIpIfListItem : public HXIfIpEntry, public HXIpAddress {
 public:
  HXIpIfListItem() = default;
  HXIpIfListItem(std::shared_ptr<HXIpIface> iface, const HXAIpAddressBase& address,
                 const HXNetMask& mask);

  using HXAIpAddressBase::set;
  using HXIfIpEntry::set;
  using HXAIpAddressBase::cmp;
  using HXIfIpEntry::cmp;
  // The addresses (scope id included), then 0 for the same interface object, then the
  // interfaces compared by name, index and flags. The order of HXIpIfAddrSet.
  int cmp(const HXIpIfListItem& other) const;
};
