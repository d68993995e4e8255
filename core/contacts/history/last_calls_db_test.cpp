// The call history database against real files in a temporary folder. The sqlite3 tool reads
// every file back on its own (schema, version, rows) and makes the files of older versions and
// the damaged rows that the reader must refuse. Times come from a set wall clock.

#include "core/contacts/history/last_calls_db.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/contacts_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::contacts_testing::Rows;
using hx::contacts_testing::UpperMd5;
namespace lc = hx::lastCalls;

constexpr int64_t kT0 = 1700000000;
constexpr const char* kMe = "me@example.org";
constexpr const char* kAllRows =
    "SELECT rowid,Type,ConfType,Peer,ReadDone,StartTime,JoinTime,EndTime,ConfId,NamedConfId,"
    "ConfName,InitialState,State FROM lastCalls ORDER BY rowid;";

// Version 11 of the table, as older clients made it, and the later columns step by step.
constexpr const char* kV11Table =
    "CREATE TABLE lastCalls (Type INTEGER NOT NULL DEFAULT 0, ConfType INTEGER NOT NULL DEFAULT 0,"
    " Peer CHAR NOT NULL DEFAULT '' COLLATE NOCASE, ReadDone BOOLEAN NOT NULL DEFAULT 0,"
    " StartTime INTEGER NOT NULL DEFAULT 0, EndTime INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX idx_0 ON lastCalls (StartTime DESC);"
    "INSERT INTO lastCalls VALUES (0, 5, 'a@x', 1, 100, 160);";
constexpr const char* kV12Columns =
    "ALTER TABLE lastCalls ADD COLUMN ConfId CHAR DEFAULT '' COLLATE NOCASE;"
    "ALTER TABLE lastCalls ADD COLUMN ConfName CHAR DEFAULT '' COLLATE NOCASE;"
    "UPDATE lastCalls SET ConfId='c1', ConfName='Room';";
constexpr const char* kV13Columns =
    "ALTER TABLE lastCalls ADD COLUMN JoinTime INTEGER DEFAULT NULL;"
    "ALTER TABLE lastCalls ADD COLUMN NamedConfId CHAR DEFAULT NULL COLLATE NOCASE;"
    "ALTER TABLE lastCalls ADD COLUMN State INTEGER NOT NULL DEFAULT 999;"
    "CREATE INDEX idx_1 ON lastCalls (State);"
    "UPDATE lastCalls SET JoinTime=120;";

class LastCallsDbTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File(const std::string& peer = kMe) const {
    return Dir() + UpperMd5(peer) + ".lastcalls.sqlite";
  }
  bool Open(HX_LastCallsDB& db, const char* peer = kMe) {
    return db.OpenDatabase(peer, Dir().c_str());
  }
  std::string Tool(const std::string& sql, const std::string& peer = kMe) {
    return Rows(sqlite3_, File(peer), sql);
  }

  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }

  hx::testing::TempDir temp_;
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
  std::string sqlite3_;
};

TEST_F(LastCallsDbTest, NewFileHasTheSchemaIndexesAndVersion) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  EXPECT_EQ(db.PeerId(), kMe);
  EXPECT_EQ(
      Tool("SELECT type, name, sql FROM sqlite_master ORDER BY name;"),
      "index|idx_0|CREATE INDEX idx_0 ON lastCalls (StartTime DESC)\n"
      "index|idx_1|CREATE INDEX idx_1 ON lastCalls (State)\n"
      "table|lastCalls|CREATE TABLE lastCalls  (   Type        INTEGER NOT NULL DEFAULT 0,"
      "   ConfType    INTEGER NOT NULL DEFAULT 0,   Peer        CHAR    NOT NULL DEFAULT \"\" "
      "COLLATE NOCASE ,   ReadDone    BOOLEAN NOT NULL DEFAULT 0 ,   StartTime   INTEGER NOT "
      "NULL DEFAULT (strftime('%s', 'now')),    JoinTime INTEGER DEFAULT NULL,   EndTime     "
      "INTEGER NOT NULL DEFAULT (strftime('%s', 'now')),    ConfId  CHAR    DEFAULT \"\" "
      "COLLATE NOCASE,   NamedConfId   CHAR    DEFAULT NULL COLLATE NOCASE,   ConfName   "
      "CHAR    DEFAULT \"\" COLLATE NOCASE,   InitialState INTEGER NOT NULL DEFAULT 999,   "
      "State        INTEGER NOT NULL DEFAULT 999)\n");
  EXPECT_EQ(Tool("PRAGMA user_version;"), "14\n");
}

TEST_F(LastCallsDbTest, OlderFilesAreUpgradedInSteps) {
  struct Case {
    const char* name;
    std::string script;  // run by the tool on a new file
    std::string rows;    // after the open
    uint64_t duration;   // of the old row
  };
  const std::string v11 = kV11Table;
  const std::string v12 = v11 + kV12Columns;
  const std::string v13 = v12 + kV13Columns;
  const std::vector<Case> cases = {
      {"version 0 with the version-11 table", v11 + "PRAGMA user_version=0;",
       "1|0|5|a@x|1|100|NULL|160||NULL||999|999\n", 0},
      {"version 11", v11 + "PRAGMA user_version=11;", "1|0|5|a@x|1|100|NULL|160||NULL||999|999\n",
       0},
      {"version 12", v12 + "PRAGMA user_version=12;",
       "1|0|5|a@x|1|100|NULL|160|c1|NULL|Room|999|999\n", 0},
      {"version 13", v13 + "PRAGMA user_version=13;",
       "1|0|5|a@x|1|100|120|160|c1|NULL|Room|999|999\n", 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(File());
    ASSERT_EQ(Tool(c.script), "");
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    EXPECT_EQ(Tool(kAllRows), c.rows);
    EXPECT_EQ(Tool("PRAGMA user_version;"), "14\n");
    EXPECT_EQ(Tool("SELECT name FROM sqlite_master WHERE type='index' ORDER BY name;"),
              "idx_0\nidx_1\n");
    // The upgraded file works like a new one.
    db.SaveCall(lc::inviteSent, lc::outgoing, 0, "b@x", "c2", "", "");
    std::list<lc::call> list;
    ASSERT_TRUE(db.GetList(list, lc::all, 10));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().peer, "b@x");
    EXPECT_EQ(list.back().duration, c.duration);
  }
}

TEST_F(LastCallsDbTest, FilesThatCannotBeUpgradedAreCreatedAnewAndNewerOnesUsedAsTheyAre) {
  const std::string v11 = kV11Table;
  struct Case {
    const char* name;
    std::string script;
    std::string rows;
    std::string version;
  };
  const std::vector<Case> cases = {
      // No version-11 table: the first step fails, the file is created anew.
      {"version 0 without the table", "CREATE TABLE other (x);INSERT INTO other VALUES (1);", "",
       "14\n"},
      // The version 12 step finds ConfId already there.
      {"a step fails", v11 + kV12Columns + "PRAGMA user_version=11;", "", "14\n"},
      {"version 15", v11 + "PRAGMA user_version=15;", "1|0|5|a@x|1|100|160\n", "15\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(File());
    ASSERT_EQ(Tool(c.script), "");
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    EXPECT_EQ(Tool("PRAGMA user_version;"), c.version);
    const bool old_table = c.version == "15\n";
    EXPECT_EQ(Tool(old_table ? "SELECT rowid,* FROM lastCalls;" : kAllRows), c.rows);
    if (!old_table) {
      EXPECT_EQ(Tool("SELECT count(*) FROM sqlite_master WHERE name='other';"), "0\n");
    }
  }
}

// One step of a sequence: moves the clock, then calls the database as the recorder would.
struct Step {
  int64_t at;  // seconds after kT0
  std::function<void(HX_LastCallsDB&)> call;
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
  std::string rows;  // the tool's rows at the end (rowid .. State)
};

// The recorder's lookups for an invitation into a group conference (sent or received).
void InviteToMulti(HX_LastCallsDB& db, lc::state state, lc::direction direction, const char* peer,
                   const char* conf, const char* name) {
  HXAutoLock hold(db);
  const uint64_t row = db.CheckActiveReqInvite(peer);
  if (row != HX_LastCallsDB::kNoRow) {
    db.UpdateReqInvite(row, state, conf, name);
  } else {
    db.SaveCall(state, direction, 5, peer, conf, "", name);
  }
}

void JoinSent(HX_LastCallsDB& db, const char* text) {
  HXAutoLock hold(db);
  const uint64_t row = db.CheckActiveInviteToMulti(text);
  if (row != HX_LastCallsDB::kNoRow) {
    db.UpdateInviteToMulti(row, lc::namedJoinSent);
  } else {
    db.SaveCall(lc::namedJoinSent, lc::outgoing, 5, "", "", text, "");
  }
}

void JoinReceived(HX_LastCallsDB& db, const std::string& named_in, const std::string& conf,
                  const std::string& name, const std::string& owner) {
  HXAutoLock hold(db);
  std::string named = named_in;
  const std::string pending = db.CheckActiveNamedJoinSent();
  if (named == conf) named = pending;
  if (owner == db.PeerId()) {
    if (!pending.empty()) {
      db.UpdateMyConf(pending, conf, name, owner);
    } else {
      db.JoinToMyConf(lc::outgoing, 5, owner, conf, name);
    }
  } else {
    db.JoinToConf(named, conf, name);
  }
}

TEST_F(LastCallsDbTest, RowStateMachine) {
  const std::vector<Sequence> sequences = {
      {"incoming call answered",
       {{0,
         [](auto& db) { db.SaveCall(lc::inviteReceived, lc::incoming, 0, "p@x", "c1", "", ""); }},
        {5, [](auto& db) { db.JoinToCall(lc::acceptSent, "c1", "p@x"); }},
        {65, [](auto& db) { db.FinishCall("c1"); }}},
       "1|0|0|p@x|0|1700000000|1700000005|1700000065|c1|NULL||2|999\n"},
      {"incoming call never answered",
       {{0,
         [](auto& db) { db.SaveCall(lc::inviteReceived, lc::incoming, 0, "p@x", "c1", "", ""); }},
        {30, [](auto& db) { db.FinishCall("c1"); }}},
       "1|2|0|p@x|0|1700000000|NULL|1700000000|c1|NULL||2|999\n"},
      {"outgoing call answered",
       {{0, [](auto& db) { db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", "c1", "", ""); }},
        {3, [](auto& db) { db.JoinToCall(lc::acceptReceived, "c1", "p@x"); }},
        {10, [](auto& db) { db.FinishCall("p@x"); }}},
       "1|1|0|p@x|0|1700000000|1700000003|1700000010|c1|NULL||1|999\n"},
      {"outgoing call unanswered",
       {{0, [](auto& db) { db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", "c1", "", ""); }},
        {20, [](auto& db) { db.FinishCall("C1"); }}},  // the columns compare without case
       "1|1|0|p@x|0|1700000000|NULL|1700000000|c1|NULL||1|999\n"},
      {"request sent, invitation received, join answer matched by the conference id",
       {{0,
         [](auto& db) { db.SaveCall(lc::reqInviteSent, lc::outgoing, 5, "host@x", "", "", ""); }},
        {2,
         [](auto& db) {
           InviteToMulti(db, lc::inviteToMultiReceived, lc::incoming, "host@x", "c9", "Room");
         }},
        {4, [](auto& db) { JoinSent(db, "c9"); }},
        {6, [](auto& db) { JoinReceived(db, "room@srv", "c9", "Room 9", "host@x"); }},
        {50, [](auto& db) { db.FinishCall("c9"); }}},
       "1|1|5|host@x|0|1700000000|1700000006|1700000050|c9|room@srv|Room 9|5|999\n"},
      {"request received, invitation sent; a join by name matched by the part before @",
       {{0,
         [](auto& db) {
           db.SaveCall(lc::reqInviteReceived, lc::incoming, 5, "guest@x", "", "", "");
         }},
        {1,
         [](auto& db) {
           InviteToMulti(db, lc::inviteToMultiSent, lc::outgoing, "guest@x", "c7", "R");
         }},
        {2, [](auto& db) { JoinSent(db, "room"); }},
        {3, [](auto& db) { JoinReceived(db, "room@srv", "c8", "R8", "other@x"); }}},
       "1|0|5|guest@x|0|1700000000|NULL|1700000000|c7|NULL|R|6|3\n"
       "2|1|5||0|1700000002|1700000003|1700000002|c8|room@srv|R8|9|10\n"},
      {"join by name matched by the full name",
       {{0, [](auto& db) { JoinSent(db, "room@srv"); }},
        {1, [](auto& db) { JoinReceived(db, "room@srv", "c9", "N", "h@x"); }}},
       "1|1|5||0|1700000000|1700000001|1700000000|c9|room@srv|N|9|10\n"},
      {"invitation joined by its conference id; the answer names no conference",
       {{0,
         [](auto& db) {
           db.SaveCall(lc::inviteToMultiReceived, lc::incoming, 5, "h@x", "c5", "", "N");
         }},
        {1, [](auto& db) { JoinSent(db, "c5"); }},
        {2, [](auto& db) { JoinReceived(db, "c5", "c5", "N", "h@x"); }},
        {9, [](auto& db) { db.FinishCall("c5"); }}},
       "1|0|5|h@x|0|1700000000|1700000002|1700000009|c5||N|4|999\n"},
      {"own conference with a pending join",
       {{0, [](auto& db) { JoinSent(db, "mine"); }},
        {4, [](auto& db) { JoinReceived(db, "mine", "c3", "Mine", kMe); }}},
       "1|1|5|me@example.org|0|1700000000|1700000004|1700000000|c3|mine|Mine|9|10\n"},
      {"own conference without a pending join",
       {{7, [](auto& db) { JoinReceived(db, "c3", "c3", "Mine", kMe); }},
        {9, [](auto& db) { db.FinishCall("c3"); }}},
       "1|1|5|me@example.org|0|1700000007|1700000007|1700000009|c3|NULL|Mine|10|999\n"},
      {"rejected request for an invitation",
       {{0,
         [](auto& db) { db.SaveCall(lc::reqInviteReceived, lc::incoming, 5, "g@x", "", "", ""); }},
        {8, [](auto& db) { db.RejectIncomingReqinvite("g@x", "c4"); }}},
       "1|2|5|g@x|0|1700000000|NULL|1700000000|c4|NULL||6|999\n"},
      {"an id that is a peer finishes each of its rows",
       {{0,
         [](auto& db) { db.SaveCall(lc::inviteReceived, lc::incoming, 0, "p@x", "c1", "", ""); }},
        {1, [](auto& db) { db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", "c2", "", ""); }},
        {2, [](auto& db) { db.SaveCall(lc::inviteSent, lc::outgoing, 0, "q@x", "c3", "", ""); }},
        {4, [](auto& db) { db.FinishCall("P@X"); }}},
       "1|2|0|p@x|0|1700000000|NULL|1700000000|c1|NULL||2|999\n"
       "2|1|0|p@x|0|1700000001|NULL|1700000001|c2|NULL||1|999\n"
       "3|1|0|q@x|0|1700000002|NULL|1700000002|c3|NULL||1|1\n"},
      {"a deletion without id finishes nothing",
       {{0, [](auto& db) { JoinSent(db, "named"); }},
        {1,
         [](auto& db) { db.SaveCall(lc::reqInviteReceived, lc::incoming, 5, "g@x", "", "", ""); }},
        {2, [](auto& db) { db.FinishCall(""); }},
        {3, [](auto& db) { db.FinishCall(nullptr); }}},
       "1|1|5||0|1700000000|NULL|1700000000||named||9|9\n"
       "2|0|5|g@x|0|1700000001|NULL|1700000001||NULL||6|6\n"},
  };
  for (const Sequence& s : sequences) {
    SCOPED_TRACE(s.name);
    std::filesystem::remove(File());
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    for (const Step& step : s.steps) {
      clock_.Set(kT0 + step.at);
      step.call(db);
    }
    EXPECT_EQ(Tool(kAllRows), s.rows);
  }
}

TEST_F(LastCallsDbTest, JoinSentOnAnInvitationRowMovesItToTheNamedJoin) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  db.SaveCall(lc::inviteToMultiSent, lc::outgoing, 5, "p@x", "c1", "", "Room");
  JoinSent(db, "c1");
  EXPECT_EQ(Tool("SELECT count(*), State FROM lastCalls;"), "1|9\n");
  // A named invitation without conference id is found by its name.
  db.SaveCall(lc::inviteToMultiReceived, lc::incoming, 5, "", "", "named@srv", "N");
  EXPECT_EQ(db.CheckActiveInviteToMulti("named@srv"), 2u);
  EXPECT_EQ(db.CheckActiveInviteToMulti("none"), HX_LastCallsDB::kNoRow);
  EXPECT_EQ(db.CheckActiveNamedJoinSent(), "");  // row 1 has a peer and a conference id
}

TEST_F(LastCallsDbTest, ListReportsDurationNamedIdAndOwnConferences) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "a@x", "c1", nullptr, nullptr);  // unfinished
  clock_.Advance(1);
  db.SaveCall(lc::inviteToMultiSent, lc::outgoing, 5, "b@x", "c2", "named", "N");
  db.JoinToCall(lc::acceptReceived, "c2", "b@x");
  clock_.Advance(30);
  db.FinishCall("c2");
  clock_.Advance(1);
  db.SaveCall(lc::namedJoinSent, lc::outgoing, 6, "", "", "room", "");
  clock_.Advance(1);
  JoinReceived(db, "room", "c3", "R", "h@x");
  std::list<lc::call> list;
  ASSERT_TRUE(db.GetList(list, lc::all, 10));
  ASSERT_EQ(list.size(), 3u);
  std::vector<lc::call> rows(list.begin(), list.end());
  EXPECT_EQ(rows[0].namedConfId, "room");
  EXPECT_EQ(rows[0].state, lc::joined);
  EXPECT_FALSE(rows[0].myConference);  // created in state 9
  EXPECT_EQ(rows[0].duration, 0u);     // not finished
  EXPECT_EQ(rows[1].rowId, 2u);
  EXPECT_EQ(rows[1].duration, 30u);
  EXPECT_TRUE(rows[1].myConference);
  EXPECT_EQ(rows[1].confType, 5);
  EXPECT_EQ(rows[1].namedConfId, "named");
  EXPECT_EQ(rows[2].namedConfId, "c1");  // NULL named id reads as the conference id
  EXPECT_EQ(rows[2].confName, "");
  EXPECT_EQ(rows[2].startTime, static_cast<uint64_t>(kT0));
  EXPECT_EQ(rows[2].direction, lc::outgoing);
  EXPECT_FALSE(rows[2].readDone);

  // Rows created as a received request or as a join to the user's own conference are the
  // user's own conferences for their whole life.
  clock_.Advance(1);
  db.SaveCall(lc::reqInviteReceived, lc::incoming, 5, "g@x", "", "", "");
  clock_.Advance(1);
  db.JoinToMyConf(lc::outgoing, 5, kMe, "c5", "Mine");
  db.FinishCall("g@x");
  db.FinishCall("c5");
  ASSERT_TRUE(db.GetList(list, lc::all, 2));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list.front().myConference);
  EXPECT_EQ(list.front().state, lc::finished);
  EXPECT_TRUE(list.back().myConference);
  EXPECT_EQ(list.back().direction, lc::missed);
  EXPECT_EQ(Tool("SELECT count(*) FROM lastCalls;"), "5\n");

  // A row of the user's own conference from a peer other than the file's writes nothing.
  db.JoinToMyConf(lc::outgoing, 5, "someone@x", "c4", "X");
  EXPECT_EQ(Tool("SELECT count(*) FROM lastCalls;"), "5\n");
}

TEST_F(LastCallsDbTest, ListsCountsAndReadMarking) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  for (int i = 0; i < 4; ++i) {
    clock_.Advance(1);
    db.SaveCall(lc::inviteReceived, lc::incoming, 0, i % 2 ? "a@x" : "b@x", "c", "", "");
  }
  clock_.Advance(1);
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "a@x", "d", "", "");
  db.SetReadDone(HX_LastCallsDB::kNoRow);
  EXPECT_EQ(Tool("SELECT sum(ReadDone) FROM lastCalls;"), "0\n");
  db.SetReadDone(1);
  db.SetReadDone(std::string("A@X"));  // rows 2, 4, 5
  EXPECT_EQ(Tool("SELECT group_concat(ReadDone) FROM lastCalls;"), "1,1,0,1,1\n");

  struct Case {
    lc::requestType type;
    uint32_t count;
    bool ok;
    std::vector<uint64_t> rows;
  };
  const std::vector<Case> cases = {
      {lc::all, 10, true, {5, 4, 3, 2, 1}},
      {lc::all, 2, true, {5, 4}},
      {lc::all, 0, true, {}},
      {lc::read, 10, true, {5, 4, 2, 1}},
      {lc::unread, 10, true, {3}},
      {static_cast<lc::requestType>(3), 10, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " count " << c.count);
    std::list<lc::call> list(
        1, lc::call(9, lc::missed, 0, "stale", false, 0, 0, 0, "", "", "", lc::finished, false));
    EXPECT_EQ(db.GetList(list, c.type, c.count), c.ok);
    std::vector<uint64_t> ids;
    for (const auto& call : list) ids.push_back(call.rowId);
    EXPECT_EQ(ids, c.rows);
  }

  std::map<std::string, int> counts{{"stale", 1}};
  EXPECT_TRUE(db.GetCount(counts, lc::all, lc::incoming));
  EXPECT_EQ(counts, (std::map<std::string, int>{{"a@x", 2}, {"b@x", 2}}));
  EXPECT_TRUE(db.GetCount(counts, lc::unread, lc::incoming));
  EXPECT_EQ(counts, (std::map<std::string, int>{{"b@x", 1}}));
  EXPECT_TRUE(db.GetCount(counts, lc::read, lc::outgoing));
  EXPECT_EQ(counts, (std::map<std::string, int>{{"a@x", 1}}));
  EXPECT_FALSE(db.GetCount(counts, static_cast<lc::requestType>(3), lc::incoming));
  EXPECT_TRUE(counts.empty());

  db.SetReadDoneAll();
  EXPECT_EQ(Tool("SELECT min(ReadDone) FROM lastCalls;"), "1\n");
  db.Clear();
  EXPECT_EQ(Tool("SELECT count(*) FROM lastCalls;"), "0\n");
}

TEST_F(LastCallsDbTest, HostileRowsAnswerFalseWithTheRowsBeforeKept) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  for (int i = 0; i < 3; ++i) {
    clock_.Advance(10);
    db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", "c", "", "");
  }
  struct Case {
    const char* name;
    std::string damage;  // on row 2, the middle one by StartTime
  };
  const std::vector<Case> cases = {
      {"NULL ConfId", "UPDATE lastCalls SET ConfId=NULL WHERE rowid=2;"},
      {"NULL ConfName", "UPDATE lastCalls SET ConfName=NULL WHERE rowid=2;"},
      {"text in ConfType", "UPDATE lastCalls SET ConfType='five' WHERE rowid=2;"},
      {"text in ReadDone", "UPDATE lastCalls SET ReadDone='yes' WHERE rowid=2;"},
      {"blob in Type", "UPDATE lastCalls SET Type=zeroblob(100000) WHERE rowid=2;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Tool("UPDATE lastCalls SET ConfId='c', ConfName='', ConfType=0, ReadDone=0, Type=1;" +
                   c.damage),
              "");
    std::list<lc::call> list;
    EXPECT_FALSE(db.GetList(list, lc::all, 10));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().rowId, 3u);
  }
}

TEST_F(LastCallsDbTest, NewerFileWithNullsInReadColumnsAnswersFalse) {
  // A file of a later version is used as it is, whatever its columns allow.
  ASSERT_EQ(Tool("CREATE TABLE lastCalls (Type INTEGER, ConfType INTEGER, Peer CHAR, ReadDone,"
                 " StartTime INTEGER, JoinTime INTEGER, EndTime INTEGER, ConfId CHAR,"
                 " NamedConfId CHAR, ConfName CHAR, InitialState INTEGER, State INTEGER);"
                 "INSERT INTO lastCalls VALUES (0,0,'a',0,5,NULL,5,'c',NULL,'',2,999);"
                 "INSERT INTO lastCalls VALUES (0,0,NULL,0,4,NULL,4,'c',NULL,'',2,999);"
                 "INSERT INTO lastCalls VALUES (0,0,'b',0,NULL,NULL,3,'c',NULL,'',2,999);"
                 "PRAGMA user_version=20;"),
            "");
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  std::list<lc::call> list;
  EXPECT_FALSE(db.GetList(list, lc::all, 10));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.front().peer, "a");
  std::map<std::string, int> counts;
  EXPECT_FALSE(db.GetCount(counts, lc::all, lc::incoming));
  EXPECT_EQ(Tool("PRAGMA user_version;"), "20\n");
}

TEST_F(LastCallsDbTest, OpeningClosesUnfinishedRows) {
  {
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    db.SaveCall(lc::inviteReceived, lc::incoming, 0, "a@x", "c1", "", "");
    db.SaveCall(lc::namedJoinSent, lc::outgoing, 5, "", "", "room", "");
    clock_.Advance(40);
    db.JoinToCall(lc::acceptSent, "c1", "a@x");
    // Reopening for the same peer leaves the file and its rows alone.
    EXPECT_TRUE(Open(db));
    EXPECT_EQ(Tool("SELECT group_concat(State) FROM lastCalls;"), "7,9\n");
  }
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  EXPECT_EQ(Tool("SELECT Type, StartTime, JoinTime, EndTime, State FROM lastCalls ORDER BY rowid;"),
            "0|1700000000|1700000040|1700000040|999\n"
            "1|1700000000|NULL|1700000000|999\n");
}

TEST_F(LastCallsDbTest, OpenFailuresLeaveTheObjectClosed) {
  HX_LastCallsDB db;
  EXPECT_FALSE(db.OpenDatabase(nullptr, Dir().c_str()));
  EXPECT_FALSE(db.OpenDatabase("", Dir().c_str()));
  EXPECT_FALSE(db.IsOpen());
  ASSERT_TRUE(Open(db));
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p", "c", "", "");
  // A "directory" that is a regular file: the file can be neither opened nor created, and no
  // exception leaves the open (the creation is retried for the busy time-out first).
  const std::string file_dir = temp_.File("plain");
  hx::storage_testing::WriteFile(file_dir, "x");
  EXPECT_FALSE(db.OpenDatabase("other@x", (file_dir + "/").c_str()));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.PeerId(), kMe);  // kept, as the open failed
  std::list<lc::call> list;
  EXPECT_FALSE(db.GetList(list, lc::all, 10));
  EXPECT_EQ(db.CheckActiveReqInvite("p"), HX_LastCallsDB::kNoRow);
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p", "c", "", "");  // nothing to write into
  // The kept peer id does not make the closed file count as open: opening it again opens it.
  EXPECT_TRUE(Open(db));
  EXPECT_TRUE(db.IsOpen());
  EXPECT_TRUE(db.GetList(list, lc::all, 10));
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(LastCallsDbTest, HostThreadReadsWhileAnotherRecords) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread host([&] {
    while (!done.load()) {
      std::list<lc::call> list;
      std::map<std::string, int> counts;
      if (!db.GetList(list, lc::unread, 50)) failures.fetch_add(1);
      if (!db.GetCount(counts, lc::all, lc::missed)) failures.fetch_add(1);
      if (!list.empty()) db.SetReadDone(list.front());
      db.SetReadDone(std::string("p1@x"));
    }
  });
  for (int i = 0; i < 200; ++i) {
    const std::string peer = "p" + std::to_string(i % 3) + "@x";
    const std::string conf = "c" + std::to_string(i);
    db.SaveCall(lc::inviteReceived, lc::incoming, 0, peer.c_str(), conf.c_str(), "", "");
    if (i % 2) db.JoinToCall(lc::acceptSent, conf.c_str(), peer.c_str());
    db.FinishCall(conf.c_str());
  }
  done = true;
  host.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Tool("SELECT count(*), sum(State=999), sum(Type=2) FROM lastCalls;"), "200|200|100\n");
}

}  // namespace
