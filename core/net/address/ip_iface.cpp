#include "core/net/address/ip_iface.h"

HXIpIface::HXIpIface(std::string name, uint32_t index, ip::IfType::type kind)
    : m_index(index), m_name(std::move(name)) {
  setType(kind);
}

void HXIpIface::setType(ip::IfType::type kind) {
  m_flags &= ~ip::IfFlags::kind_bits;
  if (kind == ip::IfType::p2p) m_flags |= ip::IfFlags::kind_p2p;
  if (kind == ip::IfType::tunnel) m_flags |= ip::IfFlags::kind_tunnel;
  if (kind == ip::IfType::ethernet) m_flags |= ip::IfFlags::kind_ethernet;
}

ip::IfType::type HXIpIface::type() const {
  if ((m_flags & ip::IfFlags::kind_p2p) != 0) return ip::IfType::p2p;
  if ((m_flags & ip::IfFlags::kind_tunnel) != 0) return ip::IfType::tunnel;
  if ((m_flags & ip::IfFlags::kind_ethernet) != 0) return ip::IfType::ethernet;
  return ip::IfType::other;
}

void HXIpIface::setFlag(int32_t bit, bool on) {
  if (on)
    m_flags |= bit;
  else
    m_flags &= ~bit;
}

void HXIpIface::setUpAndRunning(bool up_and_running) {
  setFlag(ip::IfFlags::up_and_running, up_and_running);
}

void HXIpIface::setMulticast(bool multicast) { setFlag(ip::IfFlags::multicast, multicast); }

void HXIpIface::addAddress(const HXIpIfListItem& item) {
  for (auto it = m_addresses.begin(); it != m_addresses.end(); ++it) {
    if (it->HXAIpAddressBase::cmp(item, false) == 0) {
      m_addresses.erase(it);
      break;
    }
  }
  m_addresses.insert(item);
}

int HXIpIface::cmpIface(const HXIpIface& other) const {
  // std::string compares bytes as unsigned char, a shorter prefix first.
  const int names = m_name.compare(other.m_name);
  if (names != 0) return names < 0 ? -1 : 1;
  if (m_index != other.m_index) return m_index < other.m_index ? -1 : 1;
  if (m_flags != other.m_flags) return m_flags < other.m_flags ? -1 : 1;
  return 0;
}
