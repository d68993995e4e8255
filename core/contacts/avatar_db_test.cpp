// The avatar database against real files in a temporary folder. The sqlite3 tool reads every file
// back on its own and writes the damaged and foreign rows that reads must refuse; reads go into a
// buffer of exactly the store's 524288 bytes, so that AddressSanitizer sees any read past it.
// Times come from a set wall clock.

#include "core/contacts/avatar_db.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/contacts_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::contacts_testing::Rows;
using hx::contacts_testing::UpperMd5;

constexpr int64_t kT0 = 1700000000;
constexpr const char* kMe = "me@example.org";
constexpr size_t kScratch = 524288;

std::string Bytes(size_t n, char seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

// A fixed buffer like the store's scratch buffer; each read writes into it from its start.
struct Scratch {
  Scratch() : bytes(new char[kScratch]) {}
  std::string Take(uint64_t size) const { return std::string(bytes.get(), size); }
  std::unique_ptr<char[]> bytes;
};

// A stream over the whole scratch buffer, as the store makes one for each read.
struct ScratchStream {
  explicit ScratchStream(Scratch& scratch)
      : window(scratch.bytes.get(), scratch.bytes.get() + kScratch), out(&window) {}
  HXDBBase::streamhelper window;
  std::ostream out;
};

class AvatarDbTest : public ::testing::Test {
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
  bool Open(HX_AvatarDB& db) { return db.OpenDatabase(kMe, Dir().c_str()); }

  // Reads a picture into a fresh scratch buffer; the bytes when found.
  bool Read(HX_AvatarDB& db, const char* peer, uint64_t limit, std::string& bytes,
            Scratch* scratch = nullptr) {
    Scratch own;
    Scratch& buffer = scratch != nullptr ? *scratch : own;
    std::string mime;
    int64_t hash = 0;
    int64_t last_write = 0;
    uint64_t size = limit;
    ScratchStream stream(buffer);
    if (!db.GetAvatar(peer, mime, stream.out, hash, size, last_write)) return false;
    bytes = buffer.Take(size);
    return true;
  }
  bool ReadThumb(HX_AvatarDB& db, const char* peer, int64_t w, int64_t h, std::string& bytes,
                 Scratch* scratch = nullptr) {
    Scratch own;
    Scratch& buffer = scratch != nullptr ? *scratch : own;
    uint64_t size = 0;
    int64_t last_write = 0;
    ScratchStream stream(buffer);
    if (!db.GetThumbnail(peer, stream.out, w, h, size, last_write)) return false;
    bytes = buffer.Take(size);
    return true;
  }

  hx::testing::TempDir temp_;
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
  std::string sqlite3_;
};

TEST_F(AvatarDbTest, NewFileHasItsNameSchemaAndVersion) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  ASSERT_TRUE(hx::storage_testing::Exists(File()));
  EXPECT_EQ(
      Tool("SELECT type, name, sql FROM sqlite_master ORDER BY name;"),
      "table|avatars|CREATE TABLE \"avatars\" (\"PeerId\" CHAR PRIMARY KEY NOT NULL UNIQUE "
      "COLLATE NOCASE, \"PicMime\" CHAR NOT NULL DEFAULT \"\", \"Pic\" BLOB NOT NULL DEFAULT "
      "x'', \"PicHash\" INTEGER NOT NULL DEFAULT 0, \"PicSize\" INTEGER NOT NULL DEFAULT 0, "
      "\"LastWrite\" INTEGER NOT NULL DEFAULT 0, \"LastRead\" INTEGER NOT NULL DEFAULT 0)\n"
      "index|search|CREATE INDEX \"search\" ON \"avatars\" (\"PeerId\" ASC)\n"
      "index|sqlite_autoindex_avatars_1|NULL\n"
      "index|sqlite_autoindex_thumbnails_1|NULL\n"
      "index|thumbhash|CREATE INDEX \"thumbhash\" ON \"thumbnails\" (\"PeerId\" ASC)\n"
      "table|thumbnails|CREATE TABLE \"thumbnails\" (\"PeerId\" CHAR NOT NULL COLLATE NOCASE, "
      "\"Pic\" BLOB NOT NULL DEFAULT x'', \"PicWidth\" INTEGER NOT NULL DEFAULT 0, "
      "\"PicHeight\" INTEGER NOT NULL DEFAULT 0, \"PicSize\" INTEGER NOT NULL DEFAULT 0, "
      "\"LastWrite\" INTEGER NOT NULL DEFAULT 0, \"LastRead\" INTEGER NOT NULL DEFAULT 0, "
      "UNIQUE (\"PeerId\", \"PicWidth\", \"PicHeight\") ON CONFLICT REPLACE)\n");
  EXPECT_EQ(Tool("PRAGMA user_version;"), "11\n");
}

TEST_F(AvatarDbTest, PicturesAndThumbnailsRoundTrip) {
  HX_AvatarDB db;
  std::string bytes;
  EXPECT_FALSE(Read(db, "a@x", kScratch + 1, bytes));  // not open
  ASSERT_TRUE(Open(db));
  const std::string pic = Bytes(100, 'a');
  db.SetThumbnail("a@x", 32, 32, "t32", 3);
  db.SetThumbnail("a@x", 64, 64, "t64", 3);
  db.SetThumbnail("b@x", 32, 32, "b32", 3);
  // Storing a picture deletes every thumbnail of that user, and only of that user.
  EXPECT_TRUE(db.SetAvatar("a@x", "image/png", pic.data(), pic.size(), 42));
  EXPECT_EQ(Tool("SELECT PeerId, Pic, PicWidth FROM thumbnails;"), "b@x|b32|32\n");
  EXPECT_EQ(Tool("SELECT PeerId, PicMime, length(Pic), PicHash, PicSize, LastWrite, LastRead FROM "
                 "avatars;"),
            "a@x|image/png|100|42|100|1700000000|1700000000\n");

  // The limit is strict; letter case does not matter; a read renews LastRead only.
  clock_.Advance(60);
  EXPECT_FALSE(Read(db, "a@x", 100, bytes));
  Scratch scratch;
  ScratchStream stream(scratch);
  std::string mime;
  int64_t hash = 0;
  int64_t last_write = 0;
  uint64_t size = 101;
  ASSERT_TRUE(db.GetAvatar("A@X", mime, stream.out, hash, size, last_write));
  EXPECT_EQ(scratch.Take(size), pic);
  EXPECT_EQ(mime, "image/png");
  EXPECT_EQ(hash, 42);
  EXPECT_EQ(last_write, kT0);
  EXPECT_EQ(Tool("SELECT LastWrite, LastRead FROM avatars;"), "1700000000|1700000060\n");
  EXPECT_TRUE(db.GetAvatarHash("a@X", hash));
  EXPECT_EQ(hash, 42);
  EXPECT_FALSE(db.GetAvatarHash("nobody", hash));

  // A null picture is an empty row that keeps the hash.
  db.SetAvatar("c@x", "image/gif", nullptr, 10, 7);
  EXPECT_EQ(Tool("SELECT PicMime, hex(Pic), PicHash, PicSize FROM avatars WHERE PeerId='c@x';"),
            "||7|0\n");
  EXPECT_TRUE(Read(db, "c@x", 1, bytes));
  EXPECT_EQ(bytes, "");

  // One row per user and size; the second store wins; a null thumbnail deletes its size.
  db.SetThumbnail("a@x", 32, 32, "one", 3);
  db.SetThumbnail("A@x", 32, 32, "two!", 4);
  db.SetThumbnail("a@x", 16, 16, "s16", 3);
  EXPECT_EQ(Tool("SELECT PeerId, Pic, PicSize FROM thumbnails WHERE PicWidth=32 AND PeerId='a@x';"),
            "a@x|two!|4\n");  // the first letter case stays
  EXPECT_TRUE(ReadThumb(db, "a@x", 32, 32, bytes));
  EXPECT_EQ(bytes, "two!");
  db.SetThumbnail("a@x", 16, 16, nullptr, 0);
  EXPECT_FALSE(ReadThumb(db, "a@x", 16, 16, bytes));

  // Times of one user's rows.
  db.UpdateLastWriteAvatar("a@x", 5);
  db.UpdateLastWriteThumbnails("a@x", 6);
  clock_.Advance(1);
  db.UpdateLastRead("a@x");
  db.UpdateLastReadThumbnail("a@x", 32, 32);
  EXPECT_EQ(Tool("SELECT LastWrite, LastRead FROM avatars WHERE PeerId='a@x';"
                 "SELECT PeerId, LastWrite, LastRead FROM thumbnails ORDER BY PeerId;"),
            "5|1700000061\na@x|6|1700000061\nb@x|1700000000|1700000000\n");

  db.DeleteThumbnails("a@x");
  db.DelAvatar("b@x");
  EXPECT_EQ(Tool("SELECT PeerId FROM avatars ORDER BY PeerId; SELECT count(*) FROM thumbnails;"),
            "a@x\nc@x\n0\n");
}

TEST_F(AvatarDbTest, APictureOfTheScratchSizeReadsBackWithTheLimitAboveIt) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  const std::string pic = Bytes(kScratch, 'p');
  db.SetAvatar("big@x", "image/jpeg", pic.data(), pic.size(), 1);
  std::string bytes;
  EXPECT_FALSE(Read(db, "big@x", kScratch, bytes));
  ASSERT_TRUE(Read(db, "big@x", kScratch + 1, bytes));
  EXPECT_EQ(bytes, pic);
}

TEST_F(AvatarDbTest, DamagedRowsReadAsAbsentWithoutStaleBytes) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  const std::string good = Bytes(1000, 'g');
  db.SetAvatar("good@x", "image/png", good.data(), good.size(), 1);
  db.SetThumbnail("good@x", 8, 8, good.data(), good.size());
  struct Case {
    const char* name;
    std::string row;  // the values after PeerId 'bad@x': PicMime, Pic, PicHash, PicSize, LastWrite
    bool thumbnail_usable;  // the thumbnail copies Pic, PicSize and LastWrite only
  };
  const std::vector<Case> cases = {
      {"size larger than the bytes", "'m', x'0102', 1, 1000, 0", false},
      {"size smaller than the bytes", "'m', x'010203', 1, 2, 0", false},
      {"bytes above the scratch buffer", "'m', zeroblob(600000), 1, 1, 0", false},
      {"NULL hash", "'m', x'01', NULL, 1, 0", true},
      {"text size", "'m', x'01', 1, 'one', 0", false},
      {"text time", "'m', x'01', 1, 1, 'later'", false},
      {"NULL mime", "NULL, x'01', 1, 1, 0", true},
      {"NULL picture", "'m', NULL, 1, 1, 0", false},
  };
  // The tables of a foreign file: same names, no constraints.
  ASSERT_EQ(
      Tool("DROP TABLE avatars; DROP TABLE thumbnails;"
           "CREATE TABLE avatars (PeerId, PicMime, Pic, PicHash, PicSize, LastWrite, LastRead);"
           "CREATE TABLE thumbnails (PeerId, Pic, PicWidth, PicHeight, PicSize, LastWrite, "
           "LastRead);"),
      "");
  db.SetAvatar("good@x", "image/png", good.data(), good.size(), 1);
  db.SetThumbnail("good@x", 8, 8, good.data(), good.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(
        Tool(
            "DELETE FROM avatars WHERE PeerId='bad@x'; DELETE FROM thumbnails WHERE PeerId='bad@x';"
            "INSERT INTO avatars VALUES ('bad@x', " +
            c.row +
            ", 0);"
            "INSERT INTO thumbnails SELECT PeerId, Pic, 8, 8, PicSize, LastWrite, 0 FROM avatars "
            "WHERE PeerId='bad@x';"),
        "");
    // One buffer for both reads: the second must not hand out what the first left there.
    Scratch scratch;
    std::string bytes;
    ASSERT_TRUE(Read(db, "good@x", kScratch + 1, bytes, &scratch));
    EXPECT_EQ(bytes, good);
    EXPECT_FALSE(Read(db, "bad@x", kScratch + 1, bytes, &scratch));
    Scratch thumb_scratch;
    ASSERT_TRUE(ReadThumb(db, "good@x", 8, 8, bytes, &thumb_scratch));
    EXPECT_EQ(bytes, good);
    EXPECT_EQ(ReadThumb(db, "bad@x", 8, 8, bytes, &thumb_scratch), c.thumbnail_usable);
    if (c.thumbnail_usable) EXPECT_EQ(bytes, "\x01");
  }
}

TEST_F(AvatarDbTest, OldVersionsAreRebuiltEmptyAndCreateExpiresUnreadRows) {
  struct Case {
    const char* name;
    int version;
  };
  for (const Case& c : {Case{"version 10", 10}, Case{"version 0", 0}, Case{"version 12", 12}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(File());
    ASSERT_EQ(
        Tool("CREATE TABLE avatars (PeerId, PicMime, Pic, PicHash, PicSize, LastWrite, LastRead);"
             "INSERT INTO avatars VALUES ('a@x', 'm', x'01', 1, 1, 0, 0);"
             "PRAGMA user_version=" +
             std::to_string(c.version) + ";"),
        "");
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    EXPECT_EQ(
        Tool("PRAGMA user_version; SELECT count(*) FROM avatars; SELECT count(*) FROM thumbnails;"),
        "11\n0\n0\n");
  }
  // The expiry runs whenever the schema is created: a row read exactly 14 days ago stays, one read
  // a second earlier goes.
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  ASSERT_EQ(
      Tool("INSERT INTO avatars (PeerId, LastRead) VALUES ('keep', 1700000000), ('go', 1699999999);"
           "INSERT INTO thumbnails (PeerId, PicWidth, LastRead) VALUES ('keep', 1, 1700000000), "
           "('go', 1, 1699999999);"),
      "");
  clock_.Set(kT0 + HX_AvatarDB::kExpirySeconds);
  EXPECT_TRUE(db.Create());
  EXPECT_EQ(Tool("SELECT PeerId FROM avatars; SELECT PeerId FROM thumbnails;"), "keep\nkeep\n");
}

TEST_F(AvatarDbTest, AnOpenThatCannotCreateTheFileAnswersFalse) {
  const std::string file_dir = temp_.File("plain");
  hx::storage_testing::WriteFile(file_dir, "x");
  HX_AvatarDB db;
  EXPECT_FALSE(db.OpenDatabase(kMe, (file_dir + "/").c_str()));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.PeerId(), "");
  EXPECT_FALSE(db.OpenDatabase(nullptr, Dir().c_str()));
  std::string bytes;
  EXPECT_FALSE(Read(db, "a@x", kScratch + 1, bytes));
  EXPECT_TRUE(db.SetAvatar("a@x", "m", "x", 1, 1));  // writes answer true; nothing is written
  EXPECT_FALSE(db.GetAvatarHash("a@x", *std::make_unique<int64_t>()));
}

TEST_F(AvatarDbTest, HostThreadReadsWhileAnotherStores) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread host([&] {
    Scratch scratch;
    while (!done.load()) {
      std::string bytes;
      // Whatever a read finds is one whole picture: every byte equal to its first.
      if (Read(db, "u@x", kScratch + 1, bytes, &scratch) &&
          bytes.find_first_not_of(bytes.empty() ? '\0' : bytes[0]) != std::string::npos) {
        wrong.fetch_add(1);
      }
      ReadThumb(db, "u@x", 16, 16, bytes, &scratch);
      int64_t hash = 0;
      db.GetAvatarHash("u@x", hash);
    }
  });
  for (int i = 0; i < 200; ++i) {
    const std::string pic(100 + i, static_cast<char>('a' + i % 26));
    db.SetAvatar("u@x", "image/png", pic.data(), pic.size(), i);
    db.SetThumbnail("u@x", 16, 16, pic.data(), 10);
    if (i % 10 == 0) db.DelAvatar("u@x");
  }
  done = true;
  host.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Tool("SELECT PicHash, PicSize FROM avatars;"), "199|299\n");
}

}  // namespace
