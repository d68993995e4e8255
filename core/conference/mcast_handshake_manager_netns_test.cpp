// The multicast managers' choice of interface, on this machine's real interface list inside a
// private network namespace with a veth pair (testing/netns/run_in_veth_netns.sh): the server
// connection's local address picks the interface; a group of the other family takes that
// interface's address of the group's family, and fails when the interface has none.

#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>

#include "core/conference/mcast_handshake_manager.h"
#include "core/net/address/if_addr_container.h"
#include "core/net/address/if_list.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/ip_iface.h"
#include "core/net/address/sock_addr.h"

namespace hx::testing {
namespace {

HXSockAddr Address(const char* text) {
  HXIpAddress ip;
  EXPECT_TRUE(ip.set(text));
  return HXSockAddr(ip::Proto::udp, ip, 4307);
}

class McastInterfaceChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HX_NETNS") == nullptr) {
      GTEST_SKIP() << "runs under testing/netns/run_in_veth_netns.sh (ctest does that)";
    }
    HXIfList list;
    list.gather();
    HXIpIfAddrSet items;
    list.getIfAddrList(items);
    all.set(items);
    vethA = if_nametoindex(std::getenv("HX_VETH_A"));
    ASSERT_NE(vethA, 0u);
    // The same list with the A end's IPv6 addresses gone.
    HXIpIfAddrSet v4only;
    for (const HXIpIfListItem& item : items) {
      if (item.family() == 6 && item.ifGet() != nullptr && item.ifGet()->index() == vethA) {
        continue;
      }
      v4only.insert(item);
    }
    withoutIpv6.set(v4only);
  }

  HXIfIpAddrContainer all;
  HXIfIpAddrContainer withoutIpv6;
  unsigned vethA = 0;
};

TEST_F(McastInterfaceChoice, LocalAddressAndGroupFamily) {
  const HXSockAddr localV4 = Address(std::getenv("HX_VETH_A_IPV4"));
  const HXSockAddr localV6 = Address(std::getenv("HX_VETH_A_IPV6"));

  // Same family: the local address's own entry.
  const HXIpIfListItem* entry = hx::conference::selectMcastInterface(all, localV4, 4);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->str(), std::getenv("HX_VETH_A_IPV4"));
  entry = hx::conference::selectMcastInterface(all, localV6, 6);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->str(), std::getenv("HX_VETH_A_IPV6"));

  // An IPv6 group from an IPv4 local address: an IPv6 address of the same interface.
  entry = hx::conference::selectMcastInterface(all, localV4, 6);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->family(), 6);
  ASSERT_NE(entry->ifGet(), nullptr);
  EXPECT_EQ(entry->ifGet()->index(), vethA);
  // And the other way round.
  entry = hx::conference::selectMcastInterface(all, localV6, 4);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->str(), std::getenv("HX_VETH_A_IPV4"));

  // The interface has no IPv6 address: no choice.
  EXPECT_EQ(hx::conference::selectMcastInterface(withoutIpv6, localV4, 6), nullptr);
  // A local address no interface has.
  EXPECT_EQ(hx::conference::selectMcastInterface(all, Address("10.99.0.1"), 4), nullptr);
}

}  // namespace
}  // namespace hx::testing
