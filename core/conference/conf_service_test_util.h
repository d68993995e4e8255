#pragma once
// Test support for the conference service against the fake server: the services
// fixture (a fresh network loop, the fake server with "AUTH", "NET_CONFIG",
// "CLIENT" and now "CONFERENCE" and "LOG"), one client logged in as alice with
// its own HX_ConfManager over the client's real transport, a PrepareCapsSignal
// handler that fills a known capability record, and recorders of the manager's
// signals.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/client/service_test_util.h"
#include "core/conference/conf_manager.h"
#include "testing/fake_server/fake_conference.h"

namespace hx::testing {

inline constexpr char kAlice[] = "alice@fake.example";
inline constexpr char kBob[] = "bob@fake.example";
inline constexpr char kCarol[] = "carol@fake.example";

// Fills every capability record asked for with known values; counts the calls.
struct CapsFiller {
  void Fill(HX_Conference* conference, bool group, HX_ClientCaps& caps) {
    calls.Add({conference != nullptr, group});
    caps.m_streamsDirCon = streamsDirCon;
    caps.m_bandwidthRcv = 777;
    caps.m_videoRcv = 1;
    caps.m_videoSnd = 1;
  }
  int32_t streamsDirCon = 0x2;
  SignalLog<std::pair<bool, bool>> calls;  // (conference given, group)
};

// Every entry name of a body, in order.
inline std::vector<std::string> KeysOf(const HX_Container& body) {
  std::vector<std::string> names;
  body.Reset();
  while (body.Next()) names.emplace_back(body.GetName());
  return names;
}

inline std::string TextOf(const HX_Container& body, const char* name) {
  std::string value;
  body.GetValue(name, value);
  return value;
}

inline int32_t IntOf(const HX_Container& body, const char* name, int32_t fallback = -12345) {
  int32_t value = fallback;
  size_t size = sizeof(value);
  body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
  return value;
}

class ConfServiceFixture : public ServicesFixture {
 public:
  void SetUp() override {
    ServicesFixture::SetUp();
    m_services->SetSendConfigurationAfterLogin(false);
    for (const char* login : {kAlice, kBob, kCarol}) {
      FakeAccount account;
      account.login = login;
      account.password = "secret";
      m_services->AddAccount(account);
    }
    m_conference = std::make_unique<FakeConference>(*m_server, *m_services);
    ServiceClient& c = AddClient();
    m_client = &c;
    c.Connect(m_server->port());
    ASSERT_TRUE(c.login->mLogin(kAlice, "secret", true, true));
    ASSERT_TRUE(c.session->WaitLogins(1));
    ASSERT_TRUE(
        WaitFor([&] { return m_services->ConnectionOfUser(kAlice) != 0; }, kTransportWaitMs));
    c.session->SetLogin(kAlice);
    // The shared state answers "is this my id" from the session, as in the
    // client object.
    c.fsm->setTransportSession(c.session);
    c.session->setSid("sess-alice@sessions#1");
    cm = std::make_unique<HX_ConfManager>("CONFERENCE", c.session, c.fsm.get());
    cm->PrepareCapsSignal.Connect(&caps, &CapsFiller::Fill);
  }
  void TearDown() override {
    cm.reset();
    m_conference.reset();
    ServicesFixture::TearDown();
  }

  // The first message of `method` the server received after `skip` earlier
  // ones.
  bool Request(const std::string& method, ReceivedMessage* found, size_t skip = 0) {
    size_t seen = 0;
    return m_server->WaitForMessage(
        [&](const ReceivedMessage& m) { return m.method == method && seen++ == skip; },
        kTransportWaitMs, found);
  }
  size_t Count(const std::string& method) {
    size_t n = 0;
    for (const auto& m : m_server->Messages()) n += m.method == method ? 1 : 0;
    return n;
  }

  // A conference in the store: SID `sid`, server given apart (so that broker
  // and server id differ), of `type`, owned by the own user, in `state`.
  int32_t AddConference(const std::string& sid, const std::string& server, HX_Conference_Type type,
                        ::conference::State state, const char* owner = kAlice) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "pw", owner, 16, 0, type, 0, 0,
                                                       "topic", false));
    if (!lock) return 0;
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid.c_str(), 1));
    lock->setSID(sid, server);
    if (std::string(owner) == kAlice) lock->setOwner(owner, true);
    if (state != ::conference::kStateRequested) lock->setState(lock, state);
    return lock->getId();
  }

  ServiceClient* m_client = nullptr;
  std::unique_ptr<FakeConference> m_conference;
  std::unique_ptr<HX_ConfManager> cm;
  CapsFiller caps;
};

}  // namespace hx::testing
