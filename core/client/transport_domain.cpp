#include "core/client/transport_domain.h"

#include <algorithm>

#include "core/wire/server_names.h"

namespace hx::transport {

std::string SessionDomain(bool described, const std::string& describedDomain, bool service,
                          const std::string& serverId, const std::string& address) {
  const std::string host = hx::servers::Names::getHostFromServerId(serverId);
  if (described) return service ? describedDomain : host;
  if (!service) return host;
  const std::string& prefix = hx::servers::ServerDefaultSrv;
  if (address.compare(0, prefix.size(), prefix) == 0) return address.substr(prefix.size());
  if (std::count(host.begin(), host.end(), '.') >= 2) return "dom" + host.substr(host.find('.'));
  return host;
}

}  // namespace hx::transport
