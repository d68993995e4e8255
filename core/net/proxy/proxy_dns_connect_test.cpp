// A proxied client socket with an empty proxy list, given a host name: the proxy layer resolves
// it through the core's DNS client (a dnsmasq on loopback here) and connects directly.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/greeting_socket_test_util.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/proxy/tcp_proxy_handler.h"
#include "testing/dnsmasq_server.h"

namespace hx::testing {
namespace {

class ProxyDnsConnect : public LoopFixture {
 protected:
  void TearDown() override {
    // On the loop's thread: the socket may still be busy there.
    if (m_socket != nullptr) OnLoop([this] { m_socket->GC(); });
    LoopFixture::TearDown();
  }

  // dnsmasq answering for the zone "hx.test" only, pointed at by the DNS client.
  void StartNameServer(const std::string& program) {
    m_dnsmasq = std::make_unique<DnsmasqServer>(
        program, std::vector<std::string>{"--local=/hx.test/",
                                          "--host-record=server.hx.test,127.0.0.1"});
    ASSERT_TRUE(m_dnsmasq->ready());
    ASSERT_TRUE(loop->Rebind({{"127.0.0.1", m_dnsmasq->port()}}));
  }

  GreetingSocket* NewSocket() { return m_socket = new GreetingSocket(loop); }

  std::unique_ptr<DnsmasqServer> m_dnsmasq;
  GreetingSocket* m_socket = nullptr;
};

// The port of the remote end of a connected descriptor.
uint16_t PeerPort(int handle) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getpeername(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

TEST_F(ProxyDnsConnect, HostNameIsResolvedAndConnectedDirectly) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNameServer(dnsmasq);
  HX_ProxyList* proxies = loop->acquireProxyList();
  ASSERT_EQ(proxies->getProxyDescriptor(nullptr), nullptr);
  PlainListener server;

  GreetingSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  ASSERT_NE(layer, nullptr);
  ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("server.hx.test", server.port())));

  const int peer = server.Accept();
  ASSERT_GE(peer, 0) << "nothing connected to the address dnsmasq gave";
  char greeting[4];
  ASSERT_EQ(recv(peer, greeting, 4, MSG_WAITALL), 4) << "the socket got no ready-to-send";
  EXPECT_EQ(std::string(greeting, 4), "ping");
  ASSERT_EQ(send(peer, "pong", 4, 0), 4);
  EXPECT_TRUE(WaitFor([&] { return socket->received() == "pong"; }, 10000));

  // Direct: the listener's peer is the socket itself, not some intermediary.
  uint16_t local_port = 0;
  OnLoop([&] { local_port = LocalPort(*socket); });
  EXPECT_EQ(PeerPort(peer), local_port);
  close(peer);
  OnLoop([&] {
    EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateDone);
    EXPECT_EQ(socket->getProxyHandler(), nullptr);
    EXPECT_EQ(socket->Callback(), static_cast<HXZASocketCallbacks*>(socket));
  });
  EXPECT_EQ(proxies->cacheGet("server.hx.test"), nullptr) << "no proxy was recorded";
  EXPECT_EQ(socket->connected, 1);
  EXPECT_EQ(socket->errors, 0);
}

TEST_F(ProxyDnsConnect, UnknownNameFailsTheSocket) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNameServer(dnsmasq);
  GreetingSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  // The answer is awaited: the outcome follows.
  ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("nowhere.hx.test", 443)));
  EXPECT_EQ(socket->errors, 0);
  // dnsmasq refuses the name at once, but the system resolver's empty result is not reported:
  // the lookup fails at its own limit of 15 s.
  ASSERT_TRUE(WaitFor([&] { return socket->errors == 1; }, 30000));
  OnLoop([] {});
  EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateFailed);
  EXPECT_EQ(socket->getProxyHandler(), nullptr);
  EXPECT_EQ(socket->Callback(), static_cast<HXZASocketCallbacks*>(socket));
  EXPECT_EQ(socket->connected, 0);
  EXPECT_EQ(socket->errors, 1);
}

}  // namespace
}  // namespace hx::testing
