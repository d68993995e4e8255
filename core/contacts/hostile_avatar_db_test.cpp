// The avatar database against files that someone else wrote or damaged: made with the sqlite3
// tool or from raw bytes, with NULLs and foreign types in the columns it reads, lying sizes,
// huge pictures, wrong versions, objects of the wrong kind under its table names, files that are
// not databases, cut or empty, unwritable folders and files, and two processes on one file. Reads
// go into a buffer of exactly 524288 bytes (the store's), so AddressSanitizer sees a write past
// it. Operations that might hang or crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/avatar_db.h"
#include "core/contacts/hostile_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::hostile_testing::kMe;
using hx::hostile_testing::RunInChild;

constexpr int64_t kT0 = 1700000000;
constexpr size_t kScratch = 524288;

// The avatars table as another program might have made it: the real columns without their
// constraints, so that NULLs and foreign types can be stored.
constexpr const char* kLooseSchema =
    "CREATE TABLE avatars (PeerId CHAR PRIMARY KEY COLLATE NOCASE, PicMime, Pic, PicHash, "
    "PicSize, LastWrite, LastRead);"
    "CREATE TABLE thumbnails (PeerId CHAR COLLATE NOCASE, Pic, PicWidth, PicHeight, PicSize, "
    "LastWrite, LastRead);"
    "PRAGMA user_version = 11;";

struct Scratch {
  Scratch() : bytes(new char[kScratch]) {}
  std::unique_ptr<char[]> bytes;
};

class HostileAvatarDbTest : public hx::hostile_testing::HostileDbTest {
 protected:
  HostileAvatarDbTest() : HostileDbTest(".avatar.sqlite") {}
  bool Open(HX_AvatarDB& db) { return db.OpenDatabase(kMe, Dir().c_str()); }

  // A picture read into the fixed scratch buffer: the answer, and the bytes when found.
  bool Read(HX_AvatarDB& db, const char* peer, uint64_t limit, std::string* bytes = nullptr,
            int64_t* hash = nullptr, std::string* mime = nullptr) {
    Scratch scratch;
    HXDBBase::streamhelper window(scratch.bytes.get(), scratch.bytes.get() + kScratch);
    std::ostream out(&window);
    std::string m;
    int64_t h = 0;
    int64_t lastWrite = 0;
    uint64_t size = limit;
    if (!db.GetAvatar(peer, m, out, h, size, lastWrite)) return false;
    EXPECT_LE(size, kScratch) << "a size larger than the buffer was reported as read";
    if (bytes != nullptr && size <= kScratch) *bytes = std::string(scratch.bytes.get(), size);
    if (hash != nullptr) *hash = h;
    if (mime != nullptr) *mime = m;
    return true;
  }
  bool ReadThumb(HX_AvatarDB& db, const char* peer, int64_t w, int64_t h,
                 std::string* bytes = nullptr) {
    Scratch scratch;
    HXDBBase::streamhelper window(scratch.bytes.get(), scratch.bytes.get() + kScratch);
    std::ostream out(&window);
    uint64_t size = 0;
    int64_t lastWrite = 0;
    if (!db.GetThumbnail(peer, out, w, h, size, lastWrite)) return false;
    EXPECT_LE(size, kScratch);
    if (bytes != nullptr && size <= kScratch) *bytes = std::string(scratch.bytes.get(), size);
    return true;
  }
  // A good file with one good picture, made by the class itself and closed again.
  void MakeGoodFile() override {
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    ASSERT_TRUE(db.SetAvatar("good@x", "image/png", "GOOD", 4, 77));
    db.Close();
  }
  void ExpectUsable() override {
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    EXPECT_TRUE(db.SetAvatar("after@x", "image/gif", "AFTER", 5, 5));
    std::string bytes;
    ASSERT_TRUE(Read(db, "after@x", kScratch, &bytes));
    EXPECT_EQ(bytes, "AFTER");
    EXPECT_EQ(Tool("PRAGMA user_version;"), "11\n");
  }

  // The odd things of the base fixture, with a good row of this database as the known row.
  void TryOddFiles(int cases) {
    HostileDbTest::TryOddFiles(
        cases,
        [](const std::string& folder) {
          HX_AvatarDB db;
          ASSERT_TRUE(db.OpenDatabase(kMe, folder.c_str()));
          ASSERT_TRUE(db.SetAvatar("good@x", "m", "GOOD", 4, 1));
        },
        [](const std::string& folder) {
          HX_AvatarDB db;
          if (db.OpenDatabase(kMe, folder.c_str())) {
            db.SetAvatar("w@x", "m", "W", 1, 1);
            int64_t hash = 0;
            db.GetAvatarHash("good@x", hash);
          }
          return 0;
        },
        "SELECT Pic FROM avatars WHERE PeerId='good@x';", "GOOD\n");
  }

  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
};

// Every operation on an object that was never opened, and again after Close: reads answer false,
// writes answer true without writing, nothing crashes; null and empty ids are taken the same way.
TEST_F(HostileAvatarDbTest, OperationsBeforeOpenAfterCloseAndWithNullIds) {
  HX_AvatarDB db;
  const auto everything = [&](const char* peer, bool open) {
    SCOPED_TRACE(std::string(peer == nullptr ? "(null)" : peer) + (open ? " open" : " closed"));
    int64_t hash = 0;
    EXPECT_FALSE(db.GetAvatarHash(peer, hash));
    if (!open) {
      EXPECT_FALSE(Read(db, peer, kScratch));
      EXPECT_FALSE(ReadThumb(db, peer, 1, 1));
    }
    EXPECT_TRUE(db.UpdateLastRead(peer));
    EXPECT_TRUE(db.UpdateLastWriteAvatar(peer, 1));
    EXPECT_TRUE(db.UpdateLastWriteThumbnails(peer, 1));
    EXPECT_TRUE(db.UpdateLastReadThumbnail(peer, 1, 1));
    EXPECT_TRUE(db.DeleteThumbnails(peer));
    EXPECT_TRUE(db.DelAvatar(peer));
  };
  everything("x@y", false);
  EXPECT_FALSE(db.OpenDatabase(nullptr, Dir().c_str()));
  EXPECT_FALSE(db.OpenDatabase("", Dir().c_str()));
  EXPECT_FALSE(db.IsOpen());
  ASSERT_TRUE(Open(db));
  ASSERT_TRUE(db.SetAvatar("keep@x", "m", "KEEP", 4, 1));
  everything("", true);
  db.Close();
  everything("keep@x", false);
  EXPECT_TRUE(db.SetAvatar("late@x", "m", "LATE", 4, 1));
  EXPECT_TRUE(db.SetThumbnail("late@x", 1, 1, "L", 1));
  EXPECT_EQ(Tool("SELECT PeerId FROM avatars; SELECT count(*) FROM thumbnails;"), "keep@x\n0\n");
}

// Null ids and a null MIME type on an open file: answered, nothing crashes, the other rows stay.
TEST_F(HostileAvatarDbTest, NullTextsOnAnOpenFile) {
  MakeGoodFile();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_AvatarDB db;
    if (!Open(db)) return 2;
    int64_t hash = 0;
    db.SetAvatar(nullptr, "m", "X", 1, 1);
    db.SetAvatar("n@x", nullptr, "X", 1, 1);
    db.SetThumbnail(nullptr, 1, 1, "X", 1);
    db.GetAvatarHash(nullptr, hash);
    Read(db, nullptr, kScratch);
    ReadThumb(db, nullptr, 1, 1);
    db.DelAvatar(nullptr);
    db.UpdateLastRead(nullptr);
    db.DeleteThumbnails(nullptr);
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT PeerId, Pic FROM avatars WHERE PeerId='good@x';"), "good@x|GOOD\n");
}

// Opening with a null folder is refused or opens somewhere; it never crashes.
TEST_F(HostileAvatarDbTest, NullFolderIsAnsweredWithoutCrash) {
  const hx::hostile_testing::ChildEnd end = RunInChild([] {
    HX_AvatarDB db;
    return db.OpenDatabase(kMe, nullptr) ? 1 : 0;
  });
  EXPECT_TRUE(end.exited) << end.Describe();
}

// Files that are no usable database: a zero-byte file, text, random bytes, a valid file cut
// inside its pages, a header alone. Each is opened (created anew where it cannot be used) and
// works afterwards; nothing crashes.
TEST_F(HostileAvatarDbTest, FilesThatAreNotDatabasesOrAreCutAreReplaced) {
  std::vector<hx::hostile_testing::FileDamage> damages =
      hx::hostile_testing::FileDamages("hello, not sqlite\n", 50);
  damages.push_back({"random bytes", [](const std::string& f) {
                       std::string junk(9000, '\0');
                       for (size_t i = 0; i < junk.size(); ++i) {
                         junk[i] = static_cast<char>(i * 131 + 7);
                       }
                       hx::storage_testing::WriteFile(f, junk);
                     }});
  damages.push_back({"cut to the first page",
                     [](const std::string& f) { hx::hostile_testing::Truncate(f, 4096); }});
  ExpectDamagedFilesReplaced(damages);
}

// A file whose header names a schema format this SQLite does not know (a newer program may have
// written it): the open answers false without a crash and leaves the file as it is, since it is
// not provably damaged.
TEST_F(HostileAvatarDbTest, AFileOfAnUnknownSchemaFormatIsLeftAlone) {
  MakeGoodFile();
  Tool("PRAGMA wal_checkpoint(TRUNCATE);");
  hx::hostile_testing::Patch(File(), 44, std::string("\x00\x00\x00\x63", 4));
  const std::string before = hx::storage_testing::ReadFile(File());
  HX_AvatarDB db;
  EXPECT_FALSE(Open(db));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(hx::storage_testing::ReadFile(File()), before);
}

// A file whose stored picture is much larger than the scratch buffer and whose header bytes in
// the middle of the table pages are damaged: reading it never writes past the buffer.
TEST_F(HostileAvatarDbTest, DamagedPagesUnderABigPictureAreNeverReadPastTheBuffer) {
  {
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    const std::string big(3 * kScratch, 'B');
    db.SetAvatar("big@x", "m", big.data(), big.size(), 1);
    db.Close();
  }
  Tool("PRAGMA wal_checkpoint(TRUNCATE);");
  hx::storage_testing::Damage(File(), 4096 * 3 + 100, 64);
  HX_AvatarDB db;
  if (!Open(db)) return;  // refused: fine, nothing was read
  std::string bytes;
  EXPECT_FALSE(Read(db, "big@x", HXDBBase::kUnlimited, &bytes));
}

// The folder is a file, or missing: the open answers false and throws nothing.
TEST_F(HostileAvatarDbTest, FolderThatIsAFileOrMissingIsRefused) {
  const std::string notDir = Dir() + "plain";
  hx::storage_testing::WriteFile(notDir, "x");
  HX_AvatarDB db;
  EXPECT_FALSE(db.OpenDatabase(kMe, (notDir + "/").c_str()));
  EXPECT_FALSE(db.OpenDatabase(kMe, (Dir() + "missing/deeper/").c_str()));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(hx::storage_testing::ReadFile(notDir), "x");
}

// A user who may not write: a read-only folder without the file fails the open; a read-only file
// in a read-only folder is never deleted or emptied, and its picture is not lost.
TEST_F(HostileAvatarDbTest, ReadOnlyFolderAndFileLoseNothing) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunAsNobodyOnReadOnlyFile([&] {
    HX_AvatarDB other;
    if (other.OpenDatabase("other@x", dir.c_str())) return 1;  // no file, no right to create
    HX_AvatarDB db;
    if (db.OpenDatabase(kMe, dir.c_str())) {
      // Opened read-only: reads work, writes change nothing and answer as always.
      db.SetAvatar("good@x", "m", "BAD", 3, 1);
      db.DelAvatar("good@x");
    }
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT PeerId, Pic FROM avatars;"), "good@x|GOOD\n");
}

// Versions another program might have left: 0 and every version other than 11 (future ones,
// negative ones, the largest) give an empty table of version 11; 11 keeps the rows.
TEST_F(HostileAvatarDbTest, ForeignVersionsAreRebuiltEmpty) {
  const int versions[] = {0, 1, 10, 12, 99, -1, 2147483647, -2147483647 - 1};
  for (int version : versions) {
    SCOPED_TRACE(version);
    MakeGoodFileOfVersion(version);
    {
      HX_AvatarDB db;
      ASSERT_TRUE(Open(db));
      EXPECT_FALSE(Read(db, "good@x", kScratch));
    }
    EXPECT_EQ(Tool("PRAGMA user_version; SELECT count(*) FROM avatars;"), "11\n0\n");
    ExpectUsable();
  }
}

// Objects of the wrong kind under the class's names, in a file of the right version: a view
// where "avatars" should be, an index named "thumbnails", a table named "search". Reads answer
// false, writes answer true, nothing crashes; at another version the file is rebuilt and works.
TEST_F(HostileAvatarDbTest, WrongKindsOfObjectsUnderTheTableNames) {
  const std::string wrong =
      "CREATE TABLE other (PeerId, PicMime, Pic, PicHash, PicSize, LastWrite, LastRead, "
      "PicWidth, PicHeight);"
      "INSERT INTO other VALUES ('v@x', 'm', x'01', 1, 1, 1, 1, 1, 1);"
      "CREATE VIEW avatars AS SELECT PeerId, PicMime, Pic, PicHash, PicSize, LastWrite, LastRead "
      "FROM other;"
      "CREATE INDEX thumbnails ON other (PeerId);"
      "CREATE TABLE search (x);";
  Tool(wrong + "PRAGMA user_version = 11;");
  {
    HX_AvatarDB db;
    if (Open(db)) {
      std::string bytes;
      if (Read(db, "v@x", kScratch, &bytes)) EXPECT_EQ(bytes, "\x01");
      EXPECT_TRUE(db.SetAvatar("w@x", "m", "W", 1, 1));
      EXPECT_TRUE(db.SetThumbnail("w@x", 1, 1, "W", 1));
      EXPECT_FALSE(ReadThumb(db, "w@x", 1, 1));
      EXPECT_TRUE(db.DelAvatar("v@x"));
    }
  }
  std::filesystem::remove(File());
  Tool(wrong + "PRAGMA user_version = 10;");
  ExpectUsable();
}

// A table of the right name with columns missing or extra: reads answer false where a column is
// missing; an extra column and an extra table do not disturb the class.
TEST_F(HostileAvatarDbTest, MissingAndExtraColumns) {
  Tool(
      "CREATE TABLE avatars (PeerId CHAR PRIMARY KEY COLLATE NOCASE, Pic, PicHash, PicSize);"
      "INSERT INTO avatars VALUES ('m@x', x'41', 1, 1);"
      "CREATE TABLE thumbnails (PeerId, Pic);"
      "PRAGMA user_version = 11;");
  {
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    int64_t hash = 0;
    EXPECT_FALSE(Read(db, "m@x", kScratch));
    EXPECT_TRUE(db.GetAvatarHash("m@x", hash));
    EXPECT_EQ(hash, 1);
    EXPECT_TRUE(db.SetAvatar("m@x", "m", "X", 1, 2));
    EXPECT_TRUE(db.SetThumbnail("m@x", 1, 1, "X", 1));
    EXPECT_FALSE(ReadThumb(db, "m@x", 1, 1));
  }
  EXPECT_EQ(Tool("SELECT PeerId, hex(Pic), PicHash FROM avatars;"), "m@x|41|1\n");

  std::filesystem::remove(File());
  MakeGoodFile();
  Tool(
      "ALTER TABLE avatars ADD COLUMN Extra TEXT DEFAULT 'e';"
      "ALTER TABLE thumbnails ADD COLUMN Extra BLOB;"
      "CREATE TABLE extra (a, b); INSERT INTO extra VALUES (1, 2);");
  {
    HX_AvatarDB db;
    ASSERT_TRUE(Open(db));
    std::string bytes;
    ASSERT_TRUE(Read(db, "good@x", kScratch, &bytes));
    EXPECT_EQ(bytes, "GOOD");
    EXPECT_TRUE(db.SetThumbnail("good@x", 2, 2, "TH", 2));
    ASSERT_TRUE(ReadThumb(db, "good@x", 2, 2, &bytes));
    EXPECT_EQ(bytes, "TH");
  }
  EXPECT_EQ(Tool("SELECT a, b FROM extra;"), "1|2\n");
}

// Rows that someone else wrote, one per case, beside a good row: NULLs and foreign types in
// every column GetAvatar reads, sizes that lie either way, pictures larger than the buffer.
// A row that is not exactly a picture of its size reads as absent; the good row stays exact.
TEST_F(HostileAvatarDbTest, HostileAvatarRowsReadAsAbsentAndTheGoodRowStays) {
  const std::string big = "randomblob(" + std::to_string(kScratch + 4096) + ")";
  struct Case {
    const char* what;
    std::string values;  // PicMime, Pic, PicHash, PicSize, LastWrite, LastRead
    bool found;
    const char* bytes;  // expected when found
  };
  const std::vector<Case> cases = {
      {"NULL mime", "NULL, x'4142', 1, 2, 1, 1", false, ""},
      {"NULL picture", "'m', NULL, 1, 2, 1, 1", false, ""},
      {"NULL hash", "'m', x'4142', NULL, 2, 1, 1", false, ""},
      {"NULL size", "'m', x'4142', 1, NULL, 1, 1", false, ""},
      {"NULL last write", "'m', x'4142', 1, 2, NULL, 1", false, ""},
      {"text hash", "'m', x'4142', 'abc', 2, 1, 1", false, ""},
      {"text size", "'m', x'4142', 1, 'two', 1, 1", false, ""},
      {"real size", "'m', x'4142', 1, 2.5, 1, 1", false, ""},
      {"negative size", "'m', x'4142', 1, -2, 1, 1", false, ""},
      {"size too small", "'m', x'41424344', 1, 2, 1, 1", false, ""},
      {"size too large", "'m', x'41', 1, 2, 1, 1", false, ""},
      {"largest size", "'m', x'41', 1, 9223372036854775807, 1, 1", false, ""},
      {"smallest size", "'m', x'41', 1, -9223372036854775808, 1, 1", false, ""},
      {"picture larger than the buffer, size says 2", "'m', " + big + ", 1, 2, 1, 1", false, ""},
      {"picture larger than the buffer, size says so",
       "'m', " + big + ", 1, " + std::to_string(kScratch + 4096) + ", 1, 1", false, ""},
      {"picture as text", "'m', 'AB', 1, 2, 1, 1", true, "AB"},
      {"picture as a number", "'m', 12, 1, 2, 1, 1", true, "12"},
      {"mime as a blob", "x'6D', x'4142', 1, 2, 1, 1", true, "AB"},
      {"NULL last read", "'m', x'4142', 1, 2, 1, NULL", true, "AB"},
      {"extreme hash", "'m', x'4142', -9223372036854775808, 2, 1, 1", true, "AB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tool(std::string(kLooseSchema) +
         "INSERT INTO avatars VALUES ('good@x', 'image/png', x'474F4F44', 77, 4, 1, 1);"
         "INSERT INTO avatars VALUES ('bad@x', " +
         c.values + ");");
    {
      HX_AvatarDB db;
      ASSERT_TRUE(Open(db));
      // A good read first, so that stale bytes sit in any buffer the class keeps.
      std::string bytes;
      ASSERT_TRUE(Read(db, "good@x", HXDBBase::kUnlimited, &bytes));
      EXPECT_EQ(bytes, "GOOD");
      std::string got = "<unset>";
      EXPECT_EQ(Read(db, "bad@x", HXDBBase::kUnlimited, &got), c.found);
      if (c.found) EXPECT_EQ(got, c.bytes);
      int64_t hash = 0;
      ASSERT_TRUE(Read(db, "GOOD@X", kScratch, &bytes, &hash));
      EXPECT_EQ(bytes, "GOOD");
      EXPECT_EQ(hash, 77);
    }
    std::filesystem::remove(File());
  }
}

// Thumbnail rows with NULLs, foreign types and lying sizes read as absent; extreme sizes round
// trip; the good thumbnail stays exact.
TEST_F(HostileAvatarDbTest, HostileThumbnailRowsReadAsAbsent) {
  const std::string big = "randomblob(" + std::to_string(kScratch + 1) + ")";
  struct Case {
    const char* what;
    std::string values;  // Pic, PicWidth, PicHeight, PicSize, LastWrite, LastRead
    int64_t w, h;
  };
  const std::vector<Case> cases = {
      {"NULL picture", "NULL, 5, 5, 2, 1, 1", 5, 5},
      {"NULL size", "x'4142', 5, 5, NULL, 1, 1", 5, 5},
      {"text size", "x'4142', 5, 5, 'x', 1, 1", 5, 5},
      {"NULL last write", "x'4142', 5, 5, 2, NULL, 1", 5, 5},
      {"size lies low", "x'41424344', 5, 5, 1, 1, 1", 5, 5},
      {"size lies high", "x'41', 5, 5, 100, 1, 1", 5, 5},
      {"larger than the buffer", big + ", 5, 5, 2, 1, 1", 5, 5},
      {"larger than the buffer, true size",
       big + ", 5, 5, " + std::to_string(kScratch + 1) + ", 1, 1", 5, 5},
      {"text width matching as text", "x'4142', '5', 5, 2, 1, 1", 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tool(std::string(kLooseSchema) +
         "INSERT INTO thumbnails VALUES ('good@x', x'5448', 1, 1, 2, 1, 1);"
         "INSERT INTO thumbnails VALUES ('bad@x', " +
         c.values + ");");
    {
      HX_AvatarDB db;
      ASSERT_TRUE(Open(db));
      std::string bytes;
      ASSERT_TRUE(ReadThumb(db, "good@x", 1, 1, &bytes));
      EXPECT_EQ(bytes, "TH");
      std::string got;
      if (ReadThumb(db, "bad@x", c.w, c.h, &got)) EXPECT_EQ(got, "AB");
      EXPECT_FALSE(ReadThumb(db, "bad@x", 5, 5, &got) && got != "AB");
      ASSERT_TRUE(ReadThumb(db, "good@x", 1, 1, &bytes));
      EXPECT_EQ(bytes, "TH");
    }
    std::filesystem::remove(File());
  }
}

// Ids and sizes at the edges of 64 bits, ids full of quotes, huge ids and MIME types, a picture
// larger than the buffer: stored exactly, read back exactly, or refused without a write past the
// buffer.
TEST_F(HostileAvatarDbTest, ExtremeArgumentsRoundTripOrAreRefused) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  const int64_t extremes[][2] = {{INT64_MIN, INT64_MAX}, {-1, -1}, {0, 0}, {INT64_MAX, INT64_MIN}};
  for (const auto& size : extremes) {
    SCOPED_TRACE(size[0]);
    EXPECT_TRUE(db.SetThumbnail("e@x", size[0], size[1], "EX", 2));
    std::string bytes;
    ASSERT_TRUE(ReadThumb(db, "e@x", size[0], size[1], &bytes));
    EXPECT_EQ(bytes, "EX");
  }
  EXPECT_EQ(Tool("SELECT count(*) FROM thumbnails;"), "4\n");

  const std::string quoted = "a'\"; DROP TABLE avatars; --\\x@y";
  const std::string hugeId = hx::hostile_testing::Filler(200000);
  const std::string hugeMime = hx::hostile_testing::Filler(1 << 20, 'm');
  EXPECT_TRUE(db.SetAvatar(quoted.c_str(), "m", "Q", 1, INT64_MIN));
  EXPECT_TRUE(db.SetAvatar(hugeId.c_str(), hugeMime.c_str(), "H", 1, INT64_MAX));
  std::string bytes, mime;
  int64_t hash = 0;
  ASSERT_TRUE(Read(db, quoted.c_str(), kScratch, &bytes, &hash));
  EXPECT_EQ(bytes, "Q");
  EXPECT_EQ(hash, INT64_MIN);
  ASSERT_TRUE(Read(db, hugeId.c_str(), kScratch, &bytes, &hash, &mime));
  EXPECT_EQ(mime, hugeMime);
  EXPECT_EQ(hash, INT64_MAX);

  // Larger than the buffer: stored whole, never read into it.
  const std::string tooBig(kScratch * 2, 'Z');
  EXPECT_TRUE(db.SetAvatar("z@x", "m", tooBig.data(), tooBig.size(), 1));
  EXPECT_EQ(Tool("SELECT length(Pic), PicSize FROM avatars WHERE PeerId='z@x';"),
            std::to_string(tooBig.size()) + "|" + std::to_string(tooBig.size()) + "\n");
  EXPECT_FALSE(Read(db, "z@x", HXDBBase::kUnlimited, &bytes));
  EXPECT_FALSE(Read(db, "z@x", 0, &bytes));
  // A size given with a null picture, and a picture given with size 0, both store the empty row.
  EXPECT_TRUE(db.SetAvatar("n@x", "m", nullptr, UINT64_MAX, 9));
  EXPECT_TRUE(db.SetAvatar("s@x", "m", "SSS", 0, 9));
  EXPECT_EQ(Tool("SELECT PeerId, PicMime, hex(Pic), PicHash, PicSize FROM avatars WHERE PeerId "
                 "IN ('n@x','s@x') ORDER BY PeerId;"),
            "n@x|||9|0\ns@x|||9|0\n");
}

// Two processes storing pictures into the same file at once: every picture of both is there
// afterwards, and neither hangs past its limit.
TEST_F(HostileAvatarDbTest, TwoProcessesWritingOneFileKeepEveryPicture) {
  MakeGoodFile();
  constexpr int kEach = 40;
  const std::string dir = Dir();
  const auto writer = [dir](int process) {
    return [dir, process] {
      HX_AvatarDB db;
      if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
      for (int i = 0; i < kEach; ++i) {
        const std::string peer = "p" + std::to_string(process) + "-" + std::to_string(i);
        db.SetAvatar(peer.c_str(), "m", peer.data(), peer.size(), i);
        db.SetThumbnail(peer.c_str(), 1, 1, "T", 1);
      }
      return 0;
    };
  };
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer(0), writer(1)));
  EXPECT_EQ(Tool("SELECT count(*) FROM avatars; SELECT count(*) FROM thumbnails;"),
            std::to_string(2 * kEach + 1) + "\n" + std::to_string(2 * kEach) + "\n");
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  std::string bytes;
  ASSERT_TRUE(Read(db, "p1-7", kScratch, &bytes));
  EXPECT_EQ(bytes, "p1-7");
}

// Another connection holds the write lock for longer than the wait: writes give up and answer,
// reads still answer, no call hangs past the wait, and the rows are kept.
TEST_F(HostileAvatarDbTest, ALockedFileIsWaitedForOnlyBoundedly) {
  MakeGoodFile();
  const std::string file = File();
  const std::string tool = sqlite3_;
  // The sqlite3 tool holds an exclusive lock for 8 s.
  hx::testing::ChildProcess locker(
      {"/bin/sh", "-c",
       "{ echo 'BEGIN EXCLUSIVE; UPDATE avatars SET LastRead = LastRead;'; sleep 8; } | " +
           hx::storage_testing::ShellQuoted(tool) + " " + hx::storage_testing::ShellQuoted(file)});
  ASSERT_TRUE(locker.started());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_AvatarDB db;
        if (!db.OpenDatabase(kMe, dir.c_str())) return 0;  // busy: refused, left alone
        db.SetAvatar("late@x", "m", "L", 1, 1);
        int64_t hash = 0;
        db.GetAvatarHash("good@x", hash);
        return 0;
      },
      30);
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_TRUE(hx::testing::WaitFor([&] { return !locker.Running(); }, 20000));
  EXPECT_EQ(Tool("SELECT Pic FROM avatars WHERE PeerId='good@x';"), "GOOD\n");
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's pictures.
TEST_F(HostileAvatarDbTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  ExpectLookAlikeUsersApart(
      [](const char* peer, const std::string& dir) {
        HX_AvatarDB db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str())) << peer;
        ASSERT_TRUE(db.SetAvatar("owner", "m", peer, std::strlen(peer), 1));
      },
      [this](const char* peer, const std::string& dir) {
        HX_AvatarDB db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str()));
        std::string bytes;
        ASSERT_TRUE(Read(db, "owner", kScratch, &bytes));
        EXPECT_EQ(bytes, peer);
      });
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostileAvatarDbTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  ExpectPathPartsStayInside([](const char* peer, const std::string& dir) {
    HX_AvatarDB db;
    if (db.OpenDatabase(peer, dir.c_str())) db.SetAvatar("owner", "m", "X", 1, 1);
  });
}

// A caller's stream smaller than the picture: the picture reads as absent and nothing is written
// past the stream's end (the buffer is allocated to the byte); a stream of exactly the picture's
// size and an unbounded one get it whole.
TEST_F(HostileAvatarDbTest, StreamsSmallerThanThePictureReadAsAbsent) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  const std::string pic(100, 'P');
  ASSERT_TRUE(db.SetAvatar("p@x", "m", pic.data(), pic.size(), 1));
  ASSERT_TRUE(db.SetThumbnail("p@x", 3, 3, pic.data(), pic.size()));
  const auto readInto = [&](size_t window, bool failFirst, std::string* got) {
    std::unique_ptr<char[]> bytes(new char[window == 0 ? 1 : window]);
    HXDBBase::streamhelper helper(bytes.get(), bytes.get() + window);
    std::ostream out(&helper);
    if (failFirst) out.setstate(std::ios::badbit);
    std::string mime;
    int64_t hash = 0, lastWrite = 0, w = 3, h = 3;
    uint64_t size = HXDBBase::kUnlimited;
    const bool avatar = db.GetAvatar("p@x", mime, out, hash, size, lastWrite);
    if (avatar && got != nullptr) *got = std::string(bytes.get(), std::min<uint64_t>(size, window));
    uint64_t thumbSize = 0;
    std::ostream out2(&helper);
    if (failFirst) out2.setstate(std::ios::badbit);
    HXDBBase::streamhelper helper2(bytes.get(), bytes.get() + window);
    out2.rdbuf(&helper2);
    if (failFirst) out2.setstate(std::ios::badbit);
    const bool thumb = db.GetThumbnail("p@x", out2, w, h, thumbSize, lastWrite);
    EXPECT_EQ(avatar, thumb) << window;
    return avatar;
  };
  for (size_t window : {size_t{0}, size_t{1}, size_t{99}}) {
    SCOPED_TRACE(window);
    EXPECT_FALSE(readInto(window, false, nullptr));
  }
  std::string got;
  ASSERT_TRUE(readInto(100, false, &got));
  EXPECT_EQ(got, pic);
  std::ostringstream unbounded;
  std::string mime;
  int64_t hash = 0, lastWrite = 0;
  uint64_t size = HXDBBase::kUnlimited;
  ASSERT_TRUE(db.GetAvatar("p@x", mime, unbounded, hash, size, lastWrite));
  EXPECT_EQ(unbounded.str(), pic);
  EXPECT_EQ(size, 100u);
}

// A stream that has already failed takes no bytes, so the picture must read as absent: a found
// answer would hand the caller whatever an earlier read left in its buffer.
TEST_F(HostileAvatarDbTest, AFailedStreamReadsAsAbsent) {
  HX_AvatarDB db;
  ASSERT_TRUE(Open(db));
  ASSERT_TRUE(db.SetAvatar("p@x", "m", "PICTURE", 7, 1));
  ASSERT_TRUE(db.SetThumbnail("p@x", 3, 3, "THUMB", 5));
  Scratch scratch;
  std::memcpy(scratch.bytes.get(), "STALE!!", 7);
  HXDBBase::streamhelper window(scratch.bytes.get(), scratch.bytes.get() + kScratch);
  std::ostream out(&window);
  out.setstate(std::ios::badbit);
  std::string mime;
  int64_t hash = 0, lastWrite = 0, w = 3, h = 3;
  uint64_t size = kScratch;
  EXPECT_FALSE(db.GetAvatar("p@x", mime, out, hash, size, lastWrite));
  EXPECT_FALSE(db.GetThumbnail("p@x", out, w, h, size, lastWrite));
}

// Threads using one database while another switches it between two users' files: no crash, no
// sanitizer finding, no hang.
TEST_F(HostileAvatarDbTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_AvatarDB db;
        if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
        hx::hostile_testing::UseWhileSwitching(
            [&](int i) {
              db.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
              if (i % 7 == 0) db.Close();
            },
            [&](int i) {
              const std::string peer = "w" + std::to_string(i % 10);
              db.SetAvatar(peer.c_str(), "m", "WW", 2, i);
              db.SetThumbnail(peer.c_str(), 1, 1, "T", 1);
              db.DelAvatar(("w" + std::to_string((i + 5) % 10)).c_str());
            },
            [&](int i) {
              Scratch scratch;
              HXDBBase::streamhelper window(scratch.bytes.get(), scratch.bytes.get() + kScratch);
              std::ostream out(&window);
              std::string mime;
              int64_t hash = 0, lastWrite = 0, w = 1, h = 1;
              uint64_t size = kScratch;
              const std::string peer = "w" + std::to_string(i % 10);
              db.GetAvatar(peer.c_str(), mime, out, hash, size, lastWrite);
              db.GetThumbnail(peer.c_str(), out, w, h, size, lastWrite);
              db.GetAvatarHash("w1", hash);
            });
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostileAvatarDbTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kEveryOddFileButTheFifo);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostileAvatarDbTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostileAvatarDbTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_AvatarDB db;
  ASSERT_NO_FATAL_FAILURE(ExpectReopenedAfterCloseAndSwitch(db, db));
  db.SetAvatar("r@x", "m", "R", 1, 1);
  EXPECT_EQ(Tool("SELECT Pic FROM avatars WHERE PeerId='r@x';"), "R\n");
}

// A user who may write the folder but not the file (another user's file in one's own folder):
// the file is not deleted or replaced, and its picture is not lost.
TEST_F(HostileAvatarDbTest, AnUnwritableFileInAWritableFolderIsLeftAlone) {
  MakeGoodFile();
  ShareWithOtherUsers();
  chmod(File().c_str(), 0644);
  ASSERT_EQ(chown(temp_.path().c_str(), hx::hostile_testing::kNobody, hx::hostile_testing::kNobody),
            0);
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [&] {
        HX_AvatarDB db;
        if (db.OpenDatabase(kMe, dir.c_str())) {
          db.SetAvatar("good@x", "m", "BAD", 3, 1);
          db.DelAvatar("good@x");
        }
        return 0;
      },
      20, hx::hostile_testing::kNobody);
  ASSERT_EQ(chown(temp_.path().c_str(), 0, 0), 0);
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT PeerId, Pic FROM avatars;"), "good@x|GOOD\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostileAvatarDbTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  HX_AvatarDB db;
  ASSERT_NO_FATAL_FAILURE(ExpectFirstUserAgainAfterFailedSwitch(db, db));
  db.SetAvatar("r@x", "m", "R", 1, 1);
  EXPECT_EQ(Tool("SELECT Pic FROM avatars WHERE PeerId='r@x';"), "R\n");
}

}  // namespace
