// The address-book cache against files that someone else wrote or damaged (made with the sqlite3
// tool or from raw bytes): NULLs and foreign types in the columns it loads, numbers beyond 32
// bits, huge names, wrong versions, objects of the wrong kind under its table names, files that
// are not databases, cut or empty, unwritable folders and files, two processes on one file, and
// calls with null, empty and extreme arguments or before the open. Operations that might hang or
// crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/cache/address_book_cache.h"
#include "core/contacts/hostile_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::hostile_testing::kMe;
using hx::hostile_testing::RunInChild;

constexpr int64_t kT0 = 1700000000;

// The tables as another program might have made them: the real columns without constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE peers (PeerId CHAR COLLATE NOCASE, DisplayName DEFAULT '', ContactList DEFAULT "
    "0, "
    "BanList DEFAULT 0, LastUpdate DEFAULT 0);"
    "CREATE TABLE hash (BookId INTEGER PRIMARY KEY, BookHash, BookCrc);"
    "PRAGMA user_version = 11;";

class HostileAddressBookCacheTest : public hx::hostile_testing::HostileDbTest {
 protected:
  HostileAddressBookCacheTest() : HostileDbTest(".cache.sqlite") {}
  bool Open(HX_GrossBuchCache& cache) { return cache.OpenDatabase(kMe, Dir().c_str()); }
  // A file made by the class: one contact "good@x" named "Good", book 1 hash 11 and checksum 12.
  void MakeGoodFile() override {
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    ASSERT_TRUE(cache.AddPeerAbCommon("good@x", "Good", 0, 11, 12));
  }
  // A contact round trip works across a reopen.
  void ExpectUsable() override {
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

  // The odd things of the base fixture, with a good row of this database as the known row.
  void TryOddFiles(int cases) {
    HostileDbTest::TryOddFiles(
        cases,
        [](const std::string& folder) {
          HX_GrossBuchCache db;
          ASSERT_TRUE(db.OpenDatabase(kMe, folder.c_str()));
          ASSERT_TRUE(db.AddPeerAbCommon("good@x", "Good", 0, 1, 1));
        },
        [](const std::string& folder) {
          HX_GrossBuchCache db;
          if (db.OpenDatabase(kMe, folder.c_str())) {
            db.AddToCache("w@x", "W");
            db.IsContact("good@x");
          }
          return 0;
        },
        "SELECT DisplayName FROM peers WHERE PeerId='good@x';", "Good\n");
  }

  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
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
  ExpectDamagedFilesReplaced(hx::hostile_testing::FileDamages("not a database", 60));
}

// Versions another program might have left: every one but 10 and 11 gives an empty file of
// version 11; a file of version 10 whose peers table is missing or a view is replaced as well.
TEST_F(HostileAddressBookCacheTest, ForeignVersionsAndBrokenUpgrades) {
  for (int version : {0, 9, 12, 99, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(version);
    MakeGoodFileOfVersion(version);
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
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunAsNobodyOnReadOnlyFile([&] {
    HX_GrossBuchCache other;
    if (other.OpenDatabase("other@x", dir.c_str())) return 1;
    HX_GrossBuchCache cache;
    if (cache.OpenDatabase(kMe, dir.c_str())) {
      cache.DelPeerAbCommon("good@x", 0, 0);
      cache.ClearBanList();
    }
    return 0;
  });
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
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer(0), writer(1)));
  EXPECT_EQ(Tool("SELECT count(*) FROM peers WHERE ContactList=1; SELECT count(*) FROM peers;"),
            std::to_string(2 * kEach + 1) + "\n" + std::to_string(4 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostileAddressBookCacheTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  ExpectPathPartsStayInside([](const char* peer, const std::string& dir) {
    HX_GrossBuchCache db;
    if (db.OpenDatabase(peer, dir.c_str())) db.AddToCache("owner", "X");
  });
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's data.
TEST_F(HostileAddressBookCacheTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  ExpectLookAlikeUsersApart(
      [](const char* peer, const std::string& dir) {
        HX_GrossBuchCache db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str())) << peer;
        ASSERT_TRUE(db.AddToCache("owner", peer));
      },
      [](const char* peer, const std::string& dir) {
        HX_GrossBuchCache db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str()));
        hx::DisplayName name;
        ASSERT_TRUE(db.getDisplayName("owner", name));
        EXPECT_EQ(name.m_dn, peer);
      });
}

// Threads using one cache while another switches it between two users' files: no crash, no
// sanitizer finding, no hang.
TEST_F(HostileAddressBookCacheTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_GrossBuchCache cache;
        if (!cache.OpenDatabase(kMe, dir.c_str())) return 2;
        hx::hostile_testing::UseWhileSwitching(
            [&](int i) {
              cache.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
              if (i % 7 == 0) cache.Close();
            },
            [&](int i) {
              const std::string peer = "w" + std::to_string(i % 10) + "@x";
              cache.AddPeerAbCommon(peer.c_str(), "W", i, i, i);
              cache.AddPeerAbBanList(peer.c_str(), nullptr, i);
              cache.AddToCache(("c" + peer).c_str(), "C");
              std::set<std::string> added, removed;
              cache.ManageAbBanList(i, {peer, "b@x"}, added, removed);
              cache.DelPeerAbCommon(peer.c_str(), i, i);
              if (i % 5 == 0) cache.ExpireCache();
            },
            [&](int i) {
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
            });
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostileAddressBookCacheTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kEveryOddFileButTheFifo);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostileAddressBookCacheTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostileAddressBookCacheTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_GrossBuchCache db;
  ASSERT_NO_FATAL_FAILURE(ExpectReopenedAfterCloseAndSwitch(db, db));
  EXPECT_TRUE(db.AddToCache("r@x", "R"));
  EXPECT_EQ(Tool("SELECT DisplayName FROM peers WHERE PeerId='r@x';"), "R\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostileAddressBookCacheTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  HX_GrossBuchCache db;
  ASSERT_NO_FATAL_FAILURE(ExpectFirstUserAgainAfterFailedSwitch(db, db));
  EXPECT_TRUE(db.AddToCache("r@x", "R"));
  EXPECT_EQ(Tool("SELECT DisplayName FROM peers WHERE PeerId='r@x';"), "R\n");
}

}  // namespace
