// The conference service's "RoleEvent" messages against the fake server: the query and the
// answer as sent, and received events read into the participant record with their defaults, the
// preview keys only in their order and only for the podium role, and events dropped for unknown
// conferences and private calls.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/conference/model/participant_info.h"

namespace hx::testing {
namespace {

struct RoleEventSeen {
  std::string sid;
  std::string user;
  HX_Participant_Role role;
  HX_RoleEvent_Type type;
  HX_RoleInqury_Answer answer;
  ::conference::RoleInfoHolder info;
  std::vector<uint8_t> picture;  // copied while the event is delivered
};

class RoleEvents {
 public:
  void On(HX_Conference* conference, const char* user, HX_Participant_Role role,
          HX_RoleEvent_Type type, HX_RoleInqury_Answer answer,
          const ::conference::RoleInfoHolder& info) {
    RoleEventSeen seen{conference->getSID(), user, role, type, answer, info, {}};
    if (info.preview != nullptr) {
      const auto* bytes = static_cast<const uint8_t*>(info.preview);
      seen.picture.assign(bytes, bytes + info.previewSize);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_seen.push_back(seen);
  }
  std::vector<RoleEventSeen> Seen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_seen.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<RoleEventSeen> m_seen;
};

constexpr char kGroup[] = "grp@127.0.0.1#vcs";
constexpr char kCall[] = "call@127.0.0.1#vcs";

class RoleEventTest : public ConfServiceFixture {
 protected:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    if (HasFatalFailure()) return;
    cm->RoleEventSignal.Connect(&events, &RoleEvents::On);
  }
  // Sends `body` (a "RoleEvent" for `sid`) to alice, then a marker event for the group; returns
  // the events delivered before the marker.
  std::vector<RoleEventSeen> Deliver(HX_Container body) {
    body.AddValue("Method", "RoleEvent");
    EXPECT_TRUE(m_conference->SendToUser(kAlice, body));
    HX_Container marker;
    marker.AddValue("Method", "RoleEvent");
    marker.AddValue("Conference", kGroup);
    marker.AddValue("UserName", "marker");
    EXPECT_TRUE(m_conference->SendToUser(kAlice, marker));
    std::vector<RoleEventSeen> seen;
    EXPECT_TRUE(WaitFor(
        [&] {
          seen = events.Seen();
          return !seen.empty() && seen.back().user == "marker";
        },
        kTransportWaitMs));
    seen.pop_back();
    events.Clear();
    return seen;
  }
  RoleEvents events;
};

TEST_F(RoleEventTest, QueryAndAnswerAsSent) {
  const std::vector<uint8_t> picture = {1, 2, 3, 4, 5};
  ASSERT_TRUE(cm->QueryRole(kGroup, kBob, 3, 64, 48, picture.data(), picture.size()));
  // One of width, height, picture or size missing: no preview keys at all.
  ASSERT_TRUE(cm->QueryRole(kGroup, kBob, 3, 64, 48, picture.data(), 0));
  ASSERT_TRUE(cm->QueryRole(kGroup, kBob, 3, 0, 48, picture.data(), 5));
  ASSERT_TRUE(cm->QueryRole(kGroup, kBob, 4, 64, 48, nullptr, 5));
  // Sizes above 32 bits: the picture's byte count is the low 32 bits (none left here).
  ASSERT_TRUE(cm->QueryRole(kGroup, kBob, 3, 64, 48, picture.data(), 1ul << 32));
  ASSERT_TRUE(cm->AnswerRole(kGroup, kCarol, 5, 3));

  ReceivedMessage m;
  ASSERT_TRUE(Request("RoleEvent", &m, 0));
  EXPECT_EQ(KeysOf(m.body), (std::vector<std::string>{"Method", "Conference", "Type", "UserName",
                                                      "Role", "PreviewWidthParam",
                                                      "PreviewHeightParam", "PreviewBodyParam"}));
  EXPECT_EQ(IntOf(m.body, "Type"), 0);
  EXPECT_EQ(IntOf(m.body, "Role"), 3);
  EXPECT_EQ(IntOf(m.body, "PreviewWidthParam"), 64);
  EXPECT_EQ(IntOf(m.body, "PreviewHeightParam"), 48);
  size_t size = 0;
  const void* bytes = m.body.GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, size);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<const uint8_t*>(bytes),
                                 static_cast<const uint8_t*>(bytes) + size),
            picture);
  const std::vector<std::string> plain = {"Method", "Conference", "Type", "UserName", "Role"};
  for (size_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(Request("RoleEvent", &m, i));
    EXPECT_EQ(KeysOf(m.body), plain) << i;
  }
  ASSERT_TRUE(Request("RoleEvent", &m, 4));
  EXPECT_EQ(KeysOf(m.body),
            (std::vector<std::string>{"Method", "Conference", "Type", "UserName", "Role",
                                      "PreviewWidthParam", "PreviewHeightParam"}));
  ASSERT_TRUE(Request("RoleEvent", &m, 5));
  EXPECT_EQ(KeysOf(m.body), (std::vector<std::string>{"Method", "Conference", "Type", "UserName",
                                                      "Role", "Result"}));
  EXPECT_EQ(IntOf(m.body, "Type"), 1);
  EXPECT_EQ(TextOf(m.body, "UserName"), kCarol);
  EXPECT_EQ(IntOf(m.body, "Role"), 5);
  EXPECT_EQ(IntOf(m.body, "Result"), 3);
  EXPECT_EQ(m.frame.names.dst_service, "CONFERENCE");
}

TEST_F(RoleEventTest, ReceivedEventsAndTheirDefaults) {
  const int32_t group = AddConference(kGroup, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, group));
    lock->addPeer(kBob, 2);
    lock->setDeviceStatus(kBob, 0x3);
  }
  struct Case {
    const char* name;
    std::function<void(HX_Container&)> fill;
    HX_Participant_Role role;
    HX_RoleEvent_Type type;
    HX_RoleInqury_Answer answer;
    uint64_t flags;
    uint64_t width, height;
    size_t picture;
  };
  const std::vector<uint8_t> bytes(40, 5);
  const Case cases[] = {
      {"defaults", [](HX_Container&) {}, 1, 3, 1, 0, 0, 0, 0},
      {"flag bit 8", [](HX_Container& b) { b.AddValue("Role", int32_t{0x100}); }, 0, 3, 1, 0x1, 0,
       0, 0},
      {"operator and flags 17..19",
       [](HX_Container& b) {
         b.AddValue("Role", int32_t{0xE0002});
         b.AddValue("IsOperator", true);
         b.AddValue("Type", int32_t{2});
         b.AddValue("Result", int32_t{0});
       },
       2, 2, 0, 0x8 | 0x10 | 0x2 | 0x20, 0, 0, 0},
      {"width without height",
       [](HX_Container& b) {
         b.AddValue("Role", int32_t{3});
         b.AddValue("PreviewWidthParam", int32_t{320});
       },
       3, 3, 1, 0, 320, 0, 0},
      {"whole preview",
       [&](HX_Container& b) {
         b.AddValue("Role", int32_t{3});
         b.AddValue("PreviewWidthParam", int32_t{320});
         b.AddValue("PreviewHeightParam", int32_t{240});
         b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, bytes.data(), bytes.size());
       },
       3, 3, 1, 0, 320, 240, 40},
      {"picture without width",
       [&](HX_Container& b) {
         b.AddValue("Role", int32_t{3});
         b.AddValue("PreviewHeightParam", int32_t{240});
         b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, bytes.data(), bytes.size());
       },
       3, 3, 1, 0, 0, 0, 0},
      {"preview of another role",
       [&](HX_Container& b) {
         b.AddValue("Role", int32_t{4});
         b.AddValue("PreviewWidthParam", int32_t{320});
         b.AddValue("PreviewHeightParam", int32_t{240});
         b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, bytes.data(), bytes.size());
       },
       4, 3, 1, 0, 0, 0, 0},
      {"negative sizes",
       [&](HX_Container& b) {
         b.AddValue("Role", int32_t{3});
         b.AddValue("PreviewWidthParam", int32_t{-5});
         b.AddValue("PreviewHeightParam", int32_t{-7});
       },
       3, 3, 1, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HX_Container body;
    body.AddValue("Conference", kGroup);
    body.AddValue("UserName", kBob);
    c.fill(body);
    const std::vector<RoleEventSeen> seen = Deliver(body);
    ASSERT_EQ(seen.size(), 1u);
    const RoleEventSeen& e = seen[0];
    EXPECT_EQ(e.sid, kGroup);
    EXPECT_EQ(e.user, kBob);
    EXPECT_EQ(e.role, c.role);
    EXPECT_EQ(e.info.info.role, c.role);
    EXPECT_EQ(e.type, c.type);
    EXPECT_EQ(e.answer, c.answer);
    EXPECT_EQ(e.info.info.flags, c.flags);
    EXPECT_EQ(e.info.info.deviceStatus, 0x3);
    EXPECT_EQ(e.info.previewWidth, c.width);
    EXPECT_EQ(e.info.previewHeight, c.height);
    EXPECT_EQ(e.info.previewSize, c.picture);
    EXPECT_EQ(e.picture.size(), c.picture);
  }
}

TEST_F(RoleEventTest, EventsOutsideAGroupConferenceAreDropped) {
  AddConference(kGroup, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  AddConference(kCall, "127.0.0.1#vcs", 0, ::conference::kStateJoined);
  for (const char* sid : {kCall, "unknown@127.0.0.1#vcs", ""}) {
    SCOPED_TRACE(sid);
    HX_Container body;
    if (sid[0] != '\0') body.AddValue("Conference", sid);
    body.AddValue("UserName", kBob);
    EXPECT_TRUE(Deliver(body).empty());
  }
  // Without a user there is nobody the event is about.
  HX_Container body;
  body.AddValue("Conference", kGroup);
  EXPECT_TRUE(Deliver(body).empty());
}

}  // namespace
}  // namespace hx::testing
