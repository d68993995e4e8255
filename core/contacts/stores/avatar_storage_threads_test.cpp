// The avatar store used by its three threads at once, as in the client: a host thread reading
// pictures and thumbnails, a loop thread storing pictures and thumbnails and confirming pictures
// unchanged, and the downloader running tasks that ask whether a refresh is due, read the hash and
// stamp the fetch time. Built with ThreadSanitizer it must stay quiet; in every build each picture
// read is one that was stored, whole. Real SQLite file in a temporary folder.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/base/stored_task.h"
#include "core/contacts/stores/avatar_storage.h"
#include "testing/test_support.h"

namespace {

constexpr int kUsers = 6;
constexpr int kTasks = 12;
constexpr int kMinRounds = 120;
constexpr int kWaitMs = 60000;

std::string Peer(int user) { return "user" + std::to_string(user) + "@x"; }

// Version v of a user's picture: its length tells the version, its bytes the user.
std::string Picture(int user, int version) {
  std::string bytes(static_cast<size_t>(100 + version), '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + user + i * 3);
  return bytes;
}

std::string BytesOf(const hx::Avatar& avatar) {
  return avatar.empty() ? std::string()
                        : std::string(reinterpret_cast<const char*>(avatar.data()), avatar.size());
}

// Whether `avatar` is empty or a whole version of `user`'s picture.
bool Whole(const hx::Avatar& avatar, int user) {
  if (avatar.empty()) return true;
  if (avatar.size() < 100) return false;
  return BytesOf(avatar) == Picture(user, static_cast<int>(avatar.size()) - 100);
}

// What the client's download task does with the store.
class FetchTask : public HXStoredTask {
 public:
  FetchTask(HX_AvatarStorage* store, int user, std::atomic<int>* ran)
      : m_store(store), m_user(user), m_ran(ran) {}
  void Execute() override {
    const std::string peer = Peer(m_user);
    if (m_store->isAvatarRefreshRequired(peer.c_str())) {
      m_store->GetAvatarHash(peer.c_str());
      m_store->SetAvatarFetchTime(peer.c_str());
    }
    m_ran->fetch_add(1);
  }

 private:
  HX_AvatarStorage* m_store;
  int m_user;
  std::atomic<int>* m_ran;
};

TEST(AvatarStorageThreadsTest, HostLoopAndDownloaderShareTheStore) {
  hx::testing::TempDir temp;
  HX_AvatarStorage store;
  ASSERT_TRUE(store.InitAvatarList("me@x", (temp.path() + "/").c_str()));
  store.startAvatarDownloader();

  std::atomic<int> ran{0};
  std::atomic<bool> loopDone{false};
  std::atomic<bool> giveUp{false};
  std::atomic<int> torn{0};
  for (int i = 0; i < kTasks; ++i) {
    store.ScheduleAvatarTask(new FetchTask(&store, i % kUsers, &ran), false);
  }
  std::thread loop([&] {
    // Stores until every download task has run, so that the three threads overlap.
    for (int round = 0; round < kMinRounds || (ran.load() < kTasks && !giveUp.load()); ++round) {
      const int user = round % kUsers;
      const std::string peer = Peer(user);
      const std::string picture = Picture(user, round);
      store.SetAvatar(peer.c_str(), picture.data(), picture.size(), round, "image/png");
      store.SetThumbnail(peer.c_str(), picture.data(), picture.size(), 16, 16);
      if (round % 5 == 0) store.UpdateAvatarLastWriteTime(peer.c_str(), 0);
      if (round % 7 == 0) store.DelAvatar(peer.c_str());
    }
    loopDone.store(true);
  });
  std::thread host([&] {
    for (int round = 0; !loopDone.load(); ++round) {
      const int user = round % kUsers;
      const std::string peer = Peer(user);
      if (!Whole(store.GetAvatar(peer.c_str(), round % 2 == 0), user)) torn.fetch_add(1);
      if (!Whole(store.GetThumbnail(peer.c_str(), 16, 16), user)) torn.fetch_add(1);
    }
  });
  const bool allRan = hx::testing::WaitFor([&] { return ran.load() == kTasks; }, kWaitMs);
  giveUp.store(true);
  loop.join();
  host.join();
  store.stopAvatarDownloader(true);
  EXPECT_TRUE(allRan);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
