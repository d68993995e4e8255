#pragma once
// The runtime state of one proxy (or of a direct connection) for the connection attempts that use
// it: the proxy's resolved addresses, its authentication session and the last event reported
// about it. The proxy list keeps one per entry so that this state survives between attempts.
//
// Not locked: connection attempts use it on the network loop's thread; only reportError may be
// called from another thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/net/address/sock_addr.h"
#include "core/net/proxy/proxy_descriptor.h"
#include "core/net/proxy/proxy_list_iterator.h"

class HXZAEndpointHolder;

namespace hx::netproxy {

class ProtocolAuthSession;
enum GuiNotifyEvent : uint32_t;

class ProtocolHandler;

class Config : public std::enable_shared_from_this<Config> {
 public:
  // The ordinal is taken from `position`.
  Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position);
  Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position,
         std::vector<HXSockAddr> addresses);
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
  ~Config();

  const std::shared_ptr<HX_ProxyDescriptor>& getDescriptor() const { return m_descriptor; }
  // The entry's ordinal in the proxy list; ProxyListIterator::kBeforeFirst for a direct one.
  uint32_t getOrdinal() const { return m_ordinal; }

  // A new handler that reaches `target` through this configuration: direct for the direct kind,
  // an HTTP CONNECT tunnel for the HTTP kind; none for another kind, or without descriptor.
  std::shared_ptr<ProtocolHandler> getProtocolHandler(std::shared_ptr<HXZAEndpointHolder> target);

  const std::vector<HXSockAddr>& getAddrList() const { return m_addresses; }
  void setAddrList(std::vector<HXSockAddr>&& addresses) { m_addresses = std::move(addresses); }
  // True when `addresses` holds the same IP addresses as this configuration, in any order and
  // with any ports.
  bool sameAddrList(const std::vector<HXSockAddr>& addresses) const;

  const std::shared_ptr<ProtocolAuthSession>& getAuthSession() const { return m_authSession; }
  void setAuthSession(std::shared_ptr<ProtocolAuthSession> session);
  void clearAuthSession();

  // Records `event` as the last one reported and passes it to the proxy list's authenticator (when
  // there is one); false, doing nothing, when it is the last one already, so that an event is
  // reported at most once in a row. Any thread.
  bool reportError(GuiNotifyEvent event, const std::string& text);

 private:
  std::vector<HXSockAddr> m_addresses;
  std::shared_ptr<ProtocolAuthSession> m_authSession;
  std::shared_ptr<HX_ProxyDescriptor> m_descriptor;
  uint32_t m_ordinal;
  std::atomic<uint32_t> m_lastEvent{0};
};

}  // namespace hx::netproxy
