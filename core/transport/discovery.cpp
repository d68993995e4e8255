#include "core/transport/discovery.h"

#include <ctime>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/transport/check_srv_handshake.h"
#include "core/wire/server_names.h"
#include "core/wire/uri_host.h"

namespace hx::servers {

namespace {

// A step of one request, run on the worker pool; it does nothing once the engine has gone.
template <typename Life>
class StepTask : public HXStoredTask {
 public:
  StepTask(std::shared_ptr<Life> life, DiscoveryImpl* engine, uint32_t id,
           void (DiscoveryImpl::*step)(uint32_t))
      : m_life(std::move(life)), m_engine(engine), m_id(id), m_step(step) {}

  void Execute() override {
    std::lock_guard<std::recursive_mutex> alive(m_life->mutex);
    if (m_life->alive) (m_engine->*m_step)(m_id);
  }

 private:
  std::shared_ptr<Life> m_life;
  DiscoveryImpl* m_engine;
  uint32_t m_id;
  void (DiscoveryImpl::*m_step)(uint32_t);
};

uint64_t wallSeconds() { return static_cast<uint64_t>(std::time(nullptr)); }

}  // namespace

bool DiscoveryConfig::discovery(const std::string& newDomain, const std::string& suffix,
                                uint32_t newMode) {
  domain = newDomain;
  serverSuffix = suffix;
  checkSet.clear();
  mode = newMode | eDns;
  return true;
}

bool DiscoveryConfig::checkHosts(const std::string& newDomain, const HXServerEpSetByTarget& hosts,
                                 uint32_t newMode) {
  domain = newDomain;
  checkSet = hosts;
  mode = newMode;
  return true;
}

void DiscoveryConfig::addCheckHosts(const HXServerEpSetByTarget& hosts) {
  if (hosts.empty()) return;
  for (const auto& host : hosts) checkSet.addHost(host);
  mode |= eCheck;
}

std::shared_ptr<DiscoveryImpl::Request> DiscoveryImpl::ObserversHolder::createCallbackData(
    std::weak_ptr<DiscoveryCallback> callback, const RequestConfig& param) {
  return std::make_shared<Request>(std::move(callback), param.config);
}

bool DiscoveryImpl::ObserversHolder::beforeErase(uint32_t id, Request& request) {
  if ((request.config->mode & DiscoveryConfig::eDns) != 0) {
    m_owner.removePendingNL(id, request.config->domain);
  }
  return true;
}

DiscoveryImpl::DiscoveryImpl(HXLock& lock) : m_lock(lock) {}

DiscoveryImpl::~DiscoveryImpl() {
  // Withdrawn here, not only by the base: an answer must not reach the members being destroyed.
  HXZServer::revokeDNSCallback(this);
  // Steps already scheduled find the engine gone; one running now is waited for.
  std::lock_guard<std::recursive_mutex> alive(m_life->mutex);
  m_life->alive = false;
}

void DiscoveryImpl::schedule(uint32_t id, uint64_t delayMs, const char* name,
                             void (DiscoveryImpl::*step)(uint32_t)) {
  auto* task = new StepTask<Life>(m_life, this, id, step);
  if (HXZServer::ScheduleJob(task, static_cast<uint32_t>(delayMs), name) == 0) {
    ios_log("FAILED: %s for discovery request %u", name, id);
  }
}

void DiscoveryImpl::removePendingNL(uint32_t id, const std::string& domain) {
  auto range = m_pendingSrv.equal_range(domain);
  for (auto it = range.first; it != range.second;) {
    it = it->second == id ? m_pendingSrv.erase(it) : std::next(it);
  }
}

void DiscoveryImpl::processNL(uint32_t id) {
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request == nullptr) return;
  if (request->callbackExpired()) {
    m_requests.removeListenerNL(id);
    return;
  }
  switch (request->state) {
    case eCreated:
      if ((request->config->mode & DiscoveryConfig::eDns) != 0) {
        resolvSRVNL(id, *request);
        return;
      }
      request->state = eDnsReported;
      processNL(id);
      return;
    case eDnsDone:
      schedule(id, 0, "notifyDnsDiscovery", &DiscoveryImpl::notifyDiscoveryRes);
      return;
    case eDnsReported:
      if ((request->config->mode & DiscoveryConfig::eCheck) != 0) {
        checkHostsNL(id, *request);
        if (request->state == eChecksDone) processNL(id);
      } else {
        request->state = eFinished;
        m_requests.removeListenerNL(id);
      }
      return;
    case eChecksDone:
      schedule(id, 0, "Connectivity empty res", &DiscoveryImpl::notifyConnectivityRes);
      return;
    case eFinished:
      m_requests.removeListenerNL(id);
      return;
    default:
      return;
  }
}

void DiscoveryImpl::resolvSRVNL(uint32_t id, Request& request) {
  const std::string& domain = request.config->domain;
  if (domain.empty()) {
    request.state = eDnsDone;
    processNL(id);
    return;
  }
  request.state = eSrvLookup;
  if (HXZServer::QuerySRV(Names::getDefaultServer(domain), domain, this,
                          static_cast<uint32_t>(request.config->dnsTimeoutMs))) {
    m_pendingSrv.emplace(domain, id);
    schedule(id, request.config->dnsTimeoutMs, "SRV discovery timeout",
             &DiscoveryImpl::onSrvTimeout);
  } else {
    resolvArecNL(id, request);
  }
}

void DiscoveryImpl::onSrvTimeout(uint32_t id) {
  HXAutoLock guard(m_lock);
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request != nullptr && request->state == eSrvLookup) resolvArecNL(id, *request);
}

void DiscoveryImpl::resolvArecNL(uint32_t id, Request& request) {
  request.state = eALookup;
  const std::string& domain = request.config->domain;
  const uint32_t limit = static_cast<uint32_t>(request.config->dnsTimeoutMs);
  // The SRV answer is still welcome while the addresses are looked up.
  HXZServer::QuerySRV(Names::getDefaultServer(domain), domain, this, limit);
  bool pending = false;
  auto range = m_pendingSrv.equal_range(domain);
  for (auto it = range.first; it != range.second; ++it) pending = pending || it->second == id;
  if (!pending) m_pendingSrv.emplace(domain, id);
  std::vector<std::string> addresses;
  if (HXZServer::QueryAMulti(Names::getDefaultServer(domain), addresses, this, limit)) {
    applyAddressesNL(domain, addresses);
  } else {
    schedule(id, request.config->dnsTimeoutMs, "Arec discovery timeout",
             &DiscoveryImpl::onArecTimeout);
  }
}

void DiscoveryImpl::onArecTimeout(uint32_t id) {
  HXAutoLock guard(m_lock);
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request == nullptr || request->state != eALookup) return;
  request->state = eDnsDone;
  removePendingNL(id, request->config->domain);
  processNL(id);
}

void DiscoveryImpl::OnCallbackQuerySRV(const std::string& domain,
                                       const HXServerEpSetByTarget& servers) {
  HXAutoLock guard(m_lock);
  std::vector<uint32_t> ids;
  auto range = m_pendingSrv.equal_range(domain);
  for (auto it = range.first; it != range.second; ++it) ids.push_back(it->second);
  if (!servers.empty()) m_pendingSrv.erase(domain);
  for (uint32_t id : ids) {
    std::shared_ptr<Request> request = m_requests.findNL(id);
    if (request == nullptr) continue;
    if (request->state != eSrvLookup && request->state != eALookup) continue;
    if (servers.empty()) {
      if (request->state == eSrvLookup) resolvArecNL(id, *request);
      continue;
    }
    request->hosts.clear();
    for (const auto& server : servers) {
      HXServerEndpoint found = server;
      found.setServerId(server.getHost() + request->config->serverSuffix);
      request->hosts.addHost(std::move(found));
    }
    // Port variants: every host also on each port of the list.
    HXServerEpSetByTarget variants;
    for (const auto& host : request->hosts) {
      for (uint16_t port : request->config->portList) {
        if (port == host.getPort()) continue;
        HXServerEndpoint variant = host;
        variant.setPort(port);
        variants.addHost(std::move(variant));
      }
    }
    for (const auto& variant : variants) request->hosts.addHost(variant);
    request->state = eDnsDone;
    processNL(id);
  }
}

void DiscoveryImpl::OnCallbackQueryA(const std::string& name,
                                     const std::vector<std::string>& list) {
  if (name.compare(0, ServerDefaultSrv.size(), ServerDefaultSrv) != 0) return;
  HXAutoLock guard(m_lock);
  applyAddressesNL(name.substr(ServerDefaultSrv.size()), list);
}

void DiscoveryImpl::applyAddressesNL(const std::string& domain,
                                     const std::vector<std::string>& list) {
  std::vector<uint32_t> ids;
  auto range = m_pendingSrv.equal_range(domain);
  for (auto it = range.first; it != range.second; ++it) ids.push_back(it->second);
  if (!list.empty()) m_pendingSrv.erase(domain);
  for (uint32_t id : ids) {
    std::shared_ptr<Request> request = m_requests.findNL(id);
    if (request == nullptr || request->state != eALookup) continue;
    if (!list.empty()) {
      if (request->config->domain != domain) continue;
      const uint64_t now = static_cast<uint64_t>(hx::GetTickCount());
      const std::string server_id = domain + request->config->serverSuffix;
      for (uint16_t port : request->config->portList) {
        for (const auto& address : list) {
          request->hosts.addHost(HXServerEndpoint(address, now, domain, server_id, port, MAXTIME));
        }
      }
    }
    request->state = eDnsDone;
    processNL(id);
  }
}

void DiscoveryImpl::notifyDiscoveryRes(uint32_t id) {
  std::shared_ptr<DiscoveryCallback> callback;
  HXServerEpSetByTarget found_new, found_known, missing;
  {
    HXAutoLock guard(m_lock);
    std::shared_ptr<Request> request = m_requests.findNL(id);
    if (request == nullptr || request->state != eDnsDone) return;
    callback = request->lockCallback();
    if (callback == nullptr) {
      m_requests.removeListenerNL(id);
      return;
    }
    found_new = request->hosts;
    missing = request->config->checkSet;
    for (auto it = found_new.begin(); it != found_new.end();) {
      auto known = missing.find(*it);
      if (known == missing.end()) {
        ++it;
        continue;
      }
      found_known.addHost(*it);
      missing.erase(known);
      it = found_new.erase(it);
    }
    request->state = eDnsReporting;
  }
  // Without the lock: the callback may add check hosts or start other requests.
  callback->onDiscoveryDone(id, found_new, found_known, missing);
  HXAutoLock guard(m_lock);
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request != nullptr && request->state == eDnsReporting) {
    request->state = eDnsReported;
    processNL(id);
  }
}

void DiscoveryImpl::checkHostsNL(uint32_t id, Request& request) {
  request.hosts = request.config->checkSet;
  const size_t started =
      StartServerChecks(request.hosts, static_cast<int>(id), this, &DiscoveryImpl::onServerCheckDone);
  if (started > 0) {
    request.state = eChecking;
    schedule(id, request.config->checkTimeoutMs, "Connectivity check timeout",
             &DiscoveryImpl::onCheckTimeout);
  } else {
    request.state = eChecksDone;
  }
}

void DiscoveryImpl::onServerCheckDone(int checkId, const char* host, const char* resolved,
                                      unsigned short port, unsigned long long ping,
                                      const char* /*domain*/, const char* /*serverId*/,
                                      bool /*flag*/) {
  const uint32_t id = static_cast<uint32_t>(checkId);
  std::shared_ptr<DiscoveryCallback> callback;
  HXServerEndpoint answered;
  bool forced = false;
  bool inserted = false;
  {
    HXAutoLock guard(m_lock);
    std::shared_ptr<Request> request = m_requests.findNL(id);
    if (request == nullptr || request->state != eChecking) return;
    callback = request->lockCallback();
    if (callback == nullptr) {
      m_requests.removeListenerNL(id);
      return;
    }
    HXServerEndpoint target(host == nullptr ? "" : host, 0, "", "", port, MAXTIME);
    target.setPort(port);
    auto known = request->hosts.find(target);
    if (known == request->hosts.end()) return;
    answered = *known;
    answered.setPing(ping);
    const uint64_t now = wallSeconds();
    answered.setLastCheckTime(now);
    answered.setLastConnectTime(now);
    inserted = request->results
                   .emplace(answered, callback::StickyInfo{resolved == nullptr ? "" : resolved})
                   .second;
    forced = (request->config->mode & DiscoveryConfig::eForced) != 0;
    if (inserted && request->results.size() >= request->hosts.size()) {
      request->state = eChecksDone;
      processNL(id);
    }
  }
  if (inserted && forced)
    callback->onHostConnected(id, answered, resolved == nullptr ? "" : resolved);
}

void DiscoveryImpl::onCheckTimeout(uint32_t id) {
  HXAutoLock guard(m_lock);
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request == nullptr || request->state != eChecking) return;
  request->state = eChecksDone;
  processNL(id);
}

void DiscoveryImpl::notifyConnectivityRes(uint32_t id) {
  std::shared_ptr<DiscoveryCallback> callback;
  ConnectivityResults results;
  HXServerEpSetByTarget failed;
  {
    HXAutoLock guard(m_lock);
    std::shared_ptr<Request> request = m_requests.findNL(id);
    if (request == nullptr || request->state != eChecksDone) return;
    callback = request->lockCallback();
    if (callback == nullptr) {
      m_requests.removeListenerNL(id);
      return;
    }
    results = std::move(request->results);
    request->results.clear();
    for (const auto& host : request->hosts) {
      if (results.find(host) == results.end()) failed.addHost(host);
    }
    request->state = eCheckReporting;
  }
  callback->onConnectivityCheckDone(id, std::move(results), std::move(failed));
  HXAutoLock guard(m_lock);
  std::shared_ptr<Request> request = m_requests.findNL(id);
  if (request != nullptr && request->state == eCheckReporting) {
    request->state = eFinished;
    m_requests.removeListenerNL(id);
  }
}

}  // namespace hx::servers

uint32_t HX_Discovery::runRequest(std::shared_ptr<hx::servers::DiscoveryConfig> config,
                                  std::weak_ptr<hx::servers::DiscoveryCallback> callback) {
  if (config == nullptr) return 0;
  // Answers carry lower-cased names; a request must be found by them.
  HXUri::lower(config->domain);
  HXAutoLock guard(m_lock);
  const uint32_t id = m_requests.addListenerNL(std::move(callback), RequestConfig{config});
  if (id == 0) return 0;
  processNL(id);
  return m_requests.findNL(id) != nullptr ? id : 0;
}

uint32_t HX_Discovery::discovery(const std::string& domain,
                                 std::weak_ptr<hx::servers::DiscoveryCallback> callback) {
  auto config = std::make_shared<hx::servers::DiscoveryConfig>();
  config->discovery(domain, hx::servers::DefaultSuffixVcs, hx::servers::DiscoveryConfig::eDns);
  return runRequest(std::move(config), std::move(callback));
}

std::shared_ptr<hx::servers::DiscoveryConfig> HX_Discovery::getConfig(uint32_t requestId) const {
  HXAutoLock guard(m_lock);
  auto request = m_requests.findNL(requestId);
  return request == nullptr ? nullptr : request->config;
}

void HX_Discovery::removeRequest(uint32_t requestId) {
  HXAutoLock guard(m_lock);
  m_requests.removeListenerNL(requestId);
}

void HX_Discovery::setRequestSequence(uint32_t value) {
  HXAutoLock guard(m_lock);
  m_requests.setSequenceNL(value);
}
