// The client service "CLIENT": requests between two clients through the fake server, which
// forwards "TryAcceptDirect" to the connection of the user it names, and the manager's reading
// of what arrives.
#include "core/client/client_manager.h"

#include <gtest/gtest.h>

#include <string>

#include "core/client/protocol_constants.h"
#include "core/client/service_test_util.h"

namespace {

using namespace hx::testing;

class ClientServiceTest : public ServicesFixture {
 protected:
  // A client connected and logged in as `login` (password "pw").
  ServiceClient& LoggedIn(const std::string& login) {
    FakeAccount account;
    account.login = login;
    account.password = "pw";
    m_services->AddAccount(account);
    ServiceClient& c = AddClient();
    c.Connect(m_server->port());
    EXPECT_TRUE(c.login->mLogin(login.c_str(), "pw", false, true));
    EXPECT_TRUE(c.session->WaitLogins(1));
    EXPECT_EQ(c.session->Logins().at(0).result, 0);
    return c;
  }

  struct SidLog : SignalLog<std::string> {
    void OnDirect(const char* sid) { Add(sid); }
  } m_sids;
};

TEST_F(ClientServiceTest, TryAcceptDirectReachesTheNamedUser) {
  ServiceClient& alice = LoggedIn("alice@fake.example");
  // Made last, bob's managers are the ones registered: what arrives goes to them.
  ServiceClient& bob = LoggedIn("bob@fake.example");
  bob.client->directAcceptSignal.Connect(&m_sids, &SidLog::OnDirect);

  ASSERT_TRUE(alice.client->TryAcceptDirect("bob@fake.example", "conf-17@fake.example"));
  ASSERT_TRUE(m_sids.WaitSize(1));
  EXPECT_EQ(m_sids.Values(), std::vector<std::string>{"conf-17@fake.example"});

  ReceivedMessage request;
  ASSERT_TRUE(m_server->WaitForMessage([](const ReceivedMessage& m) { return m.method == "TryAcceptDirect"; },
                                       kTransportWaitMs, &request));
  EXPECT_EQ(request.connection, 1);
  EXPECT_EQ(request.frame.names.src_service, "CLIENT");
  EXPECT_EQ(request.frame.names.dst_service, "CLIENT");
  EXPECT_EQ(request.frame.names.dst_user, "bob@fake.example");
  EXPECT_EQ(request.frame.names.dst_server, "");
  EXPECT_EQ(request.frame.time_limit, 7000u);
  std::string name;
  EXPECT_TRUE(request.body.GetValue("Name", name));
  EXPECT_EQ(name, "conf-17@fake.example");
  ExpectServerSatisfied();
}

TEST_F(ClientServiceTest, IncomingMessagesAreAcceptedAndOnlyANamedOfferIsRaised) {
  HX_ClientManager manager(nullptr, nullptr);
  manager.directAcceptSignal.Connect(&m_sids, &SidLog::OnDirect);
  struct Case {
    const char* method;
    const char* name;  // null: no "Name"
    bool raised;
  } cases[] = {
      {"TryAcceptDirect", "sid-1", true}, {"TryAcceptDirect", nullptr, false}, {"TryAcceptDirect", "", true},
      {"Other", "sid-2", false},          {nullptr, "sid-3", false},
  };
  for (const Case& c : cases) {
    m_sids.Clear();
    HX_Container message;
    if (c.method != nullptr) message.AddValue("Method", c.method);
    if (c.name != nullptr) message.AddValue("Name", c.name);
    EXPECT_TRUE(manager.ParseIncomimgMessage(message));
    if (c.raised) {
      EXPECT_EQ(m_sids.Values(), std::vector<std::string>{c.name});
    } else {
      EXPECT_EQ(m_sids.Size(), 0u) << (c.method ? c.method : "(none)");
    }
  }
  // A "Name" of another type is no name.
  HX_Container wrong;
  wrong.AddValue("Method", "TryAcceptDirect");
  wrong.AddValue("Name", static_cast<int32_t>(5));
  m_sids.Clear();
  EXPECT_TRUE(manager.ParseIncomimgMessage(wrong));
  EXPECT_EQ(m_sids.Size(), 0u);
}

TEST_F(ClientServiceTest, ANullSidIsNotSent) {
  HX_ClientManager manager(nullptr, nullptr);
  EXPECT_FALSE(manager.TryAcceptDirect("bob@fake.example", nullptr));
}

}  // namespace
