#include "core/net/proxy/proxy_selector.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/address/ip_iface.h"
#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/proxy_list.h"

namespace hx::testing {
namespace {

using hx::netproxy::Config;
using hx::netproxy::ProxyListIterator;

// Records what the selector hands over.
class RecordingSelector : public HX_ProxySelector {
 public:
  bool onProxyFound(std::shared_ptr<Config> config, bool ok) override {
    ++handOvers;
    found = std::move(config);
    foundOk = ok;
    return true;
  }

  // "address:port" of every address the found configuration carries.
  std::vector<std::string> foundAddresses() const {
    std::vector<std::string> texts;
    if (found) {
      for (const HXSockAddr& address : found->getAddrList()) texts.push_back(address.strBind());
    }
    return texts;
  }
  bool foundDirect() const {
    return found && found->getDescriptor() == HX_ProxyList::getNullProxyDescriptor();
  }

  int handOvers = 0;
  std::shared_ptr<Config> found;
  bool foundOk = false;
};

class ProxySelectorTest : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    list_ = loop->acquireProxyList();
    // One interface on 10.77.1.5/24, so that 10.77.1.0/24 counts as the device's own subnet.
    auto iface = std::make_shared<HXIpIface>("test0", 7, ip::IfType::ethernet);
    HXIpAddress address;
    ASSERT_TRUE(address.set("10.77.1.5"));
    HXIfIpAddrContainerTS* interfaces = HXZServer::getIfAddrList();
    interfaces->lockList().set({HXIpIfListItem(iface, address, HXNetMask(4, 24))});
    interfaces->unlockList();
  }

  void AddProxy(const std::string& host, uint16_t port = 3128) {
    list_->addProxyDescriptor(std::make_shared<HX_ProxyDescriptorFqdn>(host, port, kProxyHttp));
  }

  static std::shared_ptr<HXZAEndpointHolder> Target(const std::string& host, uint16_t port = 443) {
    return HXZEndpointFqdn::remoteTCP(host, port);
  }

  HX_ProxyList* list_ = nullptr;
};

TEST_F(ProxySelectorTest, ChoosesDirectOrProxyByTheTargetAddress) {
  struct Case {
    const char* name;
    const char* target;
    std::vector<std::string> proxies;
    bool direct;
    std::vector<std::string> addresses;
  } cases[] = {
      {"loopback goes direct despite proxies", "127.0.0.1", {"127.0.0.9"}, true, {"127.0.0.1:443"}},
      {"link-local goes direct", "fe80::1%1", {"127.0.0.9"}, true, {"fe80::1%1:443"}},
      {"same subnet goes direct", "10.77.1.99", {"127.0.0.9"}, true, {"10.77.1.99:443"}},
      {"other subnet takes the proxy", "10.77.2.1", {"127.0.0.9"}, false, {"127.0.0.9:3128"}},
      {"first ready proxy is taken", "192.0.2.1", {"127.0.0.9", "127.0.0.10"}, false,
       {"127.0.0.9:3128"}},
      {"no proxies: direct", "192.0.2.1", {}, true, {"192.0.2.1:443"}},
      {"pending target takes a proxy known at once", "target.invalid", {"127.0.0.9"}, false,
       {"127.0.0.9:3128"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list_->clear();
    for (const std::string& proxy : c.proxies) AddProxy(proxy);
    RecordingSelector selector;
    EXPECT_TRUE(selector.lookupProxyConfig(Target(c.target)));
    ASSERT_EQ(selector.handOvers, 1);
    EXPECT_TRUE(selector.foundOk);
    EXPECT_EQ(selector.foundDirect(), c.direct);
    EXPECT_EQ(selector.foundAddresses(), c.addresses);
    // A proxy that took the target is remembered for it; a direct connection is not.
    EXPECT_EQ(list_->cacheGet(c.target) == selector.found, !c.direct);
  }
}

TEST_F(ProxySelectorTest, PendingTargetWithoutProxiesWaitsForItsAnswer) {
  struct Case {
    const char* name;
    std::vector<std::string> answer;
    bool ok;
    std::vector<std::string> addresses;
  } cases[] = {
      {"only the local addresses are kept", {"192.0.2.1", "127.0.0.2", "10.77.1.7"}, true,
       {"127.0.0.2:443"}},
      {"same subnet only", {"192.0.2.1", "10.77.1.7", "10.77.1.8"}, true,
       {"10.77.1.7:443", "10.77.1.8:443"}},
      {"global only", {"192.0.2.1", "192.0.2.2"}, true, {"192.0.2.1:443", "192.0.2.2:443"}},
      {"no address: nothing to connect to", {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSelector selector;
    EXPECT_TRUE(selector.lookupProxyConfig(Target("target.invalid")));
    EXPECT_EQ(selector.handOvers, 0);
    selector.OnCallbackQueryA("other.invalid", {"192.0.2.99"});  // not ours
    EXPECT_EQ(selector.handOvers, 0);
    selector.OnCallbackQueryA("target.invalid", c.answer);
    ASSERT_EQ(selector.handOvers, 1);
    EXPECT_TRUE(selector.foundDirect());
    EXPECT_EQ(selector.foundOk, c.ok);
    EXPECT_EQ(selector.foundAddresses(), c.addresses);
    selector.OnCallbackQueryA("target.invalid", {"192.0.2.5"});  // after the hand-over
    EXPECT_EQ(selector.handOvers, 1);
  }
}

TEST_F(ProxySelectorTest, ProxyWithoutAddressIsSkipped) {
  AddProxy("proxy.invalid", 8080);
  AddProxy("127.0.0.10");
  RecordingSelector selector;
  EXPECT_TRUE(selector.lookupProxyConfig(Target("192.0.2.1")));
  EXPECT_EQ(selector.handOvers, 0) << "the first proxy's answer is awaited";
  selector.OnCallbackQueryA("proxy.invalid", std::vector<std::string>{});
  ASSERT_EQ(selector.handOvers, 1);
  EXPECT_EQ(selector.found->getDescriptor()->getHost(), "127.0.0.10");
  EXPECT_EQ(selector.foundAddresses(), (std::vector<std::string>{"127.0.0.10:3128"}));
}

TEST_F(ProxySelectorTest, DeferredProxyAnswerIsUsedWithItsPort) {
  AddProxy("proxy.invalid", 8080);
  RecordingSelector selector;
  EXPECT_TRUE(selector.lookupProxyConfig(Target("192.0.2.1")));
  EXPECT_EQ(selector.handOvers, 0);
  selector.OnCallbackQueryA("proxy.invalid", {"192.0.2.80", "192.0.2.81"});
  ASSERT_EQ(selector.handOvers, 1);
  EXPECT_EQ(selector.foundAddresses(),
            (std::vector<std::string>{"192.0.2.80:8080", "192.0.2.81:8080"}));
}

TEST_F(ProxySelectorTest, CachedProxyComesFirstUntilItsAddressesChange) {
  AddProxy("127.0.0.9");
  AddProxy("127.0.0.10");
  auto second = list_->getProxyConfig(ProxyListIterator(1));
  HXSockAddr address;
  ASSERT_TRUE(address.set(ip::Proto::tcp, "127.0.0.10", "3128", 4, 0));
  second->setAddrList({address});
  list_->cacheAdd("192.0.2.1", second);

  RecordingSelector cached;
  EXPECT_TRUE(cached.lookupProxyConfig(Target("192.0.2.1")));
  ASSERT_EQ(cached.handOvers, 1);
  EXPECT_EQ(cached.found, second);

  // The second proxy's name now gives another address: the cache entry goes and the list is
  // walked from its first entry.
  ASSERT_TRUE(address.set(ip::Proto::tcp, "127.0.0.11", "3128", 4, 0));
  second->setAddrList({address});
  RecordingSelector walked;
  EXPECT_TRUE(walked.lookupProxyConfig(Target("192.0.2.1")));
  ASSERT_EQ(walked.handOvers, 1);
  EXPECT_EQ(walked.found, list_->getProxyConfig(ProxyListIterator(0)));
  EXPECT_EQ(walked.foundAddresses(), (std::vector<std::string>{"127.0.0.9:3128"}))
      << "no address of the dropped proxy may stay behind";
  EXPECT_EQ(list_->cacheGet("192.0.2.1"), walked.found);
}

}  // namespace
}  // namespace hx::testing
