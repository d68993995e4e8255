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
// Thread safety: CreateApplication and _UpdateConferenceManager run on the platform's thread
// before Start, while no message flows; the accessors may be called from any thread afterwards.

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

class HXCpuLoad;
class HXZServer;
class HX_BestMediaFormat;
class HX_ChatManager;
class HX_ChatV2Interface;
class HX_ChatV2Manager;
class HX_ClientCaps;
class HX_ClientManager;
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
  std::shared_ptr<HX_ChatManager> chatManager() const { return m_chatManager; }
  std::shared_ptr<HX_ChatV2Manager> chatv2Manager() const { return m_chatV2Manager; }
  std::shared_ptr<HX_PresenceManager> presenceManager() const { return m_presenceManager; }
  std::shared_ptr<HX_DesktopRemoteControlManager> desktopRemoteControlManager() const {
    return m_desktopManager;
  }
  std::shared_ptr<HX_PhonesStorage> phonesManager() const { return m_phones; }
  std::shared_ptr<HX_GroupsManager> groupsManager() const { return m_groups; }
  std::shared_ptr<HX_LastCalls> lastCalls() const { return m_lastCalls; }
  std::shared_ptr<HX_TorrentManager> torrentManager() const { return m_torrentManager; }
  std::shared_ptr<HX_BestMediaFormat> mediaSelector() const { return m_bestMediaFormat; }
  std::shared_ptr<HX_MediaFormatManagerAdapter> mediaFormatManager() const { return m_mediaFormatAdapter; }
  std::shared_ptr<HX_ServersList> serversList() const { return getServersList(); }
  std::shared_ptr<HXFSMShared> GetFSMRef() const { return m_fsmRef; }
  std::shared_ptr<HX_GrossBuchCache> contactCache() const { return m_contactCache; }
  std::shared_ptr<HX_SysBenchmark> sysBenchmark() const { return m_benchmark; }
  HX_DBManager* dbManager() const { return m_dbManager; }
  HXZServer* networkServer() const { return m_server; }
  bool isUserDbOpen() const { return m_userDbOpen; }
  // Blocks until the network loop has finished.
  bool Wait();
  static int GetClientBuildType() { return 4; }
  HX_ProxyList* createOrGetProxyList();

  // Own operations.
  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override;
  void onIfAddrListChanged(const HXIpIfAddrSet& list) override;
  void OnLogin(const char* user, int32_t result, const char* text1, const char* text2) override;
  void OnLogout(int result, int cause) override;
  void OnRightsUpdated(int rights) override;
  virtual bool Invite(const char* peer);
  virtual std::shared_ptr<HXCpuLoad> GetCpuLoadMeasurer();
  // A new engine that does nothing, on every call.
  virtual std::shared_ptr<HX_FileTransfer> FileTransfer() const;
  virtual std::shared_ptr<HX_ChatV2Interface> GetChatV2() const;

  // Capabilities: nothing is known yet, so the record is empty and the answers are false.
  virtual HXCapabilites GetCapabilites();
  virtual HXCapabilites _GetCapabilites(HX_Conference* conference, bool group);
  virtual bool OnRequestMeetingCaps(const char* peer, const char* conference, HX_ClientCaps& caps);
  virtual bool MediaHandshakeReady(int32_t type, int32_t subType, const char* text1, const char* text2,
                                   const char* text3);
  virtual void OnRequestMediaManagerAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter);
  virtual void OnLStatusEndUpdate() {}
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
  // The call-flow helper's handlers of role events and invitations take the conference service's
  // events in their own form.
  void ForwardRoleEvent(HX_Conference* conference, const char* user, HX_Participant_Role role,
                        HX_RoleEvent_Type type, HX_RoleInqury_Answer answer,
                        const conference::RoleInfoHolder& info);
  void ForwardInviteReceived(const std::string& conference, const char* caller,
                             const char* displayName);
  virtual void OnGetConfType(HX_Conference_Type& type);

 private:
  // Contacts manager handlers.
  void OnSearchBegin(const char*, const char*, const char*) {}
  void OnSearchResult(const char*, const char*) {}
  void OnSearchEnd() {}
  void OnStatusListBegin() {}
  void OnStatusListEnd() { OnLStatusEndUpdate(); }
  void OnStatusArrived(const char*, int32_t) {}
  void OnAvatarArrived(const char*, const char*, const void*, uint32_t, const char*) {}
  void OnAvatarNotChanged(const char*, int64_t) {}
  void OnGroupsBegin() {}
  void OnGroupsEnd() {}
  void OnGroupArrived(const char*, const char*, int32_t, const char*) {}
  void OnGroupDeleted(const char*, const char*) {}
  void OnPhonesBegin() {}
  void OnPhonesEnd() {}
  void OnPhoneArrived(const char*, const char*, const char*, int32_t, bool) {}
  // File-sharing handlers.
  void OnSendFileMessage(const char*, const char*, const char*, const char*, const char*, const char*,
                         const HX_Container&) {}
  void OnSendFileGroupMessage(const char*, const char*, const char*, const char*, const char*, const char*,
                              const HX_Container&) {}
  void OnSaveUpload(const char*, const char*, const char*, const char*) {}
  // Saves the benchmark's record and tells the platform.
  void _OnSysBenchmarkComplete(const HX_SysPerformanceState& state);

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
  bool m_userDbOpen = false;
};
