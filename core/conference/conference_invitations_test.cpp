// The call-flow helper's invitation half against the fake server: an invitation shown to the
// user, left unanswered or accepted, the accept that waits for the direct-connection tests,
// rejecting, joining by SID, hanging up and the end of a conference.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/client/fsm_shared.h"
#include "core/conference/conference_helper_test_util.h"
#include "core/conference/store/conference_lock.h"

namespace hx::testing {
namespace {

class ConferenceInvitationsTest : public HelperFixture {
 protected:
  // Timers that do not fire within a test: the test runs the handlers itself.
  void LongTimers() {
    HX_ConferenceHelper::Delays delays;
    delays.ping = 100000;
    helper->setDelaysForTest(delays);
  }
  int32_t IdOf(const std::string& sid) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, sid) ? lock->getId() : 0;
  }
  uint32_t FlagsOf(const std::string& sid) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, sid) ? lock->flags() : 0;
  }
};

struct Notice {
  std::vector<std::tuple<std::string, std::string, std::string, int32_t>> seen;
  void On(const char* peer, const char* name, const char* sid, const char*, HX_Conference_Type type,
          bool) {
    seen.emplace_back(peer, name, sid, type);
  }
};

// Shown to the user, never answered: after the accept time the call is rejected with cause 16
// and the conference deleted.
TEST_F(ConferenceInvitationsTest, UnansweredInvitationIsRejectedAndDeleted) {
  Notice notice;
  cm->InviteNoticeSignal.Connect(&notice, &Notice::On);
  const std::string sid = InviteFromBob("c1@127.0.0.1#vcs", 0);
  const HX_Container reject = Nth("Reject");
  EXPECT_EQ(TextOf(reject, "Conference"), sid);
  EXPECT_EQ(IntOf(reject, "Cause"), 16);
  // Deleted, and the server told.
  EXPECT_EQ(TextOf(Nth("DeleteConference"), "Name"), sid);
  ConferenceLock lock;
  if (cm->getConferenceLock(lock, sid)) EXPECT_EQ(lock->getState(), ::conference::kStateDeleted);
  ASSERT_EQ(notice.seen.size(), 1u);
  EXPECT_EQ(notice.seen[0], std::make_tuple(std::string(kBob), std::string("Bob"), sid, 0));
}

TEST_F(ConferenceInvitationsTest, AcceptedInvitationOutlivesTheAcceptTime) {
  LongTimers();
  const std::string sid = InviteFromBob("c2@127.0.0.1#vcs", 0);
  // No direct connection to wait for: "Accept" goes at once.
  ASSERT_TRUE(helper->AcceptPeer(kBob, 0));
  EXPECT_EQ(TextOf(Nth("Accept"), "Conference"), sid);
  EXPECT_EQ(FlagsOf(sid) & (HX_Conference::kFlagAccepted | HX_Conference::kFlagUnanswered),
            HX_Conference::kFlagAccepted);
  helper->OnUIAcceptTimeout(sid, kBob);
  Flush("mark");
  EXPECT_TRUE(Exists(sid));
  EXPECT_EQ(Count("Reject"), 0u);
}

// The inviter's direct-connection type is undefined: the accept waits for the tests and goes out
// once, whichever of the timers and the inviter's notice comes first.
TEST_F(ConferenceInvitationsTest, AcceptWaitsForTheDirectConnectionTests) {
  const std::string sid = InviteFromBob("c3@127.0.0.1#vcs", 4);
  // The short timers are running; until the accept none of them sends anything.
  ASSERT_TRUE(helper->AcceptPeer(kBob, IdOf(sid)));
  ASSERT_TRUE(WaitFor([&] { return Count("Accept") == 1; }, kTransportWaitMs));
  EXPECT_TRUE(Exists(sid));
  // Another timer run finds the flag cleared.
  helper->onDirectInviteTimeout(IdOf(sid), kBob);
  helper->OnTryAcceptDirect(sid.c_str());
  Flush("mark");
  EXPECT_EQ(Count("Accept"), 1u);
}

TEST_F(ConferenceInvitationsTest, InvitersDirectNoticeSendsTheWaitingAccept) {
  LongTimers();
  const std::string sid = InviteFromBob("c4@127.0.0.1#vcs", 4);
  // Before the user accepts, the notice does nothing.
  helper->OnTryAcceptDirect(sid.c_str());
  ASSERT_TRUE(helper->AcceptPeer(kBob, IdOf(sid)));
  Flush("mark-1");
  EXPECT_EQ(Count("Accept"), 0u);
  helper->OnTryAcceptDirect(sid.c_str());
  ASSERT_TRUE(WaitFor([&] { return Count("Accept") == 1; }, kTransportWaitMs));
  helper->onDirectInviteTimeout(IdOf(sid), kBob);
  Flush("mark-2");
  EXPECT_EQ(Count("Accept"), 1u);
}

TEST_F(ConferenceInvitationsTest, AcceptOfAGroupConferenceJoinsIt) {
  LongTimers();
  const int32_t id =
      AddConference("g1@127.0.0.1#vcs", "127.0.0.1#vcs", 5, ::conference::kStateRequested, kCarol);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->setOwner(kCarol, false);
  }
  ASSERT_TRUE(helper->AcceptPeer("", id));
  const HX_Container join = Nth("Join");
  EXPECT_EQ(TextOf(join, "Name"), "g1@127.0.0.1#vcs");
  EXPECT_EQ(TextOf(join, "Password"), "pw");
  EXPECT_EQ(IntOf(join, "Type"), 5);
  // Nothing to accept: false.
  EXPECT_FALSE(helper->AcceptPeer("nobody@fake.example", 0));
  EXPECT_FALSE(helper->AcceptPeer("", 9999));
}

TEST_F(ConferenceInvitationsTest, RejectDeletesAnInvitationButKeepsAJoinedConference) {
  LongTimers();
  EXPECT_FALSE(helper->Reject(kBob, 2));
  const std::string sid = InviteFromBob("c5@127.0.0.1#vcs", 0);
  EXPECT_TRUE(helper->Reject(kBob, 2));
  HX_Container reject = Nth("Reject");
  EXPECT_EQ(IntOf(reject, "Cause"), 2);
  EXPECT_EQ(TextOf(reject, "Conference"), sid);
  ASSERT_TRUE(WaitFor([&] { return !Exists(sid); }, kTransportWaitMs));

  const std::string joined = InviteFromBob("c6@127.0.0.1#vcs", 0);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, joined));
    lock->setState(lock, ::conference::kStateJoined);
  }
  // An empty peer: the active call, answered to its call id.
  EXPECT_TRUE(helper->Reject("", 11));
  reject = Nth("Reject", 1);
  EXPECT_EQ(IntOf(reject, "Cause"), 11);
  EXPECT_EQ(TextOf(reject, "Conference"), joined);
  EXPECT_TRUE(Exists(joined));
}

TEST_F(ConferenceInvitationsTest, JoinBySid) {
  EXPECT_FALSE(helper->Join(nullptr));
  EXPECT_FALSE(helper->Join(""));
  // A SID the store does not hold: type 5, no password.
  ASSERT_TRUE(helper->Join("far@127.0.0.1#vcs"));
  const HX_Container join = Nth("Join");
  EXPECT_EQ(IntOf(join, "Type"), 5);
  EXPECT_EQ(TextOf(join, "Password"), "");
  EXPECT_EQ(TextOf(join, "Name"), "far@127.0.0.1#vcs");
}

TEST_F(ConferenceInvitationsTest, HangupAndDeletion) {
  EXPECT_FALSE(helper->Hangup(true));
  AddConference("h1@127.0.0.1#vcs", "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  EXPECT_TRUE(helper->Hangup(true));
  const HX_Container hangup = Nth("Hangup");
  EXPECT_EQ(TextOf(hangup, "Conference"), "h1@127.0.0.1#vcs");
  EXPECT_EQ(IntOf(hangup, "Result"), 1);

  m_client->fsm->PushLStatus(kBob, HX_LStatus(3));
  helper->OnConferenceDeleted("far@127.0.0.1#vcs", 0);
  EXPECT_TRUE(m_client->fsm->GetLStatusList().empty());
}

}  // namespace
}  // namespace hx::testing
