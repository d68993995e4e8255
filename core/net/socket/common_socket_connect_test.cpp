// How a client socket's connect ends, for every set of layers the socket can carry (none, TLS,
// proxy, TLS and proxy), against real loopback peers: a port where nothing listens, a listener
// that accepts and resets at once, and an "openssl s_server" that accepts and completes TLS.
// A refusal and a reset must reach the socket's owner in every row. No connect time limit is set,
// so without that report the owner would wait for ever; the tests' bound only stops a hang and is
// generous, since a loaded machine can delay the loop's pass by a second.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/common_socket.h"
#include "core/net/tls/tls_test_server.h"
#include "core/security/root_certificate.h"

namespace hx::testing {
namespace {

// The owner at the bottom of the chain, as the transport's connection is: it records what
// reaches it. An end of the stream stops the socket, as an owner would.
class OwnerSocket : public HXZCommonSocket {
 public:
  using HXZCommonSocket::HXZCommonSocket;

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    if (sendEvents.fetch_add(1) == 0) tlsAtFirstSend = GetTlsContext() != nullptr;
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[256];
    while (Recv(buffer, sizeof buffer, 0) > 0) {
    }
    if (RecvEnded()) {
      ended.fetch_add(1);
      SetState(false);
    }
    return 0;
  }
  void OnClose(HXZADataHandler*) override { closed.fetch_add(1); }
  void OnError() override { errors.fetch_add(1); }

  bool Failed() const { return ended + closed + errors > 0; }

  std::atomic<int> sendEvents{0};
  std::atomic<bool> tlsAtFirstSend{false};
  std::atomic<int> ended{0};
  std::atomic<int> closed{0};
  std::atomic<int> errors{0};
};

// Accepts every connection and resets it at once (an abortive close).
class ResettingListener {
 public:
  ResettingListener() : m_thread([this] { Serve(); }) {}
  ~ResettingListener() {
    m_stop = true;
    m_thread.join();
  }
  uint16_t port() const { return m_listener.port(); }
  int accepted() const { return m_accepted; }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd item{m_listener.handle(), POLLIN, 0};
      if (poll(&item, 1, 20) != 1) continue;
      const int handle = m_listener.Accept();
      if (handle < 0) continue;
      ++m_accepted;
      linger abort_close{1, 0};
      setsockopt(handle, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
      close(handle);
    }
  }

  PlainListener m_listener;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
};

class CommonSocketConnect : public LoopFixture {
 protected:
  void SetUp() override {
    m_pki = SharedTlsPki();
    if (m_pki == nullptr) {
      if (RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    SetBuiltInRootCertificate(m_pki->root.cert_pem);
    LoopFixture::SetUp();
  }
  void TearDown() override {
    Drop();
    LoopFixture::TearDown();
    SetBuiltInRootCertificate("");
  }

  OwnerSocket* Connect(bool tls, bool proxy, uint16_t port) {
    Drop();
    m_socket = new OwnerSocket(new HXZNativeSocketHelper(loop), tls, proxy);
    EXPECT_EQ(m_socket->getTlsHandler() != nullptr, tls);
    EXPECT_TRUE(m_socket->Connect(LoopbackEndpoint(port, ip::Proto::tcp)));
    return m_socket;
  }
  // On the loop's thread: the socket may still be busy there.
  void Drop() {
    if (m_socket != nullptr) OnLoop([this] { m_socket->GC(); });
    m_socket = nullptr;
  }

  TlsTestPki* m_pki = nullptr;
  OwnerSocket* m_socket = nullptr;
};

struct Layers {
  const char* name;
  bool tls;
  bool proxy;
};
constexpr Layers kLayerSets[] = {
    {"none", false, false}, {"TLS", true, false}, {"proxy", false, true}, {"TLS and proxy", true, true}};

TEST_F(CommonSocketConnect, RefusalReachesTheOwner) {
  for (const Layers& layers : kLayerSets) {
    SCOPED_TRACE(layers.name);
    OwnerSocket* socket = Connect(layers.tls, layers.proxy, FreeLoopbackPort(SOCK_STREAM));
    EXPECT_TRUE(WaitFor([&] { return socket->Failed(); }, 10000))
        << "errors " << socket->errors << ", ended " << socket->ended << ", closed " << socket->closed;
    OnLoop([] {});
    EXPECT_EQ(socket->sendEvents, 0) << "a refused connect read as connected";
  }
}

TEST_F(CommonSocketConnect, ResetReachesTheOwner) {
  for (const Layers& layers : kLayerSets) {
    SCOPED_TRACE(layers.name);
    ResettingListener peer;
    OwnerSocket* socket = Connect(layers.tls, layers.proxy, peer.port());
    EXPECT_TRUE(WaitFor([&] { return socket->Failed(); }, 10000))
        << "errors " << socket->errors << ", ended " << socket->ended << ", closed " << socket->closed;
    EXPECT_GE(peer.accepted(), 1);
  }
}

TEST_F(CommonSocketConnect, AcceptedConnectReachesTheOwnerAsWritable) {
  TlsReverseServer server(m_pki->server);
  ASSERT_TRUE(server.ready());
  for (const Layers& layers : kLayerSets) {
    SCOPED_TRACE(layers.name);
    OwnerSocket* socket = Connect(layers.tls, layers.proxy, server.port());
    ASSERT_TRUE(WaitFor([&] { return socket->sendEvents > 0; }, 10000));
    EXPECT_EQ(socket->tlsAtFirstSend, layers.tls) << "TLS, and only with its layer";
    OnLoop([] {});
    EXPECT_FALSE(socket->Failed());
  }
}

}  // namespace
}  // namespace hx::testing
