#include "core/transport/session.h"

#include <cstring>

#include "core/base/utf8_case.h"
#include "core/client/fsm_shared.h"
#include "core/net/dns/name_server_settings.h"
#include "core/net/loop/zserver.h"
#include "core/transport/servers_list.h"

namespace {

// The longest lower-cased login, in bytes with its terminating zero.
constexpr size_t kLoginBufferSize = 255;

std::string lowerLogin(const std::string& login) {
  if (login.empty()) return login;
  char buffer[kLoginBufferSize];
  size_t size = sizeof buffer;
  if (utf8lcstr(login.data(), login.size(), buffer, &size) != 0) return login;
  return std::string(buffer, size);
}

// The text of a string entry, or null when there is none.
const char* stringProperty(const HX_Container& properties, const char* name) {
  size_t size = 0;
  const void* value = properties.GetValueRef(name, HX_CNT_STRING_VT, size);
  if (value == nullptr || size == 0) return nullptr;
  return static_cast<const char*>(value);
}

}  // namespace

void HX_TransportSessionData::setFSMShared(HXFSMShared* fsm) {
  HXAutoLock guard(m_lock);
  m_fsm = fsm;
}

void HX_TransportSessionData::setDatabase(std::shared_ptr<hx::transport::SessionDB> db,
                                          const std::string& defaultDomain) {
  HXAutoLock guard(m_lock);
  if (db == m_db) return;
  m_db = std::move(db);
  m_connectionParams.clear();
  m_loginParams.clear();
  m_lastServerAddress.clear();
  const std::string domain = m_db ? m_db->getLastConnectedDomain(defaultDomain) : defaultDomain;
  SetAppDomainNL(domain);
}

std::shared_ptr<hx::transport::SessionDB> HX_TransportSessionData::getDatabase() const {
  HXAutoLock guard(m_lock);
  return m_db;
}

void HX_TransportSessionData::SetAppDomain(const std::string& domain) {
  HXAutoLock guard(m_lock);
  SetAppDomainNL(domain);
}

void HX_TransportSessionData::SetAppDomainNL(const std::string& domain) {
  if (domain == m_connectionParams.getServerDomain()) return;
  m_connectionParams.setServerDomain(domain);
  if (m_db) m_db->setLastConnectedDomain(domain);
  switchKvoDnsServers(domain);
}

std::string HX_TransportSessionData::getDomain() const {
  HXAutoLock guard(m_lock);
  return m_connectionParams.getServerDomain();
}

void HX_TransportSessionData::SetLogin(const std::string& login) {
  const std::string stored = lowerLogin(login);
  HXAutoLock guard(m_lock);
  const std::string& domain = m_connectionParams.getServerDomain();
  if (m_fsm != nullptr &&
      (m_loginParams.getDomain() != domain || m_loginParams.getLogin() != stored)) {
    m_fsm->ClearStatusHolder();
    m_fsm->ClearExtStatusHolder();
  }
  m_loginParams.SetDomainLogin(domain, stored);
  if (m_db) m_db->SetDomainLogin(domain, stored);
}

std::string HX_TransportSessionData::getLogin() const {
  HXAutoLock guard(m_lock);
  return m_loginParams.getLogin();
}

void HX_TransportSessionData::loadLoginParamsNL() {
  const std::string& domain = m_connectionParams.getServerDomain();
  std::string login;
  std::string key;
  if (!m_db || !m_db->GetLoginParams(domain, login, key)) {
    login.clear();
    key.clear();
  }
  m_loginParams.SetLoginParams(domain, login, key);
}

std::string HX_TransportSessionData::getLogin() {
  HXAutoLock guard(m_lock);
  if (m_loginParams.getDomain() != m_connectionParams.getServerDomain() ||
      m_loginParams.getLogin().empty()) {
    loadLoginParamsNL();
  }
  return m_loginParams.getLogin();
}

void HX_TransportSessionData::SetCookie(const std::string& key) {
  HXAutoLock guard(m_lock);
  const std::string& domain = m_connectionParams.getServerDomain();
  m_loginParams.SetDomainKey(domain, key);
  if (m_db) m_db->SetDomainKey(domain, key);
}

std::string HX_TransportSessionData::getCookie() {
  HXAutoLock guard(m_lock);
  if (m_loginParams.getDomain() != m_connectionParams.getServerDomain() ||
      m_loginParams.getKey().empty()) {
    loadLoginParamsNL();
  }
  return m_loginParams.getKey();
}

void HX_TransportSessionData::SetServerAddress(const std::string& address, unsigned short port) {
  HXAutoLock guard(m_lock);
  m_lastServerAddress = address;
  m_connectionParams.setServerAddress(address, port);
  if (m_db) m_db->setServerAddress(address, port);
}

std::string HX_TransportSessionData::GetServerAddress() {
  HXAutoLock guard(m_lock);
  if (m_connectionParams.getServerAddress().empty() && m_db) {
    unsigned short port = 0;
    const std::string address = m_db->getServerAddress(port);
    m_connectionParams.setServerAddress(address, port);
  }
  return m_connectionParams.getServerAddress();
}

unsigned short HX_TransportSessionData::GetServerPort() {
  HXAutoLock guard(m_lock);
  if (m_connectionParams.getServerAddress().empty() && m_db) {
    unsigned short port = 0;
    const std::string address = m_db->getServerAddress(port);
    m_connectionParams.setServerAddress(address, port);
  }
  return m_connectionParams.getServerPort();
}

std::string HX_TransportSessionData::GetLastServerAddress() const {
  HXAutoLock guard(m_lock);
  return m_lastServerAddress;
}

void HX_TransportSessionData::setSid(const std::string& sid) {
  HXAutoLock guard(m_lock);
  m_connectionParams.setSID(sid);
}

void HX_TransportSessionData::clearSid() {
  HXAutoLock guard(m_lock);
  m_connectionParams.clearSid();
}

std::string HX_TransportSessionData::getSid() const {
  HXAutoLock guard(m_lock);
  return m_connectionParams.getSID();
}

void HX_TransportSessionData::SetLoginSessionKey(const char* key) {
  HXAutoLock guard(m_lock);
  m_loginSessionKey = key == nullptr ? std::string() : std::string(key);
}

std::string HX_TransportSessionData::GetLoginSessionKey() const {
  HXAutoLock guard(m_lock);
  return m_loginSessionKey;
}

void HX_TransportSessionData::SetTariffName(const char* name) {
  HXAutoLock guard(m_lock);
  m_tariffName = name == nullptr ? std::string() : std::string(name);
}

std::string HX_TransportSessionData::getTariffName() const {
  HXAutoLock guard(m_lock);
  return m_tariffName;
}

void HX_TransportSessionData::SetTarifRestr(uint32_t restrictions) {
  HXAutoLock guard(m_lock);
  m_tariffRestrictions = restrictions;
}

uint32_t HX_TransportSessionData::getTariffRestr() const {
  HXAutoLock guard(m_lock);
  return m_tariffRestrictions;
}

void HX_TransportSessionData::SetUserRights(uint32_t rights) {
  HXAutoLock guard(m_lock);
  m_userRights = rights;
}

uint32_t HX_TransportSessionData::getUserRights() const {
  HXAutoLock guard(m_lock);
  return m_userRights;
}

void HX_TransportSessionData::SetUserType(uint32_t type) {
  HXAutoLock guard(m_lock);
  m_userType = type;
}

uint32_t HX_TransportSessionData::getUserType() const {
  HXAutoLock guard(m_lock);
  return m_userType;
}

bool HX_TransportSessionData::isEncryptPassword() const {
  HXAutoLock guard(m_lock);
  return m_loginParams.getEncryptPassword();
}

bool HX_TransportSessionData::isMyId(const char* id) const {
  if (id == nullptr) return false;
  HXAutoLock guard(m_lock);
  return m_loginParams.getLogin() == id;
}

bool HX_TransportSessionData::SetServerPropertyContainer(const void* data, size_t size) {
  bool ok;
  {
    HXAutoLock guard(m_lock);
    m_serverProperties.Clear();
    ok = data != nullptr && m_serverProperties.Deserialize(data, size);
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
  return ok;
}

void HX_TransportSessionData::SetServerPropertyContainer(const HX_Container& properties) {
  {
    HXAutoLock guard(m_lock);
    m_serverProperties.Clear();
    properties.CopyTo(m_serverProperties);
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
}

bool HX_TransportSessionData::SetUserPropertyContainer(const void* data, size_t size) {
  bool ok;
  {
    HXAutoLock guard(m_lock);
    m_userProperties.Clear();
    ok = data != nullptr && m_userProperties.Deserialize(data, size);
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
  return ok;
}

void HX_TransportSessionData::SetUserPropertyContainer(const HX_Container& properties) {
  {
    HXAutoLock guard(m_lock);
    m_userProperties.Clear();
    properties.CopyTo(m_userProperties);
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
}

void HX_TransportSessionData::ClearServerPropertyContainer() {
  {
    HXAutoLock guard(m_lock);
    if (m_serverProperties.IsEmpty()) return;
    m_serverProperties.Clear();
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
}

void HX_TransportSessionData::ClearUserPropertyContainer() {
  {
    HXAutoLock guard(m_lock);
    if (m_userProperties.IsEmpty()) return;
    m_userProperties.Clear();
    applyPropertiesNL();
  }
  emitPropertiesUpdated();
}

std::string HX_TransportSessionData::getProperty(const char* name) const {
  HXAutoLock guard(m_lock);
  return GetPropertyNL(name);
}

const char* HX_TransportSessionData::GetPropertyNL(const char* name) const {
  if (name == nullptr || *name == '\0') return "";
  const char* user = stringProperty(m_userProperties, name);
  if (user != nullptr && *user != '\0') return user;
  const char* server = stringProperty(m_serverProperties, name);
  return server != nullptr ? server : "";
}

void HX_TransportSessionData::applyPropertiesNL() {
  m_loginParams.setEncryptPassword(GetPropertyNL("authentication_method")[0] != '1');
}

void HX_TransportSessionData::emitPropertiesUpdated() const {
  // The pointer is read under the lock; the signal runs without it, so a handler on this thread
  // or a reader on another never waits on a lock held across foreign code.
  HXFSMShared* fsm;
  {
    HXAutoLock guard(m_lock);
    fsm = m_fsm;
  }
  if (fsm != nullptr) fsm->propertiesUpdated.Emit();
}

bool HX_TransportSessionData::loadParam(const char* name, void* buffer, size_t size) {
  HXAutoLock guard(m_lock);
  return m_db && m_db->ReadRef(name, buffer, size);
}

void HX_TransportSessionData::saveParam(const char* name, const void* data, size_t size) {
  HXAutoLock guard(m_lock);
  if (m_db) m_db->Write(name, data, size);
}

void HX_TransportSessionData::removeParam(const char* name) {
  HXAutoLock guard(m_lock);
  if (m_db) m_db->Remove(name);
}

void HX_TransportSessionData::switchKvoDnsServers(const std::string& domain) const {
  if (domain.empty()) return;
  HXZServer::EnableKvoDnsServers(hx::dns::DomainUsesFallbackNameServers(domain));
}

HX_TransportSession::~HX_TransportSession() {
  // Taken out under the lock, destroyed after it: a manager's destructor waits for the service
  // table, whose dispatch may be asking this session for a manager meanwhile.
  std::shared_ptr<HX_ServersList> list;
  std::shared_ptr<HX_NetListener> listener;
  std::shared_ptr<HX_LoginManager> login;
  std::shared_ptr<HX_NetConfigManager> netConfig;
  {
    HXAutoLock guard(m_membersLock);
    list = std::move(m_serversList);
    listener = std::move(m_netListener);
    login = std::move(m_loginManager);
    netConfig = std::move(m_netConfigManager);
  }
  list.reset();
  listener.reset();
  login.reset();
  netConfig.reset();
}

void HX_TransportSession::initTrSession(std::shared_ptr<HX_LoginManager> loginManager,
                                        std::shared_ptr<HX_NetConfigManager> netConfigManager) {
  // Made outside the lock: opening the database takes the global database lock.
  auto list = std::make_shared<HX_ServersList>(HXFSMShared::Env()->getWorkingDirStr());
  HXAutoLock guard(m_membersLock);
  m_loginManager = std::move(loginManager);
  m_netConfigManager = std::move(netConfigManager);
  m_serversList = std::move(list);
}

void HX_TransportSession::setStateTrs(int32_t state) {
  const int32_t old = m_state.exchange(state);
  if (old == state) return;
  stateChanged(old, state);
}

bool HX_TransportSession::setStateTrsIf(int32_t expected, int32_t state) {
  if (expected == state) return false;
  int32_t old = expected;
  if (!m_state.compare_exchange_strong(old, state)) return false;
  stateChanged(old, state);
  return true;
}

void HX_TransportSession::stateChanged(int32_t old, int32_t state) {
  ++m_stateChanges;
  if (state == eNoConnection || old == eNoConnection || (isConnected(old) && !isConnected(state))) {
    clearSid();
    ClearServerPropertyContainer();
  }
  onTrSessionStateChanged(old, state);
}

std::shared_ptr<HX_ServersList> HX_TransportSession::getServersList() const {
  HXAutoLock guard(m_membersLock);
  return m_serversList;
}

std::shared_ptr<HX_NetListener> HX_TransportSession::getNetListener() const {
  HXAutoLock guard(m_membersLock);
  return m_netListener;
}

std::shared_ptr<HX_LoginManager> HX_TransportSession::getLoginManager() const {
  HXAutoLock guard(m_membersLock);
  return m_loginManager;
}

std::shared_ptr<HX_NetConfigManager> HX_TransportSession::getNetConfigManager() const {
  HXAutoLock guard(m_membersLock);
  return m_netConfigManager;
}
