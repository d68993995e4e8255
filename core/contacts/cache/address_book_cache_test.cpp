// The address-book cache against real files in a temporary folder. The sqlite3 tool reads every
// file back on its own, makes the files of older versions, and adds the damaged rows and the
// failing trigger that the cache must survive. Times come from a set wall clock.

#include "core/contacts/cache/address_book_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
using Item = HX_GrossBuchCache::ResolveCacheItem;

constexpr int64_t kT0 = 1700000000;
constexpr const char* kMe = "me@example.org";
constexpr const char* kPeers =
    "SELECT PeerId, DisplayName, ContactList, BanList, LastUpdate FROM peers ORDER BY PeerId;";

// The resolve cache as text: id, name, source, flags (hex), next request; one entry per line.
std::string CacheText(const HX_GrossBuchCache& cache) {
  std::ostringstream out;
  for (const auto& [peer, item] : cache.ResolveCache()) {
    out << peer << "|" << item.m_dn << "|" << item.m_source << "|" << std::hex << item.m_flags
        << std::dec << "|" << item.m_nextRequest << "\n";
  }
  return out.str();
}

class AddressBookCacheTest : public ::testing::Test {
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

  hx::testing::TempDir temp_;
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
  std::string sqlite3_;
};

TEST_F(AddressBookCacheTest, NewFileHasItsNameSchemaAndVersion) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(hx::storage_testing::Exists(File()));
  EXPECT_EQ(
      Tool("SELECT type, name, sql FROM sqlite_master ORDER BY name;"),
      "index|bans|CREATE INDEX \"bans\" ON \"peers\" (\"BanList\" ASC)\n"
      "index|contacts|CREATE INDEX \"contacts\" ON \"peers\" (\"ContactList\" ASC)\n"
      "table|hash|CREATE TABLE \"hash\" (\"BookId\" INTEGER PRIMARY KEY NOT NULL DEFAULT 0,"
      "\"BookHash\" INTEGER DEFAULT 0,\"BookCrc\" INTEGER DEFAULT 0)\n"
      "table|peers|CREATE TABLE \"peers\" (\"PeerId\" CHAR PRIMARY KEY NOT NULL UNIQUE COLLATE "
      "NOCASE,\"DisplayName\" CHAR NOT NULL DEFAULT \"\",\"ContactList\" INTEGER NOT NULL "
      "DEFAULT 0,\"BanList\" INTEGER NOT NULL DEFAULT 0,\"LastUpdate\" INTEGER NOT NULL DEFAULT "
      "0)\n"
      "index|sqlite_autoindex_peers_1|NULL\n");
  EXPECT_EQ(Tool("PRAGMA user_version;"), "11\n");
}

TEST_F(AddressBookCacheTest, OlderVersions) {
  const std::string v10 =
      "CREATE TABLE peers (PeerId CHAR PRIMARY KEY NOT NULL UNIQUE COLLATE NOCASE, DisplayName "
      "CHAR "
      "NOT NULL DEFAULT '', ContactList INTEGER NOT NULL DEFAULT 0, BanList INTEGER NOT NULL "
      "DEFAULT "
      "0, LastUpdate INTEGER NOT NULL DEFAULT 0);"
      "CREATE TABLE hash (BookId INTEGER PRIMARY KEY NOT NULL DEFAULT 0, BookHash INTEGER DEFAULT "
      "0,"
      " BookCrc INTEGER DEFAULT 0);"
      "INSERT INTO peers VALUES ('a@x', 'A', 65537, 0, 5), ('b@x', 'B', 1, 1, 6);"
      "INSERT INTO hash VALUES (1, 77, 88), (2, 99, 0);";
  struct Case {
    int version;
    std::string rows;
    std::string hashes;
  };
  for (const Case& c : {Case{10, "a@x|A|0|0|5\nb@x|B|0|1|6\n", "1|77|88\n2|99|0\n"},
                        Case{9, "", ""}, Case{12, "", ""}, Case{0, "", ""}}) {
    SCOPED_TRACE(testing::Message() << "version " << c.version);
    std::filesystem::remove(File());
    ASSERT_EQ(Tool(v10 + "PRAGMA user_version=" + std::to_string(c.version) + ";"), "");
    HX_GrossBuchCache cache;
    ASSERT_TRUE(Open(cache));
    EXPECT_EQ(Tool("PRAGMA user_version;"), "11\n");
    EXPECT_EQ(Tool(kPeers), c.rows);
    EXPECT_EQ(Tool("SELECT * FROM hash ORDER BY BookId;"), c.hashes);
    if (c.version == 10) {
      EXPECT_FALSE(cache.IsContact("a@x"));
      EXPECT_TRUE(cache.IsBan("b@x"));
      EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 77u);
      EXPECT_EQ(cache.GetBookCrc(HX_AB_CONTACTS), 88u);
    }
  }
}

struct WriteStep {
  const char* name;
  std::function<bool(HX_GrossBuchCache&)> write;
  std::string cache;  // the resolve cache after the step
  std::string rows;   // the tool's rows after the step
};

TEST_F(AddressBookCacheTest, WriteSequences) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  const std::vector<WriteStep> steps = {
      {"a contact", [](auto& c) { return c.AddPeerAbCommon("a@x", "Ann", 1, 10, 20); },
       "a@x|Ann|2|10001|0\n", "a@x|Ann|65537|0|1700000000\n"},
      {"the contact again with other flags",
       [](auto& c) { return c.AddPeerAbCommon("a@x", "Anna", 2, 11, 21); }, "a@x|Anna|2|30001|0\n",
       "a@x|Anna|131073|0|1700000000\n"},
      {"a ban of the contact", [](auto& c) { return c.AddPeerAbBanList("a@x", "Banned Ann", 30); },
       "a@x|Banned Ann|2|30003|0\n", "a@x|Anna|131073|1|1700000000\n"},
      {"a stranger into the cache", [](auto& c) { return c.AddToCache("s@x", "Stranger"); },
       "a@x|Banned Ann|2|30003|0\ns@x|Stranger|0|0|0\n",
       "a@x|Anna|131073|1|1700000000\ns@x|Stranger|0|0|1700000000\n"},
      {"the cache cannot rename a contact", [](auto& c) { return c.AddToCache("a@x", "Other"); },
       "a@x|Banned Ann|2|30003|0\ns@x|Stranger|0|0|0\n",
       "a@x|Anna|131073|1|1700000000\ns@x|Stranger|0|0|1700000000\n"},
      {"a ban of the stranger", [](auto& c) { return c.AddPeerAbBanList("s@x", nullptr, 31); },
       "a@x|Banned Ann|2|30003|0\ns@x|s@x|0|2|0\n",
       "a@x|Anna|131073|1|1700000000\ns@x|Stranger|0|1|1700000000\n"},
      {"unban of the contact without a name",
       [](auto& c) { return c.DelPeerAbBanList("a@x", nullptr, 32); },
       "a@x|Banned Ann|2|30001|0\ns@x|s@x|0|2|0\n",
       "a@x|Anna|131073|0|1700000000\ns@x|Stranger|0|1|1700000000\n"},
      {"unban of the stranger with a name",
       [](auto& c) { return c.DelPeerAbBanList("s@x", "Sam", 33); },
       "a@x|Banned Ann|2|30001|0\ns@x|s@x|0|0|0\n",
       "a@x|Anna|131073|0|1700000000\ns@x|Sam|0|0|1700000000\n"},
      {"a ban and unban of a stranger without a name deletes the row",
       [](auto& c) {
         return c.AddPeerAbBanList("t@x", "T", 34) && c.DelPeerAbBanList("t@x", nullptr, 35);
       },
       "a@x|Banned Ann|2|30001|0\ns@x|s@x|0|0|0\n",
       "a@x|Anna|131073|0|1700000000\ns@x|Sam|0|0|1700000000\n"},
      {"removal of a banned contact",
       [](auto& c) {
         return c.AddPeerAbBanList("a@x", "", 36) && c.DelPeerAbCommon("a@x", 12, 22);
       },
       "a@x|Banned Ann|0|2|0\ns@x|s@x|0|0|0\n",
       "a@x|Anna|0|1|1700000000\ns@x|Sam|0|0|1700000000\n"},
      {"a bulk load with clear first",
       [](auto& c) {
         std::list<hx::contacts::contactMetaData> list(2);
         list.front().callId = "b@x";
         list.front().displayName = "Bob";
         list.back().callId = "s@x";
         list.back().displayName = "Sam C";
         list.back().flags = 1;
         return c.AddContactsToContactList(list, true, 13, 23);
       },
       "a@x|Banned Ann|0|2|0\nb@x|Bob|2|1|0\ns@x|Sam C|2|10001|0\n",
       "a@x|Anna|0|1|1700000000\nb@x|Bob|1|0|1700000000\ns@x|Sam C|65537|0|1700000000\n"},
  };
  for (const WriteStep& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_TRUE(step.write(cache));
    EXPECT_EQ(CacheText(cache), step.cache);
    EXPECT_EQ(Tool(kPeers), step.rows);
  }
  EXPECT_EQ(Tool("SELECT * FROM hash ORDER BY BookId;"), "1|13|23\n2|36|0\n");
  // A reopen rebuilds the cache from the rows: names and flags as stored, not as merged.
  HX_GrossBuchCache reopened;
  ASSERT_TRUE(Open(reopened));
  EXPECT_EQ(CacheText(reopened), "a@x|Anna|0|2|0\nb@x|Bob|2|1|0\ns@x|Sam C|2|10001|0\n");
  EXPECT_EQ(reopened.GetBookHash(HX_AB_BANS), 36u);
  EXPECT_EQ(reopened.GetBookCrc(HX_AB_CONTACTS), 23u);
  EXPECT_EQ(reopened.GetContacts(), (std::set<std::string>{"b@x", "s@x"}));
  EXPECT_EQ(reopened.GetBans(), (std::set<std::string>{"a@x"}));
}

TEST_F(AddressBookCacheTest, ContactFlagsAreOredUntilARebuild) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(cache.AddPeerAbCommon("a@x", "A", 1, 0, 0));
  ASSERT_TRUE(cache.AddPeerAbCommon("a@x", "A", 2, 0, 0));
  std::set<hx::Contact> contacts;
  cache.getContacts(contacts, nullptr);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts.begin()->flags, 3u);
  EXPECT_EQ(contacts.begin()->status, USER_STATUS_UNDEF);
  cache.ExpireCache();  // deletes nothing, so no rebuild
  EXPECT_EQ(cache.ResolveCache().at("a@x").m_flags, 0x30001u);
  {
    HXDBBaseSessionLock held = cache.Session();
    ASSERT_TRUE(cache.UpdateResolvCache(held));
  }
  EXPECT_EQ(cache.ResolveCache().at("a@x").m_flags, 0x20001u);
}

TEST_F(AddressBookCacheTest, ABanOfAContactKeepsItsStoredNameAndRenewsLastUpdate) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(cache.AddPeerAbCommon("a@x", "Stored", 1, 0, 0));
  clock_.Advance(10);
  ASSERT_TRUE(cache.AddPeerAbBanList("a@x", "Given", 0));
  EXPECT_EQ(Tool(kPeers), "a@x|Stored|65537|1|1700000010\n");
  EXPECT_EQ(CacheText(cache), "a@x|Given|2|10003|0\n");
  // Unbanning without a name keeps the row of a contact; the name does not change.
  clock_.Advance(10);
  ASSERT_TRUE(cache.DelPeerAbBanList("a@x", nullptr, 0));
  EXPECT_EQ(Tool(kPeers), "a@x|Stored|65537|0|1700000020\n");
  EXPECT_EQ(CacheText(cache), "a@x|Given|2|10001|0\n");
}

TEST_F(AddressBookCacheTest, ContactsThatDifferOnlyInCaseAreListedOnce) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  cache.AddToContactList("Bob@x", "Upper");
  cache.AddToContactList("bob@x", "lower");
  cache.AddToContactList("c@x", nullptr);
  std::set<hx::Contact> contacts;
  cache.getContacts(
      contacts, [](const std::string& peer) { return peer == "c@x" ? USER_AVAIL : USER_LOGOFF; });
  std::vector<std::string> listed;
  for (const auto& contact : contacts) listed.push_back(contact.peerId + "/" + contact.displayName);
  // One entry, as in the file: the first case of the id, the latest name.
  EXPECT_EQ(listed, (std::vector<std::string>{"c@x/c@x", "Bob@x/lower"}));
  EXPECT_EQ(Tool("SELECT count(*) FROM peers;"), "0\n");  // memory only
}

TEST_F(AddressBookCacheTest, ExpiryKeepsARowAtExactlyThirtyDays) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  cache.AddToCache("old@x", "Old");
  cache.AddPeerAbCommon("friend@x", "F", 0, 0, 0);
  cache.AddPeerAbBanList("foe@x", "E", 0);
  clock_.Set(kT0 + HX_GrossBuchCache::kExpirySeconds);
  cache.ExpireCache();
  EXPECT_EQ(Tool("SELECT group_concat(PeerId) FROM peers;"), "foe@x,friend@x,old@x\n");
  clock_.Advance(1);
  cache.ExpireCache();
  EXPECT_EQ(Tool("SELECT group_concat(PeerId) FROM peers;"), "foe@x,friend@x\n");
  EXPECT_FALSE(cache.getDisplayName("old@x", *std::make_unique<hx::DisplayName>()));
}

TEST_F(AddressBookCacheTest, RequestPlaceholdersAndPendingNames) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(cache.isCacheRequestAllowed("#tel:+123"));
  hx::DisplayName name;
  ASSERT_TRUE(cache.getDisplayName("#tel:+123", name));
  EXPECT_EQ(name.m_source, hx::DisplayName::kSourceGenerated);
  EXPECT_EQ(name.m_dn, hx::CallIdParser::dnFromCallId("#tel:+123").m_dn);
  EXPECT_EQ(name.m_type, hx::CallIdType::tel);
  EXPECT_EQ(cache.GetDisplayName("#tel:+123", hx::DisplayName::kReturnCallId), "#tel:+123");
  EXPECT_EQ(cache.GetDisplayName("#tel:+123", hx::DisplayName::kReturnNull), std::nullopt);
  EXPECT_EQ(cache.GetDisplayName("#tel:+123", hx::DisplayName::kReturnEmpty), "");
  clock_.Advance(29);
  EXPECT_FALSE(cache.isCacheRequestAllowed("#tel:+123"));
  // A reload within the window keeps the placeholder; after it the entry goes.
  {
    HXDBBaseSessionLock held = cache.Session();
    cache.UpdateResolvCache(held);
  }
  EXPECT_TRUE(cache.getDisplayName("#tel:+123", name));
  clock_.Advance(1);
  EXPECT_TRUE(cache.isCacheRequestAllowed("#tel:+123"));
  ASSERT_TRUE(cache.AddToCache("#tel:+123", "Carol"));
  EXPECT_EQ(cache.GetDisplayName("#tel:+123", hx::DisplayName::kReturnNull), "Carol");
  // A resolved entry asked about again is pending: the fallback answers until new details.
  EXPECT_TRUE(cache.isCacheRequestAllowed("#tel:+123"));
  EXPECT_EQ(cache.GetDisplayName("#tel:+123", hx::DisplayName::kReturnEmpty), "");
  EXPECT_EQ(cache.GetDisplayName(nullptr, hx::DisplayName::kReturnCallId), std::nullopt);
  EXPECT_FALSE(cache.getDisplayName(nullptr, name));
  EXPECT_FALSE(cache.AddToCache(nullptr, "x"));
  EXPECT_FALSE(cache.AddToCache("x", nullptr));
}

TEST_F(AddressBookCacheTest, DeviceSuffixOfSipIds) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(cache.AddToCache("#sip:bob@host", "Bob"));
  hx::DisplayName name;
  ASSERT_TRUE(cache.getDisplayName("#sip:bob@host/dev42", name));
  EXPECT_EQ(name.m_dn, "Bob");
  EXPECT_EQ(name.m_type, hx::CallIdType::sip);
  ASSERT_TRUE(cache.getDisplayName("#sip:bob@host", name));
  EXPECT_EQ(cache.GetDisplayName("#sip:bob@host/dev42", hx::DisplayName::kReturnNull),
            std::nullopt);
  EXPECT_EQ(cache.GetDisplayName("#sip:bob@host", hx::DisplayName::kReturnNull), "Bob");
}

TEST_F(AddressBookCacheTest, BansBeforeAndAfterTheOpen) {
  HX_GrossBuchCache cache;
  EXPECT_TRUE(cache.IsBan("unknown@x"));
  cache.SetBookCrc(HX_AB_CONTACTS, 5);
  EXPECT_EQ(cache.GetBookCrc(HX_AB_CONTACTS), 0u);
  EXPECT_TRUE(cache.AddToCache("s@x", "S"));  // closed: nothing happens
  EXPECT_TRUE(cache.ResolveCache().empty());
  ASSERT_TRUE(Open(cache));
  EXPECT_FALSE(cache.IsBan("unknown@x"));
  EXPECT_EQ(Tool("SELECT count(*) FROM hash;"), "0\n");
  std::set<std::string> added;
  std::set<std::string> removed;
  ASSERT_TRUE(cache.ManageAbBanList(7, {"a@x", "b@x"}, added, removed));
  EXPECT_EQ(added, (std::set<std::string>{"a@x", "b@x"}));
  EXPECT_TRUE(removed.empty());
  EXPECT_EQ(Tool(kPeers), "a@x|a@x|0|1|1700000000\nb@x|b@x|0|1|1700000000\n");
  // The same set again: only the hash is written.
  clock_.Advance(100);
  added.clear();
  ASSERT_TRUE(cache.ManageAbBanList(8, {"a@x", "b@x"}, added, removed));
  EXPECT_TRUE(added.empty());
  EXPECT_EQ(Tool(kPeers), "a@x|a@x|0|1|1700000000\nb@x|b@x|0|1|1700000000\n");
  EXPECT_EQ(Tool("SELECT BookId, BookHash FROM hash;"), "2|8\n");
  // Another set replaces it.
  ASSERT_TRUE(cache.ManageAbBanList(9, {"b@x", "c@x"}, added, removed));
  EXPECT_EQ(added, (std::set<std::string>{"c@x"}));
  EXPECT_EQ(removed, (std::set<std::string>{"a@x"}));
  EXPECT_EQ(Tool(kPeers), "b@x|b@x|0|1|1700000000\nc@x|c@x|0|1|1700000100\n");
  ASSERT_TRUE(cache.ClearBanList());
  EXPECT_TRUE(cache.GetBans().empty());
  EXPECT_EQ(Tool("SELECT sum(BanList) FROM peers;"), "0\n");
}

TEST_F(AddressBookCacheTest, ABulkWriteThatFailsInTheMiddleLeavesTheFileAsItWas) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  ASSERT_TRUE(cache.AddPeerAbCommon("old@x", "Old", 0, 1, 2));
  ASSERT_EQ(Tool("CREATE TABLE n (k); CREATE TRIGGER third BEFORE INSERT ON peers "
                 "WHEN (SELECT count(*) FROM n) >= 2 BEGIN SELECT RAISE(ABORT, 'third'); END;"
                 "CREATE TRIGGER count AFTER INSERT ON peers BEGIN INSERT INTO n VALUES (1); END;"),
            "");
  const std::string before = Tool(kPeers + std::string("SELECT * FROM hash;"));
  std::list<hx::contacts::contactMetaData> list(3);
  const char* ids[] = {"a@x", "b@x", "c@x"};
  int i = 0;
  for (auto& item : list) item.callId = ids[i++];
  EXPECT_FALSE(cache.AddContactsToContactList(list, true, 50, 60));
  EXPECT_EQ(Tool(kPeers + std::string("SELECT * FROM hash;")), before);
  EXPECT_EQ(Tool("SELECT count(*) FROM n;"), "0\n");
  // The rows before the failure stay in memory until the next rebuild.
  EXPECT_TRUE(cache.IsContact("a@x"));
  EXPECT_EQ(cache.GetBookHash(HX_AB_CONTACTS), 1u);
}

TEST_F(AddressBookCacheTest, AnOpenThatCannotCreateTheFileLeavesTheCacheClosed) {
  const std::string file_dir = temp_.File("plain");
  hx::storage_testing::WriteFile(file_dir, "x");
  HX_GrossBuchCache cache;
  EXPECT_FALSE(cache.OpenDatabase(kMe, (file_dir + "/").c_str()));
  EXPECT_FALSE(cache.IsOpen());
  EXPECT_TRUE(cache.IsBan("unknown@x"));
  EXPECT_TRUE(cache.AddToCache("s@x", "S"));
  EXPECT_TRUE(cache.ResolveCache().empty());
  EXPECT_FALSE(cache.AddPeerAbCommon("a@x", "A", 0, 0, 0));
}

TEST_F(AddressBookCacheTest, DamagedRowsFailTheLoadWithoutACrash) {
  const std::vector<std::string> damage = {
      "INSERT INTO peers VALUES ('x', 'X', 'lots', 0, 0);",
      "UPDATE hash SET BookHash=NULL WHERE BookId=1;",
      "INSERT INTO hash VALUES (3, 'abc', 0);",
      "INSERT INTO hash VALUES (4, 1, zeroblob(1000));",
  };
  for (const std::string& rows : damage) {
    SCOPED_TRACE(rows);
    std::filesystem::remove(File());
    {
      HX_GrossBuchCache cache;
      ASSERT_TRUE(Open(cache));
      cache.AddPeerAbCommon("good@x", "G", 0, 0, 0);
    }
    ASSERT_EQ(Tool(rows), "");
    HX_GrossBuchCache cache;
    EXPECT_FALSE(Open(cache));
    EXPECT_FALSE(cache.IsContact("x"));
  }
}

TEST_F(AddressBookCacheTest, HostThreadReadsWhileAnotherWrites) {
  HX_GrossBuchCache cache;
  ASSERT_TRUE(Open(cache));
  std::atomic<bool> done{false};
  std::thread host([&] {
    while (!done.load()) {
      std::set<hx::Contact> contacts;
      cache.getContacts(contacts, nullptr);
      hx::DisplayName name;
      cache.getDisplayName("p3@x", name);
      cache.GetDisplayName("p4@x", hx::DisplayName::kReturnCallId);
      cache.IsBan("p5@x");
      cache.isCacheRequestAllowed("q@x");
      cache.GetBookHash(HX_AB_CONTACTS);
    }
  });
  for (int i = 0; i < 100; ++i) {
    const std::string peer = "p" + std::to_string(i % 10) + "@x";
    cache.AddPeerAbCommon(peer.c_str(), "P", 0, i, i);
    cache.AddToCache(("s" + std::to_string(i) + "@x").c_str(), "S");
    cache.AddPeerAbBanList(peer.c_str(), nullptr, i);
    if (i % 3 == 0) cache.DelPeerAbCommon(peer.c_str(), i, i);
  }
  done = true;
  host.join();
  EXPECT_EQ(Tool("SELECT count(*) FROM peers;"), "110\n");
}

}  // namespace
