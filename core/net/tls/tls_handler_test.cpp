#include "core/net/tls/tls_handler.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

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

// A TLS server of the test's own (OpenSSL on one thread): it serves one TLS attempt with the given
// certificate chain and notes the alerts the client sends. With `stall` it sends its first flight
// and then says nothing until it hangs up, measuring meanwhile how much processor time the whole
// process spends. A second connection (the client's plain retry) is accepted and held open.
class TlsPeer {
 public:
  TlsPeer(std::string chain_path, std::string key_path, bool stall)
      : m_chain(std::move(chain_path)), m_key(std::move(key_path)), m_stall(stall),
        m_thread([this] { Serve(); }) {}
  ~TlsPeer() {
    m_stop = true;
    m_thread.join();
  }
  uint16_t port() const { return m_listener.port(); }
  std::string alerts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_alerts;
  }
  bool retried() const { return m_retried; }
  bool stallMeasured() const { return m_stallMeasured; }
  std::chrono::nanoseconds cpuWhileStalled() const {
    return std::chrono::nanoseconds(m_cpuWhileStalled.load());
  }

 private:
  static int64_t ProcessCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  }
  static void Info(const SSL* ssl, int where, int value) {
    if ((where & SSL_CB_READ_ALERT) == 0) return;
    auto* self = static_cast<TlsPeer*>(SSL_get_app_data(ssl));
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_alerts += std::string(SSL_alert_desc_string_long(value)) + ";";
  }
  // Waits for a connection while the test runs; -1 when none came.
  int AcceptWithin(int ms) {
    for (int waited = 0; waited < ms && !m_stop; waited += 20) {
      pollfd item{m_listener.handle(), POLLIN, 0};
      if (poll(&item, 1, 20) == 1) return m_listener.Accept();
    }
    return -1;
  }
  void Serve() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(context, m_chain.c_str());
    SSL_CTX_use_PrivateKey_file(context, m_key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_info_callback(context, &TlsPeer::Info);
    const int first = AcceptWithin(10000);
    if (first >= 0) {
      SSL* ssl = SSL_new(context);
      SSL_set_app_data(ssl, this);
      if (!m_stall) {
        SSL_set_fd(ssl, first);
        SSL_accept(ssl);  // fails: the client refuses the certificate
      } else {
        StallAfterTheFirstFlight(ssl, first);
      }
      SSL_free(ssl);
      close(first);
    }
    SSL_CTX_free(context);
    const int second = AcceptWithin(5000);
    if (second < 0) return;
    m_retried = true;
    pollfd item{second, POLLIN, 0};
    while (!m_stop && poll(&item, 1, 20) == 0) {
    }
    close(second);
  }
  void StallAfterTheFirstFlight(SSL* ssl, int handle) {
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    char buffer[16384];
    while (BIO_ctrl_pending(out) == 0) {
      const ssize_t n = recv(handle, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      BIO_write(in, buffer, static_cast<int>(n));
      SSL_accept(ssl);
    }
    while (BIO_ctrl_pending(out) > 0) {
      const int n = BIO_read(out, buffer, sizeof buffer);
      send(handle, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
    }
    // The client answers the flight and then waits for the server's last flight, which never comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const int64_t start = ProcessCpuNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    m_cpuWhileStalled = ProcessCpuNs() - start;
    m_stallMeasured = true;
  }

  PlainListener m_listener;
  const std::string m_chain;
  const std::string m_key;
  const bool m_stall;
  mutable std::mutex m_mutex;
  std::string m_alerts;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_retried{false};
  std::atomic<bool> m_stallMeasured{false};
  std::atomic<int64_t> m_cpuWhileStalled{0};
  std::thread m_thread;
};

// Refusals of a server's certificate, and a handshake the server abandons, in both modes: the
// fallback mode (2) ends in a plain retry, mode 0 reports the error. A refused certificate is
// announced to the server with a fatal alert before the client closes.
TEST_F(TlsLayerTest, RefusedCertificatesAndAStalledHandshake) {
  TestCertOptions expired;
  expired.not_before = std::chrono::hours(-48);
  expired.not_after = std::chrono::hours(-24);
  TestCertOptions not_yet_valid;
  not_yet_valid.not_before = std::chrono::hours(24);
  not_yet_valid.not_after = std::chrono::hours(48);
  const TestCert expired_leaf = pki_->pki->MakeLeaf(pki_->root, "server#as", expired);
  const TestCert future_leaf = pki_->pki->MakeLeaf(pki_->root, "server#as", not_yet_valid);
  const TestCert leaf = pki_->pki->MakeLeaf(pki_->root, "a leaf, no authority");
  const TestCert issued_by_leaf = pki_->pki->MakeLeaf(leaf, "server#as");
  ASSERT_TRUE(expired_leaf.ok() && future_leaf.ok() && leaf.ok() && issued_by_leaf.ok());
  const std::string leaf_chain = pki_->dir.path() + "/issued-by-leaf-chain.pem";
  std::ofstream(leaf_chain) << issued_by_leaf.cert_pem << leaf.cert_pem;

  struct Case {
    const char* what;
    std::string chain;
    std::string key;
    bool stall;
    std::string alert;  // the fatal alert the server reads
  } cases[] = {
      {"expired leaf", expired_leaf.cert_path, expired_leaf.key_path, false, "certificate expired;"},
      {"leaf not yet valid", future_leaf.cert_path, future_leaf.key_path, false, "bad certificate;"},
      {"leaf used as an authority", leaf_chain, issued_by_leaf.key_path, false, "unknown CA;"},
      {"stalled after the server's first flight", pki_->server.cert_path, pki_->server.key_path, true, ""},
  };
  for (const Case& c : cases) {
    for (HXTLSHandler::Mode mode : {HXTLSHandler::modeFallbackPlain, HXTLSHandler::modeFailConnection}) {
      const bool fallback = mode == HXTLSHandler::modeFallbackPlain;
      SCOPED_TRACE(std::string(c.what) + (fallback ? ", fallback" : ", no fallback"));
      TlsPeer peer(c.chain, c.key, c.stall);
      HXZCommonSocket::SetDefaultTlsMode(mode);
      ClientSocket* socket = Connect(peer.port(), "");
      HXZCommonSocket::SetDefaultTlsMode(HXTLSHandler::modeFallbackPlain);
      if (mode == HXTLSHandler::modeFallbackPlain) {
        ASSERT_TRUE(WaitFor([&] { return socket->sendEvents > 0 && peer.retried(); }, 20000));
        EXPECT_FALSE(socket->tlsAtFirstSend);
        EXPECT_EQ(socket->errors, 0);
      } else {
        ASSERT_TRUE(WaitFor([&] { return socket->errors > 0; }, 20000));
        OnLoop([] {});
        EXPECT_EQ(socket->errors, 1);
        EXPECT_EQ(socket->sendEvents, 0) << "no plain retry";
      }
      if (c.stall) {
        ASSERT_TRUE(peer.stallMeasured());
        EXPECT_LT(peer.cpuWhileStalled(), std::chrono::milliseconds(200))
            << "the client spun while it waited";
      } else {
        // The peer reads the alert on its own thread, maybe after the client reported.
        WaitFor([&] { return !peer.alerts().empty(); }, 5000);
        EXPECT_EQ(peer.alerts(), c.alert) << "the client's alert says why it refused";
      }
      OnLoop([&] { socket->GC(); });
      socket_ = nullptr;
    }
  }
}

}  // namespace
}  // namespace hx::testing
