// The conference service's incoming messages: the dispatch (order,
// case-sensitive names, unknown methods), the call-control handlers with their
// answers at the fake server, the media, status and bit-rate notices, the
// type-6 join in both orders, and the repaired number checks
// ("Port" bounds, a peer's negative "BandWRcv"). Bodies are handed to
// ParseIncomimgMessage as the transport does; the answers the service composes
// travel to the fake server.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/client/network_rate.h"
#include "core/wire/endpoint_record.h"

namespace hx::testing {
namespace {

constexpr char kSid[] = "room@brk";
constexpr char kServer[] = "srv#1";

HX_Container Body(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

std::vector<uint8_t> CapsBytes(int32_t bandwidthRcv, int32_t streamsDirCon = 0, int32_t video = 1) {
  HX_ClientCaps caps;
  caps.m_bandwidthRcv = bandwidthRcv;
  caps.m_streamsDirCon = streamsDirCon;
  caps.m_videoRcv = video;
  caps.m_videoSnd = video;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  std::vector<uint8_t> bytes(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}

void AddBinary(HX_Container& body, const char* name, const std::vector<uint8_t>& bytes) {
  body.AddValue(name, HX_CNT_BINARY_VT, bytes.data(), bytes.size());
}

struct Recorder {
  SignalLog<std::tuple<std::string, std::string, std::string, int>> rejects;
  SignalLog<std::string> invites;
  SignalLog<std::pair<std::string, int>> created;
  SignalLog<std::pair<std::string, int>> caps;  // peer, BandWRcv
  SignalLog<std::tuple<std::string, std::string, std::string, int>> joins;
  SignalLog<std::string> accepts;
  SignalLog<HX_PeerHolder> receivers;
  SignalLog<::conference::ServerBitrateControl> restrictions;
  SignalLog<std::pair<std::string, int>> statuses;
  SignalLog<std::pair<std::string, int>> filters;

  static std::string S(const char* text) { return text != nullptr ? text : "<null>"; }
  void OnReject(const char* p, const char* n, const char* s, int cause) {
    rejects.Add({S(p), S(n), S(s), cause});
  }
  void OnInvite(const std::string& sid, const char* caller, const char* name) {
    invites.Add(sid + "|" + S(caller) + "|" + S(name));
  }
  void OnCreated(const char* sid, int result) { created.Add({S(sid), result}); }
  void OnCaps(const char* peer, const HX_ClientCaps& c) { caps.Add({S(peer), c.m_bandwidthRcv}); }
  void OnJoin(const char* sid, const char* name, const char* key, int result) {
    joins.Add({S(sid), S(name), S(key), result});
  }
  void OnAccept(const char* peer, const char*, const char*, const char* key) {
    accepts.Add(S(peer) + "|" + S(key));
  }
  void OnReceiver(const HX_PeerHolder& holder) { receivers.Add(holder); }
  void OnRestrict(const ::conference::ServerBitrateControl& r) { restrictions.Add(r); }
  void OnStatus(const char* user, int status) { statuses.Add({S(user), status}); }
  void OnFilter(const char* sid, int filter) { filters.Add({S(sid), filter}); }
};

class ConfIncomingTest : public ConfServiceFixture {
 public:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    cm->RejectReceivedSignal.Connect(&rec, &Recorder::OnReject);
    cm->InviteReceivedSignal.Connect(&rec, &Recorder::OnInvite);
    cm->conferenceCreated.Connect(&rec, &Recorder::OnCreated);
    cm->ClientCapsReceivedSignal.Connect(&rec, &Recorder::OnCaps);
    cm->conferenceJoinResult.Connect(&rec, &Recorder::OnJoin);
    cm->AcceptReceivedSignal.Connect(&rec, &Recorder::OnAccept);
    cm->ReceiverConnectedSignal.Connect(&rec, &Recorder::OnReceiver);
    cm->RestrictBitrateSignal.Connect(&rec, &Recorder::OnRestrict);
    cm->DeviceStatusSignal.Connect(&rec, &Recorder::OnStatus);
    cm->ListenersFltrSignal.Connect(&rec, &Recorder::OnFilter);
  }
  bool Parse(HX_Container body) { return cm->ParseIncomimgMessage(body); }
  // The cause of the n-th "Reject" the server received.
  int32_t RejectCause(size_t n) {
    ReceivedMessage m;
    if (!Request("Reject", &m, n)) return -1;
    return IntOf(m.body, "Cause");
  }
  size_t Conferences() {
    HXAutoLock guard(cm->StorageLock());
    HX_Conference* first = nullptr;
    return cm->getConferenceByTypeCountNL(first, HX_ConfStorage::kAnyConference, 0);
  }
  HX_Container Invite(const char* callId = kAlice, const char* caller = kBob,
                      const char* sid = "call@brk") {
    HX_Container body = Body("Invite");
    if (callId != nullptr) body.AddValue("CallId", callId);
    if (caller != nullptr) body.AddValue("Name", caller);
    if (sid != nullptr) body.AddValue("Conference", sid);
    return body;
  }

  Recorder rec;
};

TEST_F(ConfIncomingTest, DispatchByWholeCaseSensitiveNames) {
  struct Case {
    const char* method;
    bool answer;
  };
  // Bodies without keys: the handlers that answer by their result refuse, the
  // others are true.
  const std::vector<Case> cases = {
      {"ConferenceCreated", true},  // result 0: reported, true
      {"ConferenceDeleted", true},
      {"UserRegistrationInfo", true},
      {"ConfigurationUpdated", true},
      {"Invite", true},         // not addressed to this user: answered with cause 3
      {"InviteToMulti", true},  // no conference: ignored
      {"InviteReply", false},   // no active conference
      {"Accept", true},
      {"Reject", true},
      {"Join", true},
      {"ReceiverConnected", true},
      {"SenderConnected", true},
      {"ReqInvite", false},
      {"ListenersFltr", true},
      {"SendCommand", true},
      {"RoleEvent", true},
      {"DeviceStatus", true},
      {"FECC", true},
      {"ManageLayout", true},
      {"ChangeDevice", true},
      {"SetDeviceState", true},
      {"QueryDevices", true},
      {"DevicesList", true},
      {"DeviceChanged", true},
      {"DeviceState", true},
      {"invite", false},
      {"Invite ", false},
      {"INVITE", false},
      {"Joined", false},
      {"", false},
      {"NoSuchMethod", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(Parse(Body(c.method)), c.answer);
  }
  HX_Container empty;
  EXPECT_FALSE(cm->ParseIncomimgMessage(empty));
  HX_Container noMethod;
  noMethod.AddValue("Name", "x");
  EXPECT_FALSE(cm->ParseIncomimgMessage(noMethod));
  HX_Container numberMethod;
  numberMethod.AddValue("Method", int32_t{5});
  EXPECT_FALSE(cm->ParseIncomimgMessage(numberMethod));
  EXPECT_EQ(Conferences(), 0u);
}

// The whole way: the fake server sends the invitation over the client's connection.
TEST_F(ConfIncomingTest, InvitationThroughTheServerReachesTheService) {
  HX_Container body = Invite();
  body.AddValue("DisplayName", "Bob B");
  ASSERT_TRUE(m_conference->SendToUser(kAlice, body));
  ASSERT_TRUE(rec.invites.WaitSize(1));
  EXPECT_EQ(rec.invites.Values()[0], "call@brk|" + std::string(kBob) + "|Bob B");
  EXPECT_EQ(Conferences(), 1u);
}

TEST_F(ConfIncomingTest, InviteRefusalsAnswerWithTheirCauses) {
  // Not addressed to this user: cause 3, true.
  EXPECT_TRUE(Parse(Invite(kCarol)));
  EXPECT_EQ(RejectCause(0), 3);
  // No conference: cause 4, false.
  EXPECT_FALSE(Parse(Invite(kAlice, kBob, nullptr)));
  EXPECT_EQ(RejectCause(1), 4);
  // From the user himself: cause 5.
  EXPECT_TRUE(Parse(Invite(kAlice, kAlice)));
  EXPECT_EQ(RejectCause(2), 5);
  EXPECT_EQ(Conferences(), 0u);
  // A call exists: cause 2, nothing created.
  EXPECT_TRUE(Parse(Invite()));
  EXPECT_EQ(Conferences(), 1u);
  EXPECT_TRUE(Parse(Invite(kAlice, kCarol, "other@brk")));
  EXPECT_EQ(RejectCause(3), 2);
  EXPECT_EQ(Conferences(), 1u);
  ExpectServerSatisfied();
}

TEST_F(ConfIncomingTest, InviteCreatesTheCallAndTakesThePeersCaps) {
  HX_Container body = Invite();
  body.AddValue("DisplayName", "Bob B");
  body.AddValue("DirectConnect", int32_t{1});  // not a value an invitation may carry
  AddBinary(body, "ClientCaps", CapsBytes(900, 0x2, 0));
  EXPECT_TRUE(Parse(body));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, std::string("call@brk")));
  EXPECT_EQ(lock->getState(), 1);
  EXPECT_TRUE(lock->isVerified());
  EXPECT_EQ(lock->getCallId(), kBob);
  EXPECT_TRUE(lock->getStreamEncrypt());
  EXPECT_TRUE(lock->isAudioOnly());  // the peer neither sends nor receives video
  ASSERT_NE(lock->getPeer(kBob), nullptr);
  EXPECT_EQ(lock->getPeer(kBob)->getPeerState(), 1);
  EXPECT_EQ(lock->getPeer(kBob)->getDCType(), 0);
  EXPECT_EQ(lock->getPeer(kBob)->getDisplayName(), "Bob B");
  lock.Unlock();
  EXPECT_EQ(rec.invites.Values(),
            std::vector<std::string>{"call@brk|" + std::string(kBob) + "|Bob B"});
  EXPECT_EQ(rec.created.Values().at(0), std::make_pair(std::string("call@brk"), 1));
  ASSERT_EQ(rec.caps.Size(), 1u);
  EXPECT_EQ(hx::network::rate[hx::network::kPrivateCallRate].receive.load(), 900u);
}

// A peer's receive limit of 0 or less stands for "none named": the private
// call's receive limit becomes 4096, never a negative number.
TEST_F(ConfIncomingTest, NegativeOrZeroBandWRcvGivesTheDefaultLimit) {
  for (int32_t value : {-5, 0, INT32_MIN}) {
    SCOPED_TRACE(value);
    hx::network::rate[hx::network::kPrivateCallRate].receive.store(1);
    HX_Container body = Invite(kAlice, kBob, ("call" + std::to_string(value) + "@brk").c_str());
    AddBinary(body, "ClientCaps", CapsBytes(value));
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(hx::network::rate[hx::network::kPrivateCallRate].receive.load(), 4096u);
    cm->DeleteConference(("call" + std::to_string(value) + "@brk").c_str(), false);
    ASSERT_TRUE(WaitFor([&] { return Conferences() == 0; }, 2000));
  }
}

TEST_F(ConfIncomingTest, InviteToMultiOfANonGroupTypeIsRefusedWithCauseEleven) {
  HX_Container body = Body("InviteToMulti");
  body.AddValue("UserName", kBob);
  body.AddValue("Conference", "g@brk");
  body.AddValue("Type", int32_t{0});
  EXPECT_TRUE(Parse(body));
  ASSERT_EQ(rec.rejects.Size(), 1u);
  EXPECT_EQ(std::get<3>(rec.rejects.Values()[0]), 11);
  EXPECT_EQ(RejectCause(0), 11);
  EXPECT_EQ(Conferences(), 0u);
}

TEST_F(ConfIncomingTest, RepeatedInviteToMultiChangesNothing) {
  HX_Container body = Body("InviteToMulti");
  body.AddValue("UserName", kBob);
  body.AddValue("Conference", "g@brk");
  body.AddValue("Type", int32_t{5});
  body.AddValue("topic", "weekly");
  EXPECT_TRUE(Parse(body));
  EXPECT_EQ(Conferences(), 1u);
  const size_t created = rec.created.Size();
  EXPECT_TRUE(Parse(body));
  EXPECT_EQ(Conferences(), 1u);
  EXPECT_EQ(rec.created.Size(), created);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, std::string("g@brk")));
  EXPECT_EQ(lock->getPeer(kBob)->getPeerState(), 1);
  EXPECT_TRUE(lock->isFlag(0x10080000));
}

TEST_F(ConfIncomingTest, AcceptMapsTheDirectConnectValue) {
  struct Case {
    int32_t sent;
    int32_t stored;
  };
  for (const Case& c : {Case{1, 2}, Case{2, 1}, Case{4, 0}, Case{0, 0}, Case{6, 6}}) {
    SCOPED_TRACE(c.sent);
    const std::string sid = "a" + std::to_string(c.sent) + "@brk";
    const int32_t id = AddConference(sid, kServer, 0, ::conference::kStateRequested);
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      lock->addPeer(kBob, 4);
    }
    HX_Container body = Body("Accept");
    body.AddValue("Conference", sid.c_str());
    body.AddValue("Instance", kBob);
    body.AddValue("SymKey", "K1");
    body.AddValue("DirectConnect", c.sent);
    EXPECT_TRUE(Parse(body));
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    EXPECT_EQ(lock->getState(), 2);
    EXPECT_EQ(lock->getPeer(kBob)->getDCType(), c.stored);
    EXPECT_EQ(lock->getCMRFlags(), -1);
    lock->close(lock);
    lock.Unlock();
    cm->storageConferenceDelete(id, 1);
  }
  EXPECT_EQ(rec.accepts.Values().at(0), std::string(kBob) + "|K1");
}

TEST_F(ConfIncomingTest, AcceptNamingAnUnknownInstanceInAGroupDeletesTheConference) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateRequested);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->addPeer(kBob, 4);
  }
  HX_Container body = Body("Accept");
  body.AddValue("Conference", kSid);
  body.AddValue("Instance", kCarol);
  EXPECT_TRUE(Parse(body));
  ConferenceLock lock;
  EXPECT_TRUE(!cm->getConferenceLock(lock, id) || lock->getState() == 3);
  EXPECT_EQ(rec.accepts.Size(), 0u);
}

TEST_F(ConfIncomingTest, JoinWithoutConferenceAndResultSixOnlyLogs) {
  AddConference(kSid, kServer, 5, ::conference::kStateRequested);
  HX_Container body = Body("Join");
  body.AddValue("Result", int32_t{6});
  body.AddValue("CallId", kSid);
  EXPECT_TRUE(Parse(body));
  EXPECT_EQ(Conferences(), 1u);
  EXPECT_EQ(rec.joins.Size(), 0u);
}

TEST_F(ConfIncomingTest, ConferenceCreatedRefusalsAndAnUnexpectedConfirmation) {
  // 412 reports 4239 and deletes the waiting record.
  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  EXPECT_EQ(Conferences(), 1u);
  HX_Container refused = Body("ConferenceCreated");
  refused.AddValue("Result", int32_t{412});
  refused.AddValue("Name", "x@brk");
  EXPECT_TRUE(Parse(refused));
  EXPECT_EQ(rec.created.Values().back(), std::make_pair(std::string("x@brk"), 4239));
  EXPECT_EQ(Conferences(), 0u);
  // Result 1 with no waiting record: "DeleteConference" for it and false.
  HX_Container confirmed = Body("ConferenceCreated");
  confirmed.AddValue("Result", int32_t{1});
  confirmed.AddValue("Name", "y@brk");
  EXPECT_FALSE(Parse(confirmed));
  ReceivedMessage m;
  ASSERT_TRUE(Request("DeleteConference", &m));
  EXPECT_EQ(TextOf(m.body, "Name"), "y@brk");
  for (const auto& [in, out] : std::vector<std::pair<int, int>>{
           {0, 0}, {2, 4227}, {3, 3}, {405, 4227}, {412, 4239}, {7, 4225}, {-1, 4225}}) {
    EXPECT_EQ(HX_ConfManager::AdaptConferenceError(in), out);
  }
}

TEST_F(ConfIncomingTest, ConfigurationUpdatedReadsOnlyGoodIpConfigEntries) {
  HX_Endpoint good(nullptr, hx::tcpConnect);
  good.SetHost("10.0.0.7");
  good.SetPort(44307);
  size_t size = 0;
  good.Serialize(nullptr, size);
  std::vector<uint8_t> stored(size);
  ASSERT_TRUE(good.Serialize(stored.data(), size));
  std::vector<uint8_t> damaged = stored;
  damaged[0] ^= 0x5A;  // the checksum no longer matches

  HX_Container body = Body("ConfigurationUpdated");
  body.AddValue("Name", kBob);
  AddBinary(body, "IPConfig", stored);
  AddBinary(body, "IPConfig", damaged);
  AddBinary(body, "ipconfig", stored);  // another letter case: another key
  AddBinary(body, "IPv6Config", stored);
  body.AddValue("IPConfig", "10.0.0.8");  // a text, not a binary
  EXPECT_TRUE(Parse(body));
  auto updates = cm->peerEndpointUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].peer, kBob);
  EXPECT_EQ(updates[0].hosts, (std::vector<std::string>{"10.0.0.7:44307", "10.0.0.7:44307"}));
  EXPECT_EQ(updates[0].families, (std::vector<int>{2, 30}));
  EXPECT_FALSE(updates[0].noDirect);

  // Direct connections forbidden: an empty list with the flag set.
  m_client->fsm->SetForceDisableDirectConnection(true);
  EXPECT_TRUE(Parse(body));
  updates = cm->peerEndpointUpdates();
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_TRUE(updates[1].hosts.empty());
  EXPECT_TRUE(updates[1].noDirect);
}

TEST_F(ConfIncomingTest, RegistrationInfoRenamesThePeerOfAnOwnVerifiedCall) {
  const int32_t id = AddConference(kSid, kServer, 0, ::conference::kStateRequested);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->addPeer("bob", 4);
  }
  HX_Container same = Body("UserRegistrationInfo");
  same.AddValue("CallId", "bob");
  same.AddValue("UserName", "bob");
  EXPECT_TRUE(Parse(same));
  HX_Container renamed = Body("UserRegistrationInfo");
  renamed.AddValue("CallId", "bob");
  renamed.AddValue("UserName", kBob);
  renamed.AddValue("DisplayName", "Bob B");
  EXPECT_TRUE(Parse(renamed));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_EQ(lock->getPeer("bob"), nullptr);
  EXPECT_NE(lock->getPeer(kBob), nullptr);
}

class TypeSixJoinTest : public ConfIncomingTest {
 public:
  int32_t Requested() {
    const int32_t id = AddConference(kSid, kServer, 6, ::conference::kStateRequested, kBob);
    return id;
  }
  HX_Container JoinReply() {
    HX_Container body = Body("Join");
    body.AddValue("Result", int32_t{6});
    body.AddValue("Conference", kSid);
    body.AddValue("Name", "room");
    body.AddValue("UserName", kBob);
    body.AddValue("Type", int32_t{6});
    body.AddValue("SymKey", "JK");
    return body;
  }
  HX_Container SenderConnected(int32_t port = 5004) {
    HX_Container body = Body("SenderConnected");
    body.AddValue("Result", int32_t{2});
    body.AddValue("Conference", kSid);
    body.AddValue("UserName", kAlice);
    body.AddValue("Port", port);
    body.AddValue("McastIp", "239.1.2.3");
    body.AddValue("Key", int32_t{77});
    return body;
  }
  int State(int32_t id) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, id) ? lock->getState() : -1;
  }
};

TEST_F(TypeSixJoinTest, JoinsWhenSenderConnectedComesBeforeTheReply) {
  const int32_t id = Requested();
  EXPECT_TRUE(Parse(SenderConnected()));
  EXPECT_EQ(State(id), 1);
  EXPECT_TRUE(Parse(JoinReply()));
  EXPECT_EQ(State(id), 2);
  ASSERT_EQ(rec.joins.Size(), 1u);
  EXPECT_EQ(rec.joins.Values()[0],
            std::make_tuple(std::string(kSid), std::string("room"), std::string("JK"), 0));
}

TEST_F(TypeSixJoinTest, JoinsWhenSenderConnectedComesAfterTheReply) {
  const int32_t id = Requested();
  EXPECT_TRUE(Parse(JoinReply()));
  EXPECT_EQ(State(id), 1);
  EXPECT_EQ(rec.joins.Size(), 0u);
  EXPECT_TRUE(Parse(SenderConnected()));
  EXPECT_EQ(State(id), 2);
  ASSERT_EQ(rec.joins.Size(), 1u);
  EXPECT_EQ(std::get<2>(rec.joins.Values()[0]), "JK");
}

// A "Port" outside 1-65535 is refused like a bad address: 70000 used to become
// 4464.
TEST_F(TypeSixJoinTest, SenderConnectedWithAPortOutOfRangeIsIgnored) {
  const int32_t id = Requested();
  for (int32_t port : {70000, 0, -1, 65536}) EXPECT_TRUE(Parse(SenderConnected(port)));
  HX_Container notMulticast = Body("SenderConnected");
  notMulticast.AddValue("Result", int32_t{2});
  notMulticast.AddValue("Conference", kSid);
  notMulticast.AddValue("UserName", kAlice);
  notMulticast.AddValue("Port", int32_t{5004});
  notMulticast.AddValue("McastIp", "10.1.1.1");
  EXPECT_TRUE(Parse(notMulticast));
  EXPECT_TRUE(Parse(JoinReply()));
  // No usable notice was stored, so the join still waits.
  EXPECT_EQ(State(id), 1);
  EXPECT_EQ(rec.joins.Size(), 0u);
}

// A sender notice for a conference of another type is kept and never used; it goes with the
// conference.
TEST_F(TypeSixJoinTest, SenderNoticeOfAnotherTypeWaitsUntilTheConferenceGoes) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateJoined, kBob);
  EXPECT_TRUE(Parse(SenderConnected()));
  ASSERT_NE(cm->getWaitConfParam(kSid, 0), nullptr);
  EXPECT_EQ(State(id), 2);
  ASSERT_TRUE(cm->storageConferenceDelete(id, 1));
  EXPECT_EQ(cm->getWaitConfParam(kSid, 0), nullptr);
}

TEST_F(TypeSixJoinTest, GroupOfTypeFiveJoinsOnTheReplyAlone) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateRequested, kBob);
  HX_Container five = Body("Join");
  five.AddValue("Result", int32_t{6});
  five.AddValue("Conference", kSid);
  five.AddValue("UserName", kBob);
  five.AddValue("Type", int32_t{5});
  EXPECT_TRUE(Parse(five));
  EXPECT_EQ(State(id), 2);
}

TEST_F(TypeSixJoinTest, ReceiverConnectedCarriesTheGroupOnlyWithAPortInRange) {
  Requested();
  struct Case {
    int32_t port;
    bool group;
  };
  for (const Case& c : {Case{5006, true}, Case{70000, false}, Case{0, false}}) {
    SCOPED_TRACE(c.port);
    rec.receivers.Clear();
    HX_Container body = Body("ReceiverConnected");
    body.AddValue("Type", int32_t{6});
    body.AddValue("UserName", kBob);
    body.AddValue("Conference", kSid);
    body.AddValue("Result", int32_t{2});
    body.AddValue("MediaFiltr", int32_t{0x300});
    body.AddValue("Port", c.port);
    body.AddValue("McastIp", "239.9.9.9");
    body.AddValue("Key", int32_t{5});
    body.AddValue("SymKey", "SK");
    EXPECT_TRUE(Parse(body));
    ASSERT_EQ(rec.receivers.Size(), 1u);
    const HX_PeerHolder holder = rec.receivers.Values()[0];
    EXPECT_EQ(holder.peerId, kBob);
    EXPECT_EQ(holder.mediaFilter, 0x300u);
    EXPECT_EQ(holder.streamKey, "SK");
    EXPECT_EQ(holder.multicastAddress, c.group ? "239.9.9.9" : "");
    EXPECT_EQ(holder.multicastPort, c.group ? 5006 : 0);
    EXPECT_EQ(holder.multicastKey, c.group ? 5u : 0u);
  }
  // Result 5: only the caps signal.
  const size_t notices = cm->receiverNotices().size();
  HX_Container other = Body("ReceiverConnected");
  other.AddValue("UserName", kBob);
  other.AddValue("Conference", kSid);
  other.AddValue("Result", int32_t{5});
  AddBinary(other, "ClientCaps", CapsBytes(300));
  const size_t caps = rec.caps.Size();
  EXPECT_TRUE(Parse(other));
  EXPECT_EQ(cm->receiverNotices().size(), notices);
  EXPECT_EQ(rec.caps.Size(), caps + 1);
}

TEST_F(ConfIncomingTest, SendCommandRecords) {
  HX_Container svc = Body("SendCommand");
  svc.AddValue("RestrictBtr", int32_t{0});
  svc.AddValue("RestrictBtrSVC", static_cast<int64_t>((uint64_t{300} << 32) | 100));
  EXPECT_TRUE(Parse(svc));
  HX_Container fps = Body("SendCommand");
  fps.AddValue("RestrictFramerate", int32_t{15});
  EXPECT_TRUE(Parse(fps));
  HX_Container nothing = Body("SendCommand");
  nothing.AddValue("RestrictBtrMin", int32_t{0});
  EXPECT_TRUE(Parse(nothing));
  ASSERT_EQ(rec.restrictions.Size(), 2u);
  ::conference::ServerBitrateControl expected;
  expected.baseLimit = expected.baseMaxLimit = expected.videoLimit = expected.dsLimit = 300;
  expected.confLimit = 100;
  EXPECT_EQ(rec.restrictions.Values()[0], expected);
  ::conference::ServerBitrateControl frames;
  frames.fpsLimit = 15;
  EXPECT_EQ(rec.restrictions.Values()[1], frames);
}

TEST_F(ConfIncomingTest, DeviceStatusAndListenersFilter) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateJoined);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->addPeer(kBob, 6);
  }
  HX_Container status = Body("DeviceStatus");
  status.AddValue("UserName", kBob);
  status.AddValue("DeviceStatus", int32_t{0x100010});
  EXPECT_TRUE(Parse(status));
  HX_Container filter = Body("ListenersFltr");
  filter.AddValue("Conference", kSid);
  filter.AddValue("MediaFiltr", int32_t{0x100});
  EXPECT_TRUE(Parse(filter));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_EQ(lock->getDeviceStatus(kBob), 0x100010);
  EXPECT_EQ(lock->getListenersFilter(), 0x100u);
  lock.Unlock();
  EXPECT_EQ(rec.statuses.Values().at(0), std::make_pair(std::string(kBob), 0x100010));
  EXPECT_EQ(rec.filters.Values().at(0), std::make_pair(std::string(kSid), 0x100));
}

// Keys of another type read as absent; garbage capabilities give a default
// record; nothing is lost.
TEST_F(ConfIncomingTest, BadInputChangesNothingItShouldNot) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateJoined);
  std::vector<HX_Container> bodies;
  HX_Container a = Body("ConferenceDeleted");
  a.AddValue("Name", int32_t{5});
  bodies.push_back(a);
  HX_Container b = Body("Reject");
  b.AddValue("Conference", int32_t{1});
  b.AddValue("Name", kBob);
  bodies.push_back(b);
  HX_Container d = Body("ReceiverConnected");
  d.AddValue("UserName", kBob);
  d.AddValue("Conference", kSid);
  d.AddValue("ClientCaps", HX_CNT_BINARY_VT, "\xFF\x00garbage", 9);
  bodies.push_back(d);
  HX_Container e = Body("Join");
  e.AddValue("Conference", int64_t{7});
  bodies.push_back(e);
  HX_Container f = Body("InviteToMulti");
  f.AddValue("Type", "five");
  f.AddValue("Conference", kSid);
  bodies.push_back(f);
  for (HX_Container& body : bodies) cm->ParseIncomimgMessage(body);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_EQ(lock->getState(), 2);
}

}  // namespace
}  // namespace hx::testing
