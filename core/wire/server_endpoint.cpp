#include "core/wire/server_endpoint.h"

#include <algorithm>
#include <cstring>

#include "core/wire/name_hash.h"

namespace {

constexpr uint64_t kDaySeconds = 86400;
constexpr uint64_t kRecheckSeconds = 900;
constexpr uint64_t kMaxValidPing = 14999;
constexpr uint64_t kMaxDailyCheckPing = 15000;
constexpr uint64_t kSwitchMarginMs = 30;

uint16_t PortOrDefault(uint16_t port) { return port == 0 ? HXServerEndpoint::kDefaultPort : port; }

// True when `later` lies more than a day after `earlier`; written without a sum that could wrap.
bool MoreThanADayLater(uint64_t later, uint64_t earlier) {
  return later > earlier && later - earlier > kDaySeconds;
}

}  // namespace

HXServerEndpoint::HXServerEndpoint(std::string host, uint64_t time, std::string domain,
                                   std::string serverId, uint16_t port, uint64_t ping,
                                   uint32_t priority, uint32_t weight)
    : HXServerEndpoint(std::move(host), time, time, time, time, ping, std::move(domain),
                       std::move(serverId), port, priority, weight) {}

HXServerEndpoint::HXServerEndpoint(std::string host, uint64_t dnsUpdateTime,
                                   uint64_t serverUpdateTime, uint64_t lastConnectTime,
                                   uint64_t lastCheckTime, uint64_t ping, std::string domain,
                                   std::string serverId, uint16_t port, uint32_t priority,
                                   uint32_t weight)
    : m_dnsUpdateTime(dnsUpdateTime),
      m_domain(std::move(domain)),
      m_lastCheckTime(lastCheckTime),
      m_lastConnectTime(lastConnectTime),
      m_host(std::move(host)),
      m_port(PortOrDefault(port)),
      m_priority(priority),
      m_ping(ping),
      m_serverId(std::move(serverId)),
      m_serverUpdateTime(serverUpdateTime),
      m_weight(weight) {}

bool HXServerEndpoint::hasValidCheckResult() const {
  return m_lastConnectTime != 0 && m_lastConnectTime >= m_lastCheckTime && m_ping >= 1 &&
         m_ping <= kMaxValidPing;
}

uint64_t HXServerEndpoint::getConnectivityCheckTime(uint64_t now) const {
  // A ping of 15000 still earns the daily rhythm, although it is no valid check result.
  const bool answeredToday = m_lastConnectTime >= 1 && m_lastConnectTime <= now &&
                             now - m_lastConnectTime <= kDaySeconds && m_ping >= 1 &&
                             m_ping <= kMaxDailyCheckPing;
  if (answeredToday) return m_lastCheckTime + kDaySeconds;
  // A last check in the future means the clock moved back: check now rather than wait.
  if (m_lastCheckTime > now || now - m_lastCheckTime > kRecheckSeconds) return now;
  return m_lastCheckTime + kRecheckSeconds;
}

bool HXServerEndpoint::connectivityCheckRequired(uint64_t now) const {
  return getConnectivityCheckTime(now) <= now;
}

bool HXServerEndpoint::shouldSwitchFrom(const HXServerEndpoint& other, uint64_t /*now*/) const {
  return hasValidCheckResult() && other.hasValidCheckResult() &&
         m_ping + kSwitchMarginMs <= other.m_ping && 3 * m_ping <= 2 * other.m_ping;
}

std::string HXServerEndpoint::to_string() const {
  return "d=" + m_domain + " sid=" + m_serverId + " h=" + m_host + ":" + std::to_string(m_port) +
         " ping=" + std::to_string(m_ping) + " conn=" + std::to_string(m_lastConnectTime) +
         " chk=" + std::to_string(m_lastCheckTime) + " dns=" + std::to_string(m_dnsUpdateTime);
}

namespace hx::servers {

bool CmpByTarget::operator()(const HXServerEndpoint& a, const HXServerEndpoint& b) const {
  const uint32_t hashA = hx::NameHash(a.getHost().c_str());
  const uint32_t hashB = hx::NameHash(b.getHost().c_str());
  if (hashA != hashB) return hashA < hashB;
  const std::string& hostA = a.getHost();
  const std::string& hostB = b.getHost();
  const size_t common = std::min(hostA.size(), hostB.size());
  const int bytes = common == 0 ? 0 : std::memcmp(hostA.data(), hostB.data(), common);
  if (bytes != 0) return bytes < 0;
  if (hostA.size() != hostB.size()) return hostA.size() < hostB.size();
  return a.getPort() < b.getPort();
}

bool CmpByCheckRes::operator()(const HXServerEndpoint& a, const HXServerEndpoint& b) const {
  if (!a.hasValidCheckResult()) return false;
  if (!b.hasValidCheckResult()) return true;
  if (MoreThanADayLater(a.getLastCheckTime(), b.getLastCheckTime())) return true;
  if (MoreThanADayLater(b.getLastCheckTime(), a.getLastCheckTime())) return false;
  return a.getPing() < b.getPing();
}

}  // namespace hx::servers

bool HXServerEpList::addHost(HXServerEndpoint&& endpoint) {
  push_back(std::move(endpoint));
  return true;
}

bool HXServerEpList::addHost(const HXServerEndpoint& endpoint) {
  push_back(endpoint);
  return true;
}

const HXServerEndpoint* HXServerEpList::findBestByCheckRes() const {
  const HXServerEndpoint* best = nullptr;
  const hx::servers::CmpByCheckRes better;
  for (const HXServerEndpoint& endpoint : *this) {
    if (best == nullptr || better(endpoint, *best)) best = &endpoint;
  }
  return best;
}
