#include "core/net/address/sock_addr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

// A socket descriptor closed at scope end.
struct Socket {
  explicit Socket(int type) : fd(socket(AF_INET, type, 0)) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  int fd;
};

TEST(SockAddr, DefaultsAndPortOnly) {
  const HXSockAddr none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.proto(), ip::Proto::unknown);
  EXPECT_EQ(none.port(), 0);

  const HXSockAddr port_only(ip::Proto::udp, 5060);
  EXPECT_TRUE(port_only.empty());
  EXPECT_EQ(port_only.port(), 5060);
  EXPECT_EQ(port_only.portNBO(), htons(5060));
  EXPECT_EQ(port_only.proto(), ip::Proto::udp);
}

TEST(SockAddr, HoldsTheNativeStructure) {
  const HXSockAddr six(ip::Proto::tcp, Addr("fe80::1%4"), 443);
  EXPECT_EQ(six.sysFamily(), AF_INET6);
  EXPECT_EQ(six.family(), 6);
  EXPECT_EQ(six.sa_len(), sizeof(sockaddr_in6));
  EXPECT_EQ(six.sockaddrIn6()->sin6_port, htons(443));
  EXPECT_EQ(six.sockaddrIn6()->sin6_scope_id, 4u);
  EXPECT_EQ(six.scopeId(), 4u);
  EXPECT_EQ(six.sysProto(), IPPROTO_TCP);
  EXPECT_EQ(six.sysSockType(), SOCK_STREAM);

  const HXSockAddr four(ip::Proto::udp, Addr("10.0.0.1"), 53);
  EXPECT_EQ(four.sockaddr()->sa_family, AF_INET);
  EXPECT_EQ(four.sa_len(), sizeof(sockaddr_in));
  EXPECT_EQ(four.sockaddrIn()->sin_addr.s_addr, htonl(0x0a000001));
  EXPECT_EQ(four.scopeId(), 0u);

  HXSockAddr failed(ip::Proto::udp, HXIpAddress(), 53);
  EXPECT_TRUE(failed.empty());
  EXPECT_FALSE(failed.set(ip::Proto::udp, HXIpAddress(), 53));
}

TEST(SockAddr, AddressSettersKeepPortAndProtocolAndClearTheOldForm) {
  HXSockAddr sock(ip::Proto::tcp, Addr("fe80::1%4"), 80);
  ASSERT_TRUE(sock.set("10.0.0.1"));
  EXPECT_EQ(sock.strBind(true), "tcp://10.0.0.1:80");
  EXPECT_EQ(sock.scopeId(), 0u);
  sock.setScopeId(7);  // only an IPv6 address has one
  EXPECT_EQ(sock.scopeId(), 0u);

  // Switching back to IPv6 must not leave the IPv4 bytes in the flow information.
  ASSERT_TRUE(sock.set("::1"));
  EXPECT_EQ(sock.sockaddrIn6()->sin6_flowinfo, 0u);
  EXPECT_EQ(sock.strBind(true), "tcp://::1:80");

  EXPECT_FALSE(sock.set("no address"));
  EXPECT_TRUE(sock.empty());
  EXPECT_EQ(sock.port(), 80);
}

TEST(SockAddr, SetsFromNativeStructures) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(9000);
  in6.sin6_flowinfo = htonl(0x12345);
  in6.sin6_scope_id = 2;
  inet_pton(AF_INET6, "fe80::2", &in6.sin6_addr);
  sockaddr_in in4{};
  in4.sin_family = AF_INET;
  in4.sin_port = htons(53);
  in4.sin_addr.s_addr = htonl(0x7f000001);
  const auto* six = reinterpret_cast<const sockaddr*>(&in6);
  const auto* four = reinterpret_cast<const sockaddr*>(&in4);

  struct {
    const sockaddr* native;
    socklen_t length;
    const char* expected;  // "" for failure
  } cases[] = {
      {six, sizeof(in6), "udp://fe80::2%2:9000"}, {six, 0, "udp://fe80::2%2:9000"},
      {six, 27, ""},                              {four, sizeof(in4), "udp://127.0.0.1:53"},
      {four, 0, "udp://127.0.0.1:53"},            {four, 15, ""},
      {nullptr, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    HXSockAddr sock;
    EXPECT_EQ(sock.set(ip::Proto::udp, c.native, c.length), *c.expected != '\0');
    if (*c.expected != '\0') EXPECT_EQ(sock.strBind(true), c.expected);
    EXPECT_EQ(sock.proto(), ip::Proto::udp);  // stored as given, also on failure
  }
  HXSockAddr sock;
  ASSERT_TRUE(sock.set(ip::Proto::udp, six, sizeof(in6)));
  EXPECT_EQ(sock.sockaddrIn6()->sin6_flowinfo, htonl(0x12345));  // the whole structure

  HXSockAddr copy;
  ASSERT_TRUE(copy.set(sock));
  EXPECT_EQ(copy.cmp(sock), 0);
  EXPECT_EQ(copy.sockaddrIn6()->sin6_flowinfo, htonl(0x12345));
}

TEST(SockAddr, SetsFromNumericTextOnly) {
  struct {
    const char* host;
    const char* service;
    uint8_t family;
    ip::Proto::type proto;
    const char* expected;  // "" for failure
  } cases[] = {
      {"127.0.0.1", "80", 0, ip::Proto::tcp, "tcp://127.0.0.1:80"},
      {"::1", "53", 6, ip::Proto::udp, "udp://::1:53"},
      {"fe80::1%3", "1", 0, ip::Proto::udp, "udp://fe80::1%3:1"},
      {"", "8080", 4, ip::Proto::tcp, "tcp://0.0.0.0:8080"},  // no host: the passive address
      {nullptr, "8080", 6, ip::Proto::tcp, "tcp://:::8080"},
      {"127.0.0.1", "", 4, ip::Proto::unknown, "unknown(0)://127.0.0.1:0"},
      {"10.0.0.1", "80", 6, ip::Proto::tcp, ""},  // wrong family
      {"localhost", "80", 0, ip::Proto::tcp, ""},  // names are never resolved
      {"127.0.0.1", "http", 0, ip::Proto::tcp, ""},  // nor services
      {"", "", 0, ip::Proto::tcp, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    HXSockAddr sock(ip::Proto::udp, Addr("9.9.9.9"), 9);
    EXPECT_EQ(sock.set(c.proto, c.host, c.service, c.family, 0), *c.expected != '\0');
    if (*c.expected != '\0')
      EXPECT_EQ(sock.strBind(true), c.expected);
    else
      EXPECT_TRUE(sock.empty());
  }
}

TEST(SockAddr, ReadsLiveSockets) {
  Socket listener(SOCK_STREAM);
  HXSockAddr bind_to(ip::Proto::tcp, Addr("127.0.0.1"), 0);
  ASSERT_EQ(bind(listener.fd, bind_to.sockaddr(), bind_to.sa_len()), 0);
  ASSERT_EQ(listen(listener.fd, 1), 0);
  HXSockAddr listening;
  ASSERT_TRUE(listening.setFromLiveLocal(listener.fd));
  EXPECT_EQ(listening.proto(), ip::Proto::tcp);
  EXPECT_NE(listening.port(), 0);
  EXPECT_EQ(listening.str(), "127.0.0.1");

  Socket client(SOCK_STREAM);
  ASSERT_EQ(connect(client.fd, listening.sockaddr(), listening.sa_len()), 0);
  HXSockAddr peer;
  ASSERT_TRUE(peer.setFromLiveRemote(client.fd));
  EXPECT_EQ(peer.cmp(listening), 0);
  HXSockAddr unconnected;
  EXPECT_FALSE(unconnected.setFromLiveRemote(listener.fd));

  Socket datagram(SOCK_DGRAM);
  ASSERT_EQ(bind(datagram.fd, bind_to.sockaddr(), bind_to.sa_len()), 0);
  HXSockAddr local;
  ASSERT_TRUE(local.setFromLiveLocal(datagram.fd));
  EXPECT_EQ(local.proto(), ip::Proto::udp);
  EXPECT_EQ(HXSockAddr::getSockSysTypeLive(datagram.fd), SOCK_DGRAM);
  EXPECT_EQ(HXSockAddr::getSockSysTypeLive(-1), -1);
  EXPECT_FALSE(local.setFromLiveLocal(-1));
}

TEST(SockAddr, PortAndProtocolFromText) {
  struct {
    const char* text;
    bool ok;
    uint16_t port;
  } ports[] = {
      {"0", true, 0},        {"80", true, 80},      {"65535", true, 65535}, {"65536", false, 7},
      {"", false, 7},        {nullptr, false, 7},   {"80x", false, 7},      {"-1", false, 7},
      {" 80", false, 7},     {"99999999999999999999", false, 7},
  };
  for (const auto& c : ports) {
    HXSockAddr sock(ip::Proto::tcp, 7);
    EXPECT_EQ(sock.setPortStr(c.text), c.ok);
    EXPECT_EQ(sock.port(), c.port);
  }

  HXSockAddr sock(ip::Proto::tcp, 1);
  HXSockAddr other(ip::Proto::udp, 4242);
  sock.setPort(other);
  EXPECT_EQ(sock.port(), 4242);
  sock.setPortNBO(htons(99));
  EXPECT_EQ(sock.port(), 99);

  EXPECT_TRUE(sock.setProto("UDP"));
  EXPECT_EQ(sock.proto(), ip::Proto::udp);
  EXPECT_FALSE(sock.setProto("sctp"));
  EXPECT_EQ(sock.proto(), ip::Proto::udp);
  EXPECT_TRUE(sock.setSysProto(IPPROTO_TCP));
  EXPECT_EQ(sock.proto(), ip::Proto::tcp);
  EXPECT_FALSE(sock.setSysProto(IPPROTO_SCTP));
  EXPECT_EQ(sock.proto(), ip::Proto::tcp);

  sock.clear();
  EXPECT_TRUE(sock.empty());
  EXPECT_EQ(sock.port(), 0);
  EXPECT_EQ(sock.proto(), ip::Proto::unknown);
}

TEST(SockAddr, ComparesProtocolThenAddressThenPort) {
  struct {
    HXSockAddr a;
    HXSockAddr b;
    bool ignore_scope;
    int sign;
  } cases[] = {
      {{ip::Proto::tcp, Addr("10.0.0.9"), 9}, {ip::Proto::udp, Addr("10.0.0.1"), 1}, false, -1},
      {{ip::Proto::udp, Addr("10.0.0.1"), 9}, {ip::Proto::udp, Addr("10.0.0.2"), 1}, false, -1},
      {{ip::Proto::udp, Addr("10.0.0.1"), 2}, {ip::Proto::udp, Addr("10.0.0.1"), 1}, false, 1},
      {{ip::Proto::udp, Addr("10.0.0.1"), 65535}, {ip::Proto::udp, Addr("10.0.0.1"), 0}, false, 1},
      {{ip::Proto::udp, Addr("10.0.0.1"), 5}, {ip::Proto::udp, Addr("10.0.0.1"), 5}, false, 0},
      {{ip::Proto::udp, Addr("fe80::1%1"), 5}, {ip::Proto::udp, Addr("fe80::1%2"), 5}, false, -1},
      {{ip::Proto::udp, Addr("fe80::1%1"), 5}, {ip::Proto::udp, Addr("fe80::1%2"), 5}, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.strBind(true) + " vs " + c.b.strBind(true));
    const int result = c.a.cmp(c.b, c.ignore_scope);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
  }
}

TEST(SockAddr, PrintsBindForm) {
  struct {
    HXSockAddr address;
    const char* plain;
    const char* with_proto;
  } cases[] = {
      {{ip::Proto::tcp, Addr("10.0.0.1"), 443}, "10.0.0.1:443", "tcp://10.0.0.1:443"},
      {{ip::Proto::udp, Addr("::1"), 53}, "::1:53", "udp://::1:53"},
      {{ip::Proto::udp, Addr("fe80::1%4"), 5000}, "fe80::1%4:5000", "udp://fe80::1%4:5000"},
      {{ip::Proto::unknown, Addr("1.2.3.4"), 1}, "1.2.3.4:1", "unknown(0)://1.2.3.4:1"},
      {{ip::Proto::tcp, 80}, ":80", "tcp://:80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.address.strBind(), c.plain);
    EXPECT_EQ(c.address.strBind(false), c.plain);
    EXPECT_EQ(c.address.strBind(true), c.with_proto);
  }
}

}  // namespace
