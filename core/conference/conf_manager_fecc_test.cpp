// Far-end camera control messages ("FECC") and the device-control senders of the conference
// service, against the fake server over the client's real transport: one table of every sender
// with its entries in order and its destination server; the checked send (logged-in state, named
// targets, the selected peer of a call, the rules' refusals); received requests applied to the
// rules, answered and reported, the direct answers when no conference is found, camera commands
// from senders without a peer record under each own policy, and bad input; received device-control
// messages handed to the addressed conference's interface.
//
// What the client did not send is checked after a marker ("Kick") that the same connection
// carries afterwards: once the server has the marker, it has everything sent before it.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/conference/control/recording_conf_ctrl.h"
#include "core/transport/session.h"

namespace hx::testing {
namespace {

constexpr char kSid[] = "room@brk";
constexpr char kServer[] = "srv#1";

using Entries = std::vector<std::string>;
using ::conference::FeccCommand;

// Every entry of a body as "name=value", in order (integers in decimal, booleans as 0 or 1).
Entries EntriesOf(const HX_Container& body) {
  Entries out;
  body.Reset();
  while (body.Next()) {
    std::string value;
    switch (body.GetType()) {
      case HX_CNT_INTEGER_VT: {
        int32_t v = 0;
        body.GetValue(v);
        value = std::to_string(v);
        break;
      }
      case HX_CNT_BOOL_VT: {
        bool v = false;
        body.GetValue(v);
        value = v ? "1" : "0";
        break;
      }
      case HX_CNT_STRING_VT:
        value = body.GetStrValue();
        break;
      default:
        value = "<type " + std::to_string(body.GetType()) + ">";
        break;
    }
    out.push_back(std::string(body.GetName()) + "=" + value);
  }
  return out;
}

FeccCommand Fecc(int32_t type, int32_t value = 0) {
  FeccCommand command;
  command.requestType = type;
  command.value = value;
  return command;
}

::conference::DeviceConfig Device(::conference::DeviceConfig::DeviceType type, const char* id,
                                  const char* name, int32_t volume = 0, bool mute = false) {
  ::conference::DeviceConfig device;
  device.type = type;
  device.id = id;
  device.name = name;
  device.volume = volume;
  device.mute = mute;
  return device;
}

HX_Container FeccBody(const char* sid, const char* from, int32_t type) {
  HX_Container body;
  body.AddValue("Method", "FECC");
  if (sid != nullptr) body.AddValue("Conference", sid);
  body.AddValue("Type", type);
  if (from != nullptr) body.AddValue("From", from);
  return body;
}

// The three camera-control states of a peer: request, grant, the peer's policy.
using States = std::tuple<int32_t, int32_t, int32_t>;

class FeccTest : public ConfServiceFixture {
 public:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    m_client->session->setStateTrs(HX_TransportSession::eLoggedIn);
    cm->FeccRequestSignal.Connect(this, &FeccTest::OnFecc);
  }
  void OnFecc(const std::string& sid, const std::string& from, int type) {
    reports.Add({sid, from, type});
  }

  // A group conference (type 5) joined, with bob and carol in it, or a private call with bob
  // selected.
  void Group() {
    AddConference(kSid, kServer, 5, ::conference::kStateJoined);
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->addPeer(kBob, 6);
    lock->addPeer(kCarol, 6);
  }
  void Call() {
    AddConference(kSid, kServer, 0, ::conference::kStateJoined);
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->addPeer(kBob, 6);
    lock->addPeer(kCarol, 6);
    lock->selectPeerInstance(lock, kBob);
  }
  void SetPeer(const char* id, const States& states) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    ::conference::Peer* peer = lock->getPeer(id);
    ASSERT_NE(peer, nullptr);
    std::tie(peer->feccRequestState, peer->feccGrantState, peer->feccPeerState) = states;
  }
  States PeerStates(const char* id) {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, std::string(kSid))) return {-1, -1, -1};
    const ::conference::Peer* peer = lock->getPeer(id);
    if (peer == nullptr) return {-1, -1, -1};
    return {peer->feccRequestState, peer->feccGrantState, peer->feccPeerState};
  }
  void SetOwnPolicy(int32_t policy) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->getFeccHelper().setMyState(policy);
  }
  int32_t OwnPolicy() {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, std::string(kSid))) return -1;
    return lock->getFeccHelper().getMyState();
  }

  // Every "FECC" the server has received, once the marker that follows them has arrived.
  std::vector<ReceivedMessage> FeccSent() {
    const size_t before = Count("Kick");
    EXPECT_TRUE(cm->KickPeer("marker@brk", "marker"));
    ReceivedMessage marker;
    EXPECT_TRUE(Request("Kick", &marker, before));
    std::vector<ReceivedMessage> out;
    for (const auto& m : m_server->Messages()) {
      if (m.method == "FECC") out.push_back(m);
    }
    return out;
  }
  bool Parse(HX_Container body) { return cm->ParseIncomimgMessage(body); }

  SignalLog<std::tuple<std::string, std::string, int>> reports;  // SID, sender, type
};

struct SenderRow {
  const char* label;
  std::function<void(FeccTest&)> prepare;
  std::function<bool(FeccTest&)> action;
  Entries entries;     // the body as the server reads it, in order
  const char* server;  // destination server
};

TEST_F(FeccTest, EverySenderCarriesItsEntriesInOrderToTheBroker) {
  using DC = ::conference::DeviceConfig;
  const std::string from = std::string("From=") + kAlice;
  const std::string me = std::string("UserName=") + kAlice;
  const std::string toBob = std::string("To=") + kBob;
  const std::vector<SenderRow> rows = {
      {"policy request to a named peer",
       [](FeccTest& t) { t.Group(); },
       [](FeccTest& t) { return t.cm->FeccRequestState(kSid, kBob); },
       {"Method=FECC", "Conference=room@brk", "Type=1", from, toBob},
       "brk"},
      {"policy reply carries FeccState",
       nullptr,
       [](FeccTest& t) { return t.cm->feccSendRequest(kSid, kBob, Fecc(2, 1)); },
       {"Method=FECC", "Conference=room@brk", "Type=2", from, toBob, "FeccState=1"},
       "brk"},
      {"policy notice goes to the own login with the new policy",
       [](FeccTest& t) { t.Group(); },
       [](FeccTest& t) { return t.cm->FeccSendCommand(kSid, nullptr, Fecc(3, 2)); },
       {"Method=FECC", "Conference=room@brk", "Type=3", from, std::string("To=") + kAlice,
        "FeccState=2"},
       "brk"},
      {"access request",
       [](FeccTest& t) {
         t.Group();
         t.SetPeer(kBob, {2, 0, 2});
       },
       [](FeccTest& t) { return t.cm->FeccRequestAccess(kSid, kBob); },
       {"Method=FECC", "Conference=room@brk", "Type=17", from, toBob},
       "brk"},
      {"camera command",
       [](FeccTest& t) { t.Group(); },
       [](FeccTest& t) { return t.cm->FeccSendCommand(kSid, kBob, Fecc(35, 9)); },
       {"Method=FECC", "Conference=room@brk", "Type=35", from, toBob},
       "brk"},
      {"preset 81 carries PresetNum",
       [](FeccTest& t) { t.Group(); },
       [](FeccTest& t) { return t.cm->FeccSendCommand(kSid, kBob, Fecc(81, 4)); },
       {"Method=FECC", "Conference=room@brk", "Type=81", from, toBob, "PresetNum=4"},
       "brk"},
      {"preset 82 carries PresetNum",
       nullptr,
       [](FeccTest& t) { return t.cm->feccSendRequest(kSid, kBob, Fecc(82, 6)); },
       {"Method=FECC", "Conference=room@brk", "Type=82", from, toBob, "PresetNum=6"},
       "brk"},
      {"query devices",
       nullptr,
       [](FeccTest& t) { return t.cm->ConfCtrlSendReqDeviceState(kSid, kBob); },
       {"Method=QueryDevices", "Conference=room@brk", std::string("UserName=") + kBob},
       "brk"},
      {"change device",
       nullptr,
       [](FeccTest& t) {
         return t.cm->ConfCtrlSendReqChangeDevice(kSid, kBob, Device(DC::kCamera, "cam1", "Cam"));
       },
       {"Method=ChangeDevice", "Conference=room@brk", std::string("UserName=") + kBob,
        "Type=camera", "id=cam1", "Name=Cam", "Cause=4"},
       "brk"},
      {"set device state, volume only",
       nullptr,
       [](FeccTest& t) {
         return t.cm->ConfCtrlSendReqChangeDeviceState(
             kSid, kBob, Device(DC::kSpeaker, "spk", "S", 70, true), 1);
       },
       {"Method=SetDeviceState", "Conference=room@brk", std::string("UserName=") + kBob,
        "Type=speaker", "id=spk", "Volume=70", "Cause=4"},
       "brk"},
      {"set device state, mute only",
       nullptr,
       [](FeccTest& t) {
         return t.cm->ConfCtrlSendReqChangeDeviceState(
             kSid, kBob, Device(DC::kMicrophone, "mic", "M", 70, true), 2);
       },
       {"Method=SetDeviceState", "Conference=room@brk", std::string("UserName=") + kBob,
        "Type=microphone", "id=mic", "Mute=1", "Cause=4"},
       "brk"},
      {"set device state, neither: still Cause 4",
       nullptr,
       [](FeccTest& t) {
         return t.cm->ConfCtrlSendReqChangeDeviceState(
             kSid, kBob, Device(DC::kMicrophone, "mic", "M", 70, true), 0);
       },
       {"Method=SetDeviceState", "Conference=room@brk", std::string("UserName=") + kBob,
        "Type=microphone", "id=mic", "Cause=4"},
       "brk"},
      {"devices list in ascending type order",
       nullptr,
       [](FeccTest& t) {
         HX_ConfManager::DeviceMap devices;
         devices[DC::kDesktop] = {Device(DC::kDesktop, "d", "Desk")};
         devices[DC::kCamera] = {Device(DC::kCamera, "a", "A"), Device(DC::kCamera, "b", "B")};
         devices[DC::kMicrophone] = {Device(DC::kMicrophone, "c", "C")};
         return t.cm->ConfCtrlSendDevices(kSid, devices);
       },
       {"Method=DevicesList", "Conference=room@brk", me, "Type=microphone", "id=c", "Name=C",
        "Type=camera", "id=a", "Name=A", "id=b", "Name=B", "Type=desktop", "id=d", "Name=Desk"},
       "brk"},
      {"device changed",
       nullptr,
       [](FeccTest& t) {
         return t.cm->ConfCtrlSendDeviceChanged(kSid, Device(DC::kCamera, "cam2", "Back"), 7);
       },
       {"Method=DeviceChanged", "Conference=room@brk", me, "Type=camera", "id=cam2", "Name=Back",
        "Cause=7"},
       "brk"},
      {"device state, both valid",
       nullptr,
       [](FeccTest& t) {
         ::conference::DeviceChangeDesc desc;
         desc.flags = 3;
         desc.cause = 5;
         return t.cm->ConfCtrlSendDeviceState(kSid, Device(DC::kSpeaker, "spk", "S", 40, false),
                                              desc);
       },
       {"Method=DeviceState", "Conference=room@brk", me, "Type=speaker", "id=spk", "Volume=40",
        "Mute=0", "Cause=5"},
       "brk"},
      {"device state, mute only",
       nullptr,
       [](FeccTest& t) {
         ::conference::DeviceChangeDesc desc;
         desc.flags = 2;
         return t.cm->ConfCtrlSendDeviceState(kSid, Device(DC::kMicrophone, "mic", "M", 40, true),
                                              desc);
       },
       {"Method=DeviceState", "Conference=room@brk", me, "Type=microphone", "id=mic", "Mute=1",
        "Cause=0"},
       "brk"},
  };
  for (const SenderRow& row : rows) {
    SCOPED_TRACE(row.label);
    cm.reset();
    cm = std::make_unique<HX_ConfManager>("CONFERENCE", m_client->session, m_client->fsm.get());
    if (row.prepare) row.prepare(*this);
    const std::string method = row.entries.front().substr(std::string("Method=").size());
    const size_t before = Count(method);
    EXPECT_TRUE(row.action(*this));
    ReceivedMessage m;
    ASSERT_TRUE(Request(method, &m, before));
    EXPECT_EQ(EntriesOf(m.body), row.entries);
    EXPECT_EQ(m.service(), "CONFERENCE");
    EXPECT_EQ(m.frame.names.dst_server, row.server);
    EXPECT_EQ(m.frame.names.dst_user, "");
    EXPECT_EQ(m.frame.names.src_service, "CONFERENCE");
  }
}

// The checked send refuses before anything is composed, and a refusal leaves the peer's states.
TEST_F(FeccTest, CheckedSendRefusals) {
  Group();
  SetPeer(kBob, {2, 0, 2});
  // Not logged in (state 3): nothing goes, bob's states stay.
  m_client->session->setStateTrs(HX_TransportSession::eConnected);
  EXPECT_FALSE(cm->FeccRequestAccess(kSid, kBob));
  EXPECT_FALSE(cm->FeccSendCommand(kSid, kBob, Fecc(33)));
  EXPECT_FALSE(cm->FeccRequestState(kSid, nullptr));
  EXPECT_EQ(PeerStates(kBob), States(2, 0, 2));
  m_client->session->setStateTrs(HX_TransportSession::eLoggedIn);
  // A group conference without a named target.
  EXPECT_FALSE(cm->FeccRequestAccess(kSid, nullptr));
  EXPECT_FALSE(cm->FeccSendCommand(kSid, nullptr, Fecc(33)));
  // The rules refuse: type 65 is never sent; no access request to a peer of policy 1; a second
  // policy request once the policy is known.
  EXPECT_FALSE(cm->FeccSendCommand(kSid, kBob, Fecc(65)));
  SetPeer(kCarol, {2, 0, 1});
  EXPECT_FALSE(cm->FeccRequestAccess(kSid, kCarol));
  EXPECT_FALSE(cm->FeccRequestState(kSid, kCarol));
  EXPECT_EQ(PeerStates(kCarol), States(2, 0, 1));
  // No conference: an unknown SID, or no active one.
  EXPECT_FALSE(cm->FeccRequestAccess("nowhere@brk", kBob));
  EXPECT_TRUE(FeccSent().empty());

  // Allowed now: the access request goes and bob's request is pending.
  EXPECT_TRUE(cm->FeccRequestAccess(kSid, kBob));
  EXPECT_EQ(PeerStates(kBob), States(3, 0, 2));
  EXPECT_EQ(FeccSent().size(), 1u);
}

TEST_F(FeccTest, InACallTheTargetIsTheSelectedPeer) {
  Call();
  EXPECT_TRUE(cm->FeccSendCommand(kSid, kCarol, Fecc(34)));
  EXPECT_TRUE(cm->FeccSendCommand(kSid, nullptr, Fecc(36)));
  const auto sent = FeccSent();
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& m : sent) EXPECT_EQ(TextOf(m.body, "To"), kBob);
}

TEST_F(FeccTest, PolicyRequestToEveryPeerSendsOneEach) {
  Group();
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->addPeer("dan@fake.example", 6);
  }
  EXPECT_TRUE(cm->FeccRequestState(kSid, nullptr));
  const auto sent = FeccSent();
  ASSERT_EQ(sent.size(), 3u);
  std::vector<std::string> targets;
  for (const auto& m : sent) targets.push_back(TextOf(m.body, "To"));
  EXPECT_EQ(targets, (std::vector<std::string>{kBob, kCarol, "dan@fake.example"}));
  EXPECT_EQ(PeerStates(kBob), States(1, 0, 0));
  // Bob's policy is known now: his request is refused, the others still go, and the answer is
  // false because not every one went.
  SetPeer(kBob, {2, 0, 2});
  EXPECT_FALSE(cm->FeccRequestState(kSid, nullptr));
  EXPECT_EQ(FeccSent().size(), 5u);
}

// Received requests through the fake server: the rules answer and the platform hears of changes.
TEST_F(FeccTest, ReceivedRequestsAreAnsweredAndReported) {
  Group();
  SetOwnPolicy(2);
  // A policy request is always answered with the own policy, and not reported.
  ASSERT_TRUE(m_conference->SendToUser(kAlice, FeccBody(kSid, kBob, 1)));
  // An access request under policy 2 is put before the user: reported, not answered.
  ASSERT_TRUE(m_conference->SendToUser(kAlice, FeccBody(kSid, kCarol, 17)));
  ASSERT_TRUE(reports.WaitSize(1));
  auto sent = FeccSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(EntriesOf(sent[0].body),
            (Entries{"Method=FECC", "Conference=room@brk", "Type=2", std::string("From=") + kAlice,
                     std::string("To=") + kBob, "FeccState=2"}));
  EXPECT_EQ(reports.Values()[0], std::make_tuple(std::string(kSid), std::string(kCarol), 17));
  EXPECT_EQ(PeerStates(kCarol), States(0, 3, 0));
  // The same request again is neither answered nor shown.
  EXPECT_TRUE(Parse(FeccBody(kSid, kCarol, 17)));
  EXPECT_EQ(FeccSent().size(), 1u);
  EXPECT_EQ(reports.Size(), 1u);
  // The user allows: carol's grant is 4 and her command is carried out (reported).
  EXPECT_TRUE(cm->FeccSendCommand(kSid, kCarol, Fecc(18)));
  EXPECT_EQ(PeerStates(kCarol), States(0, 4, 0));
  EXPECT_TRUE(Parse(FeccBody(kSid, kCarol, 33)));
  EXPECT_EQ(reports.Size(), 2u);
  // A policy change withdraws the grant: the next command is refused.
  EXPECT_TRUE(cm->FeccSendCommand(kSid, nullptr, Fecc(3, 2)));
  EXPECT_TRUE(cm->FeccSendCommand(kSid, nullptr, Fecc(3, 0)));
  EXPECT_EQ(PeerStates(kCarol), States(0, 2, 0));
  EXPECT_TRUE(Parse(FeccBody(kSid, kCarol, 33)));
  EXPECT_EQ(reports.Size(), 2u);
  // Under policy 1 an access request is allowed at once and not shown.
  SetOwnPolicy(1);
  EXPECT_TRUE(Parse(FeccBody(kSid, kBob, 17)));
  sent = FeccSent();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(IntOf(sent.back().body, "Type"), 18);
  EXPECT_EQ(TextOf(sent.back().body, "To"), kBob);
  EXPECT_EQ(reports.Size(), 2u);
}

TEST_F(FeccTest, WithoutTypeAMessageIsAPolicyNotice) {
  Group();
  HX_Container body;
  body.AddValue("Method", "FECC");
  body.AddValue("Conference", kSid);
  body.AddValue("From", kBob);
  body.AddValue("FeccState", int32_t{2});
  EXPECT_TRUE(Parse(body));
  ASSERT_EQ(reports.Size(), 1u);
  EXPECT_EQ(reports.Values()[0], std::make_tuple(std::string(kSid), std::string(kBob), 3));
  EXPECT_EQ(PeerStates(kBob), States(2, 0, 2));
}

// Without a conference, the access and policy requests are answered straight away with the SID
// they named: 19, and 2 with the store's default policy. Other types and senderless requests get
// nothing.
TEST_F(FeccTest, RequestsThatFindNoConferenceAreAnsweredDirectly) {
  ::conference::DefaultParams defaults = cm->getConferenceDefaults();
  defaults.fecc.setMyState(2);
  cm->setConferenceDefaults(defaults);
  EXPECT_TRUE(Parse(FeccBody("gone@other", kBob, 17)));
  EXPECT_TRUE(Parse(FeccBody("gone@other", kBob, 1)));
  EXPECT_TRUE(Parse(FeccBody("gone@other", kBob, 33)));
  EXPECT_TRUE(Parse(FeccBody("gone@other", kBob, 18)));
  EXPECT_TRUE(Parse(FeccBody("gone@other", nullptr, 1)));
  const auto sent = FeccSent();
  ASSERT_EQ(sent.size(), 2u);
  const std::string from = std::string("From=") + kAlice;
  const std::string to = std::string("To=") + kBob;
  EXPECT_EQ(EntriesOf(sent[0].body),
            (Entries{"Method=FECC", "Conference=gone@other", "Type=19", from, to}));
  EXPECT_EQ(sent[0].frame.names.dst_server, "other");
  EXPECT_EQ(EntriesOf(sent[1].body),
            (Entries{"Method=FECC", "Conference=gone@other", "Type=2", from, to, "FeccState=2"}));
  EXPECT_EQ(reports.Size(), 0u);
}

// A "FECC" with an unknown or absent SID goes to the active conference.
TEST_F(FeccTest, UnknownSidTakesTheActiveConference) {
  Group();
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->activeConferenceWLock(lock)) << "the joined conference is the active one";
  }
  SetOwnPolicy(1);
  EXPECT_TRUE(Parse(FeccBody("other@brk", kBob, 34)));
  EXPECT_TRUE(Parse(FeccBody(nullptr, kBob, 34)));
  ASSERT_EQ(reports.Size(), 2u);
  EXPECT_EQ(std::get<0>(reports.Values()[0]), kSid);
}

// A camera command from a sender the conference has no record of ("From" unknown or absent) is
// carried out only under own policy 1, where no grant is needed; a known peer needs its grant
// under policy 2, and nobody gets through under policy 0.
TEST_F(FeccTest, CameraCommandFromAnUnknownSenderOnlyUnderPolicyOne) {
  Group();
  // Bob was allowed, carol denied.
  struct Case {
    int32_t policy;
    const char* from;
    bool carriedOut;
  };
  const std::vector<Case> cases = {
      {0, "mallory@fake.example", false},
      {1, "mallory@fake.example", true},
      {2, "mallory@fake.example", false},
      {0, nullptr, false},
      {1, nullptr, true},
      {2, nullptr, false},
      {0, kBob, false},
      {1, kBob, true},
      {2, kBob, true},
      {2, kCarol, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.policy) + " " + (c.from != nullptr ? c.from : "<none>"));
    // A policy change withdraws the grants: they are put back after it.
    SetOwnPolicy(c.policy);
    SetPeer(kBob, {0, 4, 0});
    SetPeer(kCarol, {0, 5, 0});
    for (int32_t type : {33, 38, 81, 82, 40}) {
      const size_t before = reports.Size();
      HX_Container body = FeccBody(kSid, c.from, type);
      body.AddValue("PresetNum", int32_t{3});
      EXPECT_TRUE(Parse(body));
      EXPECT_EQ(reports.Size(), before + (c.carriedOut ? 1 : 0)) << "type " << type;
    }
  }
  EXPECT_EQ(PeerStates(kBob), States(0, 4, 0));
  EXPECT_TRUE(FeccSent().empty());
}

// Keys missing or of another type change nothing they should not.
TEST_F(FeccTest, BadInputChangesNothingItShouldNot) {
  Group();
  SetOwnPolicy(2);
  SetPeer(kBob, {2, 0, 2});
  std::vector<HX_Container> bodies;
  {
    // "From" of another type: no sender; a policy notice without a peer changes nothing.
    HX_Container b = FeccBody(kSid, nullptr, 3);
    b.AddValue("From", int32_t{7});
    b.AddValue("FeccState", int32_t{1});
    bodies.push_back(b);
  }
  {
    // "FeccState" of another type reads as 0: bob's policy becomes 0, which is a change.
    HX_Container b = FeccBody(kSid, kBob, 2);
    b.AddValue("FeccState", "one");
    bodies.push_back(b);
  }
  {
    // "Type" of another type reads as 3 (notice, no FeccState: 0, already known: nothing).
    HX_Container b;
    b.AddValue("Method", "FECC");
    b.AddValue("Conference", kSid);
    b.AddValue("Type", "seventeen");
    b.AddValue("From", kBob);
    bodies.push_back(b);
  }
  {
    // "Conference" of another type: the active conference; an access request without a peer
    // record is denied, but there is nobody to send it to in a group conference.
    HX_Container b = FeccBody(nullptr, nullptr, 17);
    b.AddValue("Conference", int32_t{5});
    bodies.push_back(b);
  }
  {
    // A policy request without "From" in a group conference: no target, no answer.
    bodies.push_back(FeccBody(kSid, nullptr, 1));
  }
  {
    // "To" naming someone else is not read: the request counts for this client.
    HX_Container b = FeccBody(kSid, kCarol, 19);
    b.AddValue("To", int32_t{1});
    bodies.push_back(b);
  }
  for (HX_Container& body : bodies) EXPECT_TRUE(cm->ParseIncomimgMessage(body));
  EXPECT_EQ(PeerStates(kBob), States(2, 0, 0));
  EXPECT_EQ(PeerStates(kCarol), States(5, 2, 0));  // grant 2: the policy set above
  EXPECT_EQ(OwnPolicy(), 2);
  // Reported: bob's policy change and carol's denial.
  ASSERT_EQ(reports.Size(), 2u);
  EXPECT_EQ(reports.Values()[0], std::make_tuple(std::string(kSid), std::string(kBob), 2));
  EXPECT_EQ(reports.Values()[1], std::make_tuple(std::string(kSid), std::string(kCarol), 19));
  EXPECT_TRUE(FeccSent().empty());
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
  EXPECT_EQ(lock->getState(), ::conference::kStateJoined);
  EXPECT_EQ(lock->peers().size(), 2u);
}

// The device-control senders with missing ids leave the keys out rather than send garbage.
TEST_F(FeccTest, DeviceSendersWithoutIdsLeaveThoseKeysOut) {
  EXPECT_TRUE(cm->ConfCtrlSendReqDeviceState(nullptr, nullptr));
  ReceivedMessage m;
  ASSERT_TRUE(Request("QueryDevices", &m));
  EXPECT_EQ(EntriesOf(m.body), (Entries{"Method=QueryDevices"}));
  EXPECT_EQ(m.frame.names.dst_server, "");
  // A type outside the four has the empty text.
  EXPECT_TRUE(cm->ConfCtrlSendDeviceChanged(kSid, Device(9, "x", "X"), 1));
  ASSERT_TRUE(Request("DeviceChanged", &m));
  EXPECT_EQ(TextOf(m.body, "Type"), "");
}

// With the transport down every sender answers false.
TEST_F(FeccTest, SendersAnswerFalseWithTheTransportDown) {
  Group();
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor(
      [&] { return m_client->transport->getTransportState() != HXZTransport::stateConnected; },
      kTransportWaitMs));
  // Logged in as far as the session knows: only the queueing fails.
  EXPECT_FALSE(cm->feccSendRequest(kSid, kBob, Fecc(2, 1)));
  EXPECT_FALSE(cm->ConfCtrlSendReqDeviceState(kSid, kBob));
  EXPECT_FALSE(cm->ConfCtrlSendDevices(kSid, {}));
}

// Each received device-control method reaches the installed interface of the conference it
// names; without "Conference", for an unknown SID or without an interface it is dropped.
TEST_F(FeccTest, ReceivedDeviceControlReachesTheConferencesInterface) {
  Group();
  auto ctrl = std::make_shared<RecordingCtrl>(kSid);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->setConfCtrlInterface(ctrl);
  }
  const auto body = [](const char* sid, const char* method,
                       std::function<void(HX_Container&)> fill) {
    HX_Container b;
    b.AddValue("Method", method);
    if (sid != nullptr) b.AddValue("Conference", sid);
    fill(b);
    return b;
  };
  const auto all = [&](const char* sid) {
    return std::vector<HX_Container>{
        body(sid, "ChangeDevice",
             [](HX_Container& b) {
               b.AddValue("Type", "camera");
               b.AddValue("id", "cam1");
               b.AddValue("Cause", int32_t{4});
             }),
        body(sid, "SetDeviceState",
             [](HX_Container& b) {
               b.AddValue("id", "mic1");
               b.AddValue("Volume", int32_t{7});
               b.AddValue("Cause", int32_t{4});
             }),
        body(sid, "QueryDevices", [](HX_Container& b) { b.AddValue("UserName", kBob); }),
        body(sid, "DevicesList",
             [](HX_Container& b) {
               b.AddValue("UserName", kBob);
               b.AddValue("Type", "speaker");
               b.AddValue("id", "s1");
               b.AddValue("Name", "Speaker");
             }),
        body(sid, "DeviceChanged",
             [](HX_Container& b) {
               b.AddValue("UserName", kBob);
               b.AddValue("id", "cam2");
               b.AddValue("Cause", int32_t{1});
             }),
        body(sid, "DeviceState",
             [](HX_Container& b) {
               b.AddValue("UserName", kBob);
               b.AddValue("Type", "microphone");
               b.AddValue("id", "mic1");
               b.AddValue("Mute", true);
               b.AddValue("Cause", int32_t{0});
             }),
    };
  };
  for (HX_Container& b : all(kSid)) EXPECT_TRUE(cm->ParseIncomimgMessage(b));
  ASSERT_EQ(ctrl->calls.size(), 6u);
  for (size_t i = 0; i < ctrl->calls.size(); ++i) {
    static const char* const kMethods[] = {"ChangeDevice", "SetDeviceState", "QueryDevices",
                                           "DevicesList",  "DeviceChanged",  "DeviceState"};
    SCOPED_TRACE(ctrl->calls[i]);
    EXPECT_EQ(ctrl->calls[i].rfind(kMethods[i], 0), 0u);
  }
  EXPECT_NE(ctrl->calls[0].find("cam1"), std::string::npos);
  EXPECT_NE(ctrl->calls[3].find("Speaker"), std::string::npos);

  for (const char* sid : {static_cast<const char*>(nullptr), "other@brk"}) {
    for (HX_Container& b : all(sid)) EXPECT_TRUE(cm->ParseIncomimgMessage(b));
  }
  EXPECT_EQ(ctrl->calls.size(), 6u);

  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
    lock->setConfCtrlInterface(nullptr);
  }
  for (HX_Container& b : all(kSid)) EXPECT_TRUE(cm->ParseIncomimgMessage(b));
  EXPECT_EQ(ctrl->calls.size(), 6u);
}

}  // namespace
}  // namespace hx::testing
