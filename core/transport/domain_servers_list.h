#pragma once
// The servers of a domain in the form a login answer and a call link carry them: the domain and,
// per server id, the hosts of that server. HX_DomainServersList is that form over HXServerEpList,
// with `set`, which builds it from the transport endpoints a login returns, and `deduceDomain`,
// the rule for the domain of a server when the answer names none.
//
// Plain values without locks: their owners guard them.

#include <list>
#include <string>

#include "core/wire/endpoint_record.h"
#include "core/wire/server_endpoint.h"

template <typename HostList>
class HXTDomainServersList {
 public:
  struct ServerInfo {
    std::string serverId;
    HostList hosts;
  };
  using Servers = std::list<ServerInfo>;

  const std::string& getDomain() const { return m_domain; }
  void setDomain(const std::string& domain) { m_domain = domain; }
  const Servers& getServers() const { return m_servers; }
  Servers& getServers() { return m_servers; }

  // Appends a server with an empty host list and returns it; references stay valid while the
  // list lives (a std::list never moves its elements).
  ServerInfo& add(const std::string& serverId) {
    m_servers.push_back(ServerInfo{serverId, HostList()});
    return m_servers.back();
  }
  // No servers; the domain does not count.
  bool empty() const { return m_servers.empty(); }
  // Empties the domain and the servers.
  void clear() {
    m_domain.clear();
    m_servers.clear();
  }

 private:
  std::string m_domain;
  Servers m_servers;
};

class HX_DomainServersList : public HXTDomainServersList<HXServerEpList> {
 public:
  // Replaces the content with one server: the domain becomes deduceDomain (domain, serverId,
  // hint); the id gets "#vcs" appended when it has no "#"; each endpoint adds a host (its host
  // and port, time 0, that domain and id, unknown ping). Null entries of the list are skipped.
  void set(const std::string& domain, const std::string& serverId,
           const HX_TransportEndpointList& endpoints, const char* hint);

  // The domain when it is not empty; else the hint (empty when null) for an empty id or one that
  // contains "#as"; else the host part of the id.
  static std::string deduceDomain(const std::string& domain, const std::string& serverId,
                                  const char* hint);
};
