// A host thread reads the active conference through the shared state's wrapper (SID, name,
// participant list, roles) while the network loop's thread creates, commits, renames, lists and
// deletes conferences. Built for ThreadSanitizer too (build/tsan): the readers must hold the
// store's write lock, under which every one of those fields changes.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>

#include "core/base/stored_task.h"
#include "core/client/fsm_shared.h"
#include "core/conference/store/conf_store_test_util.h"

namespace {

using hx::testing::ConfStoreFixture;
using hx::testing::WaitUntil;

class FunctionTask : public HXStoredTask {
 public:
  explicit FunctionTask(std::function<void()> f) : m_f(std::move(f)) {}
  void Execute() override { m_f(); }

 private:
  std::function<void()> m_f;
};

class ActiveConferenceReaders : public ConfStoreFixture {};

TEST_F(ActiveConferenceReaders, HostThreadReadsWhileTheLoopChangesConferences) {
  constexpr int kRounds = 150;
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  HX_ConfManager* store = cm;
  auto writer = [store, &done, &rounds] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string sid = "room" + std::to_string(i) + "@srv#1";
      ConferenceLock lock;
      if (!store->storageRequestCreateConferenceLock(lock, ("name" + std::to_string(i)).c_str(), "",
                                                     kMe, 16, 0, 5, 3, 0, nullptr, false)) {
        break;
      }
      const int32_t id = lock->getId();
      store->storageCreateConferenceCommit(lock, sid.c_str(), 1);
      lock->addPeer("guest@t", 4);
      lock->setState(lock, 2);
      conference::PartInfo part;
      part.role = 2;
      const conference::PartInfoMap list{{"guest@t/1", part}, {"other@t", part}, {kMe, part}};
      conference::ParticipantListUpdateInfo info;
      lock->setConferenceIdList(list, 0, info);
      lock->renamePeer("other@t", "other@t/2");
      store->setConferenceSidNL(lock.conference(), sid + "x", "");
      lock.Unlock();
      store->storageConferenceDelete(id, 1);
      ++rounds;
    }
    done = true;
  };
  ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new FunctionTask(writer), 0));

  HXFSMShared* fsm = client->getFSM();
  size_t reads = 0;
  std::set<std::string> names;
  while (!done.load()) {
    const std::string sid = fsm->GetConferenceSID();
    const std::string name = fsm->GetConferenceName();
    const std::set<conference::PeerId> ids = fsm->GetConferenceIdList();
    const int32_t role = fsm->GetConferenceIdRole("other@t/2");
    const int32_t leader = fsm->getConferenceIdLeaderType("guest@t/1");
    (void)fsm->GetConferenceType();
    (void)fsm->CastConferenceType();
    (void)fsm->GetConferenceOwner();
    if (!name.empty()) names.insert(name);
    // Whatever moment the reader caught, the answers describe one consistent conference.
    if (!sid.empty()) EXPECT_EQ(sid.compare(0, 4, "room"), 0);
    EXPECT_TRUE(role == -1 || role == 1 || role == 2 || role == 0) << role;
    EXPECT_TRUE(leader == 0 || leader == 3) << leader;
    EXPECT_LE(ids.size(), 3u);
    ++reads;
  }
  EXPECT_EQ(rounds.load(), kRounds);
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(fsm->GetConferenceSID(), "");
}

}  // namespace
