// A login whose answer the network loop handles before the login request has returned to its
// caller: the session must end logged in, not back in "logging in" waiting for an answer that has
// come. The client object below holds the caller inside the request until the answer is handled,
// which a fast server on a loaded machine does by itself now and then.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/client/transport_manager_test_util.h"

namespace hx::testing {
namespace {

class FastAnswerClient : public RecordingClient {
 public:
  using RecordingClient::RecordingClient;
  // Set by the test thread just before its login request.
  std::atomic<bool> holdCaller{false};
  std::thread::id caller;

  bool QueuePacket(HX_ClientMessage* message) override {
    const bool queued = RecordingClient::QueuePacket(message);
    if (std::this_thread::get_id() == caller && holdCaller.exchange(false)) {
      EXPECT_TRUE(WaitState(HX_TransportSession::eLoggedIn, 5000));
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

}  // namespace
}  // namespace hx::testing
