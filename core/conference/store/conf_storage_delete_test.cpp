// The conference store's deletion path with the client object's conference manager (its
// "DeleteConference" and "LogPartStat" hooks recording their calls) and a running network loop
// for the delete and destroy jobs, whose delays the tests shorten.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
  // Gives the conference a real send stream with 8 KiB sent over 4 s, whose connection trial
  // the rig holds: until rig->registry.release() its shutdown cannot complete, and it runs.
  std::unique_ptr<StreamRig<RecordingSendHandler>> RunningSender(
      int32_t id, std::shared_ptr<HX_SenderBase>* sender) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    lock->mediaStandIn().setAnswer("createSender", true);
    *sender = lock->createSender(kMe, "");
    lock.Unlock();
    if (!*sender) return nullptr;
    (*sender)->setStreamConfStat(1000, 2, 3 * 1024);
    (*sender)->setStreamConfStat(5000, 2, 5 * 1024);
    auto rig = std::make_unique<StreamRig<RecordingSendHandler>>(sender->get());
    rig->registry.hold = true;
    EXPECT_TRUE((*sender)->startConnection("key", 0));
    return rig;
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

// The first destroy job runs at once when every stream went down at removal, else one retry
// period later. The period is long here, so that either case shows on a loaded machine.
TEST_F(ConfDelete, TheFirstDestroyWaitsOnlyWhenAStreamStayedUp) {
  cm->setDelaysForTest(150, 4000);
  const int32_t down = Confirmed("down@srv#1");
  {
    // A send stream that never started goes down at once.
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, down));
    lock->mediaStandIn().setAnswer("createSender", true);
    ASSERT_NE(lock->createSender(kMe, ""), nullptr);
  }
  ASSERT_TRUE(cm->storageConferenceDelete(down, 1));
  EXPECT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }, 3000));

  const int32_t lingering = Confirmed("up@srv#1");
  std::shared_ptr<HX_SenderBase> sender;
  auto rig = RunningSender(lingering, &sender);
  ASSERT_NE(rig, nullptr);
  ASSERT_TRUE(cm->storageConferenceDelete(lingering, 1));
  // It stops right after the removal, yet the destruction keeps to the retry period.
  rig->registry.release();
  ASSERT_TRUE(WaitUntil([&] { return !sender->isRunning(); }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(destroyed.count(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return destroyed.count() == 2; }, 10000));
}

TEST_F(ConfDelete, LogoutTearsDownAConferenceWithRunningStreams) {
  const int32_t id = Confirmed("a@srv#1");
  SetState(id, 2);
  std::shared_ptr<HX_SenderBase> sender;
  auto rig = RunningSender(id, &sender);
  ASSERT_NE(rig, nullptr);
  client->OnLogout(0, 0);
  EXPECT_EQ(cm->deleteRequests(), std::vector<std::string>{"a@srv#1"});
  EXPECT_FALSE(Exists(id));
  EXPECT_TRUE(sender->isRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(destroyed.count(), 0u);
  EXPECT_TRUE(cm->sentStatistics().empty());
  rig->registry.release();
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  ASSERT_EQ(cm->sentStatistics().size(), 1u);
  EXPECT_EQ(cm->sentStatistics()[0].sentKBytes, 8u);
  // A send stream and no receive stream: the jitter of none is 0.
  EXPECT_EQ(cm->sentStatistics()[0].base.jitter, 0u);
}

// Three threads keep working on the conference through the store (filters that switch the
// capture, the start notice, shutdown notices, new receive streams, the pool's statistics) while
// it is deleted and its send stream stops from another thread. Every round ends with the
// conference destroyed once and reported once, the store holding nothing of it.
TEST_F(ConfDelete, EndsWhileOtherThreadsUseTheConference) {
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const std::string sid = "r" + std::to_string(round) + "@srv#1";
    const int32_t id = Confirmed(sid);
    SetState(id, 2);
    std::shared_ptr<HX_SenderBase> sender;
    auto rig = RunningSender(id, &sender);
    ASSERT_NE(rig, nullptr);
    const size_t destroyedBefore = destroyed.count();
    const size_t reportsBefore = cm->sentStatistics().size();

    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&, t] {
        for (int i = 0; !stop.load(); ++i) {
          ConferenceLock lock;
          if (!cm->getConferenceLock(lock, id)) continue;
          switch (t) {
            case 0:
              lock->setListenersFilter(i % 2 == 0 ? 0x100 : 0xF00);
              lock->onSenderStart();
              break;
            case 1:
              lock->onReceiverShuttedDown("bob@test.invalid");
              lock->mediaStandIn().setAnswer("createReceiver", true);
              lock->createReceiver(kMe, "peer" + std::to_string(i % 5) + "@test.invalid");
              break;
            default: {
              stream::TConferenceStatistics pool;
              lock->getRcvPoolStatistics(pool);
              lock->getRunningReceiversCount();
              break;
            }
          }
        }
      });
    }
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 7));
      rig->registry.release();
    });
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      cm->DeleteConference(lock, true, true);
    }
    stopper.join();
    ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == destroyedBefore + 1; }));
    stop = true;
    for (auto& user : users) user.join();
    EXPECT_EQ(cm->sentStatistics().size(), reportsBefore + 1);
    EXPECT_FALSE(Exists(id));
    HXAutoLock guard(cm->StorageLock());
    EXPECT_EQ(cm->destroyListSizeNL(), 0u);
  }
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
