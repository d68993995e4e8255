#include "core/client/transport_manager.h"

#include "core/client/fsm_shared.h"
#include "core/client/service_managers.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/sock_addr.h"
#include "core/net/socket/native_socket_details.h"
#include "core/storage/settings_db.h"
#include "core/transport/transport.h"
#include "core/wire/client_message.h"

HX_TransportManager::HX_TransportManager()
    : m_self(static_cast<HX_TransportSession*>(this), [](HX_TransportSession*) {}) {}

HX_TransportManager::~HX_TransportManager() {
  std::shared_ptr<HXZTransport> connection;
  {
    HXAutoLock lock(m_lock);
    connection = std::move(m_connection);
  }
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
  connection->sigServerUnavailable.Connect(this, &HX_TransportManager::OnServerUnavailable);
  {
    HXAutoLock lock(m_lock);
    m_connection = connection;
  }
  auto login = std::make_shared<HX_LoginManager>(transport(), fsm);
  auto netConfig = std::make_shared<HX_NetConfigManager>(transport(), fsm);
  netConfig->endpointListSignal.Connect(this, &HX_TransportManager::SaveEndpoints);
  netConfig->redirectSignal.Connect(this, &HX_TransportManager::OnRedirectListArrived);
  login->logoutSignal.Connect(this, &HX_TransportManager::onLogout);
  login->rightsSignal.Connect(this, &HX_TransportManager::onRightsUpdated);
  login->checkLoginSignal.Connect(this, &HX_TransportManager::OnScheduleCheckLogin);
  initTrSession(login, netConfig);
  setFSMShared(fsm);
  if (fsm != nullptr) {
    const char* domain = GetAppDefaultDomain();
    setDatabase(fsm->SettingsDB(), domain != nullptr ? domain : "");
    fsm->setTransportSession(transport());
  }
}

std::shared_ptr<HXZTransport> HX_TransportManager::connection() const {
  HXAutoLock lock(m_lock);
  return m_connection;
}

uint32_t HX_TransportManager::GetNextSequence() {
  const auto c = connection();
  return c ? c->GetNextSequence() : 0;
}

HXZNativeSocketDetails HX_TransportManager::GetTransportAddress() const {
  const auto c = connection();
  return c ? c->GetTransportAddress() : HXZNativeSocketDetails();
}

bool HX_TransportManager::getLocalBind(HXSockAddr& address) const {
  const auto c = connection();
  return c ? c->getLocalBind(address) : false;
}

std::shared_ptr<HX_TransportConnectionParam> HX_TransportManager::getConnectionParam() const {
  const auto c = connection();
  return c ? c->getConnectionParam() : nullptr;
}

bool HX_TransportManager::Login(const char*, const char*, bool, bool) { return false; }
bool HX_TransportManager::Logout(bool, bool) { return false; }

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
  const auto param = getConnectionParam();
  cid = param ? param->getCID() : std::string();
  return cid.c_str();
}

const char* HX_TransportManager::TransportSid() const {
  thread_local std::string sid;
  sid = getSid();
  return sid.c_str();
}

void HX_TransportManager::shutdown() {
  const auto c = connection();
  if (c) c->DisconnectServer();
}

bool HX_TransportManager::onLogin(const char*, int32_t, const char*, const char*) { return false; }
void HX_TransportManager::onAcceptorsListUpdated(const HXZAcceptorInfo&) {}
void HX_TransportManager::getLocalIPList(HXIpIfAddrSet&) {}

void HX_TransportManager::OnServerUpdate(HX_TransportConnectionParam, const char*, int, bool) {}
void HX_TransportManager::OnServerUnavailable(const char*, unsigned short, long) {}
void HX_TransportManager::onLogout(int result, int cause) { OnLogout(result, cause); }
void HX_TransportManager::onRightsUpdated(int rights) { OnRightsUpdated(rights); }
void HX_TransportManager::OnScheduleCheckLogin(uint64_t, uint32_t) {}
void HX_TransportManager::SaveEndpoints(const char*, const char*, const HX_TransportEndpointList&) {}
void HX_TransportManager::OnRedirectListArrived(const char*, const HX_TransportEndpointList&) {}
