// Login and logout requests whose answer the network loop handles before the request has returned
// to its caller. After the login the session must end logged in, not back in "logging in" waiting
// for an answer that has come; after the logout a disconnect must still go through, not wait for
// good behind a logout that is over. The client object below holds the caller inside the request
// until the answer is handled, which a fast server on a loaded machine does by itself now and then.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/client/transport_manager_test_util.h"

namespace hx::testing {
namespace {

class FastAnswerClient : public RecordingClient {
 public:
  using RecordingClient::RecordingClient;
  // Set by the test thread just before its request: the state whose arrival the request waits for.
  std::atomic<bool> holdCaller{false};
  std::atomic<int32_t> holdUntil{HX_TransportSession::eLoggedIn};
  std::thread::id caller;

  bool QueuePacket(HX_ClientMessage* message) override {
    const bool queued = RecordingClient::QueuePacket(message);
    if (std::this_thread::get_id() == caller && holdCaller.exchange(false)) {
      EXPECT_TRUE(WaitState(holdUntil.load(), 5000));
    }
    return queued;
  }
};

class TransportLoginRaceTest : public TransportManagerFixture {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(2000, 2000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(800);
    m_loop = HXZServer::installNetworkManager();
    ASSERT_NE(m_loop, nullptr);
    auto client = std::make_unique<FastAnswerClient>(Dns());
    m_fast = client.get();
    m_client = std::move(client);
    m_client->CreateApplication();
    ASSERT_EQ(m_loop->startServerLoop(), 0);
    m_client->SetNetworkType(0x8004, false);
  }
  FastAnswerClient* m_fast = nullptr;
};

TEST_F(TransportLoginRaceTest, AnswerHandledBeforeTheRequestReturnsLeavesTheSessionLoggedIn) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  m_fast->caller = std::this_thread::get_id();
  m_fast->holdCaller = true;
  ASSERT_TRUE(m_client->Login("user@test.invalid", "secret", true, true));
  EXPECT_FALSE(m_fast->holdCaller.load());
  EXPECT_EQ(m_client->getStateTrs(), HX_TransportSession::eLoggedIn);
  // Still logged in a while later: nothing moved it back.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(m_client->getStateTrs(), HX_TransportSession::eLoggedIn);
  const std::vector<int32_t> states = m_client->States();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), HX_TransportSession::eLoggedIn);
}

TEST_F(TransportLoginRaceTest, DisconnectAfterALogoutAnsweredBeforeTheRequestReturnsGoesThrough) {
  FakeServer& server = StartServer();
  ConnectAndWait(server);
  LoginAndWait();
  // The slow path of the logout's own time-out must not be what ends it.
  HX_TransportManager::timing().logoutWaitAutoMs = 5000;
  m_fast->caller = std::this_thread::get_id();
  m_fast->holdUntil = HX_TransportSession::eConnected;
  m_fast->holdCaller = true;
  ASSERT_TRUE(m_client->Logout(true, false));
  EXPECT_FALSE(m_fast->holdCaller.load());
  ASSERT_TRUE(m_client->WaitState(HX_TransportSession::eConnected));
  // The answer's handler ended the logout it found in progress.
  ASSERT_TRUE(WaitFor([&] { return (m_client->getTasks() & HX_TransportManager::eTaskLogout) == 0; }, 2000))
      << "tasks " << m_client->getTasks();
  m_client->DisconnectServer();
  EXPECT_TRUE(m_client->WaitState(HX_TransportSession::eNoConnection, 2000)) << "tasks " << m_client->getTasks();
}

}  // namespace
}  // namespace hx::testing
