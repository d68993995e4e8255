#include "core/transport/servers_list_iterator.h"

#include <ctime>
#include <map>
#include <vector>

#include "core/base/text_compare.h"
#include "core/base/utf8_case.h"
#include "core/storage/server_list_db.h"
#include "core/transport/transport_target.h"
#include "core/wire/server_names.h"

namespace {

constexpr uint64_t kDay = 86400;

// Host equality: case-insensitive UTF-8, two empty texts equal.
bool sameHost(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a.empty() || b.empty()) return false;
  return utf8strncasecmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

// A ping that counts for ordering: 1 to 15000 ms, except 14999.
bool usablePing(uint64_t ping) { return ping >= 1 && ping <= 15000 && ping != 14999; }

}  // namespace

std::string HXLowerUTF8(const std::string& text) {
  if (text.empty()) return text;
  size_t capacity = 3 * text.size();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<char> buffer(capacity + 1);
    size_t size = capacity;
    const int32_t result = utf8lcstr(text.data(), text.size(), buffer.data(), &size);
    if (result == 0) return std::string(buffer.data(), size);
    if (result != -3) break;
    capacity = 2 * capacity + 7;  // the library keeps 6 bytes spare
  }
  return text;
}

namespace hx::servers {

bool SlIterator::CmpNoCaseUTF8::operator()(const std::string& a, const std::string& b) const {
  if (a.empty() || b.empty()) return a.empty() && !b.empty();
  return utf8strncasecmp(a.data(), a.size(), b.data(), b.size()) < 0;
}

bool SlIterator::addDomain(const std::string& domain) {
  if (domain.empty()) return false;
  for (const auto& present : m_domains) {
    if (sameHost(present, domain)) return false;
  }
  m_domains.push_back(HXLowerUTF8(domain));
  return true;
}

bool SlIterator::getDomains(std::list<std::string>& out) const {
  out.insert(out.end(), m_domains.begin(), m_domains.end());
  return !m_domains.empty();
}

void SlIterator::addRedirect(const std::string& host, uint16_t port) {
  if (!m_candidates.empty() && sameHost(m_candidates.front().host, host) &&
      m_candidates.front().port == port) {
    return;
  }
  m_candidates.push_front(HostRec{host, port});
}

bool SlIterator::init(const HX_TransportTarget& target, uint32_t requestId, HX_ServersListDB& db) {
  m_scope = target.getScope();
  m_domains.clear();
  m_candidates.clear();
  m_requestId = requestId;
  switch (m_scope) {
    case HX_TransportTarget::eScopeCloud:
      addDomain(target.getConnectionParam().getServerDomain());
      return !m_domains.empty();
    case HX_TransportTarget::eScopeServer:
      return initServer(target, db);
    case HX_TransportTarget::eScopeServersList:
      return initServersList(target, db);
    default:
      return false;
  }
}

bool SlIterator::initServer(const HX_TransportTarget& target, HX_ServersListDB& db) {
  const HX_TransportConnectionParam& params = target.getConnectionParam();
  const std::string& host = params.getServerAddress();
  const uint16_t port = params.getServerPort();
  if (!addDomain(params.getServerDomain())) addDomain(host);
  HXServerEndpoint stored;
  if (db.GetHost(stored, host, port)) addDomain(stored.getDomain());
  if (m_domains.empty()) return false;

  checkHostList(db, true);
  for (auto it = m_candidates.begin(); it != m_candidates.end(); ++it) {
    if (sameHost(it->host, host) && it->port == port) {
      m_candidates.splice(m_candidates.begin(), m_candidates, it);
      return true;
    }
  }
  m_candidates.push_front(HostRec{host, port});
  const std::string domain = params.getServerDomain().empty() ? host : params.getServerDomain();
  HXServerEpList learned;
  learned.addHost(HXServerEndpoint(host, 0, domain, host + DefaultSuffixVcs, port, MAXTIME));
  db.Save(domain, learned, false);
  return true;
}

bool SlIterator::initServersList(const HX_TransportTarget& target, HX_ServersListDB& db) {
  const auto source = target.getServersList();
  HXServerEpList list;
  if (source != nullptr) list = *source;
  std::string server_id;
  std::string domain = target.getConnectionParam().getServerDomain();
  for (auto& entry : list) {
    HXServerEndpoint stored;
    if (entry.getServerId().empty() || entry.getDomain().empty()) {
      db.GetHost(stored, entry.getHost(), entry.getPort());
    }
    if (!entry.getServerId().empty()) {
      server_id = entry.getServerId();
    } else if (!stored.getServerId().empty()) {
      server_id = stored.getServerId();
    } else if (server_id.empty()) {
      server_id = entry.getHost() + DefaultSuffixVcs;
    }
    entry.setServerId(server_id);

    if (!entry.getDomain().empty()) {
      if (domain.empty()) domain = entry.getDomain();
    } else if (!stored.getDomain().empty()) {
      entry.setDomain(stored.getDomain());
    } else {
      if (domain.empty()) domain = Names::getDomainFromServerId(server_id);
      entry.setDomain(domain);
    }
    addDomain(entry.getDomain());
  }
  if (!list.empty()) db.Save(target.getConnectionParam().getServerDomain(), list, false);
  return !m_domains.empty();
}

void SlIterator::checkHostList(HX_ServersListDB& db, bool reset) {
  if (reset) {
    m_candidates.clear();
  } else if (!m_candidates.empty()) {
    return;
  }
  HXServerEpList working;
  for (const auto& domain : m_domains) {
    HXServerEpList hosts;
    db.GetHostsByDomain(domain, hosts);
    hosts.sort(CmpByCheckRes());  // std::list::sort is stable
    working.splice(working.begin(), hosts);
  }

  enum { kGroupA, kGroupC, kGroupX, kGroups };
  std::vector<std::vector<std::list<HostRec>>> rounds(kGroups);
  std::vector<std::map<std::string, size_t>> seen(kGroups);
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  for (const auto& host : working) {
    int group;
    const bool usable = usablePing(host.getPing());
    if (usable && host.getLastConnectTime() + kDay > now) {
      group = kGroupA;
    } else if (!usable || host.getLastCheckTime() + kDay > now) {
      group = kGroupX;
    } else {
      group = kGroupC;
    }
    const size_t round = seen[group][host.getHost()]++;
    if (rounds[group].size() <= round) rounds[group].resize(round + 1);
    rounds[group][round].push_back(HostRec{host.getHost(), host.getPort()});
  }
  for (auto& group : rounds) {
    for (auto& round : group) m_candidates.splice(m_candidates.end(), round);
  }
}

std::string SlIterator::getNextServer(HX_ServersListDB& db, const std::string& /*domain*/,
                                      const std::string& lastHost, uint16_t& port, bool reset) {
  const uint16_t last_port = port;
  checkHostList(db, reset && m_scope == 0);
  if (m_candidates.empty()) return lastHost;
  HostRec next = m_candidates.front();
  m_candidates.pop_front();
  if (next.port == last_port && !reset && sameHost(next.host, lastHost)) {
    // The same target again: try another one when there is any.
    if (m_candidates.empty()) checkHostList(db, true);
    if (!m_candidates.empty()) {
      next = m_candidates.front();
      m_candidates.pop_front();
    }
  }
  port = next.port;
  return next.host;
}

std::string SlIterator::getNextDefaultServer(const std::string& domain, const std::string& lastHost,
                                             uint16_t& port) {
  if (domain.empty()) return std::string();
  const std::string host = ServerDefaultSrv + domain;
  if (host != lastHost) {
    port = 4307;
  } else if (port == 4307) {
    port = 80;
  } else if (port == 80) {
    port = 443;
  } else {
    port = 4307;
  }
  return host;
}

}  // namespace hx::servers
