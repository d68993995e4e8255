#include "core/net/address/if_addr_container.h"

#include <vector>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

std::vector<std::string> Addresses(const HXIpIfAddrSet& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.str_wscope());
  return out;
}

class IfAddrContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto eth0 = list.addIface(ip::IfType::ethernet, "eth0", 2);
    eth0->setUpAndRunning(true);
    eth0->setMulticast(true);
    list.addIface(ip::IfType::p2p, "ppp0", 3)->setUpAndRunning(true);
    list.addIface(ip::IfType::tunnel, "tun0", 4);
    for (const char* text : {"192.168.1.10", "8.8.4.4", "fe80::1%2", "2001:db8::5", "10.1.1.1"})
      list.addIfaceAddress("eth0", Addr(text));
    list.addIfaceAddress("ppp0", Addr("100.64.0.7"));
    list.addIfaceAddress("ppp0", Addr("10.1.1.1"));
    list.addIfaceAddress("tun0", Addr("10.8.0.1"));
    HXIpIfAddrSet items;
    list.getIfAddrList(items);
    items.insert(HXIpIfListItem(nullptr, Addr("203.0.113.9"), HXNetMask()));
    container.set(items);
  }
  HXIfList list;
  HXIfIpAddrContainer container;
};

TEST_F(IfAddrContainerTest, FiltersByClassFamilyKindAndFlags) {
  using Class = ip::IANA_Addr_Type::type;
  const std::vector<std::string> all = {"8.8.4.4",    "10.1.1.1",    "10.1.1.1",
                                        "10.8.0.1",   "100.64.0.7",  "192.168.1.10",
                                        "203.0.113.9", "2001:db8::5", "fe80::1%2"};
  const struct {
    Class klass;
    uint8_t family;
    ip::IfType::type kind;
    int32_t flags;
    std::vector<std::string> expected;
  } cases[] = {
      {ip::IANA_Addr_Type::any, ip::Family::any, ip::IfType::any, 0, all},
      {ip::IANA_Addr_Type::any, ip::Family::any, ip::IfType::any, ip::IfFlags::kind_bits, all},
      {ip::IANA_Addr_Type::any, ip::Family::any, ip::IfType::any, ip::IfFlags::up_and_running,
       {"8.8.4.4", "10.1.1.1", "10.1.1.1", "100.64.0.7", "192.168.1.10", "2001:db8::5",
        "fe80::1%2"}},
      {ip::IANA_Addr_Type::any, ip::Family::any, ip::IfType::any, ip::IfFlags::multicast,
       {"8.8.4.4", "10.1.1.1", "192.168.1.10", "2001:db8::5", "fe80::1%2"}},
      {ip::IANA_Addr_Type::private_network, ip::Family::any, ip::IfType::any, 0,
       {"10.1.1.1", "10.1.1.1", "10.8.0.1", "192.168.1.10"}},
      {ip::IANA_Addr_Type::any, ip::Family::v6, ip::IfType::any, 0, {"2001:db8::5", "fe80::1%2"}},
      {ip::IANA_Addr_Type::any, ip::Family::any, ip::IfType::other, 0, {"203.0.113.9"}},
      {ip::IANA_Addr_Type::any, ip::Family::v4, ip::IfType::p2p, 0, {"10.1.1.1", "100.64.0.7"}},
      {ip::IANA_Addr_Type::global, ip::Family::v4, ip::IfType::ethernet,
       ip::IfFlags::up_and_running | ip::IfFlags::multicast, {"8.8.4.4"}},
      {ip::IANA_Addr_Type::link_local, ip::Family::any, ip::IfType::any, 0, {"fe80::1%2"}},
      {ip::IANA_Addr_Type::loopback, ip::Family::any, ip::IfType::any, 0, {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& c = cases[i];
    EXPECT_EQ(Addresses(container.getAddrSet(c.klass, c.family, c.kind, c.flags)), c.expected);
  }
}

TEST_F(IfAddrContainerTest, LooksUpTheFirstItemOfAnAddress) {
  const HXIpIfListItem* item = container.lookup(Addr("10.1.1.1"));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->ifName(), "eth0");  // before ppp0
  ASSERT_NE(container.lookup(Addr("fe80::1%2")), nullptr);
  EXPECT_EQ(container.lookup(Addr("fe80::1%3")), nullptr);  // the scope id counts
  EXPECT_EQ(container.lookup(Addr("10.1.1.2")), nullptr);
  EXPECT_EQ(container.lookup(HXIpAddress()), nullptr);
  // A socket address is looked up by its address.
  EXPECT_NE(container.lookup(HXSockAddr(ip::Proto::udp, Addr("8.8.4.4"), 53)), nullptr);
}

TEST_F(IfAddrContainerTest, ReplacesAddsAndClears) {
  EXPECT_EQ(container.size(), 9u);
  container.set(container.getAddrSet());  // its own set: nothing changes
  EXPECT_EQ(container.size(), 9u);

  HXIpIfAddrSet more;
  more.insert(HXIpIfListItem(nullptr, Addr("1.1.1.1"), HXNetMask()));
  more.insert(HXIpIfListItem(nullptr, Addr("203.0.113.9"), HXNetMask()));  // already there
  container.addAddrList(more);
  EXPECT_EQ(container.size(), 10u);

  container.set(more);
  EXPECT_EQ(Addresses(container.getAddrSet()),
            (std::vector<std::string>{"1.1.1.1", "203.0.113.9"}));
  container.clear();
  EXPECT_EQ(container.size(), 0u);
}

}  // namespace
