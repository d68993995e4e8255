// The phones database and the phone store on real files in a temporary folder; the sqlite3 tool
// reads the files back independently and writes the hostile ones.

#include "core/contacts/phones/phones_storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Sqlite;
using Description = HX_PhonesDB::Description;
using Set = HX_PhonesDB::DescriptionSet;

const char kUser[] = "alice@example.com";
constexpr PhoneType kMobile{2};
constexpr PhoneType kWork{3};

class PhonesTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File(const char* user = kUser) const {
    HX_PhonesDB names;
    return Dir() + names.PathEncode(names.GetStorageName(user));
  }
  bool Open() { return phones_.OpenDatabase(kUser, Dir().c_str()); }
  std::string Rows(const std::string& sqlite3, const char* user = kUser) {
    return Sqlite(sqlite3, File(user), "SELECT * FROM phones ORDER BY PhoneId;");
  }
  size_t InMemory(const char* peer) {
    const HX_PhonesStorage::PhonesMap all = phones_.GetPhonesList();
    return all.count(peer);
  }

  hx::testing::TempDir temp_;
  HX_PhonesStorage phones_;
};

TEST_F(PhonesTest, NewFileHasTheSchemaAtVersion1) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  EXPECT_EQ(phones_.database().GetStorageFSName(), "C160F8CC69A4F0BF2B0362752353D060.phones.sqlite");
  EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; PRAGMA integrity_check;"), "1\nok\n");
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT type, name, tbl_name FROM sqlite_master ORDER BY name;"),
            "index|peer_id_phones|phones\ntable|phones|phones\nindex|sqlite_autoindex_phones_1|phones\n");
  EXPECT_EQ(Sqlite(sqlite3, File(),
                   "SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info('phones');"),
            "PhoneId|CHAR|1||1\nPeerId|CHAR|1|\"\"|0\nPhone|CHAR|1|\"\"|0\nType|INTEGER|1|0|0\nEditable|"
            "INTEGER|1|0|0\n");
  // The phone id is unique without regard to case.
  EXPECT_EQ(Sqlite(sqlite3, File(),
                   "INSERT OR IGNORE INTO phones (PhoneId) VALUES ('Ab'); INSERT OR IGNORE INTO phones "
                   "(PhoneId) VALUES ('aB');"
                   "SELECT PhoneId FROM phones;"),
            "Ab\n");
}

TEST_F(PhonesTest, SetPhoneReplacesAndMoves) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  // Twice with the same phone id and peer: one entry in memory, one row, the second values.
  EXPECT_TRUE(phones_.SetPhone("p1", "bob@x", "+100", kMobile, true));
  EXPECT_TRUE(phones_.SetPhone("p1", "bob@x", "+101", kWork, false));
  EXPECT_EQ(Rows(sqlite3), "p1|bob@x|+101|3|0\n");
  EXPECT_EQ(phones_.GetPhoneList("bob@x"), (Set{{"p1", "bob@x", "+101", kWork, false}}));
  EXPECT_EQ(InMemory("bob@x"), 1u);

  // A phone id of another peer moves the row; memory keeps the old copy under the old peer.
  EXPECT_TRUE(phones_.SetPhone("p1", "carol@x", "+102", kMobile, true));
  EXPECT_EQ(Rows(sqlite3), "p1|carol@x|+102|2|1\n");
  EXPECT_EQ(InMemory("bob@x"), 1u);
  EXPECT_EQ(InMemory("carol@x"), 1u);
  // The row's key ignores case: "P1" is the same row.
  EXPECT_TRUE(phones_.SetPhone("P1", "carol@x", "+103", kMobile, true));
  EXPECT_EQ(Rows(sqlite3), "p1|carol@x|+103|2|1\n");
}

TEST_F(PhonesTest, MissingTextsAreLoggedAndNotStored) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  struct Case {
    const char* id;
    const char* peer;
    const char* phone;
    const char* line;
  };
  const Case cases[] = {
      {nullptr, "bob@x", "+1", "null valid valid"},
      {"p1", nullptr, "+1", "valid null valid"},
      {"p1", "bob@x", nullptr, "valid valid null"},
      {nullptr, nullptr, nullptr, "null null null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    hx::testing::LogCapture log;
    EXPECT_FALSE(phones_.SetPhone(c.id, c.peer, c.phone, kMobile, true));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{c.line});
  }
  EXPECT_TRUE(phones_.GetPhonesList().empty());
  EXPECT_EQ(Rows(sqlite3), "");
  // Empty texts are texts: stored as given (the entry reads as empty).
  EXPECT_TRUE(phones_.SetPhone("", "bob@x", "", PhoneType{0}, false));
  EXPECT_EQ(Rows(sqlite3), "|bob@x||0|0\n");
}

TEST_F(PhonesTest, DelPhoneDeletesTheRowEvenWhenNotInMemory) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_EQ(Sqlite(sqlite3, File(), "INSERT INTO phones VALUES ('p9', 'bob@x', '+9', 2, 1);"), "");
  EXPECT_TRUE(phones_.DelPhone("p9", "bob@x"));
  EXPECT_EQ(Rows(sqlite3), "");
  // In memory, only the first entry of that id under that peer goes.
  ASSERT_TRUE(phones_.SetPhone("p1", "bob@x", "+1", kMobile, true));
  ASSERT_TRUE(phones_.SetPhone("p2", "bob@x", "+2", kMobile, true));
  EXPECT_TRUE(phones_.DelPhone("p1", "carol@x"));  // wrong peer: memory keeps it, the row goes
  EXPECT_EQ(InMemory("bob@x"), 2u);
  EXPECT_EQ(Rows(sqlite3), "p2|bob@x|+2|2|1\n");
  EXPECT_TRUE(phones_.DelPhone("p2", "bob@x"));
  EXPECT_EQ(phones_.GetPhoneList("bob@x"), (Set{{"p1", "bob@x", "+1", kMobile, true}}));
  EXPECT_TRUE(phones_.DelPhone("none", "bob@x"));  // nothing to delete is no error
}

TEST_F(PhonesTest, ListsComeFromTheFileOnceThenFromMemory) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_EQ(Sqlite(sqlite3, File(),
                   "INSERT INTO phones VALUES ('b', 'bob@x', '+5', 2, 0), ('a', 'bob@x', '+5', 3, 1),"
                   " ('c', 'bob@x', '+40', 2, 7), ('d', 'carol@x', '+1', 2, 0);"),
            "");
  // Same number, two ids: both, ordered by id; numbers byte-wise ("+40" before "+5").
  const Set expected{{"c", "bob@x", "+40", kMobile, true},
                     {"a", "bob@x", "+5", kWork, true},
                     {"b", "bob@x", "+5", kMobile, false}};
  const Set first = phones_.GetPhoneList("bob@x");
  EXPECT_EQ(first, expected);
  EXPECT_EQ(std::vector<Description>(first.begin(), first.end()),
            (std::vector<Description>{{"c", "bob@x", "+40", kMobile, true},
                                      {"a", "bob@x", "+5", kWork, true},
                                      {"b", "bob@x", "+5", kMobile, false}}));
  EXPECT_EQ(InMemory("bob@x"), 3u);
  // The second read is served from memory: a row changed behind its back does not show.
  ASSERT_EQ(Sqlite(sqlite3, File(), "DELETE FROM phones WHERE PeerId='bob@x';"), "");
  EXPECT_EQ(phones_.GetPhoneList("bob@x"), expected);
  // A peer without phones asks the file every time.
  EXPECT_TRUE(phones_.GetPhoneList("dave@x").empty());
  ASSERT_EQ(Sqlite(sqlite3, File(), "INSERT INTO phones VALUES ('e', 'dave@x', '+7', 2, 0);"), "");
  EXPECT_EQ(phones_.GetPhoneList("dave@x"), (Set{{"e", "dave@x", "+7", kMobile, false}}));
  EXPECT_EQ(InMemory("carol@x"), 0u);
}

TEST_F(PhonesTest, DescriptionOfAMissingPhoneReloadsThePeer) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_EQ(Sqlite(sqlite3, File(),
                   "INSERT INTO phones VALUES ('a', 'bob@x', '+1', 2, 1), ('b', 'bob@x', '+2', 0, 0);"),
            "");
  EXPECT_EQ(phones_.GetPhoneDescription("bob@x", "A"), Description("a", "bob@x", "+1", kMobile, true));
  EXPECT_EQ(InMemory("bob@x"), 0u);  // a found entry does not load the peer
  EXPECT_EQ(phones_.GetPhoneDescription("bob@x", "zz"), Description());
  EXPECT_EQ(InMemory("bob@x"), 2u);
  // A row of type 0 is an empty entry: returned as read, and the peer is loaded again (twice now).
  EXPECT_EQ(phones_.GetPhoneDescription("bob@x", "b"), Description("b", "bob@x", "+2", PhoneType{0}, false));
  EXPECT_EQ(InMemory("bob@x"), 4u);
  EXPECT_TRUE(phones_.UpdatePhoneList("bob@x"));
  EXPECT_FALSE(phones_.UpdatePhoneList("nobody@x"));
  EXPECT_FALSE(phones_.UpdatePhoneList(nullptr));
  EXPECT_EQ(phones_.GetPhoneList("bob@x").size(), 2u);  // the set collapses the copies
}

TEST_F(PhonesTest, ResetEmptiesMemoryAndTableButOpeningDoesNot) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(phones_.SetPhone("p1", "bob@x", "+1", kMobile, true));
  // Another user's file: the memory copy stays as it was.
  ASSERT_TRUE(phones_.OpenDatabase("carol@example.com", Dir().c_str()));
  EXPECT_EQ(InMemory("bob@x"), 1u);
  EXPECT_EQ(Rows(sqlite3, "carol@example.com"), "");
  ASSERT_TRUE(phones_.SetPhone("p2", "bob@x", "+2", kMobile, true));
  EXPECT_TRUE(phones_.Reset());
  EXPECT_TRUE(phones_.GetPhonesList().empty());
  EXPECT_EQ(
      Sqlite(
          sqlite3, File("carol@example.com"),
          "PRAGMA user_version; SELECT count(*) FROM phones; SELECT name FROM sqlite_master ORDER BY name;"),
      "1\n0\npeer_id_phones\nphones\nsqlite_autoindex_phones_1\n");
  EXPECT_EQ(Rows(sqlite3), "p1|bob@x|+1|2|1\n");  // the first user's file is untouched
}

TEST_F(PhonesTest, ClosedDatabase) {
  EXPECT_FALSE(phones_.Reset());
  EXPECT_FALSE(phones_.SetPhone("p1", "bob@x", "+1", kMobile, true));
  EXPECT_EQ(InMemory("bob@x"), 1u);  // memory takes the change even when the write fails
  EXPECT_FALSE(phones_.DelPhone("p1", "bob@x"));
  EXPECT_EQ(InMemory("bob@x"), 0u);
  EXPECT_TRUE(phones_.GetPhoneList("carol@x").empty());
  EXPECT_EQ(phones_.GetPhoneDescription("carol@x", "p1"), Description());
  EXPECT_FALSE(phones_.OpenDatabase(nullptr, Dir().c_str()));
  EXPECT_FALSE(phones_.OpenDatabase("", Dir().c_str()));
  hx::storage_testing::WriteFile(temp_.File("plain"), "not a folder");
  EXPECT_FALSE(phones_.OpenDatabase(kUser, (temp_.File("plain") + "/").c_str()));
  EXPECT_FALSE(phones_.database().IsOpen());
  EXPECT_TRUE(Open());
}

TEST_F(PhonesTest, OtherVersionsAreRebuiltEmpty) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  for (const char* prepare : {"PRAGMA user_version = 0;", "PRAGMA user_version = 2;"}) {
    SCOPED_TRACE(prepare);
    std::filesystem::remove(File());
    {
      HX_PhonesStorage first;
      ASSERT_TRUE(first.OpenDatabase(kUser, Dir().c_str()));
      ASSERT_TRUE(first.SetPhone("p1", "bob@x", "+1", kMobile, true));
    }
    ASSERT_EQ(Sqlite(sqlite3, File(), prepare), "");
    HX_PhonesStorage again;
    ASSERT_TRUE(again.OpenDatabase(kUser, Dir().c_str()));
    EXPECT_TRUE(again.GetPhoneList("bob@x").empty());
    again.database().Close();
    EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; SELECT count(*) FROM phones;"), "1\n0\n");
  }
}

TEST_F(PhonesTest, HostileRowsAreReadWithoutHarm) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  phones_.database().Close();
  ASSERT_EQ(Sqlite(sqlite3, File(),
                   "DROP TABLE phones; CREATE TABLE phones (PhoneId, PeerId, Phone, Type, Editable);"
                   "INSERT INTO phones VALUES (NULL, 'bob@x', NULL, NULL, NULL), ('h', 'bob@x', X'00FF', "
                   "4294967298, 'yes'),"
                   " ('r', 'bob@x', 12, 2.5, 99999999999999999999), ('t', 'bob@x', '+3', 'abc', -1);"),
            "");
  ASSERT_TRUE(Open());
  const Set read = phones_.GetPhoneList("bob@x");
  EXPECT_EQ(read, (Set{{"", "bob@x", "", PhoneType{0}, false},
                       {"h", "bob@x", std::string("\0\xFF", 2), PhoneType{2}, false},
                       {"r", "bob@x", "12", kMobile, true},
                       {"t", "bob@x", "+3", PhoneType{0}, true}}));
  EXPECT_EQ(phones_.GetPhoneDescription("bob@x", "r"), Description("r", "bob@x", "12", kMobile, true));

  // A table with fewer columns than the statements read: a database error, answered as empty.
  phones_.database().Close();
  ASSERT_EQ(Sqlite(sqlite3, File(),
                   "DROP TABLE phones; CREATE TABLE phones (PhoneId, PeerId);"
                   "INSERT INTO phones VALUES ('x', 'carol@x');"),
            "");
  ASSERT_TRUE(Open());
  EXPECT_TRUE(phones_.GetPhoneList("carol@x").empty());
  EXPECT_EQ(phones_.GetPhoneDescription("carol@x", "x"), Description());
  EXPECT_FALSE(phones_.SetPhone("y", "carol@x", "+1", kMobile, true));
}

TEST_F(PhonesTest, ResetThatCannotCreateAnswersFalseAndTheNextRebuilds) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(phones_.SetPhone("p1", "bob@x", "+1", kMobile, true));
  // "phones" names an index of another table: dropping the table succeeds, creating it fails.
  ASSERT_EQ(
      Sqlite(sqlite3, File(), "DROP TABLE phones; CREATE TABLE other (a); CREATE INDEX phones ON other (a);"),
      "");
  bool result = true;
  EXPECT_NO_THROW(result = phones_.Reset());
  EXPECT_FALSE(result);
  EXPECT_TRUE(phones_.GetPhonesList().empty());
  EXPECT_FALSE(phones_.SetPhone("p2", "bob@x", "+2", kMobile, true));
  ASSERT_EQ(Sqlite(sqlite3, File(), "DROP INDEX phones;"), "");
  EXPECT_TRUE(phones_.Reset());
  EXPECT_TRUE(phones_.SetPhone("p2", "bob@x", "+2", kMobile, true));
  EXPECT_EQ(Rows(sqlite3), "p2|bob@x|+2|2|1\n");
}

// A reader on another thread while a book is applied: the store's lock and the database's are
// taken in one order, and every read sees whole entries.
TEST_F(PhonesTest, ReaderWhileABookIsApplied) {
  ASSERT_TRUE(Open());
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      for (const Description& entry : phones_.GetPhoneList("bob@x")) EXPECT_EQ(entry.m_peerId, "bob@x");
      phones_.GetPhoneDescription("bob@x", "p3");
    }
  });
  for (int book = 0; book < 40; ++book) {
    ASSERT_TRUE(phones_.Reset());
    for (int i = 0; i < 5; ++i) {
      const std::string id = "p" + std::to_string(i);
      ASSERT_TRUE(phones_.SetPhone(id.c_str(), "bob@x", ("+" + id).c_str(), kMobile, true));
    }
  }
  stop = true;
  reader.join();
  EXPECT_EQ(phones_.GetPhoneList("bob@x").size(), 5u);
}

}  // namespace
