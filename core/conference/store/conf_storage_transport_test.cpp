// The store's side of the transport manager: counts read without the write lock, the server's
// media endpoints handed to the conferences of that server, and the network change.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"

namespace {

using hx::testing::ConfStoreFixture;
using hx::testing::Counts;

class ConfStorageTransport : public ConfStoreFixture {
 protected:
  Counts Unlocked() {
    uint32_t r = 0, j = 0, d = 0;
    cm->getConfCounts(r, j, d);
    return Counts(r, j, d);
  }
  size_t OwnEndpoints(int32_t id) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    return lock ? lock->getEndpointsList().size() : 0;
  }
};

std::shared_ptr<HX_Endpoint> Ep(const std::string& host, uint16_t port) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(0));
  ep->SetHost(host);
  ep->SetPort(port);
  ep->SetFamily(AF_INET);
  return ep;
}

TEST_F(ConfStorageTransport, UnlockedCountsFollowTheLockedOnes) {
  EXPECT_EQ(Unlocked(), Counts(0, 0, 0));
  const int32_t requested = Request();
  const int32_t joined = Confirmed("a@srv#1");
  SetState(joined, 2);
  EXPECT_EQ(Unlocked(), Counts(1, 1, 0));
  EXPECT_EQ(Unlocked(), CountsNow());
  cm->setDeleteAnswer(true);
  EXPECT_TRUE(cm->DeleteConference("a@srv#1", true));  // waits for the server in state 3
  EXPECT_EQ(Unlocked(), Counts(1, 0, 1));
  EXPECT_EQ(Unlocked(), CountsNow());
  SetState(requested, 2);
  EXPECT_EQ(Unlocked(), Counts(0, 1, 1));
}

TEST_F(ConfStorageTransport, UnlockedCountsDoNotWaitForTheWriteLock) {
  Request();
  HXAutoLock held(cm->StorageLock());
  auto read = std::async(std::launch::async, [this] { return Unlocked(); });
  ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(read.get(), Counts(1, 0, 0));
}

TEST_F(ConfStorageTransport, ServerMediaEndpointsGoToTheConferencesOfThatServerOnly) {
  const int32_t a = Confirmed("a@srv#1");
  const int32_t b = Confirmed("b@srv#1");
  const int32_t other = Confirmed("c@other#2");
  const int32_t waiting = Request();  // no server yet
  cm->updateServerMediaEPList("srv#1", {Ep("m1.srv", 4307), Ep("m2.srv", 4307)});
  // A pair (sender, receiver) per endpoint.
  EXPECT_EQ(OwnEndpoints(a), 4u);
  EXPECT_EQ(OwnEndpoints(b), 4u);
  EXPECT_EQ(OwnEndpoints(other), 0u);
  EXPECT_EQ(OwnEndpoints(waiting), 0u);
  // The same endpoints again add nothing; an unknown server touches nobody.
  cm->updateServerMediaEPList("srv#1", {Ep("m1.srv", 4307)});
  cm->updateServerMediaEPList("nowhere#9", {Ep("m3.srv", 4307)});
  EXPECT_EQ(OwnEndpoints(a), 4u);
  EXPECT_EQ(OwnEndpoints(other), 0u);
}

TEST_F(ConfStorageTransport, NetworkChangeRecordsTheModeAndTheAddresses) {
  EXPECT_EQ(cm->lastNetworkType(), -1);
  HXIpIfAddrSet items;
  items.insert(HXIpIfListItem(nullptr, HXAddrFactory::get("192.0.2.7"), HXNetMask()));
  HXIfIpAddrContainer interfaces;
  interfaces.set(items);
  cm->setNetworkType(4, interfaces);
  EXPECT_EQ(cm->lastNetworkType(), 4);
  ASSERT_EQ(cm->getIfAddrList().size(), 1u);
  // No network: the mode is recorded, the addresses known so far stay.
  cm->setNetworkType(0, HXIfIpAddrContainer());
  EXPECT_EQ(cm->lastNetworkType(), 0);
  EXPECT_EQ(cm->getIfAddrList().size(), 1u);
  cm->setNetworkType(8, HXIfIpAddrContainer());
  EXPECT_EQ(cm->lastNetworkType(), 8);
  EXPECT_EQ(cm->getIfAddrList().size(), 0u);
}

}  // namespace
