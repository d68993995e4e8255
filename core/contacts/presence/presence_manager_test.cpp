// The presence manager on the test platform's client object: status lists into the status and
// contact stores with their sequence checks (at a short check interval, waited for for real),
// extended statuses and call forwarding in and out, the own status, and participant lists
// applied to conferences of the real conference store. Requests are kept by the session instead
// of being sent; the fake server's side is in presence_service_test.cpp.
#include "core/contacts/presence/presence_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/manager_holder.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/presence/presence_protocol.h"
#include "core/contacts/presence/presence_test_util.h"
#include "core/contacts/presence/recording_contacts.h"

namespace hx::testing {
namespace {

using Lines = std::vector<std::string>;

HX_Container StatusList(int32_t seq, int32_t cause) {
  HX_Container body;
  body.AddValue("Method", "UpdateStatus");
  if (seq != -2) body.AddValue("SeqID", seq);
  if (cause >= 0) body.AddValue("Cause", cause);
  return body;
}

void AddStatus(HX_Container& body, const char* user, int32_t status) {
  body.AddValue("CallId", user);
  body.AddValue("UserPresStatus", status);
}

void SleepPast(int64_t intervalMs) { std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs + 20)); }

class PresenceManagerTest : public PresenceFixture {
 protected:
  // The check interval the tracker really uses (the configured one plus its random part).
  int64_t Interval() const { return presence->StatusListCheckInterval(); }
};

TEST_F(PresenceManagerTest, UnknownOrMissingMethodIsNotHandled) {
  HX_Container none;
  none.AddValue("SeqID", 1);
  EXPECT_FALSE(Parse(none));
  HX_Container other;
  other.AddValue("Method", "updatestatus");  // the hash is of the exact bytes
  EXPECT_FALSE(Parse(other));
  EXPECT_TRUE(recorder.Lines().empty());
}

// Sequences of "SeqID" and "Cause": 'F' a complete list, 'U' an update, 'A' the answer to
// "GetAllUserStatus", 'W' waiting out the check interval. Each row counts the re-requests.
TEST_F(PresenceManagerTest, StatusListSequenceCasesAskForTheCompleteListOnlyOnAGapPastTheInterval) {
  struct Step {
    char kind;
    int32_t seq;
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
    size_t requests;
  } cases[] = {
      {"in order after a complete list", {{'F', 10}, {'U', 11}, {'W', 0}, {'U', 12}}, 0},
      {"a gap before the interval", {{'F', 10}, {'U', 12}}, 0},
      {"a gap after the interval", {{'F', 10}, {'W', 0}, {'U', 12}}, 1},
      {"out of order until a complete list, spaced by the interval",
       {{'F', 10}, {'W', 0}, {'U', 12}, {'U', 13}, {'U', 14}, {'W', 0}, {'U', 15}, {'F', 20}, {'W', 0}, {'U', 21}},
       2},
      {"the answer resets the reference", {{'F', 10}, {'W', 0}, {'U', 12}, {'A', 30}, {'W', 0}, {'U', 31}}, 1},
      {"no sequence number is always in order", {{'F', 10}, {'W', 0}, {'U', -1}, {'U', -1}}, 0},
      {"no complete list yet: asked once the interval has passed", {{'W', 0}, {'U', 5}, {'U', 6}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.Disconnect();
    presence = std::make_unique<HX_PresenceManager>(session, fsm, kTestIntervalMs);
    session->Clear();
    for (const Step& step : c.steps) {
      if (step.kind == 'W') {
        SleepPast(Interval());
      } else if (step.kind == 'A') {
        HX_Container answer;
        answer.AddValue("Method", "GetAllUserStatus");
        answer.AddValue("SeqID", step.seq);
        EXPECT_TRUE(Parse(answer));
      } else {
        EXPECT_TRUE(Parse(StatusList(step.seq, step.kind == 'F' ? 1 : 0)));
      }
    }
    EXPECT_EQ(session->Count("GetAllUserStatus"), c.requests);
    for (const SentRequest& sent : session->Sent()) EXPECT_EQ(sent.service, "PRESENCE");
  }
}

TEST_F(PresenceManagerTest, CompleteListSetsEveryoneOfflineAndReportsEachListedUser) {
  fsm->PushContact(nullptr, "bob@x", "Bob", USER_AVAIL, 0);
  fsm->PushContact(nullptr, "carol@x", "Carol", USER_BUSY, 0);
  fsm->SetStatus("bob@x", USER_AVAIL);
  fsm->SetStatus("carol@x", USER_BUSY);

  HX_Container full = StatusList(1, 1);
  AddStatus(full, "bob@x", USER_AVAIL);  // unchanged, reported all the same
  AddStatus(full, "dave@x", USER_BUSY);
  EXPECT_TRUE(Parse(full));
  EXPECT_EQ(recorder.Lines(), (Lines{"begin full", "status bob@x 1", "status dave@x 2", "end"}));
  EXPECT_EQ(fsm->SearchContact("carol@x")->status, USER_LOGOFF);
  EXPECT_EQ(fsm->SearchContact("bob@x")->status, USER_AVAIL);
  EXPECT_EQ(fsm->GetStatus("carol@x"), USER_STATUS_UNDEF);
  EXPECT_EQ(fsm->GetStatus("dave@x"), USER_BUSY);
  EXPECT_TRUE(fsm->getStatusSubscription());

  // Outside a complete list an unchanged status emits nothing and leaves the contact alone.
  recorder.Clear();
  fsm->PushContact(nullptr, "bob@x", nullptr, USER_VIP_PUBLIC, 0);
  HX_Container update = StatusList(2, -1);
  AddStatus(update, "bob@x", USER_AVAIL);
  EXPECT_TRUE(Parse(update));
  EXPECT_EQ(recorder.Lines(), (Lines{"begin part", "end"}));
  EXPECT_EQ(fsm->SearchContact("bob@x")->status, USER_VIP_PUBLIC);
}

TEST_F(PresenceManagerTest, EntriesWithoutAUserAreSkipped) {
  HX_Container body = StatusList(-2, -1);
  body.AddValue("UserPresStatus", 2);          // before any "CallId"
  body.AddValue("ExtSt", HX_Container());      // likewise
  body.AddValue("CallId", 7);                  // not a string: no user
  body.AddValue("UserPresStatus", 2);
  body.AddValue("callid", "lower@x");          // names are exact here
  body.AddValue("UserPresStatus", 2);
  body.AddValue("CallId", "erin@x");
  body.AddValue("UserPresStatus", "busy");     // not an int32: 0
  EXPECT_TRUE(Parse(body));
  EXPECT_EQ(recorder.Lines(), (Lines{"begin part", "status erin@x 0", "end"}));
  EXPECT_EQ(fsm->StatusCount(), 1u);
  EXPECT_EQ(fsm->GetStatus("lower@x"), USER_STATUS_UNDEF);
}

TEST_F(PresenceManagerTest, ExtendedStatusesArriveAndGarbageStillReportsTheCurrentMap) {
  HX_Container ext;
  ext.AddValue("fwd_type", 7);
  ext.AddValue("fwd_call_id", "t@x");
  ext.AddValue("fwd_timeout", -5);
  HX_Container body = StatusList(-1, -1);
  body.AddValue("CallId", "bob@x");
  body.AddValue("ExtSt", ext);
  body.AddValue("ExtSt", "not binary");
  body.AddValue("ExtSt", HX_CNT_BINARY_VT, "\x07\x00\x00\x00garbage", 11);
  EXPECT_TRUE(Parse(body));
  const std::string map = "ext bob@x fwd_call_id=v<string>: 't@x',fwd_timeout=v<int32>: -5,fwd_type=v<int32>: 7";
  EXPECT_EQ(recorder.Lines(), (Lines{"begin part", map, map, map, "end"}));

  hx::CallForwardingStatus status;
  ASSERT_TRUE(presence->getCallFwdStatus("bob@x", status));
  EXPECT_EQ(status.type, hx::kCallFwdNone);
  EXPECT_EQ(status.fwdPeerId, "t@x");
  EXPECT_EQ(status.timeout, 0u);
  EXPECT_EQ(status.timeoutPeerId, "");
  EXPECT_FALSE(presence->getCallFwdStatus("nobody@x", status));
  EXPECT_EQ(status, hx::CallForwardingStatus());
}

// The "ExtSt" of the one request a publication sent, with its "UserPresStatus".
HX_Container SentExt(const KeepingSession& session, int32_t* status = nullptr) {
  const std::vector<SentRequest> sent = session.Sent();
  EXPECT_EQ(sent.size(), 1u);
  HX_Container ext;
  if (sent.empty()) return ext;
  EXPECT_EQ(sent[0].method, "UpdateStatus");
  EXPECT_EQ(sent[0].service, "PRESENCE");
  EXPECT_TRUE(sent[0].body.GetValue("ExtSt", ext));
  if (status != nullptr) {
    size_t size = sizeof(*status);
    sent[0].body.GetValue("UserPresStatus", HX_CNT_INTEGER_VT, status, size);
  }
  return ext;
}

std::vector<std::string> Entries(const HX_Container& container) {
  std::vector<std::string> out;
  container.Reset();
  while (container.Next()) {
    HX_Variant value(&container);
    out.push_back(std::string(container.GetName()) + "=" + value.toString());
  }
  return out;
}

TEST_F(PresenceManagerTest, OwnExtendedStatusesArePublishedWithTheOwnStatus) {
  fsm->SetMyStatus(USER_BUSY);
  HX_Container own;
  own.AddValue("a", 1);
  own.AddValue("b", 2);
  fsm->ParseExtStatus(kMe, &own);  // the store changes only an entry that exists

  presence->EraseExtStatus(std::vector<std::string>{"a", "b"});
  int32_t status = 0;
  EXPECT_EQ(Entries(SentExt(*session, &status)), (std::vector<std::string>{"DelExtSt=v<string>: 'a'",
                                                                             "DelExtSt=v<string>: 'b'"}));
  EXPECT_EQ(status, USER_BUSY);
  HX_PresenceManager::ExtStatusMap left;
  EXPECT_TRUE(fsm->GetExtStatusMap(kMe, left));
  EXPECT_TRUE(left.empty());

  // Publications do not depend on the session's state and never change the own status.
  session->Clear();
  session->setStateTrs(HX_TransportSession::eConnected);
  presence->SetExtStatus("note", std::string("hi"));
  EXPECT_EQ(Entries(SentExt(*session)), std::vector<std::string>{"note=v<string>: 'hi'"});
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);

  // Nothing to publish: nothing sent.
  session->Clear();
  presence->SetExtStatus("empty", nullptr, 0);
  presence->SetExtStatus("none", HX_Variant());
  presence->SetExtStatusMap({{"none", HX_Variant()}, {"bin", HX_Variant(static_cast<const void*>(nullptr), 0)}});
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(PresenceManagerTest, AddExtStatusValueWritesEachKindAsItsEntry) {
  HX_Container container;
  HX_PresenceManager::addExtStatusValue(container, "b", HX_Variant(true));
  HX_PresenceManager::addExtStatusValue(container, "i", HX_Variant(-3));
  HX_PresenceManager::addExtStatusValue(container, "u", HX_Variant(4000000000u));
  HX_PresenceManager::addExtStatusValue(container, "l", HX_Variant(1LL << 40));
  HX_PresenceManager::addExtStatusValue(container, "ul", HX_Variant(~0ULL));
  HX_PresenceManager::addExtStatusValue(container, "s", HX_Variant(std::string("x")));
  HX_PresenceManager::addExtStatusValue(container, "bin", HX_Variant("\x01\x02", 2));
  HX_PresenceManager::addExtStatusValue(container, "nobin", HX_Variant(static_cast<const void*>(nullptr), 0));
  HX_PresenceManager::addExtStatusValue(container, "none", HX_Variant());
  EXPECT_EQ(Entries(container),
            (std::vector<std::string>{"b=v<bool>: true", "i=v<int32>: -3", "u=v<int32>: -294967296",
                                      "l=v<int64>: 1099511627776", "ul=v<int64>: -1", "s=v<string>: 'x'",
                                      "bin=v<binary>: size 2"}));
}

TEST_F(PresenceManagerTest, CallForwardingWithoutATargetIsPublishedAsRemoved) {
  HX_Container own;
  own.AddValue("fwd_type", 2);
  fsm->ParseExtStatus(kMe, &own);  // the store changes only an entry that exists
  hx::CallForwardingStatus status;
  status.setForwarding("", static_cast<hx::CallForwardingType>(1));
  status.setFwdTimeout("later@x", 30);
  EXPECT_TRUE(presence->setCallForwarding(status));
  EXPECT_EQ(Entries(SentExt(*session)),
            (std::vector<std::string>{"DelExtSt=v<string>: 'fwd_type'", "DelExtSt=v<string>: 'fwd_call_id'",
                                      "fwd_timeout=v<int32>: 30", "fwd_timeout_call_id=v<string>: 'later@x'"}));
  hx::CallForwardingStatus stored;
  ASSERT_TRUE(presence->getCallFwdStatus(kMe, stored));
  EXPECT_EQ(stored.type, hx::kCallFwdNone);
  EXPECT_EQ(stored.timeout, 30u);
  EXPECT_EQ(stored.timeoutPeerId, "later@x");

  // Outside state 5 the settings go nowhere.
  session->Clear();
  session->setStateTrs(HX_TransportSession::eConnected);
  EXPECT_FALSE(presence->setCallForwarding(status));
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(PresenceManagerTest, OwnStatusIsSentAndKeptOnlyInStateFive) {
  fsm->SetMyStatus(USER_AVAIL);
  session->setStateTrs(HX_TransportSession::eConnected);
  EXPECT_FALSE(presence->UpdateStatus(USER_BUSY, nullptr, true));
  EXPECT_EQ(fsm->GetMyStatus(), USER_AVAIL);
  EXPECT_TRUE(session->Sent().empty());

  session->setStateTrs(HX_TransportSession::eLoggedIn);
  HX_Container empty;
  EXPECT_TRUE(presence->UpdateStatus(USER_BUSY, &empty, true));
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);
  EXPECT_TRUE(presence->UpdateStatus(USER_MULTIHOST, nullptr, false));
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);
  const std::vector<SentRequest> sent = session->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Entries(sent[0].body),
            (std::vector<std::string>{"Method=v<string>: 'UpdateStatus'", "UserPresStatus=v<int32>: 2"}));
  EXPECT_EQ(Entries(sent[1].body),
            (std::vector<std::string>{"Method=v<string>: 'UpdateStatus'", "UserPresStatus=v<int32>: 5"}));
}

// ---- participant lists

// The presence manager hands the names it learns to a recording contacts manager.
class ParticipantListTest : public PresenceManagerTest {
 protected:
  static constexpr const char* kRoom = "room@conf.test.invalid";
  static constexpr const char* kOther = "other@conf.test.invalid";

  void SetUp() override {
    PresenceManagerTest::SetUp();
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
    PresenceManagerTest::TearDown();
  }
  int32_t Conference(const char* sid, HX_Conference_Type type, ::conference::State state) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kMe, 16, 0, type, 0, 0, nullptr, false));
    const int32_t id = lock ? lock->getId() : 0;
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid, 1));
    lock.Unlock();
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    if (state != ::conference::kStateRequested) lock->setState(lock, state);
    return id;
  }
  RecordingContacts* contacts() { return recording.get(); }
  std::vector<std::string> Peers(int32_t id) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    std::set<::conference::PeerId> ids;
    lock->getConferenceIdList(ids);
    std::vector<std::string> out;
    for (const auto& peer : ids) out.push_back(peer.id + ":" + std::to_string(peer.info.videoType));
    return out;
  }
  static HX_Container List(const char* conference, int32_t type, int32_t seq) {
    HX_Container body;
    body.AddValue("Method", "SendPartsList");
    if (conference != nullptr) body.AddValue("Conference", conference);
    body.AddValue("Type", type);
    if (seq >= 0) body.AddValue("SeqID", seq);
    return body;
  }

  TestHolder holder;
  std::shared_ptr<RecordingContacts> recording;
  int32_t room = 0;
  int32_t other = 0;
};

TEST_F(ParticipantListTest, JoinsAndLeavesChangeTheActiveConferenceAndTheNameCache) {
  HX_Container join = List(kRoom, 1, 1);
  join.AddValue("VideoType", 3);  // before any "UserName": skipped
  join.AddValue("UserName", "a@x");
  join.AddValue("DisplayName", "Alice");
  join.AddValue("USERNAME", "b@x");  // names compared without regard to case
  join.AddValue("DisplayName", "");
  join.AddValue("UserName", "a@x");  // again: the same entry
  join.AddValue("VideoType", 2);
  EXPECT_TRUE(Parse(join));
  const std::string number = std::to_string(room);
  // A newcomer's video type differs from nothing the conference held.
  EXPECT_EQ(recorder.Lines(), (Lines{"ids a@x,b@x,me@test.invalid", "peers " + number + " a@x,b@x"}));
  EXPECT_EQ(Peers(room), (std::vector<std::string>{"a@x:2", "b@x:0", "me@test.invalid:0"}));
  EXPECT_EQ(contacts()->calls().Calls(),
            (std::vector<std::string>{"OnUpdatePeerIdCache a@x Alice false", "OnUpdatePeerIdCache b@x b@x false"}));

  recorder.Clear();
  HX_Container leave = List(kRoom, 3, 2);
  leave.AddValue("UserName", "b@x");
  leave.AddValue("VideoType", 0);  // as held: not reported
  leave.AddValue("UserName", "a@x");
  leave.AddValue("VideoType", 5);  // changed, though the list removes a@x as well
  EXPECT_TRUE(Parse(leave));
  EXPECT_EQ(recorder.Lines(), (Lines{"ids me@test.invalid", "peers " + number + " a@x,b@x", "video a@x"}));
  // The name cache hears of a participant without a "DisplayName" under an empty name.
  EXPECT_EQ(contacts()->calls().Calls().back(), "OnUpdatePeerIdCache b@x  false");
  EXPECT_EQ(Peers(room), std::vector<std::string>{"me@test.invalid:0"});
}

TEST_F(ParticipantListTest, AListForAConferenceThatIsNotActiveReportsOnlyVideoTypes) {
  HX_Container list = List(kOther, 0, 1);
  list.AddValue("UserName", "c@x");
  list.AddValue("VideoType", 1);
  EXPECT_TRUE(Parse(list));
  EXPECT_TRUE(recorder.Lines().empty());
  EXPECT_EQ(Peers(other), (std::vector<std::string>{"c@x:1", "me@test.invalid:0"}));
  HX_Container update = List(kOther, 2, 2);
  update.AddValue("UserName", "c@x");
  update.AddValue("VideoType", 2);
  EXPECT_TRUE(Parse(update));
  EXPECT_EQ(recorder.Lines(), Lines{"video c@x"});
  EXPECT_EQ(Peers(other), (std::vector<std::string>{"c@x:2", "me@test.invalid:0"}));
}

TEST_F(ParticipantListTest, ListsThatApplyNothing) {
  const auto before = Peers(room);
  HX_Container high = List(kRoom, 5, 1);
  high.AddValue("UserName", "z@x");
  HX_Container unknown = List("nowhere@conf.test.invalid", 1, 1);
  unknown.AddValue("UserName", "z@x");
  HX_Container noName = List(nullptr, 1, 1);
  noName.AddValue("UserName", "z@x");
  HX_Container emptyUser = List(kRoom, 2, -1);
  emptyUser.AddValue("UserName", "");
  emptyUser.AddValue("VideoType", 4);
  for (HX_Container* body : {&high, &unknown, &noName, &emptyUser}) EXPECT_TRUE(Parse(*body));
  EXPECT_EQ(Peers(room), before);
  EXPECT_TRUE(recorder.Lines().empty());
  EXPECT_TRUE(contacts()->calls().Calls().empty());
}

TEST_F(ParticipantListTest, ALostListAsksTheConferenceServer) {
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, room));
    // A reference taken "later" than now: the tracker treats the clock as gone back and lets the
    // next gap ask at once.
    lock->participantTracker()->TrackSequenceAt(5, true, INT64_MAX / 2);
  }
  HX_Container list = List(kRoom, 2, 7);
  list.AddValue("UserName", "a@x");
  EXPECT_TRUE(Parse(list));
  const std::vector<SentRequest> sent = session->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].service, "CONFERENCE");
  EXPECT_EQ(sent[0].server, "conf.test.invalid");
  EXPECT_EQ(Entries(sent[0].body),
            (std::vector<std::string>{"Method=v<string>: 'SearchAddressBook'", "AddressBook=v<int32>: 7",
                                      std::string("Conference=v<string>: '") + kRoom + "'"}));
  // The list was applied all the same.
  EXPECT_EQ(Peers(room), (std::vector<std::string>{"a@x:0", "me@test.invalid:0"}));
}

// A subscriber that needs the conference store on another thread gets it: the store's lock is
// released before the signals.
class StoreWaiter {
 public:
  explicit StoreWaiter(HX_ConfManager* cm) : m_cm(cm) {}
  void OnPeers(int, std::shared_ptr<::conference::ParticipantListUpdateInfo>) {
    // Detached, so that a store still held fails the test instead of hanging it.
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread([cm = m_cm, taken] {
      {
        HXAutoLock guard(cm->StorageLock());
      }
      // Told only once the store is released again: the test may end, and the store go, at once.
      taken->set_value();
    }).detach();
    got = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  }
  std::atomic<bool> got{false};

 private:
  HX_ConfManager* m_cm;
};

// A contacts manager whose name-cache update (where a banned participant's contactBlocked goes
// out) waits for another thread that needs the conference store.
class WaitingContacts : public RecordingContacts {
 public:
  WaitingContacts(HXFSMShared* fsm, HX_ConfManager* cm) : RecordingContacts(nullptr, fsm), m_cm(cm) {}
  void OnUpdatePeerIdCache(const char* id, const char* name, bool flag) override {
    RecordingContacts::OnUpdatePeerIdCache(id, name, flag);
    StoreWaiter waiter(m_cm);
    waiter.OnPeers(0, nullptr);
    if (!waiter.got.load()) blocked = true;
  }
  std::atomic<bool> blocked{false};

 private:
  HX_ConfManager* m_cm;
};


TEST_F(ParticipantListTest, NameCacheUpdatesComeAfterTheStoreIsReleased) {
  auto contacts = std::make_shared<WaitingContacts>(fsm, cm);
  holder.contacts = contacts;
  HX_Container join = List(kRoom, 1, 1);
  join.AddValue("UserName", "banned@x");
  join.AddValue("UserName", "a@x");
  EXPECT_TRUE(Parse(join));
  EXPECT_EQ(contacts->calls().Calls().size(), 2u);
  EXPECT_FALSE(contacts->blocked.load());
}

TEST_F(ParticipantListTest, SignalsComeAfterTheStoreIsReleased) {
  StoreWaiter waiter(cm);
  presence->conferencePeersUpdated.Connect(&waiter, &StoreWaiter::OnPeers);
  HX_Container join = List(kRoom, 1, 1);
  join.AddValue("UserName", "a@x");
  EXPECT_TRUE(Parse(join));
  EXPECT_TRUE(waiter.got.load());
  presence->conferencePeersUpdated.Disconnect(&waiter, &StoreWaiter::OnPeers);
}

}  // namespace
}  // namespace hx::testing
