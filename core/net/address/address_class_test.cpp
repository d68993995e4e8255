#include "core/net/address/address_class.h"

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"

namespace {

struct ClassCase {
  const char* text;
  int klass;
};

// Both edges of every registry row, and the first row that shadows a later one.
TEST(AddressClass, ClassifiesByRegistry) {
  const ClassCase cases[] = {
      {"255.255.255.255", 2}, {"255.255.255.254", 0}, {"192.0.0.0", 7},      {"192.0.0.7", 7},
      {"192.0.0.8", 0},       {"192.0.0.255", 0},     {"192.0.1.0", 9},      {"192.0.2.1", 6},
      {"192.88.99.1", 9},     {"198.51.100.1", 6},    {"203.0.113.255", 6},  {"203.0.114.0", 9},
      {"169.254.1.1", 5},     {"169.255.0.0", 9},     {"192.168.1.1", 8},    {"198.18.0.1", 8},
      {"198.19.255.255", 8},  {"198.20.0.0", 9},      {"172.16.0.0", 8},     {"172.31.255.255", 8},
      {"172.32.0.0", 9},      {"172.15.255.255", 9},  {"100.64.0.1", 7},     {"100.127.255.255", 7},
      {"100.128.0.0", 9},     {"100.63.255.255", 9},  {"0.1.2.3", 0},        {"10.255.255.255", 8},
      {"127.0.0.1", 4},       {"127.0.0.2", 4},       {"224.0.0.1", 1},      {"239.255.255.255", 1},
      {"240.0.0.1", 0},       {"8.8.8.8", 9},         {"11.0.0.0", 9},       {"::", 3},
      {"::1", 4},             {"::2", 9},             {"64:ff9b::1.2.3.4", 9}, {"::ffff:1.2.3.4", 0},
      {"100::1", 0},          {"100:0:0:1::", 9},     {"2001:2::1", 7},      {"2001:2:1::1", 0},
      {"2001::1", 7},         {"2001:0:ffff::1", 7},  {"2001:1::1", 0},      {"2001:db8::1", 0},
      {"2001:10::1", 0},      {"2001:1f::1", 0},      {"2001:1ff::1", 0},    {"2001:200::1", 9},
      {"2002::1", 7},         {"2002:ffff::1", 7},    {"fe80::1%3", 5},      {"fe80::ffff:0:0:1", 5},
      {"fe80:0:0:1::1", 9},   {"fc00::1", 8},         {"fdff::1", 8},        {"fe00::1", 9},
      {"ff02::1", 9},         {"2a00:1450::1", 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const HXIpAddress address = HXAddrFactory::get(c.text);
    ASSERT_FALSE(address.empty());
    EXPECT_EQ(static_cast<int>(ip::IANA_Addr_Type::getType(address)), c.klass);
    // A socket address classifies by its address.
    EXPECT_EQ(static_cast<int>(ip::IANA_Addr_Type::getType(HXSockAddr(ip::Proto::udp, address, 1))),
              c.klass);
  }
  EXPECT_EQ(ip::IANA_Addr_Type::getType(HXIpAddress()), ip::IANA_Addr_Type::global);
  EXPECT_EQ(ip::IANA_Addr_Type::getType(HXAddrFactory::zero(5)), ip::IANA_Addr_Type::global);
}

}  // namespace
