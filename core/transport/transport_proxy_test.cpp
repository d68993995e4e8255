// The transport connection to the fake server through real HTTP proxies started by the test:
// squid with Basic and with Digest authentication and tinyproxy with Basic, over plain TCP with
// the secure handshake and over TLS through the tunnel. The server's name is known only to the
// proxies (squid's own hosts file), so the connection can only come up through the proxy: the
// client's own lookup of the name never answers it. tinyproxy resolves with the system's resolver
// and has no hosts file, so it sends its tunnels on through a squid without authentication that
// knows the name. The user's side is a helper that answers on its own thread.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/net/proxy/http/http_auth_session.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"
#include "testing/http_proxy_servers.h"
#include "testing/proxy_auth_test_helper.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

const char kServerName[] = "fake-server.proxied.hx.test";

std::string ClientLog(const LogCapture& log) {
  std::string text = "client log:\n";
  for (const std::string& line : log.Lines()) text += line + "\n";
  return text;
}

class TransportProxyTest : public TransportFixture {
 protected:
  void TearDown() override {
    if (m_helper) m_helper->JoinAnswers();
    TransportFixture::TearDown();
  }

  void UseProxy(uint16_t port, const std::string& user, const std::string& password) {
    HX_ProxyList* list = m_loop->acquireProxyList();
    list->addProxyDescriptor(
        std::make_shared<HX_ProxyDescriptorFqdn>("127.0.0.1", port, kProxyHttp));
    m_helper = std::make_shared<TestProxyAuthHelper>(user, password);
    list->setGuiHelper(m_helper);
  }

  // Starts the fake server with the secure handshake (or behind TLS) and connects to it by
  // `name` through the proxy; fails the test when the connection does not come up.
  void ConnectByName(const std::string& name, bool tls) {
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr);
    SetBuiltInRootCertificate(pki->root.cert_pem);
    ConnectionSettings settings;
    FakeServerOptions options;
    if (tls) {
      HXZCommonSocket::SetDenyTLS(false);
      options.tls_certificate_path = pki->server.cert_path;
      options.tls_private_key_path = pki->server.key_path;
    } else {
      settings.handshake_reply.secure = true;
      settings.secure_identity = pki->Identity(pki->server);
    }
    StartServer(settings, options);
    ConnectTo(name);
    auto connection = m_server->WaitForConnection(kTransportWaitMs);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->WaitForPhase(ConnectionPhase::kMessages, kTransportWaitMs));
    EXPECT_EQ(connection->handshake_request()->secure_requested, !tls);
    ExpectNoViolations();
  }

  void ConnectTo(const std::string& name) {
    m_param = std::make_shared<HX_TransportConnectionParam>();
    m_param->setServerAddress(name, m_server->port());
    ASSERT_TRUE(m_transport->ConnectServer(m_param, kTransportWaitMs));
    TransportSignals::Update update;
    ASSERT_TRUE(m_signals->WaitUpdate(&update));
    ASSERT_EQ(update.result, 0);
    ASSERT_TRUE(
        WaitFor([&] { return m_transport->getTransportState() == HXZTransport::stateConnected; },
                kTransportWaitMs));
  }

  std::shared_ptr<hx::http::AuthSession> HttpSession() {
    auto config = m_loop->acquireProxyList()->getProxyConfig(hx::netproxy::ProxyListIterator(0));
    auto session =
        std::dynamic_pointer_cast<hx::netproxy::HttpAuthSession>(config->getAuthSession());
    return session ? session->httpSession() : nullptr;
  }

  // tinyproxy with Basic authentication before a squid that alone knows kServerName.
  struct TinyproxyChain {
    TinyproxyChain(const std::string& tinyproxy, const std::string& squid,
                   const std::string& openssl)
        : upstream(squid, openssl, UpstreamOptions()),
          proxy(tinyproxy, "tinyuser", "tinypass", upstream.ready() ? upstream.port() : 0) {}
    static SquidProxy::Options UpstreamOptions() {
      SquidProxy::Options options;
      options.auth = SquidProxy::Auth::none;
      options.hosts[kServerName] = "127.0.0.1";
      return options;
    }
    std::string Log() const { return proxy.Log() + upstream.Log(); }

    SquidProxy upstream;
    TinyProxy proxy;
  };

  std::shared_ptr<TestProxyAuthHelper> m_helper;
};

TEST_F(TransportProxyTest, SquidBasicSecureHandshakeAndTls) {
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  SquidProxy::Options options;
  options.hosts[kServerName] = "127.0.0.1";
  SquidProxy proxy(squid, openssl, options);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  UseProxy(proxy.port(), options.user, options.password);
  ConnectByName(kServerName, false);
  EXPECT_EQ(m_helper->requests, 1) << proxy.Log();
  EXPECT_EQ(std::dynamic_pointer_cast<hx::http::AuthSessionBasic>(HttpSession()) != nullptr, true);

  // Over TLS through the tunnel, with the credentials cached: nobody is asked.
  m_transport->DisconnectServer();
  m_server.reset();
  ConnectByName(kServerName, true);
  EXPECT_EQ(m_helper->requests, 1);
  EXPECT_TRUE(m_helper->Events().empty());
}

TEST_F(TransportProxyTest, SquidDigestReconnectKeepsCountingTheNonce) {
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  SquidProxy::Options options;
  options.auth = SquidProxy::Auth::digest;
  options.hosts[kServerName] = "127.0.0.1";
  SquidProxy proxy(squid, openssl, options);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  UseProxy(proxy.port(), options.user, options.password);
  ConnectByName(kServerName, false);
  auto digest = std::dynamic_pointer_cast<hx::http::AuthSessionDigest>(HttpSession());
  ASSERT_NE(digest, nullptr);
  const uint32_t count = digest->nonceCount();
  const std::string nonce = digest->serverNonce();

  m_transport->DisconnectServer();
  ConnectTo(kServerName);
  EXPECT_EQ(m_helper->requests, 1) << "the cached credentials are reused without asking";
  if (digest->serverNonce() == nonce) EXPECT_EQ(digest->nonceCount(), count + 1);
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);
}

TEST_F(TransportProxyTest, TinyproxyBasicOverTls) {
  HX_REQUIRE_TOOL("tinyproxy", tinyproxy);
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  TinyproxyChain chain(tinyproxy, squid, openssl);
  ASSERT_TRUE(chain.upstream.ready() && chain.proxy.ready()) << chain.Log();
  UseProxy(chain.proxy.port(), "tinyuser", "tinypass");
  LogCapture clientLog;
  ConnectByName(kServerName, true);
  if (HasFailure()) ADD_FAILURE() << chain.Log() << ClientLog(clientLog);
  EXPECT_EQ(m_helper->requests, 1);
}

TEST_F(TransportProxyTest, TinyproxyBasicSecureHandshake) {
  HX_REQUIRE_TOOL("tinyproxy", tinyproxy);
  HX_REQUIRE_TOOL("squid", squid);
  HX_REQUIRE_TOOL("openssl", openssl);
  TinyproxyChain chain(tinyproxy, squid, openssl);
  ASSERT_TRUE(chain.upstream.ready() && chain.proxy.ready()) << chain.Log();
  UseProxy(chain.proxy.port(), "tinyuser", "tinypass");
  LogCapture clientLog;
  ConnectByName(kServerName, false);
  if (HasFailure()) ADD_FAILURE() << chain.Log() << ClientLog(clientLog);
  EXPECT_EQ(m_helper->requests, 1);
}

}  // namespace
}  // namespace hx::testing
