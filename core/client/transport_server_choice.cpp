// The transport manager's server choice: attempts and their spacing, the cloud check with its
// fallback to the default server, the connection's answers, endpoints and redirects. Network
// loop.
#include <algorithm>
#include <set>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/client/fsm_shared.h"
#include "core/client/login_manager.h"
#include "core/client/net_config_manager.h"
#include "core/client/transport_domain.h"
#include "core/client/transport_manager.h"
#include "core/net/loop/zserver.h"
#include "core/storage/server_list_db.h"
#include "core/transport/domain_servers_list.h"
#include "core/transport/servers_list.h"
#include "core/transport/servers_list_iterator.h"
#include "core/transport/transport.h"
#include "core/wire/server_names.h"

namespace {

uint64_t NowMs() { return static_cast<uint64_t>(hx::GetTickCount()); }

// A servers-list update as a scheduler job; the list may be gone by the time it runs.
class UpdateServersListTask : public HXStoredTask {
 public:
  UpdateServersListTask(std::weak_ptr<HX_ServersList> list, uint32_t generation, bool forced)
      : m_list(std::move(list)), m_generation(generation), m_forced(forced) {}
  void Execute() override {
    if (auto list = m_list.lock()) list->Update(m_generation, m_forced, nullptr);
  }

 private:
  std::weak_ptr<HX_ServersList> m_list;
  uint32_t m_generation;
  bool m_forced;
};

}  // namespace

void HX_TransportManager::connectServiceInt() {
  const uint32_t generation = m_connectionGeneration.fetch_add(1) + 1;
  const bool found = _LookupNextServer(true);
  uint32_t targetGeneration = 0;
  {
    HXAutoLock lock(m_lock);
    if (m_ctrl.getScope() != 0) return;
    targetGeneration = m_targetGeneration;
  }
  HXZServer::ScheduleJob(new UpdateServersListTask(getServersList(), targetGeneration, !found), 0,
                         "Update servers list");
  onLoop(timing().serviceCheckMs.load(), &HX_TransportManager::OnServiceConnectCheck, generation);
}

bool HX_TransportManager::_LookupNextServer(bool refresh) {
  std::shared_ptr<HX_TransportConnectionParam> copy;
  uint64_t wait = 0;
  {
    HXAutoLock lock(m_lock);
    if (!m_ctrl.startAttempt()) return false;
    uint16_t port = m_ctrl.params.getServerPort();
    const std::string address = m_ctrl.params.getServerAddress();
    const std::string domain = m_ctrl.params.getServerDomain();
    const bool noted = m_ctrl.refresh;
    m_ctrl.refresh = false;
    if (address.empty() || m_ctrl.params.getCID().empty()) {
      auto servers = getServersList();
      const std::string next =
          servers ? servers->GetNextServerList(domain.c_str(), address.c_str(), port, refresh || noted) : "";
      if (!next.empty()) {
        HXServerEndpoint described;
        if (servers->GetHostDescription(described, next, port)) {
          m_ctrl.params.setServerAddress(described.getHost(), port);
          m_ctrl.params.setSID(described.getServerId());
        } else {
          m_ctrl.params.setServerAddress(next, port);
        }
      }
    }
    if (m_ctrl.params.getServerAddress().empty()) {
      m_ctrl.abandonAttempt();
      return false;
    }
    wait = m_ctrl.scheduleAttempt(NowMs());
    copy = std::make_shared<HX_TransportConnectionParam>(m_ctrl.params);
  }
  onLoop(static_cast<uint32_t>(std::min<uint64_t>(wait, UINT32_MAX)), &HX_TransportManager::_ConnectServer,
         std::move(copy));
  return true;
}

void HX_TransportManager::_ConnectServer(std::shared_ptr<HX_TransportConnectionParam> param) {
  if (m_fsm == nullptr || m_fsm->GetNetworkMode() == 0) {
    HXAutoLock lock(m_lock);
    m_ctrl.abandonAttempt();
    return;
  }
  uint64_t limit = 5000;
  {
    HXAutoLock lock(m_lock);
    // A disconnect or a new connect run while the attempt waited voids it: it must not open a
    // connection nobody wants any more.
    if (!m_ctrl.isAttempt()) return;
    const uint64_t left = m_ctrl.checkCID(nowSeconds(), timing().cidLifetimeSec.load());
    limit = TransportSessionCtrlInfo::connectLimitMs(left);
    if (left == 0) param->setCID(std::string());
  }
  const auto c = connection();
  if (c && c->ConnectServer(param, limit)) return;
  OnServerUnavailable(param->getServerAddress().c_str(), param->getServerPort(), -1);
  setStateTrs(eNoConnection);
}

void HX_TransportManager::OnServiceConnectCheck(uint32_t generation) {
  if (generation != m_connectionGeneration.load()) return;
  std::shared_ptr<HX_TransportConnectionParam> copy;
  {
    HXAutoLock lock(m_lock);
    if (!m_ctrl.startAttempt()) {
      ios_log("Another connection attempt in progress");
    } else {
      const std::string address = m_ctrl.params.getServerAddress();
      const uint16_t recordPort = m_ctrl.params.getServerPort();
      const std::string domain = m_ctrl.params.getServerDomain();
      uint16_t port = recordPort;
      auto servers = getServersList();
      const std::string next = servers ? servers->GetNextServerList(domain.c_str(), address.c_str(), port, false) : "";
      HXServerEndpoint described;
      if (!next.empty() && servers->GetHostDescription(described, next, port)) {
        m_ctrl.params.setServerAddress(described.getHost(), port);
      } else {
        port = recordPort;
        const std::string fallback = hx::servers::SlIterator::getNextDefaultServer(domain, address, port);
        ios_log("Fallback to default server %s:%u", fallback.c_str(), static_cast<unsigned>(port));
        HXZServer::ScheduleJob(new UpdateServersListTask(servers, m_targetGeneration, true), 0,
                               "Update servers list(3)");
        m_ctrl.params.setServerAddress(fallback, port);
      }
      m_ctrl.params.setCID(std::string());
      if (m_ctrl.params.serverEmpty()) {
        ios_log("Server empty");
        m_ctrl.abandonAttempt();
      } else {
        copy = std::make_shared<HX_TransportConnectionParam>(m_ctrl.params);
      }
    }
  }
  if (copy) _ConnectServer(std::move(copy));
  onLoop(timing().serviceCheckMs.load(), &HX_TransportManager::OnServiceConnectCheck, generation);
}

void HX_TransportManager::emitServerUpdate(bool service, const std::string& sid, uint16_t port, int result,
                                           bool login, bool keepAlive) {
  connectResult.Emit(service, sid.c_str(), port, result, login, keepAlive);
}

void HX_TransportManager::OnServerUpdate(HX_TransportConnectionParam param, const char* remote, int result,
                                         bool keepAlive) {
  m_connectionGeneration.fetch_add(1);
  if (result == 1) {
    emitServerUpdate(false, "", 0, 1, false, true);
    return;
  }
  if (result != 0) {
    {
      HXAutoLock lock(m_lock);
      if (m_ctrl.isLastConnected(param)) m_ctrl.clearLastConnectedServer();
    }
    emitServerUpdate(false, "", 0, result, false, true);
    return;
  }
  const std::string remoteText = remote != nullptr ? remote : "";
  auto servers = getServersList();
  bool sameSession = false;
  bool service = false;
  std::string sid;
  std::string address;
  std::string domain;
  uint16_t port = param.getServerPort();
  uint32_t targetGeneration = 0;
  {
    HXAutoLock lock(m_lock);
    sameSession = !m_ctrl.params.getCID().empty() && m_ctrl.params.getCID() == param.getCID();
    if (!m_ctrl.serverConnected(param)) return;
    sid = param.getSID();
    service = sid.find(hx::servers::DefaultSuffixAs) != std::string::npos;
    setSid(sid);
    HXServerEndpoint described;
    const bool isDescribed = servers && servers->GetHostDescription(described, param, remoteText);
    if (isDescribed) m_ctrl.params.setServerAddress(described.getHost());
    domain = hx::transport::SessionDomain(isDescribed, described.getDomain(), service, sid,
                                          m_ctrl.params.getServerAddress());
    if (!domain.empty() && (domain != m_ctrl.params.getServerDomain() || !isDescribed)) {
      SetAppDomain(domain);
      m_ctrl.params.setServerDomain(domain);
    }
    address = m_ctrl.params.getServerAddress();
    domain = m_ctrl.params.getServerDomain();
    targetGeneration = m_targetGeneration;
  }
  SetServerAddress(address, port);
  if (servers) {
    servers->SetTransportSessionEp(targetGeneration,
                                   HXServerEndpoint(address, nowSeconds(), domain, sid, port, hx::servers::MAXTIME,
                                                    20, 10),
                                   remoteText);
  }
  eventRunJob();
  eventAdd(targetGeneration, eEventUpdateServersList, NowMs());

  // Login decision.
  auto login = getLoginManager();
  auto netConfig = getNetConfigManager();
  bool loginPending = false;
  bool automatic = true;
  if (!sameSession) {
    if (netConfig) netConfig->resetServerInfo();
    std::shared_ptr<hx::transport::UriLoginParams> params;
    {
      HXAutoLock lock(m_lock);
      if (m_target.hasLoginPassword() && m_target.loginStage() == 1) params = m_target.getLoginParams();
    }
    if (params) {
      const bool sameUser = login && login->getAutologinType() == 2 &&
                            HXLowerUTF8(getLogin()) == HXLowerUTF8(params->getLogin());
      if (!sameUser) {
        setStateTrs(eConnected);
        if (Login(params->getLogin().c_str(), params->getKey().c_str(), !params->isTempLogin(),
                  !params->getEncryptPassword())) {
          HXAutoLock lock(m_lock);
          m_target.setLoginStage(m_target.loginStage() + 1);
          loginPending = true;
          automatic = false;
        }
      }
    }
  }
  if (automatic) {
    const int type = login ? login->getAutologinType() : 0;
    const bool pending = sameSession || type != 0;
    setStateTrs(pending ? eLoggingIn : eConnected);
    const bool queued = login && login->CheckUserLoginStatus();
    if (queued || !pending) {
      if (queued && (sameSession || type == 2)) {
        scheduleLoginTimeoutCheck();
        loginPending = true;
      }
    } else {
      setStateTrs(eConnected);
    }
  }
  if (netConfig) {
    netConfig->UpdateConfiguration();
    netConfig->GetApplicationProperties();
  }
  if (const auto c = connection()) {
    HXSockAddr local;
    if (c->getLocalBind(local)) {
      HXAutoLock lock(m_lock);
      if (!m_localBind.empty() && m_localBind.HXAIpAddressBase::cmp(local) != 0) m_localBindChanged = true;
      m_localBind = local;
    }
  }
  emitServerUpdate(service, sid, port, 0, loginPending, keepAlive);
}

void HX_TransportManager::onConnectionUnavailable(const char* address, unsigned short port, long reason) {
  onLoop(0, &HX_TransportManager::onConnectionUnavailableJob, std::string(address != nullptr ? address : ""), port,
         reason);
}

void HX_TransportManager::onConnectionUnavailableJob(std::string address, unsigned short port, long reason) {
  OnServerUnavailable(address.c_str(), port, reason);
}

void HX_TransportManager::OnServerUnavailable(const char* address, unsigned short port, long reason) {
  const std::string host = address != nullptr ? address : "";
  std::string domain;
  {
    HXAutoLock lock(m_lock);
    // A late report of a connection that a disconnect has ended: nothing is wanted any more.
    if (m_ctrl.getAccessibility() == TransportSessionCtrlInfo::eStopped) return;
    domain = m_ctrl.params.getServerDomain();
  }
  const bool wasLoggedIn = setReconnectState();
  const uint32_t mode = m_fsm != nullptr ? m_fsm->GetNetworkMode() : 0;
  if (mode == 0) {
    if (!wasLoggedIn) return;
    if (reason <= 0) reason = -1;
  }
  bool signal = true;
  bool closeAll = false;
  bool invalidate = false;
  const bool conference = isConferencesExist(true);
  {
    HXAutoLock lock(m_lock);
    m_ctrl.serverUnavailable(wasLoggedIn, reason, nowSeconds());
    const uint64_t left = m_ctrl.checkCID(nowSeconds(), timing().cidLifetimeSec.load());
    const uint32_t retry = reason == -1 ? timing().conferenceRetryMs.load() : 0;
    if (wasLoggedIn && conference && left != 0) {
      m_ctrl.counter = TransportSessionCtrlInfo::kCounterReset;
      m_ctrl.delay = retry;
      m_ctrl.lastAttemptTime = 0;
      signal = false;
    } else {
      invalidate = (mode != 0 && left == 0) || reason == -3 || reason == -2;
      if (conference && (invalidate || left == 0)) {
        closeAll = true;
      } else if (conference) {
        m_ctrl.counter = TransportSessionCtrlInfo::kCounterReset;
        m_ctrl.delay = retry;
        m_ctrl.lastAttemptTime = 0;
        signal = false;
      }
      if (signal && (reason == -3 || reason == -2)) m_ctrl.params.setCID(std::string());
    }
  }
  if (invalidate) {
    if (auto servers = getServersList()) servers->InvalidateHostPort(domain, host, port);
  }
  if (closeAll) {
    if (HX_ConfStorage* store = confStorage()) store->closeAllConferences();
  }
  if (signal) {
    auto login = getLoginManager();
    serverUnavailable.Emit(!domain.empty() ? domain.c_str() : host.c_str(), port, login && login->CanAutoLogin(false));
  }
  if (mode != 0) _LookupNextServer(false);
}

void HX_TransportManager::SaveEndpoints(const char* domainHint, const char* serverId,
                                        const HX_TransportEndpointList& endpoints) {
  if (serverId == nullptr || *serverId == '\0') {
    ios_log("serverId is empty");
    return;
  }
  const char* defaultDomain = GetAppDefaultDomain();
  HX_DomainServersList list;
  list.set(domainHint != nullptr ? domainHint : "", serverId, endpoints, defaultDomain);
  if (list.empty()) return;
  auto servers = getServersList();
  HX_TransportConnectionParam params;
  uint32_t targetGeneration = 0;
  {
    HXAutoLock lock(m_lock);
    params = m_ctrl.params;
    targetGeneration = m_targetGeneration;
  }
  HXServerEndpoint used;
  if (servers) used = servers->SaveEndpoints(list, params, defaultDomain != nullptr ? defaultDomain : "", true);
  eventAdd(targetGeneration, eEventUpdateServersList, NowMs());
  if (HX_ConfStorage* store = confStorage()) store->updateServerMediaEPList(serverId, endpoints);

  const std::string& listServer = list.getServers().front().serverId;
  HXAutoLock lock(m_lock);
  if (listServer != m_ctrl.params.getSID()) return;
  if (list.getDomain() != m_ctrl.params.getServerDomain()) {
    if (getStateTrs() == eLoggedIn) {
      // The session's login and key move to the new domain with it.
      const std::string login = getLogin();
      const std::string key = getCookie();
      SetAppDomain(list.getDomain());
      SetLogin(login);
      SetCookie(key);
    } else {
      SetAppDomain(list.getDomain());
    }
    m_ctrl.params.setServerDomain(list.getDomain());
  }
  if (!used.getHost().empty() && used.getPort() != 0) {
    m_ctrl.params.setServerAddress(used.getHost(), used.getPort());
    SetServerAddress(used.getHost(), used.getPort());
  }
}

void HX_TransportManager::OnRedirectListArrived(const char* serverId, const HX_TransportEndpointList& endpoints) {
  if (serverId == nullptr || *serverId == '\0') {
    ios_log("Server is empty in OnRedirectListArrived()");
    return;
  }
  const std::string newServer = serverId;
  auto servers = getServersList();
  const std::string currentSid = getSid();
  // The server that sends the client away is the last choice of the better-host check.
  if (servers && !currentSid.empty()) {
    auto db = servers->getMainDb();
    HXServerEpList hosts;
    if (db && db->GetHosts(currentSid, hosts) && !hosts.empty()) {
      const uint64_t now = nowSeconds();
      db->SetLastCheckTime(hosts.front().getDomain(), std::set<std::string>{currentSid}, now);
      for (const HXServerEndpoint& h : hosts) {
        db->SetPingTime(h.getDomain(), currentSid, h.getHost(), h.getHost(), h.getPort(), 14999, now);
      }
    }
  }
  std::string domain;
  {
    HXAutoLock lock(m_lock);
    const bool bothService = newServer.find(hx::servers::DefaultSuffixAs) != std::string::npos &&
                             m_ctrl.params.getSID().find(hx::servers::DefaultSuffixAs) != std::string::npos;
    if (bothService) {
      domain = m_ctrl.params.getServerDomain();
    } else {
      domain = hx::servers::Names::getHostFromServerId(newServer);
      SetAppDomain(domain);
      m_ctrl.params.setServerDomain(domain);
    }
  }
  SaveEndpoints(domain.c_str(), serverId, endpoints);
  if ((m_tasks.load() & (eTaskDisconnect | eTaskConnect)) != 0) return;

  bool now = false;
  {
    HXAutoLock lock(m_lock);
    std::string host = m_ctrl.params.getServerAddress();
    uint16_t port = m_ctrl.params.getServerPort();
    const HX_Endpoint* chosen = nullptr;
    for (const auto& endpoint : endpoints) {
      if (!endpoint || *endpoint->GetHost() == '\0') continue;
      if (endpoint->GetPort() == m_ctrl.params.getServerPort()) {
        chosen = endpoint.get();
        break;
      }
      if (chosen == nullptr) chosen = endpoint.get();
    }
    if (chosen != nullptr) {
      host = chosen->GetHost();
      port = chosen->GetPort();
    }
    if (host.empty() || port == 0) return;
    m_ctrl.params.setSID(newServer);
    m_ctrl.params.setServerAddress(host, port);
    if (servers) servers->addRedirect(m_targetGeneration, host, port);
    m_tasks.fetch_or(eTaskRedirect);
    now = !isConferencesExist(true);
  }
  if (now) reconnectOnRedirect();
}

void HX_TransportManager::reconnectOnRedirect() {
  bool differ = false;
  {
    HXAutoLock lock(m_lock);
    if ((m_tasks.load() & eTaskRedirect) == 0) return;
    m_tasks.fetch_and(~eTaskRedirect);
    if (m_ctrl.params.serverEmpty()) return;
    m_ctrl.restartKeepingParams();
    if (getSid() != m_ctrl.params.getSID()) m_ctrl.params.setCID(std::string());
    differ = m_ctrl.params.getServerAddress() != GetServerAddress() ||
             m_ctrl.params.getServerPort() != GetServerPort();
  }
  if (differ) reconnectServer();
}

void HX_TransportManager::reconnectServer() {
  setReconnectState();
  if (const auto c = connection()) c->DisconnectServer();
  _LookupNextServer(true);
}

void HX_TransportManager::OnCheckSrvUpdated() {
  const int32_t state = getStateTrs();
  if (state != eConnecting && state != eConnectingAutoLogin) return;
  HXZServer::ScheduleNetworkJob(HXCallback::Save(this, &HX_TransportManager::_LookupNextServer, true), 0);
}

void HX_TransportManager::onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) {
  if (requested == 0 && joined == 0 && deleted == 0 && (m_tasks.load() & eTaskRedirect) != 0) {
    onLoop(0, &HX_TransportManager::reconnectOnRedirect);
  }
}
