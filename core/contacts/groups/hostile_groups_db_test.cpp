// The groups database and its manager against files that someone else wrote or damaged (made
// with the sqlite3 tool or from raw bytes): NULLs and foreign types in every column read, group
// ids beyond 32 bits, huge names and member lists, wrong versions, objects of the wrong kind under
// the table names, files that are not databases, cut or empty, unwritable folders and files, two
// processes on one file, and calls with null and extreme arguments, before the open and after the
// close. Operations that might hang or crash run in a child process with a time limit.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/hostile_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::hostile_testing::kMe;
using hx::hostile_testing::RunInChild;

// The tables as another program might have made them: the real columns without constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE groups (GroupId, GroupName, GroupType);"
    "CREATE TABLE id_list (GroupId, PeerId);"
    "PRAGMA user_version = 2;";

class HostileGroupsDbTest : public hx::hostile_testing::HostileDbTest {
 protected:
  HostileGroupsDbTest() : HostileDbTest(".groups.sqlite") {}
  bool Open(HX_GroupsManager& groups) { return groups.OpenDatabase(kMe, Dir().c_str()); }
  // A file made by the class: group 5 "Five" of type 1 with member "m@x".
  void MakeGoodFile() override {
    HX_GroupsManager groups;
    ASSERT_TRUE(Open(groups));
    ASSERT_TRUE(groups.AddToDB(5, "Five", 1, "m@x"));
  }
  static HX_GroupsDB::Group Five() {
    HX_GroupsDB::Group group;
    group.m_isEmpty = false;
    group.m_groupId = 5;
    group.m_groupName = "Five";
    group.m_groupType = 1;
    group.m_peers = {"m@x"};
    return group;
  }
  // A group round trip works.
  void ExpectUsable() override {
    HX_GroupsManager groups;
    ASSERT_TRUE(Open(groups));
    ASSERT_TRUE(groups.AddToDB(7, "Seven", 2, "s@x"));
    const HX_GroupsDB::Group seven = groups.GetGroup(7);
    EXPECT_EQ(seven.m_groupName, "Seven");
    EXPECT_EQ(seven.m_peers, std::set<std::string>{"s@x"});
    EXPECT_EQ(Tool("PRAGMA user_version;"), "2\n");
  }

  // The odd things of the base fixture, with a good row of this database as the known row.
  void TryOddFiles(int cases) {
    HostileDbTest::TryOddFiles(
        cases,
        [](const std::string& folder) {
          HX_GroupsManager db;
          ASSERT_TRUE(db.OpenDatabase(kMe, folder.c_str()));
          ASSERT_TRUE(db.AddToDB(5, "Five", 1, "m@x"));
        },
        [](const std::string& folder) {
          HX_GroupsManager db;
          if (db.OpenDatabase(kMe, folder.c_str())) {
            db.AddToDB(7, "S", 1, "s@x");
            db.GetGroups();
          }
          return 0;
        },
        "SELECT GroupName FROM groups WHERE GroupId=5;", "Five\n");
  }
};

// Every operation before the open and after the close answers false, empty or the default group
// and touches nothing; null texts on an open file are answered without a crash.
TEST_F(HostileGroupsDbTest, OperationsBeforeOpenAfterCloseAndWithNullTexts) {
  MakeGoodFile();
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_GroupsManager groups;
    const auto closedAnswers = [&] {
      int wrong = 0;
      wrong += groups.CreateGroup(1, "x", 1);
      wrong += groups.DeleteGroup(5);
      wrong += groups.AddPeer("p@x", 5);
      wrong += groups.DelPeer("m@x", 5);
      wrong += groups.DropGroups();
      wrong += groups.DropPeers();
      wrong += groups.AddToDB(1, "x", 1, "p@x");
      wrong += groups.DelFromDB(5, nullptr);
      wrong += groups.Reset();
      wrong += groups.groupExists(5);
      wrong += !groups.GetGroups().empty();
      wrong += !groups.GetGroupsID().empty();
      wrong += !(groups.GetGroup(5) == HX_GroupsDB::Group());
      wrong += !(groups.OneGroup(5) == HX_GroupsDB::Group());
      groups.UpdateCache();
      groups.SetUseCache(true);
      wrong += !groups.Groups().empty();
      groups.SetUseCache(false);
      return wrong;
    };
    if (closedAnswers() != 0) return 10;
    if (!groups.OpenDatabase(kMe, dir.c_str())) return 11;
    groups.CreateGroup(8, nullptr, 0);
    groups.AddPeer(nullptr, 8);
    groups.DelPeer(nullptr, 8);
    groups.AddToDB(9, nullptr, 0, nullptr);
    groups.DelFromDB(9, nullptr);
    HX_GroupsManager copy(groups);
    if (copy.IsOpen() || !copy.GetGroups().empty()) return 12;
    groups.Close();
    return closedAnswers() != 0 ? 13 : 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT GroupId, GroupName FROM groups ORDER BY 1; SELECT * FROM id_list;"),
            "5|Five\n8|8\n5|m@x\n");
}

// Group ids beyond 32 bits never alias a 32-bit group: asking for, deleting or adding to
// 2^32 + 5 leaves group 5 alone; such groups are not handed out.
TEST_F(HostileGroupsDbTest, IdsBeyondThirtyTwoBitsNeverAliasAGroup) {
  MakeGoodFile();
  HX_GroupsManager groups;
  ASSERT_TRUE(Open(groups));
  const int64_t alias = (int64_t{1} << 32) + 5;
  EXPECT_EQ(groups.GetGroup(alias), HX_GroupsDB::Group());
  EXPECT_FALSE(groups.groupExists(alias));
  EXPECT_TRUE(groups.CreateGroup(alias, "Alias", 9));
  EXPECT_TRUE(groups.AddPeer("alias@x", alias));
  EXPECT_EQ(groups.GetGroup(alias), HX_GroupsDB::Group());
  EXPECT_EQ(groups.GetGroup(5), Five());
  EXPECT_EQ(groups.GetGroups(), (HX_GroupsDB::GroupMap{{5, Five()}}));
  EXPECT_EQ(groups.GetGroupsID(), (HX_GroupsDB::GroupIdSet{5}));
  groups.DelFromDB(alias, nullptr);
  groups.DelFromDB(alias, "m@x");
  EXPECT_EQ(groups.GetGroup(5), Five());
  for (int64_t id : {INT64_MIN, int64_t{-1}, int64_t{INT32_MIN}, int64_t{INT32_MAX}, INT64_MAX}) {
    SCOPED_TRACE(id);
    groups.AddToDB(id, "E", id, "e@x");
    groups.GetGroup(id);
    groups.OneGroup(id);
    groups.DelFromDB(id, "e@x");
  }
  EXPECT_EQ(groups.GetGroup(5), Five());
  EXPECT_EQ(groups.GetGroup(INT32_MIN).m_groupName, "E");
}

// Rows that someone else wrote beside the good group: NULL and foreign ids, names, types and
// members. Read as the class promises (NULL id skipped, NULL name empty, NULL type 0, NULL
// member skipped); never a crash; the good group exact.
TEST_F(HostileGroupsDbTest, HostileRowsAreReadDefensively) {
  struct Case {
    const char* what;
    const char* rows;
    std::function<void(HX_GroupsDB::GroupMap&)> check;
  };
  const std::vector<Case> cases = {
      {"NULL id", "INSERT INTO groups VALUES (NULL, 'N', 1);",
       [](HX_GroupsDB::GroupMap& all) { EXPECT_EQ(all.size(), 1u); }},
      {"text id", "INSERT INTO groups VALUES ('abc', 'T', 1);", nullptr},
      {"real id", "INSERT INTO groups VALUES (6.5, 'R', 1);", nullptr},
      {"id beyond 32 bits", "INSERT INTO groups VALUES (4294967301, 'B', 1);",
       [](HX_GroupsDB::GroupMap& all) { EXPECT_EQ(all.size(), 1u); }},
      {"NULL name", "INSERT INTO groups VALUES (6, NULL, 3);",
       [](HX_GroupsDB::GroupMap& all) {
         ASSERT_EQ(all.count(6), 1u);
         EXPECT_EQ(all[6].m_groupName, "");
         EXPECT_EQ(all[6].m_groupType, 3);
       }},
      {"NULL type", "INSERT INTO groups VALUES (6, 'S', NULL);",
       [](HX_GroupsDB::GroupMap& all) {
         ASSERT_EQ(all.count(6), 1u);
         EXPECT_EQ(all[6].m_groupType, 0);
       }},
      {"blob name", "INSERT INTO groups VALUES (6, x'00ff41', 1);", nullptr},
      {"huge type", "INSERT INTO groups VALUES (6, 'S', 9223372036854775807);", nullptr},
      {"text type", "INSERT INTO groups VALUES (6, 'S', 'big');", nullptr},
      {"duplicate id", "INSERT INTO groups VALUES (5, 'Again', 2);", nullptr},
      {"NULL member", "INSERT INTO id_list VALUES (5, NULL);",
       [](HX_GroupsDB::GroupMap& all) { EXPECT_EQ(all[5].m_peers, std::set<std::string>{"m@x"}); }},
      {"NULL member group", "INSERT INTO id_list VALUES (NULL, 'z@x');", nullptr},
      {"member of a group beyond 32 bits", "INSERT INTO id_list VALUES (4294967301, 'z@x');",
       [](HX_GroupsDB::GroupMap& all) { EXPECT_EQ(all[5].m_peers, std::set<std::string>{"m@x"}); }},
      {"number member", "INSERT INTO id_list VALUES (5, 42);", nullptr},
      {"blob member", "INSERT INTO id_list VALUES (5, x'00');", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile();
    Tool(std::string(kLooseSchema) +
         "INSERT INTO groups VALUES (5, 'Five', 1); INSERT INTO id_list VALUES (5, 'm@x');" +
         c.rows);
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunInChild([&] {
      HX_GroupsManager groups;
      if (!groups.OpenDatabase(kMe, dir.c_str())) return 2;
      groups.SetUseCache(true);
      HX_GroupsDB::GroupMap all = groups.GetGroups();
      if (c.check) c.check(all);
      if (::testing::Test::HasFailure()) return 3;
      if (all.count(5) == 0) return 4;
      groups.GetGroupsID();
      groups.Groups();
      groups.OneGroup(6);
      groups.GetGroup(6);
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
    HX_GroupsManager groups;
    ASSERT_TRUE(Open(groups));
    HX_GroupsDB::Group five = groups.GetGroup(5);
    EXPECT_EQ(five.m_groupName, Five().m_groupName);
    EXPECT_TRUE(five.m_peers.count("m@x"));
  }
}

// Huge names and many members: stored and read back exactly.
TEST_F(HostileGroupsDbTest, HugeNamesAndManyMembersRoundTrip) {
  HX_GroupsManager groups;
  ASSERT_TRUE(Open(groups));
  const std::string huge = hx::hostile_testing::Filler(1 << 20);
  const std::string quoted = "g'\"; DROP TABLE groups; --";
  ASSERT_TRUE(groups.CreateGroup(1, huge.c_str(), 1));
  ASSERT_TRUE(groups.CreateGroup(2, quoted.c_str(), 1));
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(groups.AddPeer(("p" + std::to_string(i)).c_str(), 1));
  ASSERT_TRUE(groups.AddPeer(huge.c_str(), 2));
  const HX_GroupsDB::GroupMap all = groups.GetGroups();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all.at(1).m_groupName, huge);
  EXPECT_EQ(all.at(1).m_peers.size(), 3000u);
  EXPECT_EQ(all.at(2).m_groupName, quoted);
  EXPECT_EQ(all.at(2).m_peers, std::set<std::string>{huge});
}

// Files that are no usable database are replaced and work afterwards.
TEST_F(HostileGroupsDbTest, FilesThatAreNotDatabasesOrAreCutAreReplaced) {
  ExpectDamagedFilesReplaced(hx::hostile_testing::FileDamages("groups!", 60));
}

// Versions another program might have left, and a version-2 file with objects of the wrong kind
// under the table names: every open answers without a crash, and the wrongly built file works
// again at the latest after a Reset or a rebuild.
TEST_F(HostileGroupsDbTest, ForeignVersionsAndWrongKindsOfObjects) {
  for (int version : {0, 1, 3, 99, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(version);
    MakeGoodFileOfVersion(version);
    {
      HX_GroupsManager groups;
      ASSERT_TRUE(Open(groups));
      EXPECT_TRUE(groups.GetGroups().empty());
    }
    ExpectUsable();
  }
  const std::vector<std::string> wrong = {
      "CREATE TABLE t (GroupId, GroupName, GroupType); INSERT INTO t VALUES (5, 'V', 1);"
      "CREATE VIEW groups AS SELECT * FROM t; CREATE TABLE id_list (GroupId, PeerId);",
      "CREATE TABLE groups (GroupId, GroupName, GroupType); CREATE TABLE t (GroupId, PeerId);"
      "CREATE INDEX id_list ON t (GroupId);",
      "CREATE TABLE groups (GroupId); CREATE TABLE id_list (PeerId);",
  };
  for (const std::string& schema : wrong) {
    for (int version : {2, 1}) {
      SCOPED_TRACE(schema + " at " + std::to_string(version));
      const std::string dir = Dir();
      const std::string sql = schema + "PRAGMA user_version = " + std::to_string(version) + ";";
      const hx::hostile_testing::ChildEnd end = RunOnFileMadeOf(sql, [&] {
        HX_GroupsManager groups;
        if (!groups.OpenDatabase(kMe, dir.c_str())) return 0;
        groups.SetUseCache(true);
        groups.GetGroups();
        groups.AddToDB(7, "S", 1, "s@x");
        groups.DelFromDB(5, nullptr);
        groups.Reset();
        groups.Reset();
        return 0;
      });
      EXPECT_TRUE(end.Clean()) << end.Describe();
    }
  }
}

// Reset on a closed database and on a database whose tables cannot be rebuilt answers false and
// never throws.
TEST_F(HostileGroupsDbTest, ResetThatCannotRebuildAnswersFalse) {
  HX_GroupsManager groups;
  EXPECT_FALSE(groups.Reset());
  ASSERT_TRUE(Open(groups));
  ASSERT_TRUE(groups.AddToDB(5, "Five", 1, "m@x"));
  // Another program puts an index where the member table would be rebuilt.
  Tool("CREATE TABLE other (x); CREATE INDEX zzz ON other (x);");
  Tool("DROP TABLE id_list; CREATE INDEX id_list ON other (x);");
  bool result = true;
  EXPECT_NO_THROW(result = groups.Reset());
  EXPECT_FALSE(result);
  groups.Close();
  EXPECT_FALSE(groups.Reset());
}

// The folder is a file: false, nothing thrown.
TEST_F(HostileGroupsDbTest, FolderThatIsAFileIsRefused) {
  const std::string notDir = Dir() + "plain";
  hx::storage_testing::WriteFile(notDir, "x");
  HX_GroupsManager groups;
  EXPECT_FALSE(groups.OpenDatabase(kMe, (notDir + "/").c_str()));
  EXPECT_FALSE(groups.IsOpen());
  EXPECT_EQ(hx::storage_testing::ReadFile(notDir), "x");
}

// A user who may not write: the read-only file in a read-only folder is neither deleted nor
// emptied; nothing crashes.
TEST_F(HostileGroupsDbTest, ReadOnlyFolderAndFileLoseNothing) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunAsNobodyOnReadOnlyFile([&] {
    HX_GroupsManager other;
    if (other.OpenDatabase("other@x", dir.c_str())) return 1;
    HX_GroupsManager groups;
    if (groups.OpenDatabase(kMe, dir.c_str())) {
      groups.Reset();
      groups.DelFromDB(5, nullptr);
    }
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT * FROM groups; SELECT * FROM id_list;"), "5|Five|1\n5|m@x\n");
}

// Two processes writing groups into one file at once: every group and membership of both stays.
TEST_F(HostileGroupsDbTest, TwoProcessesWritingOneFileKeepEveryGroup) {
  MakeGoodFile();
  constexpr int kEach = 40;
  const std::string dir = Dir();
  const auto writer = [dir](int process) {
    return [dir, process] {
      HX_GroupsManager groups;
      if (!groups.OpenDatabase(kMe, dir.c_str())) return 2;
      for (int i = 0; i < kEach; ++i) {
        const int id = 100 + process * 1000 + i;
        if (!groups.AddToDB(id, "G", 0, "p@x")) return 3;
      }
      return 0;
    };
  };
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer(0), writer(1)));
  EXPECT_EQ(Tool("SELECT count(*) FROM groups; SELECT count(*) FROM id_list;"),
            std::to_string(2 * kEach + 1) + "\n" + std::to_string(2 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostileGroupsDbTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  ExpectPathPartsStayInside([](const char* peer, const std::string& dir) {
    HX_GroupsManager db;
    if (db.OpenDatabase(peer, dir.c_str())) db.CreateGroup(1, "X", 1);
  });
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's data.
TEST_F(HostileGroupsDbTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  ExpectLookAlikeUsersApart(
      [](const char* peer, const std::string& dir) {
        HX_GroupsManager db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str())) << peer;
        ASSERT_TRUE(db.CreateGroup(1, peer, 1));
      },
      [](const char* peer, const std::string& dir) {
        HX_GroupsManager db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str()));
        EXPECT_EQ(db.GetGroup(1).m_groupName, peer);
      });
}

// Reacts to a change by reading the groups and writing one more, as a careless listener might.
struct RereadingListener {
  void OnChanged() {
    groups->Groups();
    groups->OneGroup(1);
    if (++calls % 3 == 0) groups->AddToDB(900 + calls % 5, "L", 0, nullptr);
  }
  HX_GroupsManager* groups = nullptr;
  std::atomic<int> calls{0};
};

// Threads using one manager while another switches it between two users' files and turns the
// copy on and off, with a listener that reads and writes from the change signal: no crash, no
// sanitizer finding, no deadlock.
TEST_F(HostileGroupsDbTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_GroupsManager groups;
        RereadingListener listener;
        listener.groups = &groups;
        groups.groupsChanged.Connect(&listener, &RereadingListener::OnChanged);
        if (!groups.OpenDatabase(kMe, dir.c_str())) return 2;
        hx::hostile_testing::UseWhileSwitching(
            [&](int i) {
              groups.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
              groups.SetUseCache(i % 3 != 0);
              if (i % 7 == 0) groups.Close();
            },
            [&](int i) {
              if (i % 10 == 0) groups.Reset();
              groups.AddToDB(i % 10, "G", 1, nullptr);
              groups.AddToDB(i % 10, "G", 1, ("p" + std::to_string(i)).c_str());
              groups.DelFromDB((i + 3) % 10, nullptr);
              groups.UpdateCache();
            },
            [&](int i) {
              groups.Groups();
              groups.GroupsID();
              groups.OneGroup(i % 10);
              groups.GetGroup(i % 10);
            });
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostileGroupsDbTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kEveryOddFileButTheFifo);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostileGroupsDbTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostileGroupsDbTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_GroupsManager db;
  ASSERT_NO_FATAL_FAILURE(ExpectReopenedAfterCloseAndSwitch(db, db));
  EXPECT_TRUE(db.CreateGroup(3, "R", 1));
  EXPECT_EQ(Tool("SELECT GroupName FROM groups WHERE GroupId=3;"), "R\n");
}

// One process resets the tables again and again while another writes: both end in time without
// a crash, and the file ends with its tables, its version and no damage.
TEST_F(HostileGroupsDbTest, OneProcessResettingWhileAnotherWrites) {
  MakeGoodFile();
  const std::string dir = Dir();
  const auto resetter = [dir] {
    HX_GroupsManager db;
    if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
    for (int i = 0; i < 30; ++i) {
      db.Reset();
      db.AddToDB(1, "A", 1, "a@x");
    }
    return 0;
  };
  const auto writer = [dir] {
    HX_GroupsManager db;
    if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
    for (int i = 0; i < 60; ++i) {
      db.AddToDB(100 + i, "B", 1, "b@x");
    }
    return 0;
  };
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer, resetter));
  EXPECT_EQ(Tool("PRAGMA integrity_check; PRAGMA user_version; SELECT count(*) > 0 FROM groups "
                 "WHERE GroupId=1;"),
            "ok\n2\n1\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostileGroupsDbTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  HX_GroupsManager db;
  ASSERT_NO_FATAL_FAILURE(ExpectFirstUserAgainAfterFailedSwitch(db, db));
  EXPECT_TRUE(db.CreateGroup(3, "R", 1));
  EXPECT_EQ(Tool("SELECT GroupName FROM groups WHERE GroupId=3;"), "R\n");
}

}  // namespace
