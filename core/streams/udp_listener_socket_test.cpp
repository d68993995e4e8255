// A UDP listener socket on the real network loop: where it binds when its port is taken, and the
// options it switches on.

#include "core/streams/udp_listener_socket.h"

#include <gtest/gtest.h>

#include "core/streams/udp_connector_test_util.h"

namespace hx::streams {
namespace {

using ListenerSocketTest = ::hx::testing::LoopFixture;

int IntOption(int handle, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  return getsockopt(handle, level, name, &value, &length) == 0 ? value : -1;
}

TEST_F(ListenerSocketTest, ATakenPortMovesToTheDynamicRangeWithPacketInformationOn) {
  testing::Peer holder;  // holds a port on 127.0.0.1
  const uint16_t taken = holder.address().port();
  ListenerSocketUDP* socket = ListenerSocketUDP::create(AF_INET);
  ASSERT_TRUE(socket->start(holder.address()));
  const uint16_t bound = socket->getBoundAddress().port();
  EXPECT_NE(bound, taken);
  EXPECT_GE(bound, 49152);
  EXPECT_EQ(socket->getBoundAddress().HXAIpAddressBase::cmp(holder.address()), 0);
  EXPECT_EQ(IntOption(socket->GetHandle(), IPPROTO_IP, IP_PKTINFO), 1);
  EXPECT_GE(IntOption(socket->GetHandle(), SOL_SOCKET, SO_RCVBUF),
            ListenerSocketUDP::kMinBufferSize);
  EXPECT_GT(socket->getSndBufSize(), 0);
  // Only once per socket.
  EXPECT_FALSE(socket->start(holder.address()));
  socket->stop();
}

TEST_F(ListenerSocketTest, AFreePortIsKept) {
  const uint16_t free = ::hx::testing::FreeLoopbackPort(SOCK_DGRAM);
  ListenerSocketUDP* socket = ListenerSocketUDP::create(AF_INET);
  ASSERT_TRUE(socket->start(testing::Loopback(free)));
  EXPECT_EQ(socket->getBoundAddress().port(), free);
  socket->stop();
}

}  // namespace
}  // namespace hx::streams
