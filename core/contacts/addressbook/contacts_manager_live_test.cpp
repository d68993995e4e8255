// The address-book manager through a real login against the fake server's "ABOOK": the first
// request cycle and its answers into the stores and the cache file, a restart that shows the
// contacts from the cache before the server answers and is not sent the unchanged books again, a
// lost connection that reports every contact offline, and change notices and group commands
// answered by the server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/client/console_client.h"
#include "core/client/transport_manager_test_util.h"
#include "core/contacts/contact_managers.h"
#include "testing/contacts_recorder.h"
#include "testing/fake_server/fake_abook.h"

namespace hx::testing {
namespace {

using S = HX_TransportSession::State;

constexpr char kUser[] = "user@test.invalid";

class BookClient : public TestConsoleClient {
 public:
  explicit BookClient(std::string folder) : m_folder(std::move(folder)) {}
  const char* GetWorkingDir() override { return m_folder.c_str(); }
  bool WaitSession(int32_t state) {
    return WaitFor([&] { return getStateTrs() == state; }, kManagerWaitMs);
  }

 private:
  std::string m_folder;
};

class ContactsManagerLiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(2000, 2000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(800);
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr);
    SetBuiltInRootCertificate(pki->root.cert_pem);
    FakeServerOptions options;
    options.connection.handshake_reply.server_id = kTestServerId;
    options.connection.handshake_reply.secure = true;
    options.connection.secure_identity = pki->Identity(pki->server);
    m_server = std::make_unique<FakeServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_auth = std::make_unique<SessionAuth>(*m_server);
    m_abook = std::make_unique<FakeAbook>(*m_server, [](int) { return std::string(kUser); });
    m_folder = m_dir.path() + "/";
    m_abook->SetContacts(
        kUser,
        {{"ann@test.invalid", "Ann", "ann", true}, {"bob@test.invalid", "Bob", "bob", false}}, 500);
    m_abook->SetBans(kUser, {"x@test.invalid"}, 600);
  }
  void TearDown() override {
    Finish();
    m_abook.reset();
    m_auth.reset();
    m_server.reset();
    delete HXZServer::installNetworkManager();
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(15000, 15000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
    HXZCommonSocket::SetDenyTLS(false);
  }

  void MakeClient() {
    m_client = std::make_unique<BookClient>(m_folder);
    m_client->CreateApplication();
    m_recorder =
        std::make_unique<ContactsRecorder>(*m_client->contactsManager(), *m_client->getFSM());
  }
  void Finish() {
    if (!m_client) return;
    BookClient& client = *m_client;
    if (client.getStateTrs() == S::eLoggedIn) {
      // Logged out first (keeping the key), as a host does before it disconnects.
      client.Logout(true, true);
      client.WaitSession(S::eConnected);
    }
    if (client.getStateTrs() != S::eNoConnection) {
      client.DisconnectServer();
      client.WaitSession(S::eNoConnection);
    }
    if (auto connection = client.connection()) connection->DisconnectServer();
    // The servers list's checks end with a turn or two of the loop.
    if (client.networkServer()->isRunning()) {
      LoopTurn();
      LoopTurn();
    }
    client.Shutdown(true);
    // Only now that the loop has ended does no emission run through the recorder.
    m_recorder.reset();
    m_client.reset();
    delete HXZServer::installNetworkManager();
  }
  void ConnectAndLogIn() {
    BookClient& client = *m_client;
    const int connection = static_cast<int>(m_server->Connections().size()) + 1;
    ASSERT_TRUE(client.ConnectServer("127.0.0.1", m_server->port()));
    // A remembered login logs in by itself once connected.
    ASSERT_TRUE(WaitFor(
        [&] {
          return client.getStateTrs() == S::eConnected || client.getStateTrs() == S::eLoggedIn;
        },
        kManagerWaitMs));
    if (client.getStateTrs() != S::eLoggedIn) {
      ASSERT_TRUE(m_server->WaitForMessage(
          [connection](const ReceivedMessage& m) {
            return m.connection >= connection && m.method == "GetAppProps";
          },
          kManagerWaitMs));
      ASSERT_TRUE(client.Login(kUser, "secret", true, true));
    }
    ASSERT_TRUE(client.WaitSession(S::eLoggedIn));
  }
  // The address-book requests of connection `connection`, as "<book> <hash or ->".
  std::vector<std::string> BookRequests(int connection) {
    std::vector<std::string> seen;
    for (const ReceivedMessage& m : m_server->Messages()) {
      if (m.connection != connection || m.service() != "ABOOK" || m.method != "SearchAddressBook")
        continue;
      int32_t book = 0;
      int32_t hash = 0;
      size_t size = sizeof(book);
      m.body.GetValue("AddressBook", HX_CNT_INTEGER_VT, &book, size);
      const bool hashed = m.body.GetValue("Hash", HX_CNT_INTEGER_VT, &hash, size);
      seen.push_back(std::to_string(book) + " " + (hashed ? std::to_string(hash) : "-"));
    }
    return seen;
  }
  bool HasContacts(const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
      if (!m_client->getFSM()->IsPeerExists(id.c_str())) return false;
    }
    return true;
  }

  TempDir m_dir;
  std::string m_folder;
  std::unique_ptr<FakeServer> m_server;
  std::unique_ptr<SessionAuth> m_auth;
  std::unique_ptr<FakeAbook> m_abook;
  std::unique_ptr<BookClient> m_client;
  std::unique_ptr<ContactsRecorder> m_recorder;
};

TEST_F(ContactsManagerLiveTest, FirstLoginRestartAndLostConnection) {
  MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  ConnectAndLogIn();
  ASSERT_TRUE(WaitFor(
      [&] {
        return HasContacts({"ann@test.invalid", "bob@test.invalid"});
      },
      kManagerWaitMs))
      << ::testing::PrintToString(m_recorder->Lines());
  ASSERT_TRUE(WaitFor([&] { return m_client->contactCache()->GetBookHash(HX_AB_BANS) == 600; },
                      kManagerWaitMs));
  HX_GrossBuchCache* cache = m_client->contactCache().get();
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 500u);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), m_client->getFSM()->GetContactsHash());
  EXPECT_EQ(cache->GetBans(), std::set<std::string>{"x@test.invalid"});
  EXPECT_EQ(m_client->getFSM()->SearchContact("bob@test.invalid")->flags,
            hx::Contact::NOT_EDITABLE);
  // The first cycle: groups, phones, contacts, bans, nothing cached yet.
  const int first = static_cast<int>(SessionConnections(*m_server).back()->id());
  const std::vector<std::string> cycle = BookRequests(first);
  ASSERT_GE(cycle.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(cycle.begin(), cycle.begin() + 4),
            (std::vector<std::string>{"15 -", "19 -", "1 -", "2 -"}));
  EXPECT_TRUE(m_server->WaitForMessage(
      [](const ReceivedMessage& m) { return m.service() == "PRESENCE" && m.method == "Subscribe"; },
      kManagerWaitMs));
  EXPECT_GE(m_recorder->Count("setPeer ann ann@test.invalid Ann"), 1u);
  EXPECT_EQ(m_recorder->Count("blocked x@test.invalid"), 1u);
  Finish();

  // A restart on the same folder: the contacts come from the cache before any answer.
  MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  EXPECT_TRUE(HasContacts({"ann@test.invalid", "bob@test.invalid"}));
  m_abook->SetHold(true);
  ConnectAndLogIn();
  const int second = static_cast<int>(SessionConnections(*m_server).back()->id());
  ASSERT_TRUE(WaitFor([&] { return BookRequests(second).size() >= 4; }, kManagerWaitMs));
  const std::vector<std::string> cached = BookRequests(second);
  EXPECT_EQ(std::vector<std::string>(cached.begin(), cached.begin() + 4),
            (std::vector<std::string>{"15 -", "19 -", "1 500", "2 600"}));
  EXPECT_TRUE(HasContacts({"ann@test.invalid", "bob@test.invalid"}));
  // The server finds every hash current and resends nothing; the list stays.
  m_recorder->Clear();
  m_abook->SetHold(false);
  m_abook->ReleaseHeld();
  // The unchanged contact list still checks the subscription: every cached contact.
  ASSERT_TRUE(m_server->WaitForMessage(
      [second](const ReceivedMessage& m) {
        int32_t cause = 0;
        size_t size = sizeof(cause);
        return m.connection == second && m.method == "Subscribe" &&
               m.body.GetValue("Cause", HX_CNT_INTEGER_VT, &cause, size);
      },
      kManagerWaitMs));
  EXPECT_EQ(m_recorder->Count("setPeer"), 0u);
  EXPECT_TRUE(HasContacts({"ann@test.invalid", "bob@test.invalid"}));

  // The connection is lost after the login: every cached contact is reported offline.
  m_client->getFSM()->SetStatus("ann@test.invalid", 1);
  m_recorder->Clear();
  SessionConnections(*m_server).back()->SendDisconnect();
  // The rebuild's lines arrive one by one: its last one ends the wait.
  ASSERT_TRUE(WaitFor([&] { return m_recorder->Count("setPeer  bob@test.invalid Bob 0 1") == 1; },
                      kManagerWaitMs))
      << ::testing::PrintToString(m_recorder->Lines());
  EXPECT_EQ(m_recorder->Count("begin 1 1"), 1u);
  EXPECT_EQ(m_recorder->Count("setPeer  ann@test.invalid Ann 0 1"), 1u);
  EXPECT_EQ(m_client->getFSM()->GetStatus("ann@test.invalid"), 0);
}

TEST_F(ContactsManagerLiveTest, ChangesAndGroupCommandsAreAnsweredByTheServer) {
  MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  ConnectAndLogIn();
  ASSERT_TRUE(WaitFor([&] { return HasContacts({"ann@test.invalid"}); }, kManagerWaitMs))
      << ::testing::PrintToString(m_recorder->Lines());
  HX_ContactsManager* manager = m_client->contactsManager().get();

  ASSERT_TRUE(manager->AddToAddressBook("cy@test.invalid", "Cy", HX_AB_CONTACTS));
  ASSERT_TRUE(WaitFor([&] { return HasContacts({"cy@test.invalid"}); }, kManagerWaitMs));
  EXPECT_TRUE(m_client->contactCache()->IsContact("cy@test.invalid"));
  EXPECT_EQ(m_client->contactCache()->GetBookHash(HX_AB_CONTACTS), 501u);
  ASSERT_TRUE(
      WaitFor([&] { return m_recorder->Count("setPeer cy@test.invalid cy@test.invalid Cy") == 1; },
              kManagerWaitMs));

  ASSERT_TRUE(manager->RemoveFromAddressBook("ann@test.invalid", HX_AB_CONTACTS));
  ASSERT_TRUE(WaitFor([&] { return !m_client->getFSM()->IsPeerExists("ann@test.invalid"); },
                      kManagerWaitMs));
  EXPECT_FALSE(m_client->contactCache()->IsContact("ann@test.invalid"));

  // A refused change reports its cause and changes nothing.
  m_abook->SetNoticeCause(5);
  ASSERT_TRUE(manager->AddToAddressBook("dee@test.invalid", nullptr, HX_AB_CONTACTS));
  ASSERT_TRUE(manager->CreateGroup("Team"));
  ASSERT_TRUE(WaitFor([&] { return m_recorder->Count("groupCmd 0 1") == 1; }, kManagerWaitMs));
  EXPECT_FALSE(m_client->getFSM()->IsPeerExists("dee@test.invalid"));
  EXPECT_EQ(m_recorder->Count("group 100 Team 1 (null)"), 1u);
  EXPECT_TRUE(m_client->groupsManager()->groupExists(100));

  // A status query comes back through "ABOOK".
  m_abook->SetStatus("cy@test.invalid", 2);
  ASSERT_TRUE(manager->GetUserStatus("cy@test.invalid"));
  ASSERT_TRUE(WaitFor([&] { return m_client->getFSM()->GetStatus("cy@test.invalid") == 2; },
                      kManagerWaitMs));
}

// A hostile address-book peer: missing, repeated and mistyped keys, cut records, huge and negative
// counts, unknown books and methods, notices without an id and an oversized picture. Nothing of
// it changes the list; the good notice after it is applied.
TEST_F(ContactsManagerLiveTest, HostileNoticesChangeNothingAndTheNextGoodOneApplies) {
  MakeClient();
  ASSERT_TRUE(m_client->Start(0x8004, false));
  ConnectAndLogIn();
  ASSERT_TRUE(WaitFor(
      [&] {
        return HasContacts({"ann@test.invalid", "bob@test.invalid"});
      },
      kManagerWaitMs));
  const uint32_t crc = m_client->contactCache()->GetBookCrc(HX_AB_CONTACTS);
  const int connection = SessionConnections(*m_server).back()->id();
  std::vector<HX_Container> bad(9);
  bad[0].AddValue("Method", "SearchAddressBook");
  bad[0].AddValue("AddressBook", 1);
  bad[1].AddValue("Method", "SearchAddressBook");
  bad[1].AddValue("AddressBook", "1");
  bad[1].AddValue("Result", 1);
  bad[1].AddValue("Cause", 1);
  bad[2].AddValue("Method", "SearchAddressBook");
  bad[2].AddValue("AddressBook", 1);
  bad[2].AddValue("Result", -7);
  bad[2].AddValue("Cause", 0);
  bad[2].AddValue("CallId", "neg@test.invalid");
  bad[3].AddValue("Method", "AddToAddressBook");
  bad[3].AddValue("AddressBook", 1);
  bad[3].AddValue("DisplayName", "Nobody");
  bad[4].AddValue("Method", "RemoveFromAddressBook");
  bad[4].AddValue("AddressBook", 2);
  bad[5].AddValue("Method", "AddToAddressBook");
  bad[5].AddValue("AddressBook", 99);
  bad[5].AddValue("CallId", "odd@test.invalid");
  bad[6].AddValue("Method", "Unheard");
  bad[7].AddValue("Method", "SearchAddressBook");
  bad[7].AddValue("AddressBook", 11);
  bad[7].AddValue("Result", 1);
  bad[7].AddValue("Cause", 1);
  bad[7].AddValue("Query", "ann@test.invalid");
  const std::vector<uint8_t> huge(600000, 0x42);
  bad[7].AddValue("avatar", HX_CNT_BINARY_VT, huge.data(), huge.size());
  bad[8].AddValue("Method", "UpdateAddressBook");
  bad[8].AddValue("AddressBook", 1);
  bad[8].AddValue("Hash", 9);
  bad[8].AddValue("UserName", "cut");
  for (const HX_Container& body : bad) m_abook->Push(connection, body);
  HX_Container good;
  good.AddValue("Method", "AddToAddressBook");
  good.AddValue("AddressBook", 1);
  good.AddValue("CallId", "dee@test.invalid");
  good.AddValue("Hash", 900);
  m_abook->Push(connection, good);
  ASSERT_TRUE(WaitFor([&] { return HasContacts({"dee@test.invalid"}); }, kManagerWaitMs));
  EXPECT_TRUE(HasContacts({"ann@test.invalid", "bob@test.invalid"}));
  EXPECT_FALSE(m_client->getFSM()->IsPeerExists("neg@test.invalid"));
  EXPECT_FALSE(m_client->getFSM()->IsPeerExists("odd@test.invalid"));
  EXPECT_EQ(m_client->getFSM()->GetAvatar("ann@test.invalid", true).size(), 0u);
  EXPECT_NE(m_client->contactCache()->GetBookCrc(HX_AB_CONTACTS), crc);
  EXPECT_EQ(m_client->contactCache()->GetBookHash(HX_AB_CONTACTS), 900u);
  EXPECT_EQ(m_client->contactCache()->GetContacts(),
            (std::set<std::string>{"ann@test.invalid", "bob@test.invalid", "dee@test.invalid"}));
}

}  // namespace
}  // namespace hx::testing
