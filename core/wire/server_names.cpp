#include "core/wire/server_names.h"

#include <algorithm>

#include "core/wire/uri_host.h"

namespace hx::servers {

std::string Names::getDefaultServer(const std::string& domain) {
  return ServerDefaultSrv + HXUri::toLower(domain);
}

std::string Names::getHostFromServerId(const std::string& serverId) {
  return serverId.substr(0, serverId.find('#'));
}

std::string Names::getSuffix(const std::string& serverId, size_t* position) {
  const size_t hash = serverId.find('#');
  if (position != nullptr) *position = hash;
  if (hash == std::string::npos) return std::string();
  return HXUri::toLower(serverId.substr(hash));
}

std::string Names::getDomainFromServerId(const std::string& serverId) {
  const std::string host = getHostFromServerId(serverId);
  if (HXUri::isNumericHost(host)) return host;
  if (std::count(host.begin(), host.end(), '.') <= 1) return host;
  return host.substr(host.find('.') + 1);
}

bool Names::isDefaultServiceHost(const std::string& host, const std::string& domain) {
  return HXUri::toLower(host) == getDefaultServer(domain);
}

bool Names::isDefaultServiceServerId(const std::string& serverId, const std::string& domain) {
  return getSuffix(serverId) == DefaultSuffixAs &&
         isDefaultServiceHost(getHostFromServerId(serverId), domain);
}

bool Names::isDefaultKRSHost(const std::string& host) {
  return HXUri::toLower(host).compare(0, ServerDefaultSrv.size(), ServerDefaultSrv) == 0;
}

bool Names::isDefaultKRSServerId(const std::string& serverId) {
  return getSuffix(serverId) == DefaultSuffixVcs && isDefaultKRSHost(getHostFromServerId(serverId));
}

}  // namespace hx::servers
