#include "core/net/address/if_kind.h"

#include <net/if_arp.h>

#include <gtest/gtest.h>

#include "core/net/address/ip_iface.h"

namespace {

TEST(IfKind, MapsLinuxHardwareTypes) {
  struct {
    unsigned hardware_type;
    ip::IfType::type kind;
  } cases[] = {
      {ARPHRD_ETHER, ip::IfType::ethernet}, {ARPHRD_PPP, ip::IfType::p2p},
      {ARPHRD_SLIP, ip::IfType::p2p},       {ARPHRD_CSLIP, ip::IfType::p2p},
      {ARPHRD_TUNNEL, ip::IfType::tunnel},  {ARPHRD_TUNNEL6, ip::IfType::tunnel},
      {ARPHRD_SIT, ip::IfType::tunnel},     {ARPHRD_IPGRE, ip::IfType::tunnel},
      {ARPHRD_NONE, ip::IfType::tunnel},    {ARPHRD_LOOPBACK, ip::IfType::other},
      {ARPHRD_IEEE80211, ip::IfType::other}, {ARPHRD_INFINIBAND, ip::IfType::other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hardware_type);
    EXPECT_EQ(ip::IfType::fromHardwareType(c.hardware_type), c.kind);
  }
}

TEST(IfKind, InterfaceKeepsOneKindBitBesideItsFlags) {
  HXIpIface iface("eth0", 2, ip::IfType::ethernet);
  iface.setMulticast(true);
  iface.setUpAndRunning(true);
  EXPECT_EQ(iface.flags(), 0x1c);
  const struct {
    ip::IfType::type set;
    ip::IfType::type read;
    int32_t flags;
  } cases[] = {
      {ip::IfType::p2p, ip::IfType::p2p, 0x19},
      {ip::IfType::tunnel, ip::IfType::tunnel, 0x1a},
      {ip::IfType::ethernet, ip::IfType::ethernet, 0x1c},
      {ip::IfType::other, ip::IfType::other, 0x18},
      {ip::IfType::any, ip::IfType::other, 0x18},
  };
  for (const auto& c : cases) {
    iface.setType(c.set);
    EXPECT_EQ(iface.type(), c.read);
    EXPECT_EQ(iface.flags(), c.flags);
  }
  iface.setMulticast(false);
  iface.setUpAndRunning(false);
  EXPECT_EQ(iface.flags(), 0);
}

TEST(IfKind, InterfacesCompareByNameIndexFlags) {
  auto make = [](const char* name, uint32_t index, bool running) {
    HXIpIface iface(name, index, ip::IfType::ethernet);
    iface.setUpAndRunning(running);
    return iface;
  };
  const struct {
    HXIpIface a;
    HXIpIface b;
    int sign;
  } cases[] = {
      {make("eth0", 9, true), make("eth1", 1, false), -1},
      {make("eth", 9, true), make("eth0", 1, false), -1},  // a prefix sorts first
      {make("eth0", 1, true), make("eth0", 2, false), -1},
      {make("eth0", 2, true), make("eth0", 2, false), 1},
      {make("eth0", 2, true), make("eth0", 2, true), 0},
      {make("\xe9th", 1, true), make("zz", 1, true), 1},  // bytes compare unsigned
      {make("eth0", 0xffffffffu, true), make("eth0", 0, true), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.name() + " vs " + c.b.name());
    const int result = c.a.cmpIface(c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
  }
}

}  // namespace
