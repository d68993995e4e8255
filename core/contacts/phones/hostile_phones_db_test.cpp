// The phones database and the phone store against files that someone else wrote or damaged (made
// with the sqlite3 tool or from raw bytes): NULLs and foreign types in every column read, types
// beyond 32 bits, tables with columns missing, huge texts, wrong versions, objects of the wrong
// kind under the table's name, files that are not databases, cut or empty, unwritable folders and
// files, two processes on one file, and calls with null and extreme arguments, before the open and
// after the close. Operations that might hang or crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/contacts/hostile_db_test_helpers.h"
#include "core/contacts/phones/phones_storage.h"
#include "testing/test_support.h"

namespace {

using hx::hostile_testing::kMe;
using hx::hostile_testing::RunInChild;
using Description = HX_PhonesDB::Description;

// The table as another program might have made it: the real columns without constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE phones (PhoneId COLLATE NOCASE, PeerId, Phone, Type, Editable);"
    "PRAGMA user_version = 1;";
constexpr const char* kGoodRow = "INSERT INTO phones VALUES ('g1', 'good@x', '+100', 2, 1);";

Description Good() { return Description("g1", "good@x", "+100", static_cast<PhoneType>(2), true); }

class HostilePhonesDbTest : public hx::hostile_testing::HostileDbTest {
 protected:
  HostilePhonesDbTest() : HostileDbTest(".phones.sqlite") {}
  bool Open(HX_PhonesStorage& store) { return store.OpenDatabase(kMe, Dir().c_str()); }
  void MakeGoodFile() override {
    HX_PhonesStorage store;
    ASSERT_TRUE(Open(store));
    ASSERT_TRUE(store.SetPhone("g1", "good@x", "+100", static_cast<PhoneType>(2), true));
  }
  // A phone round trip works across a reopen.
  void ExpectUsable() override {
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

  // The odd things of the base fixture, with a good row of this database as the known row.
  void TryOddFiles(int cases) {
    HostileDbTest::TryOddFiles(
        cases,
        [](const std::string& folder) {
          HX_PhonesStorage db;
          ASSERT_TRUE(db.OpenDatabase(kMe, folder.c_str()));
          ASSERT_TRUE(db.SetPhone("g1", "good@x", "+100", static_cast<PhoneType>(2), true));
        },
        [](const std::string& folder) {
          HX_PhonesStorage db;
          if (db.OpenDatabase(kMe, folder.c_str())) {
            db.SetPhone("w1", "w@x", "+1", static_cast<PhoneType>(1), true);
            db.GetPhoneList("good@x");
          }
          return 0;
        },
        "SELECT Phone FROM phones WHERE PhoneId='g1';", "+100\n");
  }
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
    const std::string dir = Dir();
    const std::string sql = schema + "PRAGMA user_version = 1;";
    const hx::hostile_testing::ChildEnd end = RunOnFileMadeOf(sql, [&] {
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
  ExpectDamagedFilesReplaced(hx::hostile_testing::FileDamages("phones", 60));
}

// Versions another program might have left give an empty table of version 1; objects of the
// wrong kind under the table's name are answered without a crash, and Reset never throws.
TEST_F(HostilePhonesDbTest, ForeignVersionsAndWrongKindsOfObjects) {
  for (int version : {0, 2, 99, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(version);
    MakeGoodFileOfVersion(version);
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
      const std::string dir = Dir();
      const std::string sql = schema + "PRAGMA user_version = " + std::to_string(version) + ";";
      const hx::hostile_testing::ChildEnd end = RunOnFileMadeOf(sql, [&] {
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
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunAsNobodyOnReadOnlyFile([&] {
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
  });
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
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer(0), writer(1)));
  EXPECT_EQ(Tool("SELECT count(*) FROM phones;"), std::to_string(2 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostilePhonesDbTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  ExpectPathPartsStayInside([](const char* peer, const std::string& dir) {
    HX_PhonesStorage db;
    if (db.OpenDatabase(peer, dir.c_str())) {
      db.SetPhone("o1", "owner", "X", static_cast<PhoneType>(1), true);
    }
  });
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's data.
TEST_F(HostilePhonesDbTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  ExpectLookAlikeUsersApart(
      [](const char* peer, const std::string& dir) {
        HX_PhonesStorage db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str())) << peer;
        ASSERT_TRUE(db.SetPhone("o1", "owner", peer, static_cast<PhoneType>(1), true));
      },
      [](const char* peer, const std::string& dir) {
        HX_PhonesStorage db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str()));
        EXPECT_EQ(db.database().GetPhoneDescription("o1").m_phone, peer);
      });
}

// Threads using one store while another switches its file between two users: no crash, no
// sanitizer finding, no hang.
TEST_F(HostilePhonesDbTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_PhonesStorage store;
        if (!store.OpenDatabase(kMe, dir.c_str())) return 2;
        hx::hostile_testing::UseWhileSwitching(
            [&](int i) {
              store.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
              if (i % 7 == 0) store.database().Close();
            },
            [&](int i) {
              const std::string id = "i" + std::to_string(i % 10);
              store.SetPhone(id.c_str(), "p@x", "+1", static_cast<PhoneType>(1), true);
              store.DelPhone(("i" + std::to_string((i + 5) % 10)).c_str(), "p@x");
              if (i % 10 == 0) store.Reset();
            },
            [&](int) {
              store.GetPhoneList("p@x");
              store.GetPhonesList();
              store.GetPhoneDescription("p@x", "i1");
              store.UpdatePhoneList("p@x");
            });
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostilePhonesDbTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kEveryOddFileButTheFifo);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostilePhonesDbTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostilePhonesDbTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_PhonesStorage db;
  ASSERT_NO_FATAL_FAILURE(ExpectReopenedAfterCloseAndSwitch(db, db.database()));
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
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer, resetter));
  EXPECT_EQ(Tool("PRAGMA integrity_check; PRAGMA user_version; SELECT count(*) FROM phones WHERE "
                 "PhoneId='a1';"),
            "ok\n1\n1\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostilePhonesDbTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  HX_PhonesStorage db;
  ASSERT_NO_FATAL_FAILURE(ExpectFirstUserAgainAfterFailedSwitch(db, db.database()));
  EXPECT_TRUE(db.SetPhone("r1", "r@x", "R", static_cast<PhoneType>(1), true));
  EXPECT_EQ(Tool("SELECT Phone FROM phones WHERE PhoneId='r1';"), "R\n");
}

}  // namespace
