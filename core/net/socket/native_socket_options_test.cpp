#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/net/address/if_ip_entry.h"
#include "core/net/address/ip_iface.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/native_socket_test_util.h"
#include "testing/test_support.h"

namespace {

using hx::testing::IntOption;
using hx::testing::LogCapture;
using hx::testing::NativeSocketFixture;
using hx::testing::WaitReady;
using Helper = HXZNativeSocketHelper;

class SocketOptions : public NativeSocketFixture {};

TEST_F(SocketOptions, EachSwitchIsAppliedToTheDescriptor) {
  struct Case {
    const char* name;
    int family, type, protocol;
    int func;
    intptr_t argument;
    int level, option;
    int expected;
  };
  const std::vector<Case> cases = {
      {"no delay", AF_INET, SOCK_STREAM, IPPROTO_TCP, Helper::kSetNoDelay, 1, IPPROTO_TCP,
       TCP_NODELAY, 1},
      {"reuse address", AF_INET, SOCK_STREAM, IPPROTO_TCP, Helper::kSetReuseAddr, 5, SOL_SOCKET,
       SO_REUSEADDR, 1},
      {"reuse port", AF_INET, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetReusePort, 1, SOL_SOCKET,
       SO_REUSEPORT, 1},
      {"IPv6 only on", AF_INET6, SOCK_STREAM, IPPROTO_TCP, Helper::kSetIPv6Only, 1, IPPROTO_IPV6,
       IPV6_V6ONLY, 1},
      {"IPv6 only off", AF_INET6, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetIPv6Only, 0, IPPROTO_IPV6,
       IPV6_V6ONLY, 0},
      {"type of service", AF_INET, SOCK_DGRAM, IPPROTO_UDP, Helper::kQoS, 0xb8, IPPROTO_IP, IP_TOS,
       0xb8},
      {"IPv4 multicast TTL", AF_INET, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetMulticastTTL, 7,
       IPPROTO_IP, IP_MULTICAST_TTL, 7},
      {"IPv4 multicast TTL default", AF_INET, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetMulticastTTL,
       -1, IPPROTO_IP, IP_MULTICAST_TTL, 1},
      {"IPv6 multicast hops", AF_INET6, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetMulticastTTL, 255,
       IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 255},
      {"IPv4 packet info", AF_INET, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetMsgRecvPktInfo, 1,
       IPPROTO_IP, IP_PKTINFO, 1},
      {"IPv6 packet info", AF_INET6, SOCK_DGRAM, IPPROTO_UDP, Helper::kSetMsgRecvPktInfo, 1,
       IPPROTO_IPV6, IPV6_RECVPKTINFO, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HXZADataHandler* handler = Open(c.family, c.type, c.protocol);
    EXPECT_EQ(helper->Ioctl_1(c.func, handler, c.argument), 0);
    EXPECT_EQ(IntOption(handler->GetHandle(), c.level, c.option), c.expected);
  }
}

TEST_F(SocketOptions, BufferSizesAreSetAndReadBack) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int h = handler->GetHandle();
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetRcvBufSize, handler, 32768), 0);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetSndBufSize, handler, 16384), 0);
  // The system doubles the sizes for its own bookkeeping; the reads report what it keeps.
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetRcvBufSize, handler), IntOption(h, SOL_SOCKET, SO_RCVBUF));
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetSndBufSize, handler), IntOption(h, SOL_SOCKET, SO_SNDBUF));
  EXPECT_GE(helper->Ioctl_0(Helper::kGetRcvBufSize, handler), 32768);
  EXPECT_GE(helper->Ioctl_0(Helper::kGetSndBufSize, handler), 16384);
}

TEST_F(SocketOptions, KeepAliveIsSwitchedOn) {
  HXZADataHandler* handler = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(helper->Ioctl_3(Helper::kKeepAlive, handler, 1, 2, 3), 0);
  EXPECT_EQ(IntOption(handler->GetHandle(), SOL_SOCKET, SO_KEEPALIVE), 1);
}

TEST_F(SocketOptions, RefusedValuesAndFamiliesAnswerMinusOne) {
  HXZADataHandler* udp4 = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  HXZANullDataHandler no_family(udp4->GetHandle(), AF_UNIX, SOCK_DGRAM, 0);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastTTL, udp4, 256), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastTTL, udp4, -2), -1);
  EXPECT_EQ(IntOption(udp4->GetHandle(), IPPROTO_IP, IP_MULTICAST_TTL), 1) << "left unchanged";
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastTTL, &no_family, 5), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMsgRecvPktInfo, &no_family, 1), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastDefaultGateway, udp4, 0), -1);
  EXPECT_EQ(helper->Ioctl_2(Helper::kJoinMulticastGroup, udp4, 0, 0), -1);

  // Codes that belong to another form, or to none.
  EXPECT_EQ(helper->Ioctl_0(Helper::kSetNoDelay, udp4), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kGetRcvBufSize, udp4, 0), -1);
  EXPECT_EQ(helper->Ioctl_1(99, udp4, 0), -1);
  EXPECT_EQ(helper->Ioctl_2(Helper::kKeepAlive, udp4, 0, 0), -1);
  EXPECT_EQ(helper->Ioctl_3(Helper::kJoinMulticastGroup, udp4, 0, 0, 0), -1);
}

TEST_F(SocketOptions, FailuresAreLoggedWithTheirTexts) {
  HXZANullDataHandler closed(-1, AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  LogCapture log;
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetRcvBufSize, &closed), -1);
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetSendQueueSize, &closed), 0);
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetSndBufSize, &closed), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetNoDelay, &closed, 1), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetReusePort, &closed, 1), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastTTL, &closed, 3), -1);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMsgRecvPktInfo, &closed, 1), -1);
  for (const char* text :
       {"getRcvBufSizeImp() fail h=-1 errno=9", "GetSendQueueSize() fail h=-1 errno=9",
        "getSndBufSizeImp() fail with errno=9", "setNoDelayImp failed errno=9",
        "REUSEPORT set failed: errno=9", "SetMulticastTTL failed 3 errno=9",
        "IPV6_RECVPKTINFO set failed: error=9 H=-1"}) {
    EXPECT_TRUE(log.Contains(text)) << text;
  }
}

TEST_F(SocketOptions, SendQueueCountsBytesThePeerHasNotTaken) {
  TcpPair pair = ConnectedPair();
  EXPECT_EQ(helper->Ioctl_0(Helper::kGetSendQueueSize, pair.client), 0);

  // Fill the peer's receive space so that further bytes wait in our queue.
  helper->Ioctl_1(Helper::kSetRcvBufSize, pair.server, 4096);
  char chunk[16384] = {};
  size_t sent = 0;
  while (helper->SendImp(chunk, sizeof(chunk), 0, pair.client) > 0) sent += sizeof(chunk);
  ASSERT_GT(sent, 0u);
  int64_t queued = helper->Ioctl_0(Helper::kGetSendQueueSize, pair.client);
  EXPECT_GT(queued, 0);
  EXPECT_LE(queued, static_cast<int64_t>(sent));
}

// An interface entry of the loopback interface carrying `address`.
HXIpIfListItem LoopbackEntry(const char* address) {
  auto iface = std::make_shared<HXIpIface>("lo", if_nametoindex("lo"), ip::IfType::other);
  HXIpAddress ip;
  ip.set(address);
  return HXIpIfListItem(iface, ip, HXNetMask());
}

TEST_F(SocketOptions, MulticastInterfaceComesFromTheEntry) {
  HXIpIfListItem entry4 = LoopbackEntry("127.0.0.1");
  HXZADataHandler* udp4 = Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastDefaultGateway, udp4,
                            reinterpret_cast<intptr_t>(&entry4)),
            0);
  in_addr chosen{};
  socklen_t length = sizeof(chosen);
  ASSERT_EQ(getsockopt(udp4->GetHandle(), IPPROTO_IP, IP_MULTICAST_IF, &chosen, &length), 0);
  EXPECT_EQ(chosen.s_addr, htonl(INADDR_LOOPBACK));

  HXIpIfListItem entry6 = LoopbackEntry("::1");
  HXZADataHandler* udp6 = Open(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_EQ(helper->Ioctl_1(Helper::kSetMulticastDefaultGateway, udp6,
                            reinterpret_cast<intptr_t>(&entry6)),
            0);
  EXPECT_EQ(IntOption(udp6->GetHandle(), IPPROTO_IPV6, IPV6_MULTICAST_IF),
            static_cast<int>(if_nametoindex("lo")));
}

TEST_F(SocketOptions, JoiningAGroupTakesEffectOnce) {
  struct Case {
    const char* name;
    int family;
    const char* entry;
    const char* group;
  };
  for (const Case& c : {Case{"IPv4", AF_INET, "127.0.0.1", "239.1.2.3"},
                        Case{"IPv6", AF_INET6, "::1", "ff02::1:4"}}) {
    SCOPED_TRACE(c.name);
    HXIpIfListItem entry = LoopbackEntry(c.entry);
    HXIpAddress group;
    ASSERT_TRUE(group.set(c.group));
    HXZADataHandler* handler = Open(c.family, SOCK_DGRAM, IPPROTO_UDP);
    auto entry_arg = reinterpret_cast<intptr_t>(&entry);
    auto group_arg = reinterpret_cast<intptr_t>(&group);
    EXPECT_EQ(helper->Ioctl_2(Helper::kJoinMulticastGroup, handler, entry_arg, group_arg), 0);
    // A second join of the same group on the same interface is refused: the first one holds.
    EXPECT_EQ(helper->Ioctl_2(Helper::kJoinMulticastGroup, handler, entry_arg, group_arg), -1);
  }
}

}  // namespace
