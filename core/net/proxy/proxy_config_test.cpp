#include "core/net/proxy/proxy_config.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/proxy/proxy_list.h"

namespace {

using hx::netproxy::Config;
using hx::netproxy::GuiNotifyEvent;
using hx::netproxy::ProxyListIterator;

HXSockAddr Addr(const char* ip, uint16_t port) {
  HXSockAddr address;
  HXSockAddr parsed;
  EXPECT_TRUE(parsed.HXAIpAddressBase::set(ip)) << ip;
  EXPECT_TRUE(address.set(ip::Proto::tcp, parsed, port));
  return address;
}

Config MakeConfig(std::vector<HXSockAddr> addresses) {
  return Config(HX_ProxyList::getNullProxyDescriptor(), ProxyListIterator(7), std::move(addresses));
}

TEST(ProxyConfigTest, TakesDescriptorOrdinalAndAddresses) {
  auto descriptor = std::make_shared<HX_ProxyDescriptorFqdn>("proxy.example", 3128, kProxyHttp);
  Config config(descriptor, ProxyListIterator(4), {Addr("192.0.2.1", 3128)});
  EXPECT_EQ(config.getDescriptor(), descriptor);
  EXPECT_EQ(config.getOrdinal(), 4u);
  ASSERT_EQ(config.getAddrList().size(), 1u);
  EXPECT_EQ(config.getAddrList()[0].str(), "192.0.2.1");
  config.setAddrList({Addr("192.0.2.2", 80), Addr("192.0.2.3", 80)});
  EXPECT_EQ(config.getAddrList().size(), 2u);
  EXPECT_EQ(Config(descriptor, ProxyListIterator()).getOrdinal(), ProxyListIterator::kBeforeFirst);
}

TEST(ProxyConfigTest, SameAddrListComparesAddressesOnly) {
  const Config config = MakeConfig({Addr("192.0.2.1", 80), Addr("2001:db8::1", 80)});
  struct Case {
    const char* name;
    std::vector<HXSockAddr> other;
    bool same;
  } cases[] = {
      {"same order", {Addr("192.0.2.1", 80), Addr("2001:db8::1", 80)}, true},
      {"other order", {Addr("2001:db8::1", 80), Addr("192.0.2.1", 80)}, true},
      {"other ports", {Addr("192.0.2.1", 1), Addr("2001:db8::1", 2)}, true},
      {"one fewer", {Addr("192.0.2.1", 80)}, false},
      {"one more", {Addr("192.0.2.1", 80), Addr("2001:db8::1", 80), Addr("192.0.2.9", 80)}, false},
      {"one differs", {Addr("192.0.2.1", 80), Addr("2001:db8::2", 80)}, false},
      {"repeated", {Addr("192.0.2.1", 80), Addr("192.0.2.1", 80)}, false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(config.sameAddrList(c.other), c.same) << c.name;
  EXPECT_TRUE(MakeConfig({}).sameAddrList({}));
}

TEST(ProxyConfigTest, ReportsAnEventOnceInARow) {
  Config config = MakeConfig({});
  const auto refused = static_cast<GuiNotifyEvent>(3);
  const auto unusable = static_cast<GuiNotifyEvent>(5);
  EXPECT_TRUE(config.reportError(refused, "first"));
  EXPECT_FALSE(config.reportError(refused, "again"));
  EXPECT_TRUE(config.reportError(unusable, ""));
  EXPECT_TRUE(config.reportError(refused, "after another"));
}

}  // namespace
