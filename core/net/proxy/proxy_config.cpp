#include "core/net/proxy/proxy_config.h"

#include <algorithm>
#include <utility>

namespace hx::netproxy {

Config::Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position)
    : m_descriptor(std::move(descriptor)), m_ordinal(position.ordinal()) {}

Config::Config(std::shared_ptr<HX_ProxyDescriptor> descriptor, const ProxyListIterator& position,
               std::vector<HXSockAddr> addresses)
    : m_addresses(std::move(addresses)),
      m_descriptor(std::move(descriptor)),
      m_ordinal(position.ordinal()) {}

Config::~Config() = default;

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

bool Config::reportError(GuiNotifyEvent event, const std::string& /*text*/) {
  const auto value = static_cast<uint32_t>(event);
  return m_lastEvent.exchange(value) != value;
}

}  // namespace hx::netproxy
