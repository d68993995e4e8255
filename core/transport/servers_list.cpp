#include "core/transport/servers_list.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <set>
#include <vector>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/storage/db_manager.h"
#include "core/transport/check_srv_handshake.h"
#include "core/transport/transport_target.h"
#include "core/wire/server_names.h"

namespace {

using hx::servers::Names;

// The recheck of a discovery that found nothing; nothing when the list has gone meanwhile.
class RecheckTask : public HXStoredTask {
 public:
  RecheckTask(std::weak_ptr<HX_ServersList> list,
              std::shared_ptr<hx::servers::DiscoveryConfig> config)
      : m_list(std::move(list)), m_config(std::move(config)) {}
  void Execute() override {
    if (auto list = m_list.lock()) list->onTimeRecheckDNS(m_config);
  }

 private:
  std::weak_ptr<HX_ServersList> m_list;
  std::shared_ptr<hx::servers::DiscoveryConfig> m_config;
};

}  // namespace

HX_ServersList::HX_ServersList(const std::string& dir)
    : m_mainDb(std::make_shared<HX_ServersListDBFile>()) {
  {
    HXAutoLock global(HX_DBManager::instance()->getLock());
    try {
      if (!m_mainDb->IsOpen() &&
          !m_mainDb->OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate)) {
        ios_log("FAILED: servers list database in %s", dir.c_str());
      }
    } catch (const std::exception& error) {
      ios_log("FAILED: servers list database in %s, %s", dir.c_str(), error.what());
    }
  }
  m_db = m_mainDb;
}

HX_ServersList::~HX_ServersList() { m_mainDb->Close(); }

uint64_t HX_ServersList::now() const { return static_cast<uint64_t>(std::time(nullptr)); }

std::shared_ptr<HX_ServersListDB> HX_ServersList::getCurrentDb() const {
  HXAutoLock guard(m_lock);
  return m_db;
}

void HX_ServersList::setTarget(const HX_TransportTarget& target, uint32_t requestId) {
  HXAutoLock guard(m_lock);
  std::shared_ptr<HX_ServersListDB> own = target.getServersListDb();
  m_db = own != nullptr ? own : std::shared_ptr<HX_ServersListDB>(m_mainDb);
  m_iterator.init(target, requestId, *m_db);
}

std::string HX_ServersList::GetNextServerList(const char* domain, const char* lastHost,
                                              uint16_t& port, bool reset) {
  HXAutoLock guard(m_lock);
  return m_iterator.getNextServer(*m_db, domain == nullptr ? "" : domain,
                                  lastHost == nullptr ? "" : lastHost, port, reset);
}

void HX_ServersList::addRedirect(uint32_t requestId, const std::string& host, uint16_t port) {
  HXAutoLock guard(m_lock);
  if (requestId == m_iterator.getRequestId()) m_iterator.addRedirect(host, port);
}

bool HX_ServersList::getBestHost(uint32_t requestId, HXServerEndpoint& out) {
  std::list<std::string> domains;
  std::shared_ptr<HX_ServersListDB> db;
  {
    HXAutoLock guard(m_lock);
    if (requestId != m_iterator.getRequestId()) return false;
    m_iterator.getDomains(domains);
    db = m_db;
  }
  HXServerEpList bests;
  for (const auto& domain : domains) {
    HXServerEpList hosts;
    db->GetHostsByDomain(domain, hosts);
    if (const HXServerEndpoint* best = hosts.findBestByCheckRes()) bests.addHost(*best);
  }
  const HXServerEndpoint* best = bests.findBestByCheckRes();
  if (best == nullptr) return false;
  out = *best;
  return true;
}

bool HX_ServersList::Update(uint32_t requestId, bool forced, uint64_t* nextUpdate) {
  std::list<std::string> domains;
  int32_t scope;
  std::shared_ptr<HX_ServersListDB> db;
  {
    HXAutoLock guard(m_lock);
    if (requestId != m_iterator.getRequestId() || !m_iterator.getDomains(domains)) return false;
    scope = m_iterator.getScope();
    db = m_db;
  }
  const uint64_t current = now();
  db->beforeUpdate(current, kDnsPeriod, kHelperAge);
  if (nextUpdate != nullptr) *nextUpdate = kDnsPeriod;
  for (const auto& domain : domains) {
    updateDomain(scope == HX_TransportTarget::eScopeCloud, domain, forced, current, nextUpdate);
  }
  return true;
}

bool HX_ServersList::updateDomain(bool useDns, const std::string& domain, bool forced,
                                  uint64_t current, uint64_t* nextUpdate) {
  const std::shared_ptr<HX_ServersListDB> db = getCurrentDb();
  uint64_t interval = kDnsPeriod;
  bool need_dns = false;
  if (useDns) {
    const uint64_t t = db->GetDNSUpdateTime(domain);
    if (t > current || t + kDnsPeriod <= current) {
      need_dns = true;
    } else {
      interval = std::min(kDnsPeriod, t + kDnsPeriod - current);
    }
  }
  auto config = std::make_shared<DiscoveryConfigSL>();
  if (need_dns) config->setPortList({4307, 80, 443});

  HXServerEpList stored;
  db->GetHostsByDomain(domain, stored);
  HXServerEpList hosts;
  for (const auto& host : stored) {
    if (!host.getHost().empty() && host.getPort() != 0) hosts.addHost(host);
  }
  // A server is checked only when none of its hosts is still fresh.
  std::set<std::string> not_due;
  for (const auto& host : hosts) {
    if (host.getConnectivityCheckTime(current) > current) not_due.insert(host.getServerId());
  }
  HXServerEpSetByTarget due;
  std::set<std::string> due_servers;
  for (const auto& host : hosts) {
    const uint64_t check_time = host.getConnectivityCheckTime(current);
    if (check_time > current) {
      interval = std::min(interval, check_time - current);
    } else if (not_due.count(host.getServerId()) == 0) {
      due.addHost(host);
      due_servers.insert(host.getServerId());
    }
  }
  if (nextUpdate != nullptr && interval < *nextUpdate) *nextUpdate = interval;

  uint32_t mode;
  if (!due.empty()) {
    if (need_dns) {
      mode = hx::servers::DiscoveryConfig::eDns | hx::servers::DiscoveryConfig::eCheck;
    } else {
      db->SetLastCheckTime(domain, due_servers, current);
      mode = hx::servers::DiscoveryConfig::eCheck;
    }
  } else if (need_dns) {
    mode = hx::servers::DiscoveryConfig::eDns;
  } else {
    return true;  // nothing to do
  }
  if (forced) mode += hx::servers::DiscoveryConfig::eForced;
  config->checkHosts(domain, due, mode);
  return m_discovery.runRequest(config, weak_from_this()) != 0;
}

bool HX_ServersList::isDnsUpdateRequired(const std::string& domain, uint64_t current) const {
  const uint64_t t = getCurrentDb()->GetDNSUpdateTime(domain);
  return current < t || current >= t + kDnsPeriod;
}

void HX_ServersList::onDiscoveryDone(uint32_t requestId, HXServerEpSetByTarget newHosts,
                                     HXServerEpSetByTarget knownFound,
                                     HXServerEpSetByTarget /*knownMissing*/) {
  std::shared_ptr<hx::servers::DiscoveryConfig> config = m_discovery.getConfig(requestId);
  if (config == nullptr) return;
  {
    // The engine reads the configuration under this lock once the report returned.
    HXAutoLock guard(m_lock);
    config->addCheckHosts(newHosts);
  }
  for (const auto& host : newHosts) knownFound.addHost(host);
  if (!knownFound.empty()) {
    getCurrentDb()->Save(config->domain, knownFound, true);
  } else if (!HXZServer::ScheduleNetworkJob(new RecheckTask(weak_from_this(), config),
                                            kRecheckDelayMs)) {
    ios_log("FAILED: DNS recheck of %s", config->domain.c_str());
  }
}

void HX_ServersList::onTimeRecheckDNS(std::shared_ptr<hx::servers::DiscoveryConfig> config) {
  if (config == nullptr) return;
  const uint64_t current = now();
  const uint64_t t = getCurrentDb()->GetDNSUpdateTime(config->domain);
  if (current >= t && current < t + kDnsPeriod) return;  // fresh meanwhile
  m_discovery.runRequest(config, weak_from_this());
}

void HX_ServersList::onConnectivityCheckDone(uint32_t requestId,
                                             hx::servers::ConnectivityResults results,
                                             HXServerEpSetByTarget /*failed*/) {
  std::shared_ptr<hx::servers::DiscoveryConfig> config = m_discovery.getConfig(requestId);
  const std::shared_ptr<HX_ServersListDB> db = getCurrentDb();
  const bool forced =
      config != nullptr && (config->mode & hx::servers::DiscoveryConfig::eForced) != 0;
  if (!forced) {
    // Hosts that failed are not written: their connect time stays behind the new check time.
    for (const auto& [host, sticky] : results) {
      db->SetPingTime(host.getDomain(), host.getServerId(), host.getHost(), sticky.resolved,
                      host.getPort(), host.getPing(), host.getLastConnectTime());
    }
  }
  if (config != nullptr) db->RemoveOldHosts(config->domain, kHelperAge);
}

void HX_ServersList::onHostConnected(uint32_t /*requestId*/, const HXServerEndpoint& endpoint,
                                     const std::string& resolved) {
  getCurrentDb()->SetPingTime(endpoint.getDomain(), endpoint.getServerId(), endpoint.getHost(),
                              resolved, endpoint.getPort(), endpoint.getPing(),
                              endpoint.getLastConnectTime());
  updated.Emit();
}

void HX_ServersList::SetTransportSessionEp(uint32_t requestId, const HXServerEndpoint& endpoint,
                                           const std::string& resolved) {
  const bool default_name = Names::isDefaultServiceHost(endpoint.getHost(), endpoint.getDomain()) ||
                            Names::isDefaultKRSHost(endpoint.getHost());
  const std::string& host = default_name ? resolved : endpoint.getHost();
  getCurrentDb()->SetLastConnectTime(endpoint.getDomain(), endpoint.getServerId(), host, resolved,
                                     endpoint.getPort(), endpoint.getLastConnectTime());
  HXAutoLock guard(m_lock);
  if (requestId == m_iterator.getRequestId()) m_iterator.setTransportSessionEp(endpoint);
}

bool HX_ServersList::GetHostDescription(HXServerEndpoint& out, const std::string& host,
                                        uint16_t port) {
  return getCurrentDb()->GetHost(out, host, port);
}

bool HX_ServersList::GetHostDescription(HXServerEndpoint& out,
                                        const HX_TransportConnectionParam& connection,
                                        const std::string& resolved) {
  const std::shared_ptr<HX_ServersListDB> db = getCurrentDb();
  const std::string& sid = connection.getSID();
  const std::string& host = connection.getServerAddress();
  const uint16_t port = connection.getServerPort();
  const std::string& domain = connection.getServerDomain();

  HXServerEndpoint row;
  const bool by_host = db->GetHost(row, host, port);
  const bool by_address = !by_host && db->GetHost(row, resolved, port);
  if (!by_host && !by_address) {
    const std::string known = db->getDomainOfServer(sid);
    out.setDomain(known.empty() ? domain : known);
    out.setHost(host);
    out.setPort(port);
    out.setServerId(sid);
    return !known.empty();
  }
  out = row;
  out.setServerId(sid);
  out.setHost(host);
  if (row.getServerId() == sid) return true;

  const bool placeholder = Names::isDefaultServiceServerId(row.getServerId(), row.getDomain()) ||
                           Names::isDefaultKRSServerId(row.getServerId());
  if (!placeholder) {
    ios_log("Server at %s[%s]:%d has changed it's serverId from %s to %s", host.c_str(),
            resolved.c_str(), port, row.getServerId().c_str(), sid.c_str());
    return true;
  }
  if (resolved == host || (by_address && host == Names::getHostFromServerId(row.getServerId()))) {
    const std::string named = Names::getHostFromServerId(sid);
    std::vector<std::string> addresses;
    if (HXZServer::QueryAMulti(named, addresses, nullptr, kDnsQueryLimitMs) &&
        std::find(addresses.begin(), addresses.end(), resolved) != addresses.end()) {
      out.setHost(named);
      return true;
    }
    out.setDomain(domain);
    return false;
  }
  ios_log("Domain %s serverId %s host %s resolved %s, in DB domain %s, serverId %s ",
          domain.c_str(), sid.c_str(), host.c_str(), resolved.c_str(), row.getDomain().c_str(),
          row.getServerId().c_str());
  const std::string suffix = Names::getSuffix(sid);
  if (suffix == Names::getSuffix(row.getServerId()) && suffix != hx::servers::DefaultSuffixVcs) {
    return by_address;
  }
  out.setDomain(domain);
  return false;
}

HXServerEndpoint HX_ServersList::SaveEndpoints(const HX_DomainServersList& list,
                                               const HX_TransportConnectionParam& connection,
                                               const char* domainHint, bool wantEndpoint) {
  HXServerEndpoint result;
  for (const auto& server : list.getServers()) {
    if (server.serverId.empty()) continue;
    const std::string domain =
        HX_DomainServersList::deduceDomain(list.getDomain(), server.serverId, domainHint);
    std::string id = server.serverId;
    if (id.find('#') == std::string::npos) id += hx::servers::DefaultSuffixVcs;
    updateServerEndpointsList(domain, id, server.hosts, connection,
                              wantEndpoint ? &result : nullptr);
  }
  HXAutoLock guard(m_lock);
  m_iterator.resetList();
  return result;
}

bool HX_ServersList::updateServerEndpointsList(const std::string& domain,
                                               const std::string& serverId,
                                               const HXServerEpList& newHosts,
                                               const HX_TransportConnectionParam& connection,
                                               HXServerEndpoint* out) {
  const std::shared_ptr<HX_ServersListDB> db = getCurrentDb();
  HXServerEpList old;
  db->GetHosts(serverId, old);
  HXServerEpSetByTarget save;
  const bool same_server = serverId == connection.getSID();
  const std::string& connected = connection.getServerAddress();
  const uint16_t connected_port = connection.getServerPort();
  bool added = false;

  for (const auto& given : newHosts) {
    HXServerEndpoint host = given;
    host.setServerId(serverId);
    host.setDomain(domain);
    const std::string address = HXZServer::QueryA(host.getHost(), nullptr, kDnsQueryLimitMs);
    const bool resolves = !address.empty() && address != host.getHost();
    if (old.empty()) {
      save.addHost(host);
      added = true;
      continue;
    }
    bool matched = false;
    bool by_address_match = false;
    HXServerEndpoint address_match;
    for (auto it = old.begin(); it != old.end();) {
      const bool candidate = it->getServerId() == serverId && it->getPort() == host.getPort();
      const bool by_name = candidate && it->getHost() == host.getHost();
      const bool by_address = candidate && !by_name && resolves && it->getHost() == address;
      if (!by_name && !by_address) {
        ++it;
        continue;
      }
      if (it->getDomain() != domain) save.addHost(host);
      if (by_name) {
        matched = true;
      } else {
        by_address_match = true;
        address_match = *it;
        if (address == connected && same_server && host.getPort() == connected_port &&
            out != nullptr) {
          *out = host;  // the connection went to the address of a named host of the list
        }
      }
      it = old.erase(it);
    }
    if (by_address_match) {
      const bool uncounted = address_match.getHost() == connected && out == nullptr;
      if (!uncounted) {
        db->SetLastConnectTime(domain, serverId, host.getHost(), address, host.getPort(),
                               address_match.getLastConnectTime());
        matched = true;
      }
    }
    if (!matched) {
      save.addHost(host);
      added = true;
    }
  }
  if (same_server) {
    for (auto it = old.begin(); it != old.end();) {
      if (it->getHost() == connected && it->getPort() == connected_port) {
        HXServerEndpoint kept = *it;
        kept.setDomain(domain);
        save.addHost(kept);
        it = old.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (!old.empty()) {
    hx::servers::EpIteratorConst<HXServerEpList> cursor(old);
    db->RemoveHosts(cursor);
  }
  if (!save.empty()) db->Save(domain, save, false);
  return added;
}

bool HX_ServersList::FindMeetingServer(HXServerEndpoint& out, const HXServerEndpoint& current,
                                       const std::string& domain, const std::string& serverId,
                                       uint32_t timeLimitMs, HX_Conference_Type /*type*/) {
  if (current.getServerId() == serverId) {
    out = current;
    return true;
  }
  const std::shared_ptr<HX_ServersListDB> db = getCurrentDb();
  HXServerEpList hosts;
  db->GetHosts(serverId, hosts);
  m_found.Reset();
  uint32_t round;
  {
    HXAutoLock found(m_foundLock);
    m_foundEndpoint.reset();
    round = ++m_round;
  }
  const size_t started = StartServerChecks(hosts, static_cast<int>(round), this,
                                           &HX_ServersList::onFindServerCheckDone);
  if (started > 0) {
    m_found.Wait(static_cast<int64_t>(timeLimitMs));
    HXAutoLock found(m_foundLock);
    if (m_foundEndpoint != nullptr && m_round.load() == round) {
      out = *m_foundEndpoint;
      return true;
    }
  } else {
    ios_log("No hosts checked for server %s (db host count %u)", serverId.c_str(),
            static_cast<unsigned>(hosts.size()));
  }
  if (const HXServerEndpoint* best = hosts.findBestByCheckRes()) {
    out = *best;
  } else {
    out = HXServerEndpoint(Names::getHostFromServerId(serverId), UINT64_MAX, domain, serverId,
                           HXServerEndpoint::kDefaultPort, hx::servers::MAXTIME);
  }
  return false;
}

void HX_ServersList::onFindServerCheckDone(int round, const char* host, const char* resolved,
                                           unsigned short port, unsigned long long ping,
                                           const char* domain, const char* serverId, bool) {
  const std::string host_text = host == nullptr ? "" : host;
  const std::string resolved_text = resolved == nullptr ? "" : resolved;
  const std::string domain_text = domain == nullptr ? "" : domain;
  const std::string server_text = serverId == nullptr ? "" : serverId;
  getCurrentDb()->SetPingTime(domain_text, server_text, host_text, resolved_text, port, ping,
                              now());
  HXAutoLock found(m_foundLock);
  if (static_cast<uint32_t>(round) != m_round.load() || m_foundEndpoint != nullptr) return;
  // Without an address from the DNS client the checked name is where the media go.
  m_foundEndpoint = std::make_unique<HXServerEndpoint>(
      resolved_text.empty() ? host_text : resolved_text, 0, domain_text, server_text, port, ping);
  m_found.Set();
}

bool HX_ServersList::getServerEpList(const std::string& serverId, HX_TransportEndpointList& out) {
  out.clear();
  HXServerEpList hosts;
  getCurrentDb()->GetHosts(serverId, hosts);
  for (const auto& host : hosts) {
    auto endpoint = std::make_shared<HX_Endpoint>(serverId.c_str(), hx::tcpConnect);
    endpoint->SetHost(host.getHost());
    endpoint->SetPort(host.getPort());
    out.push_back(std::move(endpoint));
  }
  return !out.empty();
}

void HX_ServersList::InvalidateServer(const std::string& serverId) {
  getCurrentDb()->InvalidateServer(serverId);
}

void HX_ServersList::InvalidateHostPort(const std::string& domain, const std::string& host,
                                        uint16_t port) {
  getCurrentDb()->InvalidateHostPort(domain, host, port);
}
