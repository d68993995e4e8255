#include "core/net/address/if_addr_container.h"

#include "core/net/address/ip_iface.h"

namespace {

bool Passes(const HXIpIfListItem& item, ip::IANA_Addr_Type::type klass, uint8_t family,
            ip::IfType::type kind, int32_t required_flags) {
  if (klass != ip::IANA_Addr_Type::any && ip::IANA_Addr_Type::getType(item) != klass)
    return false;
  if (family != ip::Family::any && item.family() != family) return false;
  if (kind != ip::IfType::any && item.ifType() != kind) return false;
  const HXIpIface* iface = item.ifGet();
  const int32_t flags = (iface != nullptr ? iface->flags() : 0) | ip::IfFlags::kind_bits;
  return (flags & required_flags) == required_flags;
}

}  // namespace

HXIpIfAddrSet HXIfIpAddrContainer::getAddrSet(ip::IANA_Addr_Type::type klass, uint8_t family,
                                              ip::IfType::type kind,
                                              int32_t required_flags) const {
  HXIpIfAddrSet result;
  for (const HXIpIfListItem& item : m_set)
    if (Passes(item, klass, family, kind, required_flags)) result.insert(result.end(), item);
  return result;
}

const HXIpIfListItem* HXIfIpAddrContainer::lookup(const HXAIpAddressBase& address) const {
  for (const HXIpIfListItem& item : m_set)
    if (item.HXAIpAddressBase::cmp(address, false) == 0) return &item;
  return nullptr;
}

void HXIfIpAddrContainer::set(const HXIpIfAddrSet& items) {
  if (&items != &m_set) m_set = items;
}

void HXIfIpAddrContainer::addAddrList(const HXIpIfAddrSet& items) {
  m_set.insert(items.begin(), items.end());
}
