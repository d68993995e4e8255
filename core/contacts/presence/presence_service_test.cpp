// The presence manager against the fake server's "PRESENCE": alice runs the manager over her real
// transport; bob is a second connection whose statuses go out through a plain sender of his own
// (one process holds one manager per service, so bob has no presence manager here). Statuses,
// extended statuses and forwarding travel both ways, and a push the server drops makes alice ask
// for the complete list once the check interval has passed. The server's participant lists of a
// group conference reach alice's conference store, and a lost one makes her ask for the whole list.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/service_test_util.h"
#include "core/client/manager_holder.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/contacts/presence/presence_test_util.h"
#include "core/contacts/presence/recording_contacts.h"
#include "testing/fake_server/fake_conference.h"
#include "testing/fake_server/fake_presence.h"
#include "testing/presence_recorder.h"

namespace hx::testing {
namespace {

constexpr char kAlice[] = "alice@fake.example";
constexpr char kBob[] = "bob@fake.example";
constexpr int64_t kIntervalMs = 50;

// Sends bodies to "PRESENCE" from a service of its own, so that nothing comes back to it.
class PlainSender : public HX_AbstractManager {
 public:
  explicit PlainSender(std::shared_ptr<HX_TransportSession> session)
      : HX_AbstractManager("PRESENCE_PLAIN_SENDER", std::move(session)) {}
  ~PlainSender() override { UnregisterServiceHandler(); }
  bool ParseIncomimgMessage(HX_Container&) override { return false; }
  bool Send(const HX_Container& body) { return ComposeSend(body, "PRESENCE", nullptr, nullptr, 20000); }
};

HX_Container Method(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

class PresenceServiceTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    m_services->SetSendConfigurationAfterLogin(false);
    for (const char* login : {kAlice, kBob}) {
      FakeAccount account;
      account.login = login;
      account.password = "secret";
      m_services->AddAccount(account);
    }
    m_presence = std::make_unique<FakePresence>(*m_server, *m_services);
    m_alice = LogIn(kAlice);
    m_bob = LogIn(kBob);
    ASSERT_NE(m_alice, nullptr);
    ASSERT_NE(m_bob, nullptr);
    presence = std::make_unique<HX_PresenceManager>(m_alice->session, m_alice->fsm.get(), kIntervalMs);
    recorder.ConnectAll(*presence);
    aliceSender = std::make_unique<PlainSender>(m_alice->session);
    bobSender = std::make_unique<PlainSender>(m_bob->session);
  }
  void TearDown() override {
    recorder.Disconnect();
    aliceSender.reset();
    bobSender.reset();
    presence.reset();
    ExpectServerSatisfied();
    m_presence.reset();
    ServicesFixture::TearDown();
  }

  ServiceClient* LogIn(const char* login) {
    ServiceClient& c = AddClient();
    c.Connect(m_server->port());
    if (!c.login->mLogin(login, "secret", true, true) || !c.session->WaitLogins(1)) return nullptr;
    if (!WaitFor([&] { return m_services->ConnectionOfUser(login) != 0; }, kTransportWaitMs)) return nullptr;
    c.session->SetLogin(login);
    c.fsm->setTransportSession(c.session);
    c.session->setStateTrs(HX_TransportSession::eLoggedIn);
    return &c;
  }
  // Bob publishes a status, with `ext` when given.
  void BobSends(int32_t status, const HX_Container* ext = nullptr) {
    HX_Container body = Method("UpdateStatus");
    body.AddValue("UserPresStatus", status);
    if (ext != nullptr) body.AddValue("ExtSt", *ext);
    ASSERT_TRUE(bobSender->Send(body));
  }
  bool AliceSees(int32_t status) {
    return WaitFor([&] { return m_alice->fsm->GetStatus(kBob) == status; }, kTransportWaitMs);
  }

  std::unique_ptr<FakePresence> m_presence;
  ServiceClient* m_alice = nullptr;
  ServiceClient* m_bob = nullptr;
  std::unique_ptr<HX_PresenceManager> presence;
  std::unique_ptr<PlainSender> aliceSender;
  std::unique_ptr<PlainSender> bobSender;
  PresenceRecorder recorder;
};

TEST_F(PresenceServiceTest, StatusesAndForwardingTravelBothWays) {
  m_alice->fsm->PushContact(nullptr, kBob, "Bob", USER_STATUS_UNDEF, 0);
  HX_Container subscribe = Method("Subscribe");
  subscribe.AddValue("Cause", 1);
  subscribe.AddValue("CallId", kBob);
  ASSERT_TRUE(aliceSender->Send(subscribe));
  ASSERT_TRUE(recorder.WaitLine("status bob@fake.example 0", kTransportWaitMs));

  BobSends(USER_AVAIL);
  ASSERT_TRUE(AliceSees(USER_AVAIL));
  EXPECT_EQ(m_alice->fsm->SearchContact(kBob)->status, USER_AVAIL);
  BobSends(USER_BUSY);
  ASSERT_TRUE(AliceSees(USER_BUSY));
  EXPECT_TRUE(recorder.WaitLine("status bob@fake.example 2", kTransportWaitMs));

  // Bob forwards his calls; alice reads it from her store.
  HX_Container forwarding;
  forwarding.AddValue("fwd_type", 1);
  forwarding.AddValue("fwd_call_id", "carol@fake.example");
  BobSends(USER_BUSY, &forwarding);
  hx::CallForwardingStatus seen;
  ASSERT_TRUE(WaitFor([&] { return presence->getCallFwdStatus(kBob, seen); }, kTransportWaitMs));
  EXPECT_EQ(seen.type, 1);
  EXPECT_EQ(seen.fwdPeerId, "carol@fake.example");
  // ... and takes it back.
  HX_Container removal;
  removal.AddValue("DelExtSt", "fwd_type");
  removal.AddValue("DelExtSt", "fwd_call_id");
  BobSends(USER_BUSY, &removal);
  ASSERT_TRUE(WaitFor([&] { return !presence->getCallFwdStatus(kBob, seen); }, kTransportWaitMs));

  // Alice's own status and forwarding reach the server.
  ASSERT_TRUE(presence->UpdateStatus(USER_MULTIHOST, nullptr, true));
  hx::CallForwardingStatus own;
  own.setFwdTimeout("dave@fake.example", 20);
  ASSERT_TRUE(presence->setCallForwarding(own));
  std::string target;
  ASSERT_TRUE(WaitFor([&] { return m_presence->ExtStatusOf(kAlice).GetValue("fwd_timeout_call_id", target); },
                      kTransportWaitMs));
  EXPECT_EQ(target, "dave@fake.example");
  EXPECT_EQ(m_presence->StatusOf(kAlice), USER_MULTIHOST);
  EXPECT_EQ(m_presence->Received("GetAllUserStatus").size(), 0u);
}

TEST_F(PresenceServiceTest, ALostPushIsRecoveredByTheCompleteList) {
  HX_Container subscribe = Method("Subscribe");
  subscribe.AddValue("Cause", 1);
  subscribe.AddValue("CallId", kBob);
  ASSERT_TRUE(aliceSender->Send(subscribe));
  ASSERT_TRUE(recorder.WaitLine("status bob@fake.example 0", kTransportWaitMs));
  recorder.Clear();

  m_presence->DropNextPushes(1);
  BobSends(USER_PUBLIC);  // lost
  ASSERT_TRUE(WaitFor([&] { return m_presence->StatusOf(kBob) == USER_PUBLIC; }, kTransportWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(presence->StatusListCheckInterval() + 20));
  EXPECT_EQ(m_alice->fsm->GetStatus(kBob), USER_LOGOFF);
  BobSends(USER_VIP_PUBLIC);  // out of order: alice asks for everything
  ASSERT_TRUE(WaitFor([&] { return m_presence->Received("GetAllUserStatus").size() == 1; }, kTransportWaitMs));
  ASSERT_TRUE(AliceSees(USER_VIP_PUBLIC));
  // The complete list answered the request and reset the reference: the next push is in order.
  ASSERT_TRUE(recorder.WaitLine("begin full", kTransportWaitMs));
  BobSends(USER_AVAIL);
  ASSERT_TRUE(AliceSees(USER_AVAIL));
  std::this_thread::sleep_for(std::chrono::milliseconds(presence->StatusListCheckInterval() + 20));
  BobSends(USER_BUSY);
  ASSERT_TRUE(AliceSees(USER_BUSY));
  EXPECT_EQ(m_presence->Received("GetAllUserStatus").size(), 1u);
}

// A group conference that alice owns and has joined, known to the server; the server's
// participant lists reach her conference store.
class PartListServiceTest : public PresenceServiceTest {
 protected:
  static constexpr const char* kSid = "room1@fake#vcs";

  void SetUp() override {
    PresenceServiceTest::SetUp();
    if (HasFatalFailure()) return;
    m_conference = std::make_unique<FakeConference>(*m_server, *m_services);
    m_presence->WatchConference(m_conference.get());
    cm = std::make_unique<HX_ConfManager>("CONFERENCE", m_alice->session, m_alice->fsm.get());
    holder.fsm = m_alice->fsm.get();
    holder.cm = cm.get();
    contacts = std::make_shared<RecordingContacts>(m_alice->session, m_alice->fsm.get());
    holder.contacts = contacts;
    m_alice->fsm->setManagerHolder(&holder);
    FakeConferenceRecord record;
    record.sid = kSid;
    record.owner = kAlice;
    record.type = 5;
    record.participants = {kAlice};
    m_conference->AddConference(record);
    ConferenceLock lock;
    ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kAlice, 16, 0, 5, 0, 0, nullptr, false));
    ASSERT_TRUE(cm->storageCreateConferenceCommit(lock, kSid, 1));
    lock->setState(lock, ::conference::kStateJoined);
    room = lock->getId();
  }
  void TearDown() override {
    if (m_alice != nullptr) m_alice->fsm->setManagerHolder(nullptr);
    if (m_conference) m_conference->SetParticipantsListener(nullptr);
    holder.contacts.reset();
    contacts.reset();
    cm.reset();
    m_conference.reset();
    PresenceServiceTest::TearDown();
  }
  std::string Peers() {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, room)) return "(gone)";
    std::set<::conference::PeerId> ids;
    lock->getConferenceIdList(ids);
    std::string out;
    for (const auto& peer : ids) out += peer.id + ";";
    return out;
  }
  bool WaitPeers(const std::string& peers) {
    return WaitFor([&] { return Peers() == peers; }, kTransportWaitMs);
  }

  std::unique_ptr<FakeConference> m_conference;
  std::unique_ptr<HX_ConfManager> cm;
  TestHolder holder;
  std::shared_ptr<RecordingContacts> contacts;
  int32_t room = 0;
};

TEST_F(PartListServiceTest, JoinsLeavesAndALostListReachTheConference) {
  ASSERT_TRUE(m_conference->AddParticipant(kSid, kBob));
  ASSERT_TRUE(WaitPeers("alice@fake.example;bob@fake.example;")) << Peers();
  const std::string number = std::to_string(room);
  // Bob comes as an addition, or within a complete list when alice's first list was one.
  const auto bobReported = [&] {
    for (const std::string& line : recorder.Lines()) {
      const bool peers = line.rfind("peers " + number + " ", 0) == 0;
      if (peers && line.find("bob@fake.example") != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(WaitFor(bobReported, kTransportWaitMs)) << ::testing::PrintToString(recorder.Lines());
  EXPECT_GE(contacts->calls().Count("OnUpdatePeerIdCache bob@fake.example bob@fake.example false"), 1u);

  ASSERT_TRUE(m_conference->RemoveParticipant(kSid, kBob));
  ASSERT_TRUE(WaitPeers("alice@fake.example;")) << Peers();

  // A lost list: the next change is out of order and alice asks the conference's server.
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, room));
    // A reference taken "later" than now lets the next gap ask at once.
    lock->participantTracker()->TrackSequenceAt(2, true, INT64_MAX / 2);
  }
  m_presence->DropNextPartLists(1);
  ASSERT_TRUE(m_conference->AddParticipant(kSid, "carol@fake.example"));  // lost
  ASSERT_TRUE(m_conference->AddParticipant(kSid, "dave@fake.example"));
  ASSERT_TRUE(WaitPeers("alice@fake.example;carol@fake.example;dave@fake.example;")) << Peers();
  ReceivedMessage asked;
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "SearchAddressBook"; },
                                       kTransportWaitMs, &asked));
  EXPECT_EQ(asked.service(), "CONFERENCE");
  EXPECT_EQ(asked.frame.names.dst_server, "fake#vcs");
}

}  // namespace
}  // namespace hx::testing
