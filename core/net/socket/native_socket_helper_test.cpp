#include "core/net/socket/native_socket_helper.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/net/socket/native_socket_error.h"
#include "core/net/socket/native_socket_test_util.h"
#include "core/net/socket/socket_test_util.h"
#include "testing/test_support.h"

namespace {

using hx::testing::Endpoint;
using hx::testing::IntOption;
using hx::testing::LogCapture;
using hx::testing::NativeSocketFixture;
using hx::testing::PlainSocket;
using hx::testing::SockAddr;
using hx::testing::WaitReady;

bool NonBlocking(int handle) { return (fcntl(handle, F_GETFL) & O_NONBLOCK) != 0; }

TEST(NativeSocket, StreamAndDatagramDescriptorsAreNonBlocking) {
  struct Kind {
    int family, type, protocol;
  };
  for (Kind kind : {Kind{AF_INET, SOCK_STREAM, IPPROTO_TCP}, Kind{AF_INET6, SOCK_STREAM, 0},
                    Kind{AF_INET, SOCK_DGRAM, IPPROTO_UDP}, Kind{AF_INET6, SOCK_DGRAM, 0}}) {
    int handle = native_socket(kind.family, kind.type, kind.protocol);
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(NonBlocking(handle)) << kind.family << "/" << kind.type;
    close(handle);
  }
}

TEST(NativeSocket, FailureIsMinusOneAndLogged) {
  LogCapture log;
  EXPECT_EQ(native_socket(-5, SOCK_STREAM, 0), -1);
  EXPECT_TRUE(log.Contains("FAILED: open socket, Err = 97"));
}

class TcpLoopback : public NativeSocketFixture {};

TEST_F(TcpLoopback, ConnectAcceptSendAndReceiveWithoutBlocking) {
  uint16_t port = 0;
  HXZADataHandler* listener = Listen(&port);
  ASSERT_NE(port, 0);
  EXPECT_EQ(IntOption(listener->GetHandle(), SOL_SOCKET, SO_ACCEPTCONN), 1);

  PlainSocket client(helper, native_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), AF_INET,
                     SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(helper->ConnectImp(Endpoint("127.0.0.1", port), &client));
  EXPECT_NE(client.GetFlags() & HXZADataHandler::kReadyToSend, 0u)
      << "writability tells the owner that the connect finished";
  ASSERT_TRUE(WaitReady(client.GetHandle(), POLLOUT));
  EXPECT_EQ(HXZNativeSocketError(client.GetHandle()).GetError(), 0);

  ASSERT_TRUE(WaitReady(listener->GetHandle(), POLLIN));
  std::unique_ptr<HXZADataHandler> accepted = helper->AcceptImp(listener);
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(NonBlocking(accepted->GetHandle()));
  EXPECT_EQ(accepted->GetFamily(), AF_INET);
  EXPECT_EQ(accepted->GetType(), SOCK_STREAM);
  EXPECT_EQ(accepted->GetProtocol(), IPPROTO_TCP);
  PlainSocket server(helper, *accepted);

  char buffer[16] = {};
  EXPECT_EQ(server.Recv(buffer, sizeof(buffer), 0), 0u) << "an empty socket returns at once";
  EXPECT_EQ(server.GetRecvStatus(), HXZRecvStatus::wouldBlock);

  EXPECT_EQ(client.Send("ping", 4, 0), 4u);
  ASSERT_TRUE(WaitReady(server.GetHandle(), POLLIN));
  ASSERT_EQ(server.Recv(buffer, sizeof(buffer), 0), 4u);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(server.GetRecvStatus(), HXZRecvStatus::data);

  EXPECT_EQ(server.Send("pong!", 5, 0), 5u);
  ASSERT_TRUE(WaitReady(client.GetHandle(), POLLIN));
  ASSERT_EQ(client.Recv(buffer, sizeof(buffer), 0), 5u);
  EXPECT_EQ(std::string(buffer, 5), "pong!");

  HXZNativeSocketDetails client_side(client);
  HXZNativeSocketDetails server_side(server);
  EXPECT_EQ(client_side.HostRemote(), "127.0.0.1");
  EXPECT_EQ(client_side.PortRemote(), port);
  EXPECT_EQ(server_side.PortRemote(), client_side.PortLocal());
  EXPECT_EQ(server_side.GetFamily(), AF_INET);
  EXPECT_TRUE(HXZNativeSocketDetails(client, true).getRemote().empty());
  EXPECT_FALSE(client_side.UpdateSocketDetails(-1, false));
  EXPECT_TRUE(client_side.getLocal().empty()) << "no address of the earlier socket remains";
  EXPECT_TRUE(client_side.getRemote().empty());

  EXPECT_EQ(server.Recv(buffer, 0, 0), 0u);
  EXPECT_FALSE(server.RecvEnded()) << "asking for no bytes is no end of stream";

  helper->CloseImp(&client);
  helper->CloseImp(&server);
}

// Why a receive returned 0 decides whether a reader ends the connection or waits.
TEST_F(TcpLoopback, ZeroReceivesTellEndOfStreamHardErrorAndTransientApart) {
  struct Case {
    const char* name;
    std::function<void(int peer)> peer_action;
    HXZRecvStatus status;
    bool ended;
    const char* log_text;  // null: nothing logged
  };
  const std::vector<Case> cases = {
      {"nothing sent yet", [](int) {}, HXZRecvStatus::wouldBlock, false, nullptr},
      {"orderly close", [](int peer) { shutdown(peer, SHUT_WR); }, HXZRecvStatus::endOfStream,
       true, nullptr},
      {"reset",
       [](int peer) {
         linger abort_on_close{1, 0};
         setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
         close(peer);
       },
       HXZRecvStatus::failed, true, "FAILED: recv data (socket ), errno= 104"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair pair = ConnectedPair();
    int peer = dup(pair.client->GetHandle());
    helper->CloseImp(pair.client);
    c.peer_action(peer);
    if (c.ended) ASSERT_TRUE(WaitReady(pair.server->GetHandle(), POLLIN));

    LogCapture log;
    char buffer[8];
    EXPECT_EQ(helper->RecvImp(buffer, sizeof(buffer), 0, pair.server), 0u);
    EXPECT_EQ(pair.server->GetRecvStatus(), c.status);
    EXPECT_EQ(pair.server->RecvEnded(), c.ended);
    if (c.log_text != nullptr) {
      EXPECT_TRUE(log.Contains(c.log_text));
    } else {
      EXPECT_TRUE(log.Lines().empty());
    }
    if (c.status != HXZRecvStatus::failed) close(peer);
  }
}

TEST_F(TcpLoopback, BytesBeforeACloseAreReadFirst) {
  TcpPair pair = ConnectedPair();
  ASSERT_EQ(helper->SendImp("last", 4, 0, pair.client), 4u);
  helper->CloseImp(pair.client);
  ASSERT_TRUE(WaitReady(pair.server->GetHandle(), POLLIN));
  char buffer[8];
  EXPECT_EQ(helper->RecvImp(buffer, sizeof(buffer), MSG_PEEK, pair.server), 4u);
  EXPECT_EQ(helper->RecvImp(buffer, sizeof(buffer), 0, pair.server), 4u);
  EXPECT_FALSE(pair.server->RecvEnded());
  EXPECT_EQ(helper->RecvImp(buffer, sizeof(buffer), 0, pair.server), 0u);
  EXPECT_TRUE(pair.server->RecvEnded());
}

TEST_F(TcpLoopback, SendingToAClosedPeerRaisesNoSignal) {
  TcpPair pair = ConnectedPair();
  helper->CloseImp(pair.server);
  LogCapture log;
  char chunk[4096] = {};
  // The first sends may still be taken; once the reset arrives, sends fail with EPIPE.
  bool failed = hx::testing::WaitFor(
      [&] { return helper->SendImp(chunk, sizeof(chunk), 0, pair.client) == 0; }, 5000);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(log.Contains("FAILED: send data (socket), errno= 32 H = ") ||
              log.Contains("FAILED: send data (socket), errno= 104 H = "));
}

TEST_F(TcpLoopback, RecvFromOnTcpClearsTheAddressAndReceives) {
  TcpPair pair = ConnectedPair();
  ASSERT_EQ(helper->SendImp("abc", 3, 0, pair.client), 3u);
  ASSERT_TRUE(WaitReady(pair.server->GetHandle(), POLLIN));
  HXSockAddr from = SockAddr("10.0.0.1", 80);
  char buffer[8];
  EXPECT_EQ(helper->RecvFromImp(buffer, sizeof(buffer), 0, pair.server, &from), 3u);
  EXPECT_TRUE(from.empty());
  EXPECT_EQ(from.proto(), ip::Proto::unknown);
}

TEST_F(TcpLoopback, AcceptOnASocketThatDoesNotListenFails) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  LogCapture log;
  EXPECT_EQ(helper->AcceptImp(handler), nullptr);
  EXPECT_TRUE(log.Contains("Accept error on h=" + std::to_string(handler->GetHandle()) +
                           " err 22"));
}

TEST_F(TcpLoopback, RefusedConnectIsReportedThroughTheSocketError) {
  uint16_t port = hx::testing::FreeLoopbackPort(SOCK_STREAM);
  HXZADataHandler* client = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(helper->ConnectImp(Endpoint("127.0.0.1", port), client)) << "under way";
  ASSERT_TRUE(WaitReady(client->GetHandle(), POLLOUT));
  EXPECT_EQ(HXZNativeSocketError(client->GetHandle()).GetError(), ECONNREFUSED);
}

class ConnectRequests : public NativeSocketFixture {};

TEST_F(ConnectRequests, UdpConnectCompletesAtOnceAndStillAsksForWritability) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_TRUE(helper->ConnectImp(Endpoint("127.0.0.1", 9, ip::Proto::udp), handler));
  EXPECT_EQ(handler->GetFlags() & HXZADataHandler::kReadyToSend, HXZADataHandler::kReadyToSend);
}

TEST_F(ConnectRequests, NoAddressOrAWrongFamilyFails) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_FALSE(helper->ConnectImp(nullptr, handler));
  EXPECT_FALSE(helper->ConnectImp(std::make_shared<HXZEndpointSockAddr>(HXSockAddr()), handler));
  EXPECT_EQ(handler->GetFlags(), 0u);

  LogCapture log;
  EXPECT_FALSE(helper->ConnectImp(Endpoint("::1", 4000), handler));
  EXPECT_EQ(handler->GetFlags(), 0u);
  EXPECT_TRUE(log.Contains("FAILED: connect socket, errno= 97, address = ::1:4000 handle " +
                           std::to_string(handler->GetHandle())));
}

class UdpLoopback : public NativeSocketFixture {};

TEST_F(UdpLoopback, DatagramsCarryTheirSenderAndMayBeEmpty) {
  HXZADataHandler* receiver = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  HXZADataHandler* sender = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  auto any_port = Endpoint("127.0.0.1", 0, ip::Proto::udp);
  ASSERT_TRUE(helper->BindImp(any_port.get(), receiver)) << "a UDP bind with a backlog never listens";
  ASSERT_TRUE(helper->BindImp(any_port.get(), sender));
  HXSockAddr to = HXZNativeSocketDetails(*receiver, true).getLocal();
  HXSockAddr sender_address = HXZNativeSocketDetails(*sender, true).getLocal();

  char buffer[16];
  HXSockAddr from;
  EXPECT_EQ(helper->RecvFromImp(buffer, sizeof(buffer), 0, receiver, &from), 0u);
  EXPECT_EQ(receiver->GetRecvStatus(), HXZRecvStatus::wouldBlock);

  ASSERT_EQ(helper->SendToImp("hello", 5, to, 0, sender), 5u);
  ASSERT_TRUE(WaitReady(receiver->GetHandle(), POLLIN));
  ASSERT_EQ(helper->RecvFromImp(buffer, sizeof(buffer), 0, receiver, &from), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(from.cmp(sender_address), 0) << from.strBind(true);
  EXPECT_EQ(from.proto(), ip::Proto::udp);

  ASSERT_EQ(helper->SendToImp("", 0, to, 0, sender), 0u);
  ASSERT_TRUE(WaitReady(receiver->GetHandle(), POLLIN));
  EXPECT_EQ(helper->RecvImp(buffer, sizeof(buffer), 0, receiver), 0u);
  EXPECT_EQ(receiver->GetRecvStatus(), HXZRecvStatus::data);
  EXPECT_FALSE(receiver->RecvEnded()) << "an empty datagram ends nothing";
}

// Holds a list of addresses and hands them out in turn, counting the calls.
class AddressList : public HXZAEndpointHolder {
 public:
  explicit AddressList(std::vector<HXSockAddr> list) : m_list(std::move(list)) {}
  std::string getAddrStr() const override { return "list"; }
  int getCount() const override { return static_cast<int>(m_list.size()); }
  HXSockAddr next() override { return m_list[nexts++ % m_list.size()]; }
  size_t nexts = 0;

 private:
  std::vector<HXSockAddr> m_list;
};

class BindRequests : public NativeSocketFixture {};

TEST_F(BindRequests, TriesAddressesInTurnUntilOneBinds) {
  struct Case {
    const char* name;
    std::vector<HXSockAddr> list;
    bool bound;
    size_t tries;
  };
  const std::vector<Case> cases = {
      {"second binds", {SockAddr("203.0.113.1", 0), SockAddr("127.0.0.1", 0),
                        SockAddr("127.0.0.1", 0)}, true, 2},
      {"empty address ends", {HXSockAddr(), SockAddr("127.0.0.1", 0)}, false, 1},
      {"none binds", {SockAddr("203.0.113.1", 0), SockAddr("203.0.113.2", 0)}, false, 2},
      {"no address", {}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    AddressList endpoint(c.list);
    EXPECT_EQ(helper->BindImp(&endpoint, handler), c.bound);
    EXPECT_EQ(endpoint.nexts, c.tries);
    if (c.bound) EXPECT_EQ(HXZNativeSocketDetails(*handler, true).HostLocal(), "127.0.0.1");
  }
}

TEST_F(BindRequests, ParametersChooseOptionsAndListening) {
  using Param = HXZAEndpointHolder::BindParam;
  struct Case {
    const char* name;
    int family;
    int type;
    uint32_t param;
    int reuse_addr;  // looked at only when the parameters ask for address reuse
    int reuse_port, v6only, listening;  // v6only -1: not looked at
  };
  const std::vector<Case> cases = {
      {"default on IPv6", AF_INET6, SOCK_STREAM, Param::kDefault, 0, 0, 1, 1},
      {"v6-only off", AF_INET6, SOCK_STREAM, Param::kSetV6Only | (1 << Param::kBacklogShift), 0,
       0, 0, 1},
      {"reuse both", AF_INET, SOCK_STREAM,
       Param::kSetReuseAddr | Param::kSetReusePort | Param::kReuseValue, 1, 1, -1, 0},
      {"reuse asked with value 0", AF_INET, SOCK_STREAM, Param::kSetReuseAddr, 0, 0, -1, 0},
      {"v6-only ignored on IPv4", AF_INET, SOCK_STREAM, Param::kDefault, 0, 0, -1, 1},
      {"datagram never listens", AF_INET, SOCK_DGRAM, Param::kDefault, 0, 0, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int protocol = c.type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    HXZADataHandler* handler = Open(c.family, c.type, protocol);
    int on = 1;  // a value that a bind asking for reuse 0 must clear
    setsockopt(handler->GetHandle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    Param param;
    param.value = c.param;
    // The IPv6 cases bind to "::": the system makes a socket bound to one IPv6 address
    // IPv6-only whatever the option said.
    const char* address = c.family == AF_INET6 ? "::" : "127.0.0.1";
    ASSERT_TRUE(helper->nativeBind(handler, SockAddr(address, 0), param));
    int h = handler->GetHandle();
    if (c.param & Param::kSetReuseAddr) {
      EXPECT_EQ(IntOption(h, SOL_SOCKET, SO_REUSEADDR), c.reuse_addr);
    }
    EXPECT_EQ(IntOption(h, SOL_SOCKET, SO_REUSEPORT), c.reuse_port);
    if (c.v6only != -1) EXPECT_EQ(IntOption(h, IPPROTO_IPV6, IPV6_V6ONLY), c.v6only);
    EXPECT_EQ(IntOption(h, SOL_SOCKET, SO_ACCEPTCONN), c.listening);
  }
}

TEST_F(BindRequests, AFailingOptionOrBindEndsTheAttempt) {
  HXZADataHandler* handler = Open(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  HXZAEndpointHolder::BindParam param;
  ASSERT_TRUE(helper->nativeBind(handler, SockAddr("::1", 0), param));

  LogCapture log;
  // IPv6-only cannot change on a bound socket.
  EXPECT_FALSE(helper->nativeBind(handler, SockAddr("::1", 0), param));
  EXPECT_TRUE(log.Contains("Set 'IPv6 only' failed: errno=22"));

  HXZADataHandler* second = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_FALSE(helper->nativeBind(second, SockAddr("203.0.113.1", 5000), param));
  EXPECT_TRUE(log.Contains("FAILED: bind socket " + std::to_string(second->GetHandle()) +
                           ", errno= 99, address = 203.0.113.1:5000"));
}

class CloseRequests : public NativeSocketFixture {};

TEST_F(CloseRequests, ClosesTheDescriptorOnlyWhenThereIsOne) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int handle = handler->GetHandle();
  uint32_t edition = handler->getHandleEdition();
  EXPECT_TRUE(helper->CloseImp(handler));
  EXPECT_EQ(handler->GetHandle(), -1);
  EXPECT_EQ(handler->getHandleEdition(), edition + 1);
  EXPECT_EQ(fcntl(handle, F_GETFD), -1);

  EXPECT_TRUE(helper->CloseImp(handler));
  EXPECT_EQ(handler->getHandleEdition(), edition + 1) << "nothing to close changes nothing";
}

TEST_F(CloseRequests, CloneGetsAFreshDescriptorOfTheSameKind) {
  PlainSocket socket(helper, native_socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP), AF_INET6,
                     SOCK_DGRAM, IPPROTO_UDP);
  socket.SetState(true);
  std::unique_ptr<HXZADataHandler> copy(helper->Clone(&socket));
  ASSERT_NE(copy, nullptr);
  EXPECT_GE(copy->GetHandle(), 0);
  EXPECT_NE(copy->GetHandle(), socket.GetHandle());
  EXPECT_EQ(HXSockAddr::getSockSysTypeLive(copy->GetHandle()), SOCK_DGRAM);
  EXPECT_FALSE(copy->GetState());
  helper->CloseImp(copy.get());
  helper->CloseImp(&socket);

  HXZANullDataHandler bare(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(helper->Clone(&bare), nullptr);
}

}  // namespace
