// A hostile presence server, written from the protocol alone: status lists and participant lists
// with entries before any user, values of the wrong type, garbage extended statuses, lists for
// conferences that are unknown or deleted, types out of range and huge lists. Each row names what
// may change; everything else must stay as it was (statuses, contacts, the conferences' peers) and
// no signal may report more than the row allows.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/presence/presence_test_util.h"

namespace hx::testing {
namespace {

using Lines = std::vector<std::string>;

class HostilePresenceTest : public PresenceFixture {
 protected:
  static constexpr const char* kRoom = "room@conf.test.invalid";
  static constexpr const char* kGone = "gone@conf.test.invalid";

  void SetUp() override {
    PresenceFixture::SetUp();
    fsm->PushContact(nullptr, "bob@x", "Bob", USER_BUSY, 0);
    fsm->SetStatus("bob@x", USER_BUSY);
    room = Conference(kRoom, false);
    Conference(kGone, true);
  }
  int32_t Conference(const char* sid, bool deleted) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kMe, 16, 0, 5, 0, 0, nullptr, false));
    const int32_t id = lock ? lock->getId() : 0;
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid, 1));
    lock.Unlock();
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    lock->setState(lock, ::conference::kStateJoined);
    lock->addPeer("bob@x", 6);
    if (deleted) lock->close(lock);
    return id;
  }
  std::string Peers() {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, room));
    std::set<::conference::PeerId> ids;
    lock->getConferenceIdList(ids);
    std::string out;
    for (const auto& peer : ids) out += peer.id + ";";
    return out;
  }

  int32_t room = 0;
};

HX_Container Body(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

TEST_F(HostilePresenceTest, HostileStatusListsChangeOnlyWhatTheyName) {
  const struct {
    const char* name;
    std::function<void(HX_Container&)> fill;
    Lines lines;
  } cases[] = {
      {"status before any user",
       [](HX_Container& b) {
         b.AddValue("UserPresStatus", 5);
         b.AddValue("ExtSt", HX_Container());
       },
       {"begin part", "end"}},
      {"user id of the wrong types",
       [](HX_Container& b) {
         b.AddValue("CallId", 1);
         b.AddValue("UserPresStatus", 5);
         b.AddValue("CallId", true);
         b.AddValue("UserPresStatus", 5);
         b.AddValue("CallId", HX_CNT_BINARY_VT, "bob@x", 5);
         b.AddValue("UserPresStatus", 5);
       },
       {"begin part", "end"}},
      {"a valid user after a wrong one",
       [](HX_Container& b) {
         b.AddValue("CallId", 1);
         b.AddValue("UserPresStatus", 5);
         b.AddValue("CallId", "bob@x");
         b.AddValue("UserPresStatus", int64_t{4});  // not an int32: offline
       },
       {"begin part", "status bob@x 0", "end"}},
      {"garbage extended statuses",
       [](HX_Container& b) {
         b.AddValue("CallId", "bob@x");
         b.AddValue("ExtSt", HX_CNT_BINARY_VT, "", 0);
         b.AddValue("ExtSt", HX_CNT_BINARY_VT, "\xff\xff\xff\xff\x01", 5);
         b.AddValue("ExtSt", 3);
       },
       {"begin part", "end"}},
      {"sequence and cause of the wrong types",
       [](HX_Container& b) {
         b.AddValue("SeqID", "12");
         b.AddValue("Cause", "1");  // not a complete list
       },
       {"begin part", "end"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fsm->SetStatus("bob@x", USER_BUSY);
    fsm->updateContactStatus("bob@x", USER_BUSY);
    recorder.Clear();
    HX_Container body = Body("UpdateStatus");
    c.fill(body);
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(recorder.Lines(), c.lines);
    EXPECT_EQ(fsm->StatusCount(), 1u);
    const HX_UserPresence_Status expected = c.lines.size() > 2 ? USER_LOGOFF : USER_BUSY;
    EXPECT_EQ(fsm->GetStatus("bob@x"), expected);
    EXPECT_EQ(fsm->SearchContact("bob@x")->status, expected);
    EXPECT_EQ(fsm->ExtStatusCount(), 0u);
    EXPECT_EQ(Peers(), "bob@x;me@test.invalid;");
  }
}

TEST_F(HostilePresenceTest, HostileParticipantListsLeaveTheConferencesAlone) {
  const std::string before = Peers();
  const struct {
    const char* name;
    std::function<void(HX_Container&)> fill;
  } cases[] = {
      {"entries before any user name",
       [](HX_Container& b) {
         b.AddValue("Conference", kRoom);
         b.AddValue("Type", 2);
         b.AddValue("Role", 3);
         b.AddValue("VideoType", 9);
         b.AddValue("DisplayName", "Nobody");
       }},
      {"user names of the wrong types",
       [](HX_Container& b) {
         b.AddValue("Conference", kRoom);
         b.AddValue("Type", 2);
         b.AddValue("UserName", 7);
         b.AddValue("UserName", HX_CNT_BINARY_VT, "z@x", 3);
         b.AddValue("UserName", "");
         b.AddValue("VideoType", 1);
       }},
      {"a deleted conference",
       [](HX_Container& b) {
         b.AddValue("Conference", kGone);
         b.AddValue("Type", 1);
         b.AddValue("UserName", "z@x");
       }},
      {"an unknown conference", [](HX_Container& b) {
         b.AddValue("Conference", "nowhere@conf.test.invalid");
         b.AddValue("Type", 1);
         b.AddValue("UserName", "z@x");
       }},
      {"a conference that is not a string",
       [](HX_Container& b) {
         b.AddValue("Conference", 5);
         b.AddValue("UserName", "z@x");
       }},
      {"types out of range",
       [](HX_Container& b) {
         b.AddValue("Conference", kRoom);
         b.AddValue("Type", 5);
         b.AddValue("UserName", "z@x");
         b.AddValue("Type", 1);  // only the first "Type" counts
       }},
      {"a negative type",
       [](HX_Container& b) {
         b.AddValue("Conference", kRoom);
         b.AddValue("Type", -1);
         b.AddValue("UserName", "bob@x");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.Clear();
    HX_Container body = Body("SendPartsList");
    c.fill(body);
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(Peers(), before);
    EXPECT_TRUE(recorder.Lines().empty()) << ::testing::PrintToString(recorder.Lines());
    EXPECT_EQ(fsm->StatusCount(), 1u);
  }
}

// A complete list of many participants and a status list of many users are taken whole.
TEST_F(HostilePresenceTest, HugeListsAreTakenWhole) {
  constexpr int kCount = 20000;
  std::vector<std::string> ids;
  for (int i = 0; i < kCount; ++i) ids.push_back("user" + std::to_string(i) + "@x");
  HX_Container parts = Body("SendPartsList");
  parts.AddValue("Conference", kRoom);
  parts.AddValue("Type", 1);
  HX_Container statuses = Body("UpdateStatus");
  for (const std::string& id : ids) {
    parts.AddValue("UserName", id.c_str());
    statuses.AddValue("CallId", id.c_str());
    statuses.AddValue("UserPresStatus", 1);
  }
  EXPECT_TRUE(Parse(parts));
  EXPECT_TRUE(Parse(statuses));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, room));
  std::set<::conference::PeerId> list;
  lock->getConferenceIdList(list);
  EXPECT_EQ(list.size(), static_cast<size_t>(kCount) + 1);  // bob left, the own id stays
  EXPECT_EQ(fsm->StatusCount(), static_cast<size_t>(kCount) + 1);
}

}  // namespace
}  // namespace hx::testing
