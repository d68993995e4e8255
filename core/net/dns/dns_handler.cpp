// The DNS client's life: construction, stop, binding its sockets and building its server set.

#include "core/net/dns/dns_handler.h"

#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <limits>

#include "core/base/tick_clock.h"
#include "core/net/address/address_family.h"
#include "core/net/address/ip_address.h"
#include "core/net/dns/dns64_helper.h"
#include "core/net/dns/dns_socket.h"
#include "core/net/loop/zserver.h"

namespace {

constexpr uint32_t kPoolQueueLimit = 20;
constexpr uint32_t kPoolThreads = 4;

// One value from the system random device, to seed the shuffling of server lists.
uint32_t RandomSeed() {
  uint32_t seed = 0;
  std::ifstream("/dev/urandom", std::ios::binary).read(reinterpret_cast<char*>(&seed), sizeof seed);
  return seed;
}

}  // namespace

HXDNSHandler::HXDNSHandler() : m_random(RandomSeed()) {
  m_socket4 = HXZServer::implantNative<HXDNSSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  m_socket6 = HXZServer::implantNative<HXDNSSocket>(-1, AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  m_socket4->setOwner(this);
  m_socket6->setOwner(this);
  m_resState.options = HX_RES_RECURSE;
  m_local = HXDNSLocal::create(this, kPoolQueueLimit, kPoolThreads);
}

HXDNSHandler::~HXDNSHandler() { stop(); }

void HXDNSHandler::stop() {
  std::shared_ptr<HXDNSLocal> local;
  {
    HXAutoLock lock(m_lock);
    m_flags.store(kUnavailable4 | kUnavailable6);
    for (HXDNSSocket* socket : {m_socket4, m_socket6}) {
      if (socket == nullptr) continue;
      socket->setOwner(nullptr);
      socket->DeleteLater();
    }
    m_socket4 = nullptr;
    m_socket6 = nullptr;
    local = std::move(m_local);
  }
  // Outside the lock: a report in progress takes it. A lookup blocked in the system resolver
  // keeps the pool alive on its own after this.
  if (local != nullptr) local->stop(true);
  local.reset();
  // Nothing can answer them any more.
  failAllRequests();
}

bool HXDNSHandler::Rebind() {
  HXAutoLock lock(m_lock);
  m_localServers.clear();
  rebindInt();
  return true;
}

bool HXDNSHandler::SetLocalServersList(const ServerList& servers) {
  expireQueries();
  HXAutoLock lock(m_lock);
  m_localServers = servers;
  m_flags.fetch_or(kLocalListGiven);
  setupServersList();
  return true;
}

void HXDNSHandler::rebindInt() {
  uint32_t flags = 0;
  if (m_socket4 == nullptr) flags |= kUnavailable4;
  if (m_socket6 == nullptr) flags |= kUnavailable6;
  m_flags.store(flags);
  m_cache.clear();
  m_resState = hx_res_state();
  m_resState.options = HX_RES_RECURSE;
  if (m_socket4 != nullptr) m_socket4->reBind();
  if (m_socket6 != nullptr) m_socket6->reBind();
}

void HXDNSHandler::socketBound(int family, bool ok) {
  expireQueries();
  HXAutoLock lock(m_lock);
  if (m_socket4 == nullptr && m_socket6 == nullptr) return;  // stopped
  const bool v4 = family == AF_INET;
  m_flags.fetch_or(ok ? (v4 ? kBound4 : kBound6) : (v4 ? kUnavailable4 : kUnavailable6));
  if (ok) m_rebindDelayMs = 0;
  const uint32_t unavailable = kUnavailable4 | kUnavailable6;
  if ((m_flags.load() & unavailable) == unavailable) {
    scheduleRebindRetry();
    return;
  }
  setupServersList();
}

void HXDNSHandler::socketFailed() {
  HXAutoLock lock(m_lock);
  rebindKeepingServers();
}

void HXDNSHandler::rebindKeepingServers() {
  // The sockets are made anew; the local servers stay, and the set is rebuilt from them once
  // both sockets have reported.
  const bool listGiven = (m_flags.load() & kLocalListGiven) != 0;
  rebindInt();
  if (listGiven) m_flags.fetch_or(kLocalListGiven);
}

void HXDNSHandler::scheduleRebindRetry() {
  // Binding a wildcard address fails only when the system is short of something (descriptors,
  // memory, addresses): trying again at once would only spin.
  m_rebindDelayMs =
      m_rebindDelayMs == 0 ? kRebindFirstDelayMs : std::min(m_rebindDelayMs * 2, kRebindMaxDelayMs);
  if (HXDNSSocket* socket = timerSocket()) socket->startTimer(kRebindTimer, m_rebindDelayMs);
}

void HXDNSHandler::onSocketTimer(unsigned id) {
  if (id == kDeadlineTimer) {
    {
      HXAutoLock lock(m_lock);
      m_timerArmed = false;
    }
    expireQueries();
    HXAutoLock lock(m_lock);
    armNextDeadline();
    return;
  }
  if (id == kRebindTimer) {
    HXAutoLock lock(m_lock);
    const uint32_t unavailable = kUnavailable4 | kUnavailable6;
    if (m_socket4 != nullptr && m_socket6 != nullptr &&
        (m_flags.load() & unavailable) == unavailable) {
      rebindKeepingServers();
    }
  }
}

void HXDNSHandler::setupServersList() {
  const uint32_t flags = m_flags.load();
  if ((flags & kLocalListGiven) == 0 || (flags & (kBound4 | kUnavailable4)) == 0 ||
      (flags & (kBound6 | kUnavailable6)) == 0) {
    return;
  }
  // Unique entries in (address text, port) order; a local server equal to a built-in one stays
  // a normal server.
  std::map<std::pair<std::string, uint16_t>, bool> entries;  // -> built-in fallback
  for (const auto& server : m_localServers) entries.emplace(server, false);
  for (const auto& server : hx::dns::FallbackNameServers()) entries.emplace(server, true);

  for (const auto& [id, test] : m_dns64Tests) m_requests.erase(id);
  m_servers.clear();
  m_sendQueue.clear();
  m_queries.clear();
  m_idIndex.clear();
  m_cache.clear();
  m_dns64Servers.clear();

  const bool usable4 = m_socket4 != nullptr && (flags & kBound4) != 0;
  const bool usable6 = m_socket6 != nullptr && (flags & kBound6) != 0;
  for (const auto& [entry, fallback] : entries) {
    NameServer server;
    server.id = ++m_sequence;
    server.address = entry.first;
    HXIpAddress address;
    if (!address.set(entry.first.c_str())) continue;
    server.sockAddr.set(ip::Proto::udp, address, entry.second);
    if (fallback) server.setKvoDns();
    const uint8_t family = address.family();
    if ((family == ip::Family::v4 && usable4) || (family == ip::Family::v6 && usable6)) {
      m_servers.emplace(server.id, std::move(server));
    }
  }
  dns64RunTest();
  resendPendingRequests();
}

void HXDNSHandler::resendPendingRequests() {
  for (const auto& [id, request] : m_requests) {
    if (request->type == kRequestDns64Test) continue;
    const std::vector<uint32_t> servers = prepareLocalServersList();
    const bool address = request->type == kRequestAddress;
    request->firstSequence = getNextSequence(servers.size() * (address ? 2 : 1));
    const uint32_t last = address ? queueAddressQueries(*request, servers, request->firstSequence)
                                  : queueSrvQueries(*request, servers, request->firstSequence);
    if (last != 0) m_sequence = last;
  }
}

std::vector<uint32_t> HXDNSHandler::prepareLocalServersList() {
  std::vector<uint32_t> ids;
  if (!m_dns64Servers.empty()) {
    ids = m_dns64Servers;
  } else {
    const bool fallback = m_kvoDns.load();
    for (const auto& [id, server] : m_servers) {
      if (fallback || !server.isKvoDns()) ids.push_back(id);
    }
  }
  if (ids.size() >= 2) std::shuffle(ids.begin(), ids.end(), m_random);
  return ids;
}

uint32_t HXDNSHandler::getNextSequence(size_t count) const {
  // Numbers of one request never wrap past the top, so its queries stay in one run.
  if (count >= std::numeric_limits<uint32_t>::max() ||
      m_sequence > std::numeric_limits<uint32_t>::max() - count) {
    return 1;
  }
  return m_sequence + 1;
}

uint32_t HXDNSHandler::getClReqUuid() {
  uint32_t id;
  do {
    id = m_requestIds.fetch_add(1) + 1;
  } while (id == 0);
  return id;
}

HXDNSSocket* HXDNSHandler::socketOfFamily(uint8_t family) const {
  if (family == ip::Family::v4) return m_socket4;
  if (family == ip::Family::v6) return m_socket6;
  return nullptr;
}

HXDNSSocket* HXDNSHandler::timerSocket() const {
  return m_socket4 != nullptr ? m_socket4 : m_socket6;
}

int64_t HXDNSHandler::now() { return hx::GetTickCount(); }
