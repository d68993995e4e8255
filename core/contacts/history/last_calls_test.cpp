// The call history recorder against real files in a temporary folder: conference events in the
// order a call produces them, at set times on a settable wall clock, each sequence ending with the
// rows the sqlite3 tool reads back and the number of change notices a subscriber saw; opening and
// reopening; log lines and null texts; the conference-type question asked with the database lock
// free; and a host thread listing and marking rows while events are recorded on two other
// threads. The database operations themselves (schema, upgrades, queries, hostile files) are
// tested in last_calls_db_test.cpp and hostile_last_calls_db_test.cpp.

#include "core/contacts/history/last_calls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
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

// A subscriber of the change notice, as the host's journal is: it counts the notices and, like a
// journal reloading itself, lists the rows from within the notice.
class Journal {
 public:
  explicit Journal(HX_LastCalls& history) : m_history(history) {
    m_history.lastCallsChanged.Connect(this, &Journal::Changed);
  }
  ~Journal() { m_history.lastCallsChanged.Disconnect(this, &Journal::Changed); }
  int notices() const { return m_notices.load(); }
  int failedReloads() const { return m_failedReloads.load(); }

 private:
  void Changed() {
    m_notices.fetch_add(1);
    std::list<lc::call> rows;
    // Before the first open there is nothing to list: only an open file must list.
    if (!m_history.GetList(rows, lc::all, 20) && m_history.IsOpen()) m_failedReloads.fetch_add(1);
  }

  HX_LastCalls& m_history;
  std::atomic<int> m_notices{0};
  std::atomic<int> m_failedReloads{0};
};

// Answers the recorder's conference-type question as the client object does. The client's
// answer takes the conference store's lock, and some events reach the recorder with that lock
// held: the question must come while the recorder holds no database lock. With `probe` set, each
// answer checks from another thread whether the database lock is free.
class TypeSource {
 public:
  TypeSource(HX_LastCalls& history, bool probe) : m_history(history), m_probe(probe) {
    m_history.confTypeRequest.Connect(this, &TypeSource::Answer);
  }
  std::atomic<HX_Conference_Type> type{5};
  std::atomic<int> asked{0};
  std::atomic<int> askedUnderLock{0};

 private:
  void Answer(HX_Conference_Type& out) {
    asked.fetch_add(1);
    if (m_probe) {
      std::thread other([this] {
        if (!m_history.TryLock()) {
          askedUnderLock.fetch_add(1);
          return;
        }
        m_history.Unlock();
      });
      other.join();
    }
    out = type.load();
  }

  HX_LastCalls& m_history;
  const bool m_probe;
};

class LastCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File(const std::string& peer = kMe) const {
    return Dir() + UpperMd5(peer) + ".lastcalls.sqlite";
  }
  bool Open(HX_LastCalls& history, const char* peer = kMe) {
    return history.OpenDatabase(peer, Dir().c_str());
  }
  std::string Tool(const std::string& sql) { return Rows(sqlite3_, File(), sql); }
  void RemoveFile() {
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(File() + end);
  }

  hx::testing::TempDir temp_;
  hx::ManualWallClock clock_{kT0};
  hx::WallClockOverride clock_override_{clock_.Source()};
  std::string sqlite3_;
};

struct Step {
  int64_t at;  // seconds after kT0
  std::function<void(HX_LastCalls&)> event;
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
  std::string rows;  // the tool's rows at the end (rowid .. State)
  int notices;       // change notices after the open's own
};

TEST_F(LastCallsTest, EventSequencesLeaveTheExpectedRows) {
  const std::vector<Sequence> sequences = {
      {"incoming call answered",
       {{0, [](auto& h) { h.OnInviteReceived("c1", "p@x", "P"); }},
        {5, [](auto& h) { h.OnAcceptSent("p@x", "c1"); }},
        {65, [](auto& h) { h.OnConferenceDeleted("c1", 0); }}},
       "1|0|5|p@x|0|1700000000|1700000005|1700000065|c1|NULL||2|999\n",
       3},
      {"incoming call never answered: missed",
       {{0, [](auto& h) { h.OnInviteReceived("c1", "p@x", "P"); }},
        {30, [](auto& h) { h.OnConferenceDeleted("c1", 0); }}},
       "1|2|5|p@x|0|1700000000|NULL|1700000000|c1|NULL||2|999\n",
       2},
      {"outgoing call answered, deleted by the peer's call id",
       {{0, [](auto& h) { h.OnInviteSent("p@x", "c1"); }},
        {3, [](auto& h) { h.OnAcceptReceived("p@x", "P", "c1", ""); }},
        {10, [](auto& h) { h.OnConferenceDeleted("p@x", 0); }}},
       "1|1|5|p@x|0|1700000000|1700000003|1700000010|c1|NULL||1|999\n",
       3},
      {"outgoing call unanswered",
       {{0, [](auto& h) { h.OnInviteSent("p@x", "c1"); }},
        {20, [](auto& h) { h.OnConferenceDeleted("C1", 0); }}},
       "1|1|5|p@x|0|1700000000|NULL|1700000000|c1|NULL||1|999\n",
       2},
      {"request sent, invitation received, join; the answer matched by the conference id",
       {{0, [](auto& h) { h.OnReqInviteSent("host@x"); }},
        {2, [](auto& h) { h.OnInviteToMultiReceived("c9", "host@x", "Room"); }},
        {4, [](auto& h) { h.OnJoinSent("c9"); }},  // moves the invitation row: no notice
        {6, [](auto& h) { h.OnJoinReceived(nullptr, "c9", "Room 9", "host@x"); }},
        {50, [](auto& h) { h.OnConferenceDeleted("c9", 0); }}},
       "1|1|5|host@x|0|1700000000|1700000006|1700000050|c9||Room 9|5|999\n",
       4},
      {"request received, invitation sent; a join by name matched by the part before @",
       {{0, [](auto& h) { h.OnReqInviteReceived(kMe, "guest@x", "Guest"); }},
        {1, [](auto& h) { h.OnInviteToMultiSent("guest@x", "c7", "R"); }},
        {2, [](auto& h) { h.OnJoinSent("room"); }},
        {3, [](auto& h) { h.OnJoinReceived("room@srv", "c8", "R8", "other@x"); }}},
       "1|0|5|guest@x|0|1700000000|NULL|1700000000|c7|NULL|R|6|3\n"
       "2|1|5||0|1700000002|1700000003|1700000002|c8|room@srv|R8|9|10\n",
       4},
      {"join by name matched by the full name",
       {{0, [](auto& h) { h.OnJoinSent("room@srv"); }},
        {1, [](auto& h) { h.OnJoinReceived("room@srv", "c9", "N", "h@x"); }}},
       "1|1|5||0|1700000000|1700000001|1700000000|c9|room@srv|N|9|10\n",
       2},
      {"an answer without a named id completes the pending join by name",
       {{0, [](auto& h) { h.OnJoinSent("room"); }},
        {2, [](auto& h) { h.OnJoinReceived(nullptr, "c5", "R", "h@x"); }}},
       "1|1|5||0|1700000000|1700000002|1700000000|c5|room|R|9|10\n",
       2},
      {"invitation without an inviter, joined by its name",
       {{0, [](auto& h) { h.OnInviteToMultiReceived("named@srv", "", "T"); }},
        {1, [](auto& h) { h.OnJoinSent("named@srv"); }},
        {2, [](auto& h) { h.OnJoinReceived("named@srv", "c6", "T", "h@x"); }}},
       "1|0|5||0|1700000000|1700000002|1700000000|c6|named@srv|T|4|10\n",
       2},
      {"own conference with a pending join",
       {{0, [](auto& h) { h.OnJoinSent("mine"); }},
        {4, [](auto& h) { h.OnJoinReceived("mine", "c3", "Mine", kMe); }}},
       "1|1|5|me@example.org|0|1700000000|1700000004|1700000000|c3|mine|Mine|9|10\n",
       2},
      {"own conference without a pending join",
       {{7, [](auto& h) { h.OnJoinReceived("c3", "c3", "Mine", kMe); }},
        {9, [](auto& h) { h.OnConferenceDeleted("c3", 0); }}},
       "1|1|5|me@example.org|0|1700000007|1700000007|1700000009|c3|NULL|Mine|10|999\n",
       2},
      {"rejected request for an invitation: missed",
       {{0, [](auto& h) { h.OnReqInviteReceived(kMe, "g@x", "G"); }},
        {8, [](auto& h) { h.OnRejectSent("g@x", "c4", 16); }}},
       "1|2|5|g@x|0|1700000000|NULL|1700000000|c4|NULL||6|999\n",
       2},
      {"group invitations without a request before them",
       {{0, [](auto& h) { h.OnInviteToMultiSent("p@x", "c2", "Team"); }},
        {1, [](auto& h) { h.OnInviteToMultiReceived("c4", "h@x", "Club"); }},
        {9, [](auto& h) { h.OnConferenceDeleted("c2", 0); }},
        {9, [](auto& h) { h.OnConferenceDeleted("c4", 0); }}},
       "1|1|5|p@x|0|1700000000|NULL|1700000000|c2|NULL|Team|3|999\n"
       "2|2|5|h@x|0|1700000001|NULL|1700000001|c4|NULL|Club|4|999\n",
       4},
  };
  for (const Sequence& s : sequences) {
    SCOPED_TRACE(s.name);
    RemoveFile();
    clock_.Set(kT0);
    HX_LastCalls history;
    TypeSource types(history, true);
    ASSERT_TRUE(Open(history));
    Journal journal(history);
    for (const Step& step : s.steps) {
      clock_.Set(kT0 + step.at);
      step.event(history);
    }
    EXPECT_EQ(Tool(kAllRows), s.rows);
    EXPECT_EQ(journal.notices(), s.notices);
    EXPECT_GT(types.asked.load(), 0);
    EXPECT_EQ(types.askedUnderLock.load(), 0);
    EXPECT_EQ(journal.failedReloads(), 0);
  }
}

TEST_F(LastCallsTest, ListShowsDurationsNamedIdsAndOwnConferencesOfRecordedCalls) {
  HX_LastCalls history;
  ASSERT_TRUE(Open(history));
  history.OnReqInviteReceived(kMe, "guest@x", "Guest");  // 1: own conference for good
  history.OnInviteToMultiSent("guest@x", "c1", "Mine");
  clock_.Advance(1);
  history.OnJoinSent("room");  // 2: a join by name, not the user's conference
  history.OnJoinReceived("room@srv", "c2", "Room", "host@x");
  clock_.Advance(1);
  history.OnInviteSent("p@x", "c3");  // 3: answered after 2 s, lasted 40 s
  clock_.Advance(2);
  history.OnAcceptReceived("p@x", "P", "c3", "");
  clock_.Advance(40);
  history.OnConferenceDeleted("c3", 0);
  std::list<lc::call> list;
  ASSERT_TRUE(history.GetList(list, lc::all, 10));
  ASSERT_EQ(list.size(), 3u);
  const std::vector<lc::call> rows(list.begin(), list.end());
  EXPECT_EQ(rows[0].rowId, 3u);
  EXPECT_EQ(rows[0].duration, 40u);
  EXPECT_EQ(rows[0].namedConfId, "c3");  // no named id: the conference id
  EXPECT_FALSE(rows[0].myConference);
  EXPECT_EQ(rows[1].state, lc::joined);
  EXPECT_EQ(rows[1].duration, 0u);  // not finished
  EXPECT_EQ(rows[1].namedConfId, "room@srv");
  EXPECT_FALSE(rows[1].myConference);  // created as a join by name
  EXPECT_EQ(rows[2].state, lc::inviteToMultiSent);
  EXPECT_TRUE(rows[2].myConference);  // created as a received request
  EXPECT_EQ(rows[2].confName, "Mine");
}

TEST_F(LastCallsTest, OpeningClosesUnfinishedRowsAndAnnouncesIt) {
  {
    HX_LastCalls history;
    ASSERT_TRUE(Open(history));
    history.OnInviteReceived("c1", "a@x", "A");
    history.OnJoinSent("room");
    clock_.Advance(40);
    history.OnAcceptSent("a@x", "c1");
    // A second open for the same user changes nothing, and announces the journal again.
    Journal journal(history);
    EXPECT_TRUE(Open(history));
    EXPECT_EQ(journal.notices(), 1);
    EXPECT_EQ(Tool("SELECT group_concat(State) FROM lastCalls;"), "7,9\n");
  }
  HX_LastCalls history;
  Journal journal(history);
  ASSERT_TRUE(Open(history));
  EXPECT_EQ(journal.notices(), 1);
  EXPECT_EQ(Tool("SELECT Type, StartTime, JoinTime, EndTime, State FROM lastCalls ORDER BY rowid;"),
            "0|1700000000|1700000040|1700000040|999\n"
            "1|1700000000|NULL|1700000000|999\n");
}

TEST_F(LastCallsTest, FailedOpensAnnounceNothing) {
  const std::string plain = temp_.File("plain");
  hx::storage_testing::WriteFile(plain, "x");
  HX_LastCalls history;
  Journal journal(history);
  EXPECT_FALSE(history.OpenDatabase(nullptr, Dir().c_str()));
  EXPECT_FALSE(history.OpenDatabase("", Dir().c_str()));
  // A "directory" that names a regular file: the file can be neither opened nor created.
  EXPECT_FALSE(history.OpenDatabase(kMe, (plain + "/").c_str()));
  EXPECT_EQ(journal.notices(), 0);
  EXPECT_FALSE(history.IsOpen());
  // Events before any open are announced all the same; nothing is written anywhere.
  history.OnInviteSent("p@x", "c1");
  EXPECT_EQ(journal.notices(), 1);
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(LastCallsTest, DeletionWithoutIdLeavesRowsOpenUntilTheNextOpen) {
  {
    HX_LastCalls history;
    ASSERT_TRUE(Open(history));
    history.OnJoinSent("named");
    history.OnReqInviteReceived(kMe, "g@x", "G");
    clock_.Advance(5);
    history.OnConferenceDeleted("", 0);
    history.OnConferenceDeleted(nullptr, 0);
    // The request was never offered to the user as a call: it must not turn missed.
    EXPECT_EQ(Tool("SELECT Type, State FROM lastCalls ORDER BY rowid;"), "1|9\n0|6\n");
  }
  HX_LastCalls history;
  ASSERT_TRUE(Open(history));
  EXPECT_EQ(Tool("SELECT Type, EndTime, State FROM lastCalls ORDER BY rowid;"),
            "1|1700000000|999\n0|1700000000|999\n");
}

TEST_F(LastCallsTest, LogLinesTypesAndNullTexts) {
  hx::testing::LogCapture log;
  {
    HX_LastCalls history;
    ASSERT_TRUE(Open(history));
    // Nothing connected to the type question: the rows get type 0.
    EXPECT_EQ(history.ConfType(), 0);
    history.OnReqInviteSent(nullptr);
    history.OnInviteSent(nullptr, nullptr);
    history.OnInviteToMultiReceived("c3", nullptr, nullptr);
    history.OnJoinReceived(nullptr, nullptr, nullptr, nullptr);
    history.OnRejectSent(nullptr, nullptr, 0);
    history.OnConferenceDeleted(nullptr, 0);
    EXPECT_EQ(Tool("SELECT Type, ConfType, quote(Peer), quote(ConfId), quote(NamedConfId), "
                   "quote(ConfName), State FROM lastCalls ORDER BY rowid;"),
              "1|0|''|''|NULL|''|5\n"
              "1|0|''|''|NULL|''|1\n"
              "0|0|''|''|'c3'|''|4\n");
  }
  const std::vector<std::string> expected = {
      "HX_LastCalls::HX_LastCalls",
      "HX_LastCalls::OpenDatabase " + std::string(kMe) + " " + Dir(),
      "HX_LastCalls::OnReqInviteSent ",
      "HX_LastCalls::OnInviteSent  ",
      "HX_LastCalls::OnInviteToMultiReceived c3  ",
      "HX_LastCalls::OnJoinReceived namedConferenceId = , conferenceId = , conferenceName = , "
      "owner = ",
      "HX_LastCalls::OnRejectSent peerId = , conferenceId = ",
      "HX_LastCalls::OnConferenceDeleted ",
      "HX_LastCalls::~HX_LastCalls",
  };
  std::vector<std::string> lines;
  for (const std::string& line : log.Lines()) {
    if (line.rfind("HX_LastCalls::", 0) == 0) lines.push_back(line);
  }
  EXPECT_EQ(lines, expected);
}

// The host lists the journal and marks rows read on its own thread while the loop thread and a
// user's command thread record events. Each loop-side step asks for an invitation after a request
// while the command thread deletes the requests: the lookup and the update that follows hold the
// database lock together, so a request is either finished before the invitation (which then gets
// a row of its own) or turned into the invitation and finished after; never finished and then
// reopened by the update.
TEST_F(LastCallsTest, HostThreadReadsAndMarksWhileTwoThreadsRecord) {
  HX_LastCalls history;
  TypeSource types(history, false);
  ASSERT_TRUE(Open(history));
  Journal journal(history);
  constexpr int kPeers = 150;
  std::atomic<int> requested{0};
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};

  std::thread host([&] {
    while (!done.load()) {
      std::list<lc::call> list;
      std::map<std::string, int> counts;
      if (!history.GetList(list, lc::unread, 30)) failures.fetch_add(1);
      if (!history.GetCount(counts, lc::all, lc::outgoing)) failures.fetch_add(1);
      if (!list.empty()) history.SetReadDone(list.front());
      history.SetReadDone(std::string("p7@x"));
      history.SetReadDone(HX_LastCallsDB::kNoRow);
    }
  });
  std::thread commands([&] {
    for (int i = 0; i < kPeers; ++i) {
      while (requested.load() <= i) std::this_thread::yield();
      history.OnConferenceDeleted(("p" + std::to_string(i) + "@x").c_str(), 0);
    }
  });
  for (int i = 0; i < kPeers; ++i) {
    const std::string peer = "p" + std::to_string(i) + "@x";
    const std::string conf = "c" + std::to_string(i);
    history.OnReqInviteSent(peer.c_str());
    requested.store(i + 1);
    history.OnInviteToMultiReceived(conf, peer.c_str(), "Room");
  }
  commands.join();
  done = true;
  host.join();
  history.SetReadDoneAll();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(journal.failedReloads(), 0);
  EXPECT_EQ(journal.notices(), 3 * kPeers);
  EXPECT_EQ(types.asked.load(), 2 * kPeers);
  // Per peer: one finished row (the request, with or without the invitation's conference), or a
  // finished request and then an open invitation of its own. Never one open row alone.
  EXPECT_EQ(Tool("SELECT count(*) FROM (SELECT count(*) n, sum(State = 999) f, sum(State = 4) o,"
                 " max(CASE WHEN State = 4 THEN rowid END) ro,"
                 " max(CASE WHEN State = 999 THEN rowid END) rf FROM lastCalls GROUP BY Peer)"
                 " WHERE NOT ((n = 1 AND f = 1) OR (n = 2 AND f = 1 AND o = 1 AND ro > rf));"),
            "0\n");
  EXPECT_EQ(Tool("SELECT count(DISTINCT Peer), min(ReadDone), min(ConfType) FROM lastCalls;"),
            std::to_string(kPeers) + "|1|5\n");
}

}  // namespace
