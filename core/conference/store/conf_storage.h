#pragma once
// HX_ConfStorage: the conference store. It keeps every conference the client knows about (its own
// calls and rooms while they wait for the server, invitations received, conferences joined),
// hands them out under a ConferenceLock, elects one of them as the active conference, counts
// conferences by state and tells registered listeners (hx::ConfStorageListener) of every change
// of the counts, and owns the whole deletion path: telling the server, the delete timer, the
// removal from the table and the delayed destruction that reports the conference's statistics.
// It is the second base of HX_ConfManager, which supplies its two hooks.
//
// Locks. One recursive write lock (StorageLock) guards the table, the SID index, the waiting
// parameters, the destroy list, the listener map and every conference object: each conference's
// lock is this lock. A second lock, the read lock, guards only the pointer to the active
// conference; it is always taken inside the write lock. Readers of the active conference's own
// fields (activeConferenceRLock, currConferenceType) take the write lock too, because those
// fields change under the write lock alone. Listener calls and signal emissions happen with the
// write lock released; the guard's strong reference keeps the conference alive meanwhile. The
// counts and the change sequence are atomic: notifications read them unlocked, and a notification
// overtaken by a later change is dropped.
//
// Jobs ("Conf.delete timer", "Conf.destroy timer", "ConfCpuLoad") run on the network loop's
// worker pool, carry only the conference id and look the conference up again. The store's
// destructor removes its pending jobs, waiting for a running one.
//
// Naming: a name ending in NL expects the caller to hold the write lock. A name ending in Lock
// takes an empty ConferenceLock, locks the write lock into it and, on success, returns true with
// the conference recorded and the lock held; on failure it releases the lock and returns false.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/base/observer_registry.h"
#include "core/base/signal.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/address/if_addr_container.h"
#include "core/wire/endpoint_record.h"

class HXConsoleClient;
class HX_PeerHolder;
class HXSockAddr;
class HXCpuLoad;
class HXFSMShared;
class HXStoredTask;
class HXZeroHandshakeSimple;
class HX_ClientManager;
class HX_ConfManager;
class HX_TransportSession;
class HX_UdpStreamsSupervisor;
class ManagerHolderBase;

namespace hx {

// Told the numbers of conferences in each state whenever they change.
class ConfStorageListener {
 public:
  virtual ~ConfStorageListener() = default;
  virtual void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) = 0;
};

}  // namespace hx

// A waiting parameter of a SID: 0 sender connected, 1 join.
struct WaitConferenceParamBase {
  explicit WaitConferenceParamBase(int32_t k) : kind(k) {}
  virtual ~WaitConferenceParamBase() = default;
  int32_t kind;
  std::shared_ptr<WaitConferenceParamBase> next;
};

// A "SenderConnected" notice that came before the join it completes.
struct WaitConfParamSenderConnected : WaitConferenceParamBase {
  WaitConfParamSenderConnected(uint64_t k, const HXSockAddr& a);
  uint64_t key;
  std::shared_ptr<HXSockAddr> address;
};

// A type-6 "Join" reply waiting for its "SenderConnected" notice.
struct WaitConfParamJoinIntercom : WaitConferenceParamBase {
  explicit WaitConfParamJoinIntercom(std::string k) : WaitConferenceParamBase(1), key(std::move(k)) {}
  std::string key;
};

class HX_ConfStorage
    : public hx::ObserverWeakLockedMulti<hx::CallbackWrapper<hx::ConfStorageListener>,
                                         hx::ConfStorageListener, uint32_t> {
 public:
  // Search filter: kAnyConference, kAnyGroupConference or one exact conference type.
  using ConfSearchType = uint32_t;
  static constexpr ConfSearchType kAnyConference = 0x1002;
  static constexpr ConfSearchType kAnyGroupConference = 0x1001;
  static constexpr int m_maxConfCount = 1;
  static constexpr uint32_t kDeleteTimerMs = 20000;
  static constexpr uint32_t kDestroyRetryMs = 1000;
  static constexpr uint32_t kCpuLoadPeriodMs = 4000;

  // `fsm` and `transport` may be null (no own id, no login).
  HX_ConfStorage(HXFSMShared* fsm, std::shared_ptr<HX_TransportSession> transport);
  ~HX_ConfStorage() override;
  HX_ConfStorage(const HX_ConfStorage&) = delete;
  HX_ConfStorage& operator=(const HX_ConfStorage&) = delete;

  // Sends "DeleteConference" for the conference; whether the request was queued.
  virtual bool deleteConferenceAux(const char* SID) = 0;
  // Sends the statistics record as "LogPartStat".
  virtual void SendConfStat(const conference::Statistics& statistics) = 0;

  // (SID, result) of the server's answer to a creation.
  hx::Signal2<const char*, HX_ConferenceCreated_Result> conferenceCreated;
  // (SID of a verified conference, else its call id; result).
  hx::Signal2<const char*, HX_ConferenceDeleted_Result> conferenceDeleted;
  // (SID, conference name, key, result): 0 joined; the server's result when a join failed.
  hx::Signal4<const char*, const char*, const char*, int> conferenceJoinResult;
  // (conference id, SID) once a conference is destroyed.
  hx::Signal2<int, const char*> conferenceDestroyed;
  // (SID, peer id, extra-video state).
  hx::Signal3<const std::string&, const char*, int> extraVideoSignal;

  // ---- locks and lookups
  HXLock& StorageLock() { return m_wlock; }
  HX_Conference* activeConferenceNL() const { return m_active; }
  bool activeConferenceWLock(ConferenceLock& lock);
  // For readers of the active conference's fields on any thread: holds the write lock (the
  // fields change under it); the read lock is taken while the pointer is read.
  bool activeConferenceRLock(ConferenceLock& lock);
  // Type of the active conference, 0 when none.
  HX_Conference_Type currConferenceType();
  HX_Conference* getConferenceNL(const std::string& SID);
  bool getConferenceLock(ConferenceLock& lock, const std::string& SID);
  HX_Conference* getConferenceNL(int32_t id);
  bool getConferenceLock(ConferenceLock& lock, int32_t id);
  size_t getConferenceByTypeCountNL(HX_Conference*& first, ConfSearchType type,
                                    conference::Ownership ownership);
  size_t getConferenceByTypeCountLock(ConferenceLock& lock, ConfSearchType type,
                                      conference::Ownership ownership);
  HX_Conference* getConferenceByTypeNL(HX_Conference_Type type, bool own);
  HX_Conference* getConferenceAtStateNL(conference::State state);
  bool getConferenceAtStateLock(ConferenceLock& lock, conference::State state);
  HX_Conference* getConferenceByPeerNL(const char* peer, ConfSearchType type,
                                       conference::Peer** found = nullptr);
  bool getUnverifiedConfNoOwnerLock(ConferenceLock& lock, uint32_t flags);
  bool getUnverifiedConfWithOwnerLock(ConferenceLock& lock);
  HX_Conference* getWaitingConferenceNL();
  bool getWaitingConferenceLock(ConferenceLock& lock);
  // The conference whose id is the decimal number leading `id`; no digits or a number out of
  // range finds nothing. The filter is not consulted.
  bool getWaitingConferenceByUniqId(ConferenceLock& lock, const char* id, ConfSearchType type);
  HX_Conference* getWaitingConferenceByCallIdNL(const std::string& callId,
                                                conference::Ownership ownership,
                                                ConfSearchType type);
  bool getWaitingConferenceByCallIdLock(ConferenceLock& lock, const std::string& callId,
                                        conference::Ownership ownership, ConfSearchType type);
  bool isConferencesOnServer(const std::string& serverId);
  void getConferenceCount(unsigned& requested, unsigned& joined, unsigned& deleted);
  // The same counts read from the atomics without the write lock, for callers that must not
  // take it (the transport manager on the network loop). The three are read one after the
  // other: a change in between may show in some of them only, as in the notifications.
  void getConfCounts(uint32_t& requested, uint32_t& joined, uint32_t& deleted) const;
  std::string lastConferenceSID();
  conference::DefaultParams getConferenceDefaults();
  void setConferenceDefaults(const conference::DefaultParams& defaults);
  static bool isSuitable(ConfSearchType filter, HX_Conference_Type type);

  // ---- creation and change
  bool storageRequestCreateConferenceLock(ConferenceLock& lock, const char* name,
                                          const char* password, const char* owner,
                                          unsigned long maxParticipants, uint64_t duration,
                                          HX_Conference_Type type, HX_GroupConf_SubType subType,
                                          HX_Conference_Scope scope, const char* topic,
                                          bool audioOnly);
  bool storageCreateForeignConferenceLock(ConferenceLock& lock, const char* SID, const char* name,
                                          const char* password, const char* owner,
                                          unsigned long maxParticipants, uint64_t duration,
                                          HX_Conference_Type type, HX_GroupConf_SubType subType,
                                          HX_Conference_Scope scope, const char* topic,
                                          bool audioOnly);
  bool storageCreateConferenceCommit(ConferenceLock& lock, const char* SID,
                                     HX_ConferenceCreated_Result result);
  void setConferenceSidNL(HX_Conference* conference, const std::string& SID,
                          const std::string& domain);
  void onConferenceStateChanged(ConferenceLock& lock, conference::State oldState,
                                conference::State newState);

  // ---- deletion and destruction
  bool DeleteConference(ConferenceLock& lock, bool tellServer, bool now);
  bool DeleteConference(const char* SID, bool tellServer);
  void setOnConferenceDeleteTimer(ConferenceLock& lock, bool sent);
  void onConferenceDeleteTimeout(int32_t id);
  bool storageConferenceDelete(int32_t id, HX_ConferenceDeleted_Result result);
  void destroyConference(int32_t id);
  void closeAllConferences();
  bool StorageClean();
  size_t destroyListSizeNL() const { return m_destroyList.size(); }

  // ---- transport notices
  // The network mode changed (`type`: 0 none, else the platform's mode without its flag bit, as
  // hx::network::type). For now the store records the mode and, for a mode other than 0, copies
  // the interface addresses under the write lock; the conferences' streams that must reconnect
  // come with the streams.
  void setNetworkType(uint32_t type, const HXIfIpAddrContainer& interfaces);
  // The mode of the last setNetworkType, -1 before the first.
  int64_t lastNetworkType() const { return m_networkType.load(); }
  // The server's media endpoints were saved: every conference hosted on that server (its
  // server id) takes them as its own server endpoints (HX_Conference::updateServerMediaEPlist).
  void updateServerMediaEPList(const std::string& serverId,
                               const HX_TransportEndpointList& endpoints);

  // ---- server notices (the conference service's parsers call these)
  // Completes a join (state 2 and the join-result signal, with the lock released around the
  // signal) at once for types other than 6; a type-6 join waits for "SenderConnected" when that
  // has not come yet. Always true.
  bool onConferenceJoinReceived(ConferenceLock& lock, const char* key);
  bool applyJoin(ConferenceLock& lock, const std::string& key);
  // Completes a waiting type-6 join, else stores the notice under the SID for the join to come.
  void onSenderConnected(const std::string& user, const std::string& SID, unsigned long key,
                         HXSockAddr& address);
  // Renames the peer `oldId` to `newId` in every verified private call the own user owns.
  void onRegistrationInfoReceived(const char* oldId, const char* newId, const char* displayName);
  // The peer's device status, in the conference of SID or, without one, the first verified
  // conference that has the peer.
  void onDeviceStatusReceived(const char* SID, const char* peer, int status);
  // The listeners filter of the send stream of SID's conference, or of the active one.
  void onListenersFltrUpdate(const char* SID, unsigned long filter);
  // Receive streams need the streams: until then these record their arguments (receiverNotices)
  // and answer as set with setReceiverConnectedAnswer (true by default).
  bool onReceiverConnected(int id, const HX_PeerHolder& holder);
  void onReceiverChanged(int id, const HX_PeerHolder& holder);
  void onReceiverDisconnected(int id, const HX_PeerHolder& holder);
  // The server reported a peer's endpoints ("ConfigurationUpdated"). The list is filtered
  // against the client's own acceptors and interfaces (nothing left: true at once); the first
  // list with a UDP endpoint creates the store's UDP streams supervisor while the network
  // listener has UDP acceptors; then every verified private call in state 1 begins its direct
  // tests with the peer. True when any call took the endpoints. Each notice's arguments are
  // also kept for the parser's tests (peerEndpointUpdates).
  bool onPeerEndpointsUpdate(const std::string& peer, const HX_TransportEndpointList& list,
                             bool noDirect);
  struct ReceiverNotice {
    std::string kind;  // "connected", "changed" or "disconnected"
    int id;
    std::string peer;
    std::string SID;
  };
  struct PeerEndpointsNotice {
    std::string peer;
    std::vector<std::string> hosts;  // "host:port" per endpoint, in list order
    std::vector<int> families;
    bool noDirect;
  };
  // A direct TCP ping of the TCP streams supervisor ended (network loop): the conference of the
  // ping's SID records the outcome for the ping's peer (HX_Conference::directConnectTcpSave).
  void onDirectConnectPingDone(const HXZeroHandshakeSimple* ping);
  // A peer's probe reached the TCP listener (network loop): `accept` tells whether to answer it.
  // Refused while direct connections are forbidden; a version-0 probe is accepted by any verified
  // private call in state 1, a later version only by the call of its SID that has its peer.
  void onWantAcceptDirectRequest(const HXZeroHandshakeSimple* probe, bool& accept);
  // An accepted probe completed: the verified private call in state 1 it belongs to (the call of
  // its SID for version 1, the active conference for version 0) takes the peer's connection
  // (HX_Conference::directAccept).
  void onDirectAcceptAvailable(const HXZeroHandshakeSimple* probe);
  // Schedules the "DC check timer(2)" job of the conference `id`, `delayMs` ahead.
  void scheduleDirectConnectCheck(int32_t id, uint32_t delayMs);
  // The "DC check timer(2)" job: the direct-connection tests still open end without a type.
  void onDirectConnectTimeout(int32_t id);

  // Extra (content) video of a peer, from the chat service's notice: 0 it is the peer's current
  // video, 1 available, 2 none. A state other than 2 expires kExtraVideoTimeoutMs to twice that
  // after the last notice unless renewed; each change is emitted as extraVideoSignal with the lock
  // released.
  void onExtraVideoFlowNotify(const std::string& peer, const std::string& SID, bool present,
                              bool on);
  // The "ExtraVideo timeo" job of the peer in the conference `id`.
  void onExtraVideoTimeout(int32_t id, std::string peer);
  static constexpr uint32_t kExtraVideoTimeoutMs = 20000;
  std::vector<ReceiverNotice> receiverNotices();
  std::vector<PeerEndpointsNotice> peerEndpointUpdates();
  void setReceiverConnectedAnswer(bool answer);

  // ---- waiting parameters
  void addWaitConfParam(const std::string& SID, std::shared_ptr<WaitConferenceParamBase> parameter);
  std::shared_ptr<WaitConferenceParamBase> getWaitConfParam(const std::string& SID, int32_t kind);
  void clearWaitConfParam(const std::string& SID);

  // ---- CPU load: the "ConfCpuLoad" job runs at once, then every 4000 ms while a conference is
  // active; each run schedules the next one.
  void setCpuLoadMeasurer(std::shared_ptr<HXCpuLoad> measurer);
  std::shared_ptr<HXCpuLoad> cpuLoadMeasurer();
  void onCpuLoadCheckTimer();
  int32_t getCpuLoad() const { return m_cpuLoad.load(); }

  // ---- siblings
  HX_ConfManager* getConfManager();
  ManagerHolderBase* getManagerHolder() const;
  HXConsoleClient* getConsoleClient() const;
  HX_ClientManager* getClientManager() const;
  std::shared_ptr<HX_TransportSession> getConfTransport() const { return m_transport; }
  HXFSMShared* getFSMShared() const { return m_fsm; }
  std::string getMyLogin() const;
  uint32_t getNetworkType() const;
  bool GetForceDisableDirectConnection() const;
  std::shared_ptr<HX_UdpStreamsSupervisor> getUdpStreams();
  // A copy of the interface addresses, taken under the write lock.
  HXIfIpAddrContainer getIfAddrList();

  // ---- listeners
  // The listener's id; a listener already registered keeps its id and its one entry.
  uint32_t addListener(std::shared_ptr<hx::ConfStorageListener> listener, uint32_t createParam = 0);
  void forEachListener(const std::function<void(hx::ConfStorageListener*)>& f);
  // The listeners that still live, in id order.
  std::vector<std::shared_ptr<hx::ConfStorageListener>> listeners();
  // Where the listener ids stand (the next id is this + 1); for tests of the wrap.
  void setListenerSequence(uint32_t value);

  // Removes every pending job of this store, waiting for a running one. The manager calls it
  // before its own part goes, since the jobs call its hooks; the destructor calls it again.
  void stopJobs();

  // Test seams: shorter delete and destroy delays.
  void setDelaysForTest(uint32_t deleteMs, uint32_t destroyRetryMs);
  // Test seam: a shorter extra-video time-out.
  void setExtraVideoTimeoutForTest(uint32_t ms) { m_extraVideoTimeoutMs = ms; }

 protected:
  // Schedules a job of this store (one run, `delayMs` ahead) and remembers its id for stopJobs;
  // once the store stops, the task is dropped and 0 returned.
  uint32_t scheduleJob(HXStoredTask* task, uint32_t delayMs, const char* name);
  std::shared_ptr<hx::CallbackWrapper<hx::ConfStorageListener>> createCallbackData(
      std::weak_ptr<hx::ConfStorageListener> listener, const uint32_t& param) override;
  bool beforeErase(uint32_t id, hx::CallbackWrapper<hx::ConfStorageListener>& record) override;

 private:
  int32_t nextConferenceId();
  std::shared_ptr<HX_Conference> makeConference(int32_t id);
  // Changes the counts for a move from `oldState` to `newState`; the new sequence, 0 when equal.
  uint32_t updateConfCount(conference::State oldState, conference::State newState);
  uint32_t bumpSequence();
  void notifyConfCountChanged(uint32_t sequence);
  // Replaces the active pointer under the read lock; starts the CPU-load check when a conference
  // becomes active while none was.
  void setActiveNL(HX_Conference* conference);
  void electActiveNL();
  void removeFromTableNL(HX_Conference* conference);
  void scheduleDestroy(int32_t id, uint32_t delayMs);

  HXFSMShared* const m_fsm;
  const std::shared_ptr<HX_TransportSession> m_transport;

  std::atomic<int32_t> m_cpuLoad{70};
  conference::DefaultParams m_defaults;
  std::atomic<uint32_t> m_requested{0};
  std::atomic<uint32_t> m_joined{0};
  std::atomic<uint32_t> m_deleted{0};
  std::atomic<uint32_t> m_changeSeq{0};
  std::atomic<int64_t> m_networkType{-1};
  std::shared_ptr<HXCpuLoad> m_cpuMeter;
  uint32_t m_cpuJobId = 0;
  std::map<std::string, std::shared_ptr<WaitConferenceParamBase>> m_waitParams;
  std::list<std::shared_ptr<HX_Conference>> m_destroyList;
  std::map<int32_t, std::shared_ptr<HX_Conference>> m_table;
  HX_Conference* m_active = nullptr;
  std::map<std::string, int32_t> m_sidIndex;
  HXIfIpAddrContainer m_ifAddrs;
  std::string m_lastSid;
  mutable HXLock m_wlock;
  mutable HXLock m_rlock;
  std::shared_ptr<HX_UdpStreamsSupervisor> m_udpStreams;
  std::atomic<int32_t> m_nextConfId{1};

  std::atomic<uint32_t> m_deleteDelayMs{kDeleteTimerMs};
  std::atomic<uint32_t> m_destroyRetryMs{kDestroyRetryMs};
  std::atomic<uint32_t> m_extraVideoTimeoutMs{kExtraVideoTimeoutMs};
  // Jobs this store scheduled, removed (waiting) by the destructor.
  std::set<uint32_t> m_jobs;
  bool m_stopping = false;
  HXLock m_jobsLock;
  std::vector<ReceiverNotice> m_receiverNotices;
  std::vector<PeerEndpointsNotice> m_peerEndpointUpdates;
  bool m_receiverConnectedAnswer = true;
};
