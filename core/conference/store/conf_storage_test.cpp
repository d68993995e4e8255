// The conference store inside the client object's conference manager, with the test platform's
// shared state (a signed-in login) and a running network loop for its jobs: creation and commit,
// counts and their listeners, the active conference and its election, the lookups.
#include "core/conference/store/conf_storage.h"

#include <gtest/gtest.h>

#include "core/base/cpu_load.h"
#include "core/conference/store/conf_store_test_util.h"

namespace {

using hx::testing::ConfStoreFixture;
using hx::testing::CountRecorder;
using hx::testing::Counts;
using hx::testing::WaitUntil;

class ConfStorage : public ConfStoreFixture {};

TEST_F(ConfStorage, CreationReportsOneRequestedToEveryListener) {
  auto a = std::make_shared<CountRecorder>();
  auto b = std::make_shared<CountRecorder>();
  cm->addListener(a);
  cm->addListener(b);
  const int32_t id = Request();
  EXPECT_EQ(ActiveId(), id);
  EXPECT_EQ(a->seen(), std::vector<Counts>{Counts(1, 0, 0)});
  EXPECT_EQ(b->seen(), std::vector<Counts>{Counts(1, 0, 0)});
  // A requested conference is not in the SID index until it is confirmed.
  ConferenceLock lock;
  EXPECT_FALSE(cm->getConferenceLock(lock, std::string("")));
  EXPECT_FALSE(lock.isLocked());
}

TEST_F(ConfStorage, JoinedReplacesRequestedActiveNeverTheReverse) {
  const int32_t first = Request();
  const int32_t second = Confirmed("b@srv#1");
  EXPECT_EQ(ActiveId(), first);
  SetState(second, 2);
  EXPECT_EQ(ActiveId(), second);
  // A requested conference never takes over from a joined one; another joined one neither.
  const int32_t third = Request();
  SetState(first, 2);
  EXPECT_EQ(ActiveId(), second);
  EXPECT_NE(third, second);
  EXPECT_EQ(CountsNow(), Counts(1, 2, 0));
}

TEST_F(ConfStorage, DeletingTheActiveConferenceElects) {
  struct Case {
    const char* name;
    // Conferences in id order: (verified, state) after the active one (state 2) is made.
    std::vector<std::pair<bool, int>> others;
    int expectedIndex;  // index into others, -1 none
  } cases[] = {
      {"lowest joined wins", {{false, 1}, {true, 2}, {true, 2}}, 1},
      {"verified requested beats unverified", {{false, 1}, {true, 1}, {true, 1}}, 1},
      {"lowest requested otherwise", {{false, 1}, {false, 1}}, 0},
      {"none", {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cm->StorageClean();
    const int32_t active = Confirmed(std::string("active@srv#") + c.name);
    SetState(active, 2);
    std::vector<int32_t> ids;
    for (size_t i = 0; i < c.others.size(); ++i) {
      const auto& [verified, state] = c.others[i];
      const int32_t id =
          verified ? Confirmed("o" + std::to_string(i) + "@srv#" + c.name) : Request();
      if (state == 2) SetState(id, 2);
      ids.push_back(id);
    }
    ASSERT_EQ(ActiveId(), active);
    ASSERT_TRUE(cm->storageConferenceDelete(active, 1));
    EXPECT_EQ(ActiveId(), c.expectedIndex < 0 ? 0 : ids[c.expectedIndex]);
  }
}

TEST_F(ConfStorage, ADestroyedListenerIsNeverCalled) {
  // The client object's own two listeners are registered already.
  const size_t before = cm->listeners().size();
  auto kept = std::make_shared<CountRecorder>();
  auto gone = std::make_shared<CountRecorder>();
  cm->addListener(gone);
  cm->addListener(kept);
  std::weak_ptr<CountRecorder> weak = gone;
  gone.reset();
  ASSERT_TRUE(weak.expired());
  Request();
  EXPECT_EQ(kept->seen().size(), 1u);
  EXPECT_EQ(cm->listeners().size(), before + 1);
}

TEST(ConfStorageListeners, IdsSkipZeroWhenTheyWrapAndSkipLiveOnes) {
  // A bare conference manager: no client object has registered listeners in it.
  HX_ConfManager manager("CONFERENCE_LISTENER_IDS", nullptr, nullptr);
  manager.setListenerSequence(0xFFFFFFFE);
  auto a = std::make_shared<CountRecorder>();
  auto b = std::make_shared<CountRecorder>();
  auto c = std::make_shared<CountRecorder>();
  EXPECT_EQ(manager.addListener(a), 0xFFFFFFFFu);
  EXPECT_EQ(manager.addListener(b), 1u);
  // The same listener again keeps its id.
  EXPECT_EQ(manager.addListener(a), 0xFFFFFFFFu);
  // Id 1 is taken by a live listener: skipped.
  manager.setListenerSequence(0);
  EXPECT_EQ(manager.addListener(c), 2u);
  // Id 1 of a listener that is gone is reused.
  b.reset();
  auto d = std::make_shared<CountRecorder>();
  manager.setListenerSequence(0);
  EXPECT_EQ(manager.addListener(d), 1u);
  EXPECT_EQ(manager.listeners().size(), 3u);
}

TEST_F(ConfStorage, AnOvertakenNotificationIsDropped) {
  auto recorder = std::make_shared<CountRecorder>();
  const int32_t id = Confirmed("x@srv#1");
  cm->addListener(recorder);
  struct Creator {
    ConfStoreFixture* fixture;
    HX_ConfManager* cm;
    int calls = 0;
    void OnDeleted(const char*, HX_ConferenceDeleted_Result) {
      if (calls++ != 0) return;
      ConferenceLock lock;
      EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "next", "", "me@test.invalid", 16, 0,
                                                         5, 0, 0, nullptr, false));
    }
  } creator{this, cm};
  cm->conferenceDeleted.Connect(&creator, &Creator::OnDeleted);
  ASSERT_TRUE(cm->storageConferenceDelete(id, 1));
  // The deleted counts, then the new conference; never the overtaken (0, 0, 0).
  EXPECT_EQ(recorder->seen(), (std::vector<Counts>{Counts(0, 0, 1), Counts(1, 0, 0)}));
  cm->conferenceDeleted.Disconnect(&creator, &Creator::OnDeleted);
}

TEST_F(ConfStorage, ARefusedCommitOfTheActiveConferenceElectsAnotherAndIsDestroyed) {
  auto recorder = std::make_shared<CountRecorder>();
  cm->addListener(recorder);
  ConferenceLock lock;
  ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "first", "", kMe, 16, 0, 5, 0, 0,
                                                     nullptr, false));
  const int32_t refused = lock->getId();
  lock.Unlock();
  const int32_t other = Request();
  ASSERT_EQ(ActiveId(), refused);

  ASSERT_TRUE(cm->getConferenceLock(lock, refused));
  EXPECT_FALSE(cm->storageCreateConferenceCommit(lock, "first@srv#1", 3));
  EXPECT_FALSE(lock.isLocked());
  // The active pointer moved to the other conference at once, not to a conference being freed.
  EXPECT_EQ(ActiveId(), other);
  ASSERT_TRUE(WaitUntil([&] { return destroyed.count() == 1; }));
  EXPECT_EQ(destroyed.destroyed[0].first, refused);
  {
    // Reading the active conference after the destroy job ran touches live memory only.
    ConferenceLock reader;
    ASSERT_TRUE(cm->activeConferenceRLock(reader));
    EXPECT_EQ(reader->getName(), "room");
  }
  EXPECT_EQ(CountsNow(), Counts(1, 0, 0));
  EXPECT_EQ(recorder->seen().back(), Counts(1, 0, 0));
  HXAutoLock guard(cm->StorageLock());
  EXPECT_EQ(cm->getConferenceNL(refused), nullptr);
  EXPECT_EQ(cm->destroyListSizeNL(), 0u);
}

TEST_F(ConfStorage, ACommitConfirmsOnceAndIndexesTheSid) {
  ConferenceLock lock;
  ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kMe, 16, 0, 5, 0, 0, nullptr,
                                                     false));
  const int32_t id = lock->getId();
  EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, "room@host#7", 1));
  EXPECT_TRUE(lock.isLocked());
  EXPECT_TRUE(lock->isVerified());
  EXPECT_EQ(lock->getDomain(), "host");
  EXPECT_EQ(lock->getServerId(), "host#7");
  // A second commit of a verified conference fails and releases the lock.
  EXPECT_FALSE(cm->storageCreateConferenceCommit(lock, "other", 1));
  EXPECT_FALSE(lock.isLocked());
  EXPECT_TRUE(cm->getConferenceLock(lock, std::string("room@host#7")));
  EXPECT_EQ(lock->getId(), id);
  lock.Unlock();
  EXPECT_EQ(cm->lastConferenceSID(), "room@host#7");
  EXPECT_TRUE(cm->isConferencesOnServer("host#7"));
  EXPECT_FALSE(cm->isConferencesOnServer("host"));
  // Renaming through the store moves the index entry.
  {
    HXAutoLock guard(cm->StorageLock());
    cm->setConferenceSidNL(cm->getConferenceNL(id), "new@host", "");
    EXPECT_EQ(cm->getConferenceNL(std::string("room@host#7")), nullptr);
    EXPECT_EQ(cm->getConferenceNL(std::string("new@host"))->getId(), id);
    cm->setConferenceSidNL(cm->getConferenceNL(id), "", "");
    EXPECT_EQ(cm->getConferenceNL(std::string("new@host")), nullptr);
  }
}

TEST_F(ConfStorage, ForeignConferenceIsVerifiedInvitedAndUnanswered) {
  ConferenceLock lock;
  ASSERT_TRUE(cm->storageCreateForeignConferenceLock(
      lock, "call@srv#2", "call", "", "peer@test.invalid", 2, 0, 0, 0, 0, nullptr, false));
  EXPECT_EQ(lock->flags() & 0x10080008u, 0x10080008u);
  EXPECT_EQ(lock->getState(), 1);
  EXPECT_FALSE(lock->isOwner(1));
  ASSERT_NE(lock->getPeer("peer@test.invalid"), nullptr);
  EXPECT_EQ(lock->getPeer("peer@test.invalid")->getPeerState(), 0);
  lock.Unlock();
  EXPECT_EQ(cm->lastConferenceSID(), "call@srv#2");
}

TEST_F(ConfStorage, LookupsOverThreeConferences) {
  // 1: own group conference, requested with CreateConference (flag 0x10), call id "room-1".
  // 2: foreign private call, verified, with the peer "p@test".
  // 3: group conference over multicast without an owner, unverified, flag 0x40.
  ConferenceLock lock;
  ASSERT_TRUE(
      cm->storageRequestCreateConferenceLock(lock, "r", "", kMe, 16, 0, 5, 0, 0, nullptr, false));
  const int32_t own = lock->getId();
  lock->flagOr(0x10);
  lock->setCallId("room-1");
  lock.Unlock();
  ASSERT_TRUE(cm->storageCreateForeignConferenceLock(lock, "c@srv#1", "c", "", "p@test", 2, 0, 0, 0,
                                                     0, nullptr, false));
  const int32_t call = lock->getId();
  lock.Unlock();
  ASSERT_TRUE(
      cm->storageRequestCreateConferenceLock(lock, "m", "", "", 16, 0, 6, 0, 0, nullptr, false));
  const int32_t mcast = lock->getId();
  lock->flagOr(0x40);
  lock.Unlock();

  struct Row {
    const char* name;
    std::function<bool(ConferenceLock&)> find;
    int32_t expected;  // 0: nothing
  } rows[] = {
      {"any conference: first",
       [&](ConferenceLock& l) { return cm->getConferenceByTypeCountLock(l, 0x1002, 0) == 3; }, own},
      {"group conferences",
       [&](ConferenceLock& l) { return cm->getConferenceByTypeCountLock(l, 0x1001, 0) == 2; }, own},
      {"exact type 6",
       [&](ConferenceLock& l) { return cm->getConferenceByTypeCountLock(l, 6, 0) == 1; }, mcast},
      {"foreign any",
       [&](ConferenceLock& l) { return cm->getConferenceByTypeCountLock(l, 0x1002, 2) == 2; },
       call},
      {"own type 0",
       [&](ConferenceLock& l) { return cm->getConferenceByTypeCountLock(l, 0, 1) != 0; }, 0},
      {"state 1", [&](ConferenceLock& l) { return cm->getConferenceAtStateLock(l, 1); }, own},
      {"state 2", [&](ConferenceLock& l) { return cm->getConferenceAtStateLock(l, 2); }, 0},
      {"waiting (flag 0x10, own)",
       [&](ConferenceLock& l) { return cm->getWaitingConferenceLock(l); }, own},
      {"unverified no owner with 0x40",
       [&](ConferenceLock& l) { return cm->getUnverifiedConfNoOwnerLock(l, 0x40); }, mcast},
      {"unverified no owner with 0x80",
       [&](ConferenceLock& l) { return cm->getUnverifiedConfNoOwnerLock(l, 0x80); }, 0},
      {"unverified with owner",
       [&](ConferenceLock& l) { return cm->getUnverifiedConfWithOwnerLock(l); }, 0},
      {"call id own",
       [&](ConferenceLock& l) {
         return cm->getWaitingConferenceByCallIdLock(l, "room-1", 1, 0x1002);
       },
       own},
      {"call id foreign",
       [&](ConferenceLock& l) {
         return cm->getWaitingConferenceByCallIdLock(l, "room-1", 2, 0x1002);
       },
       0},
      {"call id type 0",
       [&](ConferenceLock& l) { return cm->getWaitingConferenceByCallIdLock(l, "room-1", 0, 0); },
       0},
      {"call id case",
       [&](ConferenceLock& l) {
         return cm->getWaitingConferenceByCallIdLock(l, "ROOM-1", 0, 0x1002);
       },
       0},
      {"by SID",
       [&](ConferenceLock& l) { return cm->getConferenceLock(l, std::string("c@srv#1")); }, call},
      {"by id", [&](ConferenceLock& l) { return cm->getConferenceLock(l, mcast); }, mcast},
      {"by unknown id", [&](ConferenceLock& l) { return cm->getConferenceLock(l, 99); }, 0},
      {"active (write)", [&](ConferenceLock& l) { return cm->activeConferenceWLock(l); }, own},
      {"active (read)", [&](ConferenceLock& l) { return cm->activeConferenceRLock(l); }, own},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ConferenceLock l;
    const bool found = row.find(l);
    EXPECT_EQ(found, row.expected != 0);
    EXPECT_EQ(l.isLocked(), found);
    if (found) EXPECT_EQ(l->getId(), row.expected);
  }
  HXAutoLock guard(cm->StorageLock());
  conference::Peer* peer = nullptr;
  EXPECT_EQ(cm->getConferenceByPeerNL("p@test", 0x1002, &peer)->getId(), call);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(peer->getId(), "p@test");
  EXPECT_EQ(cm->getConferenceByPeerNL("p@test", 0x1001), nullptr);
  EXPECT_EQ(cm->getConferenceByPeerNL(nullptr, 0x1002), nullptr);
  EXPECT_EQ(cm->getConferenceByTypeNL(5, true)->getId(), own);
  EXPECT_EQ(cm->getConferenceByTypeNL(0, false)->getId(), call);
  EXPECT_EQ(cm->getConferenceByTypeNL(0, true), nullptr);
  EXPECT_EQ(cm->currConferenceType(), 5);
}

TEST_F(ConfStorage, UniqIdReadsOnlyABoundedLeadingNumber) {
  const int32_t first = Request();
  const int32_t second = Request();
  ASSERT_EQ(first, 1);
  ASSERT_EQ(second, 2);
  struct Row {
    const char* text;
    int32_t expected;
  } rows[] = {
      {"2", 2},          {" 2", 2},          {"2abc", 2},
      {"+1", 1},         {"0002", 2},        {"", 0},
      {"abc", 0},        {"-", 0},           {"-2", 0},
      {"3", 0},          {"4294967298", 0},  {"99999999999999999999999999", 0},
      {"2147483648", 0}, {"-2147483649", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ConferenceLock lock;
    const bool found = cm->getWaitingConferenceByUniqId(lock, row.text, 0x1002);
    EXPECT_EQ(found, row.expected != 0);
    EXPECT_EQ(lock.isLocked(), found);
    if (found) EXPECT_EQ(lock->getId(), row.expected);
  }
  ConferenceLock lock;
  EXPECT_FALSE(cm->getWaitingConferenceByUniqId(lock, nullptr, 0x1002));
}

TEST_F(ConfStorage, DefaultsAreCopiedIntoNewConferences) {
  conference::DefaultParams defaults;
  defaults.common.audioOnly = true;
  defaults.common.setMcastRedundancy(3, 7);
  defaults.fecc.setMyState(2);
  cm->setConferenceDefaults(defaults);
  const conference::DefaultParams back = cm->getConferenceDefaults();
  uint32_t second = 0;
  EXPECT_EQ(back.common.getMcastRedundancy(&second), 3u);
  EXPECT_EQ(second, 7u);
  EXPECT_EQ(back.fecc.getMyState(), 2);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, Request()));
  EXPECT_EQ(lock->getMcastRedundancy(), 3u);
}

class CountingMeter : public HXCpuLoad {
 public:
  bool Calc() override {
    ++calcs;
    return true;
  }
  int GetCpuLoad() override { return 42; }
  void Reset() override { ++resets; }
  std::atomic<int> calcs{0};
  std::atomic<int> resets{0};
};

TEST_F(ConfStorage, CpuLoadIsMeasuredWhileAConferenceIsActive) {
  auto meter = std::make_shared<CountingMeter>();
  cm->setCpuLoadMeasurer(meter);
  // Without an active conference the first run only resets the meter.
  ASSERT_TRUE(WaitUntil([&] { return meter->resets.load() >= 1; }));
  EXPECT_EQ(meter->calcs.load(), 0);
  const int32_t id = Request();
  // Becoming active measures at once.
  EXPECT_EQ(meter->calcs.load(), 1);
  EXPECT_EQ(cm->getCpuLoad(), 42);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_EQ(lock->getCpuLoadCount(), 1u);
  EXPECT_EQ(lock->getCpuLoadSum(), 42u);
  lock.Unlock();
  cm->setCpuLoadMeasurer(nullptr);
}

}  // namespace
