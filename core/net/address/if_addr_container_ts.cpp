#include "core/net/address/if_addr_container_ts.h"

void HXIfIpAddrContainerTS::clear() {
  HXAutoLock guard(m_lock);
  m_list.clear();
}

bool HXIfIpAddrContainerTS::contains(const HXAIpAddressBase& address) const {
  HXAutoLock guard(m_lock);
  return m_list.lookup(address) != nullptr;
}

HXIpIfAddrSet HXIfIpAddrContainerTS::getAddrList() const {
  HXAutoLock guard(m_lock);
  return m_list.getAddrSet();
}

HXIpIfAddrSet HXIfIpAddrContainerTS::getAddrSet(ip::IANA_Addr_Type::type klass, uint8_t family,
                                                ip::IfType::type kind,
                                                int32_t required_flags) const {
  HXAutoLock guard(m_lock);
  return m_list.getAddrSet(klass, family, kind, required_flags);
}

size_t HXIfIpAddrContainerTS::size() const {
  HXAutoLock guard(m_lock);
  return m_list.size();
}

HXIfIpAddrContainer& HXIfIpAddrContainerTS::lockList() {
  m_lock.Lock();
  return m_list;
}

void HXIfIpAddrContainerTS::unlockList() { m_lock.Unlock(); }
