#include "core/net/address/if_addr_container_ts.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"

namespace {

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

HXIpIfAddrSet Items(std::initializer_list<const char*> texts) {
  HXIpIfAddrSet items;
  for (const char* text : texts) items.insert(HXIpIfListItem(nullptr, Addr(text), HXNetMask()));
  return items;
}

TEST(IfAddrContainerTS, EveryOperationWorksOnTheHeldSet) {
  HXIfIpAddrContainerTS shared;
  EXPECT_EQ(shared.size(), 0u);
  shared.lockList().set(Items({"10.0.0.1", "2001:db8::1", "192.168.0.1"}));
  shared.unlockList();

  EXPECT_EQ(shared.size(), 3u);
  EXPECT_TRUE(shared.contains(Addr("2001:db8::1")));
  EXPECT_FALSE(shared.contains(Addr("10.0.0.2")));
  EXPECT_EQ(shared.getAddrList().size(), 3u);
  EXPECT_EQ(shared.getAddrSet().size(), 3u);
  const HXIpIfAddrSet private_v4 =
      shared.getAddrSet(ip::IANA_Addr_Type::private_network, ip::Family::v4, ip::IfType::any, 0);
  ASSERT_EQ(private_v4.size(), 2u);
  EXPECT_EQ(private_v4.begin()->str(), "10.0.0.1");

  HXIpIfAddrSet copy = shared.getAddrList();  // the caller's own
  copy.clear();
  EXPECT_EQ(shared.size(), 3u);
  shared.clear();
  EXPECT_EQ(shared.size(), 0u);
}

TEST(IfAddrContainerTS, LockListKeepsOtherThreadsOut) {
  HXIfIpAddrContainerTS shared;
  HXIfIpAddrContainer& inner = shared.lockList();
  std::atomic<bool> read{false};
  std::thread reader([&] {
    shared.size();
    read = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(read.load());  // still waiting for the lock
  inner.set(Items({"10.0.0.1"}));
  shared.unlockList();
  reader.join();
  EXPECT_TRUE(read.load());
  EXPECT_EQ(shared.size(), 1u);
}

// Readers always see one whole version of the set while a writer replaces it.
TEST(IfAddrContainerTS, ReadersSeeWholeVersionsWhileReplaced) {
  HXIfIpAddrContainerTS shared;
  const HXIpIfAddrSet small = Items({"10.0.0.1"});
  const HXIpIfAddrSet large = Items({"10.0.0.1", "10.0.0.2", "10.0.0.3", "fe80::1%2"});
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        const HXIpIfAddrSet seen = shared.getAddrList();
        if (seen.size() != 0 && seen.size() != small.size() && seen.size() != large.size()) ++torn;
        shared.contains(Addr("10.0.0.3"));
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    shared.lockList().set(i % 2 == 0 ? large : small);
    shared.unlockList();
    if (i % 100 == 0) shared.clear();
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
