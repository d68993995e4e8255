#include "core/net/proxy/proxy_config.h"

#include <algorithm>
#include <utility>

#include "core/net/loop/endpoint_holder.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/direct_handler.h"
#include "core/net/proxy/http_handler.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_authenticator.h"
#include "core/net/proxy/proxy_list.h"

namespace hx::netproxy {

Config::Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position)
    : m_descriptor(std::move(descriptor)), m_ordinal(position.ordinal()) {}

Config::Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position,
               std::vector<HXSockAddr> addresses)
    : m_addresses(std::move(addresses)),
      m_descriptor(std::move(descriptor)),
      m_ordinal(position.ordinal()) {}

Config::~Config() = default;

std::shared_ptr<ProtocolHandler> Config::getProtocolHandler(
    std::shared_ptr<HXZAEndpointHolder> target) {
  std::shared_ptr<Config> self = weak_from_this().lock();
  if (!m_descriptor || !self) return nullptr;
  switch (m_descriptor->getType()) {
    case kProxyDirect:
      return std::make_shared<DirectHandler>(std::move(self), std::move(target));
    case kProxyHttp:
      return std::make_shared<HttpHandler>(std::move(self), std::move(target));
    default:
      return nullptr;
  }
}

bool Config::sameAddrList(const std::vector<HXSockAddr>& addresses) const {
  if (addresses.size() != m_addresses.size()) return false;
  auto by_ip = [](const HXSockAddr& a, const HXSockAddr& b) {
    return a.HXAIpAddressBase::cmp(b) < 0;
  };
  std::vector<HXSockAddr> mine = m_addresses;
  std::vector<HXSockAddr> theirs = addresses;
  std::sort(mine.begin(), mine.end(), by_ip);
  std::sort(theirs.begin(), theirs.end(), by_ip);
  for (size_t i = 0; i < mine.size(); ++i) {
    if (mine[i].HXAIpAddressBase::cmp(theirs[i]) != 0) return false;
  }
  return true;
}

void Config::setAuthSession(std::shared_ptr<ProtocolAuthSession> session) {
  m_authSession = std::move(session);
}

void Config::clearAuthSession() { m_authSession.reset(); }

bool Config::reportError(GuiNotifyEvent event, const std::string& text) {
  const auto value = static_cast<uint32_t>(event);
  if (m_lastEvent.exchange(value) == value) return false;
  HX_ProxyList* list = HXZServer::getProxyList();
  HX_ProxyAuthenticator* authenticator = list == nullptr ? nullptr : list->getAuthenticator();
  std::shared_ptr<Config> self = weak_from_this().lock();
  if (authenticator != nullptr && self) authenticator->reportError(std::move(self), event, text);
  return true;
}

}  // namespace hx::netproxy
