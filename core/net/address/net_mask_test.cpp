#include "core/net/address/net_mask.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

TEST(NetMask, DefaultIsIpv6AllOnes) {
  const HXNetMask mask;
  EXPECT_EQ(mask.family(), 6);
  EXPECT_EQ(mask.maskLen(), 128);
  EXPECT_EQ(mask.str(), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
}

TEST(NetMask, SetsPrefixLength) {
  struct {
    uint8_t family;
    int32_t prefix;
    int32_t stored;
    const char* text;
  } cases[] = {
      {4, 24, 24, "255.255.255.0"},  {4, 12, 12, "255.240.0.0"},  {4, 0, 0, "0.0.0.0"},
      {4, 32, 32, "255.255.255.255"}, {4, 33, 32, "255.255.255.255"},
      {4, -5, 0, "0.0.0.0"},  // negative prefixes: our choice is an empty mask
      {6, 64, 64, "ffff:ffff:ffff:ffff::"}, {6, 1, 1, "8000::"},
      {6, 200, 128, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.family) + "/" + std::to_string(c.prefix));
    const HXNetMask mask(c.family, c.prefix);
    EXPECT_EQ(mask.maskLen(), c.stored);
    EXPECT_EQ(mask.str(), c.text);
  }
  // A mask of no usable family is all ones.
  const HXNetMask odd(0, 8);
  EXPECT_EQ(odd.maskLen(), 128);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(odd.in6_addr()[i], 0xff);
}

TEST(NetMask, NormalisesNativeMasks) {
  struct {
    const char* bytes;  // as an address text
    const char* text;
    int32_t prefix;
  } cases[] = {
      {"255.255.252.0", "255.255.252.0", 22}, {"255.255.0.255", "255.255.0.0", 16},
      {"255.0.255.0", "255.0.0.0", 8},         {"255.253.0.0", "255.252.0.0", 14},
      {"0.255.255.255", "0.0.0.0", 0},         {"255.255.255.255", "255.255.255.255", 32},
      {"ffff:ffff:ff00::", "ffff:ffff:ff00::", 40},
      {"ffff:ffff:ff00::1", "ffff:ffff:ff00::", 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const HXSockAddr native(ip::Proto::unknown, Addr(c.bytes), 0);
    const HXNetMask mask(native.sockaddr());
    EXPECT_EQ(mask.str(), c.text);
    EXPECT_EQ(mask.maskLen(), c.prefix);
  }
  sockaddr other{};
  other.sa_family = AF_UNIX;
  EXPECT_TRUE(HXNetMask(&other) == HXNetMask());
  EXPECT_TRUE(HXNetMask(static_cast<const sockaddr*>(nullptr)) == HXNetMask());
}

TEST(NetMask, CommonPrefixOfTwoAddresses) {
  struct {
    const char* a;
    const char* b;
    const char* text;
    int32_t prefix;
  } cases[] = {
      {"10.0.0.1", "10.0.0.3", "255.255.255.252", 30},
      {"10.0.0.1", "10.0.0.1", "255.255.255.255", 32},
      {"10.0.0.1", "138.0.0.1", "0.0.0.0", 0},
      {"2001:db8::1", "2001:db9::1", "ffff:fffe::", 31},
      {"10.0.0.1", "::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " " + c.b);
    const HXNetMask mask(Addr(c.a), Addr(c.b));
    EXPECT_EQ(mask.str(), c.text);
    EXPECT_EQ(mask.maskLen(), c.prefix);
  }
  EXPECT_TRUE(HXNetMask(HXIpAddress(), HXIpAddress()) == HXNetMask());
}

TEST(NetMask, NetOfAnAddress) {
  EXPECT_EQ(HXNetMask(4, 24).net(Addr("10.1.2.3")).str(), "10.1.2.0");
  EXPECT_EQ(HXNetMask(4, 0).net(Addr("10.1.2.3")).str(), "0.0.0.0");
  const HXIpAddress link_net = HXNetMask(6, 64).net(Addr("fe80::1:2%3"));
  EXPECT_EQ(link_net.str_wscope(), "fe80::%0");
  // Another family gives the address back unchanged, scope id included.
  EXPECT_EQ(HXNetMask(4, 8).net(Addr("fe80::1%3")).str_wscope(), "fe80::1%3");
  EXPECT_TRUE(HXNetMask(4, 8).net(HXIpAddress()).empty());
}

TEST(NetMask, EqualityIsFamilyAndPrefix) {
  EXPECT_TRUE(HXNetMask(4, 24) == HXNetMask(4, 24));
  EXPECT_FALSE(HXNetMask(4, 24) == HXNetMask(6, 24));
  EXPECT_FALSE(HXNetMask(4, 24) == HXNetMask(4, 23));
  EXPECT_TRUE(HXNetMask(4, 40) == HXNetMask(4, 32));
}

}  // namespace
