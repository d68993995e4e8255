#pragma once
// HX_TransportManager: the part of the client application object that owns the one connection to
// the server (HXZTransport), the login service and the network-configuration service, and decides
// when to connect, disconnect, log in, log in again and log out, which server to try and when.
//
// Requests (ConnectLast, ConnectService, ConnectServer, ConnectTransport, DisconnectServer, ...)
// come from any thread and only set task bits under the manager's lock; the task processing
// (processTasks) always runs on the network loop, as does every connection attempt, server
// answer, redirect and network-type change. Timed checks (login and logout time-outs, the
// servers-list events) run as scheduler jobs and hand loop work back to the loop.
//
// Task bits:
//   0x01 logout in progress        0x02 disconnect      0x04 connect
//   0x08 reconnect to a redirect target once no conference is open
//   0x10 allow automatic login again when the logout ends
//   0x20 log in again (relogin)    0x40 log in with the target's login parameters
// Setting the connect task clears 0x08, 0x20 and 0x40; setting the disconnect task clears 0x04,
// 0x08, 0x20 and 0x40.
//
// Session states (HX_TransportSession::State) driven here: a connect run 0 -> 1 or 2 (2 when an
// automatic login is possible); the server answered -> 3 or 4; Login -> 4; a successful login
// answer -> 5; failed login answers 3, 6, 8, 65213 -> 3; logout answered or timed out 4/5 -> 3
// and 2 -> 1; server lost 3 -> 1, 4 -> 2, 5 -> 2; disconnect task -> 0.
//
// Lifetime: lives as long as the client object. updateTransportManager must run before any
// request. Jobs this object schedules point at it: the network loop (and its worker pool) must be
// shut down before the object is destroyed (the loop's shutdown deletes the jobs that wait).
//
// Thread safety: requests may be called from any thread. The lock is recursive, so a request made
// from a hook on the same thread does not block. Task bits, accessibility, the session state,
// its change counter, the connection generation and the login deadline are atomics; the attempt
// record, the connect target, the event map and the local bind address are guarded by the lock.
// Signals are emitted without holding the lock.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/stored_task.h"
#include "core/client/transport_attempt.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/transport/session.h"
#include "core/transport/transport_target.h"
#include "core/wire/endpoint_record.h"

class HXFSMShared;
class HXIpIfAddrSet;
class HXZTransport;
class HX_DomainServersList;

class HX_TransportManager : public HX_TransportSession {
 public:
  enum Task : uint32_t {
    eTaskLogout = 0x01,
    eTaskDisconnect = 0x02,
    eTaskConnect = 0x04,
    eTaskRedirect = 0x08,
    eTaskAutoLoginAfterLogout = 0x10,
    eTaskRelogin = 0x20,
    eTaskLogin = 0x40,
  };

  // Timed events of the servers list.
  enum TrEvent : int32_t { eEventUpdateServersList = 0, eEventCheckBetterHost = 1 };

  // The delays of the manager. The defaults are the system's; tests shorten them (set before
  // connecting, Reset afterwards).
  struct Timing {
    std::atomic<uint32_t> serviceCheckMs{45000};       // cloud check, fallback to the default server
    std::atomic<uint32_t> cidLifetimeSec{30};          // a lost session's CID is kept that long
    std::atomic<uint32_t> eventMinIntervalMs{240000};  // servers-list updates at most this often
    std::atomic<uint32_t> betterHostDelayMs{30000};    // better-host check after an update
    std::atomic<uint32_t> loginTimeoutMs{30000};       // login deadline
    std::atomic<uint32_t> logoutWaitAutoMs{250};       // logout answer wait, automatic login after
    std::atomic<uint32_t> logoutWaitMs{1500};          // logout answer wait otherwise
    std::atomic<uint32_t> conferenceRetryMs{800};      // first retry after a failure in a conference
    void Reset();
  };
  static Timing& timing();

  // The connect target: a transport target, the connect-last flag and the login stage.
  class TransportTarget : public HX_TransportTarget {
   public:
    TransportTarget() = default;
    // Takes the target over: connect-last cleared, login stage 1 with login parameters, else 0.
    TransportTarget& operator=(HX_TransportTarget&& target);
    // Not empty while the connect-last flag is set.
    bool empty() const { return !m_connectLast && HX_TransportTarget::empty(); }
    bool connectLast() const { return m_connectLast; }
    void setConnectLast() { m_connectLast = true; }
    int32_t loginStage() const { return m_loginStage; }
    void setLoginStage(int32_t stage) { m_loginStage = stage; }

   private:
    bool m_connectLast = false;
    int32_t m_loginStage = 0;
  };

  using TransportSessionCtrlInfo = HX_TransportSessionCtrlInfo;

  HX_TransportManager();
  ~HX_TransportManager() override;
  HX_TransportManager(const HX_TransportManager&) = delete;
  HX_TransportManager& operator=(const HX_TransportManager&) = delete;

  // Keeps `fsm`; creates the connection and connects its two signals; creates the login and
  // network-configuration managers and connects their signals; makes the servers list
  // (initTrSession) and connects its update signal; attaches the shared state's settings
  // database as session database (default domain GetAppDefaultDomain) and hands the session
  // pointer to the shared state. Once, before any request.
  void updateTransportManager(HXFSMShared* fsm);
  // Registers the conference-count listener with the conference store of the shared state's
  // conference manager. The network listener of direct media is not made here yet, so the
  // answer is false (no UDP listener installed).
  bool initTransportManagerConfStorageListener();

  // Clears the task bits, the network loop's interface list (so that the next network type
  // counts as a change) and the shared state's presence status.
  void reset();
  // This object as a transport session, with a deleter that does nothing.
  std::shared_ptr<HX_TransportSession> transport() const { return m_self; }
  // The connection, null before updateTransportManager.
  std::shared_ptr<HXZTransport> connection() const;
  // Or-s `set` into the task bits, clears `clear`, and runs processTasks on the network loop.
  void scheduleTasks(uint32_t set, uint32_t clear);

  // --- Requests, from any thread; each returns at once.
  // Reconnects to the last server of the stored session. Refused (false) while the session
  // state is not 0 and no disconnect is pending.
  bool ConnectLast();
  // A cloud connection to the default domain (GetAppDefaultDomain) or to `domain`.
  void ConnectService();
  void ConnectService(const std::string& domain);
  // A connection to one server; false for a null or empty host or port 0.
  bool ConnectServer(const char* host, uint16_t port);
  // A connection to `target` (false when empty). Connected (state 3 or 5, nothing pending) to
  // the same session: in state 5 `sameSession` and nothing changes; a forced login change (or
  // the same session in state 3) logs in (3) or again (5) without reconnecting. Else a full
  // reconnect.
  bool ConnectTransport(HX_TransportTarget target, bool& sameSession);
  // Nothing in state 0; otherwise the disconnect task (in state 5 a logout first).
  void DisconnectServer();
  // A login with a password; in state 4 with the login deadline armed when it was queued.
  bool Login(const char* login, const char* password, bool rememberKey, bool hashPassword) override;
  // Logs out (logout); always true. The host's plain logout passes (true, false).
  bool Logout(bool allowAutoLoginAfter, bool keepKey) override;
  // Logs "Schedule setNetworkType %d %s" and runs setNetworkType on the network loop.
  void SetNetworkType(int32_t type, bool forceReset);
  // The login session key as it is now; asks the server for a fresh one when it is old.
  std::string GetSessionKey(uint64_t nowMs);
  // Stores a domain's servers list in the servers list. Always true.
  bool saveServersList(const HX_DomainServersList& list);

  // --- HX_TransportSession.
  uint32_t GetNextSequence() override;
  HXZNativeSocketDetails GetTransportAddress() const override;
  // The local address of the last connection; false when there is none.
  bool getLocalBind(HXSockAddr& address) const override;
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override;
  bool QueuePacket(HX_ClientMessage* message) override;
  // The CID and SID of the attempt record, copied into a buffer of the calling thread: the text
  // stays valid until that thread asks again.
  const char* TransportCid() const override;
  const char* TransportSid() const override;
  // Sets the network type to 0 (the network listener of direct media is not made yet).
  void shutdown() override;
  // The session's reaction to a login answer; true lets the login manager report it.
  bool onLogin(const char* login, int32_t result, const char* key, const char* appId) override;
  // "UpdateConfiguration" while connected.
  void onAcceptorsListUpdated(const HXZAcceptorInfo& acceptors) override;
  // The device's interface addresses.
  virtual void getLocalIPList(HXIpIfAddrSet& list);

  // Whether the local bind address changed since the last call; clears the flag.
  bool transportLocalBindResetTrigger();
  // Calls onIfAddrListChanged (set) when `force` is set (there is no network listener to rebind
  // yet, so it never changes).
  void updateIfAddrList(const HXIpIfAddrSet& set, bool force);
  // Whether the conference store counts a joined conference, or with `countRequested` a
  // requested one.
  bool isConferencesExist(bool countRequested) const;

  // --- Hooks of the client object.
  virtual const char* GetAppDefaultDomain() = 0;
  virtual void onIfAddrListChanged(const HXIpIfAddrSet& list) = 0;
  virtual void OnLogin(const char* login, int32_t result, const char* key, const char* appId) = 0;
  virtual void OnLogout(int result, int cause) = 0;
  virtual void OnRightsUpdated(int rights) = 0;

  // --- Observers (tests, diagnostics).
  uint32_t getTasks() const { return m_tasks.load(); }
  int32_t getAccessibility() const { return m_ctrl.getAccessibility(); }
  // A copy of the attempt record taken under the lock.
  TransportSessionCtrlInfo getCtrlInfo() const;
  int32_t getLoginStage() const;
  uint32_t getConnectionGeneration() const { return m_connectionGeneration.load(); }
  uint32_t getTargetGeneration() const;
  uint64_t getLoginDeadline() const { return m_loginDeadline.load(); }
  // The due times of the waiting servers-list events.
  std::multimap<uint64_t, TrEvent> getEvents() const;

  // Tests only: called at the start of every processTasks, on its thread.
  static inline void (*s_processTasksHook)(HX_TransportManager*) = nullptr;

 protected:
  HXFSMShared* transportFSM() const { return m_fsm; }

  // --- Task machine (network loop).
  void processTasks();
  bool performDisconnect();
  // A connect in two steps around the state change, which is reported without the manager's
  // lock: the state the session enters, or -1 when there is nothing to connect now.
  int32_t prepareConnect();
  void startConnect();
  void performLogin();
  bool performRelogin();
  void logout(bool allowAutoLoginAfter, bool keepKey);
  void timeoLogout(uint32_t counter);
  void onLogout(int result, int cause);
  // The session was lost or the network changed: 3 -> 1, 4 -> 2, 5 -> 2 (true: was logged in).
  bool setReconnectState();
  void setTargetConnectLast();
  void switchDatabases();
  void scheduleLoginTimeoutCheck();
  void timeoLoginAttempt(uint32_t counter);
  void OnScheduleCheckLogin(uint64_t delayMs, uint32_t tag);
  void timeoCheckLogin(uint32_t counter, uint32_t tag);
  void setNetworkType(int32_t type, bool forceReset);
  void reconnectOnNetState();

  // --- Server choice (network loop).
  void connectServiceInt();
  bool _LookupNextServer(bool refresh);
  void _ConnectServer(std::shared_ptr<HX_TransportConnectionParam> param);
  void OnServiceConnectCheck(uint32_t generation);
  void OnServerUpdate(HX_TransportConnectionParam param, const char* remote, int result, bool keepAlive);
  void OnServerUnavailable(const char* address, unsigned short port, long reason);
  // The connection reports a loss while it still holds its own lock: the report is handled as
  // the next network job, so that the manager's lock is never taken inside the connection's.
  void onConnectionUnavailable(const char* address, unsigned short port, long reason);
  void onConnectionUnavailableJob(std::string address, unsigned short port, long reason);
  void SaveEndpoints(const char* domainHint, const char* serverId, const HX_TransportEndpointList& endpoints);
  void OnRedirectListArrived(const char* serverId, const HX_TransportEndpointList& endpoints);
  void reconnectOnRedirect();
  void reconnectServer();
  void OnCheckSrvUpdated();
  void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted);

  // --- Timed events.
  void eventRunJob();
  void armEventJob(uint32_t delayMs);
  void eventJobRun(uint32_t generation, uint32_t arm);
  void eventAdd(uint32_t generation, TrEvent event, uint64_t due);
  void eventJobHandler(uint32_t generation);
  void eventImplUpdateServersList(uint32_t generation);
  void eventImplCheckBetterHostNetThread(uint32_t generation);

 private:
  class ConfStorageListener : public hx::ConfStorageListener {
   public:
    explicit ConfStorageListener(HX_TransportManager* owner) : m_owner(owner) {}
    void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override {
      m_owner->onConfCountChange(requested, joined, deleted);
    }

   private:
    HX_TransportManager* const m_owner;
  };

  // Sets the connect task (clearing 0x08, 0x20, 0x40) and the disconnect task (clearing 0x04,
  // 0x08, 0x20, 0x40) as one atomic step each.
  void setConnectTask();
  void setDisconnectTask();
  // Under the lock: the local bind address and its flag cleared, the connect task set; then
  // processTasks is scheduled.
  void requestConnect(HX_TransportTarget* target);
  // Schedules the stored call on the network loop.
  template <typename... Params, typename... Given>
  void onLoop(uint32_t delayMs, void (HX_TransportManager::*method)(Params...), Given&&... args) {
    HXZServer::ScheduleNetworkJob(HXCallback::Save(this, method, std::forward<Given>(args)...), delayMs);
  }
  HX_ConfStorage* confStorage() const;
  // Seconds of calendar time.
  static uint64_t nowSeconds();
  void emitServerUpdate(bool service, const std::string& sid, uint16_t port, int result, bool login, bool keepAlive);

  ConfStorageListener m_listener{this};
  std::multimap<uint64_t, TrEvent> m_events;
  uint32_t m_eventJobArm = 0;  // the number of the latest arm of the event job
  uint32_t m_eventJobGeneration = 0;
  bool m_eventJobActive = false;
  std::shared_ptr<ConfStorageListener> m_listenerRef;
  std::atomic<uint32_t> m_connectionGeneration{0};
  uint32_t m_targetGeneration = 0;
  std::atomic<uint64_t> m_loginDeadline{0};
  TransportTarget m_target;
  mutable HXLock m_lock;
  std::atomic<uint32_t> m_tasks{0};
  std::shared_ptr<HX_TransportSession> m_self;
  TransportSessionCtrlInfo m_ctrl;
  std::shared_ptr<HXZTransport> m_connection;
  HXSockAddr m_localBind;
  bool m_localBindChanged = false;
  HXFSMShared* m_fsm = nullptr;
};
