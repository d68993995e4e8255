// The presence manager against the fake server's "PRESENCE": alice runs the manager over her real
// transport; bob is a second connection whose statuses go out through a plain sender of his own
// (one process holds one manager per service, so bob has no presence manager here). Statuses,
// extended statuses and forwarding travel both ways, and a push the server drops makes alice ask
// for the complete list once the check interval has passed.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/service_test_util.h"
#include "core/contacts/presence/presence_manager.h"
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

}  // namespace
}  // namespace hx::testing
