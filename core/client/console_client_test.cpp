// The client application object's creation and wiring, through the test platform subclass.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/container.h"
#include "core/chat/chat_engines.h"
#include "core/chat/chat_managers.h"
#include "core/client/abstract_manager.h"
#include "core/client/service_managers.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/history/last_calls.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/media/format/video_levels.h"
#include "core/net/loop/zserver.h"
#include "core/storage/db_manager.h"
#include "core/storage/settings_db.h"
#include "core/wire/client_caps.h"
#include "testing/test_console_client.h"

namespace {

using hx::testing::TestConsoleClient;

const std::vector<std::string> kServices = {"AUTH",       "NET_CONFIG", "CHAT",  "CHATV2",  "CONFERENCE",
                                            "DS_CONTROL", "PRESENCE",   "ABOOK", "TORRENT", "CLIENT"};

// Counts the call history's change notices: every history handler emits one, with or without an
// open database.
class HistoryChanges {
 public:
  explicit HistoryChanges(HX_LastCalls& history) : m_history(history) {
    m_history.lastCallsChanged.Connect(this, &HistoryChanges::Changed);
  }
  // The client's shutdown deletes conferences, which the history announces: not to this object.
  ~HistoryChanges() { m_history.lastCallsChanged.Disconnect(this, &HistoryChanges::Changed); }
  uint32_t count() const { return m_count.load(); }

 private:
  void Changed() { m_count.fetch_add(1); }
  HX_LastCalls& m_history;
  std::atomic<uint32_t> m_count{0};
};

// Records, when the client object's and the call-flow helper's handlers run, how many changes the
// call history had announced by then.
class OrderClient : public TestConsoleClient {
 public:
  std::unique_ptr<HistoryChanges> history;
  std::vector<uint32_t> historyAtAccept;
  std::vector<uint32_t> historyAtInvite;

 protected:
  void OnAccept(const char*, const char*, const char*, const char*) override {
    historyAtAccept.push_back(history->count());
  }
  void OnInviteReceived(const std::string&, const char*, const char*) override {
    historyAtInvite.push_back(history->count());
  }
};

TEST(ConsoleClientTest, BeforeCreationOnlyTheLoopAndTheDatabaseManagerExist) {
  TestConsoleClient client;
  EXPECT_NE(client.networkServer(), nullptr);
  EXPECT_EQ(client.networkServer(), HXZServer::installNetworkManager());
  ASSERT_NE(client.dbManager(), nullptr);
  EXPECT_EQ(client.dbManager(), HX_DBManager::existing());
  EXPECT_EQ(client.getFSM(), nullptr);
  EXPECT_EQ(client.GetFSMRef(), nullptr);
  EXPECT_EQ(client.conferenceManager(), nullptr);
  EXPECT_EQ(client.clientManager(), nullptr);
  EXPECT_EQ(client.confManager(), nullptr);
  EXPECT_EQ(client.contactsManager(), nullptr);
  EXPECT_EQ(client.connection(), nullptr);
  EXPECT_TRUE(client.HookCalls().empty());
  EXPECT_EQ(HXConsoleClient::GetClientBuildType(), 4);
}

TEST(ConsoleClientTest, CreationResolvesEveryServiceAndCallsTheHooksInOrder) {
  TestConsoleClient client;
  client.CreateApplication();
  for (const std::string& service : kServices) {
    SCOPED_TRACE(service);
    HX_AbstractManager* manager = HX_AbstractManager::GetServiceHandler(service.c_str());
    ASSERT_NE(manager, nullptr);
    EXPECT_STREQ(manager->GetServiceName(), service.c_str());
    // Every manager reaches the shared state, and through it the client object.
    EXPECT_EQ(manager->getFSM(), client.getFSM());
    // A method no manager knows: the login, network-configuration, client and address-book
    // services accept and ignore it; the least managers of later services answer false. Either way
    // a manager was found.
    HX_Container message;
    message.AddValue("Method", "NoSuchMethod");
    bool found = false;
    const bool accepts = service == "AUTH" || service == "NET_CONFIG" || service == "CLIENT" || service == "ABOOK";
    EXPECT_EQ(HX_AbstractManager::Dispatch(service.c_str(), message, &found), accepts);
    EXPECT_TRUE(found);
  }
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("CONFERENCE"), client.confManager());
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("CLIENT"), client.clientManager());
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AUTH"), client.getLoginManager().get());
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("NET_CONFIG"), client.getNetConfigManager().get());

  const std::vector<std::string> expected = {
      "UpdateEnvironment",       "GetWorkingDir",      "UpdateDebugTuningManager",
      "UpdateConferenceManager", "UpdateLoginManager", "UpdatePresenceManager",
      "UpdateContactsManager",   "UpdateChatManager",  "UpdateNetConfigManager"};
  EXPECT_EQ(client.HookCalls(), expected);

  HXFSMShared* fsm = client.getFSM();
  ASSERT_NE(fsm, nullptr);
  EXPECT_EQ(fsm, client.GetFSMRef().get());
  EXPECT_EQ(fsm->GetAppName(), TestConsoleClient::kAppName);
  EXPECT_EQ(fsm->GetAppVersion(), TestConsoleClient::kAppVersion);
  EXPECT_EQ(fsm->GetClientType(), TestConsoleClient::kClientType);
  EXPECT_EQ(fsm->GetAudioPlatformType(), TestConsoleClient::kAudioPlatform);
  // The shared state forwards to the client object's holder part.
  EXPECT_EQ(fsm->consoleClient(), &client);
  EXPECT_EQ(fsm->confManager(), client.conferenceManager().get());
  EXPECT_EQ(fsm->clientManager(), client.clientManager());
  EXPECT_EQ(fsm->contactsManager(), client.contactsManager());
  // The session reads its domain from the default domain.
  EXPECT_EQ(client.getDomain(), TestConsoleClient::kDomain);
  EXPECT_NE(client.connection(), nullptr);
  EXPECT_NE(client.serversList(), nullptr);
  EXPECT_NE(client.conferenceManager()->cpuLoadMeasurer(), nullptr);
  // Nothing is connected, so nothing is sent.
  EXPECT_EQ(client.GetNextSequence(), 1u);
  EXPECT_FALSE(client.isUserDbOpen());
}

TEST(ConsoleClientTest, SettingsFileLiesInTheWorkingDirectory) {
  TestConsoleClient client;
  client.CreateApplication();
  EXPECT_EQ(HXFSMShared::Env()->GetWorkingDir(), client.workingDir());
  const std::string name = client.getFSM()->SettingsDB()->GetStorageName();
  ASSERT_FALSE(name.empty());
  const std::filesystem::path file = std::filesystem::path(client.workingDir()) / name;
  EXPECT_TRUE(std::filesystem::exists(file)) << file;
  // The application id is made and kept there (a second client object on the folder reads it
  // back: AppIdIsKeptAcrossClientObjectsOnOneFolder).
  const std::string appId = client.getFSM()->GetAppId();
  EXPECT_EQ(appId.size(), 32u);
}

TEST(ConsoleClientTest, SecondWiringLeavesEachHandlerConnectedOnce) {
  TestConsoleClient client;
  client.CreateApplication();
  HX_ConfManager* cm = client.confManager();
  ASSERT_NE(cm, nullptr);
  auto counts = [cm] {
    return std::vector<size_t>{cm->conferenceCreated.Count(),         cm->conferenceDeleted.Count(),
                               cm->conferenceJoinResult.Count(),      cm->AcceptReceivedSignal.Count(),
                               cm->PrepareCapsSignal.Count(),         cm->ClientCapsReceivedSignal.Count(),
                               cm->RoleEventSignal.Count(),           cm->RestrictBitrateSignal.Count(),
                               cm->ReqInviteReceivedSignal.Count(),   cm->AcceptSentSignal.Count(),
                               cm->JoinReceivedSignal.Count(),        cm->JoinSentSignal.Count(),
                               cm->InviteSentSignal.Count(),          cm->InviteToMultiSentSignal.Count(),
                               cm->InviteReceivedSignal.Count(),      cm->InviteToMultiReceivedSignal.Count(),
                               cm->ReqInviteSentSignal.Count(),       cm->RejectSentSignal.Count(),
                               cm->UpdateConnectionInfoSignal.Count()};
  };
  // Two handlers on conference-created (the call flow's, then the test platform's),
  // conference-deleted, accept-received and invite-received, one elsewhere.
  const std::vector<size_t> wired = {2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1};
  EXPECT_EQ(counts(), wired);
  EXPECT_EQ(cm->confStorage()->listeners().size(), 2u);

  client._UpdateConferenceManager();
  EXPECT_EQ(counts(), wired);
  EXPECT_EQ(cm->confStorage()->listeners().size(), 2u);
  EXPECT_EQ(client.HookCount("UpdateConferenceManager"), 2u);

  // One emission reaches the call history once.
  HistoryChanges changes(*client.lastCalls());
  cm->AcceptReceivedSignal.Emit("peer@test", "Peer", "conf@test", "");
  cm->conferenceDeleted.Emit("conf@test", 1);
  EXPECT_EQ(changes.count(), 2u);
}

TEST(ConsoleClientTest, HandlersOfOneSignalRunInWiringOrder) {
  OrderClient client;
  client.CreateApplication();
  client.history = std::make_unique<HistoryChanges>(*client.lastCalls());
  HX_ConfManager* cm = client.confManager();
  // The client object's OnAccept before the call history's.
  cm->AcceptReceivedSignal.Emit("peer@test", "Peer", "conf@test", "");
  ASSERT_EQ(client.historyAtAccept.size(), 1u);
  EXPECT_EQ(client.historyAtAccept[0], 0u);
  EXPECT_EQ(client.history->count(), 1u);
  // The call history records an invitation before the call-flow helper reacts to it.
  cm->InviteReceivedSignal.Emit(std::string("conf@test"), "peer@test", "Peer");
  ASSERT_EQ(client.historyAtInvite.size(), 1u);
  EXPECT_EQ(client.historyAtInvite[0], 2u);
  // The same order after a rewiring.
  client._UpdateConferenceManager();
  cm->AcceptReceivedSignal.Emit("peer@test", "Peer", "conf@test", "");
  ASSERT_EQ(client.historyAtAccept.size(), 2u);
  EXPECT_EQ(client.historyAtAccept[1], 2u);
  EXPECT_EQ(client.history->count(), 3u);
}

// Each of the twelve conference events reaches its call-history handler once, also after a
// rewiring, and the rows they write take the current conference's type from the store.
TEST(ConsoleClientTest, ConferenceEventsReachTheCallHistoryWithTheStoresConferenceType) {
  hx::testing::LogCapture log;
  TestConsoleClient client;
  client.CreateApplication();
  HX_LastCalls* history = client.lastCalls().get();
  // No conference: the store answers 0.
  EXPECT_EQ(history->ConfType(), 0);
  {
    ConferenceLock lock;
    ASSERT_TRUE(client.confManager()->confStorage()->storageCreateForeignConferenceLock(
        lock, "conf@test", "conf", "", "peer@test", 16, 0, 5, 0, 0, nullptr, false));
  }
  EXPECT_EQ(history->ConfType(), 5);
  ASSERT_TRUE(history->OpenDatabase("me@test", client.workingDir().c_str()));

  HX_ConfManager* cm = client.confManager();
  const std::vector<std::pair<std::string, std::function<void()>>> events = {
      {"OnInviteSent", [cm] { cm->InviteSentSignal.Emit("p1@test", "c1"); }},
      {"OnInviteReceived",
       [cm] { cm->InviteReceivedSignal.Emit(std::string("c2"), "p2@test", "P2"); }},
      {"OnInviteToMultiSent", [cm] { cm->InviteToMultiSentSignal.Emit("p3@test", "c3", "T3"); }},
      {"OnInviteToMultiReceived",
       [cm] { cm->InviteToMultiReceivedSignal.Emit(std::string("c4"), "p4@test", "T4"); }},
      {"OnReqInviteSent", [cm] { cm->ReqInviteSentSignal.Emit("p5@test"); }},
      {"OnReqInviteReceived",
       [cm] { cm->ReqInviteReceivedSignal.Emit("me@test", "p6@test", "P6"); }},
      {"OnAcceptSent", [cm] { cm->AcceptSentSignal.Emit("p2@test", "c2"); }},
      {"OnAcceptReceived", [cm] { cm->AcceptReceivedSignal.Emit("p1@test", "P1", "c1", ""); }},
      {"OnJoinSent", [cm] { cm->JoinSentSignal.Emit(std::string("room")); }},
      {"OnJoinReceived", [cm] { cm->JoinReceivedSignal.Emit("room@srv", "c8", "Room", "o@test"); }},
      {"OnRejectSent", [cm] { cm->RejectSentSignal.Emit("p6@test", "c9", 0); }},
      {"OnConferenceDeleted", [cm] { cm->conferenceDeleted.Emit("c1", 1); }},
  };
  auto logged = [&log](const std::string& handler) {
    const std::string prefix = "HX_LastCalls::" + handler + " ";
    size_t n = 0;
    for (const std::string& line : log.Lines()) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
  };
  for (size_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    for (const auto& event : events) event.second();
    for (const auto& event : events) EXPECT_EQ(logged(event.first), round) << event.first;
    client._UpdateConferenceManager();
  }
  // Seven new rows a round (invitations and requests, both ways, and the join by name).
  std::list<hx::lastCalls::call> rows;
  ASSERT_TRUE(history->GetList(rows, hx::lastCalls::all, 100));
  EXPECT_EQ(rows.size(), 14u);
  for (const hx::lastCalls::call& row : rows) EXPECT_EQ(row.confType, 5) << row.peer;
}

TEST(ConsoleClientTest, BenchmarkResultIsSavedAndReported) {
  TestConsoleClient client;
  client.CreateApplication();
  // A result as the benchmark emits it (score 189600 measured in 500 ms), delivered through the
  // benchmark's result signal as its thread does.
  const HX_SysPerformanceState state = HX_SysPerformanceState::FromScore(189600, 500, kn_VideoLevelCaps());
  client.sysBenchmark()->resultSignal.Emit(state);
  EXPECT_EQ(client.HookCount("OnSysBenchmarkComplete"), 1u);
  EXPECT_EQ(client.getFSM()->LoadSysBenchmark(), state);
}

TEST(ConsoleClientTest, CapabilitiesWithoutAConference) {
  TestConsoleClient client;
  client.CreateApplication();
  // No active conference: the default record, not the platform's.
  EXPECT_EQ(client.GetCapabilites().sndWidth, 320u);
  // The platform's defaults, with the adapter's current send format over them.
  const HXCapabilites caps = client._GetCapabilites(nullptr, true);
  const HX_MediaFormat current = client.mediaFormatManager()->GetMediaFormat();
  EXPECT_EQ(caps.sndWidth, current.width);
  EXPECT_EQ(caps.sndFrameRate, 25u);
  EXPECT_EQ(client.GetCapabilites(false).sndWidth, 640u);
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
  client.OnRequestMediaManagerAdapter(adapter);
  EXPECT_EQ(adapter, client.mediaFormatManager());
  EXPECT_NE(adapter, nullptr);
}

TEST(ConsoleClientTest, SessionStatesMapOntoTheClientState) {
  TestConsoleClient client;
  client.CreateApplication();
  HXFSMShared* fsm = client.getFSM();
  const struct {
    int32_t session;
    hx::fsm state;
  } steps[] = {{HX_TransportSession::eConnecting, hx::fsm::disconnected},
               {HX_TransportSession::eConnected, hx::fsm::connected},
               {HX_TransportSession::eLoggingIn, hx::fsm::connected},
               {HX_TransportSession::eLoggedIn, hx::fsm::logged_in},
               {HX_TransportSession::eConnectingAutoLogin, hx::fsm::disconnected},
               {HX_TransportSession::eNoConnection, hx::fsm::stopped}};
  for (const auto& step : steps) {
    client.setStateTrs(step.session);
    EXPECT_EQ(fsm->GetFSMState(), step.state) << step.session;
  }
}

TEST(ConsoleClientTest, EnginesAreNewOnEveryCallAndManagersKeepTheirs) {
  TestConsoleClient client;
  client.CreateApplication();
  const auto chat1 = client.GetChatV2();
  const auto chat2 = client.GetChatV2();
  ASSERT_NE(chat1, nullptr);
  EXPECT_NE(chat1, chat2);
  const auto kept = client.chatv2Manager()->engine();
  ASSERT_NE(kept, nullptr);
  EXPECT_NE(kept, chat1);
  EXPECT_EQ(client.chatv2Manager()->engine(), kept);
  const auto file1 = client.FileTransfer();
  const auto file2 = client.FileTransfer();
  ASSERT_NE(file1, nullptr);
  EXPECT_NE(file1, file2);
  const auto keptFile = client.torrentManager()->engine();
  ASSERT_NE(keptFile, nullptr);
  EXPECT_NE(keptFile, file1);
  EXPECT_EQ(client.torrentManager()->engine(), keptFile);
}

TEST(ConsoleClientTest, DestroyingTheObjectDestroysTheDatabaseManagerAndEmptiesTheTable) {
  {
    TestConsoleClient client;
    client.CreateApplication();
    ASSERT_NE(HX_DBManager::existing(), nullptr);
    EXPECT_EQ(HX_DBManager::existing(), client.dbManager());
  }
  EXPECT_EQ(HX_DBManager::existing(), nullptr);
  for (const std::string& service : kServices) {
    EXPECT_EQ(HX_AbstractManager::GetServiceHandler(service.c_str()), nullptr) << service;
  }
}

TEST(ConsoleClientTest, AppIdIsKeptAcrossClientObjectsOnOneFolder) {
  // The folder outlives both client objects.
  hx::testing::TempDir dir;
  struct FolderClient : TestConsoleClient {
    explicit FolderClient(std::string folder) : m_folder(std::move(folder)) {}
    const char* GetWorkingDir() override { return m_folder.c_str(); }
    std::string m_folder;
  };
  std::string first;
  {
    FolderClient client(dir.path());
    client.CreateApplication();
    first = client.getFSM()->GetAppId();
  }
  FolderClient client(dir.path());
  client.CreateApplication();
  EXPECT_EQ(client.getFSM()->GetAppId(), first);
}

// Creating, starting and stopping the loop, and destroying the client object, twice in one
// process. The loop is process-wide and reused; the database manager is made again.
TEST(ConsoleClientTest, TwoLifeCyclesInOneProcess) {
  HXZServer* loops[2] = {nullptr, nullptr};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    {
      TestConsoleClient client;
      client.CreateApplication();
      loops[round] = client.networkServer();
      ASSERT_NE(loops[round], nullptr);
      EXPECT_NE(client.dbManager(), nullptr);
      ASSERT_EQ(loops[round]->startServerLoop(), 0);
      EXPECT_TRUE(loops[round]->isRunning());
      EXPECT_TRUE(loops[round]->Shutdown());
      EXPECT_TRUE(client.Wait());
      EXPECT_FALSE(loops[round]->isRunning());
    }
    EXPECT_EQ(HX_DBManager::existing(), nullptr);
  }
  EXPECT_EQ(loops[0], loops[1]);
}

}  // namespace

namespace {

// Messages dispatched on another thread while the client object is destroyed either reach a live
// manager or find none: every manager leaves the table before it is destroyed.
TEST(ConsoleClientTest, DispatchDuringDestructionFindsLiveManagersOrNone) {
  auto client = std::make_unique<TestConsoleClient>();
  client->CreateApplication();
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread dispatcher([&] {
    HX_Container message;
    message.AddValue("Method", "NoSuchMethod");
    while (!stop.load()) {
      for (const std::string& service : kServices) {
        HX_AbstractManager::Dispatch(service.c_str(), message);
      }
      rounds.fetch_add(1);
    }
  });
  while (rounds.load() < 10) std::this_thread::yield();
  client.reset();
  stop = true;
  dispatcher.join();
  for (const std::string& service : kServices) {
    bool found = true;
    HX_Container message;
    EXPECT_FALSE(HX_AbstractManager::Dispatch(service.c_str(), message, &found));
    EXPECT_FALSE(found) << service;
  }
}

}  // namespace
