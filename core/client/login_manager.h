#pragma once
// HX_LoginManager: the service manager of the login service "AUTH". It composes the login,
// logout, account-update, registration-id and login-status requests, parses the server's login,
// logout and account-update messages, holds the credentials of the login under way so that the
// request can be repeated, decides whether an automatic login with the stored key is possible,
// and reports every outcome through the transport session's onLogin and its own signals.
//
// Login answers ("UserLoggedin" "Result"): 0 success (handled as 3 when "Rights" lacks bit 0x01
// or 0x10), 1 already logged in, 2 not logged in (an automatic login may follow), 3 refused, 4,
// 5, 6 and 65213 refused without touching the key, 7 retry later ("Field1" ms, 30000 when
// absent), 8 refused, 9 e-mail login request, 10 and above refused.
//
// Request counter and check-login tags: every new request and every login answer except result 4
// raise the counter, which runs from 0 to 0x7fff and wraps to 0. A check-login tag is the counter
// plus 0x10000 (a login request that may be repeated once) or 0x8000 (a retry the server asked
// for, repeated at every check). The transport manager runs CheckLogin(tag) after the delay that
// checkLoginSignal names; a tag whose counter is no longer current does nothing.
//
// Thread safety: requests may come from any thread (the transport manager's network loop and
// scheduler runner, the host's thread); incoming messages are parsed on the network-loop thread.
// The held credentials are read and written under the manager's lock; the flags and the request
// counter are atomics. Signals are emitted without the lock, on the thread that handled the
// event; connect them before messages flow.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/client/abstract_manager.h"

class HX_Container;

class HX_LoginManager : public HX_AbstractManager {
 public:
  // The credentials of the login under way, kept so that the request can be repeated.
  class RetryLoginHolder {
   public:
    enum Source : int32_t { eNone = 0, eEmail = 1, ePassword = 2, eKey = 3 };

    // Stores all four (null texts as empty) and sets the retry count to 0.
    void set(Source source, const char* login, const char* secret, const char* domain);
    // set with source 2; false (nothing changed) for a null password.
    bool setPassword(const char* login, const char* password, const char* domain);
    // set with source 3 (a stored key); false for a null key.
    bool setCookie(const char* login, const char* key, const char* domain);
    // set with source 1 (an e-mail key); false for a null key.
    bool setEmail(const char* login, const char* key, const char* domain);
    // Every text empty, source 0, retry count 0.
    void clear();
    // Raises the retry count by one; the new count.
    int32_t incrRetryCount() { return ++retryCount; }
    void resetRetryCount() { retryCount = 0; }
    bool empty() const { return source == eNone; }

    std::string login;
    std::string secret;
    std::string domain;
    Source source = eNone;
    int32_t retryCount = 0;
  };

  // The authorize hook: gets an incoming "Authorize" message and an empty reply; when it answers
  // true the reply is sent to "AUTH". Nothing in the client installs one.
  class AuthorizeHandler {
   public:
    virtual ~AuthorizeHandler() = default;
    virtual bool Authorize(const HX_Container& message, HX_Container& reply) = 0;
  };

  // Automatic-login types.
  enum AutoLoginType : int { eAutoLoginNone = 0, eAutoLoginEmail = 1, eAutoLoginKey = 2 };

  // Tag bits of check-login requests.
  static constexpr uint32_t kCheckRetryFlag = 0x8000;    // the server asked for a retry
  static constexpr uint32_t kCheckRepeatFlag = 0x10000;  // a login request, repeated once
  // The default and the bounds of a check-login delay in ms; an unanswered request waits
  // kCheckDelayMs plus up to kCheckDelayJitterMs - 1.
  static constexpr uint64_t kCheckDelayMs = 30000;
  static constexpr uint64_t kCheckDelayJitterMs = 10000;
  static constexpr uint64_t kMaxCheckDelayMs = 300000;
  // A session key older than this (ms on the tick clock) is renewed; a renewal request moves the
  // reference forward by kSessionKeyRetryMs.
  static constexpr uint64_t kSessionKeyAgeMs = 84599999;
  static constexpr uint64_t kSessionKeyRetryMs = 60000;
  // The lifetime of an e-mail login request without the "email_login_session_timeout" property.
  static constexpr uint64_t kDefaultEmailLifetimeSec = 1800;

  // Registers "AUTH". `transport` and `fsm` are not owned and must outlive the manager.
  HX_LoginManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_LoginManager() override;

  // A login with `login` and `password` (held as source 2): the counter is raised, the login
  // made a peer id, the password replaced by its MD5 in upper-case hexadecimal digits when
  // `hashPassword` is set and the session asks for encrypted passwords; then "LoginUser" is sent
  // after loginRequestSignal (SID, login) and checkLoginSignal (30000..39999 ms, counter |
  // 0x10000). False without sending when the session is not connected (states 3-5) or the
  // password is null; otherwise the queueing result. `rememberKey` decides whether the key a
  // successful login returns is stored.
  bool mLogin(const char* login, const char* password, bool rememberKey, bool hashPassword);
  // The automatic login with the session's stored login and key (source 3, or 1 for an e-mail
  // key). False without sending when it is not allowed or the stored values give type 0.
  bool Login();
  // Clears the remember-key flag and sends "LogoutUser"; the queueing result.
  bool mLogout();
  // Emits checkLoginSignal (30000..39999 ms, counter) and sends "CheckUserLoginStatus".
  bool CheckUserLoginStatus();
  // The delayed check the transport manager runs while the session state is 4: a stale tag does
  // nothing; a tag with 0x8000, or with 0x10000 while the held request was not yet repeated,
  // repeats "LoginUser" from the held credentials; otherwise CheckUserLoginStatus.
  void CheckLogin(uint32_t tag);
  // Emits checkLoginSignal (delay, flags | counter): delay 0 means 30000..39999 ms, another delay
  // is clamped to 30000..300000 ms; flag 0x8000 resets the held retry count.
  void scheduleCheckLogin(uint64_t delayMs, uint32_t flags);
  // Raises the counter and clears the held credentials. Always true.
  bool ResetRetryLogin();
  // Sets the automatic-login permission.
  void ResetAutoLogin(bool allowed);
  // Or-s `allow` into the permission; true when it is set and the stored values give type 2.
  bool CanAutoLogin(bool allow);
  // 0 while the permission is not set, else autoLoginType().
  int getAutologinType();
  // The type of the session's stored login and key with the application endpoint id. Type 1 also
  // needs an e-mail request younger than its lifetime; an expired or missing request erases the
  // stored key (and an expired one its timestamp) and gives 0.
  int autoLoginType();
  // 0 when any is empty; 1 when the login has an at-sign after its first character and the key
  // is an e-mail key; else 2.
  static int autoLoginType(const std::string& login, const std::string& key, const std::string& appId);
  // Whether `key` has at least four characters: '$', '7', '0' or '1', '$'.
  static bool isEmailKey(const std::string& key);
  static bool isEmailKey(const char* key);

  // "ReqUpdateAccount" type 4 with the given fields (null ones left out; the phone is never
  // sent); a display name is also announced through the shared state's peer-name signal, and the
  // user-details record is stored under the call id. The queueing result.
  bool SendProfileUpdate(const char* callId, const char* displayName, const char* firstName,
                         const char* lastName, const char* company, const char* phone);
  // "ReqUpdateAccount" type 3; with `hash` both passwords go as upper-case hexadecimal MD5.
  bool SendPasswordChange(const char* callId, const char* oldPassword, const char* newPassword, bool hash);
  // Asks for a new session key when it is older than 23.5 hours at `nowMs` (tick clock) and the
  // session is logged in (state 5); a request moves the reference one minute forward. True
  // without sending otherwise.
  bool SendSessionKeyUpdate(uint64_t nowMs);
  // "SetRegID" with the session's login (or `callId`) as call id and sub-type 0 or 1.
  bool SetRegID(const char* regId, int32_t subType);
  bool SetRegID(const char* callId, const char* regId, int32_t subType);

  // Handles "UserLoggedin", "UserLoggedout", "UpdateAccount" and "Authorize". True for every
  // message except an "UpdateAccount" whose handler refuses it (type 3 or 4 without "Result").
  bool ParseIncomimgMessage(HX_Container& message) override;

  // The e-mail login request: removes "EmailRequestTimestamp", writes it as now (seconds since
  // 1970), and its lifetime in seconds ("email_login_session_timeout" minutes, else 1800).
  void clearEmailLoginRequest();
  void saveEmailLoginRequestTimestamp();
  uint64_t getEmailLoginRequestLifetime() const;
  // Fills "LoginUser" from `credentials` with the keys in their wire order.
  void makeLoginCnt(HX_Container& message, const RetryLoginHolder& credentials);

  // Installs (or with null removes) the authorize hook.
  void setAuthorizeHandler(std::shared_ptr<AuthorizeHandler> handler);

  // Observers, for the transport manager and tests.
  uint32_t requestCounter() const { return m_requestCounter.load(); }
  bool rememberKey() const { return m_rememberKey.load() != 0; }
  bool autoLoginAllowed() const { return m_autoLoginAllowed.load(); }
  uint64_t lastSessionKeyTime() const { return m_lastSessionKeyTime.load(); }
  RetryLoginHolder heldCredentials() const;

  // (login, result, key, application id): the outcome of a login, after onLogin accepted it.
  hx::Signal4<const char*, int, const char*, const char*> loginResultSignal;
  // (result, cause): the server logged the user out.
  hx::Signal2<int, int> logoutSignal;
  // (result, call id, five empty texts): the answer to a profile update.
  hx::Signal7<int, const char*, const char*, const char*, const char*, const char*, const char*>
      profileUpdateResultSignal;
  // (result): the answer to a password change.
  hx::Signal1<int> passwordChangeResultSignal;
  // (restrictions): the tariff restrictions changed.
  hx::Signal1<int> tariffRestrictionSignal;
  // (SID, login): a login request was sent.
  hx::Signal2<const char*, const char*> loginRequestSignal;
  // (rights): the user's rights changed.
  hx::Signal1<int> rightsSignal;
  // (delay ms, tag): call CheckLogin(tag) after the delay.
  hx::Signal2<uint64_t, uint32_t> checkLoginSignal;
  // The tariff name changed.
  hx::Signal0<void> tariffNameSignal;

 private:
  void raiseRequestCounter();
  uint64_t randomCheckDelay() const;
  // Stores the credentials (after raising the counter), announces and sends "LoginUser".
  bool sendLoginRequest(RetryLoginHolder credentials);
  bool sendToAuth(const HX_Container& message);
  // The session's onLogin, then loginResultSignal when it accepts.
  void report(const char* login, int result, const char* key);
  void onUserLoggedIn(const HX_Container& message);
  void onUserLoggedOut(const HX_Container& message);
  bool onUpdateAccount(const HX_Container& message);
  void onAuthorize(const HX_Container& message);
  std::string userLoginDomain() const;
  std::string appId() const;

  std::atomic<uint32_t> m_rememberKey{0};
  std::atomic<uint32_t> m_requestCounter{0};
  RetryLoginHolder m_held;
  std::atomic<uint64_t> m_lastSessionKeyTime{0};
  std::atomic<bool> m_autoLoginAllowed{true};
  mutable HXLock m_lock;
  std::shared_ptr<AuthorizeHandler> m_authorize;  // guarded by m_lock

  uint32_t m_loggedInHash = 0;
  uint32_t m_loggedOutHash = 0;
  uint32_t m_updateAccountHash = 0;
  uint32_t m_authorizeHash = 0;
};
