// "RoleEvent" messages as a hostile server sends them: keys missing or of another type, role
// words and event types beyond their tables, previews around the podium limit and far above it,
// events for conferences that are unknown, private or gone, and many events from several threads
// while conferences come and go. Whatever arrives, the event reaches the call flow only for a known
// group conference, with the store's lock held, with every value read as its key's default when
// the key is absent or of another type, and with a preview that is readable while it is delivered
// and never kept beyond that.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/conference/conference_helper_test_util.h"
#include "core/conference/model/participant_info.h"

namespace hx::testing {
namespace {

constexpr char kGroupSid[] = "g1@127.0.0.1#vcs";

struct Delivered {
  std::string sid;
  bool group = false;
  bool userNull = false;
  std::string user;
  HX_Participant_Role role = 0;
  HX_RoleEvent_Type type = 0;
  HX_RoleInqury_Answer answer = 0;
  ::conference::RoleInfoHolder info;
  bool hadPicture = false;
  std::vector<uint8_t> picture;  // copied while the event is delivered
  bool storeLockFree = false;    // another thread could take the store lock meanwhile
};

// Records every RoleEventSignal, reading the conference and the preview while it is delivered.
class RoleEventLog {
 public:
  explicit RoleEventLog(HX_ConfManager* manager, bool probeLock = false)
      : m_manager(manager), m_probeLock(probeLock) {}
  void On(HX_Conference* conference, const char* user, HX_Participant_Role role,
          HX_RoleEvent_Type type, HX_RoleInqury_Answer answer,
          const ::conference::RoleInfoHolder& info) {
    Delivered d;
    if (conference != nullptr) {
      d.sid = conference->getSID();
      d.group = conference->isGroupConf();
    }
    d.userNull = user == nullptr;
    if (user != nullptr) d.user = user;
    d.role = role;
    d.type = type;
    d.answer = answer;
    d.info = info;
    d.info.preview = nullptr;
    d.hadPicture = info.preview != nullptr;
    if (info.preview != nullptr) {
      const auto* bytes = static_cast<const uint8_t*>(info.preview);
      d.picture.assign(bytes, bytes + info.previewSize);
    }
    if (m_probeLock) {
      // The listener runs under the store's lock: another thread must not get it.
      d.storeLockFree = std::async(std::launch::async, [this] {
                          HXLock& lock = m_manager->StorageLock();
                          if (!lock.TryLock()) return false;
                          lock.Unlock();
                          return true;
                        }).get();
    }
    log.Add(std::move(d));
  }
  SignalLog<Delivered> log;

 private:
  HX_ConfManager* const m_manager;
  const bool m_probeLock;
};

using BodyEdit = std::function<void(HX_Container&)>;

HX_Container RoleEventBody(const char* sid, const BodyEdit& edit) {
  HX_Container body;
  body.AddValue("Method", "RoleEvent");
  if (sid != nullptr) body.AddValue("Conference", sid);
  edit(body);
  return body;
}

class HostileRoleEventTest : public HelperFixture {
 protected:
  void SetUp() override {
    HelperFixture::SetUp();
    if (HasFatalFailure()) return;
    cm->RoleEventSignal.Connect(&events, &RoleEventLog::On);
  }
  // Feeds a body as the network loop would; every "RoleEvent" is taken (true), whatever it holds.
  void Feed(HX_Container body) { EXPECT_TRUE(cm->ParseIncomimgMessage(body)); }
  // The one event a body produced (it is delivered on the calling thread).
  std::optional<Delivered> FeedOne(HX_Container body) {
    events.log.Clear();
    Feed(std::move(body));
    const auto seen = events.log.Values();
    EXPECT_LE(seen.size(), 1u);
    if (seen.empty()) return std::nullopt;
    return seen.front();
  }

  RoleEventLog events{nullptr};
};

// Role words, event types, answers and the operator flag: absent, of another type, or beyond
// their tables. An absent or mistyped key reads as its default (role 1, type 3, answer 1, not an
// operator); the role is the low byte of the word and the participant flags come from its bits
// 8, 18, 17 and 19; types and answers outside the tables pass through unchanged.
TEST_F(HostileRoleEventTest, KeysAbsentMistypedOrOutOfRangeReadAsDefaultsOrPassThrough) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  using PI = ::conference::ParticipantInfoHolder;
  const uint64_t kWordFlags = PI::kNotSending | PI::kFlagBit1 | PI::kFlagBit4 | PI::kFlagBit5;
  const uint8_t blob[4] = {3, 0, 0, 0};
  struct Case {
    const char* name;
    BodyEdit edit;
    HX_Participant_Role role;  // of the participant record (the low byte)
    uint64_t flags;
    HX_RoleEvent_Type type;
    HX_RoleInqury_Answer answer;
  };
  const Case cases[] = {
      {"nothing but the conference", [](HX_Container&) {}, 1, 0, 3, 1},
      {"Role 0x100", [](HX_Container& b) { b.AddValue("Role", int32_t{0x100}); }, 0,
       PI::kNotSending, 3, 1},
      {"Role bits 17..19", [](HX_Container& b) { b.AddValue("Role", int32_t{0xE0004}); }, 4,
       PI::kFlagBit4 | PI::kFlagBit1 | PI::kFlagBit5, 3, 1},
      {"Role INT_MIN", [](HX_Container& b) { b.AddValue("Role", int32_t{INT_MIN}); }, 0, 0, 3, 1},
      {"Role INT_MAX", [](HX_Container& b) { b.AddValue("Role", int32_t{INT_MAX}); }, 255,
       kWordFlags, 3, 1},
      {"Role -1", [](HX_Container& b) { b.AddValue("Role", int32_t{-1}); }, 255, kWordFlags, 3, 1},
      {"Role as text", [](HX_Container& b) { b.AddValue("Role", "3"); }, 1, 0, 3, 1},
      {"Role as 64-bit", [](HX_Container& b) { b.AddValue("Role", int64_t{3}); }, 1, 0, 3, 1},
      {"Type beyond the table", [](HX_Container& b) { b.AddValue("Type", int32_t{4}); }, 1, 0, 4,
       1},
      {"Type INT_MIN", [](HX_Container& b) { b.AddValue("Type", int32_t{INT_MIN}); }, 1, 0,
       INT_MIN, 1},
      {"Type as text", [](HX_Container& b) { b.AddValue("Type", "0"); }, 1, 0, 3, 1},
      {"Result INT_MAX",
       [](HX_Container& b) {
         b.AddValue("Type", int32_t{1});
         b.AddValue("Result", int32_t{INT_MAX});
       },
       1, 0, 1, INT_MAX},
      {"Result as a blob",
       [&](HX_Container& b) { b.AddValue("Result", HX_CNT_BINARY_VT, blob, sizeof(blob)); }, 1,
       0, 3, 1},
      {"IsOperator true", [](HX_Container& b) { b.AddValue("IsOperator", true); }, 1,
       PI::kOperator, 3, 1},
      {"IsOperator as integer", [](HX_Container& b) { b.AddValue("IsOperator", int32_t{1}); }, 1,
       0, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto seen = FeedOne(RoleEventBody(kGroupSid, [&](HX_Container& b) {
      b.AddValue("UserName", kBob);
      c.edit(b);
    }));
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->sid, kGroupSid);
    EXPECT_EQ(seen->user, kBob);
    EXPECT_EQ(seen->info.info.role, c.role);
    EXPECT_EQ(seen->info.info.flags, c.flags);
    EXPECT_EQ(seen->type, c.type);
    EXPECT_EQ(seen->answer, c.answer);
    EXPECT_FALSE(seen->hadPicture);
  }
}

// "UserName" absent, of another type or a megabyte long. An event that names nobody may be
// dropped; one that is delivered names a user, never a null pointer, and a long one arrives whole.
TEST_F(HostileRoleEventTest, UserNameAbsentMistypedOrHuge) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  const std::string huge(1 << 20, 'u');
  struct Case {
    const char* name;
    BodyEdit edit;
    bool mustArrive;
    std::string user;
  };
  const Case cases[] = {
      {"absent", [](HX_Container&) {}, false, ""},
      {"integer", [](HX_Container& b) { b.AddValue("UserName", int32_t{7}); }, false, ""},
      {"empty", [](HX_Container& b) { b.AddValue("UserName", ""); }, false, ""},
      {"huge", [&](HX_Container& b) { b.AddValue("UserName", huge.c_str()); }, true, huge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto seen = FeedOne(RoleEventBody(kGroupSid, c.edit));
    EXPECT_TRUE(seen.has_value() || !c.mustArrive);
    if (!seen) continue;
    EXPECT_FALSE(seen->userNull);
    EXPECT_EQ(seen->user, c.user);
  }
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, kGroupSid));
  EXPECT_EQ(lock->getState(), ::conference::kStateJoined);
}

// Previews of a podium request: read only for role 3 (the low byte), each key only after the one
// before it was present, the picture whole and readable while delivered, whatever its size.
TEST_F(HostileRoleEventTest, PreviewKeysInOrderAndPicturesOfAnySize) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  struct Case {
    const char* name;
    int32_t role;
    std::optional<int32_t> width;
    std::optional<int32_t> height;
    std::optional<size_t> bytes;
    uint64_t expectWidth, expectHeight;
    bool expectPicture;
  };
  const Case cases[] = {
      {"an empty picture", 3, 320, 240, 0, 320, 240, true},
      {"one byte", 3, 320, 240, 1, 320, 240, true},
      {"at the podium limit", 3, 320, 240, 5120, 320, 240, true},
      {"one byte beyond", 3, 320, 240, 5121, 320, 240, true},
      {"four megabytes", 3, 320, 240, 4u << 20, 320, 240, true},
      {"width only", 3, 320, std::nullopt, 5120, 320, 0, false},
      {"no width", 3, std::nullopt, 240, 5120, 0, 0, false},
      {"flags over role 3", 0x103, 320, 240, 16, 320, 240, true},
      {"invitation to the podium", 4, 320, 240, 16, 0, 0, false},
      {"remark", 5, 320, 240, 16, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> picture(c.bytes.value_or(0));
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + 1);
    const auto seen = FeedOne(RoleEventBody(kGroupSid, [&](HX_Container& b) {
      b.AddValue("UserName", kBob);
      b.AddValue("Role", c.role);
      if (c.width) b.AddValue("PreviewWidthParam", *c.width);
      if (c.height) b.AddValue("PreviewHeightParam", *c.height);
      if (c.bytes) {
        b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, picture.data(), picture.size());
      }
    }));
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->info.info.role, c.role & 0xFF);
    EXPECT_EQ(seen->info.previewWidth, c.expectWidth);
    EXPECT_EQ(seen->info.previewHeight, c.expectHeight);
    EXPECT_EQ(seen->hadPicture, c.expectPicture);
    if (c.expectPicture) {
      EXPECT_EQ(seen->info.previewSize, picture.size());
      EXPECT_EQ(seen->picture, picture);
    } else {
      EXPECT_EQ(seen->info.previewSize, 0u);
    }
  }
}

// Keys of the preview in another type: a text width is no width, a text picture no picture.
TEST_F(HostileRoleEventTest, MistypedPreviewKeysAreAbsent) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  const auto textWidth = FeedOne(RoleEventBody(kGroupSid, [](HX_Container& b) {
    b.AddValue("UserName", kBob);
    b.AddValue("Role", int32_t{3});
    b.AddValue("PreviewWidthParam", "320");
    b.AddValue("PreviewHeightParam", int32_t{240});
    const uint8_t bytes[3] = {1, 2, 3};
    b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, bytes, sizeof(bytes));
  }));
  ASSERT_TRUE(textWidth.has_value());
  EXPECT_EQ(textWidth->info.previewWidth, 0u);
  EXPECT_EQ(textWidth->info.previewHeight, 0u);
  EXPECT_FALSE(textWidth->hadPicture);

  const auto textPicture = FeedOne(RoleEventBody(kGroupSid, [](HX_Container& b) {
    b.AddValue("UserName", kBob);
    b.AddValue("Role", int32_t{3});
    b.AddValue("PreviewWidthParam", int32_t{320});
    b.AddValue("PreviewHeightParam", int32_t{240});
    b.AddValue("PreviewBodyParam", "not a picture");
  }));
  ASSERT_TRUE(textPicture.has_value());
  EXPECT_EQ(textPicture->info.previewWidth, 320u);
  EXPECT_EQ(textPicture->info.previewHeight, 240u);
  EXPECT_FALSE(textPicture->hadPicture);
  EXPECT_EQ(textPicture->info.previewSize, 0u);
}

// Only a known group conference hears of a role event, in whichever state it is; the event is
// delivered with the store's lock held.
TEST_F(HostileRoleEventTest, OnlyKnownGroupConferencesHearRoleEventsUnderTheStoreLock) {
  RoleEventLog probing(cm.get(), true);
  cm->RoleEventSignal.Connect(&probing, &RoleEventLog::On);
  AddConference("private@127.0.0.1#vcs", "127.0.0.1#vcs", 0, ::conference::kStateJoined);
  struct Case {
    const char* name;
    const char* sid;  // null: no "Conference" key
    bool heard;
  };
  const Case cases[] = {
      {"unknown SID", "nobody@127.0.0.1#vcs", false},
      {"no Conference key", nullptr, false},
      {"empty SID", "", false},
      {"private call", "private@127.0.0.1#vcs", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    probing.log.Clear();
    Feed(RoleEventBody(c.sid, [](HX_Container& b) { b.AddValue("UserName", kBob); }));
    EXPECT_EQ(probing.log.Size(), c.heard ? 1u : 0u);
  }
  // "Conference" of another type names no conference either.
  probing.log.Clear();
  Feed(RoleEventBody(nullptr, [](HX_Container& b) {
    b.AddValue("Conference", int32_t{1});
    b.AddValue("UserName", kBob);
  }));
  EXPECT_EQ(probing.log.Size(), 0u);

  // A group conference still waiting for the server, then joined: both hear it, under the lock.
  ConferenceLock lock;
  ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "pw", kAlice, 16, 0, 5, 3, 0,
                                                     "topic", false));
  ASSERT_TRUE(cm->storageCreateConferenceCommit(lock, kGroupSid, 1));
  lock.Unlock();
  for (const bool joined : {false, true}) {
    SCOPED_TRACE(joined ? "joined" : "requested");
    if (joined) {
      ConferenceLock again;
      ASSERT_TRUE(cm->getConferenceLock(again, kGroupSid));
      again->setState(again, ::conference::kStateJoined);
    }
    probing.log.Clear();
    Feed(RoleEventBody(kGroupSid, [](HX_Container& b) { b.AddValue("UserName", kBob); }));
    const auto seen = probing.log.Values();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].sid, kGroupSid);
    EXPECT_TRUE(seen[0].group);
    EXPECT_FALSE(seen[0].storeLockFree);
  }
}

// The call flow keeps the last role event; its preview pointed into a message that is gone once
// the event has been delivered, so what is kept must not point there any more.
TEST_F(HostileRoleEventTest, LastRoleEventKeepsNoPointerIntoTheMessage) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  {
    HX_Container body = RoleEventBody(kGroupSid, [](HX_Container& b) {
      b.AddValue("UserName", kBob);
      b.AddValue("Role", int32_t{3});
      b.AddValue("Type", int32_t{0});
      b.AddValue("PreviewWidthParam", int32_t{64});
      b.AddValue("PreviewHeightParam", int32_t{48});
      const std::vector<uint8_t> picture(4096, 0x5A);
      b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, picture.data(), picture.size());
    });
    Feed(std::move(body));
  }
  const HX_ConferenceHelper::RoleEventHolder last = helper->lastRoleEvent();
  EXPECT_EQ(last.user, kBob);
  EXPECT_EQ(last.role, 3);
  EXPECT_EQ(last.info.preview, nullptr) << "the kept event points into a freed message";
}

// Event types and roles beyond their tables reach the call flow: none of its role signals fires,
// the platform still hears of the event, and answering the last event names its user and role.
TEST_F(HostileRoleEventTest, CallFlowTakesEventsBeyondItsTables) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  SignalLog<std::string> roleSignals;
  auto note = [&](const char* what) { roleSignals.Add(what); };
  struct Any {
    std::function<void()> f;
    void Two(const char*, HX_Participant_Role) { f(); }
    void Three(const char*, HX_Participant_Role, HX_RoleInqury_Answer) { f(); }
    void Change(HX_Conference*, const char*, HX_Participant_Role) { f(); }
  };
  Any any{[&] { note("role signal"); }};
  helper->roleQueryForPeer.Connect(&any, &Any::Two);
  helper->roleNoticeForPeer.Connect(&any, &Any::Two);
  helper->roleQueryForMe.Connect(&any, &Any::Two);
  helper->roleNoticeForMe.Connect(&any, &Any::Two);
  helper->roleAnswer.Connect(&any, &Any::Three);
  helper->roleChangeForPeer.Connect(&any, &Any::Change);
  helper->roleChangeForMe.Connect(&any, &Any::Change);
  struct Platform {
    SignalLog<std::tuple<std::string, HX_Participant_Role, HX_RoleEvent_Type>> log;
    void On(const char* user, HX_Participant_Role role, HX_RoleEvent_Type type,
            HX_RoleInqury_Answer, const ::conference::RoleInfoHolder&) {
      log.Add({user != nullptr ? user : "(null)", role, type});
    }
  } platform;
  cm->RoleEventOccuredSignal.Connect(&platform, &Platform::On);

  const int32_t types[] = {4, -1, INT_MIN, INT_MAX};
  const int32_t roleWords[] = {0xFF, 0, INT_MIN, 0x7FFF00FF};
  for (const char* user : {kBob, kAlice}) {
    for (const int32_t type : types) {
      for (const int32_t word : roleWords) {
        SCOPED_TRACE(std::string(user) + " type " + std::to_string(type) + " role " +
                     std::to_string(word));
        platform.log.Clear();
        Feed(RoleEventBody(kGroupSid, [&](HX_Container& b) {
          b.AddValue("UserName", user);
          b.AddValue("Type", type);
          b.AddValue("Role", word);
        }));
        ASSERT_EQ(platform.log.Size(), 1u);
        EXPECT_EQ(std::get<0>(platform.log.Values()[0]), user);
        EXPECT_EQ(std::get<2>(platform.log.Values()[0]), type);
      }
    }
  }
  EXPECT_EQ(roleSignals.Size(), 0u);
  // The conference is still there and readable.
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, kGroupSid));
  EXPECT_EQ(lock->getState(), ::conference::kStateJoined);
  lock.Unlock();

  // Answering the last event (alice, the last role word's role) with no user named.
  const HX_ConferenceHelper::RoleEventHolder last = helper->lastRoleEvent();
  EXPECT_EQ(last.user, kAlice);
  EXPECT_EQ(last.type, INT_MAX);
  ASSERT_TRUE(helper->AcceptRole(nullptr, 0));
  const HX_Container answer = Nth("RoleEvent");
  EXPECT_EQ(TextOf(answer, "UserName"), kAlice);
  EXPECT_EQ(IntOf(answer, "Role"), last.role);
  EXPECT_EQ(IntOf(answer, "Result"), 0);
  EXPECT_EQ(IntOf(answer, "Type"), 1);
}

// The own podium request of a participant who is neither owner nor operator carries its preview
// only up to 5120 bytes; a larger one (however large) goes without it, and without a picture the
// request names no picture size either. A request for another user's role never carries one.
TEST_F(HostileRoleEventTest, PodiumRequestsCarryPicturesUpToTheLimit) {
  AddConference(kGroupSid, "127.0.0.1#vcs", 5, ::conference::kStateJoined, kBob);
  const std::vector<uint8_t> picture(8u << 20, 0x3C);
  const unsigned long sizes[] = {1, 5119, 5120, 5121, 8u << 20};
  size_t index = 0;
  for (const unsigned long size : sizes) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(helper->GotoPodium(64, 48, picture.data(), size));
    const HX_Container query = Nth("RoleEvent", index++);
    EXPECT_EQ(IntOf(query, "Type"), 0);
    EXPECT_EQ(IntOf(query, "Role"), 3);
    EXPECT_EQ(TextOf(query, "UserName"), kAlice);
    size_t sent = 0;
    const bool carried = query.GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, sent) != nullptr;
    EXPECT_EQ(carried, size <= 5120);
    if (carried) EXPECT_EQ(sent, size);
    if (!carried) EXPECT_EQ(IntOf(query, "PreviewWidthParam"), -12345);
  }
  // No picture at all, or a picture of 0 bytes: only the role is asked for.
  ASSERT_TRUE(helper->GotoPodium(64, 48, nullptr, 100));
  ASSERT_TRUE(helper->GotoPodium(64, 48, picture.data(), 0));
  for (int i = 0; i < 2; ++i) {
    const HX_Container query = Nth("RoleEvent", index++);
    EXPECT_EQ(IntOf(query, "Role"), 3);
    EXPECT_EQ(IntOf(query, "PreviewWidthParam"), -12345);
    EXPECT_EQ(IntOf(query, "PreviewHeightParam"), -12345);
    size_t sent = 0;
    EXPECT_EQ(query.GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, sent), nullptr);
  }
  // Another user's podium invitation, with a picture of any size: no picture goes along.
  ASSERT_TRUE(helper->inquiryRole(kGroupSid, kCarol, 4, 64, 48, picture.data(), 100));
  const HX_Container invite = Nth("RoleEvent", index++);
  EXPECT_EQ(IntOf(invite, "Role"), 4);
  EXPECT_EQ(TextOf(invite, "UserName"), kCarol);
  size_t sent = 0;
  EXPECT_EQ(invite.GetValueRef("PreviewBodyParam", HX_CNT_BINARY_VT, sent), nullptr);
}

// Several threads feed role events (each naming its conference in the user) while the host
// thread creates and deletes the conferences they name. Every delivered event comes with the
// conference it names, and the store stays readable.
TEST_F(HostileRoleEventTest, ConcurrentEventsWhileConferencesComeAndGo) {
  const std::vector<std::string> sids = {"r0@127.0.0.1#vcs", "r1@127.0.0.1#vcs",
                                         "r2@127.0.0.1#vcs"};
  std::atomic<int> mismatches{0};
  std::atomic<int> delivered{0};
  struct Checker {
    std::atomic<int>* mismatches;
    std::atomic<int>* delivered;
    void On(HX_Conference* conference, const char* user, HX_Participant_Role,
            HX_RoleEvent_Type, HX_RoleInqury_Answer, const ::conference::RoleInfoHolder& info) {
      ++*delivered;
      // The user is "u:" + the SID the message named.
      if (conference == nullptr || user == nullptr ||
          std::string("u:") + conference->getSID() != user) {
        ++*mismatches;
      }
      if (info.preview != nullptr) {
        volatile uint8_t sum = 0;
        const auto* bytes = static_cast<const uint8_t*>(info.preview);
        for (uint64_t i = 0; i < info.previewSize; ++i) sum = sum + bytes[i];
      }
    }
  } checker{&mismatches, &delivered};
  cm->RoleEventSignal.Connect(&checker, &Checker::On);

  std::atomic<bool> stop{false};
  std::vector<std::thread> feeders;
  for (int t = 0; t < 3; ++t) {
    feeders.emplace_back([&, t] {
      const std::vector<uint8_t> picture(5121, static_cast<uint8_t>(t));
      for (int i = 0; i < 300 && !stop; ++i) {
        const std::string& sid = sids[(i + t) % sids.size()];
        HX_Container body = RoleEventBody(sid.c_str(), [&](HX_Container& b) {
          b.AddValue("UserName", ("u:" + sid).c_str());
          b.AddValue("Type", int32_t{i % 5});
          b.AddValue("Role", int32_t{3});
          b.AddValue("PreviewWidthParam", int32_t{8});
          b.AddValue("PreviewHeightParam", int32_t{8});
          b.AddValue("PreviewBodyParam", HX_CNT_BINARY_VT, picture.data(), picture.size());
        });
        cm->ParseIncomimgMessage(body);
        if (i % 7 == 0) helper->AcceptRole(nullptr, 0);
      }
    });
  }
  int created = 0;
  for (int round = 0; round < 60; ++round) {
    const std::string& sid = sids[round % sids.size()];
    {
      ConferenceLock lock;
      if (cm->storageRequestCreateConferenceLock(lock, "room", "pw", kAlice, 16, 0, 5, 3, 0, "t",
                                                 false) &&
          cm->storageCreateConferenceCommit(lock, sid.c_str(), 1)) {
        lock->setState(lock, ::conference::kStateJoined);
        ++created;
      }
    }
    std::this_thread::yield();
    cm->DeleteConference(sid.c_str(), false);
  }
  stop = true;
  auto joined = std::async(std::launch::async, [&] {
    for (auto& f : feeders) f.join();
  });
  if (joined.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "role-event feeders did not finish: a deadlock\n");
    std::abort();
  }
  EXPECT_GT(created, 0);
  EXPECT_GT(delivered.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
  for (const std::string& sid : sids) {
    ConferenceLock lock;
    if (cm->getConferenceLock(lock, sid)) {
      EXPECT_EQ(lock->getSID(), sid);
      EXPECT_EQ(lock->getState(), ::conference::kStateDeleted) << sid;
    }
  }
}

}  // namespace
}  // namespace hx::testing
