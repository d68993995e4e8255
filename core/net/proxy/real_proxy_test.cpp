// The CONNECT tunnel through real proxies started by the test: squid with Basic and with Digest
// authentication, and tinyproxy with Basic. The target is a host name that only the proxies can
// resolve (squid's own hosts file), so the tunnel can only come up through the proxy; behind the
// name an echo listener of the test answers through the tunnel. tinyproxy resolves with the
// system's resolver and has no hosts file, so it sends its tunnels on through a squid without
// authentication that knows the name.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/greeting_socket_test_util.h"
#include "core/net/proxy/http/http_auth_session.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_list.h"
#include "testing/http_proxy_servers.h"
#include "testing/proxy_auth_test_helper.h"

namespace hx::testing {
namespace {

// Answers "pong" to whatever each connection sends first.
class EchoServer {
 public:
  EchoServer() : m_thread([this] { Run(); }) {}
  ~EchoServer() {
    m_stop = true;
    const int poke = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_listener.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(poke, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(poke);
    m_thread.join();
  }
  uint16_t port() const { return m_listener.port(); }

 private:
  void Run() {
    while (!m_stop) {
      const int peer = m_listener.Accept();
      if (peer < 0) continue;
      char bytes[64];
      if (recv(peer, bytes, sizeof bytes, 0) > 0) send(peer, "pong", 4, MSG_NOSIGNAL);
      close(peer);
    }
  }
  PlainListener m_listener;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

const char kTargetName[] = "echo.proxied.hx.test";

class RealProxyTest : public LoopFixture {
 protected:
  void TearDown() override {
    if (m_helper) m_helper->JoinAnswers();
    for (GreetingSocket* socket : m_sockets) OnLoop([socket] { socket->GC(); });
    LoopFixture::TearDown();
  }
  void UseProxy(uint16_t port, TestProxyAuthHelper::Mode mode, const std::string& user,
                const std::string& password) {
    HX_ProxyList* list = loop->acquireProxyList();
    list->addProxyDescriptor(
        std::make_shared<HX_ProxyDescriptorFqdn>("127.0.0.1", port, kProxyHttp));
    m_helper = std::make_shared<TestProxyAuthHelper>(user, password, mode);
    list->setGuiHelper(m_helper);
  }
  // Connects to `name`:`port` and waits for the echo or an error.
  GreetingSocket* Reach(const std::string& name, uint16_t port) {
    auto* socket = new GreetingSocket(loop);
    m_sockets.push_back(socket);
    EXPECT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP(name, port)));
    WaitFor([&] { return socket->received() == "pong" || socket->errors > 0; }, 20000);
    return socket;
  }
  std::shared_ptr<hx::http::AuthSession> HttpSession() {
    auto config = loop->acquireProxyList()->getProxyConfig(hx::netproxy::ProxyListIterator(0));
    auto session =
        std::dynamic_pointer_cast<hx::netproxy::HttpAuthSession>(config->getAuthSession());
    return session ? session->httpSession() : nullptr;
  }

  EchoServer m_echo;
  std::shared_ptr<TestProxyAuthHelper> m_helper;
  std::vector<GreetingSocket*> m_sockets;
};

TEST_F(RealProxyTest, SquidBasic) {
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  SquidProxy::Options options;
  options.hosts[kTargetName] = "127.0.0.1";
  SquidProxy proxy(squid, openssl, options);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  UseProxy(proxy.port(), TestProxyAuthHelper::answerLater, options.user, "wrong");

  // Wrong credentials: event 3, and the user is asked again.
  GreetingSocket* first = new GreetingSocket(loop);
  m_sockets.push_back(first);
  ASSERT_TRUE(first->Connect(HXZEndpointFqdn::remoteTCP(kTargetName, m_echo.port())));
  ASSERT_TRUE(WaitFor([&] { return m_helper->requests >= 2; }, 20000)) << proxy.Log();
  EXPECT_EQ(m_helper->Events(), std::vector<int>{3});
  EXPECT_EQ(m_helper->Realms().front(), options.realm);
  m_helper->SetCredentials(options.user, options.password);
  ASSERT_TRUE(WaitFor([&] { return first->received() == "pong"; }, 20000)) << proxy.Log();
  const int asked = m_helper->requests;

  // Again: the cached credentials go with the first request.
  GreetingSocket* second = Reach(kTargetName, m_echo.port());
  EXPECT_EQ(second->received(), "pong") << proxy.Log();
  EXPECT_EQ(m_helper->requests, asked);
}

TEST_F(RealProxyTest, SquidDigestNonceCountGoesOn) {
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  SquidProxy::Options options;
  options.auth = SquidProxy::Auth::digest;
  options.hosts[kTargetName] = "127.0.0.1";
  SquidProxy proxy(squid, openssl, options);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  UseProxy(proxy.port(), TestProxyAuthHelper::answerLater, options.user, options.password);

  GreetingSocket* first = Reach(kTargetName, m_echo.port());
  ASSERT_EQ(first->received(), "pong") << proxy.Log();
  auto digest = std::dynamic_pointer_cast<hx::http::AuthSessionDigest>(HttpSession());
  ASSERT_NE(digest, nullptr);
  const uint32_t count = digest->nonceCount();
  const std::string nonce = digest->serverNonce();
  EXPECT_GE(count, 1u);

  GreetingSocket* second = Reach(kTargetName, m_echo.port());
  EXPECT_EQ(second->received(), "pong") << proxy.Log();
  EXPECT_EQ(m_helper->requests, 1) << "the second connect reuses the credentials";
  if (digest->serverNonce() == nonce) EXPECT_EQ(digest->nonceCount(), count + 1);
  EXPECT_TRUE(m_helper->Events().empty());
}

TEST_F(RealProxyTest, TinyproxyBasic) {
  HX_REQUIRE_TOOL("tinyproxy", tinyproxy);
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  SquidProxy::Options options;
  options.auth = SquidProxy::Auth::none;
  options.hosts[kTargetName] = "127.0.0.1";
  SquidProxy upstream(squid, openssl, options);
  ASSERT_TRUE(upstream.ready()) << upstream.Log();
  TinyProxy proxy(tinyproxy, "tinyuser", "tinypass", upstream.port());
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  UseProxy(proxy.port(), TestProxyAuthHelper::answerLater, "tinyuser", "tinypass");
  GreetingSocket* socket = Reach(kTargetName, m_echo.port());
  EXPECT_EQ(socket->received(), "pong") << proxy.Log() << upstream.Log();
  EXPECT_EQ(m_helper->requests, 1);
}

}  // namespace
}  // namespace hx::testing
