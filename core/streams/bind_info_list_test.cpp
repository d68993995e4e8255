// The binding choice over a fixed interface table: eth0 (index 2) with two private IPv4
// networks, a link-local, a documentation, a unique-local and a global IPv6 address; wlan0
// (index 3) with a private IPv4 /16 inside eth0's /8, and a link-local address. Every address but
// the documentation one has a listener binding.

#include "core/streams/bind_info_list.h"

#include <gtest/gtest.h>

#include <string>

#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"

namespace hx::streams {
namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

class BindInfoListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HXIfList list;
    list.addIface(ip::IfType::ethernet, "eth0", 2)->setUpAndRunning(true);
    list.addIface(ip::IfType::ethernet, "wlan0", 3)->setUpAndRunning(true);
    const struct {
      const char* iface;
      const char* address;
      int prefix;
      uint32_t socketId;  // 0: no binding
    } table[] = {
        {"eth0", "192.168.1.10", 24, 1},  {"eth0", "10.1.2.3", 8, 2},
        {"eth0", "fe80::1%2", 64, 3},     {"eth0", "fd00::10", 64, 4},
        {"eth0", "2a00:1450::10", 64, 5}, {"eth0", "2001:db8::10", 64, 0},
        {"wlan0", "172.16.5.5", 16, 6},   {"wlan0", "fe80::2%3", 64, 7},
        {"wlan0", "10.1.9.9", 16, 8},
    };
    for (const auto& row : table) {
      const HXIpAddress address = Addr(row.address);
      list.addIfaceAddress(row.iface, address, HXNetMask(address.family(), row.prefix),
                           HXIpAddress(), HXIpAddress());
      if (row.socketId == 0) continue;
      BindInfoListEntry entry;
      entry.socketId = row.socketId;
      entry.address.set(ip::Proto::udp, address, 49152);
      entries.push_back(entry);
    }
    list.getIfAddrList(interfaces);
  }

  BindInfoList entries;
  HXIpIfAddrSet interfaces;
};

TEST_F(BindInfoListTest, DefaultBindingsTakeTheAddressAndTheBestOfTheOtherFamilyOnItsInterface) {
  const struct {
    const char* local;
    bool found;
    uint32_t ipv4;  // socket ids; 99 = left untouched
    uint32_t ipv6;
  } cases[] = {
      {"192.168.1.10", true, 1, 5},  // global beats unique-local and link-local
      {"fe80::1%2", true, 2, 3},     // two private IPv4 bindings: the first in address order
      {"172.16.5.5", true, 6, 7},    // wlan0 has only its link-local address for IPv6
      {"2001:db8::10", false, 99, 99},  // on eth0 but not bound
      {"8.8.8.8", false, 99, 99},       // on no interface
      {"", false, 99, 99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.local);
    BindInfoListEntry ipv4;
    BindInfoListEntry ipv6;
    ipv4.socketId = ipv6.socketId = 99;
    const HXIpAddress local = *c.local == '\0' ? HXIpAddress() : Addr(c.local);
    EXPECT_EQ(BindInfoListUtil::getDefaultBindings(entries, local, interfaces, &ipv4, &ipv6),
              c.found);
    EXPECT_EQ(ipv4.socketId, c.ipv4);
    EXPECT_EQ(ipv6.socketId, c.ipv6);
  }
}

TEST_F(BindInfoListTest, SameNetBindingPrefersExactThenScopeThenTheLongestMask) {
  const struct {
    const char* peer;
    bool found;
    uint32_t socketId;
  } cases[] = {
      {"192.168.1.10", true, 1},   // the binding's own address
      {"192.168.1.77", true, 1},   // in eth0's /24
      {"10.200.0.1", true, 2},     // only eth0's /8 holds it
      {"10.1.9.1", true, 8},       // eth0's /8 and wlan0's /16: the longer mask
      {"fe80::99%3", true, 7},     // link-local: the binding with the same scope
      {"fe80::99%9", false, 0},    // link-local on a scope without binding
      {"2a00:1450::99", true, 5},  // eth0's global /64
      {"8.8.8.8", false, 0},
      {"2001:db9::1", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.peer);
    BindInfoListEntry chosen;
    EXPECT_EQ(BindInfoListUtil::getSameNetBinding(Addr(c.peer), entries, interfaces, &chosen),
              c.found);
    EXPECT_EQ(chosen.socketId, c.socketId);
  }
}

TEST_F(BindInfoListTest, IanaTypeOrderPicksTheBestClassOfTheFamily) {
  BindInfoListEntry global4;
  global4.socketId = 9;
  global4.address.set(ip::Proto::udp, Addr("81.2.3.4"), 49152);
  BindInfoList withGlobal4 = entries;
  withGlobal4.push_back(global4);
  BindInfoList onlyV4;
  for (const auto& entry : entries) {
    if (entry.address.family() == 4) onlyV4.push_back(entry);
  }
  const struct {
    const char* name;
    const BindInfoList* list;
    uint8_t family;
    bool found;
    uint32_t socketId;
  } cases[] = {
      {"IPv6: the global address", &entries, 6, true, 5},
      {"IPv4: all private, the first", &entries, 4, true, 1},
      {"IPv4: a global one wins", &withGlobal4, 4, true, 9},
      {"no binding of the family", &onlyV4, 6, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindInfoListEntry chosen;
    EXPECT_EQ(BindInfoListUtil::getBindingIANATypeOrder(*c.list, c.family, &chosen), c.found);
    EXPECT_EQ(chosen.socketId, c.socketId);
  }
}

}  // namespace
}  // namespace hx::streams
