// The call flow against a hostile server: invitations with keys missing, of another type or out
// of range, duplicated and out-of-order messages (an accept or a reject for a conference nobody
// asked for, a reject after the call has gone), answers racing the invitation timers, and many
// messages from several threads while the host thread creates rooms and hangs up. The store must
// stay consistent throughout (every conference lockable, its state one of the four, the counts in
// step with the table), an accept goes out once at most, and nothing is sent for a conference
// that is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/conference/conference_helper_test_util.h"

namespace hx::testing {
namespace {

using BodyEdit = std::function<void(HX_Container&)>;

HX_Container Body(const char* method, const BodyEdit& edit) {
  HX_Container body;
  body.AddValue("Method", method);
  edit(body);
  return body;
}

// An "Invite" of a private call from `caller` as the server delivers it.
HX_Container InviteBody(const std::string& sid, const std::string& caller, int32_t direct) {
  return Body("Invite", [&](HX_Container& b) {
    b.AddValue("Conference", sid.c_str());
    b.AddValue("Name", caller.c_str());
    b.AddValue("CallId", kAlice);
    b.AddValue("DisplayName", "Caller");
    b.AddValue("DirectConnect", direct);
  });
}

// Copies every string a signal carries while it is delivered (a dangling one shows under ASan).
struct StringSink {
  std::atomic<size_t> bytes{0};
  void Take(const char* text) {
    if (text != nullptr) bytes += std::string(text).size();
  }
  void Accept(const char* a, const char* b, const char* c, const char* d) {
    Take(a), Take(b), Take(c), Take(d);
  }
  void Reject(const char* a, const char* b, const char* c, HX_Reject_Cause) {
    Take(a), Take(b), Take(c);
  }
  void Notice(const char* a, const char* b, const char* c, const char* d, HX_Conference_Type,
              bool) {
    Take(a), Take(b), Take(c), Take(d);
  }
  void Invited(const std::string& sid, const char* a, const char* b) {
    bytes += sid.size();
    Take(a), Take(b);
  }
  void Join(const char* a, const char* b, const char* c, const char* d) {
    Take(a), Take(b), Take(c), Take(d);
  }
  void Reply(const char* a, int) { Take(a); }
};

class HostileCallFlowTest : public HelperFixture {
 protected:
  void SetUp() override {
    HelperFixture::SetUp();
    if (HasFatalFailure()) return;
    cm->AcceptReceivedSignal.Connect(&sink, &StringSink::Accept);
    cm->RejectReceivedSignal.Connect(&sink, &StringSink::Reject);
    cm->InviteNoticeSignal.Connect(&sink, &StringSink::Notice);
    cm->InviteReceivedSignal.Connect(&sink, &StringSink::Invited);
    cm->JoinReceivedSignal.Connect(&sink, &StringSink::Join);
    cm->InviteReplySignal.Connect(&sink, &StringSink::Reply);
  }
  // The invitation timers far away, so that only the test fires them (by calling their jobs).
  void HoldTimers() {
    HX_ConferenceHelper::Delays delays;
    delays.ping = 600000;
    delays.dcCheck = 600000;
    delays.dcAccept = 600000;
    delays.guiAccept = 600000;
    helper->setDelaysForTest(delays);
  }
  void Parse(HX_Container body) { cm->ParseIncomimgMessage(body); }
  int32_t IdOf(const std::string& sid) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, sid) ? lock->getId() : 0;
  }
  // Deletes the conference locally (the server is not told), so that the next one may come.
  void Drop(const std::string& sid) {
    if (Live(sid)) cm->DeleteConference(sid.c_str(), false);
    EXPECT_FALSE(Live(sid)) << sid;
  }
  bool Live(const std::string& sid) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, sid) && lock->getState() != ::conference::kStateDeleted;
  }
  // Every conference the store holds can be locked by its id and, unless deleted, by its SID;
  // its state is one of the four; the counts of requested and joined conferences match the table.
  void ExpectStoreConsistent(const std::string& when) {
    SCOPED_TRACE(when);
    HXAutoLock all(cm->StorageLock());
    unsigned requested = 0, joined = 0, deleted = 0;
    cm->getConferenceCount(requested, joined, deleted);
    unsigned seenRequested = 0, seenJoined = 0;
    for (int32_t id = 1; id < 100000; ++id) {
      ConferenceLock lock;
      if (!cm->getConferenceLock(lock, id)) continue;
      EXPECT_EQ(lock->getId(), id);
      const ::conference::State state = lock->getState();
      EXPECT_GE(state, ::conference::kStateNew) << id;
      EXPECT_LE(state, ::conference::kStateDeleted) << id;
      seenRequested += state == ::conference::kStateRequested ? 1 : 0;
      seenJoined += state == ::conference::kStateJoined ? 1 : 0;
      if (state != ::conference::kStateDeleted && !lock->getSID().empty()) {
        ConferenceLock bySid;
        EXPECT_TRUE(cm->getConferenceLock(bySid, lock->getSID())) << lock->getSID();
        if (bySid) EXPECT_EQ(bySid->getId(), id) << lock->getSID();
      }
    }
    EXPECT_EQ(seenRequested, requested) << "joined " << joined << " deleted " << deleted;
    EXPECT_EQ(seenJoined, joined) << "requested " << requested << " deleted " << deleted;
  }
  // Joins `threads`, aborting the run when they do not finish (a deadlock).
  static void JoinAll(std::vector<std::thread>& threads, const char* what) {
    auto done = std::async(std::launch::async, [&] {
      for (auto& t : threads) t.join();
    });
    if (done.wait_for(std::chrono::seconds(90)) != std::future_status::ready) {
      std::fprintf(stderr, "%s did not finish: a deadlock\n", what);
      std::abort();
    }
  }

  StringSink sink;
};

// Messages about conferences the client never asked for or heard of: none of them makes a
// conference, starts a ping or makes the client accept, join or reject anything.
TEST_F(HostileCallFlowTest, StrayMessagesForUnknownConferencesChangeNothing) {
  const std::string stray = "stray@127.0.0.1#vcs";
  const std::string huge(1 << 16, 's');
  struct Case {
    const char* name;
    HX_Container body;
  };
  const Case cases[] = {
      {"Accept", Body("Accept",
                      [&](HX_Container& b) {
                        b.AddValue("Instance", kBob);
                        b.AddValue("Conference", stray.c_str());
                        b.AddValue("DisplayName", "Bob");
                        b.AddValue("SymKey", "key");
                        b.AddValue("DirectConnect", int32_t{INT_MAX});
                      })},
      {"Accept without keys", Body("Accept", [](HX_Container&) {})},
      {"Reject", Body("Reject",
                      [&](HX_Container& b) {
                        b.AddValue("Conference", stray.c_str());
                        b.AddValue("Name", kBob);
                        b.AddValue("Cause", int32_t{INT_MIN});
                      })},
      {"Reject with a text cause", Body("Reject",
                                        [&](HX_Container& b) {
                                          b.AddValue("Conference", stray.c_str());
                                          b.AddValue("Cause", "16");
                                        })},
      {"ConferenceCreated unasked", Body("ConferenceCreated",
                                         [&](HX_Container& b) {
                                           b.AddValue("Result", int32_t{1});
                                           b.AddValue("Name", stray.c_str());
                                         })},
      {"ConferenceCreated INT_MAX", Body("ConferenceCreated",
                                         [&](HX_Container& b) {
                                           b.AddValue("Result", int32_t{INT_MAX});
                                           b.AddValue("Name", stray.c_str());
                                         })},
      {"ConferenceCreated huge name", Body("ConferenceCreated",
                                           [&](HX_Container& b) {
                                             b.AddValue("Result", int32_t{1});
                                             b.AddValue("Name", huge.c_str());
                                           })},
      {"ConferenceCreated name as integer", Body("ConferenceCreated",
                                                 [](HX_Container& b) {
                                                   b.AddValue("Result", int32_t{1});
                                                   b.AddValue("Name", int32_t{1});
                                                 })},
      {"ConferenceDeleted", Body("ConferenceDeleted",
                                 [&](HX_Container& b) {
                                   b.AddValue("Name", stray.c_str());
                                   b.AddValue("Result", int32_t{INT_MIN});
                                 })},
      {"ConferenceDeleted without keys", Body("ConferenceDeleted", [](HX_Container&) {})},
      {"InviteReply", Body("InviteReply",
                           [&](HX_Container& b) {
                             b.AddValue("Conference", stray.c_str());
                             b.AddValue("UserName", kBob);
                             b.AddValue("Result", int32_t{-1});
                           })},
      {"InviteReply without keys", Body("InviteReply", [](HX_Container&) {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HX_Container body = c.body;
    cm->ParseIncomimgMessage(body);
    EXPECT_FALSE(Exists(stray));
    EXPECT_FALSE(Exists(huge));
    unsigned requested = 9, joined = 9, deleted = 9;
    cm->getConferenceCount(requested, joined, deleted);
    EXPECT_EQ(requested + joined, 0u);
  }
  Flush("flush@127.0.0.1#vcs");
  EXPECT_EQ(CountFor("Ping", stray), 0u);
  EXPECT_EQ(CountFor("Ping", huge), 0u);
  for (const char* method : {"Accept", "Join", "Reject", "RoleEvent"}) {
    EXPECT_EQ(Count(method), 0u) << method;
  }
}

// "Join" replies for a SID the client never joined, with results in and out of range: whatever
// the service makes of them, it leaves no conference half-made.
TEST_F(HostileCallFlowTest, StrayJoinRepliesLeaveTheStoreConsistent) {
  for (const int32_t result : {6, 2, 0, -1, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(result);
    HX_Container body = Body("Join", [&](HX_Container& b) {
      b.AddValue("Result", result);
      b.AddValue("Conference", ("j" + std::to_string(result) + "@127.0.0.1#vcs").c_str());
      b.AddValue("Type", int32_t{INT_MAX});
      b.AddValue("SubType", int32_t{-1});
      b.AddValue("UserName", kBob);
    });
    cm->ParseIncomimgMessage(body);
    ExpectStoreConsistent("after Join " + std::to_string(result));
  }
  HX_Container bare = Body("Join", [](HX_Container&) {});
  cm->ParseIncomimgMessage(bare);
  ExpectStoreConsistent("after a bare Join");
}

// Invitations with keys missing, of another type or out of range. A complete one (whatever its
// direct-connection value) makes exactly one unanswered conference with the caller as its peer,
// however often it comes; one without a usable SID makes none.
TEST_F(HostileCallFlowTest, HostileInvitations) {
  HoldTimers();
  struct Case {
    const char* name;
    HX_Container body;
    const char* sid;  // the SID a conference must (or must not) have
    bool made;
  };
  const std::string longSid = std::string(1 << 16, 'L') + "@127.0.0.1#vcs";
  const Case cases[] = {
      {"no Conference",
       Body("Invite",
            [](HX_Container& b) {
              b.AddValue("Name", kBob);
              b.AddValue("CallId", kAlice);
            }),
       nullptr, false},
      {"Conference as integer",
       Body("Invite",
            [](HX_Container& b) {
              b.AddValue("Conference", int32_t{42});
              b.AddValue("Name", kBob);
              b.AddValue("CallId", kAlice);
            }),
       nullptr, false},
      {"DirectConnect INT_MIN", InviteBody("d1@127.0.0.1#vcs", kBob, INT_MIN), "d1@127.0.0.1#vcs",
       true},
      {"DirectConnect INT_MAX", InviteBody("d2@127.0.0.1#vcs", kCarol, INT_MAX),
       "d2@127.0.0.1#vcs", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned before = 0, joinedBefore = 0, deletedBefore = 0;
    cm->getConferenceCount(before, joinedBefore, deletedBefore);
    for (int twice = 0; twice < 2; ++twice) {
      HX_Container body = c.body;
      cm->ParseIncomimgMessage(body);
    }
    unsigned after = 0, joinedAfter = 0, deletedAfter = 0;
    cm->getConferenceCount(after, joinedAfter, deletedAfter);
    EXPECT_EQ(after, before + (c.made ? 1u : 0u));
    if (c.sid != nullptr) {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, c.sid));
      EXPECT_EQ(lock->getState(), ::conference::kStateRequested);
      EXPECT_TRUE(lock->isFlag(HX_Conference::kFlagUnanswered | HX_Conference::kFlagInvited));
      EXPECT_EQ(lock->peers().size(), 1u);
    }
    ExpectStoreConsistent(c.name);
    if (c.sid != nullptr) Drop(c.sid);
  }
  // A SID of 64 KiB and a caller name of 64 KiB: taken or not, the store stays whole.
  HX_Container big = InviteBody(longSid, std::string(1 << 16, 'c') + "@fake.example", 0);
  cm->ParseIncomimgMessage(big);
  ExpectStoreConsistent("huge invitation");
  Drop(longSid);
  // Invitations to a group with types beyond the table.
  for (const int32_t type : {INT_MIN, -1, 0, 7, INT_MAX}) {
    HX_Container multi = Body("InviteToMulti", [&](HX_Container& b) {
      b.AddValue("UserName", kBob);
      b.AddValue("Conference", ("m" + std::to_string(type) + "@127.0.0.1#vcs").c_str());
      b.AddValue("Type", type);
      b.AddValue("SubType", int32_t{INT_MAX});
      b.AddValue("Scope", int32_t{INT_MIN});
    });
    cm->ParseIncomimgMessage(multi);
    ExpectStoreConsistent("InviteToMulti type " + std::to_string(type));
    Drop("m" + std::to_string(type) + "@127.0.0.1#vcs");
  }
}

// The user's accept, the inviter's direct-connection notice (repeated) and the direct-connection
// timers (repeated) all try to send the accept; whichever comes first sends it and the others find
// nothing to do. The unanswered-invitation timer leaves an accepted invitation alone.
TEST_F(HostileCallFlowTest, AcceptGoesOutOnceWhateverRaces) {
  HoldTimers();
  const int32_t directs[] = {0, 1, 4, -1, INT_MAX};
  int n = 0;
  for (const int32_t direct : directs) {
    SCOPED_TRACE(direct);
    const std::string sid = "a" + std::to_string(n++) + "@127.0.0.1#vcs";
    Parse(InviteBody(sid, kBob, direct));
    const int32_t id = IdOf(sid);
    ASSERT_GT(id, 0);
    // Out of order: the timers before the user.
    helper->onDirectInviteTimeout(id, kBob);
    helper->OnTryAcceptDirect(sid.c_str());
    EXPECT_TRUE(helper->AcceptPeer(kBob, id));
    helper->OnTryAcceptDirect(sid.c_str());
    helper->onDirectInviteTimeout(id, kBob);
    helper->onDirectInviteTimeout(id, kBob);
    helper->OnTryAcceptDirect(sid.c_str());
    helper->OnUIAcceptTimeout(sid, kBob);
    ASSERT_TRUE(WaitFor([&] { return CountFor("Accept", sid) >= 1; }, kTransportWaitMs));
    Flush("flush-" + sid);
    EXPECT_EQ(CountFor("Accept", sid), 1u);
    EXPECT_EQ(CountFor("Reject", sid), 0u);
    ExpectStoreConsistent(sid);
    Drop(sid);
  }
}

// The unanswered-invitation timer (fired twice) rejects an invitation nobody answered once, with
// the no-answer cause; after the user or the server has settled the invitation it rejects nothing
// more; it ignores SIDs it never heard of.
TEST_F(HostileCallFlowTest, UnansweredTimerAfterTheInvitationWasSettled) {
  HoldTimers();
  struct Case {
    const char* name;
    std::function<void(const std::string& sid, const std::string& peer)> settle;
    size_t rejects;  // "Reject" requests in all for the SID
    int cause;       // of the one reject, when there is one
  };
  const Case cases[] = {
      {"user accepted",
       [&](const std::string& sid, const std::string& peer) {
         EXPECT_TRUE(helper->AcceptPeer(peer, IdOf(sid)));
       },
       0, 0},
      {"user rejected",
       [&](const std::string&, const std::string& peer) {
         EXPECT_TRUE(helper->Reject(peer.c_str(), 3));
       },
       1, 3},
      {"server deleted it",
       [&](const std::string& sid, const std::string&) {
         Parse(Body("ConferenceDeleted", [&](HX_Container& b) {
           b.AddValue("Name", sid.c_str());
           b.AddValue("Result", int32_t{0});
         }));
       },
       0, 0},
      {"hung up", [&](const std::string&, const std::string&) { helper->Hangup(false); }, 0, 0},
      {"nobody answered", [](const std::string&, const std::string&) {}, 1,
       HX_ConferenceHelper::kCauseNoAnswer},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string peer = "p" + std::to_string(n) + "@fake.example";
    const std::string sid = "u" + std::to_string(n++) + "@127.0.0.1#vcs";
    Parse(InviteBody(sid, peer, 0));
    ASSERT_TRUE(Exists(sid));
    c.settle(sid, peer);
    helper->OnUIAcceptTimeout(sid, peer);
    helper->OnUIAcceptTimeout(sid, peer);
    Flush("flush-" + sid);
    EXPECT_EQ(CountFor("Reject", sid), c.rejects);
    for (const auto& m : m_server->Messages()) {
      if (m.method == "Reject" && TextOf(m.body, "Conference") == sid) {
        EXPECT_EQ(IntOf(m.body, "Cause"), c.cause);
      }
    }
    ExpectStoreConsistent(c.name);
    // The server confirms whatever deletion the client asked for (a conference waiting for that
    // confirmation keeps the next invitation out).
    Parse(Body("ConferenceDeleted", [&](HX_Container& b) {
      b.AddValue("Name", sid.c_str());
      b.AddValue("Result", int32_t{0});
    }));
    Drop(sid);
  }
  const size_t rejects = Count("Reject");
  helper->OnUIAcceptTimeout("never@127.0.0.1#vcs", kBob);
  helper->OnUIAcceptTimeout("", "");
  Flush("flush-end");
  EXPECT_EQ(Count("Reject"), rejects);
}

// After the user rejected an invitation (and the conference was deleted), late or repeated
// answers send nothing: no second reject, no accept of the deleted conference by peer, and the
// server's late accept or reject does not bring it back.
TEST_F(HostileCallFlowTest, NothingIsSentForARejectedInvitation) {
  HoldTimers();
  const std::string sid = "x1@127.0.0.1#vcs";
  Parse(InviteBody(sid, kBob, 0));
  const int32_t id = IdOf(sid);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(helper->Reject(kBob, 3));
  EXPECT_FALSE(Live(sid));
  EXPECT_FALSE(helper->Reject(kBob, 3));
  EXPECT_FALSE(helper->Reject(nullptr, 3));
  EXPECT_FALSE(helper->Reject("", 3));
  EXPECT_FALSE(helper->AcceptPeer(kBob, 0));
  helper->OnTryAcceptDirect(sid.c_str());
  helper->onDirectInviteTimeout(id, kBob);
  Parse(Body("Accept", [&](HX_Container& b) {
    b.AddValue("Instance", kBob);
    b.AddValue("Conference", sid.c_str());
    b.AddValue("DisplayName", "Bob");
    b.AddValue("SymKey", "key");
  }));
  Parse(Body("Reject", [&](HX_Container& b) {
    b.AddValue("Conference", sid.c_str());
    b.AddValue("Name", kBob);
    b.AddValue("Cause", int32_t{3});
  }));
  Flush("flush-x1");
  EXPECT_EQ(CountFor("Reject", sid), 1u);
  EXPECT_EQ(CountFor("Accept", sid), 0u);
  EXPECT_FALSE(Live(sid));
  ExpectStoreConsistent("after the late answers");
}

// The user accepts, by its id, an invitation that was rejected and deleted meanwhile (the id is
// all the platform kept): no "Accept" may go out for a conference that is gone.
TEST_F(HostileCallFlowTest, AcceptByIdOfADeletedInvitationSendsNothing) {
  HoldTimers();
  const std::string sid = "x2@127.0.0.1#vcs";
  Parse(InviteBody(sid, kBob, 0));
  const int32_t id = IdOf(sid);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(helper->Reject(kBob, 3));
  ASSERT_FALSE(Live(sid));
  EXPECT_FALSE(helper->AcceptPeer(kBob, id));
  Flush("flush-x2");
  EXPECT_EQ(CountFor("Accept", sid), 0u);
}

// Calls with null, empty or out-of-range arguments while an accepted invitation waits for its
// direct connection (the accept timer held back): none of them sends the accept, rejects, joins
// or touches the waiting invitation. Then the inviter's direct-connection notice sends the one
// accept, however often it comes.
TEST_F(HostileCallFlowTest, NullAndOutOfRangeArgumentsLeaveAWaitingAcceptAlone) {
  HoldTimers();
  const std::string sid = "w1@127.0.0.1#vcs";
  Parse(InviteBody(sid, kBob, 1));
  const int32_t id = IdOf(sid);
  ASSERT_GT(id, 0);
  {
    // The inviter's direct connection is not known yet (type 4): the accept waits for it.
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, sid));
    ASSERT_NE(lock->getPeer(kBob), nullptr);
    lock->getPeer(kBob)->setDCType(4);
  }
  ASSERT_TRUE(helper->AcceptPeer(kBob, id));
  Flush("flush-w1");
  ASSERT_EQ(CountFor("Accept", sid), 0u);
  helper->OnTryAcceptDirect(nullptr);
  helper->OnTryAcceptDirect("");
  helper->OnTryAcceptDirect("w2@127.0.0.1#vcs");
  helper->onDirectInviteTimeout(0, kBob);
  helper->onDirectInviteTimeout(-1, kBob);
  helper->onDirectInviteTimeout(INT_MAX, kBob);
  helper->onDirectInviteTimeout(INT_MIN, "");
  helper->OnUIAcceptTimeout("", "");
  helper->OnUIAcceptTimeout(sid, "");
  EXPECT_FALSE(helper->Join(nullptr));
  EXPECT_FALSE(helper->Join(""));
  EXPECT_FALSE(helper->AcceptPeer("", -5));
  EXPECT_FALSE(helper->AcceptPeer(kCarol, 0));
  EXPECT_FALSE(helper->AcceptPeer(kBob, INT_MAX));
  EXPECT_FALSE(helper->Reject(kCarol, 3));
  Flush("flush-w1-2");
  EXPECT_EQ(CountFor("Accept", sid), 0u);
  EXPECT_EQ(CountFor("Reject", sid), 0u);
  EXPECT_EQ(Count("Join"), 0u);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, sid));
    EXPECT_TRUE(lock->isFlag(HX_Conference::kFlagUnanswered | HX_Conference::kFlagAccepted));
  }
  // The notice itself (the fixture does not wire the client service's signal to the helper).
  helper->OnTryAcceptDirect(sid.c_str());
  helper->OnTryAcceptDirect(sid.c_str());
  helper->onDirectInviteTimeout(id, kBob);
  Flush("flush-w1-3");
  EXPECT_EQ(CountFor("Accept", sid), 1u);
}

// The conference a "Join" reply completes is deleted by a listener of the join result (the
// signal comes with the store released). Afterwards the active conference, if any, is a live one.
TEST_F(HostileCallFlowTest, ConferenceDeletedDuringItsJoinResultLeavesNoStaleActiveConference) {
  const std::string sid = "jd@127.0.0.1#vcs";
  AddConference(sid, "127.0.0.1#vcs", 5, ::conference::kStateRequested, kBob);
  struct Deleter {
    HX_ConfManager* manager;
    int calls = 0;
    void On(const char* SID, const char*, const char*, int) {
      ++calls;
      if (SID != nullptr) manager->DeleteConference(SID, false);
    }
  } deleter{cm.get()};
  cm->conferenceJoinResult.Connect(&deleter, &Deleter::On);
  Parse(Body("Join", [&](HX_Container& b) {
    b.AddValue("Result", int32_t{6});
    b.AddValue("Conference", sid.c_str());
    b.AddValue("Name", "room");
    b.AddValue("UserName", kBob);
    b.AddValue("CallId", sid.c_str());
    b.AddValue("Type", int32_t{5});
    b.AddValue("SubType", int32_t{3});
  }));
  EXPECT_EQ(deleter.calls, 1);
  ConferenceLock lock;
  if (cm->activeConferenceRLock(lock)) {
    EXPECT_NE(lock->getState(), ::conference::kStateDeleted);
  }
  lock.Unlock();
  ExpectStoreConsistent("after the join");
}

// Answers to the own room request that a hostile server garbles: results out of range or of
// another type, the SID missing, mistyped or huge, the answer repeated or naming a second SID.
// The request's conference either completes or goes; there is never more than one, and the store
// stays consistent.
TEST_F(HostileCallFlowTest, GarbledAnswersToTheOwnRoomRequest) {
  const std::string big = std::string(1 << 16, 'B') + "@127.0.0.1#vcs";
  struct Case {
    const char* name;
    std::vector<HX_Container> answers;
  };
  auto created = [](const BodyEdit& edit) { return Body("ConferenceCreated", edit); };
  const Case cases[] = {
      {"result INT_MAX", {created([](HX_Container& b) {
         b.AddValue("Result", int32_t{INT_MAX});
         b.AddValue("Name", "k1@127.0.0.1#vcs");
       })}},
      {"result INT_MIN", {created([](HX_Container& b) {
         b.AddValue("Result", int32_t{INT_MIN});
         b.AddValue("Name", "k2@127.0.0.1#vcs");
       })}},
      {"result as text", {created([](HX_Container& b) {
         b.AddValue("Result", "1");
         b.AddValue("Name", "k3@127.0.0.1#vcs");
       })}},
      {"no SID", {created([](HX_Container& b) { b.AddValue("Result", int32_t{1}); })}},
      {"SID as integer", {created([](HX_Container& b) {
         b.AddValue("Result", int32_t{1});
         b.AddValue("Name", int32_t{5});
       })}},
      {"huge SID", {created([&](HX_Container& b) {
         b.AddValue("Result", int32_t{1});
         b.AddValue("Name", big.c_str());
       })}},
      {"repeated, then a second SID",
       {created([](HX_Container& b) {
          b.AddValue("Result", int32_t{1});
          b.AddValue("Name", "k4@127.0.0.1#vcs");
        }),
        created([](HX_Container& b) {
          b.AddValue("Result", int32_t{1});
          b.AddValue("Name", "k4@127.0.0.1#vcs");
        }),
        created([](HX_Container& b) {
          b.AddValue("Result", int32_t{1});
          b.AddValue("Name", "k5@127.0.0.1#vcs");
        })}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCreateAnswer silence;
    silence.result = std::nullopt;
    m_conference->ScriptCreateAnswer(silence);
    ASSERT_TRUE(helper->CreateConferenceRoom<1>("room", "pw", true, {}, false));
    for (const HX_Container& answer : c.answers) {
      HX_Container body = answer;
      cm->ParseIncomimgMessage(body);
      ExpectStoreConsistent(c.name);
      unsigned requested = 0, joined = 0, deleted = 0;
      cm->getConferenceCount(requested, joined, deleted);
      EXPECT_LE(requested + joined, 1u);
    }
    // Clear the way for the next request.
    for (int i = 0; i < 5; ++i) {
      ConferenceLock lock;
      if (!cm->getConferenceAtStateLock(lock, ::conference::kStateRequested)) break;
      cm->DeleteConference(lock, false, true);
    }
  }
}

// Three threads feed invitations, accepts, rejects, deletions, creations and role events for a
// handful of SIDs while the host thread creates rooms, answers, joins and hangs up, with the
// invitation timers running short. Nothing hangs or crashes, every string a signal carried was
// readable, and the store is consistent afterwards.
TEST_F(HostileCallFlowTest, ManyMessagesWhileTheHostCreatesRoomsAndHangsUp) {
  const std::vector<std::string> sids = {"h0@127.0.0.1#vcs", "h1@127.0.0.1#vcs",
                                         "h2@127.0.0.1#vcs", "c1@127.0.0.1#vcs"};
  std::atomic<int> running{3};
  std::vector<std::thread> feeders;
  for (int t = 0; t < 3; ++t) {
    feeders.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string& sid = sids[(i * 3 + t) % sids.size()];
        const char* peer = (i + t) % 2 == 0 ? kBob : kCarol;
        HX_Container body;
        switch ((i + t) % 7) {
          case 0:
            body = InviteBody(sid, peer, i % 3 == 0 ? INT_MAX : 0);
            break;
          case 1:
            body = Body("Accept", [&](HX_Container& b) {
              b.AddValue("Instance", peer);
              b.AddValue("Conference", sid.c_str());
              b.AddValue("SymKey", "k");
            });
            break;
          case 2:
            body = Body("Reject", [&](HX_Container& b) {
              b.AddValue("Conference", sid.c_str());
              b.AddValue("Name", peer);
              b.AddValue("Cause", int32_t{i});
            });
            break;
          case 3:
            body = Body("ConferenceDeleted", [&](HX_Container& b) {
              b.AddValue("Name", sid.c_str());
              b.AddValue("Result", int32_t{0});
            });
            break;
          case 4:
            body = Body("InviteToMulti", [&](HX_Container& b) {
              b.AddValue("UserName", peer);
              b.AddValue("Conference", sid.c_str());
              b.AddValue("Type", int32_t{5});
              b.AddValue("SubType", int32_t{3});
            });
            break;
          case 5:
            body = Body("RoleEvent", [&](HX_Container& b) {
              b.AddValue("Conference", sid.c_str());
              b.AddValue("UserName", i % 2 == 0 ? kAlice : peer);
              b.AddValue("Type", int32_t{i % 5});
              b.AddValue("Role", int32_t{1 + i % 6});
            });
            break;
          default:
            body = Body("Join", [&](HX_Container& b) {
              b.AddValue("Result", int32_t{6});
              b.AddValue("Conference", sid.c_str());
              b.AddValue("Type", int32_t{5});
              b.AddValue("UserName", peer);
            });
            break;
        }
        cm->ParseIncomimgMessage(body);
      }
      --running;
    });
  }
  // The host keeps going for as long as the feeders do (the join below bounds the wait).
  for (int round = 0; round < 100 || (running > 0 && round < 100000); ++round) {
    switch (round % 5) {
      case 0:
        helper->CreateConferenceRoom<3>("room", "pw", true, {kBob, kCarol}, false);
        break;
      case 1:
        helper->AcceptPeer(kBob, 0);
        break;
      case 2:
        helper->Reject(kCarol, 3);
        break;
      case 3:
        helper->Join(sids[round % sids.size()].c_str());
        break;
      default:
        helper->Hangup(false);
        break;
    }
    helper->AcceptRole(nullptr, 0);
    std::this_thread::yield();
  }
  JoinAll(feeders, "message feeders");
  helper->Hangup(false);
  helper->stopConfHelperJobs();
  Flush("flush-end");
  ExpectStoreConsistent("after the storm");
  EXPECT_GT(sink.bytes.load(), 0u);
  EXPECT_GT(Count("CreateConference"), 0u);
}

}  // namespace
}  // namespace hx::testing
