#include "core/net/proxy/tcp_proxy_handler.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"

namespace hx::testing {
namespace {

// A client socket with a proxy layer and no TLS layer, recording the events that reach it.
class ProxiedSocket : public HXZCommonSocket {
 public:
  explicit ProxiedSocket(HXZServer* loop)
      : HXZCommonSocket(new HXZNativeSocketHelper(loop), false, true) {}

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    if (connected.fetch_add(1) == 0) Send("hi", 2, 0);
    return 0;
  }
  void OnClose(HXZADataHandler*) override { closed.fetch_add(1); }
  void OnError() override { errors.fetch_add(1); }

  std::atomic<int> connected{0};
  std::atomic<int> closed{0};
  std::atomic<int> errors{0};
};

class ProxyLayerTest : public LoopFixture {
 protected:
  void TearDown() override {
    // On the loop's thread: the socket may still be busy there with its peer's end.
    if (socket_ != nullptr) OnLoop([this] { socket_->GC(); });
    LoopFixture::TearDown();
  }
  ProxiedSocket* NewSocket() { return socket_ = new ProxiedSocket(loop); }

  ProxiedSocket* socket_ = nullptr;
};

TEST_F(ProxyLayerTest, LocalTargetGoesDirectAndTheLayerLeaves) {
  // A proxy is configured, but a loopback target never goes through it.
  loop->acquireProxyList()->addProxyDescriptor(
      std::make_shared<HX_ProxyDescriptorFqdn>("127.0.0.9", 3128, kProxyHttp));
  PlainListener server;
  ProxiedSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  ASSERT_NE(layer, nullptr);
  ASSERT_TRUE(socket->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  char data[2];
  EXPECT_EQ(recv(peer, data, 2, MSG_WAITALL), 2) << "the layer above got its ready-to-send";
  close(peer);
  OnLoop([&] {
    EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateDone);
    EXPECT_EQ(socket->getProxyHandler(), nullptr);
    EXPECT_EQ(socket->Callback(), static_cast<HXZASocketCallbacks*>(socket));
  });
  EXPECT_EQ(socket->connected, 1);
  EXPECT_EQ(socket->errors, 0);
}

TEST_F(ProxyLayerTest, ConnectWhileUnderWayIsRefused) {
  ProxiedSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("target.invalid", 443)));
  EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateLookup);
  LogCapture log;
  EXPECT_FALSE(layer->Connect(HXZEndpointFqdn::remoteTCP("other.invalid", 443)));
  EXPECT_TRUE(log.Contains("State 1"));
  EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateLookup);
  EXPECT_EQ(socket->getProxyHandler(), layer);
}

TEST_F(ProxyLayerTest, CloseDuringTheLookupWaitsForTheSocketsClose) {
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "with notification");
    ProxiedSocket* socket = NewSocket();
    std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
    ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("target.invalid", 443)));
    EXPECT_FALSE(layer->Close(silent));
    EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateClosing);
    // The socket's own close, reported to the layer that still tops the chain.
    ASSERT_TRUE(socket->HXZTCPSocketHandy::Close(false));
    ASSERT_TRUE(WaitFor([&] { return layer->GetState() == HXZTcpProxyHandler::stateClosed; },
                        10000));
    OnLoop([] {});
    EXPECT_EQ(socket->closed, silent ? 0 : 1);
    EXPECT_EQ(socket->getProxyHandler(), nullptr);
    EXPECT_EQ(socket->Callback(), static_cast<HXZASocketCallbacks*>(socket));
    OnLoop([&] { socket->GC(); });
    socket_ = nullptr;
  }
}

TEST_F(ProxyLayerTest, SocketCloseDuringTheLookupEndsTheLayer) {
  ProxiedSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("target.invalid", 443)));
  ASSERT_TRUE(socket->Close(true));
  ASSERT_TRUE(
      WaitFor([&] { return layer->GetState() == HXZTcpProxyHandler::stateClosed; }, 10000));
  OnLoop([] {});
  EXPECT_EQ(socket->closed, 0);
  EXPECT_EQ(socket->getProxyHandler(), nullptr);

  // Without its proxy layer the socket connects directly.
  PlainListener server;
  ASSERT_TRUE(socket->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  close(peer);
  EXPECT_TRUE(WaitFor([&] { return socket->connected == 1; }, 10000));
}

TEST_F(ProxyLayerTest, NothingToConnectToFailsTheSocket) {
  ProxiedSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  ASSERT_TRUE(socket->Connect(HXZEndpointFqdn::remoteTCP("target.invalid", 443)));
  // The target's lookup fails (an answer without addresses, as from a resolver thread).
  layer->OnCallbackQueryA("target.invalid", std::vector<std::string>{});
  EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateFailed);
  EXPECT_EQ(socket->errors, 1);
  EXPECT_EQ(socket->getProxyHandler(), nullptr);
  EXPECT_EQ(socket->Callback(), static_cast<HXZASocketCallbacks*>(socket));
}

TEST_F(ProxyLayerTest, ConfigurationWithoutProtocolHandlerFailsTheSocketAtOnce) {
  // A proxy kind for which no protocol handler exists.
  loop->acquireProxyList()->addProxyDescriptor(
      std::make_shared<HX_ProxyDescriptorFqdn>("127.0.0.9", 3128, static_cast<HX_ProxyType>(7)));
  ProxiedSocket* socket = NewSocket();
  std::shared_ptr<HXZTcpProxyHandler> layer = socket->getProxyHandler();
  socket->Connect(HXZEndpointFqdn::remoteTCP("192.0.2.1", 443));
  // The outcome is delivered before Connect returns.
  EXPECT_EQ(layer->GetState(), HXZTcpProxyHandler::stateFailed);
  EXPECT_EQ(socket->errors, 1);
  EXPECT_EQ(socket->getProxyHandler(), nullptr);
}

}  // namespace
}  // namespace hx::testing
