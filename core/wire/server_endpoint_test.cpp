#include "core/wire/server_endpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kNow = 1000000;
constexpr uint64_t kDay = 86400;

// A host with a check result: last connect and last check time and a ping.
HXServerEndpoint Checked(uint64_t connect, uint64_t check, uint64_t ping, const std::string& host = "h") {
  return HXServerEndpoint(host, 0, 0, connect, check, ping, "d", "h#vcs", 4307, 20, 10);
}

TEST(ServerEndpoint, DefaultsAndConstructors) {
  const HXServerEndpoint empty;
  EXPECT_EQ(empty.getPort(), 4307);
  EXPECT_EQ(empty.getPriority(), 20u);
  EXPECT_EQ(empty.getWeight(), 10u);
  EXPECT_EQ(empty.getPing(), 9223372036854775807ull);
  EXPECT_EQ(empty.getDnsUpdateTime() + empty.getLastCheckTime() + empty.getLastConnectTime() +
                empty.getServerUpdateTime(),
            0u);
  EXPECT_FALSE(empty.hasValidCheckResult());

  const HXServerEndpoint one_time("host", 77, "dom", "host#as", 0, 120);
  EXPECT_EQ(one_time.getPort(), 4307);
  EXPECT_EQ(one_time.getDnsUpdateTime(), 77u);
  EXPECT_EQ(one_time.getLastCheckTime(), 77u);
  EXPECT_EQ(one_time.getLastConnectTime(), 77u);
  EXPECT_EQ(one_time.getServerUpdateTime(), 77u);
  EXPECT_EQ(one_time.getPriority(), 20u);
  EXPECT_EQ(one_time.getWeight(), 10u);

  const HXServerEndpoint row("host", 1, 2, 3, 4, 50, "dom", "sid", 0, 7, 8);
  EXPECT_EQ(row.getPort(), 4307);
  EXPECT_EQ(row.getDnsUpdateTime(), 1u);
  EXPECT_EQ(row.getServerUpdateTime(), 2u);
  EXPECT_EQ(row.getLastConnectTime(), 3u);
  EXPECT_EQ(row.getLastCheckTime(), 4u);
  EXPECT_EQ(row.getPing(), 50u);
  EXPECT_EQ(row.getPriority(), 7u);
  EXPECT_EQ(row.getWeight(), 8u);
  EXPECT_EQ(row.to_string(), "d=dom sid=sid h=host:4307 ping=50 conn=3 chk=4 dns=1");
}

TEST(ServerEndpoint, ValidCheckResult) {
  struct Case {
    uint64_t connect, check, ping;
    bool valid;
  };
  const Case cases[] = {
      {10, 10, 1, true},     {10, 5, 14999, true}, {0, 0, 100, false},
      {10, 11, 100, false},  {10, 5, 0, false},    {10, 5, 15000, false},
      {10, 5, hx::servers::MAXTIME, false},        {10, 5, ~0ull, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Checked(c.connect, c.check, c.ping).hasValidCheckResult(), c.valid)
        << c.connect << " " << c.check << " " << c.ping;
}

TEST(ServerEndpoint, ConnectivityCheckTime) {
  struct Case {
    const char* what;
    uint64_t connect, check, ping;
    uint64_t due;
  };
  const Case cases[] = {
      {"answered today: daily", kNow - 100, kNow - 200, 100, kNow - 200 + kDay},
      {"ping 15000 still daily", kNow - 100, kNow - 200, 15000, kNow - 200 + kDay},
      {"connected exactly a day ago", kNow - kDay, kNow - 200, 100, kNow - 200 + kDay},
      {"connected over a day ago", kNow - kDay - 1, kNow - 200, 100, kNow - 200 + 900},
      {"connect time in the future", kNow + 1, kNow - 200, 100, kNow - 200 + 900},
      {"ping 15001", kNow - 100, kNow - 200, 15001, kNow - 200 + 900},
      {"ping 0", kNow - 100, kNow - 200, 0, kNow - 200 + 900},
      {"never connected, checked 900 s ago", 0, kNow - 900, 100, kNow},
      {"never connected, checked 901 s ago", 0, kNow - 901, 100, kNow},
      {"check in the future: clock moved back", 0, kNow + 5, 100, kNow},
      {"never checked", 0, 0, hx::servers::MAXTIME, kNow},
  };
  for (const Case& c : cases) {
    const HXServerEndpoint endpoint = Checked(c.connect, c.check, c.ping);
    EXPECT_EQ(endpoint.getConnectivityCheckTime(kNow), c.due) << c.what;
    EXPECT_EQ(endpoint.connectivityCheckRequired(kNow), c.due <= kNow) << c.what;
  }
}

TEST(ServerEndpoint, SwitchOnlyToAClearlyFasterHost) {
  struct Case {
    uint64_t own, other;
    bool switch_over;
  };
  const Case cases[] = {
      {100, 150, true},   // 150 >= 130 and 300 <= 300
      {100, 149, false},  // 300 > 298
      {10, 35, false},    // 35 < 40
      {20, 50, true},
      {0, 1000, false},   {100, 15000, false},  {100, hx::servers::MAXTIME, false},
      {hx::servers::MAXTIME, 100, false},       {15000, 14999, false},
  };
  for (const Case& c : cases) {
    const HXServerEndpoint own = Checked(kNow, kNow - 10, c.own);
    const HXServerEndpoint other = Checked(kNow, kNow - 10, c.other);
    EXPECT_EQ(own.shouldSwitchFrom(other, kNow), c.switch_over) << c.own << " from " << c.other;
  }
  // A host whose answer predates its last check round has no valid result to compare.
  EXPECT_FALSE(Checked(kNow - 20, kNow - 10, 20).shouldSwitchFrom(Checked(kNow, kNow - 10, 500), kNow));
  EXPECT_FALSE(Checked(kNow, kNow - 10, 20).shouldSwitchFrom(Checked(kNow - 20, kNow - 10, 500), kNow));
}

// The name hash as the ordering defines it, written out here to check the library's.
uint32_t ReferenceHash(const std::string& host) {
  uint32_t h = 0;
  for (unsigned char c : host) {
    if (c == 0) break;
    const uint32_t x = h + c;
    h = x - ((x << 13) | (x >> 19));
  }
  return h;
}

TEST(ServerEndpoint, TargetOrderIsHashThenBytesThenPort) {
  ASSERT_EQ(ReferenceHash("abc"), 397824173u);
  ASSERT_EQ(ReferenceHash(""), 0u);

  const std::vector<std::string> hosts = {"",          "a",        "b",         "abc",
                                          "zzz",       "10.0.0.1", "s1.d1.d2",  "vcs2.tcp.d1.d2",
                                          std::string("ab\0c", 4), std::string("ab\0d", 4), "ab"};
  HXServerEpSetByTarget set;
  for (const std::string& host : hosts) {
    EXPECT_TRUE(set.addHost(HXServerEndpoint(host, 0, "", "", 443, 0)));
    EXPECT_TRUE(set.addHost(HXServerEndpoint(host, 0, "", "", 80, 0)));
  }
  std::vector<std::pair<std::string, uint16_t>> expected;
  for (const std::string& host : hosts) {
    expected.emplace_back(host, 80);
    expected.emplace_back(host, 443);
  }
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    const uint32_t ha = ReferenceHash(a.first);
    const uint32_t hb = ReferenceHash(b.first);
    if (ha != hb) return ha < hb;
    return a < b;
  });
  std::vector<std::pair<std::string, uint16_t>> ordered;
  for (const HXServerEndpoint& endpoint : set) ordered.emplace_back(endpoint.getHost(), endpoint.getPort());
  EXPECT_EQ(ordered, expected);

  std::vector<std::pair<std::string, uint16_t>> alphabetical = expected;
  std::sort(alphabetical.begin(), alphabetical.end());
  EXPECT_NE(ordered, alphabetical) << "the hosts chosen should show hash order";
}

TEST(ServerEndpoint, SameTargetIgnoresDomainServerIdAndTimes) {
  HXServerEpSetByTarget set;
  EXPECT_TRUE(set.addHost(HXServerEndpoint("h", 1, 2, 3, 4, 5, "d1", "h#as", 80, 1, 1)));
  const HXServerEndpoint other("h", 9, 9, 9, 9, 9, "d2", "h#vcs", 80, 30, 40);
  EXPECT_FALSE(set.addHost(other));
  EXPECT_FALSE(set.addHost(HXServerEndpoint(other)));
  EXPECT_TRUE(set.addHost(HXServerEndpoint("H", 0, "", "", 80, 0)));  // bytes compare with case
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.find(other)->getDomain(), "d1");

  HXServerEpMapByTarget<int> map;
  map[other] = 1;
  map[HXServerEndpoint("h", 0, "", "", 80, 0)] += 1;
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second, 2);
}

TEST(ServerEndpoint, BetterByCheckResult) {
  struct Case {
    const char* what;
    HXServerEndpoint a, b;
    bool a_better;
  };
  const Case cases[] = {
      {"a without result", Checked(0, 0, 10), Checked(kNow, kNow, 100), false},
      {"neither has a result", Checked(0, 0, 10), Checked(0, 0, 100), false},
      {"only a has one", Checked(kNow, kNow, 100), Checked(0, 0, 10), true},
      {"lower ping", Checked(kNow, kNow, 50), Checked(kNow, kNow, 100), true},
      {"equal pings", Checked(kNow, kNow, 50), Checked(kNow, kNow, 50), false},
      {"a checked over a day later", Checked(kNow, kNow, 900), Checked(kNow, kNow - kDay - 1, 10), true},
      {"a checked exactly a day later", Checked(kNow, kNow, 900), Checked(kNow, kNow - kDay, 10), false},
      {"b checked over a day later", Checked(kNow, kNow - kDay - 1, 10), Checked(kNow, kNow, 900), false},
  };
  const hx::servers::CmpByCheckRes better;
  for (const Case& c : cases) EXPECT_EQ(better(c.a, c.b), c.a_better) << c.what;
}

TEST(ServerEndpoint, FindBestKeepsTheEarlierOfEqualHosts) {
  HXServerEpList list;
  EXPECT_EQ(list.findBestByCheckRes(), nullptr);
  list.addHost(Checked(0, 0, hx::servers::MAXTIME, "unchecked"));
  ASSERT_NE(list.findBestByCheckRes(), nullptr);
  EXPECT_EQ(list.findBestByCheckRes()->getHost(), "unchecked");
  list.addHost(Checked(kNow, kNow, 80, "first80"));
  list.addHost(Checked(kNow, kNow, 120, "slow"));
  list.addHost(Checked(kNow, kNow, 80, "second80"));
  EXPECT_EQ(list.findBestByCheckRes()->getHost(), "first80");
  EXPECT_TRUE(list.addHost(Checked(kNow, kNow, 40, "fast")));
  EXPECT_EQ(list.findBestByCheckRes()->getHost(), "fast");
  EXPECT_TRUE(list.addHost(Checked(kNow, kNow, 40, "fast")));  // lists keep duplicates
  EXPECT_EQ(list.size(), 6u);
}

std::vector<std::string> Walk(HXServerEpIterator& cursor) {
  std::vector<std::string> hosts;
  while (cursor.hasNext()) hosts.push_back(cursor.next().getHost());
  return hosts;
}

TEST(ServerEndpoint, CursorsOverListAndSet) {
  HXServerEpList list;
  HXServerEpSetByTarget set;
  hx::servers::EpIteratorConst<HXServerEpList> empty_cursor(list);
  EXPECT_TRUE(empty_cursor.empty());
  EXPECT_FALSE(empty_cursor.hasNext());
  EXPECT_EQ(empty_cursor.next().getHost(), "");  // past the end: an empty endpoint

  for (const char* host : {"b", "a", "c"}) {
    list.addHost(HXServerEndpoint(host, 0, "", "", 80, 0));
    set.addHost(HXServerEndpoint(host, 0, "", "", 80, 0));
  }
  hx::servers::EpIteratorConst<HXServerEpList> list_cursor(list);
  EXPECT_FALSE(list_cursor.empty());
  EXPECT_EQ(Walk(list_cursor), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(list_cursor.next().getHost(), "");
  list_cursor.reset();
  EXPECT_EQ(list_cursor.next().getHost(), "b");

  hx::servers::EpIteratorConst<HXServerEpSetByTarget> set_cursor(set);
  std::vector<std::string> in_set_order;
  for (const HXServerEndpoint& endpoint : set) in_set_order.push_back(endpoint.getHost());
  EXPECT_EQ(Walk(set_cursor), in_set_order);
  set_cursor.reset();
  EXPECT_EQ(Walk(set_cursor), in_set_order);
}

}  // namespace
