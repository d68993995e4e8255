#include "core/transport/domain_servers_list.h"

#include "core/wire/server_names.h"

void HX_DomainServersList::set(const std::string& domain, const std::string& serverId,
                               const HX_TransportEndpointList& endpoints, const char* hint) {
  const std::string list_domain = deduceDomain(domain, serverId, hint);
  std::string id = serverId;
  if (id.find('#') == std::string::npos) id += hx::servers::DefaultSuffixVcs;
  clear();
  setDomain(list_domain);
  ServerInfo& server = add(id);
  for (const auto& endpoint : endpoints) {
    if (!endpoint) continue;
    server.hosts.addHost(HXServerEndpoint(endpoint->getHost(), 0, list_domain, id,
                                          endpoint->GetPort(), hx::servers::MAXTIME));
  }
}

std::string HX_DomainServersList::deduceDomain(const std::string& domain,
                                               const std::string& serverId, const char* hint) {
  if (!domain.empty()) return domain;
  const std::string hint_text = hint == nullptr ? std::string() : std::string(hint);
  if (serverId.empty() || serverId.find(hx::servers::DefaultSuffixAs) != std::string::npos) {
    return hint_text;
  }
  return hx::servers::Names::getHostFromServerId(serverId);
}
