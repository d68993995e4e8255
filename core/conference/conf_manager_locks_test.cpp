// Lock discipline of the conference service's signals: every handler of a signal raised with the
// store lock released can wait for another thread that takes the store lock (no deadlock);
// every signal raised under the lock ("Accept": AcceptReceivedSignal and its caps;
// "InviteReply"; "InviteToMulti": its caps, the peer name and InviteToMultiReceivedSignal)
// finds the store held. Each handler asks another thread to take the store lock and records
// whether it could.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/client/fsm_shared.h"
#include "core/conference/conf_service_test_util.h"

namespace hx::testing {
namespace {

constexpr char kSid[] = "room@brk";
constexpr char kServer[] = "srv#1";

HX_Container Body(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

void AddCaps(HX_Container& body) {
  HX_ClientCaps caps;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  ASSERT_TRUE(caps.Get(buffer, length));
  body.AddValue("ClientCaps", HX_CNT_BINARY_VT, buffer, length);
  std::free(buffer);
}

class Probe {
 public:
  explicit Probe(HXLock& lock) : m_lock(lock) {}
  void setScenario(const std::string& s) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_scenario = s;
  }
  // name@scenario -> whether another thread could take the store lock, per emission.
  std::map<std::string, std::vector<bool>> seen() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_seen;
  }

  void Prepare(HX_Conference*, bool, HX_ClientCaps&) { Note("PrepareCaps"); }
  void JoinSent(const std::string&) { Note("JoinSent"); }
  void Reject(const char*, const char*, const char*, int) { Note("RejectReceived"); }
  void RejectSent(const char*, const char*, int) { Note("RejectSent"); }
  void Created(const char*, int) { Note("conferenceCreated"); }
  void Invite(const std::string&, const char*, const char*) { Note("InviteReceived"); }
  void UpdateInfo(const char*, const char*) { Note("UpdateConnectionInfo"); }
  void Caps(const char*, const HX_ClientCaps&) { Note("ClientCapsReceived"); }
  void PeerName(const char*, const char*, bool) { Note("peerName"); }
  void JoinReceived(const char*, const char*, const char*, const char*) { Note("JoinReceived"); }
  void JoinResult(const char*, const char*, const char*, int) { Note("conferenceJoinResult"); }
  void Deleted(const char*, int) { Note("conferenceDeleted"); }
  void ReqInviteReceived(const char*, const char*, const char*) { Note("ReqInviteReceived"); }
  void ReqInviteSent(const char*) { Note("ReqInviteSent"); }
  void AcceptSent(const char*, const char*) { Note("AcceptSent"); }
  void Registration(const char*, const char*, const char*) { Note("RegistrationInfo"); }
  void Receiver(const HX_PeerHolder&) { Note("Receiver"); }
  void Status(const char*, int) { Note("DeviceStatus"); }
  void Filter(const char*, int) { Note("ListenersFltr"); }
  void Restrict(const ::conference::ServerBitrateControl&) { Note("RestrictBitrate"); }
  void Layout(int, const char*) { Note("ManageLayout"); }
  void InviteNotice(const char*, const char*, const char*, const char*, HX_Conference_Type, bool) {
    Note("InviteNotice");
  }
  void MultiNotice(const char*, const char*, const char*, const char*) {
    Note("InviteToMultiNotice");
  }
  void MultiReceived(const std::string&, const char*, const char*) {
    Note("InviteToMultiReceived");
  }
  void Accept(const char*, const char*, const char*, const char*) { Note("AcceptReceived"); }
  void InviteReply(const char*, int) { Note("InviteReply"); }
  void MultiSent(const char*, const char*, const char*) { Note("InviteToMultiSent"); }
  void InviteSent(const char*, const char*) { Note("InviteSent"); }

 private:
  void Note(const std::string& name) {
    bool taken = false;
    std::thread other([&] {
      taken = m_lock.TryLock(400);
      if (taken) m_lock.Unlock();
    });
    other.join();
    std::lock_guard<std::mutex> guard(m_mutex);
    m_seen[name + "@" + m_scenario].push_back(taken);
  }

  HXLock& m_lock;
  std::mutex m_mutex;
  std::string m_scenario;
  std::map<std::string, std::vector<bool>> m_seen;
};

class ConfLocksTest : public ConfServiceFixture {
 public:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    cm->PrepareCapsSignal.DisconnectAll();
    probe = std::make_unique<Probe>(cm->StorageLock());
    Probe* p = probe.get();
    cm->PrepareCapsSignal.Connect(p, &Probe::Prepare);
    cm->JoinSentSignal.Connect(p, &Probe::JoinSent);
    cm->RejectReceivedSignal.Connect(p, &Probe::Reject);
    cm->RejectSentSignal.Connect(p, &Probe::RejectSent);
    cm->conferenceCreated.Connect(p, &Probe::Created);
    cm->InviteReceivedSignal.Connect(p, &Probe::Invite);
    cm->UpdateConnectionInfoSignal.Connect(p, &Probe::UpdateInfo);
    cm->ClientCapsReceivedSignal.Connect(p, &Probe::Caps);
    m_client->fsm->peerNameUpdated.Connect(p, &Probe::PeerName);
    cm->JoinReceivedSignal.Connect(p, &Probe::JoinReceived);
    cm->conferenceJoinResult.Connect(p, &Probe::JoinResult);
    cm->conferenceDeleted.Connect(p, &Probe::Deleted);
    cm->ReqInviteReceivedSignal.Connect(p, &Probe::ReqInviteReceived);
    cm->ReqInviteSentSignal.Connect(p, &Probe::ReqInviteSent);
    cm->AcceptSentSignal.Connect(p, &Probe::AcceptSent);
    cm->RegistrationInfoSignal.Connect(p, &Probe::Registration);
    cm->ReceiverConnectedSignal.Connect(p, &Probe::Receiver);
    cm->ReceiverChangedSignal.Connect(p, &Probe::Receiver);
    cm->ReceiverDisconnectedSignal.Connect(p, &Probe::Receiver);
    cm->DeviceStatusSignal.Connect(p, &Probe::Status);
    cm->ListenersFltrSignal.Connect(p, &Probe::Filter);
    cm->RestrictBitrateSignal.Connect(p, &Probe::Restrict);
    cm->ManageLayoutSignal.Connect(p, &Probe::Layout);
    cm->InviteNoticeSignal.Connect(p, &Probe::InviteNotice);
    cm->InviteToMultiNoticeSignal.Connect(p, &Probe::MultiNotice);
    cm->InviteToMultiReceivedSignal.Connect(p, &Probe::MultiReceived);
    cm->AcceptReceivedSignal.Connect(p, &Probe::Accept);
    cm->InviteReplySignal.Connect(p, &Probe::InviteReply);
    cm->InviteToMultiSentSignal.Connect(p, &Probe::MultiSent);
    cm->InviteSentSignal.Connect(p, &Probe::InviteSent);
  }
  void TearDown() override {
    m_client->fsm->peerNameUpdated.DisconnectAll();
    ConfServiceFixture::TearDown();
  }
  void Parse(const std::string& scenario, HX_Container body) {
    probe->setScenario(scenario);
    cm->ParseIncomimgMessage(body);
  }
  void Clean() {
    cm->closeAllConferences();
    ASSERT_TRUE(WaitFor(
        [&] {
          HXAutoLock guard(cm->StorageLock());
          HX_Conference* first = nullptr;
          return cm->getConferenceByTypeCountNL(first, HX_ConfStorage::kAnyConference, 0) == 0;
        },
        5000));
  }

  std::unique_ptr<Probe> probe;
};

TEST_F(ConfLocksTest, SignalsAreRaisedWithTheLockTheyPromise) {
  // Requests.
  probe->setScenario("create");
  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  Clean();
  probe->setScenario("join");
  AddConference(kSid, kServer, 5, ::conference::kStateRequested);
  ASSERT_TRUE(cm->Join(nullptr, nullptr, 5, kSid));
  // The server's answer comes on the network loop: let it arrive before the next scenario.
  ASSERT_TRUE(WaitFor([&] { return probe->seen().count("JoinReceived@join") != 0; }, 5000));
  Clean();
  probe->setScenario("request");
  ASSERT_TRUE(cm->RequestInviteToMulti(kBob));
  Clean();
  probe->setScenario("accept");
  {
    const int32_t id = AddConference(kSid, kServer, 0, ::conference::kStateRequested);
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->addPeer(kBob, 1);
  }
  ASSERT_TRUE(cm->AcceptPeer(kSid, kBob));
  Clean();
  probe->setScenario("invitecall");
  {
    const int32_t id = AddConference(kSid, kServer, 0, ::conference::kStateRequested);
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    ASSERT_TRUE(cm->InvitePeer2Call(lock, kBob));
    EXPECT_TRUE(lock.isLocked());
  }
  Clean();
  probe->setScenario("reject");
  cm->RejectPeer(kSid, kBob, 2);

  // Incoming.
  HX_Container invite = Body("Invite");
  invite.AddValue("CallId", kAlice);
  invite.AddValue("Name", kBob);
  invite.AddValue("Conference", "call@brk");
  invite.AddValue("DisplayName", "Bob");
  invite.AddValue("NeedConnectInfo", true);
  AddCaps(invite);
  Parse("invite", invite);
  HX_Container second = Body("Invite");
  second.AddValue("CallId", kAlice);
  second.AddValue("Name", kCarol);
  second.AddValue("Conference", "other@brk");
  Parse("busy", second);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string("call@brk")));
    lock->setPeerState(kBob, 4);
  }
  HX_Container accept = Body("Accept");
  accept.AddValue("Conference", "call@brk");
  accept.AddValue("Instance", kBob);
  AddCaps(accept);
  Parse("accepted", accept);
  HX_Container reply = Body("InviteReply");
  reply.AddValue("UserName", kBob);
  Parse("reply", reply);  // a private call: no signal
  HX_Container deleted = Body("ConferenceDeleted");
  deleted.AddValue("Name", "call@brk");
  Parse("deleted", deleted);
  Clean();

  HX_Container multi = Body("InviteToMulti");
  multi.AddValue("UserName", kBob);
  multi.AddValue("DisplayName", "Bob");
  multi.AddValue("Conference", "g@brk");
  multi.AddValue("Type", int32_t{5});
  AddCaps(multi);
  Parse("multi", multi);
  HX_Container wrongType = Body("InviteToMulti");
  wrongType.AddValue("UserName", kCarol);
  wrongType.AddValue("Conference", "h@brk");
  wrongType.AddValue("Type", int32_t{0});
  Parse("multi0", wrongType);
  HX_Container join = Body("Join");
  join.AddValue("Result", int32_t{6});
  join.AddValue("Conference", "g@brk");
  join.AddValue("UserName", kBob);
  join.AddValue("Type", int32_t{5});
  Parse("joined", join);
  Parse("reply", reply);  // now a joined group conference: InviteReplySignal
  HX_Container request = Body("ReqInvite");
  request.AddValue("UserName", kCarol);
  request.AddValue("CallId", kCarol);
  Parse("reqinvite", request);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, std::string("g@brk")));
    lock->addPeer("dan@fake.example", 4);
  }
  HX_Container invited = Body("ReqInvite");
  invited.AddValue("UserName", "dan@fake.example");
  invited.AddValue("CallId", "dan@fake.example");
  Parse("reqinvite4", invited);  // already invited: the invitation goes out at once
  HX_Container registration = Body("UserRegistrationInfo");
  registration.AddValue("CallId", "carol");
  registration.AddValue("UserName", kCarol);
  registration.AddValue("DisplayName", "Carol");
  Parse("registration", registration);
  for (int32_t result : {2, 4, 3}) {
    HX_Container receiver = Body("ReceiverConnected");
    receiver.AddValue("UserName", kBob);
    receiver.AddValue("Conference", "g@brk");
    receiver.AddValue("Result", result);
    AddCaps(receiver);
    Parse("receiver", receiver);
  }
  HX_Container status = Body("DeviceStatus");
  status.AddValue("UserName", kBob);
  status.AddValue("DeviceStatus", int32_t{4});
  Parse("status", status);
  HX_Container filter = Body("ListenersFltr");
  filter.AddValue("MediaFiltr", int32_t{0x100});
  Parse("filter", filter);
  HX_Container command = Body("SendCommand");
  command.AddValue("RestrictBtr", int32_t{256});
  Parse("command", command);
  HX_Container layout = Body("ManageLayout");
  layout.AddValue("Layout", "grid");
  Parse("layout", layout);
  Clean();
  probe->setScenario("timer");
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor(
      [&] { return m_client->transport->getTransportState() != HXZTransport::stateConnected; },
      kTransportWaitMs));
  EXPECT_FALSE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));

  const std::map<std::string, bool> expected = {
      {"PrepareCaps@create", true},
      {"PrepareCaps@join", true},
      {"JoinReceived@join", true},
      {"JoinSent@join", true},
      {"PrepareCaps@request", true},
      {"ReqInviteSent@request", true},
      {"PrepareCaps@accept", true},
      {"AcceptSent@accept", true},
      {"RejectSent@reject", true},
      {"conferenceCreated@invite", true},
      {"UpdateConnectionInfo@invite", true},
      {"ClientCapsReceived@invite", true},
      {"peerName@invite", true},
      {"InviteReceived@invite", true},
      {"RejectSent@busy", true},
      {"ClientCapsReceived@accepted", false},
      {"AcceptReceived@accepted", false},
      {"conferenceDeleted@deleted", true},
      {"ClientCapsReceived@multi", false},
      {"peerName@multi", false},
      {"InviteToMultiReceived@multi", false},
      {"InviteNotice@multi", true},
      {"InviteToMultiNotice@multi", true},
      {"RejectReceived@multi0", true},
      {"RejectSent@multi0", true},
      {"JoinReceived@joined", true},
      {"conferenceCreated@joined", true},
      {"conferenceJoinResult@joined", true},
      {"InviteReply@reply", false},
      {"ReqInviteReceived@reqinvite", true},
      {"PrepareCaps@reqinvite4", true},
      {"InviteToMultiSent@reqinvite4", true},
      {"PrepareCaps@invitecall", true},
      {"InviteSent@invitecall", true},
      {"RegistrationInfo@registration", true},
      {"peerName@registration", true},
      {"ClientCapsReceived@receiver", true},
      {"Receiver@receiver", true},
      {"DeviceStatus@status", true},
      {"ListenersFltr@filter", true},
      {"RestrictBitrate@command", true},
      {"ManageLayout@layout", true},
      {"RejectReceived@timer", true},
      {"conferenceDeleted@timer", true},
  };
  const auto seen = probe->seen();
  for (const auto& [name, free] : expected) {
    SCOPED_TRACE(name);
    const auto found = seen.find(name);
    ASSERT_NE(found, seen.end()) << "never raised";
    for (bool taken : found->second) EXPECT_EQ(taken, free);
  }
  // Every emission the probe saw is covered by the table above or is released.
  for (const auto& [name, values] : seen) {
    if (expected.count(name) != 0) continue;
    for (bool taken : values) EXPECT_TRUE(taken) << name << " raised under the lock";
  }
}

}  // namespace
}  // namespace hx::testing
