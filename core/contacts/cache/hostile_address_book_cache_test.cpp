// The address-book cache against files that someone else wrote or damaged (made with the sqlite3
// tool or from raw bytes): NULLs and foreign types in the columns it loads, numbers beyond 32
// bits, huge names, wrong versions, objects of the wrong kind under its table names, files that
// are not databases, cut or empty, unwritable folders and files, two processes on one file, and
// calls with null, empty and extreme arguments or before the open. Operations that might hang or
// crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/cache/address_book_cache.h"
#include "core/contacts/hostile_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::contacts_testing::Rows;
using hx::contacts_testing::UpperMd5;
using hx::hostile_testing::RunInChild;

constexpr int64_t kT0 = 1700000000;
constexpr const char* kMe = "me@example.org";

// The tables as another program might have made them: the real columns without constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE peers (PeerId CHAR COLLATE NOCASE, DisplayName DEFAULT '', ContactList DEFAULT "
    "0, "
    "BanList DEFAULT 0, LastUpdate DEFAULT 0);"
    "CREATE TABLE hash (BookId INTEGER PRIMARY KEY, BookHash, BookCrc);"
    "PRAGMA user_version = 11;";

class HostileAddressBookCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + UpperMd5(kMe) + ".cache.sqlite"; }
  std::string Tool(const std::string& sql) { return Rows(sqlite3_, File(), sql); }
  bool Open(HX_GrossBuchCache& cache) { return cache.OpenDatabase(kMe, Dir().c_str()); }
  void RemoveFile() {
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(File() + end);
  }
  // A file made by the class: one contact "good@x" named "Good", book 1 hash 11 and checksum 12.
  void MakeGoodFile() {
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    ASSERT_TRUE(cache.AddPeerAbCommon("good@x", "Good", 0, 11, 12));
  }
  // After an attack: the class opens the file and a contact round trip works across a reopen.
  void ExpectUsable() {
    {
      HX_GrossBuchCache cache;
      ASSERT_TRUE(Open(cache));
      ASSERT_TRUE(cache.AddPeerAbCommon("after@x", "After", 0, 5, 6));
    }
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    EXPECT_TRUE(cache.IsContact("after@x"));
    EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 5u);
    EXPECT_EQ(Tool("PRAGMA user_version;"), "11\n");
  }

  // Tries the odd things of TryOddFilesInPlace (`cases`) where the user's file should be, in a
  // folder inside the temporary one.
  void TryOddFiles(int cases) {
    const std::string inner = temp_.path() + "/in/";
    std::filesystem::create_directories(inner);
    const std::string file = inner + UpperMd5(kMe) + ".cache.sqlite";
    hx::hostile_testing::TryOddFilesInPlace(
        file, temp_.path(),
        [&] {
          HX_GrossBuchCache db;
          ASSERT_TRUE(db.OpenDatabase(kMe, inner.c_str()));
          ASSERT_TRUE(db.AddPeerAbCommon("good@x", "Good", 0, 1, 1));
        },
        [&] {
          HX_GrossBuchCache db;
          if (db.OpenDatabase(kMe, inner.c_str())) {
            db.AddToCache("w@x", "W");
            db.IsContact("good@x");
          }
          return 0;
        },
        [&] {
          return Rows(sqlite3_, file, "SELECT DisplayName FROM peers WHERE PeerId='good@x';") ==
                 "Good\n";
        },
        cases);
  }

  hx::testing::TempDir temp_;
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
  std::string sqlite3_;
};

// Every operation before the open, and with null, empty and odd ids on an open file: answered,
// nothing crashes, the stored rows stay.
TEST_F(HostileAddressBookCacheTest, OperationsBeforeOpenAndWithNullAndOddIds) {
  MakeGoodFile();
  const auto everything = [](HX_GrossBuchCache& cache) {
    hx::DisplayName name;
    cache.getDisplayName(nullptr, name);
    for (auto choice :
         {hx::DisplayName::kReturnEmpty, hx::DisplayName::kReturnCallId,
          hx::DisplayName::kReturnNull, static_cast<hx::DisplayName::ReturnValue>(77)}) {
      cache.GetDisplayName(nullptr, choice);
      cache.GetDisplayName("", choice);
    }
    if (cache.AddToCache(nullptr, "n")) return 10;
    if (cache.AddToCache("n@x", nullptr)) return 11;
    for (const char* odd : {"", "#", "+", "\\", "#/", "+/", "\\/", "/", "@", "\\c\\",
                            "#fb:", "sip:/", "h323:", "tel:/", "rtsp:"}) {
      cache.getDisplayName(odd, name);
      cache.GetDisplayName(odd, hx::DisplayName::kReturnCallId);
      cache.isCacheRequestAllowed(odd);
      cache.IsBan(odd);
      cache.IsContact(odd);
      cache.AddToCache(odd, odd);
      cache.AddToContactList(odd, nullptr);
    }
    cache.AddPeerAbCommon("", "", 0, 0, 0);
    cache.DelPeerAbCommon("", 0, 0);
    cache.AddPeerAbBanList("", nullptr, 0);
    cache.AddPeerAbBanList("nb@x", "", 0);
    cache.DelPeerAbBanList("", "", 0);
    cache.DelPeerAbCommon("never@x", 0, 0);
    cache.DelPeerAbBanList("never@x", nullptr, 0);
    std::set<std::string> added, removed;
    cache.ManageAbBanList(0, {""}, added, removed);
    cache.ClearBanList();
    cache.ExpireCache();
    cache.SetBookHash(static_cast<HX_AddressBook>(-1), 1);
    cache.SetBookCrc(static_cast<HX_AddressBook>(INT32_MIN), 1);
    cache.GetBookHash(static_cast<HX_AddressBook>(INT32_MAX));
    std::set<hx::Contact> contacts;
    cache.getContacts(contacts, nullptr);
    return 0;
  };
  const std::string dir = Dir();
  hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_GrossBuchCache cache;
    const int closed = everything(cache);
    if (closed != 0) return closed;
    if (!cache.OpenDatabase(kMe, dir.c_str())) return 20;
    const int open = everything(cache);
    if (open != 0) return open;
    cache.Close();
    return everything(cache);
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT DisplayName, ContactList FROM peers WHERE PeerId='good@x';"), "Good|1\n");
}

// A contact-list answer whose item has no "CallId" (a null id in the metadata) is refused or
// skipped; it never crashes, and the contacts stored before stay.
TEST_F(HostileAddressBookCacheTest, ContactItemWithoutCallIdDoesNotCrash) {
  MakeGoodFile();
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_GrossBuchCache cache;
    if (!cache.OpenDatabase(kMe, dir.c_str())) return 2;
    hx::contacts::contactMetaData item;
    item.callId = nullptr;
    item.displayName = "NoId";
    cache.AddContactsToContactList({item}, false, 1, 1);
    cache.AddPeerAbCommon(nullptr, "N", 0, 0, 0);
    cache.DelPeerAbCommon(nullptr, 0, 0);
    cache.AddPeerAbBanList(nullptr, nullptr, 0);
    cache.DelPeerAbBanList(nullptr, nullptr, 0);
    cache.AddToContactList(nullptr, "N");
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT count(*) FROM peers WHERE PeerId='good@x';"), "1\n");
}

// The widest values of the 32-bit fields survive a reopen exactly: contact flags of all ones
// (stored as ContactList 0xFFFF0001), hashes and checksums with the top bit set.
TEST_F(HostileAddressBookCacheTest, ThirtyTwoBitEdgesRoundTripThroughTheFile) {
  {
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    ASSERT_TRUE(cache.AddPeerAbCommon("wide@x", "Wide", 0xFFFFFFFFu, 0xFFFFFFFFu, 0x80000000u));
    cache.SetBookHash(HX_AB_PHONES, 0x80000001u);
  }
  EXPECT_EQ(Tool("SELECT ContactList FROM peers;"), "4294901761\n");
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 0xFFFFFFFFu);
  EXPECT_EQ(cache.GetBookCrc(HX_AB_CONTACTS), 0x80000000u);
  EXPECT_EQ(cache.GetBookHash(HX_AB_PHONES), 0x80000001u);
  std::set<hx::Contact> contacts;
  cache.getContacts(contacts, nullptr);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts.begin()->flags, 0xFFFFu);
  EXPECT_TRUE(cache.IsContact("wide@x"));
  EXPECT_FALSE(cache.IsBan("wide@x"));
}

// Rows that someone else wrote beside a good contact: NULL or foreign ids, names and list
// columns, numbers beyond 32 bits, book ids outside 32 bits. The open answers (true or false)
// without a crash; when it loads, the good contact and book 1 are there unchanged, and the
// file's rows stay.
TEST_F(HostileAddressBookCacheTest, HostileRowsNeverCrashTheLoad) {
  const std::vector<std::string> rows = {
      "INSERT INTO peers VALUES (NULL, 'N', 1, 0, 0);",
      "INSERT INTO peers VALUES ('n@x', NULL, 1, 0, 0);",
      "INSERT INTO peers VALUES ('n@x', 'N', NULL, NULL, NULL);",
      "INSERT INTO peers VALUES (x'00ff00', x'00', 1, 1, 0);",
      "INSERT INTO peers VALUES (12345, 67890, 1, 0, 0);",
      "INSERT INTO peers VALUES ('big@x', 'B', 8590065665, 4294967297, 0);",
      "INSERT INTO peers VALUES ('neg@x', 'B', -1, -1, 0);",
      "INSERT INTO peers VALUES ('min@x', 'B', -9223372036854775808, 0, 0);",
      "INSERT INTO peers VALUES ('real@x', 'B', 1.5, 0.5, 0);",
      "INSERT INTO peers VALUES ('GOOD@X', 'Shadow', 0, 1, 0);",
      "INSERT INTO hash VALUES (-5, 7, 8);",
      "INSERT INTO hash VALUES (2, 4294967296, -1);",
      "INSERT INTO hash VALUES (3, NULL, NULL);",
      "INSERT INTO hash VALUES (4, 1.5, 'x');",
  };
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    RemoveFile();
    Tool(std::string(kLooseSchema) +
         "INSERT INTO peers VALUES ('good@x', 'Good', 1, 0, 0);"
         "INSERT INTO hash VALUES (1, 11, 12);" +
         row);
    const std::string before = Tool("SELECT count(*) FROM peers; SELECT count(*) FROM hash;");
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_GrossBuchCache cache;
      if (!cache.OpenDatabase(kMe, dir.c_str())) return 0;
      if (!cache.IsContact("good@x")) return 3;
      if (cache.GetBookHash(HX_AB_CONTACTS) != 11 || cache.GetBookCrc(HX_AB_CONTACTS) != 12)
        return 4;
      hx::DisplayName name;
      if (!cache.getDisplayName("good@x", name) || name.m_dn != "Good") return 5;
      std::set<hx::Contact> contacts;
      cache.getContacts(contacts, nullptr);
      cache.GetBans();
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
    EXPECT_EQ(Tool("SELECT count(*) FROM peers; SELECT count(*) FROM hash;"), before);
  }
}

// Expiry over rows whose LastUpdate is NULL, text, or at the ends of 64 bits, with the clock at
// the ends too: nothing crashes, contacts and bans are never expired.
TEST_F(HostileAddressBookCacheTest, ExpiryOverHostileTimes) {
  Tool(std::string(kLooseSchema) +
       "INSERT INTO peers VALUES ('good@x', 'Good', 1, 0, -9223372036854775808);"
       "INSERT INTO peers VALUES ('ban@x', 'Ban', 0, 1, 9223372036854775807);"
       "INSERT INTO peers VALUES ('n1@x', 'N', 0, 0, NULL);"
       "INSERT INTO peers VALUES ('n2@x', 'N', 0, 0, 'soon');"
       "INSERT INTO peers VALUES ('n3@x', 'N', 0, 0, -9223372036854775808);"
       "INSERT INTO peers VALUES ('n4@x', 'N', 0, 0, 9223372036854775807);");
  for (int64_t now : {INT64_MAX, INT64_MIN, int64_t{0}, kT0}) {
    SCOPED_TRACE(now);
    clock_.Set(now);
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_GrossBuchCache cache;
      if (!cache.OpenDatabase(kMe, dir.c_str())) return 2;
      cache.ExpireCache();
      cache.AddToCache("fresh@x", "F");
      return cache.IsContact("good@x") && cache.IsBan("ban@x") ? 0 : 3;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
    EXPECT_EQ(Tool("SELECT PeerId FROM peers WHERE PeerId IN ('good@x','ban@x') ORDER BY 1;"),
              "ban@x\ngood@x\n");
  }
}

// A book id beyond 32 bits in the hash table is another book than its low 32 bits: loading it must
// not replace the stored hash and checksum of book 1.
TEST_F(HostileAddressBookCacheTest, BookIdBeyondThirtyTwoBitsDoesNotReplaceBookOne) {
  Tool(std::string(kLooseSchema) +
       "INSERT INTO hash VALUES (1, 11, 12); INSERT INTO hash VALUES (4294967297, 9, 9);");
  HX_GrossBuchCache cache;
  if (!Open(cache)) return;  // refusing the file is an answer too
  EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 11u);
  EXPECT_EQ(cache.GetBookCrc(HX_AB_CONTACTS), 12u);
}

// A peer-details request at the very end of the clock's range: the 30-second window must not
// overflow (UndefinedBehaviorSanitizer), and the request is answered.
TEST_F(HostileAddressBookCacheTest, RequestWindowAtTheEndOfTime) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  clock_.Set(INT64_MAX - 5);
  const bool first = cache.isCacheRequestAllowed("late@x");
  const bool second = cache.isCacheRequestAllowed("late@x");
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  clock_.Set(INT64_MIN);
  EXPECT_FALSE(cache.isCacheRequestAllowed("late@x"));
}

// Huge ids and names, quotes and zero-free binary-looking texts: stored and read back exactly
// across a reopen.
TEST_F(HostileAddressBookCacheTest, HugeAndQuotedTextsRoundTrip) {
  const std::string hugeId = hx::hostile_testing::Filler(100000) + "@x";
  const std::string hugeName = hx::hostile_testing::Filler(1 << 20, 'n');
  const std::string quoted = "q'\"; DROP TABLE peers; --@x";
  {
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    ASSERT_TRUE(cache.AddToCache(hugeId.c_str(), hugeName.c_str()));
    ASSERT_TRUE(cache.AddPeerAbCommon(quoted.c_str(), quoted.c_str(), 1, 0, 0));
    std::set<std::string> bans;
    for (int i = 0; i < 2000; ++i) bans.insert("b" + std::to_string(i) + "@x");
    std::set<std::string> added, removed;
    ASSERT_TRUE(cache.ManageAbBanList(3, bans, added, removed));
    EXPECT_EQ(added.size(), 2000u);
  }
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  hx::DisplayName name;
  ASSERT_TRUE(cache.getDisplayName(hugeId.c_str(), name));
  EXPECT_EQ(name.m_dn, hugeName);
  EXPECT_TRUE(cache.IsContact(quoted));
  EXPECT_EQ(cache.GetDisplayName(quoted.c_str(), hx::DisplayName::kReturnNull), quoted);
  EXPECT_EQ(cache.GetBans().size(), 2000u);
  EXPECT_EQ(cache.GetBookHash(HX_AB_BANS), 3u);
}

// Files that are no usable database are replaced and work afterwards.
TEST_F(HostileAddressBookCacheTest, FilesThatAreNotDatabasesOrAreCutAreReplaced) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  std::vector<Case> cases = {
      {"zero bytes", [](const std::string& f) { hx::storage_testing::WriteFile(f, ""); }},
      {"text", [](const std::string& f) { hx::storage_testing::WriteFile(f, "not a database"); }},
      {"header only",
       [](const std::string& f) {
         hx::storage_testing::WriteFile(
             f, std::string("SQLite format 3\0", 16) + std::string(84, '\xff'));
       }},
      {"cut inside a page", [](const std::string& f) { hx::hostile_testing::Truncate(f, 5000); }},
      {"cut inside the header", [](const std::string& f) { hx::hostile_testing::Truncate(f, 60); }},
  };
  for (const hx::hostile_testing::HeaderLie& lie : hx::hostile_testing::HeaderLies()) {
    cases.push_back({lie.what, [lie](const std::string& f) {
                       hx::hostile_testing::Patch(f, lie.offset, lie.bytes);
                     }});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile();
    MakeGoodFile();
    Tool("PRAGMA wal_checkpoint(TRUNCATE);");
    c.make(File());
    ExpectUsable();
  }
}

// Versions another program might have left: every one but 10 and 11 gives an empty file of
// version 11; a file of version 10 whose peers table is missing or a view is replaced as well.
TEST_F(HostileAddressBookCacheTest, ForeignVersionsAndBrokenUpgrades) {
  for (int version : {0, 9, 12, 99, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(version);
    RemoveFile();
    MakeGoodFile();
    Tool("PRAGMA user_version = " + std::to_string(version) + ";");
    {
      HX_GrossBuchCache cache;
      ASSERT_TRUE(Open(cache));
      EXPECT_FALSE(cache.IsContact("good@x"));
      EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 0u);
    }
    ExpectUsable();
  }
  const std::vector<std::string> brokenV10 = {
      "CREATE TABLE hash (BookId INTEGER PRIMARY KEY, BookHash, BookCrc);",
      "CREATE TABLE t (PeerId, DisplayName, ContactList, BanList, LastUpdate);"
      "CREATE VIEW peers AS SELECT * FROM t;"
      "CREATE TABLE hash (BookId INTEGER PRIMARY KEY, BookHash, BookCrc);",
      "CREATE TABLE peers (PeerId);"
      "CREATE TABLE hash (BookId INTEGER PRIMARY KEY, BookHash, BookCrc);",
  };
  for (const std::string& schema : brokenV10) {
    SCOPED_TRACE(schema);
    RemoveFile();
    Tool(schema + "PRAGMA user_version = 10;");
    ExpectUsable();
  }
}

// Objects of the wrong kind under the class's names in a file of the right version: a view
// where "peers" should be, an index named "hash". The open answers without a crash and the
// foreign rows stay.
TEST_F(HostileAddressBookCacheTest, WrongKindsOfObjectsUnderTheTableNames) {
  Tool(
      "CREATE TABLE t (PeerId, DisplayName, ContactList, BanList, LastUpdate);"
      "INSERT INTO t VALUES ('v@x', 'V', 1, 0, 0);"
      "CREATE VIEW peers AS SELECT * FROM t;"
      "CREATE TABLE h (BookId, BookHash, BookCrc);"
      "CREATE INDEX hash ON h (BookId);"
      "PRAGMA user_version = 11;");
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_GrossBuchCache cache;
    if (cache.OpenDatabase(kMe, dir.c_str())) {
      cache.AddToCache("w@x", "W");
      cache.AddPeerAbCommon("w@x", "W", 0, 1, 1);
      cache.ExpireCache();
    }
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  const std::string after = Tool("SELECT * FROM t;");
  EXPECT_EQ(after, "v@x|V|1|0|0\n");
}

// The folder is a file: false, nothing thrown, the cache stays closed and in memory.
TEST_F(HostileAddressBookCacheTest, FolderThatIsAFileIsRefused) {
  const std::string notDir = Dir() + "plain";
  hx::storage_testing::WriteFile(notDir, "x");
  HX_GrossBuchCache cache;
  EXPECT_FALSE(cache.OpenDatabase(kMe, (notDir + "/").c_str()));
  EXPECT_FALSE(cache.IsOpen());
  EXPECT_TRUE(cache.IsBan("anyone@x"));
  EXPECT_EQ(hx::storage_testing::ReadFile(notDir), "x");
}

// A user who may not write: the read-only file in a read-only folder is neither deleted nor
// emptied; nothing crashes.
TEST_F(HostileAddressBookCacheTest, ReadOnlyFolderAndFileLoseNothing) {
  MakeGoodFile();
  Tool("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
  hx::hostile_testing::OpenToOthers(temp_.path());
  chmod(File().c_str(), 0444);
  chmod(temp_.path().c_str(), 0555);
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [&] {
        HX_GrossBuchCache other;
        if (other.OpenDatabase("other@x", dir.c_str())) return 1;
        HX_GrossBuchCache cache;
        if (cache.OpenDatabase(kMe, dir.c_str())) {
          cache.DelPeerAbCommon("good@x", 0, 0);
          cache.ClearBanList();
        }
        return 0;
      },
      20, hx::hostile_testing::kNobody);
  chmod(temp_.path().c_str(), 0755);
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT PeerId, ContactList FROM peers;"), "good@x|1\n");
}

// Two processes writing contacts into one file at once: every contact of both is kept, neither
// hangs past its limit.
TEST_F(HostileAddressBookCacheTest, TwoProcessesWritingOneFileKeepEveryContact) {
  MakeGoodFile();
  constexpr int kEach = 40;
  const std::string dir = Dir();
  const auto writer = [dir](int process) {
    return [dir, process] {
      HX_GrossBuchCache cache;
      if (!cache.OpenDatabase(kMe, dir.c_str())) return 2;
      for (int i = 0; i < kEach; ++i) {
        const std::string peer = "p" + std::to_string(process) + "-" + std::to_string(i);
        if (!cache.AddPeerAbCommon(peer.c_str(), peer.c_str(), 0, i, i)) return 3;
        cache.AddToCache(("c" + peer).c_str(), "C");
      }
      return 0;
    };
  };
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) _exit(RunInChild(writer(1), 60).Clean() ? 0 : 3);
  const hx::hostile_testing::ChildEnd mine = RunInChild(writer(0), 60);
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_TRUE(mine.Clean()) << mine.Describe();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Tool("SELECT count(*) FROM peers WHERE ContactList=1; SELECT count(*) FROM peers;"),
            std::to_string(2 * kEach + 1) + "\n" + std::to_string(4 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostileAddressBookCacheTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  const std::string inner = temp_.path() + "/a/b/";
  std::filesystem::create_directories(inner);
  const std::vector<std::string> victims = {
      temp_.path() + "/escape.cache.sqlite", temp_.path() + "/escape@x.cache.sqlite",
      temp_.path() + "/a/escape.cache.sqlite", temp_.path() + "/escape"};
  for (const std::string& victim : victims) hx::storage_testing::WriteFile(victim, "victim");
  const char* peers[] = {"../../escape",      "../../escape@x",   "../escape",      "..", ".", "/",
                         "x/../../../escape", "../../escape.x.y", "..\\..\\escape", "a/"};
  for (const char* peer : peers) {
    SCOPED_TRACE(peer);
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_GrossBuchCache db;
      if (db.OpenDatabase(peer, inner.c_str())) {
        db.AddToCache("owner", "X");
      }
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
  for (const std::string& victim : victims) {
    EXPECT_EQ(hx::storage_testing::ReadFile(victim), "victim") << victim;
  }
  std::string outside = hx::hostile_testing::FilesOutside(temp_.path(), inner);
  for (const std::string& victim : victims) {
    const size_t at = outside.find(victim + "\n");
    if (at != std::string::npos) outside.erase(at, victim.size() + 1);
  }
  EXPECT_EQ(outside, "");
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's data.
TEST_F(HostileAddressBookCacheTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  const char* peers[] = {
      "john.doe@example.org", "john.smith@example.org", "a.b.c.d",       "a.b.c.e",
      "john@example.org",     "JOHN@example.org",       "x.cache.sqlite"};
  for (const char* peer : peers) {
    HX_GrossBuchCache db;
    ASSERT_TRUE(db.OpenDatabase(peer, Dir().c_str())) << peer;
    ASSERT_TRUE(db.AddToCache("owner", peer));
  }
  for (const char* peer : peers) {
    SCOPED_TRACE(peer);
    HX_GrossBuchCache db;
    ASSERT_TRUE(db.OpenDatabase(peer, Dir().c_str()));
    hx::DisplayName name;
    ASSERT_TRUE(db.getDisplayName("owner", name));
    EXPECT_EQ(name.m_dn, peer);
    EXPECT_TRUE(hx::storage_testing::Exists(Dir() + UpperMd5(peer) + ".cache.sqlite"));
  }
}

// Threads using one cache while another switches it between two users' files: no crash, no
// sanitizer finding, no hang.
TEST_F(HostileAddressBookCacheTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_GrossBuchCache cache;
        if (!cache.OpenDatabase(kMe, dir.c_str())) return 2;
        std::atomic<bool> stop{false};
        std::thread switcher([&] {
          for (int i = 0; i < 60; ++i) {
            cache.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
            if (i % 7 == 0) cache.Close();
          }
          stop = true;
        });
        std::thread writer([&] {
          for (int i = 0; !stop; ++i) {
            const std::string peer = "w" + std::to_string(i % 10) + "@x";
            cache.AddPeerAbCommon(peer.c_str(), "W", i, i, i);
            cache.AddPeerAbBanList(peer.c_str(), nullptr, i);
            cache.AddToCache(("c" + peer).c_str(), "C");
            std::set<std::string> added, removed;
            cache.ManageAbBanList(i, {peer, "b@x"}, added, removed);
            cache.DelPeerAbCommon(peer.c_str(), i, i);
            if (i % 5 == 0) cache.ExpireCache();
          }
        });
        for (int i = 0; !stop; ++i) {
          const std::string peer = "w" + std::to_string(i % 10) + "@x";
          hx::DisplayName name;
          cache.getDisplayName(peer.c_str(), name);
          cache.GetDisplayName(peer.c_str(), hx::DisplayName::kReturnCallId);
          cache.isCacheRequestAllowed("r" + peer);
          std::set<hx::Contact> contacts;
          cache.getContacts(contacts, nullptr);
          cache.GetBans();
          cache.IsBan(peer);
          cache.GetBookHash(HX_AB_CONTACTS);
        }
        switcher.join();
        writer.join();
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostileAddressBookCacheTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kFolder | hx::hostile_testing::kWalFolder |
              hx::hostile_testing::kJunkWal | hx::hostile_testing::kLinkToDocument);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostileAddressBookCacheTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostileAddressBookCacheTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_GrossBuchCache db;
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  db.Close();
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.IsOpen());
  ASSERT_TRUE(db.OpenDatabase("other@x", Dir().c_str()));
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.IsOpen());
  EXPECT_TRUE(db.AddToCache("r@x", "R"));
  EXPECT_EQ(Tool("SELECT DisplayName FROM peers WHERE PeerId='r@x';"), "R\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostileAddressBookCacheTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  std::filesystem::create_directories(Dir() + UpperMd5("other@x") + ".cache.sqlite/inside");
  HX_GrossBuchCache db;
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_FALSE(db.OpenDatabase("other@x", Dir().c_str()));
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.IsOpen());
  EXPECT_TRUE(db.AddToCache("r@x", "R"));
  EXPECT_EQ(Tool("SELECT DisplayName FROM peers WHERE PeerId='r@x';"), "R\n");
}

}  // namespace
