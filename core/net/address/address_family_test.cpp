#include "core/net/address/address_family.h"

#include <netinet/in.h>

#include <gtest/gtest.h>

namespace {

TEST(AddressFamily, MapsFamiliesAndProtocols) {
  EXPECT_EQ(ip::Family::fromSysFamily(AF_INET), 4);
  EXPECT_EQ(ip::Family::fromSysFamily(AF_INET6), 6);
  EXPECT_EQ(ip::Family::fromSysFamily(AF_UNIX), 0);
  EXPECT_EQ(ip::Family::sysFamily(4), AF_INET);
  EXPECT_EQ(ip::Family::sysFamily(6), AF_INET6);
  EXPECT_EQ(ip::Family::sysFamily(5), 0);

  struct {
    const char* text;
    ip::Proto::type proto;
  } from_text[] = {{"tcp", ip::Proto::tcp}, {"UDP", ip::Proto::udp}, {"Tcp", ip::Proto::tcp},
                   {"sctp", ip::Proto::unknown}, {"tcp ", ip::Proto::unknown},
                   {"", ip::Proto::unknown},     {nullptr, ip::Proto::unknown}};
  for (const auto& c : from_text) EXPECT_EQ(ip::Proto::fromStr(c.text), c.proto);

  EXPECT_EQ(ip::Proto::str(1), "tcp");
  EXPECT_EQ(ip::Proto::str(2), "udp");
  EXPECT_EQ(ip::Proto::str(0), "unknown(0)");
  EXPECT_EQ(ip::Proto::str(-7), "unknown(-7)");
  EXPECT_EQ(ip::Proto::fromSysProto(IPPROTO_TCP), ip::Proto::tcp);
  EXPECT_EQ(ip::Proto::fromSysProto(IPPROTO_UDP), ip::Proto::udp);
  EXPECT_EQ(ip::Proto::fromSysProto(IPPROTO_SCTP), ip::Proto::unknown);
  EXPECT_EQ(ip::Proto::sysProto(ip::Proto::tcp), IPPROTO_TCP);
  EXPECT_EQ(ip::Proto::sysProto(ip::Proto::udp), IPPROTO_UDP);
  EXPECT_EQ(ip::Proto::sysProto(3), 0);
  EXPECT_EQ(ip::Proto::sysSockType(ip::Proto::tcp), SOCK_STREAM);
  EXPECT_EQ(ip::Proto::sysSockType(ip::Proto::udp), SOCK_DGRAM);
  EXPECT_EQ(ip::Proto::sysSockType(ip::Proto::unknown), 0);
  EXPECT_FALSE(ip::is_not_bindable(nullptr, "lo"));
}

}  // namespace
