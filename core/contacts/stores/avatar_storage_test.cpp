// The avatar store against real SQLite files in a temporary folder, with a set wall clock: the
// refresh rules at their boundaries, the size limit, thumbnails and their age, restarts (a new
// store on the same file), damaged rows written with the sqlite3 tool (read through the store's
// own scratch buffer, so AddressSanitizer sees any read past it), and the downloader's due times
// and its start and stop, observed through tasks that record when they run.

#include "core/contacts/stores/avatar_storage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/event.h"
#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/base/wall_clock.h"
#include "core/contacts/contacts_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::contacts_testing::Rows;
using hx::contacts_testing::UpperMd5;

constexpr int64_t kT0 = 1700000000;
constexpr int64_t kDay = 86400;
constexpr const char* kMe = "me@example.org";
constexpr uint64_t kMax = hx::Avatar::kMaxSize;
constexpr int kWaitMs = 20000;

std::string Pattern(size_t n, char seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

std::string BytesOf(const hx::Avatar& avatar) {
  return avatar.empty() ? std::string()
                        : std::string(reinterpret_cast<const char*>(avatar.data()), avatar.size());
}

// ---- hx::Avatar

class AvatarValueTest : public ::testing::Test {
 protected:
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride use_{clock_.Source()};
};

TEST_F(AvatarValueTest, BytesAreKeptOnlyWithinTheLimit) {
  const std::string big = Pattern(kMax + 1, 'b');
  struct Case {
    const char* what;
    const void* bytes;
    uint64_t size;
    uint64_t kept;
  };
  const Case cases[] = {
      {"no bytes", nullptr, 5, 0},
      {"size 0", big.data(), 0, 0},
      {"one byte", big.data(), 1, 1},
      {"the limit", big.data(), kMax, kMax},
      {"one above the limit", big.data(), kMax + 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hx::Avatar avatar("old", "xyz", 3, 9);
    avatar.setNextFetch(11);
    avatar.set("bob", c.bytes, c.size, 123, -7);
    EXPECT_EQ(avatar.peerId(), "bob");
    EXPECT_EQ(avatar.size(), c.kept);
    EXPECT_EQ(BytesOf(avatar), big.substr(0, c.kept));
    EXPECT_EQ(avatar.data() == nullptr, c.kept == 0);
    EXPECT_EQ(avatar.lastWrite(), 123u);
    EXPECT_EQ(avatar.nextFetch(), 0u);
    EXPECT_EQ(avatar.hash(), -7);
  }
  // The constructor has no limit; a null id is empty.
  const hx::Avatar made(nullptr, big.data(), kMax + 1, 5);
  EXPECT_EQ(made.peerId(), "");
  EXPECT_EQ(BytesOf(made), big);
}

TEST_F(AvatarValueTest, CopiesAreDeepAndMovesEmptyTheSource) {
  hx::Avatar original("bob", "abc", 3, 100);
  original.setNextFetch(200);
  original.setHash(42);
  const hx::Avatar copy(original);
  EXPECT_NE(copy.data(), original.data());
  hx::Avatar assigned;
  assigned = original;
  for (const hx::Avatar* avatar : {&copy, static_cast<const hx::Avatar*>(&assigned)}) {
    EXPECT_EQ(avatar->peerId(), "bob");
    EXPECT_EQ(BytesOf(*avatar), "abc");
    EXPECT_EQ(avatar->lastWrite(), 100u);
    EXPECT_EQ(avatar->nextFetch(), 200u);
    EXPECT_EQ(avatar->hash(), 42);
  }
  const hx::Avatar moved(std::move(original));
  EXPECT_EQ(BytesOf(moved), "abc");
  EXPECT_EQ(moved.nextFetch(), 200u);
  EXPECT_EQ(moved.hash(), 42);
  EXPECT_EQ(original.data(), nullptr);  // NOLINT(bugprone-use-after-move): the moved-from state
  EXPECT_EQ(original.size(), 0u);
  EXPECT_EQ(original.lastWrite(), 0u);
  EXPECT_EQ(original.nextFetch(), 0u);
  EXPECT_EQ(original.hash(), 0);
  hx::Thumbnail thumbnail("bob", "ab", 2, 7, 16, 9);
  const hx::Thumbnail thumbCopy(thumbnail);
  EXPECT_EQ(BytesOf(thumbCopy), "ab");
  EXPECT_EQ(thumbCopy.width(), 16u);
  EXPECT_EQ(thumbCopy.height(), 9u);
  thumbnail.clear();
  EXPECT_TRUE(thumbnail.empty());
  EXPECT_EQ(thumbnail.peerId(), "");
  EXPECT_EQ(BytesOf(thumbCopy), "ab");
}

TEST_F(AvatarValueTest, FreshForADayThenNotBeforeTheNextFetch) {
  struct Case {
    int64_t lastWrite;
    int64_t nextFetch;
    bool expired;
    bool refresh;
  };
  const Case cases[] = {
      {kT0 - kDay + 1, 0, false, false},
      {kT0 - kDay, 0, true, true},
      {kT0 - kDay, kT0 + 1, true, false},
      {kT0 - kDay, kT0, true, true},
      // A last write in the future (the clock went back): fresh, and no wrap near the top.
      {kT0 + 5, 0, false, false},
      {INT64_MAX, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lastWrite - kT0) + " / " + std::to_string(c.nextFetch));
    hx::Avatar avatar("bob", nullptr, 0, static_cast<uint64_t>(c.lastWrite));
    avatar.setNextFetch(static_cast<uint64_t>(c.nextFetch));
    EXPECT_EQ(avatar.expired(), c.expired);
    EXPECT_EQ(avatar.isRefreshRequired(), c.refresh);
  }
  const hx::Avatar avatar("bob", nullptr, 0, kT0 - 10);
  EXPECT_FALSE(avatar.expired(11));
  EXPECT_TRUE(avatar.expired(10));
  EXPECT_FALSE(avatar.expired(UINT64_MAX));
}

// ---- HX_AvatarStorage

class AvatarStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + UpperMd5(kMe) + ".avatar.sqlite"; }
  std::string Tool(const std::string& sql) { return Rows(sqlite3_, File(), sql); }
  // A store opened on the user's file, as after a start of the client.
  std::unique_ptr<HX_AvatarStorage> Opened() {
    auto store = std::make_unique<HX_AvatarStorage>();
    EXPECT_TRUE(store->InitAvatarList(kMe, Dir().c_str()));
    return store;
  }

  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride use_{clock_.Source()};
  hx::testing::TempDir temp_;
  std::string sqlite3_;
};

TEST_F(AvatarStorageTest, OpensTheUsersFile) {
  HX_AvatarStorage store;
  EXPECT_FALSE(store.IsOpen());
  ASSERT_TRUE(store.InitAvatarList(kMe, Dir().c_str()));
  EXPECT_TRUE(hx::storage_testing::Exists(File()));
  EXPECT_EQ(Tool("PRAGMA user_version; SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;"),
            "11\navatars\nthumbnails\n");
}

TEST_F(AvatarStorageTest, UnknownUsersArePlaceholdersThatNeedARefresh) {
  auto store = Opened();
  for (const bool cacheOnly : {true, false}) {
    SCOPED_TRACE(cacheOnly);
    const std::string peer = cacheOnly ? "bob@x" : "carol@x";
    const hx::Avatar avatar = store->GetAvatar(peer.c_str(), cacheOnly);
    EXPECT_EQ(avatar.peerId(), peer);
    EXPECT_TRUE(avatar.empty());
    EXPECT_EQ(avatar.lastWrite(), static_cast<uint64_t>(kT0 - kDay));
    EXPECT_TRUE(avatar.isRefreshRequired());
    EXPECT_TRUE(store->isAvatarRefreshRequired(peer.c_str()));
    EXPECT_EQ(store->GetAvatarHash(peer.c_str()), 0);
  }
  // isAvatarRefreshRequired caches a placeholder too; the fetch stamp holds a refresh back for
  // 1800 s, and only for users in the cache.
  EXPECT_TRUE(store->isAvatarRefreshRequired("dan@x"));
  store->SetAvatarFetchTime("dan@x");
  store->SetAvatarFetchTime("eve@x");
  EXPECT_FALSE(store->isAvatarRefreshRequired("dan@x"));
  EXPECT_FALSE(store->GetAvatar("dan@x", true).isRefreshRequired());
  EXPECT_TRUE(store->isAvatarRefreshRequired("eve@x"));
  clock_.Advance(1799);
  EXPECT_FALSE(store->isAvatarRefreshRequired("dan@x"));
  clock_.Advance(1);
  EXPECT_TRUE(store->isAvatarRefreshRequired("dan@x"));
  // Placeholders stay in memory.
  EXPECT_EQ(Tool("SELECT count(*) FROM avatars;"), "0\n");
}

TEST_F(AvatarStorageTest, AStoredPictureIsFreshForADayAndSurvivesARestart) {
  const std::string pic = Pattern(1000, 'p');
  {
    auto store = Opened();
    store->SetAvatar("bob@x", pic.data(), pic.size(), -5, "image/png");
    const hx::Avatar avatar = store->GetAvatar("bob@x", true);
    EXPECT_EQ(BytesOf(avatar), pic);
    EXPECT_EQ(avatar.lastWrite(), static_cast<uint64_t>(kT0));
    EXPECT_EQ(avatar.hash(), -5);
    EXPECT_EQ(store->GetAvatarHash("bob@x"), -5);
    EXPECT_EQ(Tool("SELECT PeerId, PicMime, PicHash, PicSize, length(CAST(Pic AS BLOB)), LastWrite, "
                   "LastRead FROM avatars;"),
              "bob@x|image/png|-5|1000|1000|" + std::to_string(kT0) + "|" + std::to_string(kT0) +
                  "\n");
    clock_.Advance(kDay - 1);
    EXPECT_FALSE(store->isAvatarRefreshRequired("bob@x"));
    clock_.Advance(1);
    EXPECT_TRUE(store->isAvatarRefreshRequired("bob@x"));
    // A user without a picture: the row records that, with the hash.
    store->SetAvatar("nopic@x", nullptr, 0, 7, nullptr);
    EXPECT_EQ(Tool("SELECT PicMime, PicHash, PicSize, length(Pic) FROM avatars WHERE PeerId='nopic@x';"),
              "|7|0|0\n");
  }
  clock_.Advance(10);
  auto store = Opened();
  // Cache only: the file is not read.
  EXPECT_TRUE(store->GetAvatar("BOB@x", true).empty());
  // Otherwise loaded once (the row's read time renewed), then answered from the cache.
  const hx::Avatar loaded = store->GetAvatar("bob@x", false);
  EXPECT_EQ(BytesOf(loaded), pic);
  EXPECT_EQ(loaded.lastWrite(), static_cast<uint64_t>(kT0));
  EXPECT_EQ(loaded.hash(), -5);
  EXPECT_TRUE(loaded.isRefreshRequired());
  EXPECT_EQ(Tool("SELECT LastRead FROM avatars WHERE PeerId='bob@x';"),
            std::to_string(kT0 + kDay + 10) + "\n");
  ASSERT_EQ(Tool("UPDATE avatars SET Pic=x'00', PicSize=1, PicHash=9 WHERE PeerId='bob@x';"), "");
  clock_.Advance(5);
  EXPECT_EQ(BytesOf(store->GetAvatar("bob@x", false)), pic);
  EXPECT_EQ(store->GetAvatarHash("bob@x"), -5);
  EXPECT_EQ(Tool("SELECT LastRead FROM avatars WHERE PeerId='bob@x';"),
            std::to_string(kT0 + kDay + 15) + "\n");
  const hx::Avatar empty = store->GetAvatar("nopic@x", false);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.hash(), 7);
  EXPECT_EQ(empty.lastWrite(), static_cast<uint64_t>(kT0 + kDay));
}

// Every picture the store accepts reads back after a restart, the largest one included; a larger
// one changes nothing, in memory or on disk, whichever way it is handed over.
TEST_F(AvatarStorageTest, PicturesUpToTheLimitAreKeptAndReadBack) {
  const std::string limit = Pattern(kMax, 'l');
  const std::string above = Pattern(kMax + 1, 'a');
  {
    auto store = Opened();
    store->SetAvatar("big@x", limit.data(), limit.size(), 1, "image/jpeg");
    EXPECT_EQ(BytesOf(store->GetAvatar("big@x", true)), limit);
    store->SetAvatar("huge@x", above.data(), above.size(), 2, "image/jpeg");
    const hx::Avatar huge("huge2@x", above.data(), above.size(), kT0);
    store->SetAvatar(huge, "image/jpeg");
    store->SetAvatar(huge, 3, "image/jpeg");
    for (const char* peer : {"huge@x", "huge2@x"}) EXPECT_TRUE(store->GetAvatar(peer, true).empty());
    // A picture handed over as a value, with and without a new hash.
    const hx::Avatar small("small@x", "ab", 2, 77);
    store->SetAvatar(small, 4, nullptr);
    EXPECT_EQ(store->GetAvatar("small@x", true).hash(), 4);
    EXPECT_EQ(store->GetAvatar("small@x", true).lastWrite(), 77u);
  }
  EXPECT_EQ(Tool("SELECT PeerId, PicSize, PicHash FROM avatars ORDER BY PeerId;"),
            "big@x|524288|1\nsmall@x|2|4\n");
  auto store = Opened();
  EXPECT_EQ(BytesOf(store->GetAvatar("big@x", false)), limit);
  EXPECT_TRUE(store->GetAvatar("huge@x", false).empty());
}

TEST_F(AvatarStorageTest, ThumbnailsAreNeverYoungerThanTheirUsersPicture) {
  auto store = Opened();
  // Never stored: no bytes, the size asked for, dated now.
  hx::Thumbnail none = store->GetThumbnail("bob@x", 48, 32);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.peerId(), "bob@x");
  EXPECT_EQ(none.width(), 48u);
  EXPECT_EQ(none.height(), 32u);
  EXPECT_EQ(none.lastWrite(), static_cast<uint64_t>(kT0));
  EXPECT_FALSE(none.expired());

  const std::string pic = Pattern(300, 'p');
  const std::string thumb = Pattern(40, 't');
  store->SetAvatar("bob@x", pic.data(), pic.size(), 1, "image/png");
  clock_.Advance(100);
  store->SetThumbnail("bob@x", thumb.data(), thumb.size(), 16, 16);
  store->SetThumbnail(hx::Thumbnail("carol@x", thumb.data(), thumb.size(), 0, 16, 16));
  // The cached picture is older than the row: the thumbnail carries the picture's time.
  hx::Thumbnail got = store->GetThumbnail("bob@x", 16, 16);
  EXPECT_EQ(BytesOf(got), thumb);
  EXPECT_EQ(got.width(), 16u);
  EXPECT_EQ(got.height(), 16u);
  EXPECT_EQ(got.lastWrite(), static_cast<uint64_t>(kT0));
  // Not in the cache: the row's own time.
  EXPECT_EQ(store->GetThumbnail("carol@x", 16, 16).lastWrite(), static_cast<uint64_t>(kT0 + 100));
  // A placeholder is a day old, so every thumbnail of its user is old and asks for a refresh.
  store->GetAvatar("carol@x", true);
  got = store->GetThumbnail("carol@x", 16, 16);
  EXPECT_EQ(BytesOf(got), thumb);
  EXPECT_TRUE(got.expired());
  EXPECT_EQ(got.lastWrite(), static_cast<uint64_t>(kT0 + 100 - kDay));

  // Without bytes a size is deleted; above the limit nothing happens; a new picture drops all.
  store->SetThumbnail("bob@x", thumb.data(), thumb.size(), 32, 32);
  store->SetThumbnail("bob@x", nullptr, 0, 16, 16);
  const std::string above = Pattern(kMax + 1, 'a');
  store->SetThumbnail("bob@x", above.data(), above.size(), 32, 32);
  EXPECT_TRUE(store->GetThumbnail("bob@x", 16, 16).empty());
  EXPECT_EQ(BytesOf(store->GetThumbnail("bob@x", 32, 32)), thumb);
  store->SetAvatar("bob@x", pic.data(), pic.size(), 1, "image/png");
  EXPECT_EQ(Tool("SELECT PeerId FROM thumbnails;"), "carol@x\n");
}

TEST_F(AvatarStorageTest, AnUnchangedPictureRenewsRowsAndCache) {
  const std::string pic = Pattern(50, 'p');
  {
    auto store = Opened();
    store->SetAvatar("bob@x", pic.data(), pic.size(), 1, "image/png");
    store->SetThumbnail("bob@x", pic.data(), pic.size(), 8, 8);
    store->SetThumbnail("bob@x", pic.data(), pic.size(), 16, 16);
  }
  const std::string later = std::to_string(kT0 + 5000);
  // Not in the cache of a new store: the rows are renewed all the same.
  clock_.Advance(5000);
  auto store = Opened();
  store->UpdateAvatarLastWriteTime("bob@x", 123);
  EXPECT_EQ(Tool("SELECT LastWrite FROM avatars UNION ALL SELECT LastWrite FROM thumbnails;"),
            later + "\n" + later + "\n" + later + "\n");
  // In the cache: the cached picture is fresh again.
  clock_.Advance(kDay);
  EXPECT_TRUE(store->GetAvatar("bob@x", false).isRefreshRequired());
  store->UpdateAvatarLastWriteTime("bob@x", 0);
  const hx::Avatar renewed = store->GetAvatar("bob@x", false);
  EXPECT_EQ(renewed.lastWrite(), static_cast<uint64_t>(kT0 + 5000 + kDay));
  EXPECT_FALSE(renewed.isRefreshRequired());
  EXPECT_FALSE(store->GetThumbnail("bob@x", 8, 8).expired());
}

TEST_F(AvatarStorageTest, HashesComeFromTheCacheBeforeTheFile) {
  {
    auto store = Opened();
    store->SetAvatar("bob@x", "ab", 2, 42, "image/png");
    store->SetAvatar("min@x", "ab", 2, INT32_MIN, "image/png");
  }
  EXPECT_EQ(Tool("SELECT PicHash FROM avatars ORDER BY PeerId;"), "42\n-2147483648\n");
  auto store = Opened();
  EXPECT_EQ(store->GetAvatarHash("bob@x"), 42);
  EXPECT_EQ(store->GetAvatarHash("min@x"), INT32_MIN);
  EXPECT_EQ(store->GetAvatarHash("nobody@x"), 0);
  // A cached placeholder answers for the user, whatever the file says.
  store->GetAvatar("bob@x", true);
  EXPECT_EQ(store->GetAvatarHash("bob@x"), 0);
}

TEST_F(AvatarStorageTest, DelAvatarForgetsTheUserEverywhere) {
  auto store = Opened();
  store->SetAvatar("bob@x", "ab", 2, 42, "image/png");
  store->SetThumbnail("bob@x", "ab", 2, 8, 8);
  store->DelAvatar("BOB@x");
  // The cache is keyed by the exact id, the file is not.
  EXPECT_EQ(BytesOf(store->GetAvatar("bob@x", true)), "ab");
  EXPECT_EQ(Tool("SELECT count(*) FROM avatars UNION ALL SELECT count(*) FROM thumbnails;"),
            "0\n0\n");
  store->DelAvatar("bob@x");
  EXPECT_TRUE(store->GetAvatar("bob@x", false).empty());
}

// A folder that cannot be used leaves the store closed: false, nothing thrown, reads answer as
// for an unknown user, writes reach the cache only.
TEST_F(AvatarStorageTest, AnUnusableFolderLeavesTheStoreClosed) {
  const std::string regular = temp_.File("plain-file");
  hx::storage_testing::WriteFile(regular, "not a folder");
  for (const std::string& dir : {regular + "/", Dir() + "missing/"}) {
    SCOPED_TRACE(dir);
    HX_AvatarStorage store;
    bool opened = true;
    EXPECT_NO_THROW(opened = store.InitAvatarList(kMe, dir.c_str()));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(store.IsOpen());
    store.SetAvatar("bob@x", "ab", 2, 42, "image/png");
    EXPECT_EQ(BytesOf(store.GetAvatar("bob@x", false)), "ab");
    EXPECT_TRUE(store.GetAvatar("carol@x", false).isRefreshRequired());
    EXPECT_EQ(store.GetAvatarHash("dan@x"), 0);
    store.SetThumbnail("bob@x", "ab", 2, 8, 8);
    const hx::Thumbnail thumbnail = store.GetThumbnail("bob@x", 8, 8);
    EXPECT_TRUE(thumbnail.empty());
    EXPECT_FALSE(thumbnail.expired());
    store.UpdateAvatarLastWriteTime("bob@x", 0);
    store.DelAvatar("bob@x");
  }
  EXPECT_EQ(hx::storage_testing::ReadFile(regular), "not a folder");
  EXPECT_FALSE(hx::storage_testing::Exists(Dir() + "missing"));
}

// Rows that someone else wrote: the store reads them into its scratch buffer right after a good
// read of another user, and must neither hand out those leftover bytes nor read past the buffer.
TEST_F(AvatarStorageTest, DamagedRowsReadAsAbsentWithoutBytesOfAnEarlierRead) {
  const std::string good = Pattern(2000, 'g');
  const std::string big = "randomblob(" + std::to_string(kMax + 100) + ")";
  struct Case {
    const char* what;
    std::string values;  // PicMime, Pic, PicHash, PicSize, LastWrite; the thumbnail copies them
  };
  const std::vector<Case> cases = {
      {"size larger than the bytes", "'m', x'0102', 1, 2000, 0"},
      {"size smaller than the bytes", "'m', x'01020304', 1, 2, 0"},
      {"bytes above the buffer", "'m', " + big + ", 1, 100, 0"},
      {"bytes above the buffer, size says so", "'m', " + big + ", 1, " + std::to_string(kMax + 100) + ", 0"},
      {"NULL size", "'m', x'01', 1, NULL, 0"},
      {"text size", "'m', x'01', 1, 'one', 0"},
      {"NULL last write", "'m', x'01', 1, 1, NULL"},
      {"text last write", "'m', x'01', 1, 1, 'later'"},
      {"NULL picture", "'m', NULL, 1, 1, 0"},
  };
  // The tables as a foreign program made them: same names, no constraints.
  { Opened(); }
  ASSERT_EQ(Tool("DROP TABLE avatars; DROP TABLE thumbnails;"
                 "CREATE TABLE avatars (PeerId COLLATE NOCASE, PicMime, Pic, PicHash, PicSize, "
                 "LastWrite, LastRead);"
                 "CREATE TABLE thumbnails (PeerId COLLATE NOCASE, Pic, PicWidth, PicHeight, PicSize, "
                 "LastWrite, LastRead);"),
            "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Tool("DELETE FROM avatars; DELETE FROM thumbnails;"
                   "INSERT INTO avatars VALUES ('bad@x', " + c.values + ", 0);"
                   "INSERT INTO thumbnails SELECT PeerId, Pic, 8, 8, PicSize, LastWrite, 0 "
                   "FROM avatars;"),
              "");
    auto store = Opened();
    store->SetAvatar("good@x", good.data(), good.size(), 1, "image/png");
    store->SetThumbnail("good@x", good.data(), good.size(), 8, 8);
    // Fill the buffer from a new store, so that the good picture comes from the file.
    auto reader = Opened();
    ASSERT_EQ(BytesOf(reader->GetAvatar("good@x", false)), good);
    const hx::Avatar bad = reader->GetAvatar("bad@x", false);
    EXPECT_TRUE(bad.empty());
    EXPECT_TRUE(bad.isRefreshRequired());
    ASSERT_EQ(BytesOf(reader->GetThumbnail("good@x", 8, 8)), good);
    const hx::Thumbnail thumbnail = reader->GetThumbnail("bad@x", 8, 8);
    EXPECT_TRUE(thumbnail.empty());
    EXPECT_EQ(thumbnail.lastWrite(), static_cast<uint64_t>(kT0));
  }
}

// A stored time before 1970 reads as a picture that is simply old.
TEST_F(AvatarStorageTest, NegativeStoredTimesReadAsOld) {
  { Opened()->SetAvatar("bob@x", "ab", 2, 1, "image/png"); }
  ASSERT_EQ(Tool("UPDATE avatars SET LastWrite=-5;"), "");
  auto store = Opened();
  const hx::Avatar avatar = store->GetAvatar("bob@x", false);
  EXPECT_EQ(BytesOf(avatar), "ab");
  EXPECT_EQ(avatar.lastWrite(), 0u);
  EXPECT_TRUE(avatar.isRefreshRequired());
}

// ---- the downloader

// Records the tick at which it runs; may signal its start and hold the downloader until released.
class RecordingTask : public HXStoredTask {
 public:
  struct Log {
    std::mutex mutex;
    std::vector<std::pair<std::string, int64_t>> runs;
    std::vector<std::string> deleted;
    std::vector<std::string> Names() {
      std::lock_guard<std::mutex> hold(mutex);
      std::vector<std::string> names;
      for (const auto& run : runs) names.push_back(run.first);
      return names;
    }
    int64_t TickOf(const std::string& name) {
      std::lock_guard<std::mutex> hold(mutex);
      for (const auto& run : runs) {
        if (run.first == name) return run.second;
      }
      return -1;
    }
    size_t Count() {
      std::lock_guard<std::mutex> hold(mutex);
      return runs.size();
    }
  };

  RecordingTask(Log* log, std::string name, HXEvent* started = nullptr, HXEvent* release = nullptr)
      : m_log(log), m_name(std::move(name)), m_started(started), m_release(release) {}
  ~RecordingTask() override {
    std::lock_guard<std::mutex> hold(m_log->mutex);
    m_log->deleted.push_back(m_name);
  }
  void Execute() override {
    {
      std::lock_guard<std::mutex> hold(m_log->mutex);
      m_log->runs.emplace_back(m_name, hx::GetTickCount());
    }
    if (m_started != nullptr) m_started->Set();
    if (m_release != nullptr) m_release->Wait();
  }

 private:
  RecordingTask::Log* m_log;
  std::string m_name;
  HXEvent* m_started;
  HXEvent* m_release;
};

constexpr int64_t kLeadMs = 25;  // the downloader starts a run this early

// Due 500 ms after scheduling; with spread, 750 ms later for every job waiting or running. Run
// ticks are checked against lower bounds only; the upper bounds come from the order of the runs.
TEST(AvatarDownloaderTest, TasksAreDueAfterTheirDelayAndSpreadBehindTheBusyOnes) {
  // Declared before the store: tasks it still holds at its end are deleted into the log.
  RecordingTask::Log log;
  HXEvent started(false);
  HXEvent release(false);
  HX_AvatarStorage store;
  store.startAvatarDownloader();
  const int64_t first = hx::GetTickCount();
  // On an idle downloader spread adds nothing.
  store.ScheduleAvatarTask(new RecordingTask(&log, "hold", &started, &release), true);
  store.ScheduleAvatarTask(new RecordingTask(&log, "waiting"), false);
  ASSERT_TRUE(started.Wait(kWaitMs));
  // One job runs and one is due and waits for it.
  ASSERT_TRUE(hx::testing::WaitFor([&] { return store.getAvatarTaskQueueLen() == 2; }, kWaitMs));

  const int64_t spreadAt = hx::GetTickCount();
  store.ScheduleAvatarTask(new RecordingTask(&log, "spread"), true);
  const int64_t spreadDone = hx::GetTickCount();
  store.ScheduleAvatarTask(new RecordingTask(&log, "plain"), false);
  // A task without spread scheduled once more than 1500 ms have passed is due after "spread".
  while (hx::GetTickCount() <= spreadDone + 1500) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int64_t lateAt = hx::GetTickCount();
  store.ScheduleAvatarTask(new RecordingTask(&log, "late"), false);
  release.Set();
  ASSERT_TRUE(hx::testing::WaitFor([&] { return log.Count() == 5; }, kWaitMs));
  store.stopAvatarDownloader(true);

  EXPECT_EQ(log.Names(),
            (std::vector<std::string>{"hold", "waiting", "plain", "spread", "late"}));
  EXPECT_GE(log.TickOf("hold"), first + 500 - kLeadMs);
  EXPECT_GE(log.TickOf("spread"), spreadAt + 500 + 2 * 750 - kLeadMs);
  EXPECT_GE(log.TickOf("late"), lateAt + 500 - kLeadMs);
}

// A quick stop and start (the client's Shutdown (false) and Start) while a task still holds the
// downloader: the start waits for the ending thread and starts it again, and tasks run again.
TEST(AvatarDownloaderTest, AStartAfterAStopWithoutWaitRunsTasksAgain) {
  // Declared before the store: tasks it still holds at its end are deleted into the log.
  RecordingTask::Log log;
  HXEvent started(false);
  HXEvent release(false);
  HX_AvatarStorage store;
  store.startAvatarDownloader();
  EXPECT_TRUE(store.isAvatarDownloaderRunning());
  store.ScheduleAvatarTask(new RecordingTask(&log, "hold", &started, &release), false);
  ASSERT_TRUE(started.Wait(kWaitMs));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release.Set();
  });
  store.stopAvatarDownloader(false);
  EXPECT_FALSE(store.isAvatarDownloaderRunning());
  store.startAvatarDownloader();
  releaser.join();
  EXPECT_TRUE(store.isAvatarDownloaderRunning());
  store.ScheduleAvatarTask(new RecordingTask(&log, "after"), false);
  EXPECT_TRUE(hx::testing::WaitFor([&] { return log.Count() == 2; }, kWaitMs));
  // Starting a running downloader changes nothing.
  store.startAvatarDownloader();
  store.ScheduleAvatarTask(new RecordingTask(&log, "again"), false);
  EXPECT_TRUE(hx::testing::WaitFor([&] { return log.Count() == 3; }, kWaitMs));
  EXPECT_EQ(log.Names(), (std::vector<std::string>{"hold", "after", "again"}));
}

// Tasks handed over while the downloader is stopped run after its start; tasks still waiting
// when it stops are deleted without running.
TEST(AvatarDownloaderTest, StoppedDownloaderKeepsNewTasksAndDropsWaitingOnes) {
  RecordingTask::Log log;
  HXEvent started(false);
  HXEvent release(false);
  {
    HX_AvatarStorage store;
    store.ScheduleAvatarTask(new RecordingTask(&log, "before start"), true);
    store.startAvatarDownloader();
    EXPECT_TRUE(hx::testing::WaitFor([&] { return log.Count() == 1; }, kWaitMs));
    store.ScheduleAvatarTask(new RecordingTask(&log, "hold", &started, &release), false);
    store.ScheduleAvatarTask(new RecordingTask(&log, "dropped"), false);
    ASSERT_TRUE(started.Wait(kWaitMs));
    store.stopAvatarDownloader(false);
    release.Set();
    store.stopAvatarDownloader(true);
    EXPECT_FALSE(store.isAvatarDownloaderRunning());
    {
      std::lock_guard<std::mutex> hold(log.mutex);
      EXPECT_EQ(log.deleted, (std::vector<std::string>{"before start", "hold", "dropped"}));
    }
    // Left with the store: a task of a store that never starts again is deleted with it.
    store.ScheduleAvatarTask(new RecordingTask(&log, "never"), false);
  }
  EXPECT_EQ(log.Names(), (std::vector<std::string>{"before start", "hold"}));
  std::lock_guard<std::mutex> hold(log.mutex);
  EXPECT_EQ(log.deleted.back(), "never");
}

}  // namespace
