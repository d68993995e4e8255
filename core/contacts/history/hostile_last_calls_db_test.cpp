// The call history database against files that someone else wrote or damaged (made with the
// sqlite3 tool or from raw bytes): NULLs and foreign types in every column the list reads, times
// that run backwards, huge texts, row ids at the ends of 64 bits, wrong and future versions,
// objects of the wrong kind under the table's name, files that are not databases, cut or empty,
// unwritable folders and files, two processes on one file, and calls with null and extreme
// arguments, before the open. Operations that might hang or crash run in a child process with a
// time limit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "core/base/wall_clock.h"
#include "core/contacts/history/last_calls_db.h"
#include "core/contacts/hostile_db_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::hostile_testing::kMe;
using hx::hostile_testing::RunInChild;
namespace lc = hx::lastCalls;

constexpr int64_t kT0 = 1700000000;

// The table as another program might have made it at version 14: the real columns without
// their constraints.
constexpr const char* kLooseSchema =
    "CREATE TABLE lastCalls (Type, ConfType, Peer COLLATE NOCASE, ReadDone, StartTime, "
    "JoinTime, EndTime, ConfId COLLATE NOCASE, NamedConfId COLLATE NOCASE, ConfName, "
    "InitialState, State);"
    "PRAGMA user_version = 14;";
// A good finished row, newer than every hostile row below.
constexpr const char* kGoodRow =
    "INSERT INTO lastCalls VALUES (1, 0, 'good@x', 0, 2000, 2010, 2030, 'c', NULL, 'n', 1, 999);";

class HostileLastCallsDbTest : public hx::hostile_testing::HostileDbTest {
 protected:
  HostileLastCallsDbTest() : HostileDbTest(".lastcalls.sqlite") {}
  bool Open(HX_LastCallsDB& db) { return db.OpenDatabase(kMe, Dir().c_str()); }
  void MakeGoodFile() override {
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    db.SaveCall(lc::inviteSent, lc::outgoing, 0, "good@x", "c", "", "n");
    db.FinishCall("c");
  }
  // A call round trip works.
  void ExpectUsable() override {
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    db.SaveCall(lc::inviteReceived, lc::incoming, 0, "after@x", "ac", "", "an");
    std::list<lc::call> calls;
    ASSERT_TRUE(db.GetList(calls, lc::all, 100));
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(),
                            [](const lc::call& call) { return call.peer == "after@x"; }));
    EXPECT_EQ(Tool("PRAGMA user_version;"), "14\n");
  }

  // The odd things of the base fixture, with a good row of this database as the known row.
  void TryOddFiles(int cases) {
    HostileDbTest::TryOddFiles(
        cases,
        [](const std::string& folder) {
          HX_LastCallsDB db;
          ASSERT_TRUE(db.OpenDatabase(kMe, folder.c_str()));
          db.SaveCall(lc::inviteSent, lc::outgoing, 0, "good@x", "c", "", "n");
        },
        [](const std::string& folder) {
          HX_LastCallsDB db;
          if (db.OpenDatabase(kMe, folder.c_str())) {
            db.SaveCall(lc::inviteSent, lc::outgoing, 0, "w@x", "w", "", "n");
            std::list<lc::call> calls;
            db.GetList(calls, lc::all, 10);
          }
          return 0;
        },
        "SELECT Peer FROM lastCalls WHERE Peer='good@x';", "good@x\n");
  }

  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
};

// Every operation before the open: the failure answers (false, all ones, empty text), nothing
// written, no crash. On the open file, null texts count as empty and a null or empty id
// finishes nothing.
TEST_F(HostileLastCallsDbTest, OperationsBeforeOpenAndWithNullTexts) {
  MakeGoodFile();
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild([&] {
    HX_LastCallsDB db;
    std::list<lc::call> calls;
    std::map<std::string, int> counts;
    const auto closedAnswers = [&] {
      int wrong = 0;
      db.SaveCall(lc::inviteSent, lc::outgoing, 0, "x@x", "c", "n", "m");
      db.JoinToCall(lc::acceptSent, "c", "x@x");
      db.FinishCall("c");
      db.JoinToConf("n", "c", "m");
      db.UpdateMyConf("n", "c", "m", "o");
      db.JoinToMyConf(lc::outgoing, 0, "", "c", "m");
      db.RejectIncomingReqinvite("x@x", "c");
      db.UpdateReqInvite(1, lc::inviteToMultiSent, "c", "m");
      db.UpdateInviteToMulti(1, lc::namedJoinSent);
      db.SetReadDone(1);
      db.SetReadDone(std::string("x@x"));
      db.SetReadDoneAll();
      db.Clear();
      wrong += db.CheckActiveReqInvite("x@x") != HX_LastCallsDB::kNoRow;
      wrong += db.CheckActiveInviteToMulti("c") != HX_LastCallsDB::kNoRow;
      wrong += !db.CheckActiveNamedJoinSent().empty();
      wrong += db.GetList(calls, lc::all, 10);
      wrong += db.GetCount(counts, lc::all, lc::outgoing);
      wrong += !db.PeerId().empty();
      return wrong;
    };
    if (closedAnswers() != 0) return 10;
    if (db.OpenDatabase(nullptr, dir.c_str()) || db.OpenDatabase("", dir.c_str())) return 11;
    if (!db.OpenDatabase(kMe, dir.c_str())) return 12;
    db.SaveCall(lc::inviteReceived, lc::incoming, 0, nullptr, nullptr, nullptr, nullptr);
    db.JoinToCall(lc::acceptSent, nullptr, nullptr);
    db.RejectIncomingReqinvite(nullptr, nullptr);
    db.FinishCall(nullptr);
    db.FinishCall("");
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT Peer, State, ConfId, quote(NamedConfId) FROM lastCalls ORDER BY rowid;"),
            "good@x|999|c|NULL\n|7||NULL\n");
}

// Rows that someone else wrote, older than a good row: NULLs and foreign types in every column
// the list reads make GetList answer false with the good row (read before) kept in the list;
// the counts and lookups answer without a crash.
TEST_F(HostileLastCallsDbTest, HostileRowsFailTheListAfterTheGoodRows) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"NULL Type", "NULL, 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', 1, 999"},
      {"NULL ConfType", "1, NULL, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', 1, 999"},
      {"NULL Peer", "1, 0, NULL, 0, 1000, NULL, 1000, 'd', NULL, 'n', 1, 999"},
      {"NULL ReadDone", "1, 0, 'b@x', NULL, 1000, NULL, 1000, 'd', NULL, 'n', 1, 999"},
      {"NULL EndTime", "1, 0, 'b@x', 0, 1000, NULL, NULL, 'd', NULL, 'n', 1, 999"},
      {"NULL ConfId", "1, 0, 'b@x', 0, 1000, NULL, 1000, NULL, NULL, 'n', 1, 999"},
      {"NULL ConfName", "1, 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, NULL, 1, 999"},
      {"NULL State", "1, 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', 1, NULL"},
      {"NULL InitialState", "1, 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', NULL, 999"},
      {"text Type", "'out', 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', 1, 999"},
      {"text InitialState", "1, 0, 'b@x', 0, 1000, NULL, 1000, 'd', NULL, 'n', 'three', 999"},
      {"text EndTime", "1, 0, 'b@x', 0, 1000, NULL, 'late', 'd', NULL, 'n', 1, 999"},
  };
  for (const auto& [what, values] : cases) {
    SCOPED_TRACE(what);
    RemoveFile();
    Tool(std::string(kLooseSchema) + kGoodRow + "INSERT INTO lastCalls VALUES (" + values + ");");
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    std::list<lc::call> calls;
    EXPECT_FALSE(db.GetList(calls, lc::all, 100));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls.front().peer, "good@x");
    EXPECT_EQ(calls.front().duration, 20u);
    std::map<std::string, int> counts;
    if (db.GetCount(counts, lc::all, lc::outgoing)) {
      EXPECT_EQ(counts.count(""), 0u) << "a NULL peer counted as the empty peer";
      EXPECT_EQ(counts["good@x"], 1);
    }
    db.CheckActiveReqInvite("b@x");
    db.CheckActiveInviteToMulti("d");
    db.CheckActiveNamedJoinSent();
  }
}

// Times before 1970 in a file (negative seconds) are refused or reported as they are; they never
// come back as huge unsigned times or durations.
TEST_F(HostileLastCallsDbTest, NegativeTimesNeverWrapToHugeValues) {
  Tool(std::string(kLooseSchema) + kGoodRow +
       "INSERT INTO lastCalls VALUES (1, 0, 'b@x', 0, -1000, -995, -990, 'd', NULL, 'n', 1, 999);");
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  std::list<lc::call> calls;
  if (!db.GetList(calls, lc::all, 100)) return;  // refused: an answer too
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_LT(calls.back().startTime, uint64_t{1} << 63);
  EXPECT_LT(calls.back().endTime, uint64_t{1} << 63);
  EXPECT_EQ(calls.back().duration, 5u);
}

// Values that are odd but of the right kind read back as stored: a Type and states outside the
// enums, a ConfType at the ends of 32 bits, a blob peer, ReadDone other than 0 and 1.
TEST_F(HostileLastCallsDbTest, OddButWellTypedValuesReadBack) {
  Tool(std::string(kLooseSchema) + kGoodRow +
       "INSERT INTO lastCalls VALUES (7, -2147483648, 'odd@x', 5, 1000, NULL, 1000, 'd', NULL, "
       "'n', 42, 4242);"
       "INSERT INTO lastCalls VALUES (1, 2147483647, x'6240', -1, 900, 950, 990, 'e', 'nm', "
       "'n', 3, 999);");
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  std::list<lc::call> calls;
  ASSERT_TRUE(db.GetList(calls, lc::all, 100));
  ASSERT_EQ(calls.size(), 3u);
  auto it = std::next(calls.begin());
  EXPECT_EQ(static_cast<int>(it->direction), 7);
  EXPECT_EQ(it->confType, INT32_MIN);
  EXPECT_TRUE(it->readDone);
  EXPECT_EQ(it->state, lc::finished);  // closed by the open
  EXPECT_FALSE(it->myConference);
  ++it;
  EXPECT_EQ(it->peer, "b@");
  EXPECT_EQ(it->confType, INT32_MAX);
  EXPECT_EQ(it->duration, 40u);
  EXPECT_EQ(it->namedConfId, "nm");
  EXPECT_TRUE(it->myConference);
}

// The wall clock steps back between the join and the end of a call (a time correction): the
// history stays listable, the row is there, and no duration wraps to a huge number.
TEST_F(HostileLastCallsDbTest, ClockSteppingBackDuringACallKeepsTheListReadable) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "early@x", "c0", "", "n");
  db.FinishCall("c0");
  clock_.Advance(100);
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", "c1", "", "n");
  clock_.Advance(10);
  db.JoinToCall(lc::acceptReceived, "c1", "p@x");
  clock_.Advance(-60);
  db.FinishCall("c1");
  std::list<lc::call> calls;
  EXPECT_TRUE(db.GetList(calls, lc::all, 100));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls.front().peer, "p@x");
  EXPECT_LT(calls.front().duration, 3600u);
}

// Counts and limits at their ends: all ones as the count lists every row, unknown request types
// answer false with nothing, unknown directions count nothing, read marking of row ids that name
// no row (all ones, the top bit set) changes nothing.
TEST_F(HostileLastCallsDbTest, ExtremeCountsTypesAndRowIds) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  for (int i = 0; i < 5; ++i) {
    clock_.Advance(1);
    db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", ("c" + std::to_string(i)).c_str(), "", "n");
  }
  std::list<lc::call> calls;
  ASSERT_TRUE(db.GetList(calls, lc::all, UINT32_MAX));
  EXPECT_EQ(calls.size(), 5u);
  ASSERT_TRUE(db.GetList(calls, lc::unread, 0x80000000u));
  EXPECT_EQ(calls.size(), 5u);
  const lc::call stale = calls.front();
  for (int type : {3, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(type);
    calls.assign(1, stale);
    EXPECT_FALSE(db.GetList(calls, static_cast<lc::requestType>(type), 10));
    EXPECT_TRUE(calls.empty());
    std::map<std::string, int> counts{{"stale", 1}};
    EXPECT_FALSE(db.GetCount(counts, static_cast<lc::requestType>(type), lc::outgoing));
    EXPECT_TRUE(counts.empty());
  }
  std::map<std::string, int> counts;
  EXPECT_TRUE(db.GetCount(counts, lc::all, static_cast<lc::direction>(INT32_MIN)));
  EXPECT_TRUE(counts.empty());
  for (uint64_t row : {HX_LastCallsDB::kNoRow, uint64_t{1} << 63, uint64_t{0}, uint64_t{1} << 40}) {
    db.SetReadDone(row);
    db.UpdateInviteToMulti(row, lc::joined);
    db.UpdateReqInvite(row, lc::joined, "x", "y");
  }
  EXPECT_EQ(Tool("SELECT count(*) FROM lastCalls WHERE ReadDone != 0 OR State = 10;"), "0\n");
}

// Huge and quoted texts round trip through a row; join names made only of at signs match
// nothing they should not.
TEST_F(HostileLastCallsDbTest, HugeAndQuotedTextsRoundTrip) {
  HX_LastCallsDB db;
  ASSERT_TRUE(Open(db));
  const std::string huge = hx::hostile_testing::Filler(1 << 20);
  const std::string quoted = "q'\"; DROP TABLE lastCalls; --";
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, huge.c_str(), quoted.c_str(), huge.c_str(),
              quoted.c_str());
  db.SaveCall(lc::namedJoinSent, lc::outgoing, 0, "", "", "room", "");
  for (const char* named : {"", "@", "@@", "@room", "room@"}) db.JoinToConf(named, "", "x");
  std::list<lc::call> calls;
  ASSERT_TRUE(db.GetList(calls, lc::all, 10));
  ASSERT_EQ(calls.size(), 2u);
  const lc::call& big = calls.back().peer.size() > 1000 ? calls.back() : calls.front();
  EXPECT_EQ(big.peer, huge);
  EXPECT_EQ(big.confId, quoted);
  EXPECT_EQ(big.namedConfId, huge);
  EXPECT_EQ(big.confName, quoted);
  EXPECT_EQ(db.CheckActiveReqInvite(huge), HX_LastCallsDB::kNoRow);
  // "room@" has the prefix "room": it joins the pending row; nothing else did before it.
  EXPECT_EQ(Tool("SELECT State, NamedConfId FROM lastCalls WHERE Peer='';"), "10|room@\n");
}

// Files that are no usable database are replaced and work afterwards.
TEST_F(HostileLastCallsDbTest, FilesThatAreNotDatabasesOrAreCutAreReplaced) {
  ExpectDamagedFilesReplaced(hx::hostile_testing::FileDamages("history", 60));
}

// Versions and schemas another program might have left. Future versions are used unchanged,
// also when the table they hold lacks columns (the operations answer, nothing crashes); a file
// whose upgrade cannot run is replaced and works.
TEST_F(HostileLastCallsDbTest, ForeignVersionsAndSchemas) {
  for (int version : {15, 99, 2147483647}) {
    SCOPED_TRACE(version);
    MakeGoodFileOfVersion(version);
    HX_LastCallsDB db;
    ASSERT_TRUE(Open(db));
    std::list<lc::call> calls;
    EXPECT_TRUE(db.GetList(calls, lc::all, 10));
    EXPECT_EQ(calls.size(), 1u);
  }
  const std::vector<std::string> replaced = {
      "PRAGMA user_version = 0;",                                  // no table at all
      "CREATE TABLE other (x); PRAGMA user_version = 11;",         // no table at all
      "CREATE TABLE lastCalls (Type); PRAGMA user_version = 12;",  // step 13 works, 14 works
      "CREATE VIEW lastCalls AS SELECT 1 AS Type; PRAGMA user_version = 11;",
      "CREATE TABLE t (x); CREATE INDEX lastCalls ON t (x); PRAGMA user_version = 0;",
  };
  for (const std::string& schema : replaced) {
    SCOPED_TRACE(schema);
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunOnFileMadeOf(schema, [&] {
      HX_LastCallsDB db;
      if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
      db.SaveCall(lc::inviteSent, lc::outgoing, 0, "after@x", "ac", "", "an");
      std::list<lc::call> calls;
      db.GetList(calls, lc::all, 10);
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
  const std::vector<std::string> futureBroken = {
      "CREATE TABLE lastCalls (Type); INSERT INTO lastCalls VALUES (1); PRAGMA user_version = 15;",
      "CREATE TABLE t (x); CREATE VIEW lastCalls AS SELECT x AS Type FROM t; "
      "PRAGMA user_version = 15;",
  };
  for (const std::string& schema : futureBroken) {
    SCOPED_TRACE(schema);
    const std::string dir = Dir();
    const hx::hostile_testing::ChildEnd end = RunOnFileMadeOf(schema, [&] {
      HX_LastCallsDB db;
      if (!db.OpenDatabase(kMe, dir.c_str())) return 0;
      db.SaveCall(lc::inviteSent, lc::outgoing, 0, "x@x", "c", "n", "m");
      db.FinishCall("c");
      std::list<lc::call> calls;
      if (db.GetList(calls, lc::all, 10)) return 3;  // the columns are missing
      if (db.CheckActiveReqInvite("x@x") != HX_LastCallsDB::kNoRow) return 4;
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
}

// The folder is a file: false, nothing thrown, the peer stays unset.
TEST_F(HostileLastCallsDbTest, FolderThatIsAFileIsRefused) {
  const std::string notDir = Dir() + "plain";
  hx::storage_testing::WriteFile(notDir, "x");
  HX_LastCallsDB db;
  EXPECT_FALSE(db.OpenDatabase(kMe, (notDir + "/").c_str()));
  EXPECT_TRUE(db.PeerId().empty());
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(hx::storage_testing::ReadFile(notDir), "x");
}

// A user who may not write: the read-only file in a read-only folder is neither deleted nor
// emptied; nothing crashes.
TEST_F(HostileLastCallsDbTest, ReadOnlyFolderAndFileLoseNothing) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunAsNobodyOnReadOnlyFile([&] {
    HX_LastCallsDB other;
    if (other.OpenDatabase("other@x", dir.c_str())) return 1;
    HX_LastCallsDB db;
    if (db.OpenDatabase(kMe, dir.c_str())) {
      db.Clear();
      db.SaveCall(lc::inviteSent, lc::outgoing, 0, "ro@x", "c", "", "n");
    }
    return 0;
  });
  EXPECT_TRUE(end.Clean()) << end.Describe();
  EXPECT_EQ(Tool("SELECT Peer FROM lastCalls;"), "good@x\n");
}

// Two processes recording calls into one file at once: every row of both is kept, neither hangs
// past its limit.
TEST_F(HostileLastCallsDbTest, TwoProcessesWritingOneFileKeepEveryRow) {
  MakeGoodFile();
  constexpr int kEach = 40;
  const std::string dir = Dir();
  const auto writer = [dir](int process) {
    return [dir, process] {
      HX_LastCallsDB db;
      if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
      for (int i = 0; i < kEach; ++i) {
        const std::string conf = "c" + std::to_string(process) + "-" + std::to_string(i);
        db.SaveCall(lc::inviteSent, lc::outgoing, 0, "p@x", conf.c_str(), "", "n");
        db.FinishCall(conf.c_str());
      }
      return 0;
    };
  };
  ASSERT_NO_FATAL_FAILURE(hx::hostile_testing::RunInTwoProcesses(writer(0), writer(1)));
  EXPECT_EQ(Tool("SELECT count(*), sum(State = 999) FROM lastCalls;"),
            std::to_string(2 * kEach + 1) + "|" + std::to_string(2 * kEach + 1) + "\n");
}

// Ids with path parts ("..", separators) never make, move or delete a file outside the folder,
// also where a file of an older naming scheme would sit outside it.
TEST_F(HostileLastCallsDbTest, PeerIdsWithPathPartsStayInsideTheFolder) {
  ExpectPathPartsStayInside([](const char* peer, const std::string& dir) {
    HX_LastCallsDB db;
    if (db.OpenDatabase(peer, dir.c_str())) {
      db.SaveCall(lc::inviteSent, lc::outgoing, 0, "owner", "c", "", "X");
    }
  });
}

// Users whose ids differ only after a dot or in letter case get files of their own: one never
// reads another's data.
TEST_F(HostileLastCallsDbTest, PeerIdsThatLookAlikeGetFilesOfTheirOwn) {
  ExpectLookAlikeUsersApart(
      [](const char* peer, const std::string& dir) {
        HX_LastCallsDB db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str())) << peer;
        db.SaveCall(lc::inviteSent, lc::outgoing, 0, "owner", "c", "", peer);
      },
      [](const char* peer, const std::string& dir) {
        HX_LastCallsDB db;
        ASSERT_TRUE(db.OpenDatabase(peer, dir.c_str()));
        std::list<lc::call> calls;
        ASSERT_TRUE(db.GetList(calls, lc::all, 10));
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls.front().confName, peer);
      });
}

// Threads using one history while another switches it between two users' files: no crash, no
// sanitizer finding, no hang.
TEST_F(HostileLastCallsDbTest, ThreadsWhileTheFileIsSwitched) {
  const std::string dir = Dir();
  const hx::hostile_testing::ChildEnd end = RunInChild(
      [dir] {
        HX_LastCallsDB db;
        if (!db.OpenDatabase(kMe, dir.c_str())) return 2;
        hx::hostile_testing::UseWhileSwitching(
            [&](int i) {
              db.OpenDatabase(i % 2 ? "other@x" : kMe, dir.c_str());
              if (i % 7 == 0) db.Close();
            },
            [&](int i) {
              const std::string conf = "c" + std::to_string(i % 10);
              db.SaveCall(lc::reqInviteReceived, lc::incoming, 0, "p@x", "", "", "n");
              const uint64_t row = db.CheckActiveReqInvite("p@x");
              if (row != HX_LastCallsDB::kNoRow)
                db.UpdateReqInvite(row, lc::inviteToMultiReceived, conf, "n");
              db.JoinToCall(lc::acceptSent, conf.c_str(), "p@x");
              db.JoinToMyConf(lc::outgoing, 0, db.PeerId(), conf, "n");
              db.FinishCall(conf.c_str());
              if (i % 20 == 0) db.Clear();
            },
            [&](int) {
              std::list<lc::call> calls;
              db.GetList(calls, lc::all, 50);
              std::map<std::string, int> counts;
              db.GetCount(counts, lc::unread, lc::incoming);
              db.CheckActiveNamedJoinSent();
              db.PeerId();
              if (!calls.empty()) db.SetReadDone(calls.front());
            });
        return 0;
      },
      90);
  EXPECT_TRUE(end.Clean()) << end.Describe();
}

// Odd things where the database file should be: a folder, a folder or junk where the write-ahead
// log goes, a link to a document outside the folder. The open answers in time without a crash,
// nothing outside the folder is written, and a good file keeps its row.
TEST_F(HostileLastCallsDbTest, OddFilesWhereTheDatabaseShouldBe) {
  TryOddFiles(hx::hostile_testing::kEveryOddFileButTheFifo);
}

// A FIFO where the database file should be: the open must answer in time.
TEST_F(HostileLastCallsDbTest, AFifoWhereTheDatabaseShouldBeIsAnsweredInTime) {
  TryOddFiles(hx::hostile_testing::kFifo);
}

// Close, then open the same user again, and switch to another user and back: each open that
// answers true leaves the database open and writing.
TEST_F(HostileLastCallsDbTest, ReopeningAfterCloseAndSwitchingBackWorks) {
  HX_LastCallsDB db;
  ASSERT_NO_FATAL_FAILURE(ExpectReopenedAfterCloseAndSwitch(db, db));
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "r@x", "c", "", "n");
  EXPECT_EQ(Tool("SELECT Peer FROM lastCalls;"), "r@x\n");
}

// A failed open for another user (a folder sits where that user's file should be) and then the
// first user again: the open that answers true leaves the first user's database open and writing.
TEST_F(HostileLastCallsDbTest, OpeningTheFirstUserAgainAfterAFailedSwitchWorks) {
  HX_LastCallsDB db;
  ASSERT_NO_FATAL_FAILURE(ExpectFirstUserAgainAfterFailedSwitch(db, db));
  db.SaveCall(lc::inviteSent, lc::outgoing, 0, "r@x", "c", "", "n");
  EXPECT_EQ(Tool("SELECT Peer FROM lastCalls;"), "r@x\n");
}

}  // namespace
