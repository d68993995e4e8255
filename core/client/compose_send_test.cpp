// ComposeSend against the fake server: a manager composes requests over a real transport
// connection through a session that forwards to it, and the fake server checks and records what
// arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/client/abstract_manager.h"
#include "core/client/protocol_constants.h"
#include "core/net/socket/native_socket_details.h"
#include "core/security/root_certificate.h"
#include "core/transport/session.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"

namespace {

using namespace hx::testing;
using std::chrono::milliseconds;

// The transport session as the client object is, over one HXZTransport.
class ForwardingSession : public HX_TransportSession {
 public:
  explicit ForwardingSession(HXZTransport* transport) : m_transport(transport) {}
  uint32_t GetNextSequence() override { return m_transport->GetNextSequence(); }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return m_transport->getConnectionParam();
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return false; }
  bool QueuePacket(HX_ClientMessage* message) override { return m_transport->QueuePacket(message); }
  const char* TransportCid() const override {
    const auto param = m_transport->getConnectionParam();
    m_cid = param ? param->getCID() : "";
    return m_cid.c_str();
  }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return false; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

 private:
  HXZTransport* m_transport;
  mutable std::string m_cid;
};

class SendingManager : public HX_AbstractManager {
 public:
  SendingManager(const char* service, std::shared_ptr<HX_TransportSession> session)
      : HX_AbstractManager(service, std::move(session)) {}
  bool ParseIncomimgMessage(HX_Container&) override { return false; }
};

class ComposeSendTest : public TransportFixture {
 protected:
  // The client insists on the secure handshake: the server runs it with the shared test PKI.
  void StartSecure(milliseconds reply_delay = milliseconds(0)) {
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr);
    hx::SetBuiltInRootCertificate(pki->root.cert_pem);
    ConnectionSettings settings;
    settings.handshake_reply.secure = true;
    settings.secure_identity = pki->Identity(pki->server);
    settings.handshake_reply_delay = reply_delay;
    StartServer(settings);
  }
  void MakeManager() {
    m_session = std::make_shared<ForwardingSession>(m_transport.get());
    m_manager = std::make_unique<SendingManager>("CMPS_TEST", m_session);
  }
  void TearDown() override {
    m_manager.reset();
    TransportFixture::TearDown();
  }
  bool Send(const std::string& method, const char* service = "DEST", const char* user = nullptr,
            const char* server = nullptr, uint32_t limit = hx::protocol::kRequestTimeLimitMs) {
    return m_manager->ComposeSend(MethodBody(method), service, user, server, limit);
  }

  std::shared_ptr<ForwardingSession> m_session;
  std::unique_ptr<SendingManager> m_manager;
};

TEST_F(ComposeSendTest, HeaderNamesTimeLimitsAndBody) {
  StartSecure();
  TransportSignals::Update update;
  ConnectAndWait(&update);
  MakeManager();
  HX_Container body = MethodBody("Ask");
  body.AddValue("Key", "value");
  ASSERT_TRUE(m_manager->ComposeSend(body, "DEST", "bob@srv.example",
                                     HX_AbstractManager::ReturnBroker("bob@srv.example"),
                                     hx::protocol::kRequestTimeLimitMs));
  ASSERT_TRUE(Send("Client", CLIENT_SRV, nullptr, nullptr, hx::protocol::kClientRequestTimeLimitMs));

  ReceivedMessage ask;
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "Ask"; },
                                       kTransportWaitMs, &ask));
  const MessageNames& names = ask.frame.names;
  EXPECT_EQ(names.src_cid, update.cid);
  EXPECT_EQ(names.src_service, "CMPS_TEST");
  EXPECT_EQ(names.add_string, "52");
  EXPECT_EQ(names.dst_cid, "");
  EXPECT_EQ(names.dst_service, "DEST");
  EXPECT_EQ(names.src_user, "");
  EXPECT_EQ(names.dst_user, "bob@srv.example");
  EXPECT_EQ(names.src_server, "");
  EXPECT_EQ(names.dst_server, "srv.example");
  EXPECT_EQ(ask.frame.time_limit, 20000u);
  std::string value;
  EXPECT_TRUE(ask.body.GetValue("Key", value));
  EXPECT_EQ(value, "value");

  ReceivedMessage client;
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "Client"; },
                                       kTransportWaitMs, &client));
  EXPECT_EQ(client.frame.time_limit, 7000u);
  EXPECT_EQ(client.service(), "CLIENT");
  EXPECT_EQ(client.frame.names.dst_user, "");
  EXPECT_EQ(client.frame.names.dst_server, "");
  ExpectNoViolations();
}

TEST_F(ComposeSendTest, SequenceNumbersAreUniqueAcrossThreads) {
  StartSecure();
  ConnectAndWait();
  MakeManager();
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) Send("M" + std::to_string(t) + "_" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(WaitFor(
      [&] {
        int count = 0;
        for (const auto& m : m_server->Messages()) count += m.method.rfind('M', 0) == 0 ? 1 : 0;
        return count == kThreads * kEach;
      },
      kTransportWaitMs));
  std::set<uint32_t> sequences;
  for (const auto& m : m_server->Messages()) {
    if (m.method.rfind('M', 0) == 0)
      EXPECT_TRUE(sequences.insert(m.frame.sequence).second) << m.frame.sequence;
  }
  ASSERT_EQ(sequences.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_GE(*sequences.begin(), 1u);
  ExpectNoViolations();
}

TEST_F(ComposeSendTest, ARequestComposedWhileConnectingGoesOutOnceConnected) {
  StartSecure(milliseconds(500));
  MakeManager();
  ASSERT_TRUE(Connect());
  EXPECT_FALSE(Send("Early"));
  ReceivedMessage early;
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "Early"; },
                                       kTransportWaitMs, &early));
  EXPECT_GE(early.frame.sequence, 1u);
  EXPECT_EQ(early.frame.names.src_service, "CMPS_TEST");
  ExpectNoViolations();
}

TEST_F(ComposeSendTest, ARequestComposedWhileIdleNeverArrives) {
  StartSecure();
  MakeManager();
  EXPECT_FALSE(Send("Idle"));
  ConnectAndWait();
  EXPECT_TRUE(Send("After"));
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "After"; },
                                       kTransportWaitMs));
  for (const auto& m : m_server->Messages()) EXPECT_NE(m.method, "Idle");
  ExpectNoViolations();
}

TEST_F(ComposeSendTest, NothingIsQueuedWithoutATransportOrForAnEmptyBody) {
  SendingManager lonely("CMPS_LONELY", nullptr);
  EXPECT_FALSE(lonely.ComposeSend(MethodBody("X"), "DEST", nullptr, nullptr, 20000));
}

}  // namespace
