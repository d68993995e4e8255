// The phones database and the phone store against files that someone else wrote or damaged (made
// with the sqlite3 tool or from raw bytes): NULLs and foreign types in every column read, types
// beyond 32 bits, tables with columns missing, huge texts, wrong versions, objects of the wrong
// kind under the table's name, files that are not databases, cut or empty, unwritable folders and
// files, two processes on one file, and calls with null and extreme arguments, before the open and
// after the close. Operations that might hang or crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/contacts/hostile_db_test_helpers.h"
#include "core/contacts/phones/phones_storage.h"
#include "testing/test_support.h"

namespace {

using hx::contacts_testing::Rows;
using hx::contacts_testing::UpperMd5;
using hx::hostile_testing::RunInChild;
using Description = HX_PhonesDB::Description;

constexpr const char* kMe = "me@example.org";

// The table as another program might have made it: the real columns without constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE phones (PhoneId COLLATE NOCASE, PeerId, Phone, Type, Editable);"
    "PRAGMA user_version = 1;";
constexpr const char* kGoodRow = "INSERT INTO phones VALUES ('g1', 'good@x', '+100', 2, 1);";

Description Good() { return Description("g1", "good@x", "+100", static_cast<PhoneType>(2), true); }

class HostilePhonesDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + UpperMd5(kMe) + ".phones.sqlite"; }
  std::string Tool(const std::string& sql) { return Rows(sqlite3_, File(), sql); }
  bool Open(HX_PhonesStorage& store) { return store.OpenDatabase(kMe, Dir().c_str()); }
  void RemoveFile() {
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(File() + end);
  }
  void MakeGoodFile() {
    HX_PhonesStorage store;
    ASSERT_TRUE(Open(store));
    ASSERT_TRUE(store.SetPhone("g1", "good@x", "+100", static_cast<PhoneType>(2), true));
  }
  // After an attack: the class opens the file and a phone round trip works.
  void ExpectUsable() {
    {
      HX_PhonesStorage store;
      ASSERT_TRUE(Open(store));
      ASSERT_TRUE(store.SetPhone("a1", "after@x", "+200", static_cast<PhoneType>(3), false));
    }
    HX_PhonesStorage store;
    ASSERT_TRUE(Open(store));
    EXPECT_EQ(store.GetPhoneList("after@x"),
              HX_PhonesDB::DescriptionSet{
                  Description("a1", "after@x", "+200", static_cast<PhoneType>(3), false)});
    EXPECT_EQ(Tool("PRAGMA user_version;"), "1\n");
  }

  // Tries the odd things of TryOddFilesInPlace (`cases`) where the user's file should be, in a
  // folder inside the temporary one.
  void TryOddFiles(int cases) {
    const std::string inner = temp_.path() + "/in/";
    std::filesystem::create_directories(inner);
    const std::string file = inner + UpperMd5(kMe) + ".phones.sqlite";
    hx::hostile_testing::TryOddFilesInPlace(
        file, temp_.path(),
        [&] {
          HX_PhonesStorage db;
          ASSERT_TRUE(db.OpenDatabase(kMe, inner.c_str()));
          ASSERT_TRUE(db.SetPhone("g1", "good@x", "+100", static_cast<PhoneType>(2), true));
        },
        [&] {
          HX_PhonesStorage db;
          if (db.OpenDatabase(kMe, inner.c_str())) {
            db.SetPhone("w1", "w@x", "+1", static_cast<PhoneType>(1), true);
            db.GetPhoneList("good@x");
          }
          return 0;
        },
        [&] {
          return Rows(sqlite3_, file, "SELECT Phone FROM phones WHERE PhoneId='g1';") == "+100\n";
        },
        cases);
  }

  hx::testing::TempDir temp_;
  std::string sqlite3_;
};

// Every operation before the open and after the close: false, empty sets and empty entries, no
// crash; null texts are refused (logged) without a crash, and the stored rows stay.
TEST_F(HostilePhonesDbTest, OperationsBeforeOpenAfterCloseAndWithNullTexts) {
  MakeGoodFile();
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_PhonesStorage store;
    HX_PhonesDB& db = store.database();
    const auto closedAnswers = [&] {
      int wrong = 0;
      wrong += db.SetPhone("x1", "x@x", "1", static_cast<PhoneType>(1), true);
      wrong += db.DelPhone("g1");
      wrong += !db.GetPhoneList("good@x").empty();
      wrong += !db.GetPhoneDescription("g1").IsEmpty();
      wrong += db.Drop();
      wrong += store.DelPhone("g1", "good@x");
      wrong += store.UpdatePhoneList("good@x");
      wrong += store.Reset();
      wrong += !store.GetPhoneDescription("good@x", "g1").IsEmpty();
      return wrong;
    };
    if (closedAnswers() != 0) return 10;
    if (store.OpenDatabase(nullptr, dir.c_str()) || store.OpenDatabase("", dir.c_str())) return 11;
    if (!store.OpenDatabase(kMe, dir.c_str())) return 12;
    int refused = 0;
    refused += !store.SetPhone(nullptr, "n@x", "1", static_cast<PhoneType>(1), true);
    refused += !store.SetPhone("n1", nullptr, "1", static_cast<PhoneType>(1), true);
    refused += !store.SetPhone("n2", "n@x", nullptr, static_cast<PhoneType>(1), true);
    refused += !store.SetPhone(nullptr, nullptr, nullptr, static_cast<PhoneType>(1), true);
    refused += !db.SetPhone(nullptr, "n@x", "1", static_cast<PhoneType>(1), true);
    refused += !db.SetPhone("n3", "n@x", nullptr, static_cast<PhoneType>(1), true);
    if (refused != 6) return 13;
    store.DelPhone(nullptr, nullptr);
    store.GetPhoneList(nullptr);
    store.UpdatePhoneList(nullptr);
    store.GetPhoneDescription(nullptr, nullptr);
    db.DelPhone(nullptr);
    db.GetPhoneList(nullptr);
    db.GetPhoneDescription(nullptr);
    store.database().Close();
    return closedAnswers() != 0 ? 14 : 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT * FROM phones;"), "g1|good@x|+100|2|1\n");
}

// Rows that someone else wrote beside the good row: NULLs and foreign types in every column.
// NULL texts read as empty, a NULL type as 0, a NULL flag as false; nothing crashes; the good
// entry stays exact.
TEST_F(HostilePhonesDbTest, HostileRowsAreReadDefensively) {
  struct Case {
    const char* what;
    const char* row;
    const char* phoneId;  // to look up by
    std::function<void(const Description&)> check;
  };
  const std::vector<Case> cases = {
      {"NULL phone id", "(NULL, 'good@x', '+1', 2, 1)", "", nullptr},
      {"NULL number", "('b1', 'good@x', NULL, 2, 1)", "b1",
       [](const Description& d) {
         EXPECT_EQ(d.m_phone, "");
         EXPECT_TRUE(d.IsEmpty());
       }},
      {"NULL peer", "('b1', NULL, '+1', 2, 1)", "b1",
       [](const Description& d) { EXPECT_EQ(d.m_peerId, ""); }},
      {"NULL type", "('b1', 'good@x', '+1', NULL, 1)", "b1",
       [](const Description& d) {
         EXPECT_EQ(d.m_phoneType, 0);
         EXPECT_TRUE(d.IsEmpty());
       }},
      {"NULL editable", "('b1', 'good@x', '+1', 2, NULL)", "b1",
       [](const Description& d) { EXPECT_FALSE(d.m_editable); }},
      {"text type", "('b1', 'good@x', '+1', 'mobile', 1)", "b1", nullptr},
      {"real type", "('b1', 'good@x', '+1', 2.75, 1)", "b1", nullptr},
      {"type beyond 32 bits", "('b1', 'good@x', '+1', 4294967298, 1)", "b1", nullptr},
      {"smallest type", "('b1', 'good@x', '+1', -9223372036854775808, 1)", "b1", nullptr},
      {"text editable", "('b1', 'good@x', '+1', 2, 'yes')", "b1", nullptr},
      {"editable 2", "('b1', 'good@x', '+1', 2, 2)", "b1",
       [](const Description& d) { EXPECT_TRUE(d.m_editable); }},
      {"blob texts", "(x'6231', x'00', x'ff', 2, 1)", "b1", nullptr},
      {"number texts", "(12, 34, 56, 2, 1)", "12", nullptr},
      {"same id other case", "('G1', 'good@x', '+999', 2, 1)", "G1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile();
    Tool(std::string(kLooseSchema) + kGoodRow + "INSERT INTO phones VALUES " + c.row + ";");
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_PhonesStorage store;
      if (!store.OpenDatabase(kMe, dir.c_str())) return 2;
      const HX_PhonesDB::DescriptionSet phones = store.database().GetPhoneList("good@x");
      if (phones.count(Good()) == 0) return 3;
      const Description d = store.database().GetPhoneDescription(c.phoneId);
      if (c.check) c.check(d);
      if (::testing::Test::HasFailure()) return 4;
      store.GetPhoneList("good@x");
      store.GetPhoneDescription("good@x", c.phoneId);
      store.UpdatePhoneList("good@x");
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
}

// A table of the right name with columns missing, or in another order than the class wrote them:
// the reads answer (empty, or the entries they could read) without reading past the row.
TEST_F(HostilePhonesDbTest, TablesWithMissingColumnsAreAnsweredWithoutACrash) {
  const std::vector<std::string> schemas = {
      "CREATE TABLE phones (PhoneId, PeerId); INSERT INTO phones VALUES ('g1', 'good@x');",
      "CREATE TABLE phones (PhoneId, PeerId, Phone); "
      "INSERT INTO phones VALUES ('g1', 'good@x', '+1');",
      "CREATE TABLE phones (PeerId); INSERT INTO phones VALUES ('good@x');",
  };
  for (const std::string& schema : schemas) {
    SCOPED_TRACE(schema);
    RemoveFile();
    Tool(schema + "PRAGMA user_version = 1;");
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_PhonesStorage store;
      if (!store.OpenDatabase(kMe, dir.c_str())) return 0;
      store.database().GetPhoneList("good@x");
      store.database().GetPhoneDescription("g1");
      store.GetPhoneList("good@x");
      store.SetPhone("n1", "good@x", "+2", static_cast<PhoneType>(1), true);
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
}

// Types at the ends of 32 bits, huge and quoted texts, thousands of phones of one peer: stored
// and read back exactly, from memory and from the file.
TEST_F(HostilePhonesDbTest, ExtremeValuesRoundTrip) {
  const std::string huge = hx::hostile_testing::Filler(1 << 20);
  const std::string quoted = "p'\"; DROP TABLE phones; --";
  const std::vector<Description> phones = {
      Description("t1", "e@x", "+1", static_cast<PhoneType>(INT32_MIN), true),
      Description("t2", "e@x", "+2", static_cast<PhoneType>(INT32_MAX), false),
      Description("t3", "e@x", "+3", static_cast<PhoneType>(-1), true),
      Description(quoted, "e@x", quoted, static_cast<PhoneType>(1), false),
      Description("t4", "e@x", huge, static_cast<PhoneType>(1), true),
      Description(huge, "e@x", "+4", static_cast<PhoneType>(1), true),
  };
  {
    HX_PhonesStorage store;
    ASSERT_TRUE(Open(store));
    for (const Description& d : phones) {
      ASSERT_TRUE(store.SetPhone(d.m_phoneId.c_str(), d.m_peerId.c_str(), d.m_phone.c_str(),
                                 d.m_phoneType, d.m_editable));
    }
    for (int i = 0; i < 3000; ++i) {
      const std::string id = "m" + std::to_string(i);
      ASSERT_TRUE(
          store.SetPhone(id.c_str(), "many@x", id.c_str(), static_cast<PhoneType>(1), true));
    }
  }
  HX_PhonesStorage store;
  ASSERT_TRUE(Open(store));
  const HX_PhonesDB::DescriptionSet read = store.GetPhoneList("e@x");
  EXPECT_EQ(read, HX_PhonesDB::DescriptionSet(phones.begin(), phones.end()));
  EXPECT_EQ(store.GetPhoneList("many@x").size(), 3000u);
  EXPECT_EQ(store.database().GetPhoneDescription(huge.c_str()), phones[5]);
}

// Files that are no usable database are replaced and work afterwards.
TEST_F(HostilePhonesDbTest, FilesThatAreNotDatabasesOrAreCutAreReplaced) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  std::vector<Case> cases = {
      {"zero bytes", [](const std::string& f) { hx::storage_testing::WriteFile(f, ""); }},
      {"text", [](const std::string& f) { hx::storage_testing::WriteFile(f, "phones"); }},
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

// Versions another program might have left give an empty table of version 1; objects of the
// wrong kind under the table's name are answered without a crash, and Reset never throws.
TEST_F(HostilePhonesDbTest, ForeignVersionsAndWrongKindsOfObjects) {
  for (int version : {0, 2, 99, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(version);
    RemoveFile();
    MakeGoodFile();
    Tool("PRAGMA user_version = " + std::to_string(version) + ";");
    {
      HX_PhonesStorage store;
      ASSERT_TRUE(Open(store));
      EXPECT_TRUE(store.GetPhoneList("good@x").empty());
    }
    ExpectUsable();
  }
  const std::vector<std::string> wrong = {
      "CREATE TABLE t (PhoneId, PeerId, Phone, Type, Editable);"
      "INSERT INTO t VALUES ('g1', 'good@x', '+1', 2, 1); CREATE VIEW phones AS SELECT * FROM t;",
      "CREATE TABLE t (x); CREATE INDEX phones ON t (x);",
  };
  for (const std::string& schema : wrong) {
    for (int version : {1, 2}) {
      SCOPED_TRACE(schema + " at " + std::to_string(version));
      RemoveFile();
      Tool(schema + "PRAGMA user_version = " + std::to_string(version) + ";");
      const std::string dir = Dir();
      const hx::hostile_testing::ChildEnd end = RunInChild([&] {
        HX_PhonesStorage store;
        if (!store.OpenDatabase(kMe, dir.c_str())) return 0;
        store.GetPhoneList("good@x");
        store.SetPhone("n1", "good@x", "+2", static_cast<PhoneType>(1), true);
        store.DelPhone("g1", "good@x");
        try {
          store.Reset();
          store.Reset();
        } catch (...) {
          return 5;  // the store answers Reset, it never throws
        }
        return 0;
      });
      EXPECT_TRUE(end.Clean()) << end.Describe();
    }
  }
}

// A Reset whose table cannot be created again (another program put an index under its name)
// answers false from the store, with the memory copy emptied; nothing is thrown.
TEST_F(HostilePhonesDbTest, StoreResetThatCannotRebuildAnswersFalse) {
  HX_PhonesStorage store;
  ASSERT_TRUE(Open(store));
  ASSERT_TRUE(store.SetPhone("g1", "good@x", "+100", static_cast<PhoneType>(2), true));
  Tool("CREATE TABLE other (x); DROP TABLE phones; CREATE INDEX phones ON other (x);");
  bool result = true;
  EXPECT_NO_THROW(result = store.Reset());
  EXPECT_FALSE(result);
  EXPECT_TRUE(store.GetPhonesList().empty());
}

// The folder is a file: false, nothing thrown.
TEST_F(HostilePhonesDbTest, FolderThatIsAFileIsRefused) {
  const std::string notDir = Dir() + "plain";
  hx::storage_testing::WriteFile(notDir, "x");
  HX_PhonesStorage store;
  EXPECT_FALSE(store.OpenDatabase(kMe, (notDir + "/").c_str()));
  EXPECT_FALSE(store.database().IsOpen());
  EXPECT_EQ(hx::storage_testing::ReadFile(notDir), "x");
}

// A user who may not write: the read-only file in a read-only folder is neither deleted nor
// emptied; nothing crashes.
TEST_F(HostilePhonesDbTest, ReadOnlyFolderAndFileLoseNothing) {
  MakeGoodFile();
  Tool("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
  hx::hostile_testing::OpenToOthers(temp_.path());
  chmod(File().c_str(), 0444);
  chmod(temp_.path().c_str(), 0555);
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [&] {
        HX_PhonesStorage other;
        if (other.OpenDatabase("other@x", dir.c_str())) return 1;
        HX_PhonesStorage store;
        if (store.OpenDatabase(kMe, dir.c_str())) {
          store.DelPhone("g1", "good@x");
          try {
            store.Reset();
          } catch (...) {
            return 5;
          }
        }
        return 0;
      },
      20, hx::hostile_testing::kNobody);
  chmod(temp_.path().c_str(), 0755);
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT * FROM phones;"), "g1|good@x|+100|2|1\n");
}

// Two processes writing phones into one file at once: every phone of both is kept, neither hangs
// past its limit.
TEST_F(HostilePhonesDbTest, TwoProcessesWritingOneFileKeepEveryPhone) {
  MakeGoodFile();
  constexpr int kEach = 40;
  const std::string dir = Dir();
  const auto writer = [dir](int process) {
    return [dir, process] {
      HX_PhonesStorage store;
      if (!store.OpenDatabase(kMe, dir.c_str())) return 2;
      for (int i = 0; i < kEach; ++i) {
        const std::string id = "p" + std::to_string(process) + "-" + std::to_string(i);
        if (!store.SetPhone(id.c_str(), "p@x", id.c_str(), static_cast<PhoneType>(1), true)) {
          return 3;
        }
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
  EXPECT_EQ(Tool("SELECT count(*) FROM phones;"), std::to_string(2 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostilePhonesDbTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  const std::string inner = temp_.path() + "/a/b/";
  std::filesystem::create_directories(inner);
  const std::vector<std::string> victims = {
      temp_.path() + "/escape.phones.sqlite", temp_.path() + "/escape@x.phones.sqlite",
      temp_.path() + "/a/escape.phones.sqlite", temp_.path() + "/escape"};
  for (const std::string& victim : victims) hx::storage_testing::WriteFile(victim, "victim");
  const char* peers[] = {"../../escape",      "../../escape@x",   "../escape",      "..", ".", "/",
                         "x/../../../escape", "../../escape.x.y", "..\\..\\escape", "a/"};
  for (const char* peer : peers) {
    SCOPED_TRACE(peer);
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_PhonesStorage db;
      if (db.OpenDatabase(peer, inner.c_str())) {
        db.SetPhone("o1", "owner", "X", static_cast<PhoneType>(1), true);
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
TEST_F(HostilePhonesDbTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  const char* peers[] = {
      "john.doe@example.org", "john.smith@example.org", "a.b.c.d",        "a.b.c.e",
      "john@example.org",     "JOHN@example.org",       "x.phones.sqlite"};
  for (const char* peer : peers) {
    HX_PhonesStorage db;
    ASSERT_TRUE(db.OpenDatabase(peer, Dir().c_str())) << peer;
    ASSERT_TRUE(db.SetPhone("o1", "owner", peer, static_cast<PhoneType>(1), true));
  }
  for (const char* peer : peers) {
    SCOPED_TRACE(peer);
    HX_PhonesStorage db;
    ASSERT_TRUE(db.OpenDatabase(peer, Dir().c_str()));
    EXPECT_EQ(db.database().GetPhoneDescription("o1").m_phone, peer);
    EXPECT_TRUE(hx::storage_testing::Exists(Dir() + UpperMd5(peer) + ".phones.sqlite"));
  }
}

// Threads using one store while another switches its file between two users: no crash, no
// sanitizer finding, no hang.
TEST_F(HostilePhonesDbTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_PhonesStorage store;
        if (!store.OpenDatabase(kMe, dir.c_str())) return 2;
        std::atomic<bool> stop{false};
        std::thread switcher([&] {
          for (int i = 0; i < 60; ++i) {
            store.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
            if (i % 7 == 0) store.database().Close();
          }
          stop = true;
        });
        std::thread writer([&] {
          for (int i = 0; !stop; ++i) {
            const std::string id = "i" + std::to_string(i % 10);
            store.SetPhone(id.c_str(), "p@x", "+1", static_cast<PhoneType>(1), true);
            store.DelPhone(("i" + std::to_string((i + 5) % 10)).c_str(), "p@x");
            if (i % 10 == 0) store.Reset();
          }
        });
        for (int i = 0; !stop; ++i) {
          store.GetPhoneList("p@x");
          store.GetPhonesList();
          store.GetPhoneDescription("p@x", "i1");
          store.UpdatePhoneList("p@x");
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
TEST_F(HostilePhonesDbTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kFolder | hx::hostile_testing::kWalFolder |
              hx::hostile_testing::kJunkWal | hx::hostile_testing::kLinkToDocument);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostilePhonesDbTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostilePhonesDbTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_PhonesStorage db;
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  db.database().Close();
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.database().IsOpen());
  ASSERT_TRUE(db.OpenDatabase("other@x", Dir().c_str()));
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.database().IsOpen());
  EXPECT_TRUE(db.SetPhone("r1", "r@x", "R", static_cast<PhoneType>(1), true));
  EXPECT_EQ(Tool("SELECT Phone FROM phones WHERE PhoneId='r1';"), "R\n");
}

// One process resets the tables again and again while another writes: both end in time without
// a crash, and the file ends with its tables, its version and no damage.
TEST_F(HostilePhonesDbTest, OneProcessResettingWhileAnotherWrites) {
  MakeGoodFile();
  const std::string dir = Dir();
  const auto resetter = [dir] {
    HX_PhonesStorage db;
    if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
    for (int i = 0; i < 30; ++i) {
      db.Reset();
      db.SetPhone("a1", "a@x", "+1", static_cast<PhoneType>(1), true);
    }
    return 0;
  };
  const auto writer = [dir] {
    HX_PhonesStorage db;
    if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
    for (int i = 0; i < 60; ++i) {
      db.SetPhone(("b" + std::to_string(i)).c_str(), "b@x", "+2", static_cast<PhoneType>(1), true);
    }
    return 0;
  };
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) _exit(RunInChild(resetter, 60).Clean() ? 0 : 3);
  const hx::hostile_testing::ChildEnd mine = RunInChild(writer, 60);
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_TRUE(mine.Clean()) << mine.Describe();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Tool("PRAGMA integrity_check; PRAGMA user_version; SELECT count(*) FROM phones WHERE "
                 "PhoneId='a1';"),
            "ok\n1\n1\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostilePhonesDbTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  std::filesystem::create_directories(Dir() + UpperMd5("other@x") + ".phones.sqlite/inside");
  HX_PhonesStorage db;
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_FALSE(db.OpenDatabase("other@x", Dir().c_str()));
  ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
  EXPECT_TRUE(db.database().IsOpen());
  EXPECT_TRUE(db.SetPhone("r1", "r@x", "R", static_cast<PhoneType>(1), true));
  EXPECT_EQ(Tool("SELECT Phone FROM phones WHERE PhoneId='r1';"), "R\n");
}

}  // namespace
