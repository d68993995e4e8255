// The groups database and its manager on real files in a temporary folder; the sqlite3 tool reads
// the files back independently and writes the hostile ones (NULLs, wrong types, ids beyond 32
// bits, an index in the place of a table).

#include "core/contacts/groups/groups_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Sqlite;
using Group = HX_GroupsDB::Group;

const char kPeer[] = "alice@example.com";

Group MakeGroup(int32_t id, const std::string& name, int32_t type, std::set<std::string> peers) {
  Group group;
  group.m_groupId = id;
  group.m_groupName = name;
  group.m_groupType = type;
  group.m_isEmpty = peers.empty();
  group.m_peers = std::move(peers);
  return group;
}

class GroupsTest : public ::testing::Test {
 protected:
  void SetUp() override { groups_.groupsChanged.Connect(this, &GroupsTest::OnChanged); }
  void OnChanged() { ++changes_; }

  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + groups_.PathEncode(groups_.GetStorageName(kPeer)); }
  bool Open() { return groups_.OpenDatabase(kPeer, Dir().c_str()); }
  // Membership rows as the tool sees them, "group|peer" a line, in order.
  std::string Members(const std::string& sqlite3) {
    return Sqlite(sqlite3, File(), "SELECT GroupId, PeerId FROM id_list ORDER BY GroupId, PeerId;");
  }
  std::string GroupRows(const std::string& sqlite3) {
    return Sqlite(sqlite3, File(), "SELECT GroupId, GroupName, GroupType FROM groups ORDER BY GroupId;");
  }

  hx::testing::TempDir temp_;
  HX_GroupsManager groups_;
  std::atomic<int> changes_{0};
};

TEST_F(GroupsTest, NewFileHasTheSchemaAtVersion2) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  EXPECT_FALSE(groups_.IsOpen());
  ASSERT_TRUE(Open());
  EXPECT_EQ(changes_, 1);  // the open refreshes and announces the groups
  EXPECT_EQ(groups_.GetStorageFSName(), "C160F8CC69A4F0BF2B0362752353D060.groups.sqlite");
  EXPECT_TRUE(hx::storage_testing::Exists(File()));
  EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; PRAGMA integrity_check;"), "2\nok\n");
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT type, name, tbl_name FROM sqlite_master ORDER BY name;"),
            "index|group_id_list|id_list\ntable|groups|groups\ntable|id_list|id_list\n"
            "index|sqlite_autoindex_groups_1|groups\n");
  EXPECT_EQ(Sqlite(sqlite3, File(),
                   "SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info('groups');"),
            "GroupId|INTEGER|1|0|1\nGroupName|CHAR|1|\"\"|0\nGroupType|INTEGER|1|0|0\n");
  EXPECT_EQ(Sqlite(sqlite3, File(),
                   "SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info('id_list');"),
            "GroupId|INTEGER|1|0|0\nPeerId|CHAR|1|\"\"|0\n");
  // The same peer opens at once, and the groups are announced again; another peer switches files.
  EXPECT_TRUE(Open());
  EXPECT_EQ(changes_, 2);
  EXPECT_TRUE(groups_.OpenDatabase("bob@example.com", Dir().c_str()));
  EXPECT_EQ(groups_.PeerId(), "bob@example.com");
}

TEST_F(GroupsTest, CreateGroupNamesAndUpdates) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  EXPECT_TRUE(groups_.CreateGroup(7, nullptr, 1));
  EXPECT_TRUE(groups_.CreateGroup(8, "", 2));
  EXPECT_TRUE(groups_.CreateGroup(-9, "", 3));
  EXPECT_TRUE(groups_.CreateGroup(10, "Family", 4));
  EXPECT_TRUE(groups_.CreateGroup(10, "Friends", 5));  // an existing group takes the new values
  EXPECT_EQ(GroupRows(sqlite3), "-9|-9|3\n7|7|1\n8|8|2\n10|Friends|5\n");
}

TEST_F(GroupsTest, AnswerSequencesGiveTheseRows) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  struct Step {
    int64_t id;
    const char* name;
    int64_t type;
    const char* peer;  // null: the group itself
    bool result;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    const char* groups;
    const char* members;
  };
  const Case cases[] = {
      {"a member of an unknown group creates it with the given name and type",
       {{5, "Work", 3, "bob@x", true}},
       "5|Work|3\n",
       "5|bob@x\n"},
      {"a member of a known group leaves its name and type",
       {{5, "Work", 3, nullptr, true}, {5, "Other", 9, "bob@x", true}},
       "5|Work|3\n",
       "5|bob@x\n"},
      {"a group without a member renames and retypes",
       {{5, "Work", 3, "bob@x", true}, {5, "Office", 4, nullptr, true}},
       "5|Office|4\n",
       "5|bob@x\n"},
      {"a member added twice is stored twice",
       {{5, "Work", 3, "bob@x", true}, {5, "Work", 3, "bob@x", true}, {5, "Work", 3, "carol@x", true}},
       "5|Work|3\n",
       "5|bob@x\n5|bob@x\n5|carol@x\n"},
      {"a member of a group with an empty name names the group by its id",
       {{12, "", 0, "bob@x", true}},
       "12|12|0\n",
       "12|bob@x\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(groups_.Reset());
    for (const Step& step : c.steps)
      EXPECT_EQ(groups_.AddToDB(step.id, step.name, step.type, step.peer), step.result);
    EXPECT_EQ(GroupRows(sqlite3), c.groups);
    EXPECT_EQ(Members(sqlite3), c.members);
  }
}

TEST_F(GroupsTest, MembersReadOnceAndDeletedTogether) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, "bob@x"));
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, "bob@x"));
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, "carol@x"));
  ASSERT_TRUE(groups_.AddToDB(2, "Two", 2, "bob@x"));
  ASSERT_TRUE(groups_.AddToDB(3, "Three", 7, nullptr));

  EXPECT_EQ(groups_.GetGroup(1), MakeGroup(1, "One", 1, {"bob@x", "carol@x"}));
  EXPECT_EQ(groups_.GetGroup(3), MakeGroup(3, "Three", 7, {}));  // no members: the empty flag
  EXPECT_EQ(groups_.GetGroup(4), Group());                       // unknown: the default group
  EXPECT_FALSE(groups_.groupExists(4));
  EXPECT_EQ(groups_.GetGroupsID(), (HX_GroupsDB::GroupIdSet{1, 2, 3}));
  const HX_GroupsDB::GroupMap all = groups_.Groups();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.at(2), MakeGroup(2, "Two", 2, {"bob@x"}));

  // One removal takes every copy of the membership.
  EXPECT_TRUE(groups_.DelFromDB(1, "bob@x"));
  EXPECT_EQ(Members(sqlite3), "1|carol@x\n2|bob@x\n");
  // A group goes with all its members; other groups keep theirs.
  EXPECT_TRUE(groups_.DelFromDB(1, nullptr));
  EXPECT_EQ(GroupRows(sqlite3), "2|Two|2\n3|Three|7\n");
  EXPECT_EQ(Members(sqlite3), "2|bob@x\n");
  // An unknown group: false, nothing changes (not even a membership of that id).
  ASSERT_EQ(Sqlite(sqlite3, File(), "INSERT INTO id_list VALUES (9, 'dave@x');"), "");
  EXPECT_FALSE(groups_.DelFromDB(9, "dave@x"));
  EXPECT_FALSE(groups_.DelFromDB(9, nullptr));
  EXPECT_FALSE(groups_.DelFromDB(int64_t{1} << 33 | 2, nullptr));  // not group 2
  EXPECT_EQ(Members(sqlite3), "2|bob@x\n9|dave@x\n");
  EXPECT_EQ(GroupRows(sqlite3), "2|Two|2\n3|Three|7\n");
}

TEST_F(GroupsTest, CacheServesReadsUntilUpdated) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, "bob@x"));
  changes_ = 0;

  groups_.SetUseCache(true);  // off to on fills the cache and announces it
  EXPECT_EQ(changes_, 1);
  groups_.SetUseCache(true);  // on to on: nothing
  EXPECT_EQ(changes_, 1);
  ASSERT_TRUE(groups_.AddToDB(2, "Two", 2, nullptr));
  // Reads come from memory, which is current after UpdateCache only.
  EXPECT_EQ(groups_.GroupsID(), (HX_GroupsDB::GroupIdSet{1}));
  EXPECT_EQ(groups_.OneGroup(2), Group());
  EXPECT_EQ(groups_.OneGroup(1), MakeGroup(1, "One", 1, {"bob@x"}));
  EXPECT_EQ(groups_.OneGroup(int64_t{1} << 32 | 1), MakeGroup(1, "One", 1, {"bob@x"}));  // taken as 32 bits
  groups_.UpdateCache();
  EXPECT_EQ(changes_, 2);
  EXPECT_EQ(groups_.GroupsID(), (HX_GroupsDB::GroupIdSet{1, 2}));
  EXPECT_EQ(groups_.Groups().at(2), MakeGroup(2, "Two", 2, {}));

  // A change behind the cache's back shows once the cache is off.
  ASSERT_EQ(Sqlite(sqlite3, File(), "UPDATE groups SET GroupName='Renamed' WHERE GroupId=1;"), "");
  EXPECT_EQ(groups_.Groups().at(1).m_groupName, "One");
  groups_.SetUseCache(false);
  EXPECT_EQ(groups_.Groups().at(1).m_groupName, "Renamed");
  EXPECT_EQ(groups_.OneGroup(int64_t{1} << 32 | 1), Group());  // the database takes the whole id

  // Turning the cache off empties it, even when it was off already; turning it on refills it.
  groups_.SetUseCache(true);
  EXPECT_EQ(groups_.Groups().size(), 2u);
  groups_.SetUseCache(false);
  groups_.SetUseCache(false);
  EXPECT_EQ(groups_.Groups().size(), 2u);  // from the database
}

TEST_F(GroupsTest, OpeningAnotherUserRefreshesTheCache) {
  ASSERT_TRUE(Open());
  groups_.SetUseCache(true);
  ASSERT_TRUE(groups_.AddToDB(1, "Alice's", 1, "bob@x"));
  groups_.UpdateCache();
  ASSERT_EQ(groups_.GroupsID(), (HX_GroupsDB::GroupIdSet{1}));
  const int before = changes_.load();
  ASSERT_TRUE(groups_.OpenDatabase("carol@example.com", Dir().c_str()));
  EXPECT_TRUE(groups_.Groups().empty());
  EXPECT_EQ(changes_, before + 1);
  ASSERT_TRUE(Open());
  EXPECT_EQ(groups_.OneGroup(1), MakeGroup(1, "Alice's", 1, {"bob@x"}));
}

TEST_F(GroupsTest, ClosedDatabaseAnswersFalseAndEmpty) {
  EXPECT_FALSE(groups_.Reset());
  EXPECT_FALSE(groups_.CreateGroup(1, "x", 1));
  EXPECT_FALSE(groups_.AddToDB(1, "x", 1, nullptr));
  EXPECT_FALSE(groups_.AddToDB(1, "x", 1, "bob@x"));
  EXPECT_FALSE(groups_.DelFromDB(1, nullptr));
  EXPECT_FALSE(groups_.DeleteGroup(1));
  EXPECT_FALSE(groups_.DropGroups());
  EXPECT_FALSE(groups_.DropPeers());
  EXPECT_FALSE(groups_.groupExists(1));
  EXPECT_TRUE(groups_.Groups().empty());
  EXPECT_TRUE(groups_.GroupsID().empty());
  EXPECT_EQ(groups_.OneGroup(1), Group());
  groups_.UpdateCache();
  groups_.SetUseCache(true);
  EXPECT_EQ(changes_, 0);  // nothing is announced for a closed database
  EXPECT_FALSE(groups_.OpenDatabase(nullptr, Dir().c_str()));
  EXPECT_FALSE(groups_.OpenDatabase("", Dir().c_str()));
  EXPECT_FALSE(groups_.IsOpen());
}

TEST_F(GroupsTest, OpenInAFileInsteadOfAFolderAnswersFalse) {
  hx::storage_testing::WriteFile(temp_.File("plain"), "not a folder");
  EXPECT_FALSE(groups_.OpenDatabase(kPeer, (temp_.File("plain") + "/").c_str()));
  EXPECT_FALSE(groups_.IsOpen());
  EXPECT_EQ(groups_.PeerId(), "");
  EXPECT_EQ(changes_, 0);
  // The same manager opens a good folder afterwards.
  EXPECT_TRUE(Open());
}

TEST_F(GroupsTest, OtherVersionsAreRebuiltEmpty) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  struct Case {
    const char* what;
    const char* prepare;
  };
  const Case cases[] = {
      {"version 1", "PRAGMA user_version = 1;"},
      {"version 3", "PRAGMA user_version = 3;"},
      {"no version", "PRAGMA user_version = 0;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(File());
    {
      HX_GroupsManager first;
      ASSERT_TRUE(first.OpenDatabase(kPeer, Dir().c_str()));
      ASSERT_TRUE(first.AddToDB(1, "One", 1, "bob@x"));
    }
    ASSERT_EQ(Sqlite(sqlite3, File(), c.prepare), "");
    HX_GroupsManager again;
    ASSERT_TRUE(again.OpenDatabase(kPeer, Dir().c_str()));
    EXPECT_TRUE(again.Groups().empty());
    again.Close();
    EXPECT_EQ(Sqlite(sqlite3, File(),
                     "PRAGMA user_version; SELECT count(*) FROM groups; SELECT count(*) FROM id_list;"),
              "2\n0\n0\n");
  }
}

TEST_F(GroupsTest, HostileRowsAreReadWithoutHarm) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  groups_.Close();
  // Tables of another shape under the right names and version: nothing constrains the values.
  ASSERT_EQ(
      Sqlite(sqlite3, File(),
             "DROP TABLE groups; DROP TABLE id_list;"
             "CREATE TABLE groups (GroupId, GroupName, GroupType);"
             "CREATE TABLE id_list (GroupId, PeerId);"
             "INSERT INTO groups VALUES (1, NULL, NULL), (NULL, 'no id', 1), (4294967297, 'too big', 1),"
             " ('abc', 'text id', 1), (2, X'00FF', 99999999999), (3, 'real type', 2.75),"
             " (-2147483648, 'least', -1);"
             "INSERT INTO id_list VALUES (1, NULL), (1, 'bob@x'), (1, 7), (2, X'0001'),"
             " (4294967297, 'huge@x');"),
      "");
  ASSERT_TRUE(Open());
  const HX_GroupsDB::GroupMap all = groups_.Groups();
  // NULL and too-large ids are skipped; a text id reads as 0 the way SQLite converts it.
  EXPECT_EQ(groups_.GetGroupsID(), (HX_GroupsDB::GroupIdSet{INT32_MIN, 0, 1, 2, 3}));
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all.at(1), MakeGroup(1, "", 0, {"7", "bob@x"}));
  EXPECT_EQ(all.at(2), MakeGroup(2, std::string("\0\xFF", 2), static_cast<int32_t>(99999999999LL),
                                 {std::string("\0\x01", 2)}));
  EXPECT_EQ(all.at(3).m_groupType, 2);
  EXPECT_EQ(all.at(INT32_MIN).m_groupName, "least");
  EXPECT_EQ(groups_.GetGroup(1), all.at(1));
  // An id beyond 32 bits cannot be handed out as a group (its members are read by 32-bit id).
  EXPECT_TRUE(groups_.groupExists(4294967297LL));
  EXPECT_EQ(groups_.GetGroup(4294967297LL), Group());
  // Writes keep working on the odd tables.
  EXPECT_TRUE(groups_.DelFromDB(1, nullptr));
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT count(*) FROM id_list WHERE GroupId=1;"), "0\n");
}

TEST_F(GroupsTest, ResetThatCannotCreateAnswersFalseAndTheNextRebuilds) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, "bob@x"));
  // "id_list" names an index of another table: dropping the table succeeds, creating it fails.
  ASSERT_EQ(Sqlite(sqlite3, File(),
                   "DROP TABLE id_list; CREATE TABLE other (a); CREATE INDEX id_list ON other (a);"),
            "");
  bool result = true;
  EXPECT_NO_THROW(result = groups_.Reset());
  EXPECT_FALSE(result);
  EXPECT_NO_THROW(groups_.UpdateCache());
  EXPECT_TRUE(groups_.IsOpen());
  // The transaction left nothing half-made: no groups table either.
  EXPECT_EQ(Sqlite(sqlite3, File(),
                   "SELECT name FROM sqlite_master WHERE name IN ('groups', 'id_list') ORDER BY name;"),
            "id_list\n");
  EXPECT_FALSE(groups_.AddToDB(1, "One", 1, "bob@x"));
  // Once the obstacle is gone, the next book's Reset builds the tables again.
  ASSERT_EQ(Sqlite(sqlite3, File(), "DROP INDEX id_list;"), "");
  EXPECT_TRUE(groups_.Reset());
  EXPECT_TRUE(groups_.AddToDB(1, "One", 1, "bob@x"));
  EXPECT_EQ(Members(sqlite3), "1|bob@x\n");
}

TEST_F(GroupsTest, CopyIsANewClosedManager) {
  ASSERT_TRUE(Open());
  groups_.SetUseCache(true);
  ASSERT_TRUE(groups_.AddToDB(1, "One", 1, nullptr));
  groups_.UpdateCache();
  HX_GroupsManager copy(groups_);
  EXPECT_FALSE(copy.IsOpen());
  EXPECT_TRUE(copy.Groups().empty());
  EXPECT_EQ(copy.PeerId(), "");
  const int before = changes_.load();
  ASSERT_TRUE(copy.OpenDatabase(kPeer, Dir().c_str()));
  EXPECT_EQ(changes_, before);  // no listeners came along
  EXPECT_EQ(copy.Groups().size(), 1u);
}

// Readers on another thread while answers are applied: each read sees whole groups, and the
// cache lock and the database lock are taken in one order only.
TEST_F(GroupsTest, ReadersWhileAnswersAreApplied) {
  ASSERT_TRUE(Open());
  groups_.SetUseCache(true);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      for (const auto& [id, group] : groups_.Groups()) {
        EXPECT_EQ(id, group.m_groupId);
        EXPECT_EQ(group.m_isEmpty, group.m_peers.empty());
      }
      groups_.OneGroup(1);
      groups_.SetUseCache(reads.fetch_add(1) % 7 != 3);
    }
  });
  for (int answer = 0; answer < 40; ++answer) {
    ASSERT_TRUE(groups_.Reset());
    for (int id = 1; id <= 5; ++id) {
      ASSERT_TRUE(groups_.AddToDB(id, "g", id, nullptr));
      ASSERT_TRUE(groups_.AddToDB(id, "g", id, "bob@x"));
    }
    groups_.UpdateCache();
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  groups_.SetUseCache(true);
  EXPECT_EQ(groups_.Groups().size(), 5u);
}

}  // namespace
