// The conference store's deletion path with the client object's conference manager (its
// "DeleteConference" and "LogPartStat" hooks recording their calls) and a running network loop
// for the delete and destroy jobs, whose delays the tests shorten.
#include <gtest/gtest.h>

#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/streams/stream_test_util.h"

namespace {

using hx::testing::RecordingSendHandler;
using hx::testing::StreamRig;

using hx::testing::ConfStoreFixture;
using hx::testing::CountRecorder;
using hx::testing::Counts;
using hx::testing::WaitUntil;

class ConfDelete : public ConfStoreFixture {
 protected:
  void SetUp() override {
    ConfStoreFixture::SetUp();
    cm->setDelaysForTest(150, 20);
  }
  bool Exists(int32_t id) {
    HXAutoLock guard(cm->StorageLock());
    return cm->getConferenceNL(id) != nullptr;
  }
  conference::State StateOf(int32_t id) {
    HXAutoLock guard(cm->StorageLock());
    HX_Conference* c = cm->getConferenceNL(id);
    return c != nullptr ? c->getState() : -1;
  }
};

TEST_F(ConfDelete, OneDeletionReportsCountsWithAndThenWithoutTheConference) {
  const int32_t id = Confirmed("a@srv#1");
  SetState(id, 2);
  auto recorder = std::make_shared<CountRecorder>();
  cm->addListener(recorder);
  ASSERT_TRUE(cm->storageConferenceDelete(id, 4));
  EXPECT_EQ(recorder->seen(), (std::vector<Counts>{Counts(0, 0, 1), Counts(0, 0, 0)}));
  EXPECT_FALSE(Exists(id));
  EXPECT_EQ(ActiveId(), 0);
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  EXPECT_EQ(destroyed.destroyed[0], std::make_pair(static_cast<int>(id), std::string("a@srv#1")));
  // A second removal finds nothing.
  EXPECT_FALSE(cm->storageConferenceDelete(id, 1));
}

TEST_F(ConfDelete, TheDeletedSignalNamesTheSidOrTheCallId) {
  struct Names {
    std::vector<std::pair<std::string, int>> seen;
    void On(const char* name, HX_ConferenceDeleted_Result r) { seen.emplace_back(name, r); }
  } names;
  cm->conferenceDeleted.Connect(&names, &Names::On);
  const int32_t verified = Confirmed("v@srv#1");
  const int32_t waiting = Request();
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, waiting));
    lock->setCallId("peer@test.invalid");
  }
  EXPECT_TRUE(cm->storageConferenceDelete(verified, 7));
  EXPECT_TRUE(cm->storageConferenceDelete(waiting, 1));
  EXPECT_EQ(names.seen,
            (std::vector<std::pair<std::string, int>>{{"v@srv#1", 7}, {"peer@test.invalid", 1}}));
  cm->conferenceDeleted.Disconnect(&names, &Names::On);
}

TEST_F(ConfDelete, CloseAllConferences) {
  cm->closeAllConferences();  // empty store: nothing happens
  EXPECT_TRUE(cm->deleteRequests().empty());
  const int32_t a = Confirmed("a@srv#1");
  const int32_t b = Confirmed("b@srv#1");
  // b is already deleted (state 3) and waits for the server: skipped.
  SetState(b, 3);
  cm->closeAllConferences();
  EXPECT_EQ(cm->deleteRequests(), std::vector<std::string>{"a@srv#1"});
  EXPECT_FALSE(Exists(a));
  EXPECT_TRUE(Exists(b));
  EXPECT_EQ(StateOf(b), 3);
}

TEST_F(ConfDelete, ADestroyJobForAnUnknownIdDoesNothing) {
  const int32_t id = Confirmed("a@srv#1");
  cm->destroyConference(id);  // in the table, not in the destroy list
  cm->destroyConference(999);
  EXPECT_TRUE(Exists(id));
  EXPECT_EQ(destroyed.count(), 0u);
  EXPECT_TRUE(cm->sentStatistics().empty());
}

TEST_F(ConfDelete, AVerifiedConferenceWaitsForTheServerUntilTheDeleteTimer) {
  cm->setDeleteAnswer(true);
  const int32_t id = Confirmed("a@srv#1");
  SetState(id, 2);
  EXPECT_TRUE(cm->DeleteConference("a@srv#1", true));
  EXPECT_EQ(cm->deleteRequests(), std::vector<std::string>{"a@srv#1"});
  EXPECT_TRUE(Exists(id));
  EXPECT_EQ(StateOf(id), 3);
  EXPECT_EQ(CountsNow(), Counts(0, 0, 1));
  ASSERT_TRUE(WaitUntil([&] { return !Exists(id); }));
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  EXPECT_EQ(CountsNow(), Counts(0, 0, 0));
}

TEST_F(ConfDelete, TheServersNoticeFirstLeavesTheDeleteTimerNothing) {
  cm->setDelaysForTest(300, 20);
  cm->setDeleteAnswer(true);
  const int32_t id = Confirmed("a@srv#1");
  EXPECT_TRUE(cm->DeleteConference("a@srv#1", true));
  // The server's "ConferenceDeleted" removes it first; a new conference takes the next id.
  EXPECT_TRUE(cm->storageConferenceDelete(id, 2));
  const int32_t next = Confirmed("b@srv#1");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(Exists(next));
  EXPECT_EQ(destroyed.count(), 1u);
}

TEST_F(ConfDelete, ARequestNotQueuedRemovesAtOnce) {
  const int32_t id = Confirmed("a@srv#1");
  EXPECT_FALSE(cm->DeleteConference("a@srv#1", true));
  EXPECT_FALSE(Exists(id));
  // Unverified, told: the hook is asked, its answer ignored.
  const int32_t waiting = Request();
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, waiting));
  EXPECT_TRUE(cm->DeleteConference(lock, true, false));
  EXPECT_FALSE(lock.isLocked());
  EXPECT_FALSE(Exists(waiting));
  EXPECT_EQ(cm->deleteRequests().size(), 2u);
  EXPECT_FALSE(cm->DeleteConference("nobody", true));
}

TEST_F(ConfDelete, DestructionWaitsForRunningStreamsAndReportsStatistics) {
  const int32_t id = Confirmed("a@srv#1");
  std::shared_ptr<HX_SenderBase> sender;
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->mediaStandIn().setAnswer("createSender", true);
    sender = lock->createSender(kMe, "");
    ASSERT_NE(sender, nullptr);
  }
  sender->setStreamConfStat(1000, 2, 4 * 1024);
  sender->setStreamConfStat(11000, 2, 6 * 1024);
  // The sender's connection trial is held: its shutdown cannot complete, and the destruction has
  // to wait for it.
  StreamRig<RecordingSendHandler> rig(sender.get());
  rig.registry.hold = true;
  ASSERT_TRUE(sender->startConnection("key", 0));
  ASSERT_TRUE(cm->storageConferenceDelete(id, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(destroyed.count(), 0u);
  {
    HXAutoLock guard(cm->StorageLock());
    EXPECT_EQ(cm->destroyListSizeNL(), 1u);
  }
  EXPECT_TRUE(sender->isRunning());
  rig.registry.release();
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  const auto sent = cm->sentStatistics();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sid, "a@srv#1");
  EXPECT_EQ(sent[0].login, kMe);
  EXPECT_EQ(sent[0].sentKBytes, 10u);
  EXPECT_EQ(sent[0].base.size, 64u);
}

TEST_F(ConfDelete, StorageClean) {
  auto recorder = std::make_shared<CountRecorder>();
  cm->addListener(recorder);
  EXPECT_TRUE(cm->StorageClean());
  EXPECT_TRUE(recorder->seen().empty());
  Confirmed("a@srv#1");
  recorder->clear();
  EXPECT_TRUE(cm->StorageClean());
  EXPECT_EQ(recorder->seen(), std::vector<Counts>{Counts(0, 0, 0)});
  EXPECT_EQ(ActiveId(), 0);
  EXPECT_EQ(cm->lastConferenceSID(), "");
}

}  // namespace
