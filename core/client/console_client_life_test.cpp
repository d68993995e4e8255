// The client application object's whole life against the fake conferencing server on loopback:
// Start without connecting, connect, log in, log out, disconnect, Shutdown; the coarse state's
// steps beside the session states, the per-user databases opened at login and closed at logout and
// at the stop of the session, the own presence status, a restart on the same folder with a
// remembered login, and two Start/Shutdown cycles on one client object in one process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/chat/chat_managers.h"
#include "core/client/console_client.h"
#include "core/client/transport_manager_test_util.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/history/last_calls.h"
#include "core/contacts/phones/phones_storage.h"

namespace hx::testing {
namespace {

using S = HX_TransportSession::State;

constexpr char kUser[] = "user@test.invalid";

// The "UserPresStatus" of a message, or -127.
int32_t StatusOf(const ReceivedMessage& message) {
  int32_t status = USER_STATUS_UNDEF;
  size_t size = sizeof(status);
  message.body.GetValue("UserPresStatus", HX_CNT_INTEGER_VT, &status, size);
  return status;
}

// Records the coarse state's steps and the session states, and lets the client object's own
// reactions run.
class LifeClient : public TestConsoleClient {
 public:
  explicit LifeClient(std::string folder) : m_folder(std::move(folder)) {}
  const char* GetWorkingDir() override { return m_folder.c_str(); }

  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override {
    HXConsoleClient::onTrSessionStateChanged(oldState, newState);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.push_back(newState);
  }
  void OnFSMStateChanged(hx::fsm newState, hx::fsm oldState) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_steps.push_back(static_cast<int>(newState));
    }
    if (std::function<void()> hook = std::exchange(stateHook, nullptr)) hook();
    HXConsoleClient::OnFSMStateChanged(newState, oldState);
  }
  // Runs once, at the next change of the coarse state, before the client object's own reaction.
  std::function<void()> stateHook;
  std::vector<int> Steps() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_steps;
  }
  std::vector<int> Sessions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_steps.clear();
  }
  bool WaitFsm(hx::fsm state) {
    return WaitFor([&] { return getFSM()->GetFSMState() == state; }, kManagerWaitMs);
  }
  bool WaitSession(int32_t state) {
    return WaitFor([&] { return getStateTrs() == state; }, kManagerWaitMs);
  }

 private:
  std::string m_folder;
  std::mutex m_mutex;
  std::vector<int> m_steps;
  std::vector<int> m_sessions;
};

class ConsoleClientLifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    // HX_TEST_LOG set: the core's log lines go to stderr.
    if (getenv("HX_TEST_LOG") != nullptr) {
      hx::SetLogSink([](const std::string& line) { fprintf(stderr, "LOG %s\n", line.c_str()); });
    }
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(2000, 2000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(800);
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr);
    SetBuiltInRootCertificate(pki->root.cert_pem);
    FakeServerOptions options;
    options.connection.handshake_reply.server_id = kTestServerId;
    options.connection.handshake_reply.secure = true;
    options.connection.secure_identity = pki->Identity(pki->server);
    m_server = std::make_unique<FakeServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_auth = std::make_unique<SessionAuth>(*m_server);
    m_folder = m_dir.path() + "/";
  }
  void TearDown() override {
    if (m_client) Stop(*m_client);
    m_client.reset();
    m_auth.reset();
    m_server.reset();
    delete HXZServer::installNetworkManager();
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(15000, 15000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
    HXZCommonSocket::SetDenyTLS(false);
  }

  std::unique_ptr<LifeClient> MakeClient() {
    auto client = std::make_unique<LifeClient>(m_folder);
    client->CreateApplication();
    return client;
  }
  // Disconnects (when connected) and shuts the client down, waiting for the loop.
  void Stop(LifeClient& client) {
    if (client.getStateTrs() == S::eLoggedIn) {
      // Logged out first (keeping the key), as a host does before it disconnects.
      client.Logout(true, true);
      client.WaitSession(S::eConnected);
    }
    if (client.getStateTrs() != S::eNoConnection) {
      client.DisconnectServer();
      client.WaitSession(S::eNoConnection);
    }
    if (auto connection = client.connection()) connection->DisconnectServer();
    // The servers list's checks end with a turn or two of the loop.
    if (client.networkServer()->isRunning()) {
      LoopTurn();
      LoopTurn();
    }
    client.Shutdown(true);
  }
  void ConnectAndLogIn(LifeClient& client) {
    const int connection = static_cast<int>(m_server->Connections().size()) + 1;
    ASSERT_TRUE(client.ConnectServer("127.0.0.1", m_server->port()));
    ASSERT_TRUE(client.WaitSession(S::eConnected));
    ASSERT_TRUE(client.WaitFsm(hx::fsm::connected));
    // The connection's first steps end with "GetAppProps"; a login goes after them.
    ASSERT_TRUE(m_server->WaitForMessage(
        [connection](const ReceivedMessage& m) { return m.connection >= connection && m.method == "GetAppProps"; },
        kManagerWaitMs));
    ASSERT_TRUE(client.Login(kUser, "secret", true, true));
    ASSERT_TRUE(client.WaitSession(S::eLoggedIn))
        << "session " << client.getStateTrs() << ", tasks " << client.getTasks() << ", server saw "
        << ::testing::PrintToString(m_auth->Methods()) << ", sessions " << ::testing::PrintToString(client.Sessions());
    ASSERT_TRUE(client.WaitFsm(hx::fsm::logged_in));
    // The login is reported after the session reached state 5.
    ASSERT_TRUE(m_server->WaitForMessage(
        [connection](const ReceivedMessage& m) {
          return m.connection >= connection && m.method == "SearchAddressBook";
        },
        kManagerWaitMs));
  }

  TempDir m_dir;
  std::string m_folder;
  std::unique_ptr<FakeServer> m_server;
  std::unique_ptr<SessionAuth> m_auth;
  std::unique_ptr<LifeClient> m_client;
};

TEST_F(ConsoleClientLifeTest, WholeLifeMovesTheStateAndTheDatabases) {
  m_client = MakeClient();
  LifeClient& client = *m_client;
  // Nothing remembered yet: no database opened at creation.
  EXPECT_FALSE(client.isUserDbOpen());
  EXPECT_FALSE(client.phonesManager()->database().IsOpen());

  ASSERT_TRUE(client.Start(0x8004, false));
  EXPECT_TRUE(client.networkServer()->isRunning());
  EXPECT_TRUE(client.getFSM()->isAvatarDownloaderRunning());
  EXPECT_EQ(client.getFSM()->GetFSMState(), hx::fsm::stopped);
  ASSERT_TRUE(WaitFor([&] { return client.getFSM()->GetNetworkMode() == 4; }, kManagerWaitMs));

  ConnectAndLogIn(client);
  EXPECT_EQ(client.Steps(), (std::vector<int>{1, 2, 3}));
  // 4 is passed unless the server's answer was handled before the request returned.
  const std::vector<int> sessions = client.Sessions();
  EXPECT_TRUE(sessions == (std::vector<int>{1, 3, 4, 5}) || sessions == (std::vector<int>{1, 3, 5}))
      << ::testing::PrintToString(sessions);
  // Logged in: the own status is online, the per-user databases are open for the user.
  EXPECT_EQ(client.getFSM()->GetMyStatus(), USER_AVAIL);
  EXPECT_TRUE(m_server->WaitForMessage(
      [](const ReceivedMessage& m) { return m.method == "UpdateStatus" && StatusOf(m) == USER_AVAIL; }, kManagerWaitMs));
  EXPECT_TRUE(client.isUserDbOpen());
  EXPECT_TRUE(client.contactCache()->IsOpen());
  EXPECT_TRUE(client.chatManager()->chatDB()->IsOpen());
  EXPECT_EQ(client.chatManager()->chatDB()->PeerId(), kUser);
  EXPECT_EQ(client.phonesManager()->database().PeerId(), kUser);
  EXPECT_EQ(client.groupsManager()->PeerId(), kUser);
  EXPECT_TRUE(client.lastCalls()->IsOpen());
  EXPECT_EQ(client.lastCalls()->PeerId(), kUser);
  // The books were asked for: groups, phones, contacts, bans.
  EXPECT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "SearchAddressBook"; },
                                       kManagerWaitMs));

  // A conference joined: state 5 and the busy status; its end: back to 3 and online.
  client.Clear();
  int32_t id = 0;
  {
    HX_ConfManager* manager = client.confManager();
    ConferenceLock lock;
    ASSERT_TRUE(manager->storageRequestCreateConferenceLock(lock, "room", "", kUser, 16, 0, 0, 0, 0, nullptr, false));
    id = lock->getId();
    ASSERT_TRUE(manager->storageCreateConferenceCommit(lock, "p2p@test.invalid", 1));
  }
  {
    ConferenceLock lock;
    ASSERT_TRUE(client.confManager()->getConferenceLock(lock, id));
    lock->setState(lock, ::conference::kStateJoined);
  }
  ASSERT_TRUE(client.WaitFsm(hx::fsm::in_conference));
  EXPECT_TRUE(WaitFor([&] { return client.getFSM()->GetMyStatus() == USER_BUSY; }, kManagerWaitMs));
  {
    ConferenceLock lock;
    ASSERT_TRUE(client.confManager()->getConferenceLock(lock, id));
    ASSERT_TRUE(client.confManager()->DeleteConference(lock, false, true));
  }
  client.confManager()->destroyConference(id);
  ASSERT_TRUE(client.WaitFsm(hx::fsm::logged_in));
  EXPECT_EQ(client.Steps(), (std::vector<int>{4, 5, 4, 3}));
  EXPECT_TRUE(WaitFor([&] { return client.getFSM()->GetMyStatus() == USER_AVAIL; }, kManagerWaitMs));

  // Logout: back to connected, the contact cache closed.
  client.Clear();
  client.Logout(true, false);
  ASSERT_TRUE(client.WaitSession(S::eConnected));
  ASSERT_TRUE(client.WaitFsm(hx::fsm::connected));
  EXPECT_EQ(client.Steps(), (std::vector<int>{2}));
  EXPECT_FALSE(client.isUserDbOpen());
  EXPECT_FALSE(client.contactCache()->IsOpen());

  // Log in again, log out, and the session stops.
  ASSERT_TRUE(client.Login(kUser, "secret", true, true));
  ASSERT_TRUE(client.WaitFsm(hx::fsm::logged_in));
  ASSERT_TRUE(WaitFor([&] { return client.isUserDbOpen(); }, kManagerWaitMs));
  client.Logout(true, false);
  ASSERT_TRUE(client.WaitFsm(hx::fsm::connected));
  EXPECT_FALSE(client.isUserDbOpen());
  client.Clear();
  client.DisconnectServer();
  ASSERT_TRUE(client.WaitSession(S::eNoConnection))
      << "session " << client.getStateTrs() << ", tasks " << client.getTasks() << ", logouts asked "
      << m_auth->Count("LogoutUser") << ", server saw " << ::testing::PrintToString(m_auth->Methods()) << ", sessions "
      << ::testing::PrintToString(client.Sessions());
  ASSERT_TRUE(client.WaitFsm(hx::fsm::stopped));
  EXPECT_FALSE(client.contactCache()->IsOpen());
  EXPECT_EQ(client.Steps(), (std::vector<int>{1, 0}));

  Stop(client);
  EXPECT_FALSE(client.networkServer()->isRunning());
  EXPECT_FALSE(client.getFSM()->isAvatarDownloaderRunning());
}

// The loop reports the first step of a connect, and the client object's reaction takes the
// conference store's lock. A request made under the store's lock on another thread at that moment
// (as the call flow's requests are) reads the connection under the transport manager's lock: the
// report must come without it.
TEST_F(ConsoleClientLifeTest, ARequestUnderTheStoreLockWhileTheSessionStartsToConnect) {
  m_client = MakeClient();
  LifeClient& client = *m_client;
  ASSERT_TRUE(client.Start(0x8004, false));
  ASSERT_TRUE(WaitFor([&] { return client.getFSM()->GetNetworkMode() == 4; }, kManagerWaitMs));
  HXLock& storeLock = client.confManager()->confStorage()->StorageLock();
  std::atomic<bool> reacting{false};
  std::atomic<bool> storeHeld{false};
  std::atomic<bool> sent{false};
  // On the loop, inside the connect: the reaction goes on once the host holds the store's lock.
  client.stateHook = [&] {
    reacting = true;
    WaitFor([&] { return storeHeld.load(); }, kManagerWaitMs);
  };
  std::thread host([&] {
    WaitFor([&] { return reacting.load(); }, kManagerWaitMs);
    HXAutoLock lock(storeLock);
    storeHeld = true;
    client.contactsManager()->GetUserStatus("ann@test.invalid");
    sent = true;
  });
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", m_server->port()));
  if (!WaitFor([&] { return sent.load(); }, kManagerWaitMs)) {
    // Two threads wait for each other's lock: nothing can end this process in order.
    ADD_FAILURE() << "the request waits for the lock the connecting loop holds";
    fflush(nullptr);
    std::_Exit(1);
  }
  host.join();
  EXPECT_TRUE(client.WaitSession(S::eConnected));
}

// The contact cache also closes when the session goes straight to 0 while logged in.
TEST_F(ConsoleClientLifeTest, StopWhileLoggedInClosesTheContactCache) {
  m_client = MakeClient();
  LifeClient& client = *m_client;
  ASSERT_TRUE(client.Start(0x8004, false));
  ConnectAndLogIn(client);
  ASSERT_TRUE(client.isUserDbOpen());
  client.Clear();
  // The session is stopped without a logout first.
  client.setStateTrs(S::eNoConnection);
  EXPECT_FALSE(client.isUserDbOpen());
  EXPECT_FALSE(client.contactCache()->IsOpen());
  EXPECT_EQ(client.contactCache()->PeerId(), "");
  EXPECT_EQ(client.getFSM()->GetFSMState(), hx::fsm::stopped);
  EXPECT_EQ(client.Steps(), (std::vector<int>{2, 1, 0}));
}

// A remembered login opens the per-user databases when the next client object on the folder is
// created, and Start reloads the contacts from the cache.
TEST_F(ConsoleClientLifeTest, RestartWithARememberedLoginOpensTheDatabasesAtCreation) {
  m_client = MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  ConnectAndLogIn(*m_client);
  Stop(*m_client);
  m_client.reset();
  delete HXZServer::installNetworkManager();

  m_client = MakeClient();
  LifeClient& client = *m_client;
  EXPECT_TRUE(client.isUserDbOpen());
  EXPECT_TRUE(client.contactCache()->IsOpen());
  EXPECT_EQ(client.contactCache()->PeerId(), kUser);
  EXPECT_TRUE(client.chatManager()->chatDB()->IsOpen());
  EXPECT_TRUE(client.groupsManager()->IsOpen());
  EXPECT_TRUE(client.phonesManager()->database().IsOpen());
  EXPECT_EQ(client.lastCalls()->PeerId(), kUser);
  EXPECT_TRUE(client.lastCalls()->IsOpen());
  EXPECT_EQ(static_cast<HX_AvatarDB*>(client.getFSM())->PeerId(), kUser);
  size_t rebuilds = 0;
  struct Counter {
    size_t* count;
    void On(bool whole, bool) { *count += whole ? 1 : 0; }
  } counter{&rebuilds};
  client.contactsManager()->beginContactListUpdate.Connect(&counter, &Counter::On);
  ASSERT_TRUE(client.Start(0x8004, false));
  EXPECT_EQ(rebuilds, 1u);
  client.contactsManager()->beginContactListUpdate.Disconnect(&counter, &Counter::On);
  EXPECT_TRUE(client.contactCache()->IsOpen());
}

// A working folder that cannot hold files (its path names a regular file): the login still
// completes, nothing throws, and the contact cache and the avatar list stay closed.
TEST_F(ConsoleClientLifeTest, LoginWithAnUnusableFolderLeavesTheUserDatabasesClosed) {
  const std::string file = m_dir.path() + "/plain-file";
  { std::ofstream(file) << "x"; }
  m_folder = file + "/";
  m_client = MakeClient();
  LifeClient& client = *m_client;
  ASSERT_TRUE(client.Start(0x8004, false));
  ConnectAndLogIn(client);
  EXPECT_FALSE(client.isUserDbOpen());
  EXPECT_FALSE(client.contactCache()->IsOpen());
  EXPECT_FALSE(static_cast<HX_AvatarDB*>(client.getFSM())->IsOpen());
  // A closed cache answers as one: an unknown id counts as banned, nothing is written.
  EXPECT_TRUE(client.contactCache()->IsBan("stranger@test.invalid"));
  EXPECT_TRUE(client.contactCache()->AddToCache("stranger@test.invalid", "S"));
  EXPECT_TRUE(client.contactCache()->ResolveCache().empty());
}

// Two Start/Shutdown cycles on one client object in one process, each through a whole session.
TEST_F(ConsoleClientLifeTest, TwoStartShutdownCycles) {
  m_client = MakeClient();
  LifeClient& client = *m_client;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    client.Clear();
    ASSERT_TRUE(client.Start(0x8004, false));
    EXPECT_TRUE(client.networkServer()->isRunning());
    ConnectAndLogIn(client);
    EXPECT_EQ(client.Steps(), (std::vector<int>{1, 2, 3}));
    client.Logout(true, false);
    ASSERT_TRUE(client.WaitFsm(hx::fsm::connected));
    Stop(client);
    EXPECT_EQ(client.getFSM()->GetFSMState(), hx::fsm::stopped);
    EXPECT_FALSE(client.networkServer()->isRunning());
    EXPECT_EQ(client.Steps().back(), 0);
  }
  EXPECT_EQ(m_auth->Count("LoginUser"), 2);
}

// Start with the connect flag reconnects to the last server of the stored session.
TEST_F(ConsoleClientLifeTest, StartWithConnectReconnectsToTheLastServer) {
  m_client = MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  ConnectAndLogIn(*m_client);
  Stop(*m_client);
  const size_t connections = SessionConnections(*m_server).size();
  ASSERT_TRUE(m_client->Start(0x8004, true));
  ASSERT_TRUE(m_client->WaitSession(S::eLoggedIn));
  EXPECT_EQ(SessionConnections(*m_server).size(), connections + 1);
}

}  // namespace
}  // namespace hx::testing
