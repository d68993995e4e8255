#include "core/net/loop/endpoint_multi.h"

void HXZEndpointSockAddrMulti::add(const HXSockAddr& address) {
  m_list.push_back(address);
  if (m_index == kNone) m_index = 0;
}

std::string HXZEndpointSockAddrMulti::getAddrStr() const { return getSockAddr().str_wscope(); }

HXSockAddr HXZEndpointSockAddrMulti::getSockAddr() const {
  if (m_index < 0) return HXSockAddr();
  return m_list[static_cast<size_t>(m_index)];
}

bool HXZEndpointSockAddrMulti::getSockAddrList(std::vector<HXSockAddr>* list) const {
  if (list == nullptr) return false;
  *list = m_list;
  return true;
}

HXSockAddr HXZEndpointSockAddrMulti::next() {
  if (m_list.empty()) return HXSockAddr();
  size_t current = m_index < 0 ? 0 : static_cast<size_t>(m_index);
  m_index = current + 1 < m_list.size() ? static_cast<int32_t>(current + 1) : kPast;
  return m_list[current];
}

void HXZEndpointSockAddrMulti::rewind() { m_index = m_list.empty() ? kPast : 0; }
