#pragma once
// Endpoints of one socket address. HXZEndpointSockAddrBase keeps the address, its resolution
// state and the one handler waiting for it; HXZEndpointSockAddr is an endpoint given as a
// socket address, resolved from the start.

#include "core/net/endpoint_holder.h"
#include "core/net/sock_addr.h"

class HXZEndpointSockAddrBase : public HXZAEndpointHolder {
 public:
  HXSockAddr getSockAddr() const override { return m_addr; }
  // Registers `handler` only when no handler is registered yet.
  bool notifyOnResolv(Handler* handler) override;
  void notifyOnResolvRemoveIf(Handler* handler) override;
  int32_t state() const override { return m_state; }

 protected:
  HXZEndpointSockAddrBase(const HXSockAddr& addr, int32_t state) : m_addr(addr), m_state(state) {}

  HXSockAddr m_addr;
  int32_t m_state;
  Handler* m_handler = nullptr;
};

class HXZEndpointSockAddr : public HXZEndpointSockAddrBase {
 public:
  // Resolved, or failed when the address is empty.
  explicit HXZEndpointSockAddr(const HXSockAddr& addr);

  // The address text, link-local IPv6 with its scope id.
  std::string getAddrStr() const override { return m_addr.str_wscope(); }
};
