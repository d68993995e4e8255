#include "core/net/address/if_list.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

// Every item as "address@interface".
std::vector<std::string> Describe(const HXIpIfAddrSet& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.str_wscope() + "@" + item.ifName());
  return out;
}

// A small table: an Ethernet, a point-to-point and a tunnel interface, and loopback.
class IfListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list.addIface(ip::IfType::ethernet, "eth0", 2)->setUpAndRunning(true);
    list.addIface(ip::IfType::p2p, "ppp0", 3)->setUpAndRunning(true);
    list.addIface(ip::IfType::tunnel, "tun0", 4);  // not running
    list.addIface(ip::IfType::other, "lo", 1)->setUpAndRunning(true);
  }
  HXIfList list;
};

TEST_F(IfListTest, AddIfaceFindsOrMakesAndUpdatesKindAndIndex) {
  const auto eth0 = list.getIf("eth0");
  ASSERT_TRUE(eth0);
  EXPECT_EQ(list.addIface(ip::IfType::tunnel, "eth0", 7), eth0);
  EXPECT_EQ(eth0->type(), ip::IfType::tunnel);
  EXPECT_EQ(eth0->index(), 7u);
  EXPECT_NE(eth0->flags() & ip::IfFlags::up_and_running, 0);  // other flags stay
  EXPECT_EQ(list.getIf("eth9"), nullptr);
}

TEST_F(IfListTest, KeepsPeerOrBroadcastByKind) {
  const HXNetMask mask24(4, 24);
  const HXIpAddress peer = Addr("10.0.0.99");
  const HXIpAddress broadcast = Addr("10.0.0.255");
  list.addIfaceAddress("eth0", Addr("10.0.0.1"), mask24, peer, broadcast);
  list.addIfaceAddress("ppp0", Addr("10.0.1.1"), mask24, peer, broadcast);
  list.addIfaceAddress("ppp0", Addr("10.0.1.2"), mask24, HXIpAddress(), broadcast);
  list.addIfaceAddress("tun0", Addr("10.0.2.1"), mask24, peer, broadcast);
  list.addIfaceAddress("nowhere", Addr("10.0.3.1"), mask24, peer, broadcast);

  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  struct {
    const char* address;
    const char* p2p;
    const char* broadcast;
  } expected[] = {
      {"10.0.0.1", "", "10.0.0.255"},
      {"10.0.1.1", "10.0.0.99", ""},
      {"10.0.1.2", "", ""},  // no peer, and a point-to-point link keeps no broadcast
      {"10.0.2.1", "", ""},
  };
  ASSERT_EQ(items.size(), std::size(expected));
  auto it = items.begin();
  for (const auto& e : expected) {
    SCOPED_TRACE(e.address);
    EXPECT_EQ(it->str(), e.address);
    EXPECT_EQ(it->p2p().str(), e.p2p);
    EXPECT_EQ(it->broadcast().str(), e.broadcast);
    EXPECT_TRUE(it->mask() == mask24);
    ++it;
  }
}

TEST_F(IfListTest, ShortFormUsesFullMaskAndZeroSecondAddress) {
  list.addIfaceAddress("eth0", Addr("10.0.0.1"));
  list.addIfaceAddress("eth0", Addr("2001:db8::1"));
  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(items.begin()->mask() == HXNetMask(4, 32));
  EXPECT_EQ(items.begin()->broadcast().str(), "0.0.0.0");
  EXPECT_TRUE(items.rbegin()->mask() == HXNetMask(6, 128));
}

TEST_F(IfListTest, OrdersByAddressThenInterfaceAndReplacesDuplicates) {
  list.addIfaceAddress("lo", Addr("::1"));
  list.addIfaceAddress("eth0", Addr("fe80::1%2"));
  list.addIfaceAddress("ppp0", Addr("10.0.0.5"));
  list.addIfaceAddress("eth0", Addr("10.0.0.5"));  // same address, other interface: kept
  list.addIfaceAddress("eth0", Addr("10.0.0.5"), HXNetMask(4, 8), HXIpAddress(), HXIpAddress());
  list.addIfaceAddress("eth0", Addr("fe80::1%3"));  // another scope: another address
  list.addIfaceAddress("lo", Addr("127.0.0.1"));

  HXIpIfAddrSet items;
  items.insert(HXIpIfListItem(nullptr, Addr("1.1.1.1"), HXNetMask()));  // cleared first
  list.getIfAddrList(items);
  EXPECT_EQ(Describe(items),
            (std::vector<std::string>{"10.0.0.5@eth0", "10.0.0.5@ppp0", "127.0.0.1@lo", "::1@lo",
                                      "fe80::1%2@eth0", "fe80::1%3@eth0"}));
  // The later of two equal addresses on one interface replaced the earlier.
  EXPECT_TRUE(items.begin()->mask() == HXNetMask(4, 8));

  HXIfIpAddrContainer container;
  list.getIfAddrList(container);
  EXPECT_EQ(Describe(container.getAddrSet()), Describe(items));
}

TEST_F(IfListTest, RemovesDownInterfacesAndExactLoopbackAddresses) {
  list.addIfaceAddress("lo", Addr("127.0.0.1"));
  list.addIfaceAddress("lo", Addr("127.0.0.2"));
  list.addIfaceAddress("lo", Addr("::1"));
  list.addIfaceAddress("tun0", Addr("10.8.0.1"));
  list.addIfaceAddress("eth0", Addr("10.0.0.1"));
  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  items.insert(HXIpIfListItem(nullptr, Addr("10.9.9.9"), HXNetMask()));  // no interface: kept
  items.removeDownAndLocalhostIf();
  EXPECT_EQ(Describe(items),
            (std::vector<std::string>{"10.0.0.1@eth0", "10.9.9.9@", "127.0.0.2@lo"}));
}

TEST(IfListItem, EntryWithoutInterface) {
  const HXIpIfListItem item(nullptr, Addr("10.0.0.1"), HXNetMask());
  EXPECT_EQ(item.ifGet(), nullptr);
  EXPECT_EQ(item.ifName(), "");
  EXPECT_EQ(item.ifType(), ip::IfType::other);
  EXPECT_TRUE(item.mask() == HXNetMask());
  EXPECT_TRUE(item.p2p().empty());
  EXPECT_TRUE(item.broadcast().empty());

  HXIfIpEntry entry;
  entry.set(item);
  EXPECT_EQ(entry.cmp(item), 0);
  const auto iface = std::make_shared<HXIpIface>("eth0", 2, ip::IfType::ethernet);
  const HXIpIfListItem with(iface, Addr("10.0.0.1"), HXNetMask(4, 24));
  EXPECT_LT(item.cmp(with), 0);  // without interface sorts first
  EXPECT_GT(with.cmp(item), 0);
  entry.set(with);
  entry.setBroadcast(Addr("10.0.0.255"));
  EXPECT_EQ(entry.getIntfShared(), iface);
  EXPECT_EQ(entry.broadcast().str(), "10.0.0.255");
  EXPECT_EQ(entry.cmp(with), 0);
}

}  // namespace
