// The transport manager's task machine, session states, login and logout control and network
// changes, through the test client object against the fake server on loopback (plain TCP), with
// a login service that keeps sessions by client id.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/base/stored_task.h"
#include "core/client/transport_manager_test_util.h"
#include "core/transport/transport_target.h"

namespace hx::testing {
namespace {

using State = HX_TransportSession::State;

// The threads processTasks ran on.
std::mutex g_threadsMutex;
std::set<std::thread::id> g_taskThreads;
void RecordTaskThread(HX_TransportManager*) {
  std::lock_guard<std::mutex> lock(g_threadsMutex);
  g_taskThreads.insert(std::this_thread::get_id());
}

// The network loop's thread, asked through a network job.
struct ThreadProbe {
  std::atomic<bool> done{false};
  std::thread::id id;
  void Run() {
    id = std::this_thread::get_id();
    done = true;
  }
};
std::thread::id LoopThread() {
  ThreadProbe probe;
  HXZServer::ScheduleNetworkJob(HXCallback::Save(&probe, &ThreadProbe::Run), 0);
  WaitFor([&] { return probe.done.load(); }, kManagerWaitMs);
  return probe.id;
}

int Pings(const FakeServer& server) {
  int n = 0;
  for (const ReceivedMessage& m : server.Messages()) n += m.control_code() == 'p' ? 1 : 0;
  return n;
}

// Transitions the session may make; anything else is a fault of the task machine.
bool Allowed(int32_t from, int32_t to) {
  static const std::set<std::pair<int32_t, int32_t>> allowed = {
      {0, 1}, {0, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}, {3, 5}, {4, 5},
      {4, 3}, {5, 3}, {2, 1}, {3, 1}, {4, 2}, {5, 2}, {1, 0}, {2, 0}, {3, 0},
      {4, 0}, {5, 0}};
  return allowed.count({from, to}) != 0;
}

class TransportManagerTest : public TransportManagerFixture {
 protected:
  void TearDown() override {
    if (m_counting) m_client->serverUnavailable.Disconnect(this, &TransportManagerTest::OnLost);
    TransportManagerFixture::TearDown();
  }
  void CaptureFailures() {
    m_client->serverUnavailable.Connect(this, &TransportManagerTest::OnLost);
    m_counting = true;
  }
  void OnLost(const char*, unsigned short, bool) { ++m_failures; }
  int Failures() const { return m_failures.load(); }

  std::atomic<int> m_failures{0};
  bool m_counting = false;
};

TEST_F(TransportManagerTest, ConnectLogInLogOutAndDisconnect) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  EXPECT_EQ(m_client->States(), (std::vector<int32_t>{0, 1, 3}));
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eConnected);
  EXPECT_STRNE(m_client->TransportCid(), "");
  EXPECT_EQ(std::string(m_client->TransportSid()), "127.0.0.1#vcs");
  HXSockAddr local;
  EXPECT_TRUE(m_client->WaitUntil([&] { return m_client->getLocalBind(local); }));
  // A new session asks for the login status, then publishes its configuration.
  EXPECT_TRUE(server.WaitForMessage([](const auto& m) { return m.method == "CheckUserLoginStatus"; }, kManagerWaitMs));
  EXPECT_TRUE(server.WaitForMessage([](const auto& m) { return m.method == "GetAppProps"; }, kManagerWaitMs));

  LoginAndWait();
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eLoggedIn);
  ASSERT_TRUE(m_client->WaitUntil([&] { return m_client->Logins().size() == 1; }));
  EXPECT_EQ(m_client->Logins()[0].second, 0);
  EXPECT_EQ(m_client->getCookie(), "stored-key");

  EXPECT_TRUE(m_client->Logout(true, false));
  ASSERT_TRUE(m_client->WaitState(State::eConnected));
  EXPECT_TRUE(m_client->WaitUntil([&] { return m_client->getTasks() == 0; }));
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eConnected);
  EXPECT_EQ(m_client->getCookie(), "");  // the plain logout erases the key
  EXPECT_EQ(auth().Count("LogoutUser"), 1);

  m_client->DisconnectServer();
  ASSERT_TRUE(m_client->WaitState(State::eNoConnection));
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eStopped);
  EXPECT_EQ(m_client->getTasks(), 0u);
  for (const auto& change : m_client->Changes()) {
    EXPECT_TRUE(Allowed(change.from, change.to)) << change.from << "->" << change.to;
  }
  for (const std::string& violation : server.Violations()) ADD_FAILURE() << violation;
}

TEST_F(TransportManagerTest, RequestsRefusedOrIgnored) {
  EXPECT_FALSE(m_client->ConnectServer(nullptr, 4307));
  EXPECT_FALSE(m_client->ConnectServer("", 4307));
  EXPECT_FALSE(m_client->ConnectServer("127.0.0.1", 0));
  bool same = true;
  EXPECT_FALSE(m_client->ConnectTransport(HX_TransportTarget(), same));
  EXPECT_FALSE(same);
  // Disconnect in state 0 does nothing.
  m_client->DisconnectServer();
  EXPECT_EQ(m_client->getTasks(), 0u);
  // A login without a connection is refused and leaves the state.
  EXPECT_FALSE(m_client->Login("u", "p", true, true));
  EXPECT_EQ(m_client->getStateTrs(), State::eNoConnection);
}

TEST_F(TransportManagerTest, ConnectLastRefusedWhileConnectedAndReconnectsFromStateZero) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  const uint32_t tasks = m_client->getTasks();
  EXPECT_FALSE(m_client->ConnectLast());
  EXPECT_EQ(m_client->getTasks(), tasks);
  EXPECT_EQ(m_client->getStateTrs(), State::eConnected);

  m_client->DisconnectServer();
  ASSERT_TRUE(m_client->WaitState(State::eNoConnection));
  // The last server is the stored one: the next loop turn connects there again.
  EXPECT_TRUE(m_client->ConnectLast());
  ASSERT_TRUE(m_client->WaitState(State::eConnected));
  EXPECT_EQ(SessionConnections(server).size(), 2u);
}

// The mend: a logout whose answer never comes ends through its time-out on a worker thread, and
// the disconnect that waited for it then runs on the network loop.
TEST_F(TransportManagerTest, DisconnectInStateFiveWaitsForTheLogoutOnTheLoop) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  auth().SetAnswerLogout(false);
  const std::thread::id loop = LoopThread();
  {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    g_taskThreads.clear();
  }
  // The server keeps sending while the logout waits for its time-out.
  std::atomic<bool> sending{true};
  std::thread events([&] {
    const auto connection = SessionConnections(server)[0];
    HX_Container body;
    body.AddValue("Method", "SetProps");
    body.AddValue("server_protocol_version", "450");
    while (sending) {
      connection->Send(ServiceMessage("NET_CONFIG", "NET_CONFIG", body));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  HX_TransportManager::s_processTasksHook = &RecordTaskThread;
  m_client->DisconnectServer();
  EXPECT_TRUE(server.WaitForMessage([](const auto& m) { return m.method == "LogoutUser"; }, kManagerWaitMs));
  ASSERT_TRUE(m_client->WaitState(State::eNoConnection));
  sending = false;
  events.join();
  HX_TransportManager::s_processTasksHook = nullptr;
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eStopped);
  EXPECT_EQ(m_client->getTasks(), 0u);
  // The synthetic logout event (0, 0) stood in for the answer.
  ASSERT_EQ(m_client->Logouts().size(), 1u);
  EXPECT_EQ(m_client->Logouts()[0], std::make_pair(0, 0));
  EXPECT_EQ(m_client->States(), (std::vector<int32_t>{0, 1, 3, 4, 5, 3, 0}));
  std::lock_guard<std::mutex> lock(g_threadsMutex);
  ASSERT_FALSE(g_taskThreads.empty());
  for (const std::thread::id& id : g_taskThreads) EXPECT_EQ(id, loop);
}

TEST_F(TransportManagerTest, ConnectInStateFiveLogsOutDisconnectsAndLogsInWithTheStoredKey) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  m_client->ClearChanges();
  ASSERT_TRUE(m_client->ConnectServer("127.0.0.1", server.port()));
  // Logout (kept key), disconnect, state 0, then a new connection in state 2 (a key is stored),
  // a new session (the CID went with the disconnect) and the automatic login with the key.
  ASSERT_TRUE(m_client->WaitUntil([&] {
    const auto states = m_client->States();
    return !states.empty() && states.back() == State::eLoggedIn;
  }));
  EXPECT_EQ(m_client->States(), (std::vector<int32_t>{5, 3, 0, 2, 4, 5}));
  EXPECT_EQ(auth().Count("LogoutUser"), 1);
  EXPECT_EQ(auth().Count("LoginUser"), 2);
  std::string key;
  auth().LastLogin().GetValue("Key", key);
  EXPECT_EQ(key, "stored-key");
  const auto sessions = SessionConnections(server);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_NE(sessions[1]->assigned_client_id(), sessions[0]->assigned_client_id());
}

TEST_F(TransportManagerTest, ConnectTransportToTheSameSessionOrWithAForcedLoginChange) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  hx::transport::UriLoginParams params;
  params.setLogin("user@test.invalid");
  params.setKey("secret");
  bool same = false;
  ASSERT_TRUE(m_client->ConnectTransport(
      hx::transport::TargetBuilder().setServer("127.0.0.1", server.port()).setLoginParams(params).build(), same));
  EXPECT_TRUE(same);
  EXPECT_EQ(m_client->getTasks(), 0u);

  m_client->ClearChanges();
  params.setLogin("other@test.invalid");
  params.setForce(true);
  ASSERT_TRUE(m_client->ConnectTransport(
      hx::transport::TargetBuilder().setServer("127.0.0.1", server.port()).setLoginParams(params).build(), same));
  EXPECT_FALSE(same);
  // Logged out and in again as the other user, on the same connection.
  ASSERT_TRUE(m_client->WaitUntil([&] { return m_client->Logins().size() == 2; }));
  ASSERT_TRUE(m_client->WaitState(State::eLoggedIn));
  EXPECT_EQ(m_client->Logins()[1].first, "other@test.invalid");
  EXPECT_EQ(SessionConnections(server).size(), 1u);
  EXPECT_EQ(m_client->States(), (std::vector<int32_t>{5, 3, 4, 5}));
}

TEST_F(TransportManagerTest, RefusedLoginsReArmTheDeadline) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  struct Case {
    int32_t result;
    int32_t state;
  } cases[] = {{6, State::eConnected}, {5, State::eLoggingIn}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    auth().SetLoginResult(c.result);
    // The answer comes 200 ms after the request, so that its deadline shows apart.
    auth().SetAnswerDelay(std::chrono::milliseconds(200));
    const int before = auth().Count("LoginUser");
    ASSERT_TRUE(m_client->Login("user@test.invalid", "secret", true, true));
    const uint64_t armed = m_client->getLoginDeadline();
    EXPECT_NE(armed, 0u);
    ASSERT_TRUE(WaitFor([&] { return auth().Count("LoginUser") == before + 1; }, kManagerWaitMs));
    // The answer re-arms the 30000 ms deadline from its own arrival.
    ASSERT_TRUE(WaitFor([&] { return m_client->getLoginDeadline() >= armed + 150; }, kManagerWaitMs));
    EXPECT_LE(m_client->getLoginDeadline(), armed + 30000);
    EXPECT_EQ(m_client->getStateTrs(), c.state);
    if (c.state == State::eLoggingIn) {
      // Back to 3 for the next round: the server's answer to a check never comes here.
      m_client->setStateTrs(State::eConnected);
    }
  }
}

TEST_F(TransportManagerTest, UnansweredLoginTimesOutOnce) {
  HX_TransportManager::timing().loginTimeoutMs = 200;
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  auth().SetAnswerLogin(false);
  struct Counter {
    std::atomic<int> n{0};
    void On() { ++n; }
  } timeouts;
  m_client->loginTimedOut.Connect(&timeouts, &Counter::On);
  ASSERT_TRUE(m_client->Login("user@test.invalid", "secret", true, true));
  EXPECT_TRUE(WaitFor([&] { return timeouts.n.load() == 1; }, kManagerWaitMs));
  EXPECT_EQ(m_client->getLoginDeadline(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(timeouts.n.load(), 1);
  EXPECT_EQ(m_client->getStateTrs(), State::eLoggingIn);
  m_client->loginTimedOut.Disconnect(&timeouts, &Counter::On);
}

TEST_F(TransportManagerTest, NetworkTypeChanges) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  ASSERT_TRUE(server.WaitForMessage([](const auto& m) { return m.method == "GetAppProps"; }, kManagerWaitMs));
  const uint32_t generation = m_client->getConnectionGeneration();
  // Wi-Fi again with the same addresses: nothing.
  m_client->SetNetworkType(0x8004, false);
  LoopThread();  // the change has run
  EXPECT_EQ(Pings(server), 0);
  EXPECT_EQ(m_client->getConnectionGeneration(), generation);
  // Cellular: the connection is pinged, and the ping raises the connection generation.
  m_client->SetNetworkType(0x8008, false);
  EXPECT_TRUE(server.WaitForMessage([](const auto& m) { return m.control_code() == 'p'; }, kManagerWaitMs));
  EXPECT_TRUE(WaitFor([&] { return m_client->getConnectionGeneration() == generation + 1; }, kManagerWaitMs));
  EXPECT_EQ(m_client->getStateTrs(), State::eConnected);
  // No network, while a ping can still be sent: the connection stays.
  m_client->SetNetworkType(0x8000, false);
  EXPECT_TRUE(WaitFor([&] { return Pings(server) == 2; }, kManagerWaitMs));
  EXPECT_EQ(m_client->getStateTrs(), State::eConnected);
  EXPECT_EQ(SessionConnections(server).size(), 1u);
  // Forced: the connection goes, and no attempt follows without a network.
  m_client->SetNetworkType(0x8000, true);
  ASSERT_TRUE(m_client->WaitState(State::eConnecting));
  EXPECT_TRUE(m_client->WaitUntil(
      [&] { return m_client->getAccessibility() == HX_TransportSessionCtrlInfo::eWaiting; }));
  // The network comes back: a new attempt at once.
  m_client->SetNetworkType(0x8004, false);
  ASSERT_TRUE(m_client->WaitState(State::eConnected));
  EXPECT_EQ(SessionConnections(server).size(), 2u);
  // The store was told the last change, with its mode (-1 would be never).
  EXPECT_EQ(m_client->store()->lastNetworkType(), 4);
}

// An attempt that waits out its back-off when a disconnect comes opens nothing afterwards.
TEST_F(TransportManagerTest, DisconnectVoidsTheAttemptThatWaits) {
  FakeServer& probe = StartServer();
  const uint16_t port = probe.port();
  m_servers[0]->Stop();  // nobody listens: every attempt fails at once
  CaptureFailures();
  ASSERT_TRUE(m_client->ConnectServer("127.0.0.1", port));
  // Five attempts go out at once, the sixth waits 500 ms, the seventh 750 ms.
  ASSERT_TRUE(WaitFor([&] { return Failures() >= 6; }, kManagerWaitMs));
  m_client->DisconnectServer();
  ASSERT_TRUE(m_client->WaitState(State::eNoConnection));
  EXPECT_EQ(m_client->getAccessibility(), HX_TransportSessionCtrlInfo::eStopped);
  FakeServer& later = StartServer("127.0.0.1", port);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(SessionConnections(later).empty());
  EXPECT_EQ(m_client->getStateTrs(), State::eNoConnection);
}

TEST_F(TransportManagerTest, EarlierEventOfAKindWins) {
  using Event = HX_TransportManager::TrEvent;
  const uint32_t generation = m_client->getTargetGeneration();
  auto kinds = [&](Event kind) {
    std::vector<uint64_t> due;
    for (const auto& [time, event] : m_client->getEvents()) {
      if (event == kind) due.push_back(time);
    }
    return due;
  };
  const uint64_t base = 10000000000ull;  // far ahead: nothing runs
  m_client->eventAdd(generation, HX_TransportManager::eEventUpdateServersList, base + 1000);
  m_client->eventAdd(generation, HX_TransportManager::eEventUpdateServersList, base + 5000);
  EXPECT_EQ(kinds(HX_TransportManager::eEventUpdateServersList), std::vector<uint64_t>{base + 1000});
  m_client->eventAdd(generation, HX_TransportManager::eEventCheckBetterHost, base + 3000);
  m_client->eventAdd(generation, HX_TransportManager::eEventUpdateServersList, base + 500);
  EXPECT_EQ(kinds(HX_TransportManager::eEventUpdateServersList), std::vector<uint64_t>{base + 500});
  EXPECT_EQ(kinds(HX_TransportManager::eEventCheckBetterHost), std::vector<uint64_t>{base + 3000});
  // Another generation's request changes nothing.
  m_client->eventAdd(generation + 1, HX_TransportManager::eEventCheckBetterHost, base);
  EXPECT_EQ(kinds(HX_TransportManager::eEventCheckBetterHost), std::vector<uint64_t>{base + 3000});
}

// Host threads fire requests while the loop connects, logs in and handles the server's
// messages: the session only ever makes the allowed transitions and ends where the last request
// points.
TEST_F(TransportManagerTest, RequestsFromSeveralThreads) {
  FakeServer& server = StartServer();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25 && !stop; ++i) {
        switch ((i + t) % 5) {
          case 0:
            m_client->ConnectServer("127.0.0.1", server.port());
            break;
          case 1:
            m_client->Login("user@test.invalid", "secret", true, true);
            break;
          case 2:
            m_client->DisconnectServer();
            break;
          case 3:
            m_client->SetNetworkType(i % 2 ? 0x8008 : 0x8004, false);
            break;
          default:
            m_client->ConnectLast();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + t));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stop = true;
  ASSERT_TRUE(m_client->ConnectServer("127.0.0.1", server.port()));
  ASSERT_TRUE(WaitFor([&] { return m_client->getStateTrs() == State::eConnected ||
                                   m_client->getStateTrs() == State::eLoggedIn; },
                      kManagerWaitMs));
  ASSERT_TRUE(WaitFor([&] { return m_client->getTasks() == 0; }, kManagerWaitMs));
  for (const auto& change : m_client->Changes()) {
    EXPECT_TRUE(Allowed(change.from, change.to)) << change.from << "->" << change.to;
  }
  for (const std::string& violation : server.Violations()) ADD_FAILURE() << violation;
}

}  // namespace
}  // namespace hx::testing
