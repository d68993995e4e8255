// The transport manager's data, requests, task machine, login and logout control.
#include "core/client/transport_manager.h"

#include <ctime>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/client/fsm_shared.h"
#include "core/client/login_manager.h"
#include "core/client/net_config_manager.h"
#include "core/conference/conf_manager.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/if_list.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_details.h"
#include "core/storage/settings_db.h"
#include "core/transport/servers_list.h"
#include "core/transport/transport.h"
#include "core/wire/client_message.h"

namespace {

constexpr uint32_t kConnectClears = HX_TransportManager::eTaskRedirect | HX_TransportManager::eTaskRelogin |
                                    HX_TransportManager::eTaskLogin;
constexpr uint32_t kDisconnectClears = HX_TransportManager::eTaskConnect | kConnectClears;

// The login that is being requested on this thread: a check-login request the login manager
// raises while it sends waits until the session state has moved to 4, so that the check carries
// the state counter it will be compared with.
struct PendingLoginCheck {
  HX_TransportManager* owner = nullptr;
  bool raised = false;
  uint64_t delayMs = 0;
  uint32_t tag = 0;
};
thread_local PendingLoginCheck* t_pendingLoginCheck = nullptr;

}  // namespace

// ---- timing

void HX_TransportManager::Timing::Reset() {
  serviceCheckMs = 45000;
  cidLifetimeSec = 30;
  eventMinIntervalMs = 240000;
  betterHostDelayMs = 30000;
  loginTimeoutMs = 30000;
  logoutWaitAutoMs = 250;
  logoutWaitMs = 1500;
  conferenceRetryMs = 800;
}

HX_TransportManager::Timing& HX_TransportManager::timing() {
  static Timing values;
  return values;
}

// ---- connect target

HX_TransportManager::TransportTarget& HX_TransportManager::TransportTarget::operator=(HX_TransportTarget&& target) {
  HX_TransportTarget::operator=(std::move(target));
  m_connectLast = false;
  m_loginStage = hasLoginPassword() ? 1 : 0;
  return *this;
}

// ---- construction and wiring

HX_TransportManager::HX_TransportManager()
    : m_listenerRef(&m_listener, [](ConfStorageListener*) {}),
      m_self(static_cast<HX_TransportSession*>(this), [](HX_TransportSession*) {}) {}

HX_TransportManager::~HX_TransportManager() {
  std::shared_ptr<HXZTransport> connection;
  {
    HXAutoLock lock(m_lock);
    connection = std::move(m_connection);
  }
  if (auto login = getLoginManager()) {
    login->logoutSignal.Disconnect(this, &HX_TransportManager::onLogout);
    login->rightsSignal.Disconnect(this, &HX_TransportManager::OnRightsUpdated);
    login->checkLoginSignal.Disconnect(this, &HX_TransportManager::OnScheduleCheckLogin);
  }
  if (auto netConfig = getNetConfigManager()) {
    netConfig->endpointListSignal.Disconnect(this, &HX_TransportManager::SaveEndpoints);
    netConfig->redirectSignal.Disconnect(this, &HX_TransportManager::OnRedirectListArrived);
  }
  if (auto list = getServersList()) list->updated.Disconnect(this, &HX_TransportManager::OnCheckSrvUpdated);
  if (connection) {
    connection->sigServerUpdate.DisconnectAll();
    connection->sigServerUnavailable.DisconnectAll();
    connection->DisconnectServer();
  }
}

void HX_TransportManager::updateTransportManager(HXFSMShared* fsm) {
  m_fsm = fsm;
  auto connection = std::make_shared<HXZTransport>();
  connection->sigServerUpdate.Connect(this, &HX_TransportManager::OnServerUpdate);
  connection->sigServerUnavailable.Connect(this, &HX_TransportManager::onConnectionUnavailable);
  {
    HXAutoLock lock(m_lock);
    m_connection = connection;
  }
  auto login = std::make_shared<HX_LoginManager>(transport(), fsm);
  auto netConfig = std::make_shared<HX_NetConfigManager>(transport(), fsm);
  netConfig->endpointListSignal.Connect(this, &HX_TransportManager::SaveEndpoints);
  netConfig->redirectSignal.Connect(this, &HX_TransportManager::OnRedirectListArrived);
  login->logoutSignal.Connect(this, &HX_TransportManager::onLogout);
  login->rightsSignal.Connect(this, &HX_TransportManager::OnRightsUpdated);
  login->checkLoginSignal.Connect(this, &HX_TransportManager::OnScheduleCheckLogin);
  initTrSession(login, netConfig);
  if (auto list = getServersList()) list->updated.Connect(this, &HX_TransportManager::OnCheckSrvUpdated);
  setFSMShared(fsm);
  if (fsm != nullptr) {
    const char* domain = GetAppDefaultDomain();
    setDatabase(fsm->SettingsDB(), domain != nullptr ? domain : "");
    fsm->setTransportSession(transport());
  }
}

bool HX_TransportManager::initTransportManagerConfStorageListener() {
  HX_ConfStorage* store = confStorage();
  if (store == nullptr) return false;
  store->addListener(m_listenerRef);
  // The network listener of direct media comes with the media streams; without it no UDP
  // listener is installed.
  return false;
}

HX_ConfStorage* HX_TransportManager::confStorage() const {
  if (m_fsm == nullptr) return nullptr;
  HX_ConfManager* manager = m_fsm->confManager();
  return manager != nullptr ? manager->confStorage() : nullptr;
}

void HX_TransportManager::reset() {
  {
    HXAutoLock lock(m_lock);
    m_tasks.store(0);
  }
  if (HXIfIpAddrContainerTS* interfaces = HXZServer::getIfAddrList()) interfaces->clear();
  if (m_fsm != nullptr) m_fsm->ClearStatusHolder();
}

void HX_TransportManager::shutdown() { SetNetworkType(0, false); }

std::shared_ptr<HXZTransport> HX_TransportManager::connection() const {
  HXAutoLock lock(m_lock);
  return m_connection;
}

void HX_TransportManager::scheduleTasks(uint32_t set, uint32_t clear) {
  m_tasks.fetch_or(set);
  if (clear != 0) m_tasks.fetch_and(~clear);
  onLoop(0, &HX_TransportManager::processTasks);
}

void HX_TransportManager::setConnectTask() {
  uint32_t tasks = m_tasks.load();
  while (!m_tasks.compare_exchange_weak(tasks, (tasks | eTaskConnect) & ~kConnectClears)) {
  }
}

void HX_TransportManager::setDisconnectTask() {
  uint32_t tasks = m_tasks.load();
  while (!m_tasks.compare_exchange_weak(tasks, (tasks | eTaskDisconnect) & ~kDisconnectClears)) {
  }
}

uint64_t HX_TransportManager::nowSeconds() { return static_cast<uint64_t>(std::time(nullptr)); }

// ---- requests

void HX_TransportManager::requestConnect(HX_TransportTarget* target) {
  {
    HXAutoLock lock(m_lock);
    if (target != nullptr) {
      m_target = std::move(*target);
    } else {
      m_target.setConnectLast();
    }
    m_localBind = HXSockAddr();
    m_localBindChanged = false;
    setConnectTask();
  }
  onLoop(0, &HX_TransportManager::processTasks);
}

bool HX_TransportManager::ConnectLast() {
  if (getStateTrs() != eNoConnection && (m_tasks.load() & eTaskDisconnect) == 0) return false;
  requestConnect(nullptr);
  return true;
}

void HX_TransportManager::ConnectService() {
  const char* domain = GetAppDefaultDomain();
  ConnectService(domain != nullptr ? domain : "");
}

void HX_TransportManager::ConnectService(const std::string& domain) {
  HX_TransportTarget target = hx::transport::TargetBuilder().setCloud(domain).build();
  requestConnect(&target);
}

bool HX_TransportManager::ConnectServer(const char* host, uint16_t port) {
  if (host == nullptr || *host == '\0' || port == 0) return false;
  HX_TransportTarget target = hx::transport::TargetBuilder().setServer(host, port).build();
  requestConnect(&target);
  return true;
}

bool HX_TransportManager::ConnectTransport(HX_TransportTarget target, bool& sameSession) {
  sameSession = false;
  if (target.empty()) return false;
  {
    HXAutoLock lock(m_lock);
    const int32_t state = getStateTrs();
    if ((state == eConnected || state == eLoggedIn) && m_tasks.load() == 0) {
      const int diff = target.diff(getDomain(), getSid(), GetServerAddress(), GetServerPort(), getLogin());
      if (diff == 0 && state == eLoggedIn) {
        sameSession = true;
        return true;
      }
      if (diff == 1 || diff == 0) {
        m_target = std::move(target);
        scheduleTasks(state == eConnected ? eTaskLogin : eTaskRelogin, 0);
        return true;
      }
    }
  }
  requestConnect(&target);
  return true;
}

void HX_TransportManager::DisconnectServer() {
  if (getStateTrs() == eNoConnection) return;
  {
    HXAutoLock lock(m_lock);
    setDisconnectTask();
  }
  onLoop(0, &HX_TransportManager::processTasks);
}

bool HX_TransportManager::Login(const char* login, const char* password, bool rememberKey, bool hashPassword) {
  auto manager = getLoginManager();
  if (!manager) return false;
  PendingLoginCheck pending;
  pending.owner = this;
  PendingLoginCheck* outer = t_pendingLoginCheck;
  t_pendingLoginCheck = &pending;
  const int32_t before = getStateTrs();
  const bool queued = manager->mLogin(login, password, rememberKey, hashPassword);
  t_pendingLoginCheck = outer;
  if (queued) {
    // The server's answer may already have been handled on the network loop (state 5 or a
    // refusal): the request's own state must not overwrite it, or the session would wait in 4
    // for an answer that has come.
    setStateTrsIf(before, eLoggingIn);
    scheduleLoginTimeoutCheck();
  }
  if (pending.raised) OnScheduleCheckLogin(pending.delayMs, pending.tag);
  return queued;
}

bool HX_TransportManager::Logout(bool allowAutoLoginAfter, bool keepKey) {
  logout(allowAutoLoginAfter, keepKey);
  return true;
}

void HX_TransportManager::SetNetworkType(int32_t type, bool forceReset) {
  ios_log("Schedule setNetworkType %d %s", type, forceReset ? "force" : "");
  onLoop(0, &HX_TransportManager::setNetworkType, type, forceReset);
}

std::string HX_TransportManager::GetSessionKey(uint64_t nowMs) {
  std::string key = GetLoginSessionKey();
  if (auto manager = getLoginManager()) manager->SendSessionKeyUpdate(nowMs);
  return key;
}

bool HX_TransportManager::saveServersList(const HX_DomainServersList& list) {
  auto servers = getServersList();
  if (!servers) return true;
  HX_TransportConnectionParam params;
  {
    HXAutoLock lock(m_lock);
    params = m_ctrl.params;
  }
  const char* domain = GetAppDefaultDomain();
  servers->SaveEndpoints(list, params, domain != nullptr ? domain : "", false);
  return true;
}

// ---- session operations

uint32_t HX_TransportManager::GetNextSequence() {
  const auto c = connection();
  return c ? c->GetNextSequence() : 0;
}

HXZNativeSocketDetails HX_TransportManager::GetTransportAddress() const {
  const auto c = connection();
  return c ? c->GetTransportAddress() : HXZNativeSocketDetails();
}

bool HX_TransportManager::getLocalBind(HXSockAddr& address) const {
  HXAutoLock lock(m_lock);
  address = m_localBind;
  return !m_localBind.empty();
}

std::shared_ptr<HX_TransportConnectionParam> HX_TransportManager::getConnectionParam() const {
  const auto c = connection();
  return c ? c->getConnectionParam() : nullptr;
}

bool HX_TransportManager::QueuePacket(HX_ClientMessage* message) {
  const auto c = connection();
  if (!c) {
    delete message;
    return false;
  }
  return c->QueuePacket(message);
}

const char* HX_TransportManager::TransportCid() const {
  thread_local std::string cid;
  HXAutoLock lock(m_lock);
  cid = m_ctrl.params.getCID();
  return cid.c_str();
}

const char* HX_TransportManager::TransportSid() const {
  thread_local std::string sid;
  HXAutoLock lock(m_lock);
  sid = m_ctrl.params.getSID();
  return sid.c_str();
}

void HX_TransportManager::onAcceptorsListUpdated(const HXZAcceptorInfo&) {
  if (!isConnected(getStateTrs())) return;
  if (auto netConfig = getNetConfigManager()) netConfig->UpdateConfiguration();
}

void HX_TransportManager::getLocalIPList(HXIpIfAddrSet& list) {
  HXIfList interfaces;
  interfaces.gather();
  interfaces.getIfAddrList(list);
}

bool HX_TransportManager::transportLocalBindResetTrigger() {
  HXAutoLock lock(m_lock);
  const bool changed = m_localBindChanged;
  m_localBindChanged = false;
  return changed;
}

void HX_TransportManager::updateIfAddrList(const HXIpIfAddrSet& set, bool force) {
  if (force) onIfAddrListChanged(set);
}

bool HX_TransportManager::isConferencesExist(bool countRequested) const {
  const HX_ConfStorage* store = confStorage();
  if (store == nullptr) return false;
  uint32_t requested = 0, joined = 0, deleted = 0;
  store->getConfCounts(requested, joined, deleted);
  return joined != 0 || (countRequested && requested != 0);
}

HX_TransportManager::TransportSessionCtrlInfo HX_TransportManager::getCtrlInfo() const {
  HXAutoLock lock(m_lock);
  return m_ctrl;
}

int32_t HX_TransportManager::getLoginStage() const {
  HXAutoLock lock(m_lock);
  return m_target.loginStage();
}

uint32_t HX_TransportManager::getTargetGeneration() const {
  HXAutoLock lock(m_lock);
  return m_targetGeneration;
}

std::multimap<uint64_t, HX_TransportManager::TrEvent> HX_TransportManager::getEvents() const {
  HXAutoLock lock(m_lock);
  return m_events;
}

// ---- task machine

void HX_TransportManager::processTasks() {
  if (s_processTasksHook != nullptr) s_processTasksHook(this);
  HXSoftLock lock(m_lock, true);
  while (true) {
    const uint32_t tasks = m_tasks.load();
    if (tasks == 0) break;
    if ((tasks & eTaskDisconnect) != 0) {
      if (!performDisconnect()) break;
      // The state hooks run without the manager's lock.
      lock.Unlock();
      setStateTrs(eNoConnection);
      lock.Lock();
    } else if ((tasks & eTaskConnect) != 0) {
      if ((tasks & kConnectClears) != 0) m_tasks.fetch_and(~kConnectClears);
      const int32_t state = prepareConnect();
      if (state >= 0) {
        // The state hooks take the conference store's lock, under which other threads send
        // requests that read the connection under the manager's lock: they run without it.
        lock.Unlock();
        setStateTrs(state);
        lock.Lock();
        startConnect();
      }
    } else if ((tasks & eTaskRelogin) != 0) {
      if (!performRelogin()) break;
    } else if ((tasks & eTaskLogin) != 0) {
      performLogin();
    } else {
      ios_log("task set not empty 0x%x", tasks);
      break;
    }
  }
}

bool HX_TransportManager::performDisconnect() {
  if ((m_tasks.load() & eTaskLogout) != 0) return false;
  if (getStateTrs() == eLoggedIn) {
    m_tasks.fetch_and(~eTaskLogout);
    logout(true, true);
    if ((m_tasks.load() & eTaskLogout) != 0) return false;
  }
  if (auto c = connection()) c->DisconnectServer();
  m_ctrl.stopConnection();
  m_tasks.fetch_and(~eTaskDisconnect);
  return true;
}

int32_t HX_TransportManager::prepareConnect() {
  if (m_target.empty()) {
    m_tasks.fetch_and(~eTaskConnect);
    return -1;
  }
  if (getStateTrs() != eNoConnection) {
    // The connect task stays: the loop disconnects first and then connects.
    m_tasks.fetch_or(eTaskDisconnect);
    return -1;
  }
  const char* defaultDomain = GetAppDefaultDomain();
  if (m_target.connectLast()) {
    if (m_fsm != nullptr) setDatabase(m_fsm->SettingsDB(), defaultDomain != nullptr ? defaultDomain : "");
    setTargetConnectLast();
  } else {
    switchDatabases();
  }
  m_targetGeneration = m_connectionGeneration.load();
  auto servers = getServersList();
  if (servers) servers->setTarget(m_target, m_targetGeneration);

  const HX_TransportConnectionParam& wanted = m_target.getConnectionParam();
  switch (m_target.getScope()) {
    case HX_TransportTarget::eScopeCloud:
      m_ctrl.startCloudConnection(wanted.getServerDomain());
      break;
    case HX_TransportTarget::eScopeServer:
      m_ctrl.startServerConnection(wanted.getServerAddress(), wanted.getServerPort());
      break;
    case HX_TransportTarget::eScopeServersList: {
      m_ctrl.startConnection(1);
      if (auto list = m_target.getServersList()) {
        for (const HXServerEndpoint& endpoint : *list) {
          if (!endpoint.getHost().empty() && endpoint.getPort() != 0) {
            m_ctrl.params.setServerAddress(endpoint.getHost(), endpoint.getPort());
            break;
          }
        }
      }
      break;
    }
    default:
      // Nothing to connect to; the task is done rather than taken up again forever.
      m_tasks.fetch_and(~eTaskConnect);
      return -1;
  }
  auto login = getLoginManager();
  return login && login->CanAutoLogin(false) ? eConnectingAutoLogin : eConnecting;
}

void HX_TransportManager::startConnect() {
  // A one-server target names no domain: the stored one stays until the server tells its own.
  if (!m_ctrl.params.getServerDomain().empty()) SetAppDomain(m_ctrl.params.getServerDomain());
  SetServerAddress(m_ctrl.params.getServerAddress(), m_ctrl.params.getServerPort());
  connectServiceInt();
  m_tasks.fetch_and(~eTaskConnect);
}

void HX_TransportManager::switchDatabases() {
  std::shared_ptr<hx::transport::SessionDB> db = m_target.getTrSessionDb();
  if (!db && m_fsm != nullptr) db = m_fsm->SettingsDB();
  const char* defaultDomain = GetAppDefaultDomain();
  if (db) setDatabase(db, defaultDomain != nullptr ? defaultDomain : "");
}

void HX_TransportManager::setTargetConnectLast() {
  const std::string sid = getSid();
  const std::string domain = getDomain();
  const std::string address = GetServerAddress();
  const uint16_t port = GetServerPort();
  const char* given = GetAppDefaultDomain();
  const std::string defaultDomain = given != nullptr ? given : "";
  const bool stored = port != 0 && !address.empty();
  hx::transport::TargetBuilder builder;
  if (domain.empty() && !stored) {
    // Nothing stored at all: the default domain rather than a cloud without a name.
    builder.setCloud(defaultDomain);
  } else if (!sid.empty() && sid.find(hx::servers::DefaultSuffixAs) != std::string::npos) {
    builder.setCloud(domain);
  } else if (sid.empty() && !domain.empty() && domain == defaultDomain) {
    builder.setCloud(domain);
  } else if (stored) {
    builder.setServer(address, port);
  } else {
    builder.setCloud(defaultDomain);
  }
  m_target = builder.build();
}

void HX_TransportManager::performLogin() {
  m_tasks.fetch_and(~eTaskLogin);
  if (getStateTrs() != eConnected || m_tasks.load() != 0 || !m_target.hasLoginPassword()) return;
  const auto params = m_target.getLoginParams();
  switchDatabases();
  Login(params->getLogin().c_str(), params->getKey().c_str(), !params->isTempLogin(),
        !params->getEncryptPassword());
}

bool HX_TransportManager::performRelogin() {
  if ((m_tasks.load() & eTaskLogout) != 0) return false;
  int32_t state = getStateTrs();
  if (state == eLoggedIn) {
    m_tasks.fetch_and(~eTaskLogout);
    logout(true, true);
    if ((m_tasks.load() & eTaskLogout) != 0) return false;
    state = eConnected;
  }
  m_tasks.fetch_and(~eTaskRelogin);
  if (m_tasks.load() == 0) m_tasks.fetch_or(state == eConnected ? eTaskLogin : eTaskConnect);
  return true;
}

void HX_TransportManager::logout(bool allowAutoLoginAfter, bool keepKey) {
  if (!keepKey) SetCookie(std::string());
  const int32_t state = getStateTrs();
  if (state == eLoggingIn || state == eLoggedIn) {
    auto login = getLoginManager();
    // Marked before the request goes out: the server's answer may be handled on the network loop
    // before mLogout returns, and its handler must find (and end) the logout in progress. The
    // time-out compares the state-change count of this moment.
    if (allowAutoLoginAfter) m_tasks.fetch_or(eTaskAutoLoginAfterLogout);
    m_tasks.fetch_or(eTaskLogout);
    const uint32_t counter = getStateChangeCount();
    const bool sent = login && login->mLogout();
    const Timing& t = timing();
    const uint32_t delay = !sent ? 0 : (allowAutoLoginAfter ? t.logoutWaitAutoMs.load() : t.logoutWaitMs.load());
    HXZServer::ScheduleUrgentJob(HXCallback::Save(this, &HX_TransportManager::timeoLogout, counter), delay,
                                 "Logout timeo");
  } else if (state == eConnectingAutoLogin) {
    setStateTrs(eConnecting);
  }
}

void HX_TransportManager::timeoLogout(uint32_t counter) {
  if (counter != getStateChangeCount()) return;
  if (!isLoggedIn(getStateTrs())) {
    m_ctrl.userLoggedOut();
    m_tasks.fetch_and(~(eTaskLogout | eTaskAutoLoginAfterLogout));
    // A disconnect that waited for the logout goes on now.
    if (m_tasks.load() != 0) onLoop(0, &HX_TransportManager::processTasks);
    return;
  }
  // No answer: as if the server had confirmed.
  if (auto login = getLoginManager()) login->logoutSignal.Emit(0, 0);
}

void HX_TransportManager::onLogout(int result, int cause) {
  m_ctrl.userLoggedOut();
  bool changed = false;
  const int32_t state = getStateTrs();
  if (state == eLoggingIn || state == eLoggedIn) {
    setStateTrs(eConnected);
    changed = true;
  } else if (state == eConnectingAutoLogin) {
    setStateTrs(eConnecting);
    changed = true;
  }
  OnLogout(result, cause);
  bool pending = false;
  {
    HXAutoLock lock(m_lock);
    m_tasks.fetch_and(~eTaskLogout);
    if ((m_tasks.load() & eTaskAutoLoginAfterLogout) != 0) {
      if (changed) {
        if (auto login = getLoginManager()) login->ResetAutoLogin(true);
      }
      m_tasks.fetch_and(~eTaskAutoLoginAfterLogout);
    }
    pending = m_tasks.load() != 0;
  }
  // After a logout time-out this runs on a worker thread: the task machine belongs to the loop.
  if (pending) onLoop(0, &HX_TransportManager::processTasks);
}

bool HX_TransportManager::setReconnectState() {
  const int32_t state = getStateTrs();
  int32_t next = state;
  bool wasLoggedIn = false;
  switch (state) {
    case eConnected:
      next = eConnecting;
      break;
    case eLoggingIn:
      next = eConnectingAutoLogin;
      break;
    case eLoggedIn:
      next = eConnectingAutoLogin;
      wasLoggedIn = true;
      break;
    default:
      if ((m_tasks.load() & eTaskDisconnect) != 0) {
        m_tasks.fetch_and(~(eTaskLogout | eTaskDisconnect | eTaskAutoLoginAfterLogout));
      }
      return false;
  }
  setStateTrs(next);
  const uint32_t tasks = m_tasks.load();
  if ((tasks & eTaskAutoLoginAfterLogout) != 0) {
    if (auto login = getLoginManager()) login->ResetAutoLogin(true);
    m_tasks.fetch_and(~(eTaskLogout | eTaskDisconnect | eTaskAutoLoginAfterLogout));
  } else if ((tasks & (eTaskDisconnect | eTaskLogout)) != 0) {
    m_tasks.fetch_and(~(eTaskLogout | eTaskDisconnect | eTaskAutoLoginAfterLogout));
  }
  return wasLoggedIn;
}

// ---- login time-outs

void HX_TransportManager::scheduleLoginTimeoutCheck() {
  const uint32_t wait = timing().loginTimeoutMs.load();
  m_loginDeadline.store(static_cast<uint64_t>(hx::GetTickCount()) + wait);
  HXZServer::ScheduleJob(HXCallback::Save(this, &HX_TransportManager::timeoLoginAttempt, getStateChangeCount()),
                         wait, "Login timeo");
}

void HX_TransportManager::timeoLoginAttempt(uint32_t counter) {
  const uint64_t deadline = m_loginDeadline.load();
  if (deadline == 0 || counter != getStateChangeCount()) return;
  if (static_cast<uint64_t>(hx::GetTickCount()) + 25 >= deadline) {
    m_loginDeadline.store(0);
    loginTimedOut.Emit();
  }
}

void HX_TransportManager::OnScheduleCheckLogin(uint64_t delayMs, uint32_t tag) {
  PendingLoginCheck* pending = t_pendingLoginCheck;
  if (pending != nullptr && pending->owner == this) {
    pending->raised = true;
    pending->delayMs = delayMs;
    pending->tag = tag;
    return;
  }
  const uint32_t delay = static_cast<uint32_t>(std::min<uint64_t>(delayMs, UINT32_MAX));
  HXZServer::ScheduleUrgentJob(
      HXCallback::Save(this, &HX_TransportManager::timeoCheckLogin, getStateChangeCount(), tag), delay,
      "Check login");
}

void HX_TransportManager::timeoCheckLogin(uint32_t counter, uint32_t tag) {
  if (getStateTrs() != eLoggingIn || counter != getStateChangeCount()) return;
  if (auto login = getLoginManager()) login->CheckLogin(tag);
}

bool HX_TransportManager::onLogin(const char* login, int32_t result, const char* key, const char* appId) {
  if (result == 0) {
    HXAutoLock lock(m_lock);
    if (m_target.loginStage() > 0 && m_target.hasLoginPassword()) m_target.setLoginStage(1);
  }
  if (result == 0 || result == 1) {
    if (!m_ctrl.userLoggedIn()) return false;
    if (auto netConfig = getNetConfigManager()) {
      netConfig->UpdateConfiguration();
      netConfig->GetApplicationProperties();
    }
    setStateTrs(eLoggedIn);
    OnLogin(login, result, key, appId);
    return true;
  }
  if (result == 3 || result == 6 || result == 8 || result == 65213) setStateTrs(eConnected);
  scheduleLoginTimeoutCheck();
  return true;
}
