#include "core/client/fsm_shared.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/conference/conf_manager.h"
#include "core/security/md5.h"
#include "core/storage/db_manager.h"
#include "core/storage/settings_db.h"
#include "core/transport/session.h"

namespace {

constexpr char kAppEndpId[] = "AppEndpId";
constexpr char kSysBenchmark[] = "SysBenchmark";

}  // namespace

void HXFSMShared::HXEnvironment::SetAppDir(const std::string& dir) {
  HXAutoLock guard(m_lock);
  m_appDir = dir;
}

std::string HXFSMShared::HXEnvironment::GetAppDir() const {
  HXAutoLock guard(m_lock);
  return m_appDir;
}

void HXFSMShared::HXEnvironment::SetWorkingDir(const std::string& dir) {
  HXAutoLock guard(m_lock);
  m_workingDir = dir;
  if (!m_workingDir.empty() && m_workingDir.back() != '/') m_workingDir += '/';
}

std::string HXFSMShared::HXEnvironment::getWorkingDirStr() const {
  HXAutoLock guard(m_lock);
  return m_workingDir;
}

HXFSMShared::HXEnvironment* HXFSMShared::Env() {
  // Never destroyed: threads that outlive static destruction may still ask for the folder.
  static HXEnvironment* environment = new HXEnvironment();
  return environment;
}

HXFSMShared::HXFSMShared() : m_settings(std::make_shared<HX_SettingsDBFile>()) {
  HX_DBManager::instance()->openSettingsDB(m_settings.get(), Env()->getWorkingDirStr().c_str());
}

HXFSMShared::~HXFSMShared() = default;

// ---- manager holder

void HXFSMShared::setManagerHolder(ManagerHolderBase* holder) { m_holder = holder; }

HX_ClientManager* HXFSMShared::clientManager() const {
  ManagerHolderBase* holder = m_holder.load();
  return holder != nullptr ? holder->clientManager() : nullptr;
}

HX_ConfManager* HXFSMShared::confManager() const {
  ManagerHolderBase* holder = m_holder.load();
  return holder != nullptr ? holder->confManager() : nullptr;
}

HXConsoleClient* HXFSMShared::consoleClient() const {
  ManagerHolderBase* holder = m_holder.load();
  return holder != nullptr ? holder->consoleClient() : nullptr;
}

std::shared_ptr<HX_ContactsManager> HXFSMShared::contactsManager() const {
  ManagerHolderBase* holder = m_holder.load();
  return holder != nullptr ? holder->contactsManager() : nullptr;
}

// ---- state

hx::fsm HXFSMShared::SetFSMState(hx::fsm target) { return SetFSMState(target, m_state.load()); }

hx::fsm HXFSMShared::SetFSMState(hx::fsm target, hx::fsm expected) {
  if (target == expected) return m_state.load();
  const bool down = static_cast<int32_t>(target) < static_cast<int32_t>(expected);
  hx::fsm from = expected;
  hx::fsm to = down ? static_cast<hx::fsm>(static_cast<int32_t>(expected) - 1) : target;
  for (;;) {
    {
      HXAutoLock guard(m_lock);
      hx::fsm found = from;
      if (!m_state.compare_exchange_strong(found, to)) return found;
    }
    // Without the lock: a listener may call back into this object.
    stateChanged.Emit(to, from);
    if (to == target) return expected;
    from = to;
    to = static_cast<hx::fsm>(static_cast<int32_t>(to) - 1);
  }
}

bool HXFSMShared::IsMyConference(const char* name) const {
  if (name == nullptr) return false;
  if (static_cast<int32_t>(m_state.load()) < static_cast<int32_t>(hx::fsm::conference_pending)) return false;
  return GetConferenceName() == name;
}

// ---- identity

void HXFSMShared::SetAppName(const char* name) {
  HXAutoLock guard(m_lock);
  m_appName = name != nullptr ? name : "";
}

std::string HXFSMShared::GetAppName() const {
  HXAutoLock guard(m_lock);
  return m_appName;
}

void HXFSMShared::SetAppVersion(const char* version) {
  HXAutoLock guard(m_lock);
  m_appVersion = version != nullptr ? version : "";
}

std::string HXFSMShared::GetAppVersion() const {
  HXAutoLock guard(m_lock);
  return m_appVersion;
}

void HXFSMShared::SetDisplayName(const char* name) {
  HXAutoLock guard(m_lock);
  m_displayName = name != nullptr ? name : "";
}

std::string HXFSMShared::GetDisplayName() const {
  HXAutoLock guard(m_lock);
  return m_displayName;
}

void HXFSMShared::SetSVCMode(uint32_t mode) {
  HXAutoLock guard(m_lock);
  m_svcMode = mode;
}

uint32_t HXFSMShared::GetSVCMode() const {
  HXAutoLock guard(m_lock);
  return m_svcMode;
}

std::string HXFSMShared::GetAppId() {
  HXAutoLock guard(m_lock);
  if (!m_appId.empty()) return m_appId;
  if (!m_settings->ReadRef(kAppEndpId, m_appId, "")) m_appId.clear();
  if (m_appId.empty()) {
    char seed[64];
    std::snprintf(seed, sizeof(seed), "%x%x%x", static_cast<unsigned>(std::time(nullptr) & 0xffffffffu),
                  static_cast<unsigned>(std::rand()), static_cast<unsigned>(getpid()));
    char hex[kMD5HexSize] = {};
    if (HX_Cipher::md5(seed, hex) != nullptr) {
      m_appId = hex;
      m_settings->Write(kAppEndpId, m_appId.data(), m_appId.size());
    }
  }
  return m_appId;
}

// ---- network type

hx::network::type HXFSMShared::GetNetworkType() const {
  const hx::network::type stored = m_networkType.load();
  return (stored & hx::network::kPlatformFlag) != 0 ? hx::network::kPlatformType : stored;
}

hx::network::type HXFSMShared::GetNetworkMode() const {
  return m_networkType.load() & ~hx::network::kPlatformFlag;
}

// ---- user ids

std::string HXFSMShared::GetPeerId(const std::string& id, bool addDomain) const {
  if (!addDomain || id.empty()) return id;
  if (std::strchr(ForbiddenFix, id[0]) != nullptr) return id;
  if (id.find('@') != std::string::npos) return id;
  return id + "@" + GetAppDomain();
}

std::string HXFSMShared::GetShortPeerId(const std::string& id) {
  const size_t slash = id.rfind('/');
  return slash == std::string::npos ? id : id.substr(0, slash);
}

// ---- settings

bool HXFSMShared::LoadParam(const char* name, void* buffer, size_t length) {
  HXAutoLock guard(m_lock);
  return name != nullptr && m_settings->ReadRef(name, buffer, length);
}

void HXFSMShared::SaveParam(const char* name, const void* data, size_t length) {
  HXAutoLock guard(m_lock);
  if (name != nullptr) m_settings->Write(name, data, length);
}

void HXFSMShared::RemoveParam(const char* name) {
  HXAutoLock guard(m_lock);
  m_settings->Remove(name);
}

void HXFSMShared::SaveSysBenchmark(const SysPerformanceState& state) {
  uint8_t bytes[HX_SysPerformanceState::kBytes];
  state.ToBytes(bytes);
  SaveParam(kSysBenchmark, bytes, sizeof(bytes));
}

HXFSMShared::SysPerformanceState HXFSMShared::LoadSysBenchmark() {
  // The whole stored value, whatever its size: a short or long value is not a record.
  std::string stored;
  {
    HXAutoLock guard(m_lock);
    if (!m_settings->ReadRef(kSysBenchmark, stored, nullptr)) return SysPerformanceState();
  }
  return HX_SysPerformanceState::FromBytes(stored.data(), stored.size());
}

HX_UdpStreamsConfig HXFSMShared::getUdpStreamsConfig() {
  HXAutoLock guard(m_lock);
  if (!m_udpConfigLoaded) {
    m_udpConfig.load(*m_settings);
    m_udpConfigLoaded = true;
  }
  return m_udpConfig;
}

void HXFSMShared::setUdpStreamsConfig(const HX_UdpStreamsConfig& config) {
  HXAutoLock guard(m_lock);
  m_udpConfig = config;
  m_udpConfigLoaded = true;
  m_udpConfig.save(*m_settings);
}

// ---- transport session wrapper

namespace hx {

void TransportSessionInfoWrapper::setTransportSession(std::shared_ptr<HX_TransportSession> session) {
  HXAutoLock guard(m_lock);
  m_session = std::move(session);
}

std::shared_ptr<HX_TransportSession> TransportSessionInfoWrapper::session() const {
  HXAutoLock guard(m_lock);
  return m_session;
}

std::string TransportSessionInfoWrapper::GetLogin() const {
  const auto s = session();
  return s ? static_cast<const HX_TransportSessionData&>(*s).getLogin() : std::string();
}
std::string TransportSessionInfoWrapper::GetLoginSessionKey() const {
  const auto s = session();
  return s ? s->GetLoginSessionKey() : std::string();
}
std::string TransportSessionInfoWrapper::GetSID() const {
  const auto s = session();
  return s ? s->getSid() : std::string();
}
std::string TransportSessionInfoWrapper::GetAppDomain() const {
  const auto s = session();
  return s ? s->getDomain() : std::string();
}
std::string TransportSessionInfoWrapper::GetServerAddress() const {
  const auto s = session();
  return s ? s->GetServerAddress() : std::string();
}
uint16_t TransportSessionInfoWrapper::GetServerPort() const {
  const auto s = session();
  return s ? s->GetServerPort() : 0;
}
uint32_t TransportSessionInfoWrapper::GetRights() const {
  const auto s = session();
  return s ? s->getUserRights() : 0;
}
uint32_t TransportSessionInfoWrapper::GetType() const {
  const auto s = session();
  return s ? s->getUserType() : 0;
}
std::string TransportSessionInfoWrapper::GetTariffName() const {
  const auto s = session();
  return s ? s->getTariffName() : std::string();
}
void TransportSessionInfoWrapper::SetTariffName(const char* name) {
  if (name == nullptr) return;
  if (const auto s = session()) s->SetTariffName(name);
}
uint32_t TransportSessionInfoWrapper::GetTarifRestr() const {
  const auto s = session();
  return s ? s->getTariffRestr() : 0;
}
std::string TransportSessionInfoWrapper::GetProperty(const char* name) const {
  const auto s = session();
  return s && name != nullptr ? s->getProperty(name) : std::string();
}
bool TransportSessionInfoWrapper::IsMyId(const char* id) const {
  const auto s = session();
  return s && id != nullptr && s->isMyId(id);
}

}  // namespace hx

// ---- active conference wrapper

template <typename T, typename F>
T HXActiveConferenceWrapper::FromActive(T def, F read) const {
  HX_ConfManager* manager = confManager();
  if (manager == nullptr) return def;
  ConferenceLock lock;
  if (!manager->confStorage()->activeConferenceRLock(lock)) return def;
  return read(*lock.conference());
}

HX_Conference_Type HXActiveConferenceWrapper::GetConferenceType() const {
  HX_ConfManager* manager = confManager();
  return manager != nullptr ? manager->confStorage()->currConferenceType() : 0;
}

int32_t HXActiveConferenceWrapper::CastConferenceType() const {
  return FromActive<int32_t>(1, [](const HX_Conference& c) {
    if (c.getType() == 0) return 0;
    switch (c.getSubType()) {
      case 3:
        return 3;
      case 1:
        return 2;
      default:
        return 1;
    }
  });
}

int32_t HXActiveConferenceWrapper::GetConferenceSubType() const {
  return FromActive<int32_t>(0, [](const HX_Conference& c) { return c.getSubType(); });
}
int32_t HXActiveConferenceWrapper::GetConferenceScope() const {
  return FromActive<int32_t>(-1, [](const HX_Conference& c) { return c.getScope(); });
}
bool HXActiveConferenceWrapper::GetConferenceAudio() const {
  return FromActive<bool>(false, [](const HX_Conference& c) { return c.isAudioOnly(); });
}
uint32_t HXActiveConferenceWrapper::GetConferenceMaxCast() const {
  return FromActive<uint32_t>(0, [](const HX_Conference& c) { return c.getMaxCast(); });
}
uint32_t HXActiveConferenceWrapper::GetConferenceMaxParticipants() const {
  return FromActive<uint32_t>(
      0, [](const HX_Conference& c) { return static_cast<uint32_t>(c.getMaxParticipants()); });
}
std::string HXActiveConferenceWrapper::GetConferenceName() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.getName(); });
}
std::string HXActiveConferenceWrapper::GetConferenceSID() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.getSID(); });
}
std::string HXActiveConferenceWrapper::GetConferenceCID() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.getCallId(); });
}
std::string HXActiveConferenceWrapper::GetConferenceOwner() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.owner(); });
}
std::string HXActiveConferenceWrapper::GetConferenceServer() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.getServerId(); });
}
std::string HXActiveConferenceWrapper::GetConferenceSIDDomain() const {
  return FromActive<std::string>("", [](const HX_Conference& c) { return c.getDomain(); });
}
std::set<conference::PeerId> HXActiveConferenceWrapper::GetConferenceIdList() const {
  return FromActive<std::set<conference::PeerId>>({}, [](const HX_Conference& c) {
    std::set<conference::PeerId> ids;
    c.getConferenceIdList(ids);
    return ids;
  });
}
int32_t HXActiveConferenceWrapper::GetConferenceIdRole(const char* id) const {
  if (id == nullptr) return 1;
  return FromActive<int32_t>(1, [id](const HX_Conference& c) { return c.getConferenceIdRole(id); });
}
int32_t HXActiveConferenceWrapper::getConferenceIdLeaderType(const char* id) const {
  if (id == nullptr) return 0;
  return FromActive<int32_t>(0, [id](const HX_Conference& c) { return c.getLeaderType(id); });
}
std::string HXActiveConferenceWrapper::GetLastConferenceSID() const {
  HX_ConfManager* manager = confManager();
  return manager != nullptr ? manager->confStorage()->lastConferenceSID() : std::string();
}
