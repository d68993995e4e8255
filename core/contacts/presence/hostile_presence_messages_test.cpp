// Hostile messages for the presence manager, as a misbehaving server would send them: status lists
// and complete-list answers with missing, repeated and wrongly typed keys and numbers at their
// limits, extended statuses that are garbage, cut, nested or huge, participant lists for
// conferences that do not exist or are gone, with repeated users and odd types, and all of it at
// once from several threads. What must hold: the named users and only they change, nothing
// crashes or grows without bound, nothing hangs (waits are bounded, never timed assertions).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/manager_holder.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/contacts/presence/presence_test_util.h"
#include "core/contacts/presence/recording_contacts.h"

namespace hx::testing {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

HX_Container Message(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

// Serialised form of `inner`, to be carried as a binary "ExtSt".
std::vector<uint8_t> Wire(const HX_Container& inner) {
  uint8_t* buffer = nullptr;
  size_t size = 0;
  EXPECT_TRUE(inner.SerializeAlloc(buffer, size));
  std::vector<uint8_t> out(buffer, buffer + size);
  free(buffer);
  return out;
}

void AddBinary(HX_Container& body, const char* name, const std::vector<uint8_t>& bytes) {
  ASSERT_TRUE(body.AddValue(name, HX_CNT_BINARY_VT, bytes.data(), bytes.size()));
}

size_t CountPrefix(const Lines& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0;
  return n;
}

class HostileStatusTest : public PresenceFixture {
 protected:
  size_t ExtCount(const char* user) {
    HX_StatusStorage::ExtStatusMap map;
    return fsm->GetExtStatusMap(user, map) ? map.size() : 0;
  }
};

// ---- "SeqID" and "Cause" at their limits and of the wrong type

TEST_F(HostileStatusTest, SequenceAndCauseOfAnyShapeStillFrameTheList) {
  struct Case {
    const char* what;
    void (*add)(HX_Container&);
    bool full;
  };
  const Case cases[] = {
      {"no keys", [](HX_Container&) {}, false},
      {"seq 0", [](HX_Container& b) { b.AddValue("SeqID", int32_t{0}); }, false},
      {"seq -1", [](HX_Container& b) { b.AddValue("SeqID", int32_t{-1}); }, false},
      {"seq INT_MAX", [](HX_Container& b) { b.AddValue("SeqID", int32_t{INT_MAX}); }, false},
      {"seq INT_MIN", [](HX_Container& b) { b.AddValue("SeqID", int32_t{INT_MIN}); }, false},
      {"seq 2^32", [](HX_Container& b) { b.AddValue("SeqID", int64_t{1} << 32); }, false},
      {"seq text", [](HX_Container& b) { b.AddValue("SeqID", "12"); }, false},
      {"cause text 1", [](HX_Container& b) { b.AddValue("Cause", "1"); }, false},
      {"cause int64 1", [](HX_Container& b) { b.AddValue("Cause", int64_t{1}); }, false},
      {"cause bool", [](HX_Container& b) { b.AddValue("Cause", true); }, false},
      {"cause -1", [](HX_Container& b) { b.AddValue("Cause", int32_t{-1}); }, false},
      {"cause INT_MIN", [](HX_Container& b) { b.AddValue("Cause", int32_t{INT_MIN}); }, false},
      {"cause 1", [](HX_Container& b) { b.AddValue("Cause", int32_t{1}); }, true},
      // Key names are matched without regard to case; the first fitting entry counts.
      {"cause lower case", [](HX_Container& b) { b.AddValue("cause", int32_t{1}); }, true},
      {"cause twice",
       [](HX_Container& b) {
         b.AddValue("Cause", int32_t{1});
         b.AddValue("Cause", int32_t{0});
       },
       true},
      {"cause text then 1",
       [](HX_Container& b) {
         b.AddValue("Cause", "0");
         b.AddValue("Cause", int32_t{1});
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.Clear();
    HX_Container body = Message("UpdateStatus");
    c.add(body);
    body.AddValue("CallId", "bob@x");
    body.AddValue("UserPresStatus", int32_t{2});
    fsm->SetStatus("bob@x", USER_AVAIL);
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(recorder.Lines(),
              (Lines{std::string("begin ") + (c.full ? "full" : "part"), "status bob@x 2", "end"}));
    EXPECT_EQ(fsm->GetStatus("bob@x"), USER_BUSY);
    EXPECT_EQ(fsm->getStatusSubscription(), c.full || fsm->getStatusSubscription());
  }
}

// A complete list at the top of the number range followed by the next message must not overflow
// (the sanitizer halts on signed overflow) and the message must still be taken.
TEST_F(HostileStatusTest, SequenceAtTheTopOfTheRangeIsTaken) {
  HX_Container full = Message("UpdateStatus");
  full.AddValue("SeqID", int32_t{INT_MAX});
  full.AddValue("Cause", int32_t{1});
  ASSERT_TRUE(Parse(full));
  for (int32_t seq : {INT_MIN, INT_MAX, 0, INT_MIN}) {
    HX_Container next = Message("UpdateStatus");
    next.AddValue("SeqID", seq);
    next.AddValue("CallId", "bob@x");
    next.AddValue("UserPresStatus", seq == 0 ? int32_t{3} : int32_t{4});
    EXPECT_TRUE(Parse(next));
  }
  EXPECT_EQ(fsm->GetStatus("bob@x"), USER_VIP_PUBLIC);
  // The same with the answer to the complete-list request as the reference.
  HX_Container answer = Message("GetAllUserStatus");
  answer.AddValue("SeqID", int32_t{INT_MAX});
  EXPECT_TRUE(Parse(answer));
  HX_Container next = Message("UpdateStatus");
  next.AddValue("SeqID", int32_t{INT_MIN});
  EXPECT_TRUE(Parse(next));
}

// Answers to "GetAllUserStatus" of any shape are handled and send nothing on their own.
TEST_F(HostileStatusTest, CompleteListAnswersOfAnyShapeSendNothing) {
  const std::vector<void (*)(HX_Container&)> shapes = {
      [](HX_Container&) {},
      [](HX_Container& b) { b.AddValue("SeqID", "x"); },
      [](HX_Container& b) { b.AddValue("SeqID", int32_t{INT_MIN}); },
      [](HX_Container& b) { b.AddValue("SeqID", int32_t{INT_MAX}); },
      [](HX_Container& b) { b.AddValue("SeqID", int64_t{1} << 32); },
      [](HX_Container& b) {
        b.AddValue("SeqID", int32_t{7});
        b.AddValue("SeqID", int32_t{3});
        b.AddValue("CallId", "bob@x");
        b.AddValue("UserPresStatus", int32_t{2});
      },
  };
  for (auto shape : shapes) {
    HX_Container body = Message("GetAllUserStatus");
    shape(body);
    EXPECT_TRUE(Parse(body));
  }
  EXPECT_TRUE(session->Sent().empty());
  // The statuses of an answer arrive as status lists; its own body changes nobody.
  EXPECT_EQ(fsm->GetStatus("bob@x"), USER_STATUS_UNDEF);
  EXPECT_TRUE(recorder.Lines().empty());
}

// A flood of lost-message gaps re-requests the complete list at most once per check interval.
TEST_F(HostileStatusTest, AFloodOfGapsIsReRequestedAtMostOncePerInterval) {
  HX_Container full = Message("UpdateStatus");
  full.AddValue("SeqID", int32_t{10});
  full.AddValue("Cause", int32_t{1});
  ASSERT_TRUE(Parse(full));
  const Clock::time_point start = Clock::now();
  for (int32_t i = 0; i < 2000; ++i) {
    HX_Container body = Message("UpdateStatus");
    body.AddValue("SeqID", i % 2 == 0 ? int32_t{100000} - i : i);
    EXPECT_TRUE(Parse(body));
  }
  const int64_t elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  const int64_t interval = presence->StatusListCheckInterval();
  ASSERT_GT(interval, 0);
  EXPECT_LE(static_cast<int64_t>(session->Count("GetAllUserStatus")), elapsedMs / interval + 1);
}

// ---- entries of a status list

TEST_F(HostileStatusTest, EntriesWithoutAUserAreSkipped) {
  fsm->SetStatus("bob@x", USER_AVAIL);
  HX_Container body = Message("UpdateStatus");
  body.AddValue("UserPresStatus", int32_t{2});                    // before any user
  body.AddValue("callid", "bob@x");                               // names are exact here
  body.AddValue("UserPresStatus", int32_t{3});
  body.AddValue("CallId", int32_t{5});                            // not a string
  body.AddValue("UserPresStatus", int32_t{4});
  body.AddValue("CallId", "carol@x");
  body.AddValue("USERPRESSTATUS", int32_t{4});                   // exact names again
  body.AddValue("CallId", int64_t{7});                            // leaves carol without a user
  body.AddValue("UserPresStatus", int32_t{5});
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(fsm->GetStatus("bob@x"), USER_AVAIL);
  EXPECT_EQ(fsm->GetStatus("carol@x"), USER_STATUS_UNDEF);
  EXPECT_EQ(recorder.Lines(), (Lines{"begin part", "end"}));
}

TEST_F(HostileStatusTest, StatusesOfAnyValueOrTypeAreStoredAsTheyCame) {
  struct Case {
    const char* user;
    void (*add)(HX_Container&);
    int32_t stored;
  };
  const Case cases[] = {
      {"a@x", [](HX_Container& b) { b.AddValue("UserPresStatus", int32_t{INT_MAX}); }, INT_MAX},
      {"b@x", [](HX_Container& b) { b.AddValue("UserPresStatus", int32_t{INT_MIN}); }, INT_MIN},
      {"c@x", [](HX_Container& b) { b.AddValue("UserPresStatus", int32_t{-1}); }, -1},
      // Not a 32-bit integer: taken as 0.
      {"d@x", [](HX_Container& b) { b.AddValue("UserPresStatus", "2"); }, 0},
      {"e@x", [](HX_Container& b) { b.AddValue("UserPresStatus", int64_t{1} << 32); }, 0},
      {"f@x", [](HX_Container& b) { b.AddValue("UserPresStatus", true); }, 0},
      {"g@x", [](HX_Container& b) { b.AddValue("UserPresStatus", 2.0); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    recorder.Clear();
    HX_Container body = Message("UpdateStatus");
    body.AddValue("CallId", c.user);
    c.add(body);
    ASSERT_TRUE(Parse(body));
    EXPECT_EQ(fsm->GetStatus(c.user), c.stored);
    EXPECT_EQ(recorder.Lines(),
              (Lines{"begin part", "status " + std::string(c.user) + " " + std::to_string(c.stored),
                     "end"}));
  }
}

// The status store keys users without regard to case: the same user under two cases, or listed
// twice, is one user, reported once per change.
TEST_F(HostileStatusTest, TheSameUserUnderTwoCasesIsOneUser) {
  HX_Container body = Message("UpdateStatus");
  body.AddValue("CallId", "Bob@X");
  body.AddValue("UserPresStatus", int32_t{1});
  body.AddValue("CallId", "bob@x");
  body.AddValue("UserPresStatus", int32_t{1});
  body.AddValue("CallId", "BOB@X");
  body.AddValue("UserPresStatus", int32_t{1});
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(fsm->StatusCount(), 1u);
  EXPECT_EQ(fsm->GetStatus("bOb@x"), USER_AVAIL);
  EXPECT_EQ(CountPrefix(recorder.Lines(), "status "), 1u);
}

// Repeated complete lists do not pile statuses up: each one starts from an empty map.
TEST_F(HostileStatusTest, RepeatedCompleteListsDoNotGrow) {
  for (int round = 0; round < 50; ++round) {
    HX_Container body = Message("UpdateStatus");
    body.AddValue("Cause", int32_t{1});
    body.AddValue("SeqID", int32_t{round});
    for (int user = 0; user < 20; ++user) {
      body.AddValue("CallId", ("u" + std::to_string(round * 20 + user) + "@x").c_str());
      body.AddValue("UserPresStatus", int32_t{1});
    }
    ASSERT_TRUE(Parse(body));
  }
  EXPECT_EQ(fsm->StatusCount(), 20u);
}

// ---- extended statuses

TEST_F(HostileStatusTest, GarbageExtendedStatusesChangeNothing) {
  HX_Container good;
  good.AddValue("mood", "fine");
  const std::vector<uint8_t> wire = Wire(good);
  HX_Container seed = Message("UpdateStatus");
  seed.AddValue("CallId", "bob@x");
  AddBinary(seed, "ExtSt", wire);
  ASSERT_TRUE(Parse(seed));
  ASSERT_EQ(ExtCount("bob@x"), 1u);

  std::vector<std::vector<uint8_t>> garbage;
  garbage.push_back({});                                          // empty
  garbage.push_back({0xff});                                      // one byte
  garbage.push_back(std::vector<uint8_t>(wire.begin(), wire.end() - 1));  // cut by one
  garbage.push_back(std::vector<uint8_t>(wire.begin(), wire.begin() + wire.size() / 2));
  std::vector<uint8_t> longer = wire;
  longer.push_back(0);                                            // trailing byte
  garbage.push_back(longer);
  garbage.push_back({0xff, 0xff, 0xff, 0xff, 1, 2, 3});           // raw length 4 GiB
  std::vector<uint8_t> noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + 7);
  garbage.push_back(noise);
  for (size_t i = 0; i < garbage.size(); ++i) {
    SCOPED_TRACE(i);
    recorder.Clear();
    HX_Container body = Message("UpdateStatus");
    body.AddValue("CallId", "bob@x");
    AddBinary(body, "ExtSt", garbage[i]);
    body.AddValue("CallId", "nobody@x");
    AddBinary(body, "ExtSt", garbage[i]);
    ASSERT_TRUE(Parse(body));
    HX_Variant mood;
    ASSERT_TRUE(fsm->GetExtStatus("bob@x", "mood", mood));
    EXPECT_EQ(mood.toString(), HX_Variant(std::string("fine")).toString());
    EXPECT_EQ(ExtCount("bob@x"), 1u);
    // The known user's current map is still reported; the unknown user has none to report.
    EXPECT_EQ(CountPrefix(recorder.Lines(), "ext bob@x "), 1u);
    EXPECT_EQ(CountPrefix(recorder.Lines(), "ext nobody@x"), 0u);
    EXPECT_EQ(ExtCount("nobody@x"), 0u);
  }
  // Not a binary at all, and an "ExtSt" before any user.
  recorder.Clear();
  HX_Container body = Message("UpdateStatus");
  AddBinary(body, "ExtSt", wire);
  body.AddValue("CallId", "bob@x");
  body.AddValue("ExtSt", "mood=sad");
  body.AddValue("ExtSt", int32_t{1});
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(ExtCount("bob@x"), 1u);
  EXPECT_EQ(fsm->ExtStatusCount(), 1u);
}

// A container nested in the extended statuses is one binary value among others, also when it
// nests further; a deletion of a name that does not exist is harmless.
TEST_F(HostileStatusTest, NestedExtendedStatusesAreStoredAsValues) {
  HX_Container deepest;
  deepest.AddValue("x", int32_t{1});
  HX_Container nested = deepest;
  for (int level = 0; level < 50; ++level) {
    HX_Container outer;
    outer.AddValue("inner", nested);
    nested = outer;
  }
  HX_Container inner;
  inner.AddValue("deep", nested);
  inner.AddValue("n", int32_t{INT_MIN});
  inner.AddValue("DelExtSt", "never-set");
  inner.AddValue("DelExtSt", int32_t{3});
  HX_Container body = Message("UpdateStatus");
  body.AddValue("CallId", "bob@x");
  AddBinary(body, "ExtSt", Wire(inner));
  ASSERT_TRUE(Parse(body));
  int n = 0;
  EXPECT_TRUE(fsm->GetExtStatus("bob@x", "n", n));
  EXPECT_EQ(n, INT_MIN);
  void* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(fsm->GetExtStatus("bob@x", "deep", data, size));
  ASSERT_NE(data, nullptr);
  HX_Container back;
  EXPECT_TRUE(back.Deserialize(data, size));
  free(data);
  EXPECT_EQ(CountPrefix(recorder.Lines(), "ext bob@x "), 1u);
}

TEST_F(HostileStatusTest, HugeExtendedStatusesArriveWhole) {
  const std::string text(64 * 1024, 'q');
  HX_Container inner;
  inner.AddValue("big", text.c_str());
  for (int i = 0; i < 10000; ++i) inner.AddValue(("k" + std::to_string(i)).c_str(), int32_t{i});
  HX_Container body = Message("UpdateStatus");
  body.AddValue("CallId", "bob@x");
  AddBinary(body, "ExtSt", Wire(inner));
  ASSERT_TRUE(Parse(body));
  std::string big;
  EXPECT_TRUE(fsm->GetExtStatus("bob@x", "big", big));
  EXPECT_EQ(big, text);
  EXPECT_EQ(ExtCount("bob@x"), 10001u);
  int last = 0;
  EXPECT_TRUE(fsm->GetExtStatus("BOB@X", "k9999", last));
  EXPECT_EQ(last, 9999);
  // The same huge list again does not grow the user's map.
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(ExtCount("bob@x"), 10001u);
  EXPECT_EQ(CountPrefix(recorder.Lines(), "ext bob@x "), 2u);
}

// Forwarding settings pushed by the server with numbers out of range read as no forwarding and
// no timeout; targets of the wrong type read as empty.
TEST_F(HostileStatusTest, ForwardingSettingsOutOfRangeReadAsNone) {
  struct Case {
    int32_t type;
    int32_t timeout;
    int32_t readType;
    uint32_t readTimeout;
  };
  const Case cases[] = {
      {-1, -5, 0, 0},     {INT_MIN, INT_MIN, 0, 0}, {3, INT_MAX, 0, INT_MAX},
      {2, 0, 2, 0},       {1, 1, 1, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string user = "u" + std::to_string(n++) + "@x";
    SCOPED_TRACE(user);
    HX_Container inner;
    inner.AddValue("fwd_type", c.type);
    inner.AddValue("fwd_call_id", int32_t{9});
    inner.AddValue("fwd_timeout", c.timeout);
    inner.AddValue("fwd_timeout_call_id", "late@x");
    HX_Container body = Message("UpdateStatus");
    body.AddValue("CallId", user.c_str());
    AddBinary(body, "ExtSt", Wire(inner));
    ASSERT_TRUE(Parse(body));
    hx::CallForwardingStatus out;
    out.setForwarding("stale@x", static_cast<hx::CallForwardingType>(2));
    ASSERT_TRUE(presence->getCallFwdStatus(user, out));
    EXPECT_EQ(out.type, c.readType);
    EXPECT_EQ(out.timeout, c.readTimeout);
    EXPECT_EQ(out.fwdPeerId, "");
    EXPECT_EQ(out.timeoutPeerId, "late@x");
  }
  hx::CallForwardingStatus none;
  none.setFwdTimeout("stale@x", 5);
  EXPECT_FALSE(presence->getCallFwdStatus("nobody@x", none));
  EXPECT_EQ(none, hx::CallForwardingStatus());
}

// ---- the host's own publications

// Changes that serialise to nothing send nothing; the rest are sent whatever their size.
TEST_F(HostileStatusTest, OwnPublicationsOfNothingSendNothing) {
  presence->SetExtStatus("empty", nullptr, 0);
  presence->SetExtStatus("empty", "x", 0);
  presence->SetExtStatus("empty", nullptr, 5);
  presence->SetExtStatus("none", HX_Variant());
  presence->SetExtStatusMap({{"none", HX_Variant()}});
  presence->EraseExtStatus(std::vector<std::string>{});
  EXPECT_TRUE(session->Sent().empty());

  const std::string text(64 * 1024, 'w');
  presence->SetExtStatus("big", text);
  HX_Container ext;
  for (int i = 0; i < 10000; ++i) ext.AddValue("k" + std::to_string(i), int32_t{i});
  EXPECT_TRUE(presence->UpdateStatus(USER_BUSY, &ext, true));
  const std::vector<SentRequest> sent = session->Sent();
  ASSERT_EQ(sent.size(), 2u);
  HX_Container inner;
  ASSERT_TRUE(sent[0].body.GetValue("ExtSt", inner));
  std::string big;
  EXPECT_TRUE(inner.GetValue("big", big));
  EXPECT_EQ(big, text);
  ASSERT_TRUE(sent[1].body.GetValue("ExtSt", inner));
  int32_t last = 0;
  size_t unused = 0;
  EXPECT_TRUE(inner.GetValue("k9999", HX_CNT_INTEGER_VT, &last, unused));
  EXPECT_EQ(last, 9999);
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);
}

// ---- participant lists

class HostilePartsTest : public PresenceFixture {
 protected:
  static constexpr const char* kRoom = "room@conf.test.invalid";
  static constexpr const char* kOther = "other@conf.test.invalid";

  void SetUp() override {
    PresenceFixture::SetUp();
    recording = std::make_shared<RecordingContacts>(nullptr, fsm);
    holder.fsm = fsm;
    holder.cm = cm;
    holder.contacts = recording;
    fsm->setManagerHolder(&holder);
    room = Conference(kRoom, 5, ::conference::kStateJoined);
    other = Conference(kOther, 6, ::conference::kStateRequested);
  }
  void TearDown() override {
    fsm->setManagerHolder(static_cast<HX_ConferenceHelper*>(client.get()));
    recording.reset();
    PresenceFixture::TearDown();
  }
  int32_t Conference(const char* sid, HX_Conference_Type type, ::conference::State state) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kMe, 16, 0, type, 0, 0,
                                                       nullptr, false));
    const int32_t id = lock ? lock->getId() : 0;
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid, 1));
    lock.Unlock();
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    if (state != ::conference::kStateRequested) lock->setState(lock, state);
    return id;
  }
  std::set<std::string> Peers(int32_t id) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    std::set<::conference::PeerId> ids;
    if (lock) lock->getConferenceIdList(ids);
    std::set<std::string> out;
    for (const auto& peer : ids) out.insert(peer.id);
    return out;
  }
  static HX_Container List(const char* conference, int32_t type, int32_t seq) {
    HX_Container body = Message("SendPartsList");
    body.AddValue("Conference", conference);
    body.AddValue("Type", type);
    body.AddValue("SeqID", seq);
    return body;
  }
  size_t CacheCalls(const std::string& prefix) { return recording->calls().Count(prefix); }

  TestHolder holder;
  std::shared_ptr<RecordingContacts> recording;
  int32_t room = 0;
  int32_t other = 0;
};

TEST_F(HostilePartsTest, ListsForNoKnownConferenceAreDropped) {
  const std::set<std::string> before = Peers(room);
  std::vector<HX_Container> bodies;
  bodies.push_back(Message("SendPartsList"));  // no conference
  HX_Container numeric = Message("SendPartsList");
  numeric.AddValue("Conference", int32_t{room});
  bodies.push_back(numeric);
  bodies.push_back(List("nowhere@conf.test.invalid", 1, 1));
  bodies.push_back(List("", 1, 1));
  bodies.push_back(List(std::string(64 * 1024, 'r').c_str(), 1, 1));
  for (HX_Container& body : bodies) {
    body.AddValue("UserName", "alice@x");
    body.AddValue("DisplayName", "Alice");
    body.AddValue("VideoType", int32_t{3});
    EXPECT_TRUE(Parse(body));
  }
  EXPECT_TRUE(recorder.Lines().empty());
  EXPECT_TRUE(recording->calls().Calls().empty());
  EXPECT_TRUE(session->Sent().empty());
  EXPECT_EQ(Peers(room), before);
}

TEST_F(HostilePartsTest, AListForADeletedConferenceChangesNothingVisible) {
  const int32_t gone = Conference("gone@conf.test.invalid", 5, ::conference::kStateJoined);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, gone));
    cm->DeleteConference(lock, false, true);
  }
  recorder.Clear();
  HX_Container body = List("gone@conf.test.invalid", 1, 1);
  body.AddValue("UserName", "alice@x");
  EXPECT_TRUE(Parse(body));
  EXPECT_EQ(CountPrefix(recorder.Lines(), "ids "), 0u);
  EXPECT_EQ(CountPrefix(recorder.Lines(), "peers "), 0u);
}

// Types outside 0 to 4 change no conference; above 4 not even the name cache is touched.
TEST_F(HostilePartsTest, OddTypesApplyNothing) {
  const std::set<std::string> before = Peers(room);
  struct Case {
    const char* what;
    void (*add)(HX_Container&);
    bool cacheTouched;
  };
  const Case cases[] = {
      {"5", [](HX_Container& b) { b.AddValue("Type", int32_t{5}); }, false},
      {"INT_MAX", [](HX_Container& b) { b.AddValue("Type", int32_t{INT_MAX}); }, false},
      {"-1", [](HX_Container& b) { b.AddValue("Type", int32_t{-1}); }, true},
      {"INT_MIN", [](HX_Container& b) { b.AddValue("Type", int32_t{INT_MIN}); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.Clear();
    recording->calls().Clear();
    HX_Container body = Message("SendPartsList");
    body.AddValue("Conference", kRoom);
    c.add(body);
    body.AddValue("UserName", "alice@x");
    body.AddValue("DisplayName", "Alice");
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(Peers(room), before);
    EXPECT_EQ(CountPrefix(recorder.Lines(), "ids "), 0u);
    EXPECT_EQ(CountPrefix(recorder.Lines(), "peers "), 0u);
    EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache alice@x Alice"), c.cacheTouched ? 1u : 0u);
  }
}

// A "Type" that is missing or not a 32-bit integer reads as 0, a complete list.
TEST_F(HostilePartsTest, AnUnreadableTypeIsACompleteList) {
  HX_Container first = List(kRoom, 2, 1);
  first.AddValue("UserName", "alice@x");
  ASSERT_TRUE(Parse(first));
  ASSERT_EQ(Peers(room).count("alice@x"), 1u);
  const std::vector<void (*)(HX_Container&)> shapes = {
      [](HX_Container& b) { b.AddValue("Type", "2"); },
      [](HX_Container& b) { b.AddValue("Type", int64_t{2}); },
      [](HX_Container&) {},
  };
  int32_t seq = 2;
  for (auto shape : shapes) {
    HX_Container body = Message("SendPartsList");
    body.AddValue("Conference", kRoom);
    shape(body);
    body.AddValue("SeqID", seq++);
    body.AddValue("UserName", "bob@x");
    ASSERT_TRUE(Parse(body));
    EXPECT_EQ(Peers(room).count("alice@x"), 0u);
    EXPECT_EQ(Peers(room).count("bob@x"), 1u);
    HX_Container back = List(kRoom, 2, seq++);
    back.AddValue("UserName", "alice@x");
    ASSERT_TRUE(Parse(back));
  }
}

TEST_F(HostilePartsTest, ParticipantEntriesOfTheWrongShape) {
  HX_Container body = List(kRoom, 2, 1);
  body.AddValue("DisplayName", "Nobody");   // before any user
  body.AddValue("VideoType", int32_t{9});
  body.AddValue("UserName", int32_t{4});     // not a string
  body.AddValue("DisplayName", "Nobody");
  body.AddValue("UserName", "");             // empty
  body.AddValue("DisplayName", "Nobody");
  body.AddValue("username", "alice@x");      // names compared without regard to case here
  body.AddValue("DISPLAYNAME", "First");
  body.AddValue("UserName", "bob@x");
  body.AddValue("DisplayName", int32_t{5});  // not a string: the id
  body.AddValue("Role", "admin");
  body.AddValue("UserName", "carol@x");
  body.AddValue("DisplayName", "");          // empty: the id
  body.AddValue("UserName", "alice@x");      // again: the same entry, updated
  body.AddValue("DisplayName", "Second");
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache alice@x Second"), 1u);
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache alice@x First"), 0u);
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache bob@x bob@x"), 1u);
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache carol@x carol@x"), 1u);
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache"), 3u);
  EXPECT_EQ(recording->calls().Count("OnUpdatePeerIdCache  Nobody"), 0u);
  const std::set<std::string> peers = Peers(room);
  EXPECT_EQ(peers.count("alice@x") + peers.count("bob@x") + peers.count("carol@x"), 3u);
  EXPECT_EQ(peers.count(""), 0u);
}

// The same user under two cases, and repeated lists, leave no participant behind once removed.
TEST_F(HostilePartsTest, TwoCasesAndRepeatedListsLeaveNothingBehind) {
  const std::set<std::string> before = Peers(room);
  for (int round = 0; round < 3; ++round) {
    HX_Container add = List(kRoom, 2, 1 + 2 * round);
    add.AddValue("UserName", "alice@x");
    add.AddValue("UserName", "ALICE@X");
    add.AddValue("UserName", "alice@x");
    ASSERT_TRUE(Parse(add));
  }
  HX_Container remove = List(kRoom, 3, 2);
  remove.AddValue("UserName", "ALICE@X");
  remove.AddValue("UserName", "alice@x");
  ASSERT_TRUE(Parse(remove));
  EXPECT_EQ(Peers(room), before);
  // A complete list that names the own id, someone twice and out of order.
  HX_Container full = List(kRoom, 1, 1);
  for (const char* id : {"zed@x", kMe, "amy@x", "zed@x", "amy@x"}) full.AddValue("UserName", id);
  ASSERT_TRUE(Parse(full));
  HX_Container again = full;
  ASSERT_TRUE(Parse(again));
  const std::set<std::string> peers = Peers(room);
  EXPECT_EQ(peers.count("zed@x") + peers.count("amy@x"), 2u);
}

// A list for a conference that is not the active one reports no id change.
TEST_F(HostilePartsTest, AListForAnInactiveConferenceReportsNoIds) {
  HX_Container body = List(kOther, 1, 1);
  body.AddValue("UserName", "alice@x");
  body.AddValue("VideoType", int32_t{INT_MIN});
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(CountPrefix(recorder.Lines(), "ids "), 0u);
  EXPECT_EQ(CountPrefix(recorder.Lines(), "peers "), 0u);
}

TEST_F(HostilePartsTest, HugeListsAreTakenWhole) {
  HX_Container body = List(kRoom, 1, 1);
  const std::string name(64 * 1024, 'n');
  body.AddValue("UserName", "big@x");
  body.AddValue("DisplayName", name.c_str());
  for (int i = 0; i < 10000; ++i) {
    body.AddValue("UserName", ("p" + std::to_string(i) + "@x").c_str());
    body.AddValue("VideoType", int32_t{i});
  }
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache big@x " + name), 1u);
  EXPECT_EQ(CacheCalls("OnUpdatePeerIdCache"), 10001u);
}

// "Conference" is the first string entry of that name; a list for a conference whose own sequence
// sits at the top of the number range must not overflow.
TEST_F(HostilePartsTest, DuplicatedKeysAndSequenceLimits) {
  HX_Container body = Message("SendPartsList");
  body.AddValue("Conference", int32_t{7});
  body.AddValue("Conference", kRoom);
  body.AddValue("Conference", "nowhere@conf.test.invalid");
  body.AddValue("Type", int32_t{2});
  body.AddValue("Type", int32_t{3});
  body.AddValue("SeqID", int32_t{INT_MAX});
  body.AddValue("UserName", "alice@x");
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(Peers(room).count("alice@x"), 1u);
  for (int32_t seq : {INT_MIN, INT_MAX, -1, 0, INT_MIN}) {
    HX_Container next = List(kRoom, 2, seq);
    next.AddValue("UserName", "bob@x");
    EXPECT_TRUE(Parse(next));
  }
  HX_Container reset = List(kRoom, 0, INT_MAX);
  reset.AddValue("UserName", "carol@x");
  ASSERT_TRUE(Parse(reset));
  HX_Container after = List(kRoom, 4, INT_MIN);
  after.AddValue("UserName", "dave@x");
  EXPECT_TRUE(Parse(after));
  EXPECT_EQ(Peers(room).count("bob@x"), 0u);
  EXPECT_EQ(Peers(room).count("carol@x"), 1u);
}

// A point-to-point call without peers has no sole peer to compare a listed video type with.
TEST_F(HostilePartsTest, AVideoTypeForACallWithoutPeersIsNoChange) {
  Conference("call@conf.test.invalid", 0, ::conference::kStateRequested);
  recorder.Clear();
  HX_Container body = List("call@conf.test.invalid", 4, 1);
  body.AddValue("UserName", "alice@x");
  body.AddValue("VideoType", int32_t{INT_MAX});
  body.AddValue("UserName", "bob@x");
  body.AddValue("VideoType", int32_t{INT_MIN});
  ASSERT_TRUE(Parse(body));
  EXPECT_EQ(CountPrefix(recorder.Lines(), "video "), 0u);
}

// A listed video type counts as changed only against a participant the conference already holds
// with another one; repeating the list changes nothing more.
TEST_F(HostilePartsTest, VideoTypesChangeOnlyAgainstKnownParticipants) {
  HX_Container first = List(kRoom, 2, 1);
  first.AddValue("UserName", "alice@x");
  first.AddValue("VideoType", int32_t{3});
  ASSERT_TRUE(Parse(first));
  EXPECT_EQ(CountPrefix(recorder.Lines(), "video "), 0u);
  recorder.Clear();
  HX_Container same = List(kRoom, 2, 2);
  same.AddValue("UserName", "alice@x");
  same.AddValue("VideoType", int32_t{3});
  same.AddValue("VideoType", "4");  // not an integer: unchanged
  ASSERT_TRUE(Parse(same));
  EXPECT_EQ(CountPrefix(recorder.Lines(), "video "), 0u);
  recorder.Clear();
  HX_Container changed = List(kRoom, 2, 3);
  changed.AddValue("UserName", "alice@x");
  changed.AddValue("VideoType", int32_t{INT_MIN});
  changed.AddValue("UserName", "alice@x");
  changed.AddValue("VideoType", int32_t{INT_MIN});
  ASSERT_TRUE(Parse(changed));
  ASSERT_FALSE(recorder.Lines().empty());
  EXPECT_EQ(recorder.Lines().back(), "video alice@x");
  EXPECT_EQ(CountPrefix(recorder.Lines(), "video "), 1u);
}

// The loop thread takes status lists and participant lists while the host publishes its own
// statuses and another thread creates and deletes conferences. Nothing may crash, race or hang.
TEST_F(HostilePartsTest, LoopHostAndConferenceThreadsAtOnce) {
  HX_Container own;
  own.AddValue("seed", int32_t{1});
  HX_Container seed = Message("UpdateStatus");
  seed.AddValue("CallId", kMe);
  AddBinary(seed, "ExtSt", Wire(own));
  ASSERT_TRUE(Parse(seed));

  std::atomic<bool> stop{false};
  auto loop = std::async(std::launch::async, [&] {
    for (int i = 0; i < 300; ++i) {
      HX_Container status = Message("UpdateStatus");
      status.AddValue("SeqID", int32_t{i});
      status.AddValue("Cause", int32_t{i % 10 == 0 ? 1 : 0});
      status.AddValue("CallId", kMe);
      HX_Container ext;
      ext.AddValue("k" + std::to_string(i % 7), int32_t{i});
      ext.AddValue("DelExtSt", ("k" + std::to_string((i + 3) % 7)).c_str());
      AddBinary(status, "ExtSt", Wire(ext));
      status.AddValue("CallId", ("u" + std::to_string(i % 13) + "@x").c_str());
      status.AddValue("UserPresStatus", int32_t{i % 6});
      Parse(status);
      HX_Container parts = List(i % 2 == 0 ? kRoom : "churn@conf.test.invalid", 1 + i % 4, i);
      parts.AddValue("UserName", ("p" + std::to_string(i % 5) + "@x").c_str());
      parts.AddValue("VideoType", int32_t{i % 3});
      Parse(parts);
    }
  });
  auto host = std::async(std::launch::async, [&] {
    for (int i = 0; !stop.load() && i < 300; ++i) {
      presence->SetExtStatus("mine", i);
      presence->SetExtStatus("text", std::string(i, 'x'));
      presence->EraseExtStatus("mine");
      presence->UpdateStatus(static_cast<HX_UserPresence_Status>(i % 6), nullptr, true);
      hx::CallForwardingStatus fwd;
      fwd.setForwarding("fwd@x", static_cast<hx::CallForwardingType>(i % 3));
      presence->setCallForwarding(fwd);
    }
  });
  auto churn = std::async(std::launch::async, [&] {
    for (int i = 0; !stop.load() && i < 100; ++i) {
      const int32_t id = Conference("churn@conf.test.invalid", 5, ::conference::kStateJoined);
      ConferenceLock lock;
      if (cm->getConferenceLock(lock, id)) cm->DeleteConference(lock, false, true);
    }
  });
  const auto limit = std::chrono::seconds(120);
  const bool done = loop.wait_for(limit) == std::future_status::ready &&
                    host.wait_for(limit) == std::future_status::ready &&
                    churn.wait_for(limit) == std::future_status::ready;
  stop.store(true);
  if (!done) {
    ADD_FAILURE() << "a thread hangs";
    std::abort();  // the hung thread cannot be joined
  }
  EXPECT_LE(fsm->StatusCount(), 13u);
  EXPECT_GE(session->Count("UpdateStatus"), 1u);
}

}  // namespace
}  // namespace hx::testing
