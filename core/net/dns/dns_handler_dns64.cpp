// The DNS client's NAT64 detection: a DNS64 test of every server at each rebuild of the server
// set, and the servers that synthesise addresses afterwards.

#include "core/net/dns/dns64_helper.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/dns/dns_records.h"

namespace {

// The name whose AAAA records show a DNS64 server's prefixes (RFC 7050).
constexpr const char* kIpv4OnlyArpa = "ipv4only.arpa";

}  // namespace

void HXDNSHandler::dns64RunTest() {
  const int64_t deadline = now() + kDns64TestTimeMs;
  m_dns64Tests.clear();
  const bool fallback = m_kvoDns.load();
  for (const auto& [id, server] : m_servers) {
    if (server.isKvoDns() && !fallback) continue;
    auto request = std::make_shared<ClientRequest>();
    request->id = getClReqUuid();
    request->type = kRequestDns64Test;
    request->name = kIpv4OnlyArpa;
    request->listForm = true;
    request->deadline = deadline;
    request->dns64Test = std::make_shared<Dns64Helper>();
    request->callback = request->dns64Test.get();
    request->firstSequence = getNextSequence(1);
    if (!InsertQueryHelperA(request->firstSequence, *request, hx::dns::kTypeAAAA, server)) continue;
    m_sequence = request->firstSequence;
    m_dns64Tests.emplace(request->id, request->dns64Test);
    enterRequest(request);
  }
}

void HXDNSHandler::dns64CheckAnswer(const ClientRequest& request, uint32_t serverId) {
  const auto test = m_dns64Tests.find(request.id);
  if (test != m_dns64Tests.end() && test->second->found()) {
    const auto server = m_servers.find(serverId);
    if (server != m_servers.end()) {
      server->second.setDns64();
      server->second.pref64 = test->second->prefixes();
    }
  }
  dns64CheckTestEnd();
}

void HXDNSHandler::dns64CheckTestEnd() {
  bool found = false;
  for (const auto& [id, test] : m_dns64Tests) {
    if (!test->isTestDone()) return;
    found = found || test->found();
  }
  m_dns64Tests.clear();
  m_dns64Servers.clear();
  if (!found) return;
  for (const auto& [id, server] : m_servers) {
    if (server.isDns64()) m_dns64Servers.push_back(id);
  }
  // Addresses cached so far were not synthesised.
  m_cache.clear();
}
