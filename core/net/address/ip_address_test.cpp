#include "core/net/address/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"
#include "core/net/address/address_family.h"
#include "core/net/address/sock_addr.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

struct ParseCase {
  const char* text;
  bool ok;
  uint8_t family;
  const char* str;
  const char* str_wscope;
  uint32_t scope_id;
};

TEST(IpAddress, ParsesAndPrints) {
  const ParseCase cases[] = {
      {"10.0.0.1", true, 4, "10.0.0.1", "10.0.0.1", 0},
      {"255.255.255.255", true, 4, "255.255.255.255", "255.255.255.255", 0},
      {"fe80::1%4", true, 6, "fe80::1", "fe80::1%4", 4},
      {"fe80::1", true, 6, "fe80::1", "fe80::1%0", 0},  // link-local: scope shown even when 0
      {"2001:db8::1%7", true, 6, "2001:db8::1", "2001:db8::1", 7},
      {"2001:0DB8:0:0:0:0:0:1", true, 6, "2001:db8::1", "2001:db8::1", 0},
      {"::ffff:1.2.3.4", true, 6, "::ffff:1.2.3.4", "::ffff:1.2.3.4", 0},
      {"fe80::1%eth0", true, 6, "fe80::1", "fe80::1%0", 0},  // no digits read as 0
      {"fe80::1%12abc", true, 6, "fe80::1", "fe80::1%12", 12},
      {"fe80::1%4%5", true, 6, "fe80::1", "fe80::1%4", 4},  // split at the first "%"
      {"fe80::1%4294967295", true, 6, "fe80::1", "fe80::1%4294967295", 4294967295u},
      {"fe80::1%4294967296", false, 0, "", "", 0},  // beyond 32 bits
      {"fe80::1%-1", false, 0, "", "", 0},
      {"10.0.0.1%3", false, 0, "", "", 0},  // no IPv4 form with a scope
      {"%4", false, 0, "", "", 0},
      {"", false, 0, "", "", 0},
      {"1.2.3", false, 0, "", "", 0},
      {"256.1.1.1", false, 0, "", "", 0},
      {" 1.2.3.4", false, 0, "", "", 0},
      {"fe80::1::2", false, 0, "", "", 0},
      {"localhost", false, 0, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    HXIpAddress address = Addr("192.168.7.7");  // a failed parse must not keep this
    EXPECT_EQ(address.set(c.text), c.ok);
    EXPECT_EQ(address.family(), c.family);
    EXPECT_EQ(address.empty(), !c.ok);
    EXPECT_EQ(address.str(), c.str);
    EXPECT_EQ(address.str_wscope(), c.str_wscope);
    EXPECT_EQ(address.scopeId(), c.scope_id);
  }
  HXIpAddress address;
  EXPECT_FALSE(address.set(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(address.empty());
}

struct CmpCase {
  const char* a;
  const char* b;
  bool ignore_scope;
  int sign;
};

TEST(IpAddress, ComparesFamilyThenBytesThenLinkLocalScope) {
  const CmpCase cases[] = {
      {"10.0.0.1", "10.0.0.2", false, -1},
      {"10.0.0.1", "10.0.0.1", false, 0},
      {"128.0.0.0", "127.255.255.255", false, 1},  // unsigned, not signed, 32-bit values
      {"255.0.0.0", "::", false, -1},               // family 4 before family 6
      {"::1", "::", false, 1},
      {"8000::", "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, 1},
      {"0:0:0:1::", "::ffff:ffff:ffff:ffff", false, 1},  // the upper half decides
      {"::1:0:0:0:1", "::1:0:0:0:2", false, -1},         // the lower half decides
      {"fe80::1%1", "fe80::1%2", false, -1},
      {"fe80::1%1", "fe80::1%2", true, 0},
      {"fe80::1%2", "fe80::1%1", false, 1},
      {"fe80::1%0", "fe80::1%4294967295", false, -1},  // no wrap-around of the difference
      {"2001:db8::1%1", "2001:db8::1%2", false, 0},    // scope only counts for link-local
      {"fe80:0:0:1::1%1", "fe80:0:0:1::1%2", false, 0},  // outside fe80::/64
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int result = Addr(c.a).cmp(Addr(c.b), c.ignore_scope);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
  }
  EXPECT_EQ(HXIpAddress().cmp(HXIpAddress()), 0);
  EXPECT_LT(HXIpAddress().cmp(Addr("0.0.0.0")), 0);
  EXPECT_EQ(Addr("nonsense").cmp(Addr("also nonsense")), 0);  // failed parses are equal
}

struct PredicateCase {
  const char* text;
  bool any;
  bool loopback;
  bool multicast;
  bool link_local;
};

TEST(IpAddress, Predicates) {
  const PredicateCase cases[] = {
      {"0.0.0.0", true, false, false, false},
      {"::", true, false, false, false},
      {"0.0.0.1", false, false, false, false},
      {"127.0.0.1", false, true, false, false},
      {"127.0.0.2", false, false, false, false},
      {"::1", false, true, false, false},
      {"::ffff:127.0.0.1", false, false, false, false},
      {"224.0.0.1", false, false, true, false},
      {"239.255.255.255", false, false, true, false},
      {"223.255.255.255", false, false, false, false},
      {"240.0.0.1", false, false, false, false},
      {"ff02::1", false, false, true, false},
      {"fe80::1", false, false, false, true},
      {"fe80::ffff:ffff:ffff:ffff", false, false, false, true},
      {"fe80:0:0:1::1", false, false, false, false},
      {"febf::1", false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const HXIpAddress address = Addr(c.text);
    ASSERT_FALSE(address.empty());
    EXPECT_EQ(address.isInAddrAny(), c.any);
    EXPECT_EQ(address.isLoopbackIf(), c.loopback);
    EXPECT_EQ(address.isMulticast(), c.multicast);
    EXPECT_EQ(address.isLinkLocal6(), c.link_local);
  }
  const HXIpAddress empty;
  EXPECT_FALSE(empty.isInAddrAny() || empty.isLoopbackIf() || empty.isMulticast());
  EXPECT_EQ(Addr("1.2.3.4").ipv4Nbo(), htonl(0x01020304));
}

TEST(IpAddress, SetsFromNativeStructuresWithLengthChecks) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::5", &in6.sin6_addr);
  in6.sin6_scope_id = 3;
  sockaddr_in in4{};
  in4.sin_family = AF_INET;
  in4.sin_addr.s_addr = htonl(0x7f000001);
  sockaddr unix_family{};
  unix_family.sa_family = AF_UNIX;
  const auto* six = reinterpret_cast<const sockaddr*>(&in6);
  const auto* four = reinterpret_cast<const sockaddr*>(&in4);

  struct {
    const sockaddr* native;
    socklen_t length;
    const char* expected;  // "" for failure
  } cases[] = {
      {six, sizeof(in6), "fe80::5%3"}, {six, 0, "fe80::5%3"},  {six, 27, ""},
      {six, 16, ""},                   {four, sizeof(in4), "127.0.0.1"}, {four, 0, "127.0.0.1"},
      {four, 15, ""},                  {&unix_family, 0, ""},          {nullptr, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    HXIpAddress address = Addr("10.9.9.9");
    EXPECT_EQ(address.set(c.native, c.length), *c.expected != '\0');
    EXPECT_EQ(address.str_wscope(), c.expected);
  }
}

TEST(IpAddress, SetsFromOtherAddressesAndFamilyBytes) {
  HXIpAddress address;
  EXPECT_TRUE(address.set(Addr("fe80::7%9")));
  EXPECT_EQ(address.str_wscope(), "fe80::7%9");
  EXPECT_FALSE(address.set(HXIpAddress()));
  EXPECT_TRUE(address.empty());

  // Across the two concrete forms, both ways.
  HXSockAddr sock(ip::Proto::udp, Addr("fe80::8%2"), 53);
  EXPECT_TRUE(address.set(sock));
  EXPECT_EQ(address.str_wscope(), "fe80::8%2");
  EXPECT_TRUE(address.set(address));  // self-assignment keeps the value
  EXPECT_EQ(address.str_wscope(), "fe80::8%2");

  const uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  EXPECT_TRUE(address.set(ip::Family::v6, bytes, 5));
  EXPECT_EQ(address.str(), "2001:db8::9");
  EXPECT_EQ(address.scopeId(), 5u);
  EXPECT_TRUE(address.set(ip::Family::v4, bytes));
  EXPECT_EQ(address.str(), "32.1.13.184");
  EXPECT_FALSE(address.set(5, bytes));
  EXPECT_TRUE(address.empty());
  EXPECT_FALSE(address.set(ip::Family::v4, nullptr));
}

TEST(IpAddress, Set6KeepsScopeAndFactoryV6StartsAtZero) {
  HXIpAddress address = Addr("fe80::1%9");
  EXPECT_TRUE(address.set6(0xfe80, 0, 0, 0, 0, 0, 0, 0x0102));
  EXPECT_EQ(address.str_wscope(), "fe80::102%9");
  EXPECT_EQ(HXAddrFactory::v6(0xfe80, 0, 0, 0, 0, 0, 0, 2).str_wscope(), "fe80::2%0");
}

}  // namespace
