// ConferenceLock against the real store: the guard's strong reference keeps a conference alive
// while another thread removes it and its destroy job runs on the network loop.
#include "core/conference/store/conference_lock.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/conference/store/conf_store_test_util.h"

namespace {

using hx::testing::ConfStoreFixture;
using hx::testing::WaitUntil;

class ConfLock : public ConfStoreFixture {};

TEST_F(ConfLock, ATempUnlockedGuardKeepsItsConferenceThroughRemovalAndDestruction) {
  const int32_t id = Confirmed("a@srv#1");
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  HX_Conference* raw = lock.conference();
  std::weak_ptr<HX_Conference> weak = lock.shConference();
  ASSERT_TRUE(lock.TempUnlock());
  EXPECT_FALSE(lock.isLocked());
  EXPECT_EQ(lock.conference(), nullptr);
  EXPECT_FALSE(lock.TempUnlock());

  std::thread remover([&] { EXPECT_TRUE(cm->storageConferenceDelete(id, 1)); });
  remover.join();
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  EXPECT_FALSE(weak.expired());

  ASSERT_TRUE(lock.ReLock());
  EXPECT_TRUE(lock.isLocked());
  EXPECT_EQ(lock.conference(), raw);
  EXPECT_EQ(lock->getState(), 3);
  EXPECT_EQ(lock->getSID(), "a@srv#1");
  EXPECT_TRUE(lock.ReLock());
  lock.Unlock();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(lock.ReLock());
}

TEST_F(ConfLock, AMovedGuardHoldsTheLockAndDestructionReleasesIt) {
  const int32_t id = Confirmed("a@srv#1");
  auto other = [&] {
    bool taken = false;
    std::thread t([&] {
      taken = cm->StorageLock().TryLock();
      if (taken) cm->StorageLock().Unlock();
    });
    t.join();
    return taken;
  };
  {
    ConferenceLock first;
    ASSERT_TRUE(cm->getConferenceLock(first, id));
    ConferenceLock second(std::move(first));
    EXPECT_FALSE(first.isLocked());
    EXPECT_EQ(first.conference(), nullptr);
    EXPECT_TRUE(second.isLocked());
    EXPECT_EQ(second->getId(), id);
    EXPECT_FALSE(other());
    first.Unlock();  // the source holds nothing any more: the lock stays held
    EXPECT_FALSE(other());
  }
  EXPECT_TRUE(other());
}

TEST(ConferenceLockAlone, EmptyGuard) {
  ConferenceLock lock;
  EXPECT_FALSE(lock.isLocked());
  EXPECT_FALSE(lock.TempUnlock());
  EXPECT_FALSE(lock.ReLock());
  EXPECT_EQ(lock.shConference(), nullptr);
  lock.Unlock();
}

}  // namespace
