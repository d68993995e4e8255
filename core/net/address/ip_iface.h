#pragma once
// One network interface: its name, system index, kind and flags, and its addresses.
//
// Always owned through a shared pointer. Its address items point back to it, so whoever fills
// an interface (HXIfList) calls clearAddresses() when done with it, or the pair is never freed.
// Not locked: used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "core/net/address/if_addr_set.h"
#include "core/net/address/if_kind.h"

class HXIpIface : public std::enable_shared_from_this<HXIpIface> {
 public:
  HXIpIface(std::string name, uint32_t index, ip::IfType::type kind);

  // Sets the kind bit of p2p, tunnel or ethernet; any other value clears all three.
  void setType(ip::IfType::type kind);
  // The first kind bit set (p2p, tunnel, ethernet in that order), or other.
  ip::IfType::type type() const;
  void setUpAndRunning(bool up_and_running);
  void setMulticast(bool multicast);
  void setName(const std::string& name) { m_name = name; }
  void setIndex(uint32_t index) { m_index = index; }

  const std::string& name() const { return m_name; }
  uint32_t index() const { return m_index; }
  int32_t flags() const { return m_flags; }
  const HXIpIfAddrSet& addresses() const { return m_addresses; }

  // Replaces the first item with an equal address (scope id included), or adds the item.
  void addAddress(const HXIpIfListItem& item);
  void clearAddresses() { m_addresses.clear(); }

  // Names as byte strings (a prefix first), then index, then flags. Negative, zero or positive.
  int cmpIface(const HXIpIface& other) const;

 private:
  void setFlag(int32_t bit, bool on);

  HXIpIfAddrSet m_addresses;
  int32_t m_flags = 0;
  uint32_t m_index = 0;
  std::string m_name;
};
