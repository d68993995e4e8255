#include "core/net/tls/tls_handler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/common_socket.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/tls/tls_test_server.h"
#include "core/security/root_certificate.h"

namespace hx::testing {
namespace {

// The layer above the TLS layer: the socket's own callbacks. It notes what the first
// ready-to-send event found, sends its text, and collects what arrives.
class ClientSocket : public HXZCommonSocket {
 public:
  using HXZCommonSocket::HXZCommonSocket;

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    if (sendEvents.fetch_add(1) == 0) {
      tlsAtFirstSend = GetTlsContext() != nullptr;
      remotePort = HXZNativeSocketDetails(*this, false).PortRemote();
    }
    while (m_sent < toSend.size()) {
      const size_t n = Send(toSend.data() + m_sent, toSend.size() - m_sent, 0);
      if (m_sent == 0) firstAccepted = n;
      if (n == 0) return 0;  // the rest goes at the next writability
      m_sent += n;
    }
    SendAsync(false);
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[4096];
    size_t n;
    while ((n = Recv(buffer, sizeof buffer, 0)) > 0) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_received.append(buffer, n);
    }
    if (RecvEnded()) {
      ended.fetch_add(1);
      SetState(false);
    }
    return 0;
  }
  void OnClose(HXZADataHandler*) override { closed.fetch_add(1); }
  void OnError() override { errors.fetch_add(1); }

  std::string received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }

  std::string toSend;  // set before connecting
  std::atomic<int> sendEvents{0};
  std::atomic<bool> tlsAtFirstSend{false};
  std::atomic<uint16_t> remotePort{0};
  std::atomic<size_t> firstAccepted{0};
  std::atomic<int> ended{0};
  std::atomic<int> closed{0};
  std::atomic<int> errors{0};

 private:
  size_t m_sent = 0;
  mutable std::mutex m_mutex;
  std::string m_received;
};

class TlsLayerTest : public LoopFixture {
 protected:
  void SetUp() override {
    pki_ = SharedTlsPki();
    if (pki_ == nullptr) {
      if (RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    ASSERT_TRUE(pki_->root.ok() && pki_->server.ok() && pki_->foreign_server.ok());
    SetBuiltInRootCertificate(pki_->root.cert_pem);
    LoopFixture::SetUp();
  }
  void TearDown() override {
    // On the loop's thread: the socket may still be busy there with its peer's end.
    if (socket_ != nullptr) OnLoop([this] { socket_->GC(); });
    LoopFixture::TearDown();
    SetBuiltInRootCertificate("");
  }

  ClientSocket* Connect(uint16_t port, std::string to_send) {
    socket_ = new ClientSocket(new HXZNativeSocketHelper(loop), true, true);
    socket_->toSend = std::move(to_send);
    EXPECT_TRUE(socket_->Connect(LoopbackEndpoint(port, ip::Proto::tcp)));
    return socket_;
  }

  TlsTestPki* pki_ = nullptr;
  ClientSocket* socket_ = nullptr;
};

std::string Reversed(std::string text) { return std::string(text.rbegin(), text.rend()); }

TEST_F(TlsLayerTest, ExchangesDataOnlyAfterTheHandshake) {
  TlsReverseServer server(pki_->server);
  ASSERT_TRUE(server.ready());
  // More than the send ring takes at once, in lines that the server answers one by one.
  std::string lines;
  std::string expected;
  for (int i = 0; i < 4000; ++i) {
    const std::string line = "line number " + std::to_string(i);
    lines += line + "\n";
    expected += Reversed(line) + "\n";
  }
  ClientSocket* socket = Connect(server.port(), lines);

  ASSERT_TRUE(WaitFor([&] { return socket->received().size() >= expected.size(); }, 20000))
      << socket->received().size() << " of " << expected.size();
  EXPECT_EQ(socket->received(), expected);
  EXPECT_TRUE(socket->tlsAtFirstSend) << "a ready-to-send event came before the handshake ended";
  EXPECT_GT(socket->firstAccepted, 0u);
  EXPECT_LT(socket->firstAccepted, lines.size()) << "more than the send ring holds is taken in part";
  EXPECT_EQ(socket->remotePort, server.port());
  OnLoop([&] {
    HXZTLSContext* context = socket->GetTlsContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->requested, 1);
    EXPECT_EQ(context->verifyResult, HXZTLSContext::kVerifyPassed);
    std::string common_name;
    EXPECT_TRUE(context->peerCertificate.GetSubjectEntry("commonName", common_name));
    EXPECT_EQ(common_name, "server#as");
  });
  EXPECT_EQ(socket->closed, 0);
  EXPECT_EQ(socket->errors, 0);
}

TEST_F(TlsLayerTest, RejectedCertificateEndsInAPlainReconnect) {
  TlsReverseServer server(pki_->foreign_server);
  ASSERT_TRUE(server.ready());
  LogCapture log;
  ClientSocket* socket = Connect(server.port(), "");

  ASSERT_TRUE(WaitFor([&] { return socket->sendEvents > 0; }, 20000));
  EXPECT_FALSE(socket->tlsAtFirstSend);
  EXPECT_EQ(socket->remotePort, server.port()) << "the same endpoint, without TLS";
  OnLoop([&] {
    EXPECT_EQ(socket->getTlsHandler(), nullptr);
    EXPECT_EQ(socket->GetTlsContext(), nullptr);
  });
  EXPECT_TRUE(log.Contains("SSL handshake: warning: endpoint sent an invalid certificate!"));
  EXPECT_EQ(socket->closed, 0) << "the failed attempt's close is not reported upward";
  EXPECT_EQ(socket->errors, 0);
}

TEST_F(TlsLayerTest, WithoutFallbackARejectedCertificateFailsTheConnection) {
  TlsReverseServer server(pki_->foreign_server);
  ASSERT_TRUE(server.ready());
  HXZCommonSocket::SetDefaultTlsMode(HXTLSHandler::modeFailConnection);
  ClientSocket* socket = Connect(server.port(), "");
  HXZCommonSocket::SetDefaultTlsMode(HXTLSHandler::modeFallbackPlain);

  ASSERT_TRUE(WaitFor([&] { return socket->errors > 0; }, 20000));
  OnLoop([] {});
  EXPECT_EQ(socket->errors, 1);
  EXPECT_EQ(socket->sendEvents, 0) << "no plain reconnect";
  EXPECT_EQ(socket->getTlsHandler(), nullptr);
}

// A peer that does not speak TLS: on its first connection it answers the client hello with
// `reply` (or nothing) and hangs up; on the second it answers plain text in capitals.
class PlainPeer {
 public:
  explicit PlainPeer(std::string reply)
      : m_reply(std::move(reply)), m_thread([this] { Serve(); }) {}
  ~PlainPeer() { m_thread.join(); }
  uint16_t port() const { return m_listener.port(); }
  bool sawHello() const { return m_sawHello; }

 private:
  void Serve() {
    const int first = m_listener.Accept();
    char buffer[2048];
    const ssize_t hello = recv(first, buffer, sizeof buffer, 0);
    m_sawHello = hello > 5 && buffer[0] == 0x16;  // a TLS handshake record
    send(first, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
    close(first);
    const int second = m_listener.Accept();
    const ssize_t n = recv(second, buffer, 5, MSG_WAITALL);
    for (ssize_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(toupper(buffer[i]));
    if (n > 0) send(second, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
    recv(second, buffer, 1, 0);  // until the client closes or the receive limit passes
    close(second);
  }

  PlainListener m_listener;
  std::string m_reply;
  std::atomic<bool> m_sawHello{false};
  std::thread m_thread;
};

TEST_F(TlsLayerTest, PeerWithoutTlsEndsInAPlainReconnect) {
  for (const char* reply : {"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", ""}) {
    SCOPED_TRACE(std::string("reply: ") + reply);
    PlainPeer peer(reply);
    ClientSocket* socket = Connect(peer.port(), "hello");
    EXPECT_TRUE(WaitFor([&] { return socket->received() == "HELLO"; }, 20000))
        << socket->received();
    EXPECT_TRUE(peer.sawHello());
    EXPECT_FALSE(socket->tlsAtFirstSend);
    EXPECT_EQ(socket->closed, 0);
    EXPECT_EQ(socket->errors, 0);
    OnLoop([&] { socket->GC(); });
    socket_ = nullptr;
  }
}

TEST_F(TlsLayerTest, OwnerCloseRemovesTheLayer) {
  TlsReverseServer server(pki_->server);
  ASSERT_TRUE(server.ready());
  for (bool silent : {true, false}) {
    SCOPED_TRACE(silent ? "silent" : "with notification");
    ClientSocket* socket = Connect(server.port(), "ping\n");
    ASSERT_TRUE(WaitFor([&] { return socket->received() == "gnip\n"; }, 20000));
    ASSERT_TRUE(socket->Close(silent));
    ASSERT_TRUE(WaitFor([&] { return socket->getTlsHandler() == nullptr; }, 10000));
    OnLoop([] {});
    EXPECT_EQ(socket->closed, silent ? 0 : 1);
    EXPECT_EQ(socket->errors, 0);
    OnLoop([&] { socket->GC(); });
    socket_ = nullptr;
  }
}

TEST_F(TlsLayerTest, PeerCloseNotificationEndsTheStreamForTheLayerAbove) {
  TlsReverseServer server(pki_->server);
  ASSERT_TRUE(server.ready());
  ClientSocket* socket = Connect(server.port(), "ping\nCLOSE\n");
  ASSERT_TRUE(WaitFor([&] { return socket->ended > 0; }, 20000)) << socket->received();
  EXPECT_EQ(socket->received().substr(0, 5), "gnip\n");
  EXPECT_EQ(socket->getTlsHandler(), nullptr);
  EXPECT_EQ(socket->errors, 0);
}

}  // namespace
}  // namespace hx::testing
