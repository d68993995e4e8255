// The DNS client's answers: datagrams of the name servers and reports of the system resolver.

#include <ctime>

#include "core/base/text_compare.h"
#include "core/net/address/address_family.h"
#include "core/net/address/ip_address.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/dns/puny_codec.h"

void HXDNSHandler::ParseQueryHelper(const uint8_t* data, size_t length, const HXSockAddr& from) {
  hx::dns::DnsAnswer answer;
  // Servers found through SRV records carry wall-clock times.
  if (!hx::dns::DecodeAnswer(data, length, static_cast<uint64_t>(time(nullptr)), answer)) return;
  uint32_t serverId;
  {
    HXAutoLock lock(m_lock);
    const NameServer* server = serverOfSender(from);
    if (server == nullptr) return;  // not from a server we ask: forged or stray
    serverId = server->id;
  }
  if (answer.rcode != 0) {
    finishFailedQuery(answer.id, serverId);
    return;
  }
  if (!answer.servers.empty()) SetupQueryHelperSRV(answer, serverId);
  if (!answer.addresses.empty()) SetupQueryHelperA(answer, serverId);
}

const HXDNSHandler::NameServer* HXDNSHandler::serverOfSender(const HXSockAddr& from) const {
  for (const auto& [id, server] : m_servers) {
    // The address with its scope, and the port; the protocol plays no part.
    if (server.sockAddr.HXAIpAddressBase::cmp(from) == 0 && server.sockAddr.port() == from.port()) {
      return &server;
    }
  }
  return nullptr;
}

void HXDNSHandler::finishFailedQuery(uint16_t messageId, uint32_t serverId) {
  uint32_t sequence = 0;
  {
    HXAutoLock lock(m_lock);
    int matches = 0;
    const auto range = m_idIndex.equal_range(messageId);
    for (auto it = range.first; it != range.second; ++it) {
      const auto query = m_queries.find(it->second);
      if (query == m_queries.end() || query->second.serverId != serverId) continue;
      ++matches;
      sequence = it->second;
    }
    // An error that could belong to several queries finishes none of them.
    if (matches != 1) return;
  }
  removeNsQueryLock(sequence);
}

uint32_t HXDNSHandler::lookupNsQueryByNsReqId(uint16_t messageId, uint32_t serverId, bool srv,
                                              const std::string* name) const {
  const auto range = m_idIndex.equal_range(messageId);
  for (auto it = range.first; it != range.second; ++it) {
    const auto query = m_queries.find(it->second);
    if (query == m_queries.end() || query->second.serverId != serverId) continue;
    const ClientRequest& request = *query->second.request;
    const bool typeFits =
        srv ? request.type == kRequestSrv
            : request.type == kRequestAddress || request.type == kRequestDns64Test;
    if (!typeFits) continue;
    if (name != nullptr && hxicomparestr(request.queryName().c_str(), name->c_str()) != 0) continue;
    return it->second;
  }
  return 0;
}

void HXDNSHandler::SetupQueryHelperA(const hx::dns::DnsAnswer& answer, uint32_t serverId) {
  Notices notices;
  uint32_t sequence;
  {
    HXAutoLock lock(m_lock);
    sequence = lookupNsQueryByNsReqId(answer.id, serverId, false, &answer.questionName);
    if (sequence == 0) {
      // Not asked (any more): nothing is cached.
    } else {
      const RequestPtr request = m_requests.at(m_queries.at(sequence).request->id);
      const auto server = m_servers.find(serverId);
      std::vector<std::string> list;
      for (const hx::dns::AddressAnswer& address : answer.addresses) {
        cacheAnswerAddress(*request, server != m_servers.end() ? &server->second : nullptr, address,
                           list);
      }
      if (request->callback != nullptr && !list.empty()) {
        takeNotice(request, notices, std::move(list), {});
      }
    }
  }
  if (!notices.empty()) {
    deliver(notices);
    const ClientRequest& request = *notices.front().request;
    HXAutoLock lock(m_lock);
    if (request.listForm && dns64TestsInProgress()) dns64CheckAnswer(request, serverId);
  }
  if (sequence != 0) removeNsQueryLock(sequence);
  expireQueries();
}

void HXDNSHandler::cacheAnswerAddress(const ClientRequest& request, const NameServer* server,
                                      const hx::dns::AddressAnswer& address,
                                      std::vector<std::string>& list) {
  const int64_t expiry = now() + hx::dns::CacheLifetimeMs(address.ttl);
  HXIpAddress ip;
  if (server != nullptr && server->isDns64() && ip.set(address.address.c_str()) &&
      ip.family() == ip::Family::v4) {
    // Behind NAT64 an IPv4 address is reachable only through its synthesised IPv6 forms.
    for (const hx::dns::Pref64& prefix : server->pref64) {
      HXIpAddress synthesised;
      if (!prefix.synthesis(ip, synthesised)) continue;
      m_cache.putARec(request.queryName(), synthesised.str(), expiry);
      list.push_back(synthesised.str());
    }
    return;
  }
  m_cache.putARec(request.queryName(), address.address, expiry);
  list.push_back(address.address);
}

void HXDNSHandler::SetupQueryHelperSRV(const hx::dns::DnsAnswer& answer, uint32_t serverId) {
  HXServerEpSetByTarget servers;
  for (HXServerEndpoint server : answer.servers) {
    server.setHost(HXPunyCodec::Decode(server.getHost()));
    servers.addHost(std::move(server));
  }
  Notices notices;
  uint32_t sequence;
  {
    HXAutoLock lock(m_lock);
    sequence = lookupNsQueryByNsReqId(answer.id, serverId, true, nullptr);
    if (sequence != 0) {
      const RequestPtr request = m_requests.at(m_queries.at(sequence).request->id);
      if (request->callback != nullptr) takeNotice(request, notices, {}, std::move(servers));
    }
  }
  deliver(notices);
  if (sequence != 0) removeNsQueryLock(sequence);
  expireQueries();
}

void HXDNSHandler::onQueryAResolvedLocal(uint32_t requestId, const std::string& name,
                                         const std::vector<std::string>& addresses) {
  Notices notices;
  {
    HXAutoLock lock(m_lock);
    const int64_t expiry = now() + hx::dns::kMaxCacheLifetimeMs;
    for (const std::string& address : addresses) m_cache.putARec(name, address, expiry);
    const auto found = m_requests.find(requestId);
    if (found != m_requests.end()) {
      const RequestPtr request = found->second;
      request->systemLookupPending = false;
      const bool queriesLeft = hasNsQueries(*request);
      if (!queriesLeft) m_requests.erase(found);
      // With queries left an empty list would be no answer; without, it is the failure.
      if (request->callback != nullptr && (!addresses.empty() || !queriesLeft)) {
        takeNotice(request, notices, addresses, {});
      }
    }
  }
  deliver(notices);
  expireQueries();
}
