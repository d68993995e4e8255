#include "core/client/login_manager.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "core/base/container.h"
#include "core/base/ios_log.h"
#include "core/base/tick_clock.h"
#include "core/client/console_client.h"
#include "core/client/fsm_shared.h"
#include "core/client/net_config_manager.h"
#include "core/client/protocol_constants.h"
#include "core/security/md5.h"
#include "core/transport/session.h"
#include "core/wire/name_hash.h"

namespace {

constexpr uint32_t kCounterFlags = HX_LoginManager::kCheckRetryFlag | HX_LoginManager::kCheckRepeatFlag;
constexpr uint32_t kRightsRequired = 0x01 | 0x10;
constexpr int32_t kProtocolWithoutRightsBit = 440;
constexpr uint32_t kOldProtocolRightsBit = 1u << 24;
// "EmailRequestTimestamp": at most 19 digits and the terminating NUL.
constexpr size_t kTimestampSize = 20;

bool hasRequiredRights(int32_t rights) {
  return (static_cast<uint32_t>(rights) & kRightsRequired) == kRightsRequired;
}

std::string md5Hex(const char* text) {
  char digest[kMD5HexSize] = {};
  if (HX_Cipher::md5(text, digest) == nullptr) return std::string();
  return digest;
}

int32_t intValue(const HX_Container& message, const char* name, int32_t absent) {
  int32_t value = absent;
  size_t size = sizeof(value);
  if (!message.GetValue(name, HX_CNT_INTEGER_VT, &value, size)) return absent;
  return value;
}

}  // namespace

// ---- RetryLoginHolder

void HX_LoginManager::RetryLoginHolder::set(Source src, const char* newLogin, const char* newSecret,
                                            const char* newDomain) {
  source = src;
  login = newLogin != nullptr ? newLogin : "";
  secret = newSecret != nullptr ? newSecret : "";
  domain = newDomain != nullptr ? newDomain : "";
  retryCount = 0;
}

bool HX_LoginManager::RetryLoginHolder::setPassword(const char* newLogin, const char* password,
                                                    const char* newDomain) {
  if (password == nullptr) return false;
  set(ePassword, newLogin, password, newDomain);
  return true;
}

bool HX_LoginManager::RetryLoginHolder::setCookie(const char* newLogin, const char* key,
                                                  const char* newDomain) {
  if (key == nullptr) return false;
  set(eKey, newLogin, key, newDomain);
  return true;
}

bool HX_LoginManager::RetryLoginHolder::setEmail(const char* newLogin, const char* key,
                                                 const char* newDomain) {
  if (key == nullptr) return false;
  set(eEmail, newLogin, key, newDomain);
  return true;
}

void HX_LoginManager::RetryLoginHolder::clear() {
  login.clear();
  secret.clear();
  domain.clear();
  source = eNone;
  retryCount = 0;
}

// ---- construction

HX_LoginManager::HX_LoginManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(AUTH_SRV, std::move(transport), fsm),
      m_loggedInHash(hx::NameHash(USERLOGGEDIN_METHOD)),
      m_loggedOutHash(hx::NameHash(USERLOGGEDOUT_METHOD)),
      m_updateAccountHash(hx::NameHash(UPDATEACCOUNT_METHOD)),
      m_authorizeHash(hx::NameHash(AUTHORIZE_METHOD)) {}

HX_LoginManager::~HX_LoginManager() { UnregisterServiceHandler(); }

// ---- helpers

void HX_LoginManager::raiseRequestCounter() {
  uint32_t current = m_requestCounter.load();
  uint32_t next;
  do {
    next = current + 1;
    // The counter stays clear of the two tag flags: after 0x7fff it wraps to 0.
    if ((next & kCounterFlags) != 0) next &= ~kCounterFlags;
  } while (!m_requestCounter.compare_exchange_weak(current, next));
}

uint64_t HX_LoginManager::randomCheckDelay() const {
  thread_local std::minstd_rand generator(std::random_device{}());
  return kCheckDelayMs + generator() % kCheckDelayJitterMs;
}

bool HX_LoginManager::sendToAuth(const HX_Container& message) {
  return ComposeSend(message, AUTH_SRV, nullptr, nullptr, hx::protocol::kRequestTimeLimitMs);
}

std::string HX_LoginManager::userLoginDomain() const {
  HXConsoleClient* client = consoleClient();
  return client != nullptr ? client->getUserLoginDomain() : std::string();
}

std::string HX_LoginManager::appId() const {
  HXFSMShared* fsm = getFSM();
  return fsm != nullptr ? fsm->GetAppId() : std::string();
}

HX_LoginManager::RetryLoginHolder HX_LoginManager::heldCredentials() const {
  HXAutoLock lock(m_lock);
  return m_held;
}

void HX_LoginManager::setAuthorizeHandler(std::shared_ptr<AuthorizeHandler> handler) {
  HXAutoLock lock(m_lock);
  m_authorize = std::move(handler);
}

void HX_LoginManager::makeLoginCnt(HX_Container& message, const RetryLoginHolder& credentials) {
  message.AddValue(METHOD_PARAM, LOGINUSER_METHOD);
  message.AddValue(LOGIN_PARAM, credentials.login.c_str());
  if (credentials.source == RetryLoginHolder::eKey) {
    message.AddValue(KEY_PARAM, credentials.secret.c_str());
  } else {
    message.AddValue(PASSWORD_PARAM, credentials.secret.c_str());
    message.AddValue(KEY_PARAM, "");
  }
  message.AddValue(USERDEFAULTDOMAIN_PARAM, credentials.domain.c_str());
  HXFSMShared* fsm = getFSM();
  message.AddValue(HASH_PARAM, appId().c_str());
  message.AddValue(CLIENTTYPE_PARAM, static_cast<int32_t>(fsm != nullptr ? fsm->GetClientType() : 0));
  const std::string appName = fsm != nullptr ? fsm->GetAppName() : std::string();
  message.AddValue(APPNAME_PARAM, appName.c_str());
}

bool HX_LoginManager::sendLoginRequest(RetryLoginHolder credentials) {
  raiseRequestCounter();
  const std::string login = credentials.login;
  HX_Container message;
  makeLoginCnt(message, credentials);
  {
    HXAutoLock lock(m_lock);
    m_held = std::move(credentials);
  }
  const auto& session = transportSession();
  const std::string sid = session ? session->getSid() : std::string();
  loginRequestSignal.Emit(sid.c_str(), login.c_str());
  checkLoginSignal.Emit(randomCheckDelay(), m_requestCounter.load() | kCheckRepeatFlag);
  return sendToAuth(message);
}

void HX_LoginManager::report(const char* login, int result, const char* key) {
  const auto& session = transportSession();
  const std::string id = appId();
  if (session && session->onLogin(login, result, key, id.c_str())) {
    loginResultSignal.Emit(login, result, key, id.c_str());
  }
}

// ---- requests

bool HX_LoginManager::mLogin(const char* login, const char* password, bool rememberKey, bool hashPassword) {
  ResetRetryLogin();
  const auto& session = transportSession();
  if (!session || !HX_TransportSession::isConnected(session->getStateTrs())) return false;
  if (password == nullptr) return false;
  m_rememberKey.store(rememberKey ? 1 : 0);
  std::string peerId = login != nullptr ? login : "";
  HXFSMShared* fsm = getFSM();
  if (fsm != nullptr && !peerId.empty()) peerId = fsm->GetPeerId(peerId, false);
  std::string secret = password;
  if (hashPassword && session->isEncryptPassword()) secret = md5Hex(password);
  const std::string domain = userLoginDomain();
  RetryLoginHolder credentials;
  credentials.setPassword(peerId.c_str(), secret.c_str(), domain.c_str());
  return sendLoginRequest(std::move(credentials));
}

bool HX_LoginManager::Login() {
  ResetRetryLogin();
  const auto& session = transportSession();
  if (!m_autoLoginAllowed.load() || !session) {
    ios_log("HX_LoginManager::AutoLogin ea=%d ts=%d", m_autoLoginAllowed.load() ? 1 : 0,
            session ? session->getStateTrs() : 0);
    return false;
  }
  const int type = autoLoginType();
  if (type == eAutoLoginNone) return false;
  m_rememberKey.store(1);
  const std::string login = session->getLogin();
  const std::string key = session->getCookie();
  const std::string domain = userLoginDomain();
  RetryLoginHolder credentials;
  if (type == eAutoLoginKey)
    credentials.setCookie(login.c_str(), key.c_str(), domain.c_str());
  else
    credentials.setEmail(login.c_str(), key.c_str(), domain.c_str());
  return sendLoginRequest(std::move(credentials));
}

bool HX_LoginManager::mLogout() {
  m_rememberKey.store(0);
  HX_Container message;
  message.AddValue(METHOD_PARAM, LOGOUTUSER_METHOD);
  return sendToAuth(message);
}

bool HX_LoginManager::CheckUserLoginStatus() {
  checkLoginSignal.Emit(randomCheckDelay(), m_requestCounter.load());
  HX_Container message;
  message.AddValue(METHOD_PARAM, CHECKUSERLOGINSTATUS_METHOD);
  return sendToAuth(message);
}

void HX_LoginManager::CheckLogin(uint32_t tag) {
  if ((tag & ~kCounterFlags) != m_requestCounter.load()) return;  // a later request or answer came
  if ((tag & kCounterFlags) != 0) {
    RetryLoginHolder repeat;
    {
      HXAutoLock lock(m_lock);
      if (!m_held.empty() && ((tag & kCheckRetryFlag) != 0 || m_held.incrRetryCount() <= 1)) repeat = m_held;
    }
    // The request is built outside the lock: it reads the shared state, which has its own.
    if (!repeat.empty()) {
      HX_Container message;
      makeLoginCnt(message, repeat);
      sendToAuth(message);
      checkLoginSignal.Emit(randomCheckDelay(), m_requestCounter.load() | kCheckRepeatFlag);
      return;
    }
  }
  CheckUserLoginStatus();
}

void HX_LoginManager::scheduleCheckLogin(uint64_t delayMs, uint32_t flags) {
  uint64_t delay = delayMs;
  if (delay == 0)
    delay = randomCheckDelay();
  else if (delay < kCheckDelayMs)
    delay = kCheckDelayMs;
  else if (delay > kMaxCheckDelayMs)
    delay = kMaxCheckDelayMs;
  if ((flags & kCheckRetryFlag) != 0) {
    HXAutoLock lock(m_lock);
    m_held.resetRetryCount();
  }
  checkLoginSignal.Emit(delay, flags | m_requestCounter.load());
}

bool HX_LoginManager::ResetRetryLogin() {
  HXAutoLock lock(m_lock);
  raiseRequestCounter();
  m_held.clear();
  return true;
}

void HX_LoginManager::ResetAutoLogin(bool allowed) { m_autoLoginAllowed.store(allowed); }

bool HX_LoginManager::CanAutoLogin(bool allow) {
  if (allow) m_autoLoginAllowed.store(true);
  if (!m_autoLoginAllowed.load()) return false;
  const auto& session = transportSession();
  if (!session) return false;
  return autoLoginType(session->getLogin(), session->getCookie(), appId()) == eAutoLoginKey;
}

int HX_LoginManager::getAutologinType() {
  if (!m_autoLoginAllowed.load()) return eAutoLoginNone;
  return autoLoginType();
}

bool HX_LoginManager::isEmailKey(const std::string& key) {
  return key.size() >= 4 && key[0] == '$' && key[1] == '7' && (key[2] == '0' || key[2] == '1') &&
         key[3] == '$';
}

bool HX_LoginManager::isEmailKey(const char* key) { return key != nullptr && isEmailKey(std::string(key)); }

int HX_LoginManager::autoLoginType(const std::string& login, const std::string& key, const std::string& id) {
  if (login.empty() || key.empty() || id.empty()) return eAutoLoginNone;
  const size_t at = login.find('@', 1);
  if (at != std::string::npos && isEmailKey(key)) return eAutoLoginEmail;
  return eAutoLoginKey;
}

int HX_LoginManager::autoLoginType() {
  const auto& session = transportSession();
  if (!session) return eAutoLoginNone;
  const int type = autoLoginType(session->getLogin(), session->getCookie(), appId());
  if (type != eAutoLoginEmail) return type;
  char stored[kTimestampSize + 1] = {};
  if (session->loadParam(EMAIL_REQUEST_TIMESTAMP_NAME, stored, kTimestampSize)) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long requested = std::strtoull(stored, &end, 10);
    const bool readable = end != stored && errno == 0;
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    const uint64_t lifetime = getEmailLoginRequestLifetime();
    if (readable && requested <= UINT64_MAX - lifetime && now < requested + lifetime) return type;
    clearEmailLoginRequest();
  }
  // Without a live e-mail request the key cannot log in: forget it.
  session->SetCookie("");
  return eAutoLoginNone;
}

uint64_t HX_LoginManager::getEmailLoginRequestLifetime() const {
  const auto& session = transportSession();
  if (!session) return kDefaultEmailLifetimeSec;
  const std::string text = session->getProperty(EMAIL_LOGIN_SESSION_TIMEOUT_PROPERTY);
  if (text.empty()) return kDefaultEmailLifetimeSec;
  char* end = nullptr;
  errno = 0;
  const long long minutes = std::strtoll(text.c_str(), &end, 10);
  // Minutes of more than a year are taken as a damaged value.
  constexpr long long kMaxMinutes = 366LL * 24 * 60;
  if (end == text.c_str() || errno != 0 || minutes <= 0 || minutes > kMaxMinutes) {
    return kDefaultEmailLifetimeSec;
  }
  return static_cast<uint64_t>(minutes) * 60;
}

void HX_LoginManager::clearEmailLoginRequest() {
  if (const auto& session = transportSession()) session->removeParam(EMAIL_REQUEST_TIMESTAMP_NAME);
}

void HX_LoginManager::saveEmailLoginRequestTimestamp() {
  const auto& session = transportSession();
  if (!session) return;
  char text[kTimestampSize] = {};
  const int length =
      std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(std::time(nullptr)));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(text)) return;
  session->saveParam(EMAIL_REQUEST_TIMESTAMP_NAME, text, static_cast<size_t>(length) + 1);
}

bool HX_LoginManager::SendProfileUpdate(const char* callId, const char* displayName, const char* firstName,
                                        const char* lastName, const char* company, const char* phone) {
  if (callId == nullptr) return false;
  HX_Container message;
  message.AddValue(METHOD_PARAM, REQUPDATEACCOUNT_METHOD);
  message.AddValue(TYPE_PARAM, static_cast<int32_t>(4));
  message.AddValue(CALLID_PARAM, callId);
  if (displayName != nullptr) message.AddValue(DISPLAYNAME_PARAM, displayName);
  if (firstName != nullptr) message.AddValue(FIRSTNAME_PARAM, firstName);
  if (lastName != nullptr) message.AddValue(LASTNAME_PARAM, lastName);
  if (company != nullptr) message.AddValue(USERCOMPANY_PARAM, company);
  if (HXFSMShared* fsm = getFSM()) {
    if (displayName != nullptr) fsm->peerNameUpdated.Emit(callId, displayName, true);
    fsm->SetUserDetails(
        callId, HX_UserDetailsStorage::Information(firstName, lastName, company, phone, displayName, callId),
        false);
  }
  return sendToAuth(message);
}

bool HX_LoginManager::SendPasswordChange(const char* callId, const char* oldPassword, const char* newPassword,
                                         bool hash) {
  if (callId == nullptr || oldPassword == nullptr || newPassword == nullptr) return false;
  const std::string oldValue = hash ? md5Hex(oldPassword) : std::string(oldPassword);
  const std::string newValue = hash ? md5Hex(newPassword) : std::string(newPassword);
  HX_Container message;
  message.AddValue(METHOD_PARAM, REQUPDATEACCOUNT_METHOD);
  message.AddValue(TYPE_PARAM, static_cast<int32_t>(3));
  message.AddValue(CALLID_PARAM, callId);
  message.AddValue(OLDPASSWORD_PARAM, oldValue.c_str());
  message.AddValue(NEWPASSWORD_PARAM, newValue.c_str());
  return sendToAuth(message);
}

bool HX_LoginManager::SendSessionKeyUpdate(uint64_t nowMs) {
  const auto& session = transportSession();
  if (!session || session->getStateTrs() != HX_TransportSession::eLoggedIn) return true;
  const uint64_t last = m_lastSessionKeyTime.load();
  if (nowMs <= last || nowMs - last <= kSessionKeyAgeMs) return true;
  // One request a minute, however old the key: the next reference is a minute ahead of the later
  // of (last + 1 min) and (the moment the key passed its age + 1 min).
  const uint64_t byAge = nowMs - kSessionKeyAgeMs + kSessionKeyRetryMs;
  const uint64_t byLast = last + kSessionKeyRetryMs;
  m_lastSessionKeyTime.store(byAge > byLast ? byAge : byLast);
  const std::string login = session->getLogin();
  HX_Container message;
  message.AddValue(METHOD_PARAM, REQUPDATEACCOUNT_METHOD);
  message.AddValue(CALLID_PARAM, login.c_str());
  return sendToAuth(message);
}

bool HX_LoginManager::SetRegID(const char* regId, int32_t subType) {
  const auto& session = transportSession();
  const std::string login = session ? session->getLogin() : std::string();
  return SetRegID(login.c_str(), regId, subType);
}

bool HX_LoginManager::SetRegID(const char* callId, const char* regId, int32_t subType) {
  if (callId == nullptr || regId == nullptr) return false;
  HX_Container message;
  message.AddValue(METHOD_PARAM, SETREGID_METHOD);
  message.AddValue(CALLID_PARAM, callId);
  message.AddValue(REGID_PARAM, regId);
  message.AddValue(SUBTYPE_PARAM, static_cast<int32_t>(subType != 0 ? 1 : 0));
  return sendToAuth(message);
}

// ---- incoming

bool HX_LoginManager::ParseIncomimgMessage(HX_Container& message) {
  std::string method;
  message.GetValue(METHOD_PARAM, method);
  const uint32_t hash = hx::NameHash(method.c_str());
  if (hash == m_loggedInHash) {
    onUserLoggedIn(message);
  } else if (hash == m_loggedOutHash) {
    onUserLoggedOut(message);
  } else if (hash == m_updateAccountHash) {
    return onUpdateAccount(message);
  } else if (hash == m_authorizeHash) {
    onAuthorize(message);
  }
  return true;
}

void HX_LoginManager::onUserLoggedIn(const HX_Container& message) {
  int32_t result = intValue(message, RESULT_PARAM, 7);
  std::string userName, displayName, sessionKey, tariffName, key;
  message.GetValue(USERNAME_PARAM, userName);
  const bool hasDisplayName = message.GetValue(DISPLAYNAME_PARAM, displayName);
  const bool hasSession = message.GetValue(SESSION_PARAM, sessionKey);
  message.GetValue(TARIFNAME_PARAM, tariffName);
  const bool hasKey = message.GetValue(KEY_PARAM, key);
  int32_t rights = intValue(message, RIGHTS_PARAM, 0);
  const int32_t userType = intValue(message, TYPE_PARAM, 0);
  const int32_t tariffRestr = intValue(message, TARIFRESTR_PARAM, 0);
  size_t propertySize = 0;
  const void* property = message.GetValueRef(PROPERTY_PARAM, HX_CNT_BINARY_VT, propertySize);

  if (result != 4) raiseRequestCounter();
  const bool rightsMissing = !hasRequiredRights(rights);
  if (result == 0 && rightsMissing) result = 3;

  const auto& session = transportSession();
  if (!session) return;
  HXFSMShared* fsm = getFSM();

  switch (result) {
    case 0: {
      if (const auto netConfig = session->getNetConfigManager()) {
        if (netConfig->getSrvProtocolVersion() < kProtocolWithoutRightsBit) {
          rights = static_cast<int32_t>(static_cast<uint32_t>(rights) | kOldProtocolRightsBit);
        }
      }
      session->SetLogin(userName);
      if (fsm != nullptr) fsm->SetDisplayName(hasDisplayName ? displayName.c_str() : userName.c_str());
      session->SetLoginSessionKey(hasSession ? sessionKey.c_str() : "");
      session->SetCookie(hasKey && m_rememberKey.load() == 1 ? key : std::string());
      session->SetUserRights(static_cast<uint32_t>(rights));
      session->SetUserType(static_cast<uint32_t>(userType));
      session->SetTarifRestr(static_cast<uint32_t>(tariffRestr));
      session->SetTariffName(tariffName.c_str());
      clearEmailLoginRequest();
      if (property != nullptr && propertySize != 0) session->SetUserPropertyContainer(property, propertySize);
      m_autoLoginAllowed.store(true);
      const std::string login = session->getLogin();
      report(login.c_str(), 0, key.c_str());
      m_lastSessionKeyTime.store(static_cast<uint64_t>(hx::GetTickCount()));
      rightsSignal.Emit(rights);
      return;
    }
    case 1: {
      m_autoLoginAllowed.store(true);
      clearEmailLoginRequest();
      const std::string login = session->getLogin();
      const std::string stored = session->getCookie();
      report(login.c_str(), 0, stored.c_str());
      return;
    }
    case 2: {
      const std::string login = session->getLogin();
      const std::string stored = session->getCookie();
      const int type = autoLoginType(login, stored, appId());
      if (type == eAutoLoginEmail) m_autoLoginAllowed.store(true);
      if (type != eAutoLoginNone) Login();
      session->ClearUserPropertyContainer();
      return;
    }
    case 3:
      m_autoLoginAllowed.store(false);
      clearEmailLoginRequest();
      if (m_rememberKey.load() == 1) session->SetCookie("");
      report(userName.c_str(), 3, key.c_str());
      if (rightsMissing) session->Logout(true, false);
      session->ClearUserPropertyContainer();
      return;
    case 4:
    case 5:
    case 6:
    case 65213:
      m_autoLoginAllowed.store(false);
      clearEmailLoginRequest();
      report(userName.c_str(), result, key.c_str());
      session->ClearUserPropertyContainer();
      return;
    case 7: {
      m_autoLoginAllowed.store(false);
      if (heldCredentials().empty()) ios_log("Empty login");
      // Without "Field1" the server means the usual 30 s; 0 would mean 30 to 40 s.
      const int32_t delay = intValue(message, FIELD1_PARAM, static_cast<int32_t>(kCheckDelayMs));
      scheduleCheckLogin(delay < 0 ? kCheckDelayMs : static_cast<uint64_t>(delay), kCheckRetryFlag);
      return;
    }
    case 8:
      m_autoLoginAllowed.store(false);
      clearEmailLoginRequest();
      report(userName.c_str(), 8, key.c_str());
      return;
    case 9: {
      std::string heldLogin;
      std::string emailKey;
      {
        HXAutoLock lock(m_lock);
        if (m_held.source != RetryLoginHolder::ePassword) return;
        heldLogin = m_held.login;
        if (isEmailKey(m_held.secret)) {
          m_held.source = RetryLoginHolder::eEmail;
          emailKey = m_held.secret;
        }
      }
      if (!emailKey.empty()) {
        session->SetLogin(heldLogin);
        if (emailKey[2] == '1') emailKey[2] = '0';
        session->SetCookie(emailKey);
        saveEmailLoginRequestTimestamp();
      }
      report(heldLogin.c_str(), 9, key.c_str());
      return;
    }
    default:
      // 10 and above, and any value the table does not name: a refusal.
      m_autoLoginAllowed.store(false);
      clearEmailLoginRequest();
      report(userName.c_str(), result, key.c_str());
      if (rightsMissing) session->Logout(true, false);
      return;
  }
}

void HX_LoginManager::onUserLoggedOut(const HX_Container& message) {
  const int32_t result = intValue(message, RESULT_PARAM, 0);
  const int32_t cause = intValue(message, CAUSE_PARAM, 0);
  ResetRetryLogin();
  m_rememberKey.store(0);
  const auto& session = transportSession();
  if (session && HX_TransportSession::isLoggedIn(session->getStateTrs())) {
    m_autoLoginAllowed.store(cause != 1);
    logoutSignal.Emit(result, cause);
  }
  if (cause != 0 && session) session->ClearUserPropertyContainer();
}

bool HX_LoginManager::onUpdateAccount(const HX_Container& message) {
  const auto& session = transportSession();
  int32_t type = 0;
  size_t size = sizeof(type);
  if (message.GetValue(TYPE_PARAM, HX_CNT_INTEGER_VT, &type, size) && (type == 3 || type == 4)) {
    int32_t result = 0;
    size = sizeof(result);
    if (!message.GetValue(RESULT_PARAM, HX_CNT_INTEGER_VT, &result, size)) return false;
    if (type == 4) {
      std::string callId;
      message.GetValue(CALLID_PARAM, callId);
      profileUpdateResultSignal.Emit(result, callId.c_str(), "", "", "", "", "");
    } else {
      passwordChangeResultSignal.Emit(result);
    }
    return true;
  }
  if (!session) return true;
  int32_t value = 0;
  size = sizeof(value);
  if (message.GetValue(RIGHTS_PARAM, HX_CNT_INTEGER_VT, &value, size)) {
    if (hasRequiredRights(value)) {
      session->SetUserRights(static_cast<uint32_t>(value));
      rightsSignal.Emit(value);
    } else {
      session->Logout(false, false);
    }
  }
  size = sizeof(value);
  if (message.GetValue(TARIFRESTR_PARAM, HX_CNT_INTEGER_VT, &value, size)) {
    session->SetTarifRestr(static_cast<uint32_t>(value));
    tariffRestrictionSignal.Emit(value);
  }
  std::string text;
  if (message.GetValue(DISPLAYNAME_PARAM, text)) {
    if (HXFSMShared* fsm = getFSM()) fsm->SetDisplayName(text.c_str());
  }
  if (message.GetValue(TARIFNAME_PARAM, text)) {
    session->SetTariffName(text.c_str());
    tariffNameSignal.Emit();
  }
  if (message.GetValue(SESSION_PARAM, text)) {
    session->SetLoginSessionKey(text.c_str());
    m_lastSessionKeyTime.store(static_cast<uint64_t>(hx::GetTickCount()));
  }
  size_t propertySize = 0;
  const void* property = message.GetValueRef(PROPERTY_PARAM, HX_CNT_BINARY_VT, propertySize);
  if (property != nullptr && propertySize != 0) session->SetUserPropertyContainer(property, propertySize);
  return true;
}

void HX_LoginManager::onAuthorize(const HX_Container& message) {
  std::shared_ptr<AuthorizeHandler> handler;
  {
    HXAutoLock lock(m_lock);
    handler = m_authorize;
  }
  if (!handler) return;
  HX_Container reply;
  if (handler->Authorize(message, reply)) sendToAuth(reply);
}
