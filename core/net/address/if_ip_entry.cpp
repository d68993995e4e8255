#include "core/net/address/if_ip_entry.h"

#include "core/net/address/ip_iface.h"

HXIfIpEntry::HXIfIpEntry(std::shared_ptr<HXIpIface> iface, const HXNetMask& mask)
    : m_mask(mask), m_iface(std::move(iface)) {}

std::string HXIfIpEntry::ifName() const { return m_iface ? m_iface->name() : std::string(); }

ip::IfType::type HXIfIpEntry::ifType() const {
  return m_iface ? m_iface->type() : ip::IfType::other;
}

int32_t HXIfIpEntry::ifFlags() const { return m_iface ? m_iface->flags() : 0; }

HXIpAddress HXIfIpEntry::p2p() const {
  if ((ifFlags() & ip::IfFlags::kind_p2p) != 0) return m_second;
  return HXIpAddress();
}

HXIpAddress HXIfIpEntry::broadcast() const {
  if ((ifFlags() & ip::IfFlags::kind_bits) == ip::IfFlags::kind_ethernet) return m_second;
  return HXIpAddress();
}

int HXIfIpEntry::cmp(const HXIfIpEntry& other) const {
  if (m_iface == other.m_iface) return 0;
  // An entry without interface sorts first.
  if (!m_iface || !other.m_iface) return m_iface ? 1 : -1;
  return m_iface->cmpIface(*other.m_iface);
}

void HXIfIpEntry::set(const HXIfIpEntry& other) {
  m_mask = other.m_mask;
  m_second = other.m_second;
  m_iface = other.m_iface;
}

void HXIfIpEntry::setPeerAddr(const HXAIpAddressBase& peer) { m_second.set(peer); }

void HXIfIpEntry::setBroadcast(const HXAIpAddressBase& broadcast) { m_second.set(broadcast); }

HXIpIfListItem::HXIpIfListItem(std::shared_ptr<HXIpIface> iface,
                               const HXAIpAddressBase& address, const HXNetMask& mask)
    : HXIfIpEntry(std::move(iface), mask) {
  HXAIpAddressBase::set(address);
}

int HXIpIfListItem::cmp(const HXIpIfListItem& other) const {
  const int address = HXAIpAddressBase::cmp(other, false);
  if (address != 0) return address;
  return HXIfIpEntry::cmp(other);
}
