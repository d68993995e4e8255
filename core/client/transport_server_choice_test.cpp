// The transport manager's server choice against several fake servers and dnsmasq: a cloud
// connect through the domain's SRV record, the fallback to the domain's default server on the
// fixed port 4307 (each test program on a loopback address of its own), a lost session resumed
// within its client id's lifetime and a new one logged in with the stored key after it, which
// losses make the servers list forget a host, redirects at once or after the last conference,
// and the switch to a better host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/ios_log.h"
#include "core/client/transport_manager_test_util.h"
#include "core/storage/server_list_db.h"
#include "core/transport/servers_list.h"
#include "testing/dnsmasq_server.h"
#include "testing/fake_server/fake_services.h"

namespace hx::testing {
namespace {

using State = HX_TransportSession::State;

// A loopback address of this test program's own (127.b.c.d from the process id), so that test
// programs running at once do not meet on the fixed port 4307.
std::string OwnLoopback() {
  const unsigned pid = static_cast<unsigned>(getpid());
  return "127." + std::to_string(1 + (pid >> 16) % 250) + "." + std::to_string((pid >> 8) & 0xff) + "." +
         std::to_string(2 + (pid & 0xff) % 250);
}

class TransportServerChoiceTest : public TransportManagerFixture {
 protected:
  void TearDown() override {
    hx::SetLogSink(nullptr);
    TransportManagerFixture::TearDown();
  }
  void CaptureLog() {
    hx::SetLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_logMutex);
      m_log.push_back(line);
    });
  }
  bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    for (const std::string& line : m_log) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  bool SessionIn(std::initializer_list<int32_t> states) {
    const int32_t now = m_client->getStateTrs();
    for (int32_t s : states) {
      if (s == now) return true;
    }
    return false;
  }
  // Gives the servers list a measured ping for the host (checked and connected now).
  // Waits for the check of the connection's first servers-list update to land (its measured ping
  // would overwrite a test's own).
  void SettleFirstCheck(uint16_t port) {
    WaitFor([&] { return PingOf(port) < 15000; }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  void StorePing(const std::string& domain, const std::string& server, uint16_t port, uint64_t ping) {
    auto db = m_client->serversList()->getMainDb();
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    ASSERT_TRUE(db->SetLastConnectTime(domain, server, "127.0.0.1", "127.0.0.1", port, now));
    ASSERT_TRUE(db->SetPingTime(domain, server, "127.0.0.1", "127.0.0.1", port, ping, now));
  }
  uint64_t PingOf(uint16_t port) {
    HXServerEndpoint endpoint;
    m_client->serversList()->getMainDb()->GetHost(endpoint, "127.0.0.1", port);
    return endpoint.getPing();
  }

  std::mutex m_logMutex;
  std::vector<std::string> m_log;
};

TEST_F(TransportServerChoiceTest, CloudConnectThroughTheSrvRecord) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  FakeServer& server = StartServer("127.0.0.1", 0, "s1.cloud.hx.test#as");
  DnsmasqServer names(dnsmasq, {"--local=/hx.test/", "--host-record=s1.cloud.hx.test,127.0.0.1",
                                "--srv-host=vcs2.tcp.cloud.hx.test,s1.cloud.hx.test," +
                                    std::to_string(server.port()) + ",10,10"});
  ASSERT_TRUE(names.ready());
  ASSERT_TRUE(m_loop->Rebind({{"127.0.0.1", names.port()}}));
  m_client->ConnectService("cloud.hx.test");
  ASSERT_TRUE(m_client->WaitState(State::eConnected));
  EXPECT_EQ(m_client->getSid(), "s1.cloud.hx.test#as");
  EXPECT_EQ(m_client->getDomain(), "cloud.hx.test");
  EXPECT_EQ(SessionConnections(server).size(), 1u);
  for (const std::string& violation : server.Violations()) ADD_FAILURE() << violation;
}

TEST_F(TransportServerChoiceTest, CloudFallsBackToTheDefaultServer) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  HX_TransportManager::timing().serviceCheckMs = 300;
  const std::string address = OwnLoopback();
  FakeServerOptions probe;
  probe.bind_address = address;
  probe.port = 4307;
  {
    FakeServer free(probe);
    if (!free.Start()) GTEST_SKIP() << address << ":4307 is taken";
  }
  FakeServer& server = StartServer(address, 4307, "main.fb.hx.test#as");
  // No SRV record: discovery finds nothing, the check falls back to vcs2.tcp.<domain>.
  DnsmasqServer names(dnsmasq, {"--local=/hx.test/", "--host-record=vcs2.tcp.fb.hx.test," + address});
  ASSERT_TRUE(names.ready());
  ASSERT_TRUE(m_loop->Rebind({{"127.0.0.1", names.port()}}));
  CaptureLog();
  m_client->ConnectService("fb.hx.test");
  ASSERT_TRUE(m_client->WaitState(State::eConnected));
  EXPECT_TRUE(Logged("Fallback to default server vcs2.tcp.fb.hx.test:4307"));
  EXPECT_EQ(m_client->getSid(), "main.fb.hx.test#as");
  // A service server reached through the default name: the domain is the name without its prefix.
  EXPECT_EQ(m_client->getDomain(), "fb.hx.test");
  EXPECT_EQ(SessionConnections(server).size(), 1u);
}

TEST_F(TransportServerChoiceTest, LostSessionResumedWithinTheClientIdsLifetime) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  const std::string cid = SessionConnections(server)[0]->assigned_client_id();
  m_client->ClearChanges();
  SessionConnections(server)[0]->Close();
  // The same client id again, the server knows the session: no new login.
  ASSERT_TRUE(m_client->WaitUntil([&] {
    return SessionConnections(server).size() == 2 && m_client->getStateTrs() == State::eLoggedIn;
  }));
  EXPECT_EQ(SessionConnections(server)[1]->assigned_client_id(), cid);
  EXPECT_EQ(auth().Count("LoginUser"), 1);
  EXPECT_EQ(auth().Count("CheckUserLoginStatus"), 2);
  EXPECT_EQ(m_client->States(), (std::vector<int32_t>{5, 2, 4, 5}));

  // Now the server stays away longer than the id lives: the next session is a new one, logged in
  // with the stored key.
  HX_TransportManager::timing().cidLifetimeSec = 1;
  const uint16_t port = server.port();
  m_servers[0]->Stop();
  ASSERT_TRUE(m_client->WaitState(State::eConnectingAutoLogin));
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  FakeServer& again = StartServer("127.0.0.1", port);
  ASSERT_TRUE(m_client->WaitUntil([&] { return m_client->getStateTrs() == State::eLoggedIn; }, 20000));
  ASSERT_EQ(SessionConnections(again).size(), 1u);
  // The client asked for a new id rather than its old one.
  EXPECT_EQ(SessionConnections(again)[0]->handshake_request()->client_id, "");
  EXPECT_EQ(SessionConnections(server)[1]->handshake_request()->client_id, cid);
  EXPECT_EQ(auth(1).Count("LoginUser"), 1);
  std::string key;
  auth(1).LastLogin().GetValue("Key", key);
  EXPECT_EQ(key, "stored-key");
}

TEST_F(TransportServerChoiceTest, LossDuringAConferenceKeepsItWhileTheClientIdLives) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  struct Lost {
    std::atomic<int> n{0};
    void On(const char*, unsigned short, bool) { ++n; }
  } lost;
  m_client->serverUnavailable.Connect(&lost, &Lost::On);
  const int32_t conference = m_client->JoinConference("room@" + std::string(kTestServerId));
  ASSERT_NE(conference, 0);
  SessionConnections(server)[0]->Close();
  // Resumed quietly: the conference stays, nothing is reported.
  ASSERT_TRUE(m_client->WaitUntil([&] {
    return SessionConnections(server).size() == 2 && m_client->getStateTrs() == State::eLoggedIn;
  }));
  EXPECT_TRUE(m_client->HasConference(conference));
  EXPECT_TRUE(m_client->DeleteRequests().empty());
  EXPECT_EQ(lost.n.load(), 0);
  // Once the id no longer lives, the conferences are closed (the server told) and the loss is
  // reported.
  HX_TransportManager::timing().cidLifetimeSec = 0;
  SessionConnections(server)[1]->Close();
  EXPECT_TRUE(WaitFor([&] { return !m_client->HasConference(conference); }, kManagerWaitMs));
  EXPECT_EQ(m_client->DeleteRequests(), std::vector<std::string>{"room@" + std::string(kTestServerId)});
  EXPECT_TRUE(WaitFor([&] { return lost.n.load() >= 1; }, kManagerWaitMs));
  m_client->serverUnavailable.Disconnect(&lost, &Lost::On);
}

TEST_F(TransportServerChoiceTest, WhichLossesMakeTheServersListForgetTheHost) {
  // "d" from the server: forgotten.
  {
    FakeServer& server = StartServer();
    ConnectAndWait(server);
    SettleFirstCheck(server.port());
    StorePing("127.0.0.1", kTestServerId, server.port(), 10);
    SessionConnections(server)[0]->SendDisconnect();
    EXPECT_TRUE(WaitFor([&] { return PingOf(server.port()) != 10; }, kManagerWaitMs));
  }
  // An established, logged-in connection breaks while its client id lives: kept.
  {
    FakeServer& server = StartServer();
    ConnectAndWait(server);
    LoginAndWait();
    SettleFirstCheck(server.port());
    StorePing("127.0.0.1", kTestServerId, server.port(), 10);
    SessionConnections(server).back()->Close();
    ASSERT_TRUE(m_client->WaitUntil([&] { return SessionConnections(server).size() == 2; }));
    ASSERT_TRUE(m_client->WaitState(State::eLoggedIn));
    EXPECT_EQ(PingOf(server.port()), 10u);
  }
  // The secure handshake fails (a certificate from a foreign root): forgotten.
  {
    FakeServer& server = StartServer("127.0.0.1", 0, kTestServerId, {}, true);
    StorePing("127.0.0.1", kTestServerId, server.port(), 10);
    ASSERT_TRUE(m_client->ConnectServer("127.0.0.1", server.port()));
    EXPECT_TRUE(WaitFor([&] { return PingOf(server.port()) != 10; }, kManagerWaitMs));
    EXPECT_FALSE(HX_TransportSession::isConnected(m_client->getStateTrs()));
  }
}

class RedirectTest : public TransportServerChoiceTest {
 protected:
  // Two servers: the client logs in on the first; the second calls itself "b.hx.test#vcs".
  void SetUpServers() {
    FakeServer& a = StartServer();
    services = std::make_unique<FakeServices>(a, kTestServerId);
    m_auth[0] = std::make_unique<SessionAuth>(a);  // the session login service answers again
    FakeServer& b = StartServer("127.0.0.1", 0, "b.hx.test#vcs");
    ConnectAndWait(a);
    LoginAndWait();
    first = &a;
    second = &b;
  }
  void TearDown() override {
    services.reset();  // its handlers leave the server first
    TransportServerChoiceTest::TearDown();
  }
  bool Redirect(FakeServer& to, const std::string& serverId) {
    FakeEndpoint endpoint;
    endpoint.host = "127.0.0.1";
    endpoint.port = to.port();
    return services->SendRedirect(SessionConnections(*first)[0]->id(), serverId, {endpoint});
  }

  std::unique_ptr<FakeServices> services;
  FakeServer* first = nullptr;
  FakeServer* second = nullptr;
};

TEST_F(RedirectTest, RedirectMovesTheSessionAtOnce) {
  SetUpServers();
  ASSERT_TRUE(Redirect(*second, "b.hx.test#vcs"));
  ASSERT_TRUE(m_client->WaitUntil([&] {
    return SessionConnections(*second).size() == 1 && SessionIn({State::eConnected, State::eLoggedIn});
  }));
  EXPECT_EQ(m_client->getSid(), "b.hx.test#vcs");
  EXPECT_EQ(m_client->getDomain(), "b.hx.test");
  EXPECT_EQ(m_client->GetServerPort(), second->port());
  EXPECT_EQ(m_client->getTasks() & HX_TransportManager::eTaskRedirect, 0u);
}

TEST_F(RedirectTest, RedirectDuringAConferenceWaitsForTheLastOneToEnd) {
  SetUpServers();
  const int32_t conference = m_client->JoinConference("room@" + std::string(kTestServerId));
  ASSERT_NE(conference, 0);
  ASSERT_TRUE(Redirect(*second, "b.hx.test#vcs"));
  ASSERT_TRUE(WaitFor([&] { return (m_client->getTasks() & HX_TransportManager::eTaskRedirect) != 0; },
                      kManagerWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(SessionConnections(*second).empty());
  EXPECT_EQ(m_client->getStateTrs(), State::eLoggedIn);
  ASSERT_TRUE(m_client->EndConference(conference));
  ASSERT_TRUE(m_client->WaitUntil([&] { return SessionConnections(*second).size() == 1; }));
  EXPECT_EQ(m_client->getTasks() & HX_TransportManager::eTaskRedirect, 0u);
}

TEST_F(RedirectTest, RedirectToTheServerInUseChangesNothing) {
  SetUpServers();
  ASSERT_TRUE(Redirect(*first, kTestServerId));
  ASSERT_TRUE(first->WaitForMessage([](const ReceivedMessage&) { return true; }, kManagerWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_client->getTasks(), 0u);
  EXPECT_EQ(SessionConnections(*first).size(), 1u);
  EXPECT_EQ(m_client->getStateTrs(), State::eLoggedIn);
}

TEST_F(TransportServerChoiceTest, SwitchesToAClearlyFasterHostOfTheServer) {
  FakeServer& slow = StartServer();
  FakeServer& fast = StartServer();
  ConnectAndWait(slow);
  SettleFirstCheck(slow.port());
  // The host in use answers in 200 ms, another host of the same server in 10 ms.
  StorePing("127.0.0.1", kTestServerId, slow.port(), 200);
  StorePing("127.0.0.1", kTestServerId, fast.port(), 10);
  m_client->eventAdd(m_client->getTargetGeneration(), HX_TransportManager::eEventCheckBetterHost, 0);
  ASSERT_TRUE(m_client->WaitUntil([&] {
    return SessionConnections(fast).size() == 1 && m_client->getStateTrs() == State::eConnected;
  }));
  EXPECT_EQ(m_client->GetServerPort(), fast.port());
  // Not clearly faster (less than 30 ms apart): no switch back.
  StorePing("127.0.0.1", kTestServerId, slow.port(), 1);
  m_client->eventAdd(m_client->getTargetGeneration(), HX_TransportManager::eEventCheckBetterHost, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(SessionConnections(slow).size(), 1u);
}

TEST_F(TransportServerChoiceTest, SavedServerEndpointsReachTheConferencesOfThatServer) {
  const int32_t here = m_client->JoinConference("room@" + std::string(kTestServerId));
  const int32_t elsewhere = m_client->JoinConference("room@other.hx.test#vcs");
  ASSERT_NE(here, 0);
  ASSERT_NE(elsewhere, 0);
  auto endpoint = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(0));
  endpoint->SetHost("media.hx.test");
  endpoint->SetPort(4307);
  endpoint->SetFamily(AF_INET);
  m_client->SaveEndpoints(nullptr, kTestServerId, {endpoint});
  const auto ownEndpoints = [&](int32_t id) {
    ConferenceLock lock;
    EXPECT_TRUE(m_client->confManager()->getConferenceLock(lock, id));
    return lock ? lock->getEndpointsList().size() : 0u;
  };
  // A sender and a receiver endpoint for the one server endpoint, on that server's conference only.
  EXPECT_EQ(ownEndpoints(here), 2u);
  EXPECT_EQ(ownEndpoints(elsewhere), 0u);
}

}  // namespace
}  // namespace hx::testing
