#include "core/net/socket/common_socket.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/socket_test_util.h"

namespace hx::testing {
namespace {

// Refuses connect requests when asked to.
class ConnectHelper : public RecordingHelper {
 public:
  bool refuseConnect = false;
  bool ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                    HXZADataHandler* handler) override {
    RecordingHelper::ConnectAsync(endpoint, socket, handler);
    return !refuseConnect;
  }
};

std::shared_ptr<HXZAEndpointHolder> Endpoint() {
  HXSockAddr address;
  EXPECT_TRUE(address.set(ip::Proto::tcp, "127.0.0.1", "443", 4, 0));
  return std::make_shared<HXZEndpointSockAddr>(address);
}

int Count(const RecordingHelper& helper, const std::string& op) {
  int count = 0;
  for (const HelperCall& call : helper.calls) count += call.op == op ? 1 : 0;
  return count;
}

TEST(CommonSocketTest, TlsLayerOnlyWhenAskedForAndNotDenied) {
  struct Case {
    bool deny;
    bool with_tls;
    bool has_tls;
  } cases[] = {{false, true, true}, {false, false, false}, {true, true, false}, {true, false, false}};
  for (const Case& c : cases) {
    HXZCommonSocket::SetDenyTLS(c.deny);
    HXZCommonSocket socket(new RecordingHelper(), c.with_tls, true);
    EXPECT_EQ(socket.getTlsHandler() != nullptr, c.has_tls) << c.deny << c.with_tls;
    EXPECT_NE(socket.getProxyHandler(), nullptr);
    EXPECT_EQ(socket.Callback(), static_cast<HXZASocketCallbacks*>(&socket)) << "nothing pushed yet";
  }
  HXZCommonSocket::SetDenyTLS(false);
}

TEST(CommonSocketTest, RefusedConnectDropsTheTlsLayer) {
  auto* helper = new ConnectHelper();
  HXZCommonSocket socket(helper, true, false);
  std::shared_ptr<HXTLSHandler> tls = socket.getTlsHandler();
  ASSERT_NE(tls, nullptr);

  helper->refuseConnect = true;
  EXPECT_FALSE(socket.Connect(Endpoint()));
  EXPECT_EQ(socket.getTlsHandler(), nullptr);
  EXPECT_EQ(socket.Callback(), static_cast<HXZASocketCallbacks*>(&socket));

  helper->refuseConnect = false;
  EXPECT_TRUE(socket.Connect(Endpoint()));
  EXPECT_EQ(socket.Callback(), static_cast<HXZASocketCallbacks*>(&socket)) << "now without TLS";
  EXPECT_EQ(Count(*helper, "ConnectAsync"), 2);
}

TEST(CommonSocketTest, ConnectPushesTheTlsLayerMarkedAsRequested) {
  HXZCommonSocket socket(new ConnectHelper(), true, false);
  ASSERT_TRUE(socket.Connect(Endpoint()));
  std::shared_ptr<HXTLSHandler> tls = socket.getTlsHandler();
  ASSERT_NE(tls, nullptr);
  EXPECT_EQ(socket.Callback(), static_cast<HXZASocketCallbacks*>(tls.get()));
  EXPECT_EQ(tls->getSocketNextCallback(), static_cast<HXZASocketCallbacks*>(&socket));
  EXPECT_EQ(tls->GetContext().requested, 1);
  EXPECT_EQ(socket.GetTlsContext(), nullptr) << "no handshake yet";
  // Before the handshake nothing goes out and nothing comes in.
  EXPECT_EQ(socket.Send("abc", 3, 0), 0u);
  char byte;
  EXPECT_EQ(socket.Recv(&byte, 1, 0), 0u);
}

TEST(CommonSocketTest, AdoptionTakesTheTlsLayerAlong) {
  HXZCommonSocket old_socket(new ConnectHelper(), true, false);
  ASSERT_TRUE(old_socket.Connect(Endpoint()));
  old_socket.SetHandle(42);
  std::shared_ptr<HXTLSHandler> tls = old_socket.getTlsHandler();

  auto* helper = new ConnectHelper();
  HXZCommonSocket adopted(helper, old_socket);
  EXPECT_EQ(adopted.GetHandle(), 42);
  EXPECT_EQ(old_socket.getTlsHandler(), nullptr);
  EXPECT_EQ(old_socket.Callback(), static_cast<HXZASocketCallbacks*>(&old_socket));
  EXPECT_EQ(adopted.getTlsHandler(), tls);
  EXPECT_EQ(adopted.Callback(), static_cast<HXZASocketCallbacks*>(tls.get()));
  EXPECT_EQ(tls->getSocketNextCallback(), static_cast<HXZASocketCallbacks*>(&adopted));

  // The layer now works for its new owner: without a trusted root its handshake cannot start,
  // and it closes the adopting socket.
  adopted.OnReadySend();
  ASSERT_EQ(Count(*helper, "CloseAsync"), 1);
  EXPECT_EQ(helper->calls.back().socket, &adopted);
  adopted.SetHandle(-1);
}

}  // namespace
}  // namespace hx::testing
