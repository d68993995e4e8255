#pragma once
// The transport session as the rest of the client core sees it.
//
// HX_TransportSessionData holds the data of the signed-in session under one lock: the login and
// key of the current domain, the connection parameters (CID, server address, port and domain,
// SID), the server and user property containers, rights, user type and tariff. It keeps the login
// and key of every domain, the last server address and the last domain in a session database
// (hx::transport::SessionDB, implemented by the settings database).
//
// HX_TransportSession adds the session state (0 no connection, 1 connecting, 2 connecting with an
// automatic login to follow, 3 connected, 4 login under way, 5 logged in), its change counter, the
// transport manager's three signals, the servers list and the managers, and the virtual operations
// that the client application object implements over the transport connection.
//
// Without an attached session database, reads from it answer empty or false and writes to it do
// nothing; the in-memory session data still changes.
//
// Thread safety: every public operation of the session data takes its lock and returns copies, so
// a value stays valid while another thread (the network loop answering a login) changes it. Only
// GetPropertyNL hands out a pointer into the property containers, for code that holds the lock.
// Signals (the shared state's properties-updated signal) are emitted after the lock is released,
// so a handler may read the session from any thread. The session state and its counter are
// atomic; setStateTrs may be called from any thread, and onTrSessionStateChanged runs on the
// thread that changed the state.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/container.h"
#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/net/address/acceptor_info.h"
#include "core/transport/session_db.h"
#include "core/wire/transport_connection_param.h"
#include "core/wire/transport_login_param.h"

class HXFSMShared;
class HXSockAddr;
class HXZNativeSocketDetails;
class HX_ClientMessage;
class HX_LoginManager;      // client core: the login service
class HX_NetConfigManager;  // client core: the network-configuration service
class HX_NetListener;       // media streams: the listener of direct connections
class HX_ServersList;       // the servers list of the client's working folder

class HX_TransportSessionData {
 public:
  HX_TransportSessionData() = default;
  virtual ~HX_TransportSessionData() = default;
  HX_TransportSessionData(const HX_TransportSessionData&) = delete;
  HX_TransportSessionData& operator=(const HX_TransportSessionData&) = delete;

  // The shared client state whose presence store and properties-updated signal the session data
  // uses; null until the client application object sets it. Not owned; it must outlive the use.
  void setFSMShared(HXFSMShared* fsm);

  // Attaches another session database: forgets the connection and login parameters and the last
  // server address, then applies the database's last domain (or `defaultDomain`) as SetAppDomain
  // does. The same database again changes nothing.
  void setDatabase(std::shared_ptr<hx::transport::SessionDB> db, const std::string& defaultDomain);
  std::shared_ptr<hx::transport::SessionDB> getDatabase() const;

  // When `domain` differs from the current server domain (exact bytes): stores it, records it as
  // the database's last domain and switches the DNS client's fallback name servers for it.
  void SetAppDomain(const std::string& domain);
  std::string getDomain() const;

  // Stores the login, lower-cased as UTF-8 when that fits 255 bytes, for the current domain (here
  // and in the database). Empties the presence stores when the user or the domain changes.
  void SetLogin(const std::string& login);
  // The stored login as it is.
  std::string getLogin() const;
  // The login of the current domain, read from the database first when the stored one belongs to
  // another domain or is empty.
  std::string getLogin();
  // Stores the key of the current domain here and in the database.
  void SetCookie(const std::string& key);
  // The key of the current domain, loaded like getLogin().
  std::string getCookie();

  // The last server address; also the connection parameters' address and port and the database's.
  void SetServerAddress(const std::string& address, unsigned short port);
  // The connection parameters' address (port); when the address is empty, first loaded from the
  // database.
  std::string GetServerAddress();
  unsigned short GetServerPort();
  std::string GetLastServerAddress() const;

  void setSid(const std::string& sid);
  void clearSid();
  std::string getSid() const;

  // A null text empties the value.
  void SetLoginSessionKey(const char* key);
  std::string GetLoginSessionKey() const;
  void SetTariffName(const char* name);
  std::string getTariffName() const;
  void SetTarifRestr(uint32_t restrictions);
  uint32_t getTariffRestr() const;
  void SetUserRights(uint32_t rights);
  uint32_t getUserRights() const;
  void SetUserType(uint32_t type);
  uint32_t getUserType() const;

  // Whether the password is sent encrypted: true unless the property "authentication_method"
  // begins with "1".
  bool isEncryptPassword() const;
  // Whether `id` is the stored login, byte for byte (letter case counts); false for null.
  bool isMyId(const char* id) const;

  // Replace the server (user) properties with the container's wire form or a copy of the
  // container, then apply them. Bytes that do not deserialise leave the properties empty and
  // answer false.
  bool SetServerPropertyContainer(const void* data, size_t size);
  void SetServerPropertyContainer(const HX_Container& properties);
  bool SetUserPropertyContainer(const void* data, size_t size);
  void SetUserPropertyContainer(const HX_Container& properties);
  // When the properties are not empty: empty them and apply.
  void ClearServerPropertyContainer();
  void ClearUserPropertyContainer();
  // The user property `name` when it is a non-empty text, else the server property `name` (even
  // when empty), else "".
  std::string getProperty(const char* name) const;

  // Named raw values of the session database.
  bool loadParam(const char* name, void* buffer, size_t size);
  void saveParam(const char* name, const void* data, size_t size);
  void removeParam(const char* name);

  // Switches the DNS client's built-in fallback name servers on when `domain` ends with one of
  // the service's own domain suffixes (hx::dns::SetFallbackDomainSuffixes; letter case ignored),
  // off otherwise. An empty domain changes nothing.
  void switchKvoDnsServers(const std::string& domain) const;

 protected:
  // The session lock, for implementations that read several values at once or use GetPropertyNL.
  HXLock& sessionLock() const { return m_lock; }
  // getProperty without taking the lock: the caller holds sessionLock(). The text stays valid
  // until the property containers change.
  const char* GetPropertyNL(const char* name) const;

 private:
  // Sets the encrypt-password flag from the properties; the caller holds the lock and emits the
  // properties-updated signal (emitPropertiesUpdated) after releasing it.
  void applyPropertiesNL();
  void emitPropertiesUpdated() const;
  void SetAppDomainNL(const std::string& domain);
  void loadLoginParamsNL();

  mutable HXLock m_lock;
  std::shared_ptr<hx::transport::SessionDB> m_db;
  HXFSMShared* m_fsm = nullptr;
  std::string m_lastServerAddress;
  HX_TransportLoginParam m_loginParams;
  HX_TransportConnectionParam m_connectionParams;
  HX_Container m_serverProperties;
  std::string m_loginSessionKey;
  std::string m_tariffName;
  uint32_t m_tariffRestrictions = 0;
  HX_Container m_userProperties;
  uint32_t m_userRights = 0;
  uint32_t m_userType = 0;
};

class HX_TransportSession : public HX_TransportSessionData {
 public:
  enum State : int32_t {
    eNoConnection = 0,
    eConnecting = 1,
    eConnectingAutoLogin = 2,
    eConnected = 3,
    eLoggingIn = 4,
    eLoggedIn = 5,
  };

  HX_TransportSession() = default;
  ~HX_TransportSession() override;

  // Stores both managers (they are only kept here) and creates a new servers list in the working
  // folder of the client's environment (HXFSMShared::Env), replacing the previous list.
  // The session owns the list; the client object shuts the network loop down before it destroys
  // the session, so the list outlives the check pings it started.
  void initTrSession(std::shared_ptr<HX_LoginManager> loginManager,
                     std::shared_ptr<HX_NetConfigManager> netConfigManager);

  static bool isConnected(int32_t state) { return state >= eConnected && state <= eLoggedIn; }
  static bool isLoggedIn(int32_t state) {
    return state == eConnectingAutoLogin || state == eLoggingIn || state == eLoggedIn;
  }

  // Changes the session state. On a real change: counts it; clears the SID and the server
  // properties when the new or the old state is 0 or the client leaves the connected states 3-5;
  // then calls onTrSessionStateChanged (old, new) on this thread. The same state again does
  // nothing.
  void setStateTrs(int32_t state);
  // setStateTrs in one atomic step with a check: only while the state is still `expected`.
  // False (nothing changed) when another change came first or `state` is `expected`.
  bool setStateTrsIf(int32_t expected, int32_t state);
  int32_t getStateTrs() const { return m_state.load(); }
  uint32_t getStateChangeCount() const { return m_stateChanges.load(); }

  std::shared_ptr<HX_ServersList> getServersList() const;
  std::shared_ptr<HX_NetListener> getNetListener() const;
  std::shared_ptr<HX_LoginManager> getLoginManager() const;
  std::shared_ptr<HX_NetConfigManager> getNetConfigManager() const;

  // Implemented by the client application object over the transport connection.
  virtual uint32_t GetNextSequence() = 0;
  virtual HXZNativeSocketDetails GetTransportAddress() const = 0;
  virtual bool getLocalBind(HXSockAddr& address) const = 0;
  virtual std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const = 0;
  virtual bool Login(const char* login, const char* password, bool flag1, bool flag2) = 0;
  virtual bool Logout(bool flag1, bool flag2) = 0;
  // Takes ownership of the message; true when it was queued for sending.
  virtual bool QueuePacket(HX_ClientMessage* message) = 0;
  virtual const char* TransportCid() const = 0;
  virtual const char* TransportSid() const = 0;
  virtual void shutdown() = 0;
  virtual void onTrSessionStateChanged(int32_t oldState, int32_t newState) = 0;
  virtual bool onLogin(const char* user, int32_t type, const char* text1, const char* text2) = 0;
  virtual void onAcceptorsListUpdated(const HXZAcceptorInfo& acceptors) = 0;

  // Emitted by the transport manager when a login attempt ran out of time.
  hx::Signal0<void> loginTimedOut;
  // Emitted by the transport manager with the outcome of a connection: flag, server host, port,
  // result code, two flags.
  hx::Signal6<bool, const char*, unsigned short, int, bool, bool> connectResult;
  // Emitted by the transport manager when the server is unavailable: host, port, whether an
  // automatic login is possible.
  hx::Signal3<const char*, unsigned short, bool> serverUnavailable;

 protected:
  // Guards the four shared pointers below; they are replaced while other threads read them.
  mutable HXLock m_membersLock;
  std::shared_ptr<HX_ServersList> m_serversList;
  std::shared_ptr<HX_NetListener> m_netListener;
  std::shared_ptr<HX_LoginManager> m_loginManager;
  std::shared_ptr<HX_NetConfigManager> m_netConfigManager;

 private:
  // The effects of a change from `old` to `state` that has been made.
  void stateChanged(int32_t old, int32_t state);

  std::atomic<int32_t> m_state{eNoConnection};
  std::atomic<uint32_t> m_stateChanges{0};
};
