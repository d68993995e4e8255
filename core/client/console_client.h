#pragma once
// HXConsoleClient: the client application object, the one object through which a platform layer
// drives the client core. It is the server connection (its HX_TransportManager base) and the
// call-flow helper (its HX_ConferenceHelper base, whose manager-holder part the shared state
// forwards to), and it owns the shared state and every service manager.
//
// It is abstract: the host environment, the application's identity and the connection of the
// platform's event forwarders are hooks a platform subclass supplies. The subclass fills its
// identity and capability defaults and then calls CreateApplication once; between construction
// and CreateApplication only the process-wide network loop and database manager exist.
//
// Lifetime: the network loop is process-wide; the constructor makes it (or takes the one that
// exists) and the object keeps the pointer, never deleting it. The destructor destroys the
// process-wide database manager (cleanManagers); the next client object takes a new one. Every
// manager unregisters from the service table at the start of its own destructor, so the network
// loop, which may still run, never dispatches into a manager being destroyed: a message that
// arrives meanwhile waits for the removal and finds no manager.
//
// Run time: Start and Shutdown any number of times after CreateApplication. The coarse state
// (hx::fsm) follows the transport session (onTrSessionStateChanged) and the conference counts
// (onConfCountChange): 0 stopped, 1 not connected, 2 connected, 3 logged in, 4 conferences
// requested or being deleted, 5 a conference joined. While a conference is joined, connection
// changes leave the state alone, so an established call survives a reconnect of the signalling
// connection. The per-user databases open at login (or in CreateApplication and Start when a
// login is remembered); the contact cache closes at logout and when the session stops.
//
// Thread safety: CreateApplication and _UpdateConferenceManager run on the platform's thread
// before Start, while no message flows; the accessors may be called from any thread afterwards.
// The object takes no lock of its own: session-state and conference-count changes and the server
// handlers arrive on the network loop; Start, Shutdown, Accept and the network settings come from
// the platform's thread. The state machine relies on HXFSMShared::SetFSMState's compare-exchange,
// conference work takes the conference store's locks, and the actions that open media (accepting,
// opening a call or a conference) run as urgent worker-pool jobs ("OnAccept", "OnJoinRcvd"),
// never inside a message handler. The user-database flag is atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/base/callback_list.h"
#include "core/client/capabilities.h"
#include "core/client/fsm_shared.h"
#include "core/client/transport_manager.h"
#include "core/conference/conference_helper.h"
#include "core/conference/server_bitrate_control.h"
#include "core/contacts/stores/avatar_storage.h"
#include "core/contacts/stores/contact.h"
#include "core/contacts/stores/search_storage.h"

class HXCpuLoad;
class HXZServer;
class HX_BestMediaFormat;
class HX_ChatManager;
class HX_ChatV2Interface;
class HX_ChatV2Manager;
class HX_ClientCaps;
class HX_ClientManager;
class HX_ConfCallRequests;
class HX_ConfManager;
class HX_Conference;
class HX_ContactsManager;
class HX_DBManager;
class HX_DesktopRemoteControlManager;
class HX_FileTransfer;
class HX_GrossBuchCache;
class HX_GroupsManager;
class HX_LastCalls;
class HX_MediaFormatManagerAdapter;
class HX_PhonesStorage;
class HX_PresenceManager;
class HX_ProxyList;
class HX_ServersList;
class HX_SysBenchmark;
class HX_TorrentManager;
enum PhoneType : int32_t;
namespace hx::chat {
class Message;
}

using HX_ClientType = int32_t;
namespace conference {
struct ServerBitrateControl;
}  // namespace conference

namespace audio {
using platform = int32_t;
}

class HXConsoleClient : public HX_TransportManager, public HX_ConferenceHelper {
 public:
  // Name servers as (address, port); empty: the system's own.
  using DnsList = std::vector<std::pair<std::string, uint16_t>>;

  HXConsoleClient();
  ~HXConsoleClient() override;

  // Builds the shared state and every manager and wires them, in a fixed order. Call once.
  virtual void CreateApplication();
  // Wires the conference manager: drops every earlier connection of its signals, connects the
  // handlers in a fixed order, gives the store the CPU-load meter, calls the hook
  // UpdateConferenceManager and registers the conference-count listeners. Calling it again
  // leaves each handler connected once.
  void _UpdateConferenceManager();
  // Deletes the client manager and destroys the process-wide database manager.
  void cleanManagers();

  // The domain the login service sends as the user's default domain: the session's domain when
  // it is not empty and equals the platform's GetAppDefaultDomain (not null); otherwise "".
  std::string getUserLoginDomain() const;

  // ManagerHolderBase.
  HXFSMShared* getFSM() const override { return m_fsm; }
  HX_ClientManager* clientManager() const override { return m_clientManager; }
  HX_ConfManager* confManager() const override { return m_confManagerPtr; }
  HXConsoleClient* consoleClient() const override { return const_cast<HXConsoleClient*>(this); }
  std::shared_ptr<HX_ContactsManager> contactsManager() const override { return m_contactsManager; }

  // Accessors.
  std::shared_ptr<HX_ConfManager> conferenceManager() const { return m_confManager; }
  std::shared_ptr<HX_ChatManager> chatManager() const override { return m_chatManager; }
  std::shared_ptr<HX_ChatV2Manager> chatv2Manager() const { return m_chatV2Manager; }
  std::shared_ptr<HX_PresenceManager> presenceManager() const { return m_presenceManager; }
  std::shared_ptr<HX_DesktopRemoteControlManager> desktopRemoteControlManager() const {
    return m_desktopManager;
  }
  std::shared_ptr<HX_PhonesStorage> phonesManager() const { return m_phones; }
  std::shared_ptr<HX_GroupsManager> groupsManager() const { return m_groups; }
  std::shared_ptr<HX_LastCalls> lastCalls() const { return m_lastCalls; }
  std::shared_ptr<HX_TorrentManager> torrentManager() const { return m_torrentManager; }
  std::shared_ptr<HX_BestMediaFormat> mediaSelector() const override { return m_bestMediaFormat; }
  std::shared_ptr<HX_MediaFormatManagerAdapter> mediaFormatManager() const override { return m_mediaFormatAdapter; }
  std::shared_ptr<HX_ServersList> serversList() const override { return getServersList(); }
  std::shared_ptr<HX_TransportSession> transport() const override { return HX_TransportManager::transport(); }
  std::shared_ptr<HXFSMShared> GetFSMRef() const { return m_fsmRef; }
  std::shared_ptr<HX_GrossBuchCache> contactCache() const { return m_contactCache; }
  std::shared_ptr<HX_SysBenchmark> sysBenchmark() const { return m_benchmark; }
  HX_DBManager* dbManager() const { return m_dbManager; }
  HXZServer* networkServer() const { return m_server; }
  bool isUserDbOpen() const { return m_userDbOpen.load(); }
  // The conference store's reaction to a new local address (null before CreateApplication).
  std::shared_ptr<HX_ConfCallRequests> confRequests() const { return m_confRequests; }
  // Blocks until the network loop has finished.
  bool Wait();
  static int GetClientBuildType() { return 4; }
  HX_ProxyList* createOrGetProxyList();

  // --- Start and stop.
  // Starts the network loop when it is not running; reloads the contacts from the cache when the
  // user database is open or opens now; starts the avatar downloader; resets the transport
  // manager and sets the network type (forcing a reset). With `connect`, answers ConnectLast;
  // otherwise true. False before CreateApplication.
  bool Start(hx::network::type type, bool connect);
  // Network type 0 without reconnecting, the benchmark's result connection dropped, the avatar
  // downloader stopped, the transport session shut down, the network loop shut down; with `wait`
  // answers whether the loop ended (Wait4Done), otherwise the shutdown's answer.
  bool Shutdown(bool wait);

  // --- State reactions (network loop).
  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override;
  void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override;

  // --- Per-user databases.
  // When the login manager can log in automatically: opens the phone book, the avatar list, the
  // contact cache, the chat database, the groups database and the call history of the remembered
  // user (the login without its instance) in the working folder; answers whether the contact
  // cache opened.
  bool openUserDb();
  // Closes the contact cache when it is open.
  void closeUserDb();

  // --- Session events (network loop).
  void onIfAddrListChanged(const HXIpIfAddrSet& list) override;
  void OnLogin(const char* user, int32_t result, const char* text1, const char* text2) override;
  void OnLogout(int result, int cause) override;
  void OnRightsUpdated(int rights) override;

  // --- Calls.
  // Accepts the call of `peer` in the conference `conference` (the active conference when the
  // name is empty or unknown): the peer when it is one of the conference, else its sole peer when
  // verified, else for a group conference its owner (or its call id). False without a conference
  // or a peer to accept, or when the network loop does not run; otherwise the acceptance runs as
  // the urgent job "OnAccept".
  bool Accept(const char* peer, const char* conference);

  // --- What the call-flow helper asks of the client object.
  // Invites `peer` (the helper's InvitePeer).
  bool Invite(const char* peer) override;
  // The conference limits of a private call (false) or a group conference (true).
  void PrepareConferenceLimits(bool group);
  // A media stream of the locked conference cannot be established: the failure is reported, the
  // conference hung up and, while the lock is still held, deleted from the store (its answer);
  // false when the hang-up released the lock.
  bool hangupConferenceOnStreamUnavail(ConferenceLock& lock) override;
  // Pauses or resumes the camera of the active conference's send stream.
  void SetCameraPause(bool pause);

  // --- Network settings (platform's thread).
  // Client sockets made from now on fall back to plain TCP when TLS fails (on) or fail (off).
  void SetNetworkTLS(bool on);
  // Entry 11 of hx::network::rate becomes (send, receive); then the network type `type` with the
  // platform flag, without reconnecting. Always true.
  bool SetNetworkCustomRate(hx::network::type type, uint32_t sendRate, uint32_t receiveRate);

  // --- Peers.
  // The known status of `id` (with the session's domain added); otherwise -127, after asking the
  // server (and subscribing when `subscribe`). A null id answers -127 and asks nothing.
  HX_UserPresence_Status GetPeerStatus(const char* id, bool subscribe);
  // Records the search and sends it; false when an equal search is pending or it was not sent.
  bool FindUser(const char* callId, const char* name, const char* email);
  // Searches the address book for the peer's details; whether the search was sent.
  bool GetPeerDetails(const char* id) const;
  // The stored details of `id`; asks the server for them (logged in only) when `request` and none
  // are stored, or when the stored ones changed locally.
  HX_UserDetailsStorage::Information GetPeerDetails(const char* id, bool request);
  // The display name of `id`: from the contact cache, else the fallback name (flags 3), else one
  // made from the id (the own domain removed for a plain user id). `update` 2 searches the
  // address book first; 1 asks for the details when the cache does not know the id.
  hx::DisplayName getDisplayName(const char* id, hx::DisplayName::UpdateValue update, const char* fallback) const;
  // getDisplayName as text, with the type's icon before it when `decorated`; "" for a null id.
  // `returnValue` does not change the result.
  std::string GetDisplayName(const char* id, hx::DisplayName::ReturnValue returnValue,
                             hx::DisplayName::UpdateValue update, const char* fallback, bool decorated) const;
  // `name` when not empty; otherwise `id` cut at its first "/" without the own domain.
  std::string FixDisplayName(const char* id, const char* name) const;

  // --- Avatars.
  // The stored avatar of `peer` (nothing is loaded from the database while it is closed); a
  // refresh is scheduled when due. An empty id answers an empty avatar and schedules nothing.
  hx::Avatar GetAvatar(const char* peer, bool urgent);
  // Hands the avatar downloader a fetch of `peer`'s picture (behind those queued unless
  // `urgent`). True.
  bool UpdateAvatar(const char* peer, bool urgent);
  // The fetch itself (downloader thread): false unless logged in; true when no refresh is due or
  // the request was sent (the fetch time recorded).
  bool _GetAvatar(const char* peer);
  hx::Thumbnail GetAvatarThumbnail(const char* peer, uint32_t width, uint32_t height);
  void SetAvatarThumbnail(const char* peer, const hx::Thumbnail& thumbnail);
  void CheckAvatarExpired(const char* peer);

  // --- Benchmark.
  // Emits the stored record through the benchmark's result signal, then runs the benchmark.
  void GetSysBechmarkResult();
  // Runs the benchmark from the stored record without emitting it.
  void UpdateSysBenchmarkResult();
  HX_SysPerformanceState _LoadSysBenchmark();
  void _SaveSysBenchmark(const HX_SysPerformanceState& state);
  // Makes the benchmark, once, in CreateApplication: the default clock and 4 to 6 s pause. A
  // platform (or a test) may hand out one with its own clock and pause.
  virtual std::shared_ptr<HX_SysBenchmark> CreateSysBenchmark();

  // --- Databases.
  // Copies the settings database and the chat databases into `folder` with a "bpinfo.db"
  // description; `files` receives the names written.
  bool dbBackup(const std::string& folder, std::vector<std::string>& files);
  // Restores the databases of the backup in `backupFolder` into `target`; only before
  // CreateApplication (no database is open yet), false afterwards without touching anything.
  bool dbRestore(const std::string& backupFolder, const std::string& target);

  virtual std::shared_ptr<HXCpuLoad> GetCpuLoadMeasurer();
  // A new engine that does nothing, on every call.
  virtual std::shared_ptr<HX_FileTransfer> FileTransfer() const;
  virtual std::shared_ptr<HX_ChatV2Interface> GetChatV2() const;

  // --- Capabilities and media formats (network loop, urgent jobs, the platform's thread).
  // The platform's capabilities (GetCapabilites(group)) for `conference`: video receive and send
  // off when it was created audio-only, otherwise the adapter's current send format (codec, size,
  // stereo and last fields); the adapter's audio codec and sample rate when set.
  HXCapabilites _GetCapabilites(HX_Conference* conference, bool group) override;
  // _GetCapabilites of the active conference under the store's write lock; the default record
  // without an active conference.
  HXCapabilites GetCapabilites() override;
  void OnRequestMediaManagerAdapter(
      std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) override;
  // The record of the stream from `first` to `second` in the current conference.
  void OnRequestMeetingCaps(const char* first, const char* second, HX_ClientCaps& caps) override;
  // The media handshake of a call (type 0) or conference with `peer` (the owner of a conference)
  // finished: the adapter takes the codec factory, the connection (the peer's record, the own one)
  // and the network limit (the smaller of the call's or conference's receive rate and the current
  // network's send rate).
  void MediaHandshakeReady(HX_Conference_Type type, HX_GroupConf_SubType subType, const char* peer,
                           const char* sid, const char* key) override;
  // True without a joined or requested conference, else whether the video format may change.
  bool CheckVideoFormatChange();
  // In a group conference false unless `evenInGroup`; otherwise whether the video format may
  // change.
  bool GetVideoFormatChange(bool evenInGroup);
  // False in a group conference; otherwise whether a peer fixed its receive format.
  bool GetVideoFormatFixed();
  // The adapter works the send format out again at the next frame.
  void OnUpdateMediaFormat();
  virtual void OnLStatusEndUpdate() {}
  // A file message went out; nothing to do here.
  virtual void onChatFileMessageSent(const std::shared_ptr<hx::chat::Message>& message, const char* text) {
    (void)message;
    (void)text;
  }
  virtual void UpdateDebugTuningManager() {}

  // Hooks of the platform subclass.
  virtual void UpdateEnvironment() = 0;
  virtual const char* GetAppName() = 0;
  virtual const char* GetAppVersion() = 0;
  virtual HX_ClientType GetClientType() = 0;
  virtual HXCapabilites GetCapabilites(bool group) = 0;
  virtual audio::platform GetAudioPlatform() = 0;
  virtual const char* GetWorkingDir() = 0;
  virtual DnsList GetLocalDNSList() = 0;
  virtual void UpdateLoginManager() = 0;
  virtual void UpdateConferenceManager() = 0;
  virtual void UpdatePresenceManager() = 0;
  virtual void UpdateContactsManager() = 0;
  virtual void UpdateChatManager() = 0;
  virtual void UpdateNetConfigManager() = 0;
  virtual void OnSysBenchmarkComplete(HX_SysPerformanceState& state) = 0;

 protected:
  // Handlers connected by CreateApplication and _UpdateConferenceManager.
  virtual void OnFSMStateChanged(hx::fsm newState, hx::fsm oldState);
  virtual void OnUpdatePeerIdCache(const char* id, const char* name, bool flag);
  virtual void OnPropertiesUpdated();
  virtual void OnConferenceJoinResult(const char* conference, const char* name, const char* key,
                                      int result);
  virtual void OnAccept(const char* peer, const char* displayName, const char* conference,
                        const char* key);
  virtual void OnPrepareCaps(HX_Conference* conference, bool group, HX_ClientCaps& caps);
  virtual void OnClientCapsReceived(const char* peer, const HX_ClientCaps& caps);
  virtual void OnRestrictBitrateReceived(const conference::ServerBitrateControl& restriction);
  virtual void OnUpdateConnectionInfo(const char* peer, const char* conference);
  virtual void OnGetConfType(HX_Conference_Type& type);

  // Contacts manager handlers.
  void OnSearchBeginUpdate(const char* callId, const char* name, const char* email);
  void OnSearchResult(const char* id, const char* name);
  void OnSearchEndUpdate();
  void OnLStatusBeginUpdate();
  void OnLStatusArrived(const char* id, HX_LStatus status);
  void OnAvatarArrived(const char* peer, const char* mimeType, const void* bytes, uint64_t size, int32_t hash);
  void OnAvatarNotChanged(const char* peer, int32_t hash);
  void OnGroupsBeginUpdate();
  void OnGroupsEndUpdate();
  void OnGroupArrived(int32_t groupId, const char* name, int32_t type, const char* peerId);
  void OnGroupDeleted(int32_t groupId, const char* peerId);
  void OnPhonesBeginUpdate();
  void OnPhonesEndUpdate() {}
  void OnPhoneArrived(const char* phoneId, const char* peerId, const char* phone, PhoneType type, bool editable);
  // File-sharing handlers.
  void OnSendFileMessage(const char* peer, const char* s1, const char* s2, const char* s3, const char* s4,
                         const char* s5, const HX_Container& attributes);
  void OnSendFileGroupMessage(const char* group, const char* s1, const char* s2, const char* s3, const char* s4,
                              const char* s5, const HX_Container& attributes);
  void OnSaveUpload(const char* s1, const char* s2, const char* s3, const char* s4);
  void onFileUploaded(const std::shared_ptr<hx::chat::Message>& message, const char* s1, const char* s2,
                      const char* s3, const char* s4, const char* s5, const HX_Container& attributes);
  // Saves the benchmark's record, hands it to the media-format adapter and tells the platform.
  void _OnSysBenchmarkComplete(const HX_SysPerformanceState& state);
  // Drops the result connection and ends the benchmark's run: a pause ends at once, a measurement
  // under way is waited for and then emits nothing. The result arrives on the benchmark thread and
  // reaches the hook OnSysBenchmarkComplete, so a platform subclass calls this first in its own
  // destructor; the destructor here calls it again before any manager goes.
  void StopSysBenchmark();

 private:
  void OnStatusListEnd() { OnLStatusEndUpdate(); }
  // The stored avatar fetch of the downloader.
  void avatarFetch(std::string peer);
  // Hands `task` to the worker pool's urgent queue as `name` with delay 0; false (the task
  // deleted) when the network loop does not run, so that no job outlives its client object.
  bool scheduleUrgent(HXStoredTask* task, const char* name);
  HX_ConfStorage* confStore() const;

  HXFSMShared* m_fsm = nullptr;
  std::shared_ptr<HXFSMShared> m_fsmRef;
  std::shared_ptr<HX_ChatManager> m_chatManager;
  std::shared_ptr<HX_ChatV2Manager> m_chatV2Manager;
  std::shared_ptr<HX_PresenceManager> m_presenceManager;
  std::shared_ptr<HX_ContactsManager> m_contactsManager;
  std::shared_ptr<HX_DesktopRemoteControlManager> m_desktopManager;
  std::shared_ptr<HX_GrossBuchCache> m_contactCache;
  std::shared_ptr<HX_SysBenchmark> m_benchmark;
  hx::CallbackList<const HX_SysPerformanceState&>::Connection m_benchmarkConnection;
  std::shared_ptr<HX_ConfManager> m_confManager;
  HX_ConfManager* m_confManagerPtr = nullptr;
  HX_DBManager* m_dbManager = nullptr;
  std::shared_ptr<HX_BestMediaFormat> m_bestMediaFormat;
  std::shared_ptr<HX_MediaFormatManagerAdapter> m_mediaFormatAdapter;
  std::shared_ptr<HX_LastCalls> m_lastCalls;
  std::shared_ptr<HX_GroupsManager> m_groups;
  std::shared_ptr<HX_PhonesStorage> m_phones;
  std::shared_ptr<HX_TorrentManager> m_torrentManager;
  HX_ClientManager* m_clientManager = nullptr;
  HXZServer* m_server = nullptr;
  std::atomic<bool> m_userDbOpen{false};
  std::shared_ptr<HX_ConfCallRequests> m_confRequests;
};
