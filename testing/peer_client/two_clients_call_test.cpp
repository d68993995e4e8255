// Two clients call each other through the fake server, each in a process of its own (the peer
// client program): a private call from the room request to both sides opening the media with the
// same key and the hang-up emptying both stores; the accept that waits for the direct-connection
// tests or goes at once on the inviter's notice; an invitation left unanswered; a busy callee; a
// symmetric room with its saved peer; the podium of a role conference; and the caller's send
// format worked out from the callee's capability record, then reset as the send stream does. The
// call history that each side's program leaves in its working folder is read with the sqlite3 tool
// after it ended.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/contacts/contacts_db_test_helpers.h"
#include "core/transport/transport_test_pki.h"
#include "testing/fake_server/fake_conference.h"
#include "testing/fake_server/fake_presence.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"
#include "testing/peer_client/peer_process.h"
#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

constexpr int kWaitMs = 30000;
constexpr char kAliceId[] = "alice@fake.example";
constexpr char kBobId[] = "bob@fake.example";
constexpr char kCarolId[] = "carol@fake.example";

// The words of an event line ("EVENT open-p2p PEER SID KEY" -> {"open-p2p", PEER, SID, KEY});
// an empty word (a call without a stream key) is kept.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  std::getline(in, word, ' ');  // "EVENT"
  while (std::getline(in, word, ' ')) words.push_back(word);
  if (!line.empty() && line.back() == ' ') words.emplace_back();
  return words;
}

class TwoClientsCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binary = std::getenv("HX_BINARY_DIR");
    ASSERT_NE(binary, nullptr) << "run through ctest: HX_BINARY_DIR names the build";
    m_program = std::string(binary) + "/testing/hx_peer_client";
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr) << "the openssl tool is needed for the test certificates";
    m_rootFile = m_dir.path() + "/root.pem";
    std::ofstream(m_rootFile) << pki->root.cert_pem;
    FakeServerOptions options;
    options.connection.handshake_reply.secure = true;
    options.connection.secure_identity = pki->Identity(pki->server);
    m_server = std::make_unique<FakeServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_services = std::make_unique<FakeServices>(*m_server, "fake#vcs");
    m_services->SetSendConfigurationAfterLogin(false);
    for (const char* login : {kAliceId, kBobId, kCarolId}) {
      FakeAccount account;
      account.login = login;
      account.password = "secret";
      m_services->AddAccount(account);
    }
    m_conference = std::make_unique<FakeConference>(*m_server, *m_services);
    m_presence = std::make_unique<FakePresence>(*m_server, *m_services);
    m_presence->WatchConference(m_conference.get());
  }
  void TearDown() override {
    for (auto& peer : m_peers) peer->Finish();
    m_peers.clear();
    m_conference->SetParticipantsListener(nullptr);
    m_presence.reset();
    m_conference.reset();
    m_services.reset();
    m_server.reset();
  }

  // Starts the peer program as `login` with `script`; waits until it is logged in.
  PeerProcess& Peer(const std::string& login, const std::string& script,
                    std::vector<std::string> extra = {}) {
    auto peer = std::make_unique<PeerProcess>();
    const std::string dir = m_dir.path() + "/" + login;
    std::vector<std::string> arguments = {"--port",        std::to_string(m_server->port()),
                                          "--login",       login,
                                          "--password",    "secret",
                                          "--root",        m_rootFile,
                                          "--dir",         dir,
                                          "--script",      script,
                                          "--short-timers"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    EXPECT_TRUE(peer->Start(m_program, arguments));
    EXPECT_TRUE(peer->WaitLine("EVENT logged-in", kWaitMs)) << Dump(*peer);
    m_peers.push_back(std::move(peer));
    return *m_peers.back();
  }
  // The next event of `peer` starting with `prefix`, as words; fails the test when none comes.
  std::vector<std::string> Next(PeerProcess& peer, const std::string& prefix) {
    std::string line;
    EXPECT_TRUE(peer.WaitLine("EVENT " + prefix, kWaitMs, &line)) << prefix << "\n" << Dump(peer);
    return Words(line);
  }
  static std::string Dump(const PeerProcess& peer) {
    std::string all;
    for (const std::string& line : peer.Lines()) all += line + "\n";
    return all;
  }
  // The requests of `method` that the server received from `user`.
  std::vector<HX_Container> From(const std::string& user, const std::string& method) {
    std::vector<HX_Container> bodies;
    const int connection = m_services->ConnectionOfUser(user);
    for (const ReceivedMessage& m : m_server->Messages()) {
      if (m.connection == connection && m.method == method) bodies.push_back(m.body);
    }
    return bodies;
  }
  // The sqlite3 tool's rows for `sql` on the call history that `login`'s program left behind.
  std::string History(const std::string& tool, const std::string& login, const std::string& sql) {
    const std::string file = m_dir.path() + "/" + login + "/" +
                             contacts_testing::UpperMd5(login) + ".lastcalls.sqlite";
    return contacts_testing::Rows(tool, file, sql);
  }
  static int32_t IntOf(const HX_Container& body, const char* name) {
    int32_t value = -12345;
    size_t size = sizeof(value);
    body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
    return value;
  }

  TempDir m_dir;
  std::string m_program;
  std::string m_rootFile;
  std::unique_ptr<FakeServer> m_server;
  std::unique_ptr<FakeServices> m_services;
  std::unique_ptr<FakeConference> m_conference;
  std::unique_ptr<FakePresence> m_presence;
  std::vector<std::unique_ptr<PeerProcess>> m_peers;
};

// Each one's presence reaches the other through the server: online at login, the forwarding set
// before a call, busy in the call, online again after it. (A status and the call's own events
// arrive in either order, so the scripts wait for the statuses alone.)
TEST_F(TwoClientsCallTest, PresenceOfEachReachesTheOther) {
  PeerProcess& bob = Peer(kBobId, std::string("subscribe:") + kAliceId + ",wait:status " + kAliceId +
                                      " 1,wait:invite,fwdof:" + kAliceId +
                                      ",accept,wait:status " + kAliceId + " 2,wait:status " +
                                      kAliceId + " 1");
  PeerProcess& alice = Peer(kAliceId, std::string("subscribe:") + kBobId + ",wait:status " + kBobId +
                                          " 1,forward:" + kCarolId + ":1,call:" + kBobId +
                                          ",wait:status " + kBobId + " 2,hangup,wait:status " +
                                          kBobId + " 1");
  EXPECT_EQ(Next(bob, "fwd"), (std::vector<std::string>{"fwd", kAliceId, "1", kCarolId}));
  EXPECT_TRUE(bob.WaitLine("EVENT done", kWaitMs)) << Dump(bob);
  EXPECT_TRUE(alice.WaitLine("EVENT done", kWaitMs)) << Dump(alice);
  const auto statuses = [&](const char* user) {
    std::string seen;
    for (const HX_Container& body : From(user, "UpdateStatus")) seen += std::to_string(IntOf(body, "UserPresStatus")) + " ";
    return seen;
  };
  EXPECT_TRUE(WaitFor([&] { return m_presence->StatusOf(kAliceId) == 1; }, kWaitMs)) << statuses(kAliceId) << Dump(alice);
  EXPECT_TRUE(WaitFor([&] { return m_presence->StatusOf(kBobId) == 1; }, kWaitMs)) << statuses(kBobId) << Dump(bob);
}

// In a group conference the owner, no operator, publishes busy (multi-host is an operator's), and
// the server's participant lists of each join and leave (a third participant joins and the
// invited one leaves without a program of their own) reach both sides' active conference.
TEST_F(TwoClientsCallTest, GroupConferencePresenceAndParticipantLists) {
  PeerProcess& bob = Peer(kBobId, std::string("subscribe:") + kAliceId + ",wait:status " + kAliceId +
                                      " 1,wait:invite,accept,wait:open-multi,wait:status " + kAliceId + " 2");
  PeerProcess& alice = Peer(kAliceId, std::string("room:1:team:") + kBobId + ",wait:created,join,wait:open-multi");
  const std::vector<std::string> created = Next(alice, "created");
  ASSERT_EQ(created.size(), 3u);
  const std::string sid = created[1];
  const std::string both = std::string("EVENT idlist ") + kAliceId + "," + kBobId;
  // The lists come on their own time, before or after the end of the scripts.
  const auto saw = [](PeerProcess& peer, const std::string& line) {
    return WaitFor([&] { return peer.Saw(line); }, kWaitMs);
  };
  EXPECT_TRUE(bob.WaitLine("EVENT done", kWaitMs)) << Dump(bob);
  EXPECT_TRUE(alice.WaitLine("EVENT done", kWaitMs)) << Dump(alice);
  EXPECT_TRUE(saw(alice, both)) << Dump(alice);
  // Each side publishes its own status when its conference starts, on its own time.
  EXPECT_TRUE(WaitFor([&] { return m_presence->StatusOf(kAliceId) == 2; }, kWaitMs));
  EXPECT_TRUE(WaitFor([&] { return m_presence->StatusOf(kBobId) == 2; }, kWaitMs));

  ASSERT_TRUE(m_conference->AddParticipant(sid, kCarolId));
  const std::string three = both + "," + kCarolId;
  EXPECT_TRUE(saw(alice, three)) << Dump(alice);
  EXPECT_TRUE(saw(bob, three)) << Dump(bob);
  ASSERT_TRUE(m_conference->RemoveParticipant(sid, kBobId));
  EXPECT_TRUE(saw(alice, std::string("EVENT idlist ") + kAliceId + "," + kCarolId)) << Dump(alice);
}

// The callee accepts while the direct-connection tests are open: "Accept" goes after the short
// wait; both sides open the call's media with the same SID and key; the hang-up empties both.
TEST_F(TwoClientsCallTest, PrivateCallOpensBothSidesAndHangsUp) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-p2p,wait:counts 0 0 0");
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId +
                                          ",wait:open-p2p,wait:handshake,hangup,wait:counts 0 0 0");
  const std::vector<std::string> invite = Next(bob, "invite");
  ASSERT_EQ(invite.size(), 4u);
  EXPECT_EQ(invite[1], kAliceId);
  EXPECT_EQ(invite[3], "0");
  EXPECT_EQ(Next(bob, "accepting"), (std::vector<std::string>{"accepting", kAliceId, "true"}));
  const std::vector<std::string> aliceOpen = Next(alice, "open-p2p");
  const std::vector<std::string> bobOpen = Next(bob, "open-p2p");
  ASSERT_EQ(aliceOpen.size(), 4u);
  ASSERT_EQ(bobOpen.size(), 4u);
  EXPECT_EQ(aliceOpen[1], kBobId);
  EXPECT_EQ(bobOpen[1], kAliceId);
  EXPECT_EQ(aliceOpen[2], invite[2]);
  EXPECT_EQ(bobOpen[2], invite[2]);
  // The key is whatever the accept carried (none while the capabilities ask for no encryption).
  EXPECT_EQ(aliceOpen[3], bobOpen[3]);
  EXPECT_EQ(Next(alice, "handshake"),
            (std::vector<std::string>{"handshake", "0", "0", kBobId, invite[2], aliceOpen[3]}));
  Next(alice, "counts 0 0 0");
  Next(bob, "counts 0 0 0");
  // One accept only, though the direct-connection timers ran too.
  EXPECT_EQ(From(kBobId, "Accept").size(), 1u);
  EXPECT_EQ(From(kAliceId, "Hangup").size(), 1u);
  EXPECT_TRUE(From(kAliceId, "ConnectFailure").empty());
}

// The caller's send stream cannot be connected: the call ends with "ConnectFailure" and
// "Hangup", and both stores empty.
TEST_F(TwoClientsCallTest, FailedSendStreamEndsTheCall) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:counts 0 0 0");
  PeerProcess& alice =
      Peer(kAliceId, std::string("call:") + kBobId + ",wait:counts 0 0 0", {"--failing-streams"});
  const std::vector<std::string> open = Next(alice, "open-p2p");
  ASSERT_EQ(open.size(), 4u);
  Next(alice, "counts 0 0 0");
  Next(bob, "counts 0 0 0");
  const std::vector<HX_Container> failures = From(kAliceId, "ConnectFailure");
  ASSERT_EQ(failures.size(), 1u);
  std::string sid;
  failures[0].GetValue("Conference", sid);
  EXPECT_EQ(sid, open[2]);
  ASSERT_EQ(From(kAliceId, "Hangup").size(), 1u);
  EXPECT_EQ(IntOf(From(kAliceId, "Hangup")[0], "HangupFlags"), 0);
}

// The inviter's direct-connection notice sends the waiting accept at once.
TEST_F(TwoClientsCallTest, InvitersDirectNoticeSendsTheAccept) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-p2p", {"--dc-accept-ms", "100000"});
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId + ",wait:open-p2p");
  const std::vector<std::string> invite = Next(bob, "invite");
  ASSERT_EQ(invite.size(), 4u);
  Next(bob, "accepting");
  EXPECT_TRUE(From(kBobId, "Accept").empty());
  ASSERT_TRUE(m_conference->SendTryAcceptDirect(kBobId, invite[2]));
  Next(bob, "open-p2p");
  Next(alice, "open-p2p");
  EXPECT_EQ(From(kBobId, "Accept").size(), 1u);
}

// Nobody answers: the callee rejects with cause 16 and both sides delete the call.
TEST_F(TwoClientsCallTest, UnansweredInvitationIsRejected) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,wait:deleted");
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId + ",wait:reject-received");
  const std::vector<std::string> invite = Next(bob, "invite");
  ASSERT_EQ(invite.size(), 4u);
  const std::vector<std::string> reject = Next(alice, "reject-received");
  ASSERT_EQ(reject.size(), 4u);
  EXPECT_EQ(reject[2], invite[2]);
  EXPECT_EQ(reject[3], "16");
  Next(bob, "deleted " + invite[2]);
}

// A callee already in a conference answers cause 2.
TEST_F(TwoClientsCallTest, BusyCalleeAnswersCauseTwo) {
  PeerProcess& bob = Peer(kBobId, std::string("room:1:busy:") + kCarolId + ",wait:created");
  Next(bob, "created");
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId + ",wait:reject-received");
  const std::vector<std::string> reject = Next(alice, "reject-received");
  ASSERT_EQ(reject.size(), 4u);
  EXPECT_EQ(reject[3], "2");
  EXPECT_FALSE(bob.Saw("EVENT invite"));
}

// The owner joins the symmetric room; the saved peer is invited, accepts and joins; both open
// their own media towards the owner.
TEST_F(TwoClientsCallTest, SymmetricRoomWithItsSavedPeer) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-multi");
  PeerProcess& alice =
      Peer(kAliceId, std::string("room:1:team:") + kBobId + ",wait:created,join,wait:open-multi");
  const std::vector<std::string> created = Next(alice, "created");
  ASSERT_EQ(created.size(), 3u);
  const std::string sid = created[1];
  EXPECT_EQ(Next(bob, "invite"), (std::vector<std::string>{"invite", kAliceId, sid, "5"}));
  EXPECT_EQ(Next(alice, "open-multi")[1], sid);
  EXPECT_EQ(Next(bob, "open-multi")[1], sid);
  const std::vector<std::string> aliceShake = Next(alice, "handshake");
  const std::vector<std::string> bobShake = Next(bob, "handshake");
  ASSERT_EQ(aliceShake.size(), 6u);
  ASSERT_EQ(bobShake.size(), 6u);
  EXPECT_EQ(aliceShake[3], kAliceId);
  EXPECT_EQ(bobShake[3], kAliceId);
  EXPECT_EQ(bobShake[4], sid);
  EXPECT_EQ(From(kBobId, "Join").size(), 1u);
  EXPECT_EQ(From(kAliceId, "Join").size(), 1u);
}

// In a role conference the participant asks for the podium (the preview only up to 5120 bytes),
// the owner answers the last query without naming the user, and the owner's own podium switches
// the send filter at once.
TEST_F(TwoClientsCallTest, RoleConferencePodium) {
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-multi,podium:6000,podium:5120");
  PeerProcess& alice = Peer(
      kAliceId, std::string("room:3:stage:") + kBobId + ",wait:created,join,wait:role " + kBobId +
                    " 3 0,wait:role " + kBobId + " 3 0,acceptrole,leave,podium:0,remark");
  Next(alice, "done");
  const std::vector<HX_Container> asked = From(kBobId, "RoleEvent");
  ASSERT_EQ(asked.size(), 2u);
  size_t size = 0;
  EXPECT_EQ(IntOf(asked[0], "Role"), 3);
  EXPECT_EQ(asked[0].GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_NE(asked[1].GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, 5120u);
  EXPECT_EQ(IntOf(asked[1], "PreviewWidthParam"), 160);
  ASSERT_TRUE(WaitFor([&] { return From(kAliceId, "RoleEvent").size() == 1; }, kWaitMs));
  const HX_Container answer = From(kAliceId, "RoleEvent")[0];
  EXPECT_EQ(IntOf(answer, "Type"), 1);
  EXPECT_EQ(IntOf(answer, "Role"), 3);
  EXPECT_EQ(IntOf(answer, "Result"), 0);
  std::string user;
  answer.GetValue("UserName", user);
  EXPECT_EQ(user, kBobId);
  ASSERT_TRUE(WaitFor([&] { return From(kAliceId, "ConnectSender").size() == 3; }, kWaitMs));
  const std::vector<HX_Container> filters = From(kAliceId, "ConnectSender");
  EXPECT_EQ(IntOf(filters[0], "MediaFiltr"), 0);
  EXPECT_EQ(IntOf(filters[1], "MediaFiltr"), 0xF00);
  EXPECT_EQ(IntOf(filters[2], "MediaFiltr"), 0xD00);
}

// ---- the call history each side keeps

constexpr char kHistoryRow[] =
    "SELECT Type, ConfType, Peer, ConfId, JoinTime IS NOT NULL, EndTime >= StartTime, "
    "InitialState, State FROM lastCalls ORDER BY rowid;";

// A answers nothing of its own: B accepts and A hangs up. A holds one finished outgoing row and B
// one finished incoming row, each with the conference id and the time the call was joined.
TEST_F(TwoClientsCallTest, AnsweredCallLeavesAFinishedRowOnEachSide) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-p2p,wait:counts 0 0 0");
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId +
                                          ",wait:open-p2p,wait:handshake,hangup,wait:counts 0 0 0");
  const std::vector<std::string> invite = Next(bob, "invite");
  ASSERT_EQ(invite.size(), 4u);
  const std::string sid = invite[2];
  Next(alice, "counts 0 0 0");
  Next(bob, "counts 0 0 0");
  EXPECT_EQ(alice.Finish(), 0) << Dump(alice);
  EXPECT_EQ(bob.Finish(), 0) << Dump(bob);
  EXPECT_EQ(History(sqlite3, kAliceId, kHistoryRow),
            std::string("1|0|") + kBobId + "|" + sid + "|1|1|1|999\n");
  EXPECT_EQ(History(sqlite3, kBobId, kHistoryRow),
            std::string("0|0|") + kAliceId + "|" + sid + "|1|1|2|999\n");
  // Joined calls last from the accept to the hang-up: EndTime is not before JoinTime.
  EXPECT_EQ(History(sqlite3, kBobId, "SELECT EndTime >= JoinTime FROM lastCalls;"), "1\n");
}

// B never answers; its program rejects when the answer time is up, and the call is deleted: a
// missed call on B's side that ended when it started, an unanswered outgoing call on A's.
TEST_F(TwoClientsCallTest, UnansweredInvitationEndsMissedOnTheCalleesSide) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  PeerProcess& bob = Peer(kBobId, "wait:invite,wait:deleted");
  PeerProcess& alice = Peer(kAliceId, std::string("call:") + kBobId + ",wait:reject-received");
  const std::vector<std::string> invite = Next(bob, "invite");
  ASSERT_EQ(invite.size(), 4u);
  const std::string sid = invite[2];
  Next(bob, "deleted " + sid);
  Next(alice, "done");
  EXPECT_EQ(bob.Finish(), 0) << Dump(bob);
  EXPECT_EQ(alice.Finish(), 0) << Dump(alice);
  EXPECT_EQ(History(sqlite3, kBobId,
                    "SELECT Type, Peer, ConfId, JoinTime IS NULL, EndTime = StartTime, State "
                    "FROM lastCalls;"),
            std::string("2|") + kAliceId + "|" + sid + "|1|1|999\n");
  EXPECT_EQ(
      History(sqlite3, kAliceId, "SELECT Type, Peer, ConfId, JoinTime IS NULL FROM lastCalls;"),
      std::string("1|") + kBobId + "|" + sid + "|1\n");
}

// A invites B into A's own group conference once A has joined it: the invitation's row carries
// the group's type, which the client object answered from its current conference.
TEST_F(TwoClientsCallTest, InvitationIntoAGroupIsStoredWithTheGroupsType) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-multi");
  PeerProcess& alice =
      Peer(kAliceId, std::string("room:1:team:") + kBobId + ",wait:created,join,wait:open-multi");
  const std::vector<std::string> created = Next(alice, "created");
  ASSERT_EQ(created.size(), 3u);
  const std::string sid = created[1];
  Next(alice, "open-multi");
  Next(bob, "open-multi");
  EXPECT_EQ(alice.Finish(), 0) << Dump(alice);
  EXPECT_EQ(bob.Finish(), 0) << Dump(bob);
  EXPECT_EQ(History(sqlite3, kAliceId,
                    "SELECT Type, ConfType, ConfId, InitialState FROM lastCalls WHERE Peer = '" +
                        std::string(kBobId) + "';"),
            "1|5|" + sid + "|3\n");
}

// Once the media handshake is ready, the caller's media-format adapter holds the callee's real
// capability record (a format that may change during the call, its level and its screen as the
// callee's program announces them); when the send stream resets the adapter, it is back at the
// idle choice. The caller measured its device first (send level 47, above the callee's levels)
// and nobody set a bit rate (its level is 32), so the callee's level decides. Without a capture
// list the size is the own record's (640x360), shrunk into the callee's screen.
struct SendFormatCase {
  const char* level;
  const char* screen;
  const char* active;
  const char* idle;
};

class SendFormatTest : public TwoClientsCallTest,
                       public ::testing::WithParamInterface<SendFormatCase> {};

TEST_P(SendFormatTest, FollowsTheCalleesLevelAndScreen) {
  const SendFormatCase& c = GetParam();
  PeerProcess& bob = Peer(kBobId, "wait:invite,accept,wait:open-p2p",
                          {"--video-rcv", "9", "--level", c.level, "--screen", c.screen});
  PeerProcess& alice = Peer(
      kAliceId, std::string("wait:benchmark 189600,call:") + kBobId + ",wait:format,release-sender",
      {"--bench-ms", "500"});
  Next(alice, "benchmark 189600 47");
  Next(bob, "open-p2p");
  std::string line;
  EXPECT_TRUE(alice.WaitLine("EVENT format", kWaitMs, &line));
  EXPECT_EQ(line, std::string("EVENT ") + c.active) << Dump(alice);
  EXPECT_TRUE(alice.WaitLine("EVENT format", kWaitMs, &line));
  EXPECT_EQ(line, std::string("EVENT ") + c.idle) << Dump(alice);
}

INSTANTIATE_TEST_SUITE_P(
    Callees, SendFormatTest,
    ::testing::Values(
        // The ladder's level 32 (15 frames per second) in 512x288; the idle choice keeps the size
        // (the capture list is unknown) at the top step's 30 frames per second.
        SendFormatCase{"32", "512x288", "format 512 288 15 30387670 1",
                       "format 512 288 30 30387670 0"},
        // Level 24 lies below the ladder: its own frame-rate limit (3000 / 300); a screen with a
        // width only is no limit.
        SendFormatCase{"24", "320x0", "format 640 360 10 30387670 1",
                       "format 640 360 30 30387670 0"}));

}  // namespace
}  // namespace hx::testing
