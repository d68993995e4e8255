#include "core/net/proxy/proxy_list.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using hx::netproxy::ProxyListIterator;

std::shared_ptr<HX_ProxyDescriptor> Http(const std::string& host, uint16_t port = 3128) {
  return std::make_shared<HX_ProxyDescriptorFqdn>(host, port, kProxyHttp);
}

// The hosts met walking the list from the start.
std::vector<std::string> Walk(HX_ProxyList& list) {
  std::vector<std::string> hosts;
  ProxyListIterator position;
  for (auto d = list.getProxyDescriptor(&position); d; d = list.getNextDescriptor(position)) {
    hosts.push_back(d->getHost());
  }
  return hosts;
}

TEST(ProxyListTest, EmptyListGivesNothingAndLeavesTheIterator) {
  HX_ProxyList list;
  ProxyListIterator position;
  EXPECT_EQ(list.getProxyDescriptor(nullptr), nullptr);
  EXPECT_EQ(list.getProxyDescriptor(&position), nullptr);
  EXPECT_TRUE(position.beforeFirst());
  EXPECT_EQ(list.getNextDescriptor(position), nullptr);
  EXPECT_TRUE(position.beforeFirst());
  EXPECT_EQ(list.getProxyConfig(position), nullptr);
}

TEST(ProxyListTest, WalksEntriesInTheOrderAdded) {
  HX_ProxyList list;
  list.addProxyDescriptor(Http("a"));
  list.addProxyDescriptor(Http("b"));
  list.addProxyDescriptor(Http("c"));
  EXPECT_EQ(Walk(list), (std::vector<std::string>{"a", "b", "c"}));

  EXPECT_EQ(list.getProxyDescriptor(nullptr)->getHost(), "a");
  ProxyListIterator position(1);
  EXPECT_EQ(list.getProxyDescriptor(&position)->getHost(), "b");
  EXPECT_EQ(list.getNextDescriptor(position)->getHost(), "c");
  EXPECT_EQ(position.ordinal(), 2u);
  EXPECT_EQ(list.getNextDescriptor(position), nullptr);
  EXPECT_EQ(position.ordinal(), 2u);
  ProxyListIterator missing(9);
  EXPECT_EQ(list.getProxyDescriptor(&missing), nullptr);
}

TEST(ProxyListTest, OrdinalsGoOnAfterClearAndStaleCacheKeysDrop) {
  HX_ProxyList list;
  list.addProxyDescriptor(Http("old0"));
  list.addProxyDescriptor(Http("old1"));
  auto old_config = list.getProxyConfig(ProxyListIterator(1));
  ASSERT_NE(old_config, nullptr);
  list.cacheAdd("target.example", old_config);
  EXPECT_EQ(list.cacheGet("target.example"), old_config);

  list.clear();
  list.addProxyDescriptor(Http("new2"));
  list.addProxyDescriptor(Http("new3"));
  ProxyListIterator position;
  ASSERT_EQ(list.getProxyDescriptor(&position)->getHost(), "new2");
  EXPECT_EQ(position.ordinal(), 2u);
  EXPECT_EQ(list.getNextDescriptor(position)->getHost(), "new3");
  EXPECT_EQ(position.ordinal(), 3u);

  // Ordinal 1 has no entry any more: the key is dropped, and adding it again does nothing.
  EXPECT_EQ(list.cacheGet("target.example"), nullptr);
  list.cacheAdd("target.example", old_config);
  EXPECT_EQ(list.cacheGet("target.example"), nullptr);
}

TEST(ProxyListTest, ConfigurationIsMadeOnceAndKept) {
  HX_ProxyList list;
  auto descriptor = Http("proxy");
  list.addProxyDescriptor(descriptor);
  auto first = list.getProxyConfig(ProxyListIterator(0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->getDescriptor(), descriptor);
  EXPECT_EQ(first->getOrdinal(), 0u);
  EXPECT_EQ(list.getProxyConfig(ProxyListIterator(0)), first);
  EXPECT_EQ(list.getProxyConfig(ProxyListIterator(1)), nullptr);
}

TEST(ProxyListTest, CacheFollowsItsEntries) {
  HX_ProxyList list;
  list.addProxyDescriptor(Http("p0"));
  list.addProxyDescriptor(Http("p1"));
  auto config0 = list.getProxyConfig(ProxyListIterator(0));
  auto config1 = list.getProxyConfig(ProxyListIterator(1));

  EXPECT_EQ(list.cacheGet("t"), nullptr);
  list.cacheAdd("t", config0);
  EXPECT_EQ(list.cacheGet("t"), config0);
  list.cacheAdd("t", config1);
  EXPECT_EQ(list.cacheGet("t"), config1);

  list.cacheRemove("t", config0.get());  // points at another entry: kept
  EXPECT_EQ(list.cacheGet("t"), config1);
  list.cacheRemove("t", config1.get());
  EXPECT_EQ(list.cacheGet("t"), nullptr);

  list.cacheAdd("t", config0);
  list.cacheRemove("t", nullptr);
  EXPECT_EQ(list.cacheGet("t"), nullptr);
  list.cacheAdd("t", nullptr);
  EXPECT_EQ(list.cacheGet("t"), nullptr);
}

TEST(ProxyListTest, NullProxyIsDirectAndNeverFreed) {
  HX_ProxyDescriptor* raw = nullptr;
  {
    auto null_proxy = HX_ProxyList::getNullProxyDescriptor();
    raw = null_proxy.get();
    EXPECT_EQ(null_proxy->getType(), kProxyDirect);
    EXPECT_EQ(null_proxy->getHost(), "");
    EXPECT_EQ(null_proxy->getPort(), 0);
    EXPECT_TRUE(null_proxy->isReady());
  }
  // Every pointer was released; the descriptor must still be alive (ASan would see a free).
  auto again = HX_ProxyList::getNullProxyDescriptor();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->getHttpUserAgent(), "ViriduRiz/2.8");
}

TEST(ProxyDescriptorTest, FqdnKeepsHostPortAndKind) {
  HX_ProxyDescriptorFqdn descriptor("proxy.example", 8080, kProxyHttp);
  EXPECT_EQ(descriptor.getHost(), "proxy.example");
  EXPECT_EQ(descriptor.getPort(), 8080);
  EXPECT_EQ(descriptor.getType(), kProxyHttp);
  EXPECT_TRUE(descriptor.isReady());
  EXPECT_EQ(descriptor.getHttpUserAgent(), "ViriduRiz/2.8");
}

}  // namespace
