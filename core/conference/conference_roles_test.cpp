// The call-flow helper's roles and podium: role events from the fake server reaching the right
// signal and the platform, answers to the last event, role requests, the own podium of a
// participant and of the owner, and the switch of a peer's video.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/conference/conference_helper_test_util.h"
#include "core/conference/store/conference_lock.h"

namespace hx::testing {
namespace {

// Every role signal of the helper and the platform's RoleEventOccuredSignal, one line each.
class RoleSignals {
 public:
  explicit RoleSignals(HX_ConferenceHelper& h, HX_ConfManager& manager) {
    h.roleQueryForPeer.Connect(this, &RoleSignals::QueryPeer);
    h.roleQueryForMe.Connect(this, &RoleSignals::QueryMe);
    h.roleAnswer.Connect(this, &RoleSignals::Answer);
    h.roleNoticeForPeer.Connect(this, &RoleSignals::NoticePeer);
    h.roleNoticeForMe.Connect(this, &RoleSignals::NoticeMe);
    h.roleChangeForPeer.Connect(this, &RoleSignals::ChangePeer);
    h.roleChangeForMe.Connect(this, &RoleSignals::ChangeMe);
    manager.RoleEventOccuredSignal.Connect(this, &RoleSignals::Platform);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  size_t Size() { return Lines().size(); }

 private:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
  }
  static std::string R(int32_t role) { return std::to_string(role); }
  void QueryPeer(const char* u, HX_Participant_Role r) {
    Add("queryPeer " + std::string(u) + " " + R(r));
  }
  void QueryMe(const char* owner, HX_Participant_Role r) {
    Add("queryMe " + std::string(owner) + " " + R(r));
  }
  void Answer(const char* u, HX_Participant_Role r, HX_RoleInqury_Answer a) {
    Add("answer " + std::string(u) + " " + R(r) + " " + R(a));
  }
  void NoticePeer(const char* u, HX_Participant_Role r) {
    Add("noticePeer " + std::string(u) + " " + R(r));
  }
  void NoticeMe(const char* u, HX_Participant_Role r) {
    Add("noticeMe " + std::string(u) + " " + R(r));
  }
  void ChangePeer(HX_Conference* c, const char* u, HX_Participant_Role r) {
    Add("changePeer " + c->getSID() + " " + u + " " + R(r));
  }
  void ChangeMe(HX_Conference* c, const char* u, HX_Participant_Role r) {
    Add("changeMe " + c->getSID() + " " + u + " " + R(r));
  }
  void Platform(const char* u, HX_Participant_Role r, HX_RoleEvent_Type t, HX_RoleInqury_Answer a,
                const ::conference::RoleInfoHolder& info) {
    Add("platform " + std::string(u) + " " + R(r) + " " + R(t) + " " + R(a) + " " +
        std::to_string(info.previewWidth));
  }

  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

constexpr char kSid[] = "role@127.0.0.1#vcs";

class ConferenceRolesTest : public HelperFixture {
 protected:
  // A joined role conference owned by `owner`, with bob as a peer; alice has `ownRole`.
  int32_t RoleConference(const char* owner, HX_Participant_Role ownRole = 1) {
    const int32_t id = AddConference(kSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined, owner);
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    if (std::string(owner) != kAlice) lock->setOwner(owner, false);
    lock->addPeer(kBob, 2);
    lock->ownInfo().role = ownRole;
    return id;
  }
  void ServerRoleEvent(const char* user, int32_t type, int32_t role, int32_t answer,
                       int32_t width = 0) {
    HX_Container body;
    body.AddValue("Method", "RoleEvent");
    body.AddValue("Conference", kSid);
    body.AddValue("UserName", user);
    body.AddValue("Type", type);
    body.AddValue("Role", role);
    body.AddValue("Result", answer);
    if (width != 0) {
      body.AddValue("PreviewWidthParam", width);
      body.AddValue("PreviewHeightParam", width / 2);
      const std::vector<uint8_t> picture(64, 7);
      body.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, picture.data(), picture.size());
    }
    ASSERT_TRUE(m_conference->SendToUser(kAlice, body));
  }
};

TEST_F(ConferenceRolesTest, RoleEventsReachTheirSignalAndThePlatform) {
  RoleConference(kCarol);
  RoleSignals signals(*helper, *cm);
  struct Case {
    const char* user;
    int32_t type;
    std::string line;
  };
  const std::string sid = kSid;
  const Case cases[] = {
      {kBob, 0, std::string("queryPeer ") + kBob + " 4"},
      {kAlice, 0, std::string("queryMe ") + kCarol + " 4"},
      {kBob, 1, std::string("answer ") + kBob + " 4 0"},
      {kAlice, 1, std::string("answer ") + kAlice + " 4 0"},
      {kBob, 2, std::string("noticePeer ") + kBob + " 4"},
      {kAlice, 2, std::string("noticeMe ") + kAlice + " 4"},
      {kBob, 3, "changePeer " + sid + " " + kBob + " 4"},
      {kAlice, 3, "changeMe " + sid + " " + kAlice + " 4"},
      {kBob, 7, ""},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ServerRoleEvent(c.user, c.type, 4, 0);
    expected += c.line.empty() ? 1 : 2;
    ASSERT_TRUE(WaitFor([&] { return signals.Size() == expected; }, kTransportWaitMs));
    const std::vector<std::string> lines = signals.Lines();
    if (!c.line.empty()) EXPECT_EQ(lines[expected - 2], c.line);
    EXPECT_EQ(lines.back(),
              "platform " + std::string(c.user) + " 4 " + std::to_string(c.type) + " 0 0");
  }
  // A role change of the own user reached the conference's own record.
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
  EXPECT_EQ(lock->getOwnRole(), 4);
}

// The stored event keeps the preview's sizes but not its picture, which lived in the message.
TEST_F(ConferenceRolesTest, AcceptRoleWithoutUserAnswersTheLastEvent) {
  RoleConference(kAlice);
  RoleSignals signals(*helper, *cm);
  ServerRoleEvent(kBob, 0, 3, 1, 320);
  ASSERT_TRUE(WaitFor([&] { return signals.Size() == 2; }, kTransportWaitMs));
  EXPECT_EQ(signals.Lines()[1], std::string("platform ") + kBob + " 3 0 1 320");
  const HX_ConferenceHelper::RoleEventHolder last = helper->lastRoleEvent();
  EXPECT_EQ(last.user, kBob);
  EXPECT_EQ(last.info.previewWidth, 320u);
  EXPECT_EQ(last.info.previewHeight, 160u);
  EXPECT_EQ(last.info.previewSize, 64u);
  EXPECT_EQ(last.info.preview, nullptr);

  ASSERT_TRUE(helper->AcceptRole(nullptr, 0));
  ASSERT_TRUE(helper->RejectRole(kCarol, 5));
  const HX_Container accept = Nth("RoleEvent");
  EXPECT_EQ(IntOf(accept, "Type"), 1);
  EXPECT_EQ(TextOf(accept, "UserName"), kBob);
  EXPECT_EQ(IntOf(accept, "Role"), 3);
  EXPECT_EQ(IntOf(accept, "Result"), 0);
  EXPECT_EQ(TextOf(accept, "Conference"), kSid);
  const HX_Container reject = Nth("RoleEvent", 1);
  EXPECT_EQ(TextOf(reject, "UserName"), kCarol);
  EXPECT_EQ(IntOf(reject, "Role"), 5);
  EXPECT_EQ(IntOf(reject, "Result"), 3);
}

TEST_F(ConferenceRolesTest, AnswersAndRequestsNeedAnActiveConference) {
  EXPECT_FALSE(helper->AcceptRole(kBob, 3));
  EXPECT_FALSE(helper->GotoPodium(0, 0, nullptr, 0));
  EXPECT_FALSE(helper->LeaveFromPodium());
  EXPECT_FALSE(helper->SayRemark(true));
}

// A participant asks for the podium; the preview goes along only up to 5120 bytes.
TEST_F(ConferenceRolesTest, ParticipantAsksForThePodium) {
  RoleConference(kCarol);
  const std::vector<uint8_t> picture(5121, 9);
  ASSERT_TRUE(helper->GotoPodium(160, 120, picture.data(), 5120));
  ASSERT_TRUE(helper->GotoPodium(160, 120, picture.data(), 5121));
  ASSERT_TRUE(helper->LeaveFromPodium());
  ASSERT_TRUE(helper->SayRemark(true));
  ASSERT_TRUE(helper->SayRemark(false));
  HX_Container body = Nth("RoleEvent");
  EXPECT_EQ(IntOf(body, "Type"), 0);
  EXPECT_EQ(TextOf(body, "UserName"), kAlice);
  EXPECT_EQ(IntOf(body, "Role"), 3);
  EXPECT_EQ(IntOf(body, "PreviewWidthParam"), 160);
  EXPECT_EQ(IntOf(body, "PreviewHeightParam"), 120);
  size_t size = 0;
  EXPECT_NE(body.GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, 5120u);
  body = Nth("RoleEvent", 1);
  EXPECT_EQ(IntOf(body, "Role"), 3);
  EXPECT_EQ(KeysOf(body),
            (std::vector<std::string>{"Method", "Conference", "Type", "UserName", "Role"}));
  EXPECT_EQ(IntOf(Nth("RoleEvent", 2), "Role"), 1);
  EXPECT_EQ(IntOf(Nth("RoleEvent", 3), "Role"), 5);
  EXPECT_EQ(IntOf(Nth("RoleEvent", 4), "Role"), 1);
  EXPECT_EQ(Count("ConnectSender"), 0u);
}

// The owner (or an operator) switches the own media at once and tells the server.
TEST_F(ConferenceRolesTest, OwnerAndOperatorSwitchTheirOwnMedia) {
  for (const char* owner : {kAlice, kCarol}) {
    SCOPED_TRACE(owner);
    const size_t base = Count("ConnectSender");
    const int32_t id = RoleConference(owner, owner == kAlice ? 1 : 2);
    struct Step {
      bool (*run)(HX_ConferenceHelper&);
      uint64_t filterAfter;
      int32_t announced;
    };
    const Step steps[] = {
        {[](HX_ConferenceHelper& h) { return h.LeaveFromPodium(); }, 0xC00, 0},
        {[](HX_ConferenceHelper& h) { return h.GotoPodium(0, 0, nullptr, 0); }, 0xF00, 0xF00},
        {[](HX_ConferenceHelper& h) { return h.SayRemark(false); }, 0xC00, 0},
        {[](HX_ConferenceHelper& h) { return h.SayRemark(true); }, 0xD00, 0xD00},
    };
    size_t index = base;
    for (const Step& step : steps) {
      ASSERT_TRUE(step.run(*helper));
      const HX_Container body = Nth("ConnectSender", index++);
      EXPECT_EQ(IntOf(body, "MediaFiltr"), step.announced);
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      EXPECT_EQ(lock->getSendFilter(), step.filterAfter);
    }
    EXPECT_EQ(Count("RoleEvent"), 0u);
    ASSERT_TRUE(cm->DeleteConference(kSid, false));
    ASSERT_TRUE(WaitFor([&] { return !Exists(kSid); }, kTransportWaitMs));
  }
}

TEST_F(ConferenceRolesTest, RoleRequestsForOthersAndForOneself) {
  RoleConference(kAlice);
  ASSERT_TRUE(helper->InviteToPodium(kBob));
  ASSERT_TRUE(helper->KickFromPodium(kBob));
  ASSERT_TRUE(helper->InquiryRole(kAlice, 2));
  const std::vector<uint8_t> picture(10, 1);
  ASSERT_TRUE(helper->inquiryRole(kSid, kBob, 5, 10, 10, picture.data(), 10));
  ASSERT_TRUE(helper->inquiryRole(kSid, kBob, 3, 10, 10, picture.data(), 10));
  struct Expect {
    const char* user;
    int32_t role;
    bool preview;
  };
  const Expect expected[] = {
      {kBob, 4, false}, {kBob, 1, false}, {kAlice, 2, false}, {kBob, 5, false}, {kBob, 3, true}};
  size_t index = 0;
  for (const Expect& e : expected) {
    const HX_Container body = Nth("RoleEvent", index++);
    EXPECT_EQ(TextOf(body, "Conference"), kSid);
    EXPECT_EQ(TextOf(body, "UserName"), e.user);
    EXPECT_EQ(IntOf(body, "Role"), e.role);
    EXPECT_EQ(IntOf(body, "PreviewWidthParam", 0), e.preview ? 10 : 0);
  }
  // The own user's podium request as owner switches the media instead of asking.
  ASSERT_TRUE(helper->InquiryRole(kAlice, 3));
  EXPECT_EQ(IntOf(Nth("ConnectSender"), "MediaFiltr"), 0xF00);
}

TEST_F(ConferenceRolesTest, PeerVideoSwitch) {
  const int32_t id = RoleConference(kAlice);
  struct Case {
    const char* peer;
    ::conference::ExtraVideo state;
    bool on;
    bool result;
    bool sends;
  };
  const Case cases[] = {
      {"nobody@fake.example", 0, true, false, false},
      {kBob, 2, true, false, false},
      {kBob, 0, true, true, false},
      {kBob, 1, false, true, false},
      {kBob, 0, false, false, true},  // the chat stand-in answers false
      {kBob, 1, true, false, true},
  };
  size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " " + std::to_string(c.state) + " " + (c.on ? "on" : "off"));
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      lock->getPeer(kBob)->updateExtraVideoState(c.state);
    }
    EXPECT_EQ(helper->switchPeerVideoFlow(id, c.peer, c.on), c.result);
    EXPECT_EQ(helper->switchPeerVideoFlow(std::string(kSid), c.peer, c.on), c.result);
    sent += c.sends ? 2 : 0;
    EXPECT_EQ(helper->chat().calls().Count("SendCommandSwitchVideoContent"), sent);
  }
  EXPECT_EQ(helper->chat().calls().Calls().back(),
            std::string("SendCommandSwitchVideoContent ") + kSid + " " + kBob + " true");
  EXPECT_FALSE(helper->switchPeerVideoFlow(9999, kBob, true));
  EXPECT_FALSE(helper->switchPeerVideoFlow(std::string("none"), kBob, true));
}

}  // namespace
}  // namespace hx::testing
