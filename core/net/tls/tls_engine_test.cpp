#include "core/net/tls/tls_engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/tls/tls_context.h"
#include "core/net/tls/tls_test_server.h"
#include "core/security/root_certificate.h"
#include "testing/test_support.h"

namespace {

using hx::testing::LogCapture;
using hx::testing::TlsReverseServer;
using hx::testing::TlsTestPki;

// A blocking loopback connection with a receive limit, so that a stuck exchange fails the test.
class BlockingClient {
 public:
  explicit BlockingClient(uint16_t port) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval limit{10, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~BlockingClient() { close(m_fd); }

  bool connected() const { return m_connected; }

  // Sends everything the engine has queued for the network.
  bool Flush(HXTLSEngine& engine) {
    std::vector<char> bytes(engine.PendingOutput());
    const size_t n = engine.ReadOutput(bytes.data(), bytes.size());
    return n == bytes.size() && send(m_fd, bytes.data(), n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
  }
  // Hands one read of network bytes to the engine; false at the end of the stream or time-out.
  bool Pump(HXTLSEngine& engine) {
    char buffer[4096];
    const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
    return n > 0 && engine.WriteInput(buffer, static_cast<size_t>(n));
  }
  // Steps the handshake until it ends: 1 complete, -1 failed, -2 the connection ended first.
  int Handshake(HXTLSEngine& engine) {
    for (;;) {
      const int step = engine.HandshakeStep();
      if (!Flush(engine)) return -2;
      if (step != 0) return step;
      if (!Pump(engine)) return -2;
    }
  }

 private:
  int m_fd;
  bool m_connected = false;
};

class TlsEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = hx::testing::SharedTlsPki();
    if (pki_ == nullptr) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    ASSERT_TRUE(pki_->root.ok() && pki_->server.ok() && pki_->foreign_server.ok());
    hx::SetBuiltInRootCertificate(pki_->root.cert_pem);
  }
  void TearDown() override { hx::SetBuiltInRootCertificate(""); }

  TlsTestPki* pki_ = nullptr;
  HXZTLSContext context_;
  HXTLSEngine engine_{context_};
};

TEST_F(TlsEngineTest, HandshakesWithAServerOfTheTrustedRootAndExchangesData) {
  TlsReverseServer server(pki_->server);
  ASSERT_TRUE(server.ready());
  BlockingClient client(server.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(engine_.InitSsl());
  EXPECT_FALSE(engine_.InitSsl());  // made already
  ASSERT_TRUE(engine_.AddCaCert());

  ASSERT_EQ(client.Handshake(engine_), 1);
  EXPECT_TRUE(engine_.Established());
  EXPECT_EQ(context_.verifyResult, HXZTLSContext::kVerifyPassed);
  std::string common_name;
  ASSERT_TRUE(context_.peerCertificate.GetSubjectEntry("commonName", common_name));
  EXPECT_EQ(common_name, "server#as");

  const std::string line = "hello over tls\n";
  ASSERT_EQ(engine_.Encrypt(line.data(), line.size()), static_cast<int>(line.size()));
  ASSERT_TRUE(client.Flush(engine_));
  std::string answer;
  char buffer[256];
  while (answer.find('\n') == std::string::npos) {
    const size_t n = engine_.Decrypt(buffer, sizeof buffer);
    if (n > 0) {
      answer.append(buffer, n);
    } else {
      ASSERT_TRUE(client.Pump(engine_)) << "so far: " << answer;
    }
  }
  EXPECT_EQ(answer, "slt revo olleh\n");
  EXPECT_FALSE(engine_.PeerClosed());
}

TEST_F(TlsEngineTest, RejectsACertificateOfAnotherRoot) {
  TlsReverseServer server(pki_->foreign_server);
  ASSERT_TRUE(server.ready());
  BlockingClient client(server.port());
  ASSERT_TRUE(client.connected());
  LogCapture log;
  ASSERT_TRUE(engine_.InitSsl());
  ASSERT_TRUE(engine_.AddCaCert());

  EXPECT_EQ(client.Handshake(engine_), -1);
  EXPECT_FALSE(engine_.Established());
  EXPECT_EQ(context_.verifyResult, HXZTLSContext::kVerifyFailed);
  EXPECT_TRUE(log.Contains("SSL handshake: warning: endpoint sent an invalid certificate!"));
  bool printed = false;
  for (const std::string& entry : log.Lines()) {
    printed = printed || entry.rfind("SSL handshake error! Error string: ", 0) == 0;
  }
  EXPECT_TRUE(printed);
}

TEST_F(TlsEngineTest, FailsOnAPeerThatDoesNotSpeakTls) {
  ASSERT_TRUE(engine_.InitSsl());
  ASSERT_TRUE(engine_.AddCaCert());
  EXPECT_EQ(engine_.HandshakeStep(), 0);  // the client hello is out; the answer is awaited
  EXPECT_GT(engine_.PendingOutput(), 0u);
  const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  ASSERT_TRUE(engine_.WriteInput(reply.data(), reply.size()));
  EXPECT_EQ(engine_.HandshakeStep(), -1);
}

TEST_F(TlsEngineTest, TrustAnchorMustBeACertificate) {
  ASSERT_TRUE(engine_.InitSsl());
  EXPECT_FALSE(engine_.AddCert("not a certificate"));
  EXPECT_FALSE(engine_.AddCert(pki_->server.key_pem.c_str()));
  EXPECT_TRUE(engine_.AddCert(pki_->server.cert_pem.c_str()));
  hx::SetBuiltInRootCertificate("");
  EXPECT_FALSE(engine_.AddCaCert());

  HXTLSEngine unmade(context_);
  EXPECT_FALSE(unmade.AddCert(pki_->root.cert_pem.c_str()));
  EXPECT_EQ(unmade.HandshakeStep(), -1);
  engine_.Reset();
  EXPECT_TRUE(engine_.InitSsl());  // usable again after a reset
}

}  // namespace
