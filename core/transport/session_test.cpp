// The transport session data against the real settings database (the file in a temporary folder
// and the in-memory variant), the session states, and the DNS client's fallback switch against
// dnsmasq on loopback.
#include "core/transport/session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/net/dns/name_server_settings.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/storage/settings_db.h"
#include "testing/dnsmasq_server.h"
#include "testing/test_support.h"

namespace {

// The session as the client application object would be: records every state change.
class RecordingSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return 0; }
  HXZNativeSocketDetails GetTransportAddress() const override;
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return nullptr;
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return false; }
  bool QueuePacket(HX_ClientMessage*) override { return false; }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override {
    changes.emplace_back(oldState, newState);
  }
  bool onLogin(const char*, int32_t, const char*, const char*) override { return false; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

  using HX_TransportSessionData::GetPropertyNL;
  using HX_TransportSessionData::sessionLock;

  std::vector<std::pair<int32_t, int32_t>> changes;
};

}  // namespace

// Out of line: the details type is only declared by the session header.
#include "core/net/socket/native_socket_details.h"
HXZNativeSocketDetails RecordingSession::GetTransportAddress() const {
  return HXZNativeSocketDetails();
}

namespace {

class PropertiesCounter {
 public:
  void OnUpdated() { ++count; }
  std::atomic<int> count{0};
};

HX_Container Properties(std::initializer_list<std::pair<const char*, const char*>> values) {
  HX_Container container;
  for (const auto& [name, value] : values) container.AddValue(name, value);
  return container;
}

enum class DbKind { kFile, kMemory };

class SessionData : public ::testing::TestWithParam<DbKind> {
 protected:
  void SetUp() override {
    fsm.propertiesUpdated.Connect(&counter, &PropertiesCounter::OnUpdated);
    session.setFSMShared(&fsm);
    db = Open();
    ASSERT_NE(db, nullptr);
    session.setDatabase(db, "home.example");
  }

  std::shared_ptr<HX_SettingsDB> Open() {
    std::shared_ptr<HX_SettingsDB> opened;
    if (GetParam() == DbKind::kFile) {
      opened = std::make_shared<HX_SettingsDBFile>();
      if (!opened->OpenDatabase((temp.path() + "/").c_str(), HXDBBase::ReadWriteOrRecreate))
        return nullptr;
    } else {
      opened = std::make_shared<HX_SettingsDBTemp>();
      if (!opened->OpenDatabase("", HXDBBase::Recreate)) return nullptr;
    }
    return opened;
  }

  hx::testing::TempDir temp;
  // The shared state opens its own settings database in the working folder: a folder of its own.
  hx::testing::TempDir fsmDir;
  bool fsmDirSet = (HXFSMShared::Env()->SetWorkingDir(fsmDir.path()), true);
  HXFSMShared fsm;
  PropertiesCounter counter;
  RecordingSession session;
  std::shared_ptr<HX_SettingsDB> db;
};

TEST_P(SessionData, StateChangesClearSidAndServerPropertiesOnTheNamedTransitions) {
  struct Case {
    int32_t from;
    int32_t to;
    bool clears;
  };
  const Case cases[] = {
      {5, 3, false}, {4, 1, true},  {5, 0, true}, {0, 3, true}, {1, 2, false}, {3, 4, false},
      {4, 5, false}, {2, 5, false}, {3, 2, true}, {1, 0, true}, {0, 1, true},  {5, 4, false},
  };
  for (const auto& c : cases) {
    session.setStateTrs(c.from);
    session.setSid("srv.example#as");
    session.SetServerPropertyContainer(Properties({{"authentication_method", "1"}}));
    ASSERT_FALSE(session.isEncryptPassword());
    session.changes.clear();
    const uint32_t before = session.getStateChangeCount();

    session.setStateTrs(c.to);
    EXPECT_EQ(session.getStateChangeCount(), before + 1) << c.from << "->" << c.to;
    EXPECT_EQ(session.changes, (std::vector<std::pair<int32_t, int32_t>>{{c.from, c.to}}));
    EXPECT_EQ(session.getSid().empty(), c.clears) << c.from << "->" << c.to;
    EXPECT_EQ(session.getProperty("authentication_method").empty(), c.clears);
    EXPECT_EQ(session.isEncryptPassword(), c.clears) << c.from << "->" << c.to;
  }
}

TEST_P(SessionData, TheSameStateAgainChangesNothing) {
  session.setStateTrs(5);
  session.setSid("s#as");
  session.changes.clear();
  const uint32_t before = session.getStateChangeCount();
  session.setStateTrs(5);
  EXPECT_EQ(session.getStateChangeCount(), before);
  EXPECT_TRUE(session.changes.empty());
  EXPECT_EQ(session.getSid(), "s#as");
}

TEST_P(SessionData, ConditionalChangeOnlyFromTheExpectedState) {
  session.setStateTrs(3);
  session.setSid("s#as");
  session.changes.clear();
  const uint32_t before = session.getStateChangeCount();
  // Another change came first: nothing happens.
  EXPECT_FALSE(session.setStateTrsIf(4, 5));
  EXPECT_FALSE(session.setStateTrsIf(3, 3));
  EXPECT_EQ(session.getStateTrs(), 3);
  EXPECT_EQ(session.getStateChangeCount(), before);
  EXPECT_TRUE(session.changes.empty());
  // From the expected state: a change with every effect of setStateTrs.
  EXPECT_TRUE(session.setStateTrsIf(3, 4));
  EXPECT_EQ(session.getStateTrs(), 4);
  EXPECT_EQ(session.getStateChangeCount(), before + 1);
  EXPECT_EQ(session.changes, (std::vector<std::pair<int32_t, int32_t>>{{3, 4}}));
  EXPECT_EQ(session.getSid(), "s#as");
  EXPECT_TRUE(session.setStateTrsIf(4, 1));
  EXPECT_TRUE(session.getSid().empty());  // left the connected states
}

TEST_P(SessionData, ConnectedAndLoggedInStates) {
  const bool connected[] = {false, false, false, true, true, true};
  const bool logged_in[] = {false, false, true, false, true, true};
  for (int32_t state = 0; state <= 5; ++state) {
    EXPECT_EQ(HX_TransportSession::isConnected(state), connected[state]) << state;
    EXPECT_EQ(HX_TransportSession::isLoggedIn(state), logged_in[state]) << state;
  }
  EXPECT_FALSE(HX_TransportSession::isConnected(6));
  EXPECT_FALSE(HX_TransportSession::isLoggedIn(-1));
}

TEST_P(SessionData, AuthenticationMethodDecidesPasswordEncryption) {
  EXPECT_TRUE(session.isEncryptPassword());
  const std::pair<const char*, bool> values[] = {{"1", false}, {"10", false}, {"0", true},
                                                 {"2", true},  {"", true},    {" 1", true}};
  for (const auto& [value, encrypted] : values) {
    session.SetServerPropertyContainer(Properties({{"authentication_method", value}}));
    EXPECT_EQ(session.isEncryptPassword(), encrypted) << value;
  }
  session.SetServerPropertyContainer(Properties({{"other", "1"}}));
  EXPECT_TRUE(session.isEncryptPassword());  // absent counts as not "1"

  // A user property says "1": emptying the server properties keeps passwords in clear.
  session.SetServerPropertyContainer(Properties({{"authentication_method", "1"}}));
  session.SetUserPropertyContainer(Properties({{"authentication_method", "1"}}));
  session.ClearServerPropertyContainer();
  EXPECT_FALSE(session.isEncryptPassword());
  session.ClearUserPropertyContainer();
  EXPECT_TRUE(session.isEncryptPassword());
}

TEST_P(SessionData, UserPropertiesOverServerProperties) {
  session.SetServerPropertyContainer(
      Properties({{"name", "server"}, {"empty", ""}, {"hidden", "server"}, {"only", "s"}}));
  session.SetUserPropertyContainer(Properties({{"name", "user"}, {"hidden", ""}, {"mine", "u"}}));
  EXPECT_EQ(session.getProperty("name"), "user");
  EXPECT_EQ(session.getProperty("hidden"), "server");  // an empty user text does not hide it
  EXPECT_EQ(session.getProperty("only"), "s");
  EXPECT_EQ(session.getProperty("mine"), "u");
  EXPECT_EQ(session.getProperty("empty"), "");
  EXPECT_EQ(session.getProperty("missing"), "");
  EXPECT_EQ(session.getProperty(""), "");
  EXPECT_EQ(session.getProperty(nullptr), "");
  {
    HXAutoLock held(session.sessionLock());
    EXPECT_STREQ(session.GetPropertyNL("NAME"), "user");  // container names ignore case
  }
}

TEST_P(SessionData, PropertyChangesAreSignalled) {
  const int before = counter.count;
  session.SetServerPropertyContainer(Properties({{"a", "1"}}));
  session.SetUserPropertyContainer(Properties({{"b", "2"}}));
  EXPECT_EQ(counter.count, before + 2);
  session.ClearUserPropertyContainer();
  session.ClearUserPropertyContainer();  // already empty: no change, no signal
  EXPECT_EQ(counter.count, before + 3);

  // The wire form of a container; bytes that do not read leave the properties empty.
  uint8_t* wire = nullptr;
  size_t size = 0;
  ASSERT_TRUE(Properties({{"authentication_method", "1"}}).SerializeAlloc(wire, size));
  EXPECT_TRUE(session.SetServerPropertyContainer(wire, size));
  EXPECT_FALSE(session.isEncryptPassword());
  wire[size - 1] ^= 0x5A;
  EXPECT_FALSE(session.SetServerPropertyContainer(wire, size - 1));
  EXPECT_TRUE(session.isEncryptPassword());
  EXPECT_EQ(session.getProperty("authentication_method"), "");
  free(wire);
}

TEST_P(SessionData, LoginIsLowerCasedWhenItFits) {
  session.SetLogin("Mixed.Case@Example.ORG");
  EXPECT_EQ(session.getLogin(), "mixed.case@example.org");
  session.SetLogin("\xD0\x98\xD0\xB2\xD0\xB0\xD0\x9D");  // Cyrillic, mixed case
  EXPECT_EQ(session.getLogin(), "\xD0\xB8\xD0\xB2\xD0\xB0\xD0\xBD");

  // The case mapping keeps 6 bytes spare behind the last character it writes into the 255.
  const std::string fits(249, 'A');
  session.SetLogin(fits);
  EXPECT_EQ(session.getLogin(), std::string(249, 'a'));
  const std::string too_long(250, 'A');
  session.SetLogin(too_long);
  EXPECT_EQ(session.getLogin(), too_long);
  const std::string invalid = "Bad\xFF";
  session.SetLogin(invalid);
  EXPECT_EQ(session.getLogin(), invalid);
}

TEST_P(SessionData, PresenceKeptForTheSameLoginAndClearedForAnother) {
  session.SetAppDomain("corp.example");
  session.SetLogin("alice");
  fsm.SetStatus("bob", 1);
  HX_Container ext;
  ext.AddValue("mood", "away");
  fsm.ParseExtStatus("bob", &ext);
  fsm.setStatusSubscription();

  session.SetLogin("ALICE");  // the same login once lower-cased
  EXPECT_EQ(fsm.GetStatus("bob"), 1);
  std::string mood;
  EXPECT_TRUE(fsm.GetExtStatus("bob", "mood", mood));
  EXPECT_EQ(mood, "away");
  EXPECT_TRUE(fsm.getStatusSubscription());

  session.SetLogin("carol");
  EXPECT_EQ(fsm.GetStatus("bob"), HX_StatusStorage::kUnknownStatus);
  EXPECT_EQ(fsm.ExtStatusCount(), 0u);
  EXPECT_FALSE(fsm.getStatusSubscription());

  // The same login in another domain is another user.
  fsm.SetStatus("bob", 2);
  session.SetAppDomain("other.example");
  session.SetLogin("carol");
  EXPECT_EQ(fsm.StatusCount(), 0u);
}

TEST_P(SessionData, EachDomainHasItsLoginAndKey) {
  session.SetAppDomain("a.example");
  session.SetLogin("alice");
  session.SetCookie("key-a");
  session.SetAppDomain("b.example");
  EXPECT_EQ(session.getLogin(), "");  // nothing stored for b yet
  session.SetLogin("bob");
  session.SetCookie("key-b");

  session.SetAppDomain("a.example");
  EXPECT_EQ(session.getLogin(), "alice");
  EXPECT_EQ(session.getCookie(), "key-a");
  session.SetAppDomain("b.example");
  EXPECT_EQ(session.getCookie(), "key-b");
  EXPECT_EQ(session.getLogin(), "bob");
  // The store compares domains without case.
  session.SetAppDomain("A.EXAMPLE");
  EXPECT_EQ(session.getLogin(), "alice");
}

TEST_P(SessionData, IsMyIdComparesExactly) {
  session.SetLogin("alice@example.org");
  EXPECT_TRUE(session.isMyId("alice@example.org"));
  EXPECT_FALSE(session.isMyId("Alice@example.org"));
  EXPECT_FALSE(session.isMyId("alice"));
  EXPECT_FALSE(session.isMyId(nullptr));
}

TEST_P(SessionData, ServerAddressAndPlainValues) {
  session.SetServerAddress("10.0.0.7", 4308);
  EXPECT_EQ(session.GetServerAddress(), "10.0.0.7");
  EXPECT_EQ(session.GetServerPort(), 4308);
  EXPECT_EQ(session.GetLastServerAddress(), "10.0.0.7");
  unsigned short port = 0;
  EXPECT_EQ(db->getServerAddress(port), "10.0.0.7");
  EXPECT_EQ(port, 4308);

  session.SetLoginSessionKey("sk");
  session.SetTariffName("gold");
  session.SetTarifRestr(7);
  session.SetUserRights(0x81);
  session.SetUserType(3);
  EXPECT_EQ(session.GetLoginSessionKey(), "sk");
  EXPECT_EQ(session.getTariffName(), "gold");
  EXPECT_EQ(session.getTariffRestr(), 7u);
  EXPECT_EQ(session.getUserRights(), 0x81u);
  EXPECT_EQ(session.getUserType(), 3u);
  session.SetLoginSessionKey(nullptr);
  session.SetTariffName(nullptr);
  EXPECT_EQ(session.GetLoginSessionKey(), "");
  EXPECT_EQ(session.getTariffName(), "");

  const unsigned char raw[] = {0, 1, 2, 0xFF};
  session.saveParam("Blob", raw, sizeof raw);
  unsigned char back[4] = {};
  EXPECT_TRUE(session.loadParam("blob", back, sizeof back));
  EXPECT_EQ(std::memcmp(raw, back, sizeof raw), 0);
  session.removeParam("Blob");
  EXPECT_FALSE(session.loadParam("Blob", back, sizeof back));
}

TEST_P(SessionData, AnotherDatabaseForgetsTheSessionAndTakesItsLastDomain) {
  session.SetAppDomain("a.example");
  session.SetLogin("alice");
  session.SetCookie("key-a");
  session.SetServerAddress("10.0.0.1", 4307);
  session.setSid("s#as");

  // The same database again: nothing changes.
  session.setDatabase(db, "ignored.example");
  EXPECT_EQ(session.getDomain(), "a.example");
  EXPECT_EQ(session.getSid(), "s#as");
  EXPECT_EQ(session.GetLastServerAddress(), "10.0.0.1");

  auto other = std::make_shared<HX_SettingsDBTemp>();
  ASSERT_TRUE(other->OpenDatabase("", HXDBBase::Recreate));
  other->setLastConnectedDomain("z.example");
  other->SetDomainLogin("z.example", "zed");
  session.SetServerPropertyContainer(Properties({{"authentication_method", "1"}}));
  session.setDatabase(other, "default.example");
  EXPECT_EQ(session.getDomain(), "z.example");
  EXPECT_EQ(session.getSid(), "");
  EXPECT_EQ(session.GetLastServerAddress(), "");
  EXPECT_EQ(session.GetServerAddress(), "");  // the new store has none
  EXPECT_EQ(session.getLogin(), "zed");
  EXPECT_TRUE(session.isEncryptPassword());  // the login parameters were reset

  // A database without a last domain gives the default, which it then keeps.
  auto fresh = std::make_shared<HX_SettingsDBTemp>();
  ASSERT_TRUE(fresh->OpenDatabase("", HXDBBase::Recreate));
  session.setDatabase(fresh, "default.example");
  EXPECT_EQ(session.getDomain(), "default.example");
  EXPECT_EQ(fresh->getLastConnectedDomain("x"), "default.example");
}

INSTANTIATE_TEST_SUITE_P(Stores, SessionData, ::testing::Values(DbKind::kFile, DbKind::kMemory),
                         [](const auto& info) {
                           return info.param == DbKind::kFile ? "File" : "Memory";
                         });

TEST(SessionFile, LoginsOfTwoDomainsSurviveReopening) {
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  {
    auto db = std::make_shared<HX_SettingsDBFile>();
    ASSERT_TRUE(db->OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
    RecordingSession session;
    session.setDatabase(db, "a.example");
    session.SetLogin("Alice");
    session.SetCookie("key-a");
    session.SetAppDomain("b.example");
    session.SetLogin("bob");
    session.SetCookie("key-b");
    session.SetServerAddress("srv.b.example", 443);
  }
  auto db = std::make_shared<HX_SettingsDBFile>();
  ASSERT_TRUE(db->OpenDatabase(dir.c_str(), HXDBBase::ReadWrite));
  RecordingSession session;
  session.setDatabase(db, "a.example");
  EXPECT_EQ(session.getDomain(), "b.example");  // the last domain
  EXPECT_EQ(session.getLogin(), "bob");
  EXPECT_EQ(session.getCookie(), "key-b");
  EXPECT_EQ(session.GetServerAddress(), "srv.b.example");
  EXPECT_EQ(session.GetServerPort(), 443);
  session.SetAppDomain("a.example");
  EXPECT_EQ(session.getLogin(), "alice");
  EXPECT_EQ(session.getCookie(), "key-a");
}

TEST(SessionWithoutDatabase, ReadsAnswerEmptyAndWritesStayInMemory) {
  RecordingSession session;
  session.SetAppDomain("a.example");
  session.SetLogin("alice");
  session.SetCookie("k");
  EXPECT_EQ(session.getDomain(), "a.example");
  EXPECT_EQ(std::as_const(session).getLogin(), "alice");
  EXPECT_EQ(session.getLogin(), "alice");
  EXPECT_EQ(session.getCookie(), "k");
  session.SetAppDomain("b.example");
  EXPECT_EQ(session.getLogin(), "");  // nothing to load from
  EXPECT_EQ(session.GetServerAddress(), "");
  EXPECT_EQ(session.GetServerPort(), 0);
  unsigned char buffer[4];
  EXPECT_FALSE(session.loadParam("x", buffer, sizeof buffer));
  session.saveParam("x", buffer, sizeof buffer);
  session.removeParam("x");
  EXPECT_EQ(session.getDatabase(), nullptr);
}

// Getters hand out copies: a reader on one thread keeps its text while the loop thread replaces
// the login and the properties. Under AddressSanitizer a reference into the replaced text would
// be a use after free.
TEST(SessionThreads, ReadersKeepTheirCopiesWhileAnotherThreadWrites) {
  RecordingSession session;
  session.SetAppDomain("a.example");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 3000; ++i) {
      const std::string value = "value-long-enough-to-be-allocated-" + std::to_string(i);
      session.SetLogin(value);
      session.setSid(value + "#as");
      session.SetServerPropertyContainer(Properties({{"p", value.c_str()}}));
    }
    stop = true;
  });
  size_t seen = 0;
  while (!stop) {
    const std::string login = session.getLogin();
    const std::string sid = session.getSid();
    const std::string property = session.getProperty("p");
    const std::string domain = session.getDomain();
    seen += login.size() + sid.size() + property.size() + domain.size();
    if (!property.empty()) EXPECT_EQ(property.rfind("value-long", 0), 0u);
  }
  writer.join();
  EXPECT_GT(seen, 0u);
}

// The fallback name servers: dnsmasq knows the names, the system's server stays silent.
class SessionDns : public hx::testing::LoopFixture {
 protected:
  void TearDown() override {
    EndLoop();
    hx::dns::SetFallbackNameServers({});
    hx::dns::SetFallbackDomainSuffixes({});
    if (m_silent >= 0) close(m_silent);
  }

  // A UDP socket on loopback that never answers; its port.
  uint16_t SilentServer() {
    m_silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(m_silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(m_silent, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  // Whether `name` resolves within `ms`: one lookup after another, each limited to 1 s, and the
  // cache asked in between.
  static bool Resolves(const std::string& name, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!HXZServer::QueryA(name, nullptr, 1000).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
  }

  int m_silent = -1;
};

TEST_F(SessionDns, ServiceDomainsSwitchTheFallbackNameServers) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  hx::testing::DnsmasqServer server(
      dnsmasq, {"--local=/hx.test/", "--local-ttl=120", "--host-record=one.hx.test,10.9.0.1",
                "--host-record=two.hx.test,10.9.0.2", "--host-record=three.hx.test,10.9.0.3"});
  ASSERT_TRUE(server.ready());
  hx::dns::SetFallbackNameServers({{"127.0.0.1", server.port()}});
  hx::dns::SetFallbackDomainSuffixes(
      {"svc-one.test", "svc-two.test", "svc-three.test", "svc-four.test"});
  ASSERT_TRUE(HXZServer::m_Instance->Rebind({{"127.0.0.1", SilentServer()}}));

  RecordingSession session;
  session.SetAppDomain("customer.example");
  EXPECT_FALSE(Resolves("one.hx.test", 1500));

  session.SetAppDomain("Conference.SVC-Three.Test");  // any letter case
  EXPECT_TRUE(Resolves("two.hx.test", 10000));

  session.SetAppDomain("svc-three.test.example");  // the suffix must end the domain
  EXPECT_FALSE(Resolves("three.hx.test", 1500));
}

}  // namespace
