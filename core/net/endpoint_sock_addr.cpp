#include "core/net/endpoint_sock_addr.h"

bool HXZEndpointSockAddrBase::notifyOnResolv(Handler* handler) {
  if (m_handler != nullptr) return false;
  m_handler = handler;
  return true;
}

void HXZEndpointSockAddrBase::notifyOnResolvRemoveIf(Handler* handler) {
  if (m_handler == handler) m_handler = nullptr;
}

HXZEndpointSockAddr::HXZEndpointSockAddr(const HXSockAddr& addr)
    : HXZEndpointSockAddrBase(addr, addr.empty() ? stateFailed : stateResolved) {}
