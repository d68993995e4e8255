#include "core/transport/transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"
#include "testing/fake_server/message_frame.h"
#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

using std::chrono::milliseconds;

ConnectionSettings SecureSettings(const TransportTestPki& pki, const TestCert& certificate) {
  ConnectionSettings settings;
  settings.handshake_reply.secure = true;
  settings.secure_identity = pki.Identity(certificate);
  return settings;
}

class TransportTest : public TransportFixture {
 protected:
  // The certificates, with their root trusted by the client; null when openssl is missing.
  TransportTestPki* Pki() {
    TransportTestPki* pki = SharedTransportPki();
    if (pki != nullptr) SetBuiltInRootCertificate(pki->root.cert_pem);
    return pki;
  }
  void EchoService() {
    m_server->SetServiceHandler("ECHO", [](FakeConnection& connection, const ReceivedMessage& m) {
      connection.Reply(m, MethodBody("echo " + m.method));
    });
  }
};

#define HX_TRANSPORT_PKI(pki_var)                 \
  HX_REQUIRE_TOOL("openssl", openssl_path);       \
  TransportTestPki* pki_var = Pki();              \
  ASSERT_NE(pki_var, nullptr)

TEST_F(TransportTest, SecureHandshakeThenEncipheredMessagesBothWays) {
  HX_TRANSPORT_PKI(pki);
  StartServer(SecureSettings(*pki, pki->server));
  EchoService();
  TransportSignals::Update update;
  ConnectAndWait(&update);
  EXPECT_EQ(update.sid, kTestServerId);
  EXPECT_EQ(update.cid, "client-1");
  EXPECT_EQ(update.host, "127.0.0.1");
  EXPECT_FALSE(update.keep_alive);
  EXPECT_EQ(m_param->getSID(), kTestServerId);

  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->WaitForPhase(ConnectionPhase::kMessages, kTransportWaitMs));
  EXPECT_TRUE(connection->handshake_request()->secure_requested);

  EXPECT_TRUE(Send("ECHO", "hello"));
  EXPECT_TRUE(Send("ECHO", "again"));
  ASSERT_TRUE(m_service.WaitForCount(2, kTransportWaitMs));
  EXPECT_EQ(m_service.Methods(), (std::vector<std::string>{"echo hello", "echo again"}));
  connection->Send(ServiceMessage("SRV", "TEST", MethodBody("pushed")));
  ASSERT_TRUE(m_service.WaitForCount(3, kTransportWaitMs));
  EXPECT_EQ(m_service.Methods().back(), "pushed");

  EXPECT_EQ(m_transport->GetTransportAddress().HostRemote(), "127.0.0.1");
  EXPECT_EQ(m_transport->GetTransportAddress().PortRemote(), m_server->port());
  EXPECT_TRUE(m_signals->Reasons().empty());
  ExpectNoViolations();
}

// Over TLS the plain handshake does not ask for the secure handshake, and a server that grants
// none is accepted; messages then travel unenciphered inside TLS.
TEST_F(TransportTest, PlainHandshakeOverTls) {
  HX_TRANSPORT_PKI(pki);
  HXZCommonSocket::SetDenyTLS(false);
  FakeServerOptions options;
  options.tls_certificate_path = pki->server.cert_path;
  options.tls_private_key_path = pki->server.key_path;
  StartServer(ConnectionSettings{}, options);
  EchoService();
  TransportSignals::Update update;
  ConnectAndWait(&update);
  EXPECT_EQ(update.sid, kTestServerId);
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->handshake_request());
  EXPECT_FALSE(connection->handshake_request()->secure_requested);

  EXPECT_TRUE(Send("ECHO", "over tls"));
  ASSERT_TRUE(m_service.WaitForCount(1, kTransportWaitMs));
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"echo over tls"});
  connection->SendDisconnect();
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, HXZTransport::kReasonServerDisconnect);
  ExpectNoViolations();
}

// A message that reaches the client together with the handshake reply (one TLS record) is read
// at once: no further network data comes to announce it.
TEST_F(TransportTest, MessageInTheSameTlsRecordAsTheReplyIsRead) {
  HX_TRANSPORT_PKI(pki);
  HXZCommonSocket::SetDenyTLS(false);
  FakeServerOptions options;
  options.tls_certificate_path = pki->server.cert_path;
  options.tls_private_key_path = pki->server.key_path;
  ConnectionSettings settings;
  std::vector<uint8_t> bytes = EncodeTransportHandshakeReply(settings.handshake_reply);
  MessageFrame message = ServiceMessage("SRV", "TEST", MethodBody("with the reply"));
  message.sequence = 1;
  const std::vector<uint8_t> encoded = EncodeMessage(message);
  bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  settings.raw_handshake_reply = bytes;
  StartServer(settings, options);
  ConnectAndWait();
  ASSERT_TRUE(m_service.WaitForCount(1, 5000));
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"with the reply"});
}

// Each refusal ends the attempt with its own result code; a failed secure handshake is reported
// as unavailable with -3 and no server update, a refused plain handshake with both.
TEST_F(TransportTest, RefusedHandshakesEndWithTheirResultCode) {
  HX_TRANSPORT_PKI(pki);
  ConnectionSettings refused;
  refused.handshake_reply.result = 2;
  refused.handshake_reply.secure = true;
  struct Case {
    const char* what;
    ConnectionSettings settings;
    int result;
    long reason;
  } cases[] = {
      {"secure handshake not granted", ConnectionSettings{}, 7, HXZTransport::kReasonConnectFailed},
      {"server refuses", refused, 2, HXZTransport::kReasonConnectFailed},
      {"wrong common name", SecureSettings(*pki, pki->other_name), 12, HXZTransport::kReasonHandshakeFailed},
      {"missing extension", SecureSettings(*pki, pki->no_extension), 13, HXZTransport::kReasonHandshakeFailed},
      {"extension of 360", SecureSettings(*pki, pki->low_extension), 13, HXZTransport::kReasonHandshakeFailed},
      {"expired", SecureSettings(*pki, pki->expired), 5, HXZTransport::kReasonHandshakeFailed},
      {"not yet valid", SecureSettings(*pki, pki->not_yet_valid), 5, HXZTransport::kReasonHandshakeFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_transport = std::make_unique<HXZTransport>();
    m_signals = std::make_unique<TransportSignals>(*m_transport);
    StartServer(c.settings);
    ASSERT_TRUE(Connect());
    long reason = 0;
    ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(m_transport->getHandshakeResult(), c.result);
    const std::vector<TransportSignals::Update> updates = m_signals->Updates();
    if (c.reason == HXZTransport::kReasonConnectFailed) {
      ASSERT_EQ(updates.size(), 1u);
      EXPECT_EQ(updates[0].result, c.result);
      EXPECT_EQ(updates[0].host, "127.0.0.1");
    } else {
      EXPECT_TRUE(updates.empty());
    }
    EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
  }
}

TEST_F(TransportTest, ClientTellsTheServerWhyItRefusedItsCertificate) {
  HX_TRANSPORT_PKI(pki);
  StartServer(SecureSettings(*pki, pki->expired));
  ASSERT_TRUE(Connect());
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  EXPECT_TRUE(WaitFor([&] { return connection->client_secure_error().has_value(); }, kTransportWaitMs));
  EXPECT_EQ(connection->client_secure_error().value_or(0), 5u);
}

TEST_F(TransportTest, MessageTheClientCannotDispatchEndsTheConnection) {
  HX_TRANSPORT_PKI(pki);
  MessageFrame bad_body = ServiceMessage("SRV", "TEST", MethodBody("x"));
  bad_body.body = {1, 2, 3};
  for (const MessageFrame& frame : {ServiceMessage("SRV", "NOBODY", MethodBody("lost")), bad_body}) {
    m_transport = std::make_unique<HXZTransport>();
    m_signals = std::make_unique<TransportSignals>(*m_transport);
    StartServer(SecureSettings(*pki, pki->server));
    ConnectAndWait();
    auto connection = m_server->WaitForConnection(kTransportWaitMs);
    ASSERT_TRUE(connection);
    connection->Send(frame);
    connection->Send(ServiceMessage("SRV", "TEST", MethodBody("never")));
    long reason = 0;
    ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
    EXPECT_EQ(reason, HXZTransport::kReasonConnectionLost);
    EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
    EXPECT_TRUE(connection->WaitForPhase(ConnectionPhase::kClosed, kTransportWaitMs));
  }
  EXPECT_EQ(m_service.Count(), 0u);
}

// Over TLS: the failed reader closes the socket while more bytes wait behind the message it
// refused; nothing below it reads from the closed descriptor afterwards.
TEST_F(TransportTest, ReaderFailureOverTlsReadsNothingMoreFromTheClosedSocket) {
  HX_TRANSPORT_PKI(pki);
  HXZCommonSocket::SetDenyTLS(false);
  FakeServerOptions options;
  options.tls_certificate_path = pki->server.cert_path;
  options.tls_private_key_path = pki->server.key_path;
  StartServer(ConnectionSettings{}, options);
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->WaitForPhase(ConnectionPhase::kMessages, kTransportWaitMs));
  HX_Container big = MethodBody("behind");
  // Bytes that do not compress: more than one network read of the TLS layer waits behind.
  std::vector<uint8_t> filler(100000);
  uint32_t state = 7;
  for (uint8_t& byte : filler) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  big.AddValue("Pad", HX_CNT_BINARY_VT, filler.data(), filler.size());
  LogCapture log;
  connection->SendTogether({ServiceMessage("SRV", "NOBODY", MethodBody("lost")),
                            ServiceMessage("SRV", "TEST", big)});
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, HXZTransport::kReasonConnectionLost);
  ASSERT_TRUE(connection->WaitForPhase(ConnectionPhase::kClosed, kTransportWaitMs));
  EXPECT_FALSE(log.Contains("recv data")) << "a read of the closed descriptor";
  EXPECT_EQ(m_service.Count(), 0u);
}

TEST_F(TransportTest, ServerDisconnectIsReportedWithItsReason) {
  HX_TRANSPORT_PKI(pki);
  StartServer(SecureSettings(*pki, pki->server));
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  connection->Send(ServiceMessage("SRV", "TEST", MethodBody("last words")));
  connection->SendDisconnect();
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, HXZTransport::kReasonServerDisconnect);
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"last words"});
  EXPECT_TRUE(connection->WaitForPhase(ConnectionPhase::kClosed, kTransportWaitMs));
}

// The handshakes arrive in small pieces (the reply's head among them), then messages one byte
// per segment, then several messages and a ping answer in one segment.
TEST_F(TransportTest, HandshakesAndMessagesSurviveAnySegmentation) {
  HX_TRANSPORT_PKI(pki);
  ConnectionSettings settings = SecureSettings(*pki, pki->server);
  settings.shaping.piece_size = 7;
  settings.shaping.piece_gap = milliseconds(1);
  StartServer(settings);
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);

  connection->SetShaping({.piece_size = 1, .piece_gap = milliseconds(1)});
  connection->Send(ServiceMessage("SRV", "TEST", MethodBody("bytewise")));
  ASSERT_TRUE(m_service.WaitForCount(1, kTransportWaitMs));

  connection->SetShaping({});
  connection->SendTogether({ServiceMessage("SRV", "TEST", MethodBody("one")),
                            ServiceMessage("SRV", "TEST", MethodBody("two")),
                            ControlMessage('p'),
                            ServiceMessage("SRV", "TEST", MethodBody("three"))});
  ASSERT_TRUE(m_service.WaitForCount(4, kTransportWaitMs));
  EXPECT_EQ(m_service.Methods(), (std::vector<std::string>{"bytewise", "one", "two", "three"}));
  EXPECT_TRUE(m_signals->Reasons().empty());
  ExpectNoViolations();
}

TEST_F(TransportTest, MessagesQueuedWhileConnectingGoOutOnceConnected) {
  HX_TRANSPORT_PKI(pki);
  StartServer(SecureSettings(*pki, pki->server));
  EchoService();
  EXPECT_FALSE(Send("ECHO", "stale"));  // before the connect: the connect deletes it
  ASSERT_TRUE(Connect());
  EXPECT_FALSE(Send("ECHO", "early"));  // not connected yet: queued, not sent
  ASSERT_TRUE(m_service.WaitForCount(1, kTransportWaitMs));
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"echo early"});
  EXPECT_TRUE(Send("ECHO", "later"));
  ASSERT_TRUE(m_service.WaitForCount(2, kTransportWaitMs));
  for (const ReceivedMessage& message : m_server->Messages()) EXPECT_NE(message.method, "stale");
}

TEST_F(TransportTest, ConnectTimeLimitCoversASilentServer) {
  ConnectionSettings settings;
  settings.handshake_reply_delay = milliseconds(60000);
  StartServer(settings);
  ASSERT_TRUE(Connect(300));
  long reason = -100;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, HXZTransport::kReasonTimeLimit);
  EXPECT_TRUE(m_signals->Updates().empty());
  EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
}

TEST_F(TransportTest, RefusedTcpConnectReportsCode1) {
  m_param = std::make_shared<HX_TransportConnectionParam>();
  m_param->setServerAddress("127.0.0.1", FreeLoopbackPort(SOCK_STREAM));
  ASSERT_TRUE(m_transport->ConnectServer(m_param, kTransportWaitMs));
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, HXZTransport::kReasonConnectFailed);
  TransportSignals::Update update;
  ASSERT_TRUE(m_signals->WaitUpdate(&update, 0));
  EXPECT_EQ(update.result, 1);
}

// With TLS on (the default) and off: the refusal comes through every layer of the socket at once,
// long before the connect's time limit.
TEST_F(TransportTest, RefusedTcpConnectIsReportedAtOnceThroughEveryLayer) {
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    HXZCommonSocket::SetDenyTLS(!tls);
    m_transport = std::make_unique<HXZTransport>();
    TransportSignals signals(*m_transport);
    m_param = std::make_shared<HX_TransportConnectionParam>();
    m_param->setServerAddress("127.0.0.1", FreeLoopbackPort(SOCK_STREAM));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_transport->ConnectServer(m_param, 5000));
    long reason = 0;
    ASSERT_TRUE(signals.WaitUnavailable(&reason, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2500)) << "not at the time limit";
    EXPECT_EQ(reason, HXZTransport::kReasonConnectFailed);
    ASSERT_EQ(signals.Updates().size(), 1u) << "the update comes before the reason";
    EXPECT_EQ(signals.Updates()[0].result, 1);
    EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
  }
}

// A header that lies about its length, or bytes that are no messages at all, end an established
// connection (reason -4); the valid messages behind them are not taken for something else.
TEST_F(TransportTest, LyingHeaderOrGarbageEndsTheConnection) {
  HX_TRANSPORT_PKI(pki);
  MessageFrame lie = ServiceMessage("SRV", "TEST", MethodBody("lie"));
  lie.sequence = 7;
  std::vector<uint8_t> lying = EncodeMessage(lie);
  lying.resize(lying[2] | static_cast<size_t>(lying[3]) << 8);  // the header only
  const uint32_t claimed = 3000000 - static_cast<uint32_t>(lying.size()) - 1;
  lying[5] = static_cast<uint8_t>(claimed);
  lying[6] = static_cast<uint8_t>(claimed >> 8);
  lying[7] = static_cast<uint8_t>(claimed >> 16);  // the checksum no longer fits
  std::vector<uint8_t> garbage(4096);
  uint32_t state = 99;
  for (uint8_t& byte : garbage) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 16);

  // Plain messages inside TLS, so that the hostile bytes reach the reader as they are.
  HXZCommonSocket::SetDenyTLS(false);
  FakeServerOptions options;
  options.tls_certificate_path = pki->server.cert_path;
  options.tls_private_key_path = pki->server.key_path;
  StartServer(ConnectionSettings{}, options);
  for (const std::vector<uint8_t>& hostile : {lying, garbage}) {
    SCOPED_TRACE(hostile.size());
    m_transport = std::make_unique<HXZTransport>();
    m_signals = std::make_unique<TransportSignals>(*m_transport);
    ConnectAndWait();
    ASSERT_FALSE(m_server->Connections().empty());
    std::shared_ptr<FakeConnection> connection = m_server->Connections().back();
    ASSERT_TRUE(connection->WaitForPhase(ConnectionPhase::kMessages, kTransportWaitMs));
    connection->SendRaw(hostile);
    for (int i = 0; i < 20; ++i) connection->Send(ServiceMessage("SRV", "TEST", MethodBody("after")));
    long reason = 0;
    ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
    EXPECT_EQ(reason, HXZTransport::kReasonConnectionLost);
  }
  EXPECT_TRUE(m_service.Methods().empty());
}

TEST(TransportWithoutLoop, ConnectCannotStart) {
  ASSERT_EQ(HXZServer::m_Instance, nullptr);
  HXZTransport transport;
  TransportSignals signals(transport);
  auto param = std::make_shared<HX_TransportConnectionParam>();
  param->setServerAddress("127.0.0.1", 4307);
  EXPECT_FALSE(transport.ConnectServer(param, 1000));
  EXPECT_EQ(transport.getTransportState(), HXZTransport::stateIdle);
  EXPECT_FALSE(transport.QueuePacket(ComposeRequest(transport, "ECHO", MethodBody("nowhere"))));
  EXPECT_TRUE(signals.Updates().empty());
  EXPECT_TRUE(signals.Reasons().empty());
}

TEST_F(TransportTest, EmptyAddressIsRefused) {
  LogCapture log;
  EXPECT_FALSE(m_transport->ConnectServer(std::make_shared<HX_TransportConnectionParam>(), 1000));
  EXPECT_TRUE(log.Contains("Empty address"));
  EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
}

TEST_F(TransportTest, DisconnectAndReconnectDropTheOldConnectionWithoutSignals) {
  HX_TRANSPORT_PKI(pki);
  StartServer(SecureSettings(*pki, pki->server));
  ConnectAndWait();
  auto first = m_server->WaitForConnection(kTransportWaitMs, 1);
  ASSERT_TRUE(first);
  ASSERT_TRUE(m_transport->ConnectServer(m_param, kTransportWaitMs));  // on a live connection
  EXPECT_TRUE(first->WaitForPhase(ConnectionPhase::kClosed, kTransportWaitMs));
  auto second = m_server->WaitForConnection(kTransportWaitMs, 2);
  ASSERT_TRUE(second);
  ASSERT_TRUE(WaitFor([&] { return m_signals->Updates().size() == 2; }, kTransportWaitMs));
  EXPECT_EQ(m_signals->Updates()[1].cid, "client-1");  // the assigned id is kept and sent again
  EXPECT_EQ(second->handshake_request()->client_id, "client-1");

  EXPECT_TRUE(m_transport->DisconnectServer());
  EXPECT_TRUE(second->WaitForPhase(ConnectionPhase::kClosed, kTransportWaitMs));
  EXPECT_FALSE(m_transport->pingServer());
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_TRUE(m_signals->Reasons().empty());
  ExpectNoViolations();
}

// The server stops reading: the client's data piles up in the socket buffers while the client
// keeps sending. The life check counts the server silent and reports twice its idle time-out.
TEST_F(TransportTest, SilentServerIsFoundByTheLifeCheck) {
  HX_TRANSPORT_PKI(pki);
  ConnectionSettings settings = SecureSettings(*pki, pki->server);
  settings.handshake_reply.idle_timeout_ms = 2000;
  FakeServerOptions options;
  options.receive_buffer_bytes = 4096;
  StartServer(settings, options);
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  connection->SetReading(false);

  HX_Container big = MethodBody("bulk");
  const std::vector<uint8_t> payload(1 << 20, 0x42);
  big.AddValue("Data", HX_CNT_BINARY_VT, payload.data(), payload.size());
  for (int i = 0; i < 8; ++i) m_transport->QueuePacket(ComposeRequest(*m_transport, "SINK", big));
  long reason = 0;
  for (int round = 0; round < 300 && m_signals->Reasons().empty(); ++round) {
    Send("SINK", "more");
    std::this_thread::sleep_for(milliseconds(100));
  }
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason, 0));
  EXPECT_EQ(reason, 4000);
  EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateIdle);
}

TEST_F(TransportTest, PingThatCannotLeaveMarksTheServerUnavailable) {
  HX_TRANSPORT_PKI(pki);
  ConnectionSettings settings = SecureSettings(*pki, pki->server);
  settings.handshake_reply.idle_timeout_ms = 30000;
  FakeServerOptions options;
  options.receive_buffer_bytes = 4096;
  StartServer(settings, options);
  EXPECT_FALSE(m_transport->pingServer());  // not connected
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(m_transport->pingServer());  // answered while the server reads
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.control_code() == 'p'; },
                                       kTransportWaitMs));
  connection->SetReading(false);
  HX_Container big = MethodBody("bulk");
  const std::vector<uint8_t> payload(1 << 20, 0x42);
  big.AddValue("Data", HX_CNT_BINARY_VT, payload.data(), payload.size());
  for (int i = 0; i < 8; ++i) m_transport->QueuePacket(ComposeRequest(*m_transport, "SINK", big));
  std::this_thread::sleep_for(milliseconds(1000));
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(m_transport->pingServer());
  long reason = 0;
  ASSERT_TRUE(m_signals->WaitUnavailable(&reason));
  EXPECT_EQ(reason, 60000);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, milliseconds(2900));
}

// A server idle time-out of a few milliseconds must not turn the life check into a busy loop
// that pings on every pass: checks and pings come at most about once a second.
TEST_F(TransportTest, TinyIdleTimeoutKeepsTheLifeCheckCalm) {
  HX_TRANSPORT_PKI(pki);
  ConnectionSettings settings = SecureSettings(*pki, pki->server);
  settings.handshake_reply.idle_timeout_ms = 2;
  StartServer(settings);
  ConnectAndWait();
  std::this_thread::sleep_for(milliseconds(2600));
  int pings = 0;
  for (const ReceivedMessage& message : m_server->Messages()) pings += message.control_code() == 'p';
  EXPECT_GE(pings, 1);
  EXPECT_LE(pings, 4);
  EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateConnected);
  EXPECT_TRUE(m_signals->Reasons().empty());
}

}  // namespace
}  // namespace hx::testing
