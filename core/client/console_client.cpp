#include "core/client/console_client.h"

#include <cstdlib>
#include <ctime>

#include "core/base/cpu_load.h"
#include "core/base/thread_base.h"
#include "core/chat/chat_engines.h"
#include "core/chat/chat_managers.h"
#include "core/client/best_media_format.h"
#include "core/client/protocol_constants.h"
#include "core/client/service_managers.h"
#include "core/conference/conf_call_requests.h"
#include "core/conference/conf_manager.h"
#include "core/conference/desktop_remote_control.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/history/last_calls.h"
#include "core/contacts/phones/phones_storage.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/net/loop/zserver.h"
#include "core/storage/db_manager.h"
#include "core/wire/client_caps.h"

HXConsoleClient::HXConsoleClient() {
  HXThreadBase::TLSRegisterHandler();
  m_server = HXZServer::installNetworkManager();
  m_dbManager = HX_DBManager::instance();
}

HXConsoleClient::~HXConsoleClient() {
  // Before anything goes: a result emitted now would be saved into a database about to be
  // destroyed and reach the platform's hook of a subclass already gone.
  StopSysBenchmark();
  // The call flow's jobs call into this object and its managers.
  stopConfHelperJobs();
  // The downloader's tasks call into this object.
  if (m_fsm != nullptr) m_fsm->stopAvatarDownloader(true);
  cleanManagers();
  // Reverse order of the fields; each manager leaves the service table first.
  m_torrentManager.reset();
  m_phones.reset();
  m_groups.reset();
  m_lastCalls.reset();
  m_mediaFormatAdapter.reset();
  m_bestMediaFormat.reset();
  m_confManagerPtr = nullptr;
  m_confManager.reset();
  m_confRequests.reset();
  m_benchmark.reset();
  m_contactCache.reset();
  m_desktopManager.reset();
  m_contactsManager.reset();
  m_presenceManager.reset();
  m_chatV2Manager.reset();
  m_chatManager.reset();
  // The shared state's signals point at this object; the transport part still points at the
  // shared state (its session data) until the base is gone, but no longer uses it.
  if (m_fsmRef) {
    m_fsmRef->stateChanged.DisconnectAll();
    m_fsmRef->peerNameUpdated.DisconnectAll();
    m_fsmRef->propertiesUpdated.DisconnectAll();
    m_fsmRef->setManagerHolder(nullptr);
  }
  setFSMShared(nullptr);
  m_fsm = nullptr;
  m_fsmRef.reset();
}

void HXConsoleClient::cleanManagers() {
  delete m_clientManager;
  m_clientManager = nullptr;
  HX_DBManager::destroy(m_dbManager);
  m_dbManager = nullptr;
}

void HXConsoleClient::CreateApplication() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  UpdateEnvironment();
  const char* dir = GetWorkingDir();
  HXFSMShared::Env()->SetWorkingDir(dir != nullptr ? dir : "");

  m_fsmRef = std::make_shared<HXFSMShared>();
  m_fsm = m_fsmRef.get();
  m_fsm->setManagerHolder(static_cast<HX_ConferenceHelper*>(this));

  m_fsm->SetAppName(GetAppName());
  m_fsm->SetAppVersion(GetAppVersion());
  m_fsm->SetClientType(GetClientType());
  m_fsm->SetAudioPlatformType(GetAudioPlatform());

  m_fsm->stateChanged.Connect(this, &HXConsoleClient::OnFSMStateChanged);
  m_fsm->peerNameUpdated.Connect(this, &HXConsoleClient::OnUpdatePeerIdCache);
  m_fsm->propertiesUpdated.Connect(this, &HXConsoleClient::OnPropertiesUpdated);

  updateTransportManager(m_fsm);
  const std::shared_ptr<HX_TransportSession> session = transport();

  UpdateDebugTuningManager();

  m_mediaFormatAdapter = std::make_shared<HX_MediaFormatManagerAdapter>();
  m_chatManager = std::make_shared<HX_ChatManager>(session, m_fsm);
  m_chatV2Manager = std::make_shared<HX_ChatV2Manager>(session, m_fsm, GetChatV2());
  m_confManager = std::make_shared<HX_ConfManager>(CONFERENCE_SRV, session, m_fsm);
  m_confRequests = std::make_shared<HX_ConfCallRequests>();
  m_desktopManager = std::make_shared<HX_DesktopRemoteControlManager>(session, m_fsm, m_confManager);
  m_presenceManager = std::make_shared<HX_PresenceManager>(session, m_fsm);
  m_contactCache = std::make_shared<HX_GrossBuchCache>();
  m_contactsManager = std::make_shared<HX_ContactsManager>(session, m_fsm, m_contactCache);
  m_bestMediaFormat = std::make_shared<HX_BestMediaFormat>();
  m_benchmark = CreateSysBenchmark();
  m_lastCalls = std::make_shared<HX_LastCalls>();
  m_groups = std::make_shared<HX_GroupsManager>();
  m_phones = std::make_shared<HX_PhonesStorage>();
  m_torrentManager = std::make_shared<HX_TorrentManager>(session, m_fsm, FileTransfer());
  m_clientManager = new HX_ClientManager(session, m_fsm);

  HX_ContactsManager* contacts = m_contactsManager.get();
  contacts->groupsBeginUpdate.Connect(this, &HXConsoleClient::OnGroupsBeginUpdate);
  contacts->groupsEndUpdate.Connect(this, &HXConsoleClient::OnGroupsEndUpdate);
  contacts->groupArrived.Connect(this, &HXConsoleClient::OnGroupArrived);
  contacts->groupDeleted.Connect(this, &HXConsoleClient::OnGroupDeleted);
  contacts->phonesBeginUpdate.Connect(this, &HXConsoleClient::OnPhonesBeginUpdate);
  contacts->phonesEndUpdate.Connect(this, &HXConsoleClient::OnPhonesEndUpdate);
  contacts->phoneArrived.Connect(this, &HXConsoleClient::OnPhoneArrived);
  contacts->searchBeginUpdate.Connect(this, &HXConsoleClient::OnSearchBeginUpdate);
  contacts->searchEndUpdate.Connect(this, &HXConsoleClient::OnSearchEndUpdate);
  contacts->searchResult.Connect(this, &HXConsoleClient::OnSearchResult);
  contacts->lStatusBeginUpdate.Connect(this, &HXConsoleClient::OnLStatusBeginUpdate);
  contacts->lStatusArrived.Connect(this, &HXConsoleClient::OnLStatusArrived);
  contacts->lStatusEndUpdate.Connect(this, &HXConsoleClient::OnStatusListEnd);
  contacts->avatarArrived.Connect(this, &HXConsoleClient::OnAvatarArrived);
  contacts->avatarNotChanged.Connect(this, &HXConsoleClient::OnAvatarNotChanged);

  m_clientManager->directAcceptSignal.Connect(static_cast<HX_ConferenceHelper*>(this),
                                              &HX_ConferenceHelper::OnTryAcceptDirect);

  if (m_benchmark) {
    m_benchmarkConnection =
        m_benchmark->resultSignal.Connect(this, &HXConsoleClient::_OnSysBenchmarkComplete);
  }

  m_lastCalls->confTypeRequest.Connect(this, &HXConsoleClient::OnGetConfType);
  m_torrentManager->sendFileMessageSignal.Connect(this, &HXConsoleClient::OnSendFileMessage);
  m_torrentManager->sendFileGroupMessageSignal.Connect(this, &HXConsoleClient::OnSendFileGroupMessage);
  m_torrentManager->saveUploadSignal.Connect(this, &HXConsoleClient::OnSaveUpload);

  _UpdateConferenceManager();

  UpdateLoginManager();
  UpdatePresenceManager();
  UpdateContactsManager();
  UpdateChatManager();
  UpdateNetConfigManager();

  openUserDb();
}

void HXConsoleClient::_UpdateConferenceManager() {
  m_confManagerPtr = m_confManager.get();
  HX_ConfManager* cm = m_confManagerPtr;
  if (cm == nullptr) return;
  cm->ResetSignals();
  auto* helper = static_cast<HX_ConferenceHelper*>(this);
  HX_LastCalls* calls = m_lastCalls.get();

  cm->conferenceCreated.Connect(helper, &HX_ConferenceHelper::OnConferenceCreated);
  cm->conferenceDeleted.Connect(helper, &HX_ConferenceHelper::OnConferenceDeleted);
  cm->conferenceJoinResult.Connect(this, &HXConsoleClient::OnConferenceJoinResult);
  cm->AcceptReceivedSignal.Connect(this, &HXConsoleClient::OnAccept);
  cm->PrepareCapsSignal.Connect(this, &HXConsoleClient::OnPrepareCaps);
  cm->ClientCapsReceivedSignal.Connect(this, &HXConsoleClient::OnClientCapsReceived);
  cm->RoleEventSignal.Connect(helper, &HX_ConferenceHelper::OnRoleEventOccured);
  cm->RestrictBitrateSignal.Connect(this, &HXConsoleClient::OnRestrictBitrateReceived);
  cm->ReqInviteReceivedSignal.Connect(calls, &HX_LastCalls::OnReqInviteReceived);
  cm->AcceptSentSignal.Connect(calls, &HX_LastCalls::OnAcceptSent);
  cm->AcceptReceivedSignal.Connect(calls, &HX_LastCalls::OnAcceptReceived);
  cm->JoinReceivedSignal.Connect(calls, &HX_LastCalls::OnJoinReceived);
  cm->JoinSentSignal.Connect(calls, &HX_LastCalls::OnJoinSent);
  cm->InviteSentSignal.Connect(calls, &HX_LastCalls::OnInviteSent);
  cm->InviteToMultiSentSignal.Connect(calls, &HX_LastCalls::OnInviteToMultiSent);
  cm->InviteReceivedSignal.Connect(calls, &HX_LastCalls::OnInviteReceived);
  cm->InviteReceivedSignal.Connect(helper, &HX_ConferenceHelper::OnInviteReceived);
  cm->InviteToMultiReceivedSignal.Connect(calls, &HX_LastCalls::OnInviteToMultiReceived);
  cm->conferenceDeleted.Connect(calls, &HX_LastCalls::OnConferenceDeleted);
  cm->ReqInviteSentSignal.Connect(calls, &HX_LastCalls::OnReqInviteSent);
  cm->RejectSentSignal.Connect(calls, &HX_LastCalls::OnRejectSent);
  cm->UpdateConnectionInfoSignal.Connect(this, &HXConsoleClient::OnUpdateConnectionInfo);

  cm->setCpuLoadMeasurer(GetCpuLoadMeasurer());
  UpdateConferenceManager();
  initTransportManagerConfStorageListener();
  initConfHelperConfStorageListener();
}

bool HXConsoleClient::Wait() { return m_server != nullptr && m_server->Wait4Done(); }

HX_ProxyList* HXConsoleClient::createOrGetProxyList() {
  return m_server != nullptr ? m_server->acquireProxyList() : nullptr;
}

std::shared_ptr<HXCpuLoad> HXConsoleClient::GetCpuLoadMeasurer() { return HXCpuLoad::Create(); }

std::shared_ptr<HX_SysBenchmark> HXConsoleClient::CreateSysBenchmark() {
  return std::make_shared<HX_SysBenchmark>();
}

void HXConsoleClient::StopSysBenchmark() {
  m_benchmarkConnection.Disconnect();
  if (!m_benchmark) return;
  // Terminate rather than Release: a measurement that ends after a Release still emits. Wait also
  // covers an emission already under way, which the disconnection above does not stop.
  m_benchmark->Terminate();
  m_benchmark->Wait();
}


std::shared_ptr<HX_FileTransfer> HXConsoleClient::FileTransfer() const {
  return std::make_shared<HX_FileTransferStub>();
}

std::shared_ptr<HX_ChatV2Interface> HXConsoleClient::GetChatV2() const {
  // The chat version 2 engine that does nothing: no chat is ever made, callbacks are never
  // called and nothing is stored.
  class chat_v2_stub : public HX_ChatV2Interface {
   public:
    int32_t MakeChatSystem(std::string_view, std::string_view, std::unique_ptr<hx::chatv2::TransportChannel>,
                           hx::chatv2::SystemCallback) override {
      return 0;
    }
    void DestroyChat() override {}
    std::vector<hx::chatv2::Context> GetAllMyPersonalContexts() override { return {}; }
    hx::chatv2::Context GetGlobalContext(const std::string&) override { return {}; }
    std::vector<hx::chatv2::Message> GetMessages(const std::string&, const std::string&, uint32_t) override {
      return {};
    }
    std::vector<hx::chatv2::Message> GetUndeliveredMessagesByChatId(const std::string&) override {
      return {};
    }
    void CreateChat(int32_t, const std::string&, hx::chatv2::ResultCallback) override {}
    void InviteToChat(const std::string&, const std::string&, hx::chatv2::ResultCallback) override {}
    void AddParticipant(const std::string&, const std::string&, hx::chatv2::ResultCallback) override {}
    void RemoveParticipant(const std::string&, const std::string&, hx::chatv2::ResultCallback) override {}
    void SendTextMessage(const std::string&, const std::string&, hx::chatv2::ResultCallback) override {}
    void SendP2PTextMessage(const std::string&, const std::string&, hx::chatv2::ResultCallback) override {}
    void SetOnInviteCallBack(hx::chatv2::InviteCallback) override {}
    void SetOnInviteResponseCallBack(hx::chatv2::ResultCallback) override {}
    hx::chatv2::SlotHandle SetOnMsgRecvSlot(hx::chatv2::MessageCallback) override { return {}; }
    std::shared_ptr<hx::chatv2::Config> GetConfig() override { return nullptr; }
    void ResolveResult(const HX_Container&) override {}
  };
  return std::make_shared<chat_v2_stub>();
}

std::string HXConsoleClient::getUserLoginDomain() const {
  const char* defaultDomain = const_cast<HXConsoleClient*>(this)->GetAppDefaultDomain();
  if (defaultDomain == nullptr) return std::string();
  const std::string domain = getDomain();
  return !domain.empty() && domain == defaultDomain ? domain : std::string();
}
