// The DNS client's lookups: answers from the cache and for numeric names, new requests and their
// queries, and sending the queries.

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "core/net/address/address_family.h"
#include "core/net/address/ip_address.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/dns/dns_records.h"
#include "core/net/dns/dns_socket.h"
#include "core/net/dns/puny_codec.h"

namespace {

constexpr int kHeaderSize = 12;
constexpr uint8_t kRecursionDesired = 0x01;
constexpr uint8_t kCheckingDisabled = 0x10;

}  // namespace

std::string HXDNSHandler::QueryA(const std::string& name, HXDnsCallbackBase* callback,
                                 uint32_t timeLimitMs) {
  expireQueries();
  HXAutoLock lock(m_lock);
  m_cache.expireARecList(now());
  const std::string ascii = HXPunyCodec::Encode(name);
  std::string address = m_cache.getARec(ascii);
  if (address.empty() && getARecNumeric(ascii)) address = m_cache.getARec(ascii);
  if (address.empty()) queryACommon(name, ascii, callback, timeLimitMs, false);
  return address;
}

bool HXDNSHandler::QueryAMulti(const std::string& name, HXDnsCallbackBase* callback,
                               std::vector<std::string>& list, uint32_t timeLimitMs) {
  expireQueries();
  HXAutoLock lock(m_lock);
  m_cache.expireARecList(now());
  const std::string ascii = HXPunyCodec::Encode(name);
  if (m_cache.getARecAll(ascii, list)) return true;
  if (getARecNumeric(ascii) && m_cache.getARecAll(ascii, list)) return true;
  queryACommon(name, ascii, callback, timeLimitMs, true);
  return false;
}

bool HXDNSHandler::QuerySRV(const std::string& service, const std::string& domain,
                            HXDnsCallbackBase* callback, uint32_t timeLimitMs) {
  expireQueries();
  HXAutoLock lock(m_lock);
  auto request = std::make_shared<ClientRequest>();
  request->type = kRequestSrv;
  request->name = service;
  const std::string ascii = HXPunyCodec::Encode(service);
  if (ascii != service) request->asciiName = ascii;
  request->domain = domain;
  request->callback = callback;
  request->id = getClReqUuid();
  request->deadline = now() + timeLimitMs;
  uint32_t last = 0;
  if (!request->queryName().empty()) {
    const std::vector<uint32_t> servers = prepareLocalServersList();
    request->firstSequence = getNextSequence(servers.size());
    last = queueSrvQueries(*request, servers, request->firstSequence);
  }
  // Without queries it waits for the next rebuild of the server set, or its deadline.
  if (last != 0) m_sequence = last;
  enterRequest(request);
  return true;
}

HXDNSHandler::RequestPtr HXDNSHandler::queryACommon(const std::string& name,
                                                    const std::string& asciiName,
                                                    HXDnsCallbackBase* callback,
                                                    uint32_t timeLimitMs, bool listForm) {
  auto request = std::make_shared<ClientRequest>();
  request->type = kRequestAddress;
  request->name = name;
  if (asciiName != name) request->asciiName = asciiName;
  request->callback = callback;
  request->listForm = listForm;
  request->id = getClReqUuid();
  const int64_t start = now();
  request->deadline = start + timeLimitMs;
  uint32_t last = 0;
  // An empty name is nothing to look up: the request fails at once.
  if (!request->queryName().empty()) {
    const std::vector<uint32_t> servers = prepareLocalServersList();
    request->firstSequence = getNextSequence(servers.size() * 2);
    last = queueAddressQueries(*request, servers, request->firstSequence);
    if (last != 0) m_sequence = last;
    request->systemLookupPending =
        m_local != nullptr && m_local->queryA(request->id, request->queryName().c_str());
  }
  if (last == 0 && !request->systemLookupPending) request->deadline = start;
  enterRequest(request);
  return request;
}

uint32_t HXDNSHandler::queueAddressQueries(ClientRequest& request,
                                           const std::vector<uint32_t>& servers,
                                           uint32_t sequence) {
  uint32_t last = 0;
  for (uint32_t id : servers) {
    const NameServer& server = m_servers.at(id);
    for (uint16_t type : {hx::dns::kTypeA, hx::dns::kTypeAAAA}) {
      if (InsertQueryHelperA(sequence, request, type, server)) last = sequence++;
    }
  }
  return last;
}

uint32_t HXDNSHandler::queueSrvQueries(ClientRequest& request, const std::vector<uint32_t>& servers,
                                       uint32_t sequence) {
  uint32_t last = 0;
  for (uint32_t id : servers) {
    if (InsertQueryHelperSRV(sequence, request, m_servers.at(id))) last = sequence++;
  }
  return last;
}

bool HXDNSHandler::InsertQueryHelperA(uint32_t sequence, ClientRequest& request, uint16_t type,
                                      const NameServer& server) {
  uint8_t message[kMessageSize];
  const int length =
      hx_dns_res_nmkquery(&m_resState, 0, request.queryName().c_str(), hx::dns::kClassIN, type,
                          nullptr, 0, nullptr, message, sizeof message);
  if (length <= kHeaderSize) return false;
  message[2] |= kRecursionDesired;
  message[3] &= static_cast<uint8_t>(~kCheckingDisabled);
  NsQuery query;
  query.request = &request;
  query.message.assign(message, message + length);
  std::memcpy(&query.messageId, message, sizeof query.messageId);
  query.serverId = server.id;
  return insertQueryCommon(sequence, std::move(query), server);
}

bool HXDNSHandler::InsertQueryHelperSRV(uint32_t sequence, ClientRequest& request,
                                        const NameServer& server) {
  uint8_t message[kMessageSize];
  int length = hx_dns_res_nmkquery(&m_resState, 0, request.queryName().c_str(), hx::dns::kClassIN,
                                   hx::dns::kTypeSRV, nullptr, 0, nullptr, message, sizeof message);
  if (length > 0) {
    length =
        hx_res_nopt(&m_resState, length, message, sizeof message, static_cast<int>(kMessageSize));
  }
  if (length <= kHeaderSize) return false;
  NsQuery query;
  query.request = &request;
  query.message.assign(message, message + length);
  std::memcpy(&query.messageId, message, sizeof query.messageId);
  query.serverId = server.id;
  return insertQueryCommon(sequence, std::move(query), server);
}

bool HXDNSHandler::insertQueryCommon(uint32_t sequence, NsQuery&& query, const NameServer& server) {
  HXDNSSocket* socket = socketOfFamily(server.sockAddr.family());
  if (socket == nullptr || m_queries.count(sequence) != 0) return false;
  const uint16_t messageId = query.messageId;
  const auto entry = m_queries.emplace(sequence, std::move(query)).first;
  const auto index = m_idIndex.emplace(messageId, sequence);
  m_sendQueue.push_back(sequence);
  if (!socket->SendAsync(true)) {
    m_sendQueue.pop_back();
    m_idIndex.erase(index);
    m_queries.erase(entry);
    return false;
  }
  return true;
}

void HXDNSHandler::enterRequest(const RequestPtr& request) {
  m_requests[request->id] = request;
  armDeadlineTimer(request->deadline);
}

bool HXDNSHandler::getARecNumeric(const std::string& name) {
  if (name.empty()) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* results = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0) return false;
  const int64_t expiry = now() + hx::dns::kMaxCacheLifetimeMs;
  HXIpAddress previous;
  for (const addrinfo* it = results; it != nullptr; it = it->ai_next) {
    HXIpAddress address;
    if (it->ai_addr == nullptr || !address.set(it->ai_addr, it->ai_addrlen)) continue;
    if (address.cmp(previous) == 0) continue;  // the same address for another socket type
    previous = address;
    if (m_dns64Servers.empty() || address.family() != ip::Family::v4 || isNSAddr(address)) {
      m_cache.putARec(name, name, expiry);
      continue;
    }
    for (uint32_t id : m_dns64Servers) {
      const auto server = m_servers.find(id);
      if (server == m_servers.end()) continue;
      for (const hx::dns::Pref64& prefix : server->second.pref64) {
        HXIpAddress synthesised;
        if (prefix.synthesis(address, synthesised))
          m_cache.putARec(name, synthesised.str(), expiry);
      }
    }
  }
  freeaddrinfo(results);
  return true;
}

bool HXDNSHandler::isNSAddr(const HXIpAddress& address) const {
  for (const auto& [id, server] : m_servers) {
    if (server.sockAddr.HXAIpAddressBase::cmp(address) == 0) return true;
  }
  return false;
}

void HXDNSHandler::sendNext(HXDNSSocket* socket) {
  uint32_t failed = 0;
  {
    HXAutoLock lock(m_lock);
    const uint8_t family = ip::Family::fromSysFamily(socket->family());
    bool acted = false;
    for (auto entry = m_sendQueue.begin(); entry != m_sendQueue.end();) {
      const auto found = m_queries.find(*entry);
      if (found == m_queries.end()) {
        entry = m_sendQueue.erase(entry);
        continue;
      }
      const auto server = m_servers.find(found->second.serverId);
      if (server == m_servers.end() || server->second.sockAddr.family() != family) {
        ++entry;  // left for the other socket
        continue;
      }
      NsQuery& query = found->second;
      const size_t sent =
          socket->SendTo(query.message.data() + query.sent, query.message.size() - query.sent,
                         server->second.sockAddr, 0);
      if (sent == 0) {
        failed = found->first;
        m_sendQueue.erase(entry);
      } else {
        query.sent += sent;
        if (query.sent >= query.message.size()) m_sendQueue.erase(entry);
      }
      acted = true;
      break;
    }
    // Withdrawn under the lock, so that a query queued meanwhile cannot lose its request.
    if (!acted) socket->SendAsync(false);
  }
  if (failed != 0) removeNsQueryLock(failed);
}
