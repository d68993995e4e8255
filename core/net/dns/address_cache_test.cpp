#include "core/net/dns/address_cache.h"

#include <gtest/gtest.h>

namespace hx::dns {
namespace {

using List = std::vector<std::string>;

List Turns(AddressCache& cache, const std::string& name, int count) {
  List taken;
  for (int i = 0; i < count; ++i) taken.push_back(cache.getARec(name));
  return taken;
}

TEST(AddressCache, LifetimeIsTheTtlAtMostAMinute) {
  const std::pair<uint32_t, int64_t> cases[] = {{0, 0},      {5, 5000},     {60, 60000},
                                                {61, 60000}, {3600, 60000}, {0xffffffffu, 60000}};
  for (const auto& [ttl, lifetime] : cases) EXPECT_EQ(CacheLifetimeMs(ttl), lifetime) << ttl;
}

TEST(AddressCache, SingleLookupsTakeTheAddressesInTurn) {
  AddressCache cache;
  cache.putARec("h", "10.0.0.2", 1000);
  cache.putARec("h", "10.0.0.1", 1000);
  EXPECT_EQ(Turns(cache, "h", 3), (List{"10.0.0.1", "10.0.0.2", "10.0.0.1"}));

  // A new address joins the rotation without moving the cursor: next comes 10.0.0.2.
  cache.putARec("h", "10.0.0.3", 1000);
  EXPECT_EQ(Turns(cache, "h", 4), (List{"10.0.0.2", "10.0.0.3", "10.0.0.1", "10.0.0.2"}));

  List all;
  EXPECT_TRUE(cache.getARecAll("h", all));
  EXPECT_EQ(all, (List{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(cache.getARec("h"), "10.0.0.3");  // listing did not move the cursor
  EXPECT_EQ(cache.getARec("other"), "");
  EXPECT_FALSE(cache.getARecAll("other", all));
}

TEST(AddressCache, ExpiryKeepsTheCursorOnASurvivorElseGoesToTheFirst) {
  AddressCache cache;
  cache.putARec("h", "a", 100);
  cache.putARec("h", "b", 200);
  cache.putARec("h", "c", 300);
  EXPECT_EQ(cache.getARec("h"), "a");                      // cursor on b
  cache.expireARecList(99);                                // nothing due yet
  cache.expireARecList(100);                               // a goes; b, under the cursor, stays
  EXPECT_EQ(Turns(cache, "h", 3), (List{"b", "c", "b"}));  // cursor on c

  cache.putARec("h", "d", 200);
  cache.expireARecList(300);   // b, c (under the cursor) and d go together
  EXPECT_TRUE(cache.empty());  // a name left without addresses leaves the cache

  cache.putARec("h", "p", 2000);
  cache.putARec("h", "q", 3000);
  cache.putARec("h", "r", 2000);
  EXPECT_EQ(Turns(cache, "h", 2), (List{"p", "q"}));  // cursor on r
  cache.expireARecList(2000);                         // r goes: the cursor falls back to q
  EXPECT_EQ(Turns(cache, "h", 2), (List{"q", "q"}));
}

TEST(AddressCache, AnAddressAddedAgainKeepsItsFirstExpiry) {
  AddressCache cache;
  cache.putARec("h", "a", 100);
  cache.putARec("h", "a", 900);
  cache.putARec("h", "b", 900);
  cache.expireARecList(100);
  List all;
  ASSERT_TRUE(cache.getARecAll("h", all));
  EXPECT_EQ(all, (List{"b"}));
}

}  // namespace
}  // namespace hx::dns
