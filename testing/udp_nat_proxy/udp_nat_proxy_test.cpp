// The NAT-rewriting UDP proxy on loopback: the inside host on 127.0.0.1, the outer sockets on
// 127.0.0.2 (so a rewritten source is plain to see), the outside peer on 127.0.0.1. Whether a
// datagram was dropped is seen from order, never from waiting: the proxy forwards on one thread
// in arrival order, so a later datagram that arrives first proves the earlier one was dropped.
#include "testing/udp_nat_proxy/udp_nat_proxy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace hx::testing {
namespace {

HXSockAddr Udp(const char* host, const char* port = "0") {
  HXSockAddr address;
  EXPECT_TRUE(address.set(ip::Proto::udp, host, port, 0, 0));
  return address;
}

class Endpoint {
 public:
  explicit Endpoint(const char* host = "127.0.0.1") : address_(Udp(host)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(::bind(fd_, address_.sockaddr(), address_.sa_len()), 0);
    EXPECT_TRUE(address_.setFromLiveLocal(fd_));
    timeval limit{10, 0};  // a lost datagram fails the test instead of hanging it
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ~Endpoint() { ::close(fd_); }
  const HXSockAddr& address() const { return address_; }

  void SendTo(const HXSockAddr& to, const std::string& text) const {
    ASSERT_EQ(::sendto(fd_, text.data(), text.size(), 0, to.sockaddr(), to.sa_len()),
              static_cast<ssize_t>(text.size()));
  }
  // The next datagram and where it came from; empty text after the time limit.
  std::string Receive(HXSockAddr* from = nullptr) const {
    char data[2048];
    sockaddr_storage source{};
    socklen_t length = sizeof(source);
    const ssize_t n =
        ::recvfrom(fd_, data, sizeof(data), 0, reinterpret_cast<sockaddr*>(&source), &length);
    if (n < 0) return "";
    if (from != nullptr) from->set(ip::Proto::udp, reinterpret_cast<sockaddr*>(&source), length);
    return std::string(data, n);
  }

 private:
  int fd_;
  HXSockAddr address_;
};

class UdpNatProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(proxy_.start()); }

  // One round from the inside host to the peer; returns the source the peer saw.
  HXSockAddr Outbound(const Endpoint& inside, const std::string& text) {
    inside.SendTo(proxy_.innerAddress(), text);
    HXSockAddr seen;
    EXPECT_EQ(peer_.Receive(&seen), text);
    return seen;
  }

  Endpoint inside_;
  Endpoint peer_;
  UdpNatProxy proxy_{Udp("127.0.0.1"), Udp("127.0.0.2"), peer_.address()};
};

TEST_F(UdpNatProxyTest, ForwardsBothWaysWithOneOuterPortPerInsideSource) {
  const HXSockAddr seen = Outbound(inside_, "hello");
  EXPECT_EQ(seen.strBind(), proxy_.outerAddressFor(inside_.address()).strBind());
  EXPECT_EQ(seen.strBind().rfind("127.0.0.2:", 0), 0u) << seen.strBind();

  peer_.SendTo(seen, "reply");
  HXSockAddr back;
  EXPECT_EQ(inside_.Receive(&back), "reply");
  EXPECT_EQ(back.strBind(), proxy_.innerAddress().strBind());

  Endpoint second;
  const HXSockAddr seenSecond = Outbound(second, "other");
  EXPECT_NE(seenSecond.port(), seen.port());
  peer_.SendTo(seenSecond, "to second");
  EXPECT_EQ(second.Receive(), "to second");
  const NatCounters counters = proxy_.counters();
  EXPECT_EQ(counters.forwarded[0], 2u);
  EXPECT_EQ(counters.forwarded[1], 2u);
}

TEST_F(UdpNatProxyTest, UnsolicitedInboundIsDroppedOnlyWhenAsked) {
  for (bool drop : {true, false}) {
    SCOPED_TRACE(drop);
    proxy_.setDropUnsolicited(drop);
    const HXSockAddr outer = Outbound(inside_, "open");
    Endpoint stranger;
    stranger.SendTo(outer, "unsolicited");
    peer_.SendTo(outer, "solicited");
    EXPECT_EQ(inside_.Receive(), drop ? "solicited" : "unsolicited");
    if (!drop) {
      EXPECT_EQ(inside_.Receive(), "solicited");
    }
    EXPECT_EQ(proxy_.counters().unsolicited, 1u);
  }
}

TEST_F(UdpNatProxyTest, RemapMovesTheMappingToANewOuterPort) {
  const HXSockAddr before = Outbound(inside_, "first");
  const HXSockAddr after = proxy_.remap(inside_.address());
  ASSERT_FALSE(after.empty());
  EXPECT_NE(after.port(), before.port());
  EXPECT_EQ(Outbound(inside_, "second").strBind(), after.strBind());

  peer_.SendTo(before, "to the old port");
  peer_.SendTo(after, "to the new port");
  EXPECT_EQ(inside_.Receive(), "to the new port");
  EXPECT_TRUE(proxy_.remap(Udp("127.0.0.1", "9")).empty());  // no such mapping
}

TEST_F(UdpNatProxyTest, DropsDuplicatesAndDelaysPerDirection) {
  proxy_.dropNext(NatDirection::kOutbound, 2);
  for (const char* text : {"one", "two", "three"}) inside_.SendTo(proxy_.innerAddress(), text);
  HXSockAddr outer;
  EXPECT_EQ(peer_.Receive(&outer), "three");
  EXPECT_EQ(proxy_.counters().dropped[0], 2u);

  proxy_.setExtraCopies(NatDirection::kInbound, 2);
  peer_.SendTo(outer, "copy");
  peer_.SendTo(outer, "end");
  for (const char* expected : {"copy", "copy", "copy", "end", "end", "end"}) {
    EXPECT_EQ(inside_.Receive(), expected);
  }
  proxy_.setExtraCopies(NatDirection::kInbound, 0);

  // A lower bound only: the delay is the least a datagram takes, a loaded machine adds to it.
  proxy_.setDelay(NatDirection::kOutbound, 150);
  const auto sent = std::chrono::steady_clock::now();
  inside_.SendTo(proxy_.innerAddress(), "late");
  EXPECT_EQ(peer_.Receive(), "late");
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(150));
}

}  // namespace
}  // namespace hx::testing
