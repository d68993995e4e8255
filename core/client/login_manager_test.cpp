// The login service "AUTH" against the fake server: the requests and the order of their keys,
// hashed and plain passwords, stored keys and e-mail keys, every login result with what it
// stores, signals and asks of the transport session, the delayed checks (the tests run the checks
// themselves instead of waiting 30 s), the session-key refresh, account updates, logout notices
// and the authorize hook.
#include "core/client/login_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "core/base/tick_clock.h"
#include "core/client/protocol_constants.h"
#include "core/client/service_test_util.h"

namespace {

using namespace hx::testing;

constexpr char kAlice[] = "alice@fake.example";
constexpr char kSecretMd5[] = "5EBE2294ECD0E0F08EAB7690D2A6EE69";  // MD5 of "secret"

std::vector<std::string> Names(const HX_Container& body) {
  std::vector<std::string> names;
  body.Reset();
  while (body.Next()) names.push_back(body.GetName());
  return names;
}

std::string Text(const HX_Container& body, const char* name) {
  std::string value;
  body.GetValue(name, value);
  return value;
}

int32_t Int(const HX_Container& body, const char* name) {
  int32_t value = -1;
  size_t size = sizeof(value);
  body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
  return value;
}

using LoginResult = std::tuple<std::string, int, std::string, std::string>;
struct Logs {
  SignalLog<LoginResult> results;
  SignalLog<std::pair<int, int>> logouts;
  SignalLog<int> rights;
  SignalLog<std::pair<uint64_t, uint32_t>> checks;
  SignalLog<std::pair<std::string, std::string>> requests;
  SignalLog<std::pair<int, std::string>> profiles;
  SignalLog<int> passwords;
  SignalLog<int> tariffRestrictions;
  SignalLog<int> tariffNames;

  void OnResult(const char* login, int result, const char* key, const char* app) {
    results.Add({login, result, key, app});
  }
  void OnLogout(int result, int cause) { logouts.Add({result, cause}); }
  void OnRights(int value) { rights.Add(value); }
  void OnCheck(uint64_t delay, uint32_t tag) { checks.Add({delay, tag}); }
  void OnRequest(const char* sid, const char* login) { requests.Add({sid, login}); }
  void OnProfile(int result, const char* callId, const char* a, const char* b, const char* c, const char* d,
                 const char* e) {
    EXPECT_STREQ(a, "");
    EXPECT_STREQ(b, "");
    EXPECT_STREQ(c, "");
    EXPECT_STREQ(d, "");
    EXPECT_STREQ(e, "");
    profiles.Add({result, callId});
  }
  void OnPassword(int result) { passwords.Add(result); }
  void OnTariffRestriction(int value) { tariffRestrictions.Add(value); }
  void OnTariffName() { tariffNames.Add(1); }

  void ConnectTo(HX_LoginManager& m) {
    m.loginResultSignal.Connect(this, &Logs::OnResult);
    m.logoutSignal.Connect(this, &Logs::OnLogout);
    m.rightsSignal.Connect(this, &Logs::OnRights);
    m.checkLoginSignal.Connect(this, &Logs::OnCheck);
    m.loginRequestSignal.Connect(this, &Logs::OnRequest);
    m.profileUpdateResultSignal.Connect(this, &Logs::OnProfile);
    m.passwordChangeResultSignal.Connect(this, &Logs::OnPassword);
    m.tariffRestrictionSignal.Connect(this, &Logs::OnTariffRestriction);
    m.tariffNameSignal.Connect(this, &Logs::OnTariffName);
  }
};

HX_Container Answer(int32_t result) {
  HX_Container keys;
  keys.AddValue("Result", result);
  return keys;
}

class LoginTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    m_account.login = kAlice;
    m_account.password = "secret";
    m_account.display_name = "Alice A";
    m_account.key = "key-alice";
    m_account.session = "sess-alice";
    m_account.tarif_name = "gold";
    m_account.tarif_restr = 6;
    m_services->AddAccount(m_account);
  }

  ServiceClient& Client(bool connect = true, const std::string& dir = std::string()) {
    ServiceClient& c = AddClient(dir);
    m_logs = std::make_unique<Logs>();
    m_logs->ConnectTo(*c.login);
    if (connect) c.Connect(m_server->port());
    return c;
  }

  size_t Sent(const char* method) const { return m_services->Received(method).size(); }
  bool WaitSent(const char* method, size_t count) const {
    return WaitFor([&] { return Sent(method) >= count; }, kTransportWaitMs);
  }
  // Sends "GetAppProps" and waits until the server has it and its answer came back, so that
  // what either side sent before has arrived.
  void RoundTrip(ServiceClient& c) {
    const std::string round = std::to_string(Sent("GetAppProps") + 1);
    ASSERT_TRUE(c.netConfig->GetApplicationProperties());
    ASSERT_TRUE(WaitFor([&] { return c.session->getProperty("fake_round") == round; }, kTransportWaitMs));
  }
  std::string AppId(ServiceClient& c) { return c.fsm->GetAppId(); }
  std::string StoredTimestamp(ServiceClient& c) {
    char text[32] = {};
    if (!c.session->loadParam("EmailRequestTimestamp", text, sizeof(text) - 1)) return "";
    return text;
  }
  void StoreTimestamp(ServiceClient& c, uint64_t seconds) {
    char text[32];
    const int n = std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(seconds));
    c.session->saveParam("EmailRequestTimestamp", text, static_cast<size_t>(n) + 1);
  }

  FakeAccount m_account;
  std::unique_ptr<Logs> m_logs;
};

TEST_F(LoginTest, PasswordLoginSendsItsKeysInOrderAndStoresTheSession) {
  ServiceClient& c = Client();
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", true, true));
  ASSERT_TRUE(c.session->WaitLogins(1));
  ASSERT_TRUE(m_logs->rights.WaitSize(1));  // the last step of a success

  const HX_Container request = m_services->Received("LoginUser").at(0);
  EXPECT_EQ(Names(request), (std::vector<std::string>{"Method", "Login", "Password", "Key",
                                                      "UserDefaultDomain", "Hash", "ClientType", "AppName"}));
  EXPECT_EQ(Text(request, "Login"), kAlice);
  EXPECT_EQ(Text(request, "Password"), kSecretMd5);
  EXPECT_EQ(Text(request, "Key"), "");
  EXPECT_EQ(Text(request, "UserDefaultDomain"), "");
  EXPECT_EQ(Text(request, "Hash"), AppId(c));
  EXPECT_EQ(Int(request, "ClientType"), 7);
  EXPECT_EQ(Text(request, "AppName"), "HxTest");

  const auto call = c.session->Logins().at(0);
  EXPECT_EQ(call.login, kAlice);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.key, "key-alice");
  EXPECT_EQ(call.app_id, AppId(c));
  ASSERT_TRUE(m_logs->results.WaitSize(1));
  EXPECT_EQ(m_logs->results.Values().at(0), LoginResult(kAlice, 0, "key-alice", AppId(c)));
  EXPECT_EQ(c.session->getLogin(), kAlice);
  EXPECT_EQ(c.session->getCookie(), "key-alice");
  EXPECT_EQ(c.session->GetLoginSessionKey(), "sess-alice");
  // The protocol version is still 1 (below 440): bit 24 joins the rights.
  EXPECT_EQ(c.session->getUserRights(), 0x1000011u);
  EXPECT_EQ(m_logs->rights.Values(), std::vector<int>{0x1000011});
  EXPECT_EQ(c.session->getUserType(), 1u);
  EXPECT_EQ(c.session->getTariffRestr(), 6u);
  EXPECT_EQ(c.session->getTariffName(), "gold");
  EXPECT_EQ(c.fsm->GetDisplayName(), "Alice A");
  EXPECT_TRUE(c.login->autoLoginAllowed());
  EXPECT_NE(c.login->lastSessionKeyTime(), 0u);
  EXPECT_EQ(m_logs->requests.Values().at(0).second, kAlice);
  const auto [delay, tag] = m_logs->checks.Values().at(0);
  EXPECT_GE(delay, 30000u);
  EXPECT_LT(delay, 40000u);
  EXPECT_EQ(tag & 0x10000u, 0x10000u);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, PlainPasswordOnceTheServerAsksForIt) {
  HX_Container props;
  props.AddValue("authentication_method", "1");
  m_services->SetAppProps(props);
  ServiceClient& c = Client();
  // Before the properties the password goes hashed only when asked: unhashed it is refused.
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", false, false));
  ASSERT_TRUE(c.session->WaitLogins(1));
  EXPECT_EQ(Text(m_services->Received("LoginUser").at(0), "Password"), "secret");
  EXPECT_EQ(c.session->Logins().at(0).result, 3);

  RoundTrip(c);
  EXPECT_FALSE(c.session->isEncryptPassword());
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", false, true));
  ASSERT_TRUE(c.session->WaitLogins(2));
  EXPECT_EQ(Text(m_services->Received("LoginUser").at(1), "Password"), "secret");
  EXPECT_EQ(c.session->Logins().at(1).result, 0);
  // Not remembered: no key is stored.
  EXPECT_EQ(c.session->getCookie(), "");
  // The server's protocol version (450) is recent: the rights stay as sent.
  ASSERT_TRUE(m_logs->rights.WaitSize(1));
  EXPECT_EQ(m_logs->rights.Values().at(0), 0x11);
  EXPECT_EQ(c.session->getUserRights(), 0x11u);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, NotConnectedSendsNothing) {
  ServiceClient& c = Client(false);
  EXPECT_FALSE(c.login->mLogin(kAlice, "secret", true, true));
  EXPECT_EQ(m_logs->requests.Size(), 0u);
  EXPECT_EQ(m_logs->checks.Size(), 0u);
  c.Connect(m_server->port());
  EXPECT_FALSE(c.login->mLogin(kAlice, nullptr, true, true));
  RoundTrip(c);
  EXPECT_EQ(Sent("LoginUser"), 0u);
}

TEST_F(LoginTest, StoredKeyLogsInAutomaticallyAfterARestart) {
  TempDir dir;
  {
    ServiceClient& first = Client(true, dir.path());
    ASSERT_TRUE(first.login->mLogin(kAlice, "secret", true, true));
    ASSERT_TRUE(first.session->WaitLogins(1));
    ASSERT_EQ(first.session->getCookie(), "key-alice");
    DropClient(first);
  }
  ServiceClient& c = Client(true, dir.path());
  EXPECT_EQ(c.session->getLogin(), kAlice);
  EXPECT_EQ(c.login->getAutologinType(), HX_LoginManager::eAutoLoginKey);
  EXPECT_TRUE(c.login->CanAutoLogin(false));
  ASSERT_TRUE(c.login->Login());
  ASSERT_TRUE(c.session->WaitLogins(1));
  EXPECT_EQ(c.session->Logins().at(0).result, 0);
  const HX_Container request = m_services->Received("LoginUser").at(1);
  EXPECT_EQ(Names(request), (std::vector<std::string>{"Method", "Login", "Key", "UserDefaultDomain", "Hash",
                                                      "ClientType", "AppName"}));
  EXPECT_EQ(Text(request, "Key"), "key-alice");
  EXPECT_TRUE(c.login->rememberKey());

  // Without the permission nothing is sent.
  c.login->ResetAutoLogin(false);
  EXPECT_FALSE(c.login->CanAutoLogin(false));
  EXPECT_EQ(c.login->getAutologinType(), 0);
  EXPECT_FALSE(c.login->Login());
  EXPECT_TRUE(c.login->CanAutoLogin(true));
  ExpectServerSatisfied();
}

TEST_F(LoginTest, EmailKeyLogsInAsAPassword) {
  m_services->SetSendConfigurationAfterLogin(false);
  FakeAccount bob;
  bob.login = "bob@fake.example";
  bob.password = "other";
  bob.email_key = "$70$mail";
  m_services->AddAccount(bob);
  ServiceClient& c = Client();
  c.session->SetLogin("bob@fake.example");
  c.session->SetCookie("$70$mail");
  StoreTimestamp(c, static_cast<uint64_t>(std::time(nullptr)) - 100);
  EXPECT_EQ(c.login->getAutologinType(), HX_LoginManager::eAutoLoginEmail);
  EXPECT_FALSE(c.login->CanAutoLogin(false));  // only a stored key counts there
  ASSERT_TRUE(c.login->Login());
  ASSERT_TRUE(c.session->WaitLogins(1));
  EXPECT_EQ(c.session->Logins().at(0).result, 0);
  const HX_Container request = m_services->Received("LoginUser").at(0);
  EXPECT_EQ(Names(request), (std::vector<std::string>{"Method", "Login", "Password", "Key",
                                                      "UserDefaultDomain", "Hash", "ClientType", "AppName"}));
  EXPECT_EQ(Text(request, "Password"), "$70$mail");
  EXPECT_EQ(Text(request, "Key"), "");
  // A successful login ends the e-mail request.
  EXPECT_EQ(StoredTimestamp(c), "");
  ExpectServerSatisfied();
}

TEST_F(LoginTest, EveryLoginResultStoresSignalsAndAsksWhatItShould) {
  m_services->SetSendConfigurationAfterLogin(false);
  ServiceClient& c = Client();
  struct Case {
    int32_t result;
    int32_t rights;  // -1: no "Rights"
    int reported;    // the result onLogin gets; -1: none
    bool keyErased;  // the remembered key is erased
    bool logout;     // Logout (true, false) on the session
    bool propsCleared;
    bool autoLogin;  // the permission afterwards
    bool counterRaised;
  } cases[] = {
      {0, 0x11, 0, false, false, false, true, true},       {0, 0x01, 3, true, true, true, false, true},
      {0, 0x10, 3, true, true, true, false, true},         {3, -1, 3, true, true, true, false, true},
      {3, 0x11, 3, true, false, true, false, true},        {4, -1, 4, false, false, true, false, false},
      {5, -1, 5, false, false, true, false, true},         {6, -1, 6, false, false, true, false, true},
      {65213, -1, 65213, false, false, true, false, true}, {8, -1, 8, false, false, false, false, true},
      {10, -1, 10, false, true, false, false, true},       {10, 0x11, 10, false, false, false, false, true},
      {1, -1, 0, false, false, false, true, true},
  };
  HX_Container userProps;
  userProps.AddValue("user_prop", "u");
  size_t loginsSoFar = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "result " << k.result << " rights " << k.rights);
    c.session->SetLogin(kAlice);
    c.session->SetCookie("remembered");
    c.session->SetUserPropertyContainer(userProps);
    c.login->ResetAutoLogin(!k.autoLogin);
    HX_Container answer = Answer(k.result);
    answer.AddValue("UserName", kAlice);
    answer.AddValue("Key", "key-new");
    if (k.rights >= 0) answer.AddValue("Rights", k.rights);
    m_services->ScriptLoginAnswer(answer);
    const size_t logoutsBefore = c.session->Logouts().size();

    // The request raises the counter twice (a fresh start, then the request itself); the answer
    // may come back at once.
    const uint32_t counterAfterRequest = (c.login->requestCounter() + 2) & 0x7fff;
    ASSERT_TRUE(c.login->mLogin(kAlice, "secret", true, true));
    ASSERT_TRUE(c.session->WaitLogins(++loginsSoFar));
    const auto call = c.session->Logins().back();
    EXPECT_EQ(call.result, k.reported);
    EXPECT_EQ(call.login, kAlice);
    EXPECT_EQ(call.key, k.result == 1 ? "remembered" : "key-new");
    EXPECT_EQ(c.login->autoLoginAllowed(), k.autoLogin);
    // Logout and the clearing come after the report: wait for them.
    const size_t logouts = k.logout ? logoutsBefore + 1 : logoutsBefore;
    EXPECT_TRUE(WaitFor([&] { return c.session->Logouts().size() >= logouts; }, kTransportWaitMs));
    RoundTrip(c);
    EXPECT_EQ(c.session->Logouts().size(), logouts);
    if (k.logout) {
      EXPECT_TRUE(c.session->Logouts().back().flag1);
      EXPECT_FALSE(c.session->Logouts().back().flag2);
    }
    const std::string expectedKey = k.reported == 0 && k.result == 0 ? "key-new"
                                    : k.keyErased                    ? ""
                                                                     : "remembered";
    EXPECT_EQ(c.session->getCookie(), expectedKey);
    EXPECT_EQ(c.session->getProperty("user_prop"), k.propsCleared ? "" : "u");
    EXPECT_EQ(c.login->requestCounter(),
              k.counterRaised ? (counterAfterRequest + 1) & 0x7fff : counterAfterRequest);
  }
  ExpectServerSatisfied();
}

TEST_F(LoginTest, NotLoggedInStartsTheAutomaticLoginWithTheStoredKey) {
  ServiceClient& c = Client();
  c.session->SetLogin(kAlice);
  c.session->SetCookie("key-alice");
  HX_Container props;
  props.AddValue("p", "1");
  c.session->SetUserPropertyContainer(props);
  m_services->ScriptLoginAnswer(Answer(2));
  ASSERT_TRUE(c.login->mLogin(kAlice, "wrong", false, true));
  // The answer 2 makes the client send the stored key, which the server accepts.
  ASSERT_TRUE(c.session->WaitLogins(1));
  EXPECT_EQ(c.session->Logins().at(0).result, 0);
  ASSERT_EQ(Sent("LoginUser"), 2u);
  EXPECT_EQ(Text(m_services->Received("LoginUser").at(1), "Key"), "key-alice");
  EXPECT_EQ(m_logs->requests.Size(), 2u);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, RetryAfterTheDelayTheServerNames) {
  ServiceClient& c = Client();
  struct Case {
    int32_t field1;  // -1: absent
    uint64_t low;
    uint64_t high;  // delay in [low, high]
  } cases[] = {
      {-1, 30000, 30000},    {5000, 30000, 30000}, {900000, 300000, 300000},
      {45000, 45000, 45000}, {0, 30000, 39999},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.field1);
    HX_Container answer = Answer(7);
    if (k.field1 >= 0) answer.AddValue("Field1", k.field1);
    m_services->ScriptLoginAnswer(answer);
    m_logs->checks.Clear();
    ASSERT_TRUE(c.login->mLogin(kAlice, "secret", false, true));
    ASSERT_TRUE(m_logs->checks.WaitSize(2));
    const auto [delay, tag] = m_logs->checks.Values().at(1);
    EXPECT_GE(delay, k.low);
    EXPECT_LE(delay, k.high);
    EXPECT_EQ(tag, c.login->requestCounter() | 0x8000u);
    EXPECT_FALSE(c.login->autoLoginAllowed());
  }
  EXPECT_TRUE(c.session->Logins().empty());
  // The retry tag repeats the request at every check.
  const uint32_t tag = m_logs->checks.Values().at(1).second;
  const size_t before = Sent("LoginUser");
  m_services->ScriptLoginAnswer(std::nullopt);
  c.login->CheckLogin(tag);
  ASSERT_TRUE(WaitSent("LoginUser", before + 1));
  EXPECT_EQ(Text(m_services->Received("LoginUser").back(), "Password"), kSecretMd5);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, AnUnansweredLoginIsRepeatedOnceThenOnlyTheStatusIsAsked) {
  ServiceClient& c = Client();
  m_services->ScriptLoginAnswer(std::nullopt);
  m_services->ScriptLoginAnswer(std::nullopt);
  c.session->setStateTrs(HX_TransportSession::eLoggingIn);
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", false, true));
  ASSERT_EQ(m_logs->checks.Size(), 1u);
  const uint32_t first = m_logs->checks.Values().at(0).second;
  EXPECT_EQ(first, c.login->requestCounter() | 0x10000u);

  c.login->CheckLogin(first);
  ASSERT_TRUE(WaitSent("LoginUser", 2));
  ASSERT_EQ(m_logs->checks.Size(), 2u);
  const uint32_t second = m_logs->checks.Values().at(1).second;
  EXPECT_EQ(second, first);

  const uint32_t counter = c.login->requestCounter();
  c.login->CheckLogin(second);
  ASSERT_TRUE(WaitSent("CheckUserLoginStatus", 1));
  ASSERT_EQ(m_logs->checks.Size(), 3u);
  const auto [delay, third] = m_logs->checks.Values().at(2);
  EXPECT_GE(delay, 30000u);
  EXPECT_LT(delay, 40000u);
  EXPECT_EQ(third, counter);
  // The server answers "not logged in" (result 2), which moves the counter: the check is stale.
  ASSERT_TRUE(WaitFor([&] { return c.login->requestCounter() != third; }, kTransportWaitMs));
  c.login->CheckLogin(third);
  RoundTrip(c);
  EXPECT_EQ(Sent("LoginUser"), 2u);
  EXPECT_EQ(Sent("CheckUserLoginStatus"), 1u);
  EXPECT_EQ(m_logs->checks.Size(), 3u);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, TheRequestCounterWrapsAndOldTagsGoStale) {
  HX_LoginManager m(nullptr, nullptr);
  Logs logs;
  logs.ConnectTo(m);
  for (int i = 0; i < 0x7fff; ++i) m.ResetRetryLogin();
  EXPECT_EQ(m.requestCounter(), 0x7fffu);
  m.scheduleCheckLogin(5000, 0x8000);
  ASSERT_EQ(logs.checks.Size(), 1u);
  EXPECT_EQ(logs.checks.Values().at(0), (std::pair<uint64_t, uint32_t>(30000, 0xffff)));
  m.ResetRetryLogin();
  EXPECT_EQ(m.requestCounter(), 0u);
  m.CheckLogin(0xffff);  // made before the wrap
  EXPECT_EQ(logs.checks.Size(), 1u);
  m.CheckLogin(0x8000);  // counter 0 with the retry flag, nothing held: the status is asked
  ASSERT_EQ(logs.checks.Size(), 2u);
  EXPECT_EQ(logs.checks.Values().at(1).second, 0u);
  m.scheduleCheckLogin(10000000, 0);
  EXPECT_EQ(logs.checks.Values().at(2).first, 300000u);
}

TEST_F(LoginTest, AnEmailKeyAnsweredWithNineIsStoredAsTheKey) {
  ServiceClient& c = Client();
  HX_Container answer = Answer(9);
  answer.AddValue("Key", "srv-key");
  m_services->ScriptLoginAnswer(answer);
  const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
  ASSERT_TRUE(c.login->mLogin(kAlice, "$71$abc", true, false));
  ASSERT_TRUE(c.session->WaitLogins(1));
  const auto call = c.session->Logins().at(0);
  EXPECT_EQ(call.login, kAlice);
  EXPECT_EQ(call.result, 9);
  EXPECT_EQ(call.key, "srv-key");
  EXPECT_EQ(c.session->getLogin(), kAlice);
  EXPECT_EQ(c.session->getCookie(), "$70$abc");
  EXPECT_EQ(c.login->heldCredentials().source, HX_LoginManager::RetryLoginHolder::eEmail);
  const std::string stamp = StoredTimestamp(c);
  ASSERT_FALSE(stamp.empty());
  EXPECT_GE(std::stoull(stamp), before);
  EXPECT_LE(std::stoull(stamp), static_cast<uint64_t>(std::time(nullptr)));

  // A plain password answered with 9 is reported and stores nothing.
  c.session->SetCookie("kept");
  m_services->ScriptLoginAnswer(answer);
  ASSERT_TRUE(c.login->mLogin(kAlice, "plain", true, false));
  ASSERT_TRUE(c.session->WaitLogins(2));
  EXPECT_EQ(c.session->Logins().at(1).result, 9);
  EXPECT_EQ(c.session->getCookie(), "kept");
  EXPECT_EQ(c.login->heldCredentials().source, HX_LoginManager::RetryLoginHolder::ePassword);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, AutomaticLoginTypes) {
  struct Case {
    const char* login;
    const char* key;
    const char* app;
    int type;
  } cases[] = {
      {"a@x", "$70$k", "id", 1}, {"a@x", "$71$k", "id", 1}, {"@ax", "$70$k", "id", 2},
      {"ax", "$70$k", "id", 2},  {"a@x", "$72$k", "id", 2}, {"a@x", "$70k", "id", 2},
      {"a@x", "$70", "id", 2},   {"a@x", "k", "id", 2},     {"", "k", "id", 0},
      {"a@x", "", "id", 0},      {"a@x", "k", "", 0},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(HX_LoginManager::autoLoginType(k.login, k.key, k.app), k.type) << k.login << " " << k.key;
  }
  EXPECT_TRUE(HX_LoginManager::isEmailKey("$70$"));
  EXPECT_FALSE(HX_LoginManager::isEmailKey(static_cast<const char*>(nullptr)));
}

TEST_F(LoginTest, AnExpiredEmailRequestErasesTheKey) {
  ServiceClient& c = Client(false);
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  struct Case {
    const char* login;
    int64_t age;                  // seconds; -1: no timestamp
    const char* lifetimeMinutes;  // null: no property
    int type;
  } cases[] = {
      {kAlice, 100, nullptr, 1}, {kAlice, 1801, nullptr, 0},  {kAlice, -1, nullptr, 0},
      {kAlice, 100, "1", 0},     {kAlice, 3000, "60", 1},     {kAlice, 1000, "0", 1},
      {kAlice, 1000, "junk", 1}, {"alice", 5000, nullptr, 2}, {"@alice", 5000, nullptr, 2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.login << " age " << k.age);
    c.session->SetLogin(k.login);
    c.session->SetCookie("$70$mail");
    c.session->removeParam("EmailRequestTimestamp");
    if (k.age >= 0) StoreTimestamp(c, now - static_cast<uint64_t>(k.age));
    HX_Container props;
    if (k.lifetimeMinutes != nullptr) props.AddValue("email_login_session_timeout", k.lifetimeMinutes);
    c.session->SetUserPropertyContainer(props);
    EXPECT_EQ(c.login->autoLoginType(), k.type);
    EXPECT_EQ(c.session->getCookie(), k.type == 0 ? "" : "$70$mail");
    // An expired request's timestamp goes; a live one stays.
    if (k.age >= 0 && k.type != 2) EXPECT_EQ(StoredTimestamp(c).empty(), k.type == 0);
  }
}

TEST_F(LoginTest, SessionKeyIsRenewedAtMostOnceAMinute) {
  m_services->SetAnswerSessionKeyRequests(false);
  ServiceClient& c = Client();
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", false, true));
  ASSERT_TRUE(m_logs->rights.WaitSize(1));  // after the key time was taken
  const uint64_t base = c.login->lastSessionKeyTime();
  const uint64_t age = HX_LoginManager::kSessionKeyAgeMs;
  // Not logged in as far as the session knows: nothing.
  c.session->setStateTrs(HX_TransportSession::eLoggingIn);
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(base + age + 1));
  c.session->setStateTrs(HX_TransportSession::eLoggedIn);
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(base + age));  // not older than 23.5 h yet
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(base + age + 1));
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(base + age + 30000));  // within the minute
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(base + age + 60002));
  // A key that is days old is still asked for only once a minute.
  const uint64_t late = base + 10 * age;
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(late));
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(late + 1000));
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(late + 59999));
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(late + 60001));
  RoundTrip(c);
  const std::vector<HX_Container> sent = m_services->Received("ReqUpdateAccount");
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(Names(sent[0]), (std::vector<std::string>{"Method", "CallId"}));
  EXPECT_EQ(Text(sent[0], "CallId"), kAlice);

  // The server's new key resets the reference to now.
  m_services->SetAnswerSessionKeyRequests(true);
  const uint64_t now = static_cast<uint64_t>(hx::GetTickCount());
  EXPECT_TRUE(c.login->SendSessionKeyUpdate(late + 10 * age));
  ASSERT_TRUE(
      WaitFor([&] { return c.session->GetLoginSessionKey() == "session-renewed-1"; }, kTransportWaitMs));
  EXPECT_GE(c.login->lastSessionKeyTime(), now);
  EXPECT_LE(c.login->lastSessionKeyTime(), static_cast<uint64_t>(hx::GetTickCount()));
  ExpectServerSatisfied();
}

TEST_F(LoginTest, ProfileAndPasswordUpdates) {
  ServiceClient& c = Client();
  SignalLog<std::tuple<std::string, std::string, bool>> names;
  struct NameLog {
    SignalLog<std::tuple<std::string, std::string, bool>>* log;
    void On(const char* id, const char* name, bool flag) { log->Add({id, name, flag}); }
  } nameLog{&names};
  c.fsm->peerNameUpdated.Connect(&nameLog, &NameLog::On);

  ASSERT_TRUE(c.login->SendProfileUpdate(kAlice, "Alice", "Al", nullptr, "ACME", "+100"));
  ASSERT_TRUE(m_logs->profiles.WaitSize(1));
  EXPECT_EQ(m_logs->profiles.Values().at(0), (std::pair<int, std::string>(0, kAlice)));
  const HX_Container profile = m_services->Received("ReqUpdateAccount").at(0);
  EXPECT_EQ(Names(profile),
            (std::vector<std::string>{"Method", "Type", "CallId", "DisplayName", "FirstName", "company"}));
  EXPECT_EQ(Int(profile, "Type"), 4);
  EXPECT_EQ(names.Values().at(0), std::make_tuple(std::string(kAlice), std::string("Alice"), true));
  const auto details = c.fsm->GetUserDetails(kAlice);
  EXPECT_EQ(details.phone, "+100");
  EXPECT_EQ(details.company, "ACME");
  EXPECT_EQ(details.displayName, "Alice");

  m_services->SetAccountUpdateResult(5);
  ASSERT_TRUE(c.login->SendPasswordChange(kAlice, "secret", "new", true));
  ASSERT_TRUE(m_logs->passwords.WaitSize(1));
  EXPECT_EQ(m_logs->passwords.Values().at(0), 5);
  const HX_Container change = m_services->Received("ReqUpdateAccount").at(1);
  EXPECT_EQ(Names(change),
            (std::vector<std::string>{"Method", "Type", "CallId", "OldPassword", "NewPassword"}));
  EXPECT_EQ(Text(change, "OldPassword"), kSecretMd5);
  EXPECT_EQ(Text(change, "NewPassword"), "22AF645D1859CB5CA6DA0C484F1F37EA");  // MD5 of "new"
  ASSERT_TRUE(c.login->SendPasswordChange(kAlice, "a", "b", false));
  ASSERT_TRUE(m_logs->passwords.WaitSize(2));
  EXPECT_EQ(Text(m_services->Received("ReqUpdateAccount").at(2), "NewPassword"), "b");

  c.session->SetLogin(kAlice);
  ASSERT_TRUE(c.login->SetRegID("reg-1", 1));
  ASSERT_TRUE(c.login->SetRegID("bob@fake.example", "reg-2", 7));
  RoundTrip(c);
  const std::vector<HX_Container> regs = m_services->Received("SetRegID");
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(Names(regs[0]), (std::vector<std::string>{"Method", "CallId", "RegID", "SubType"}));
  EXPECT_EQ(Text(regs[0], "CallId"), kAlice);
  EXPECT_EQ(Int(regs[1], "SubType"), 1);
  EXPECT_EQ(Text(regs[1], "CallId"), "bob@fake.example");
  ExpectServerSatisfied();
}

TEST_F(LoginTest, AccountUpdatesFromTheServer) {
  ServiceClient& c = Client();
  ASSERT_TRUE(c.login->mLogin(kAlice, "secret", true, true));
  ASSERT_TRUE(c.session->WaitLogins(1));
  ASSERT_TRUE(m_logs->rights.WaitSize(1));  // emitted after the report
  m_logs->rights.Clear();

  HX_Container update;
  update.AddValue("Method", "UpdateAccount");
  update.AddValue("Rights", static_cast<int32_t>(0x13));
  update.AddValue("TarifRestr", static_cast<int32_t>(9));
  update.AddValue("DisplayName", "Alice B");
  update.AddValue("TarifName", "platinum");
  update.AddValue("Session", "sess-2");
  HX_Container property;
  property.AddValue("u", "v");
  update.AddValue("Property", property);
  ASSERT_TRUE(m_services->SendToClient(1, "AUTH", update));
  RoundTrip(c);
  EXPECT_EQ(m_logs->tariffNames.Size(), 1u);
  EXPECT_EQ(m_logs->rights.Values(), std::vector<int>{0x13});
  EXPECT_EQ(c.session->getUserRights(), 0x13u);
  EXPECT_EQ(m_logs->tariffRestrictions.Values(), std::vector<int>{9});
  EXPECT_EQ(c.session->getTariffRestr(), 9u);
  EXPECT_EQ(c.fsm->GetDisplayName(), "Alice B");
  EXPECT_EQ(c.session->getTariffName(), "platinum");
  EXPECT_EQ(c.session->GetLoginSessionKey(), "sess-2");
  EXPECT_EQ(c.session->getProperty("u"), "v");
  EXPECT_TRUE(c.session->Logouts().empty());

  // Rights without both bits make the client log out.
  HX_Container lost;
  lost.AddValue("Method", "UpdateAccount");
  lost.AddValue("Rights", static_cast<int32_t>(0x01));
  ASSERT_TRUE(m_services->SendToClient(1, "AUTH", lost));
  ASSERT_TRUE(WaitFor([&] { return !c.session->Logouts().empty(); }, kTransportWaitMs));
  EXPECT_FALSE(c.session->Logouts().at(0).flag1);
  EXPECT_FALSE(c.session->Logouts().at(0).flag2);
  EXPECT_EQ(c.session->getUserRights(), 0x13u);

  // A profile or password answer without "Result" is refused.
  for (int32_t type : {3, 4}) {
    HX_Container bare;
    bare.AddValue("Method", "UpdateAccount");
    bare.AddValue("Type", type);
    EXPECT_FALSE(c.login->ParseIncomimgMessage(bare));
  }
  EXPECT_EQ(m_logs->profiles.Size() + m_logs->passwords.Size(), 0u);
  ExpectServerSatisfied();
}

TEST_F(LoginTest, LogoutNotices) {
  ServiceClient& c = Client();
  HX_Container props;
  props.AddValue("p", "1");
  struct Case {
    int32_t state;
    int32_t cause;
    bool signalled;
    bool autoLogin;
    bool propsCleared;
  } cases[] = {
      {HX_TransportSession::eLoggedIn, 0, true, true, false},
      {HX_TransportSession::eLoggedIn, 1, true, false, true},
      {HX_TransportSession::eLoggingIn, 2, true, true, true},
      {HX_TransportSession::eConnected, 1, false, true, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "state " << k.state << " cause " << k.cause);
    c.session->setStateTrs(k.state);
    c.session->SetUserPropertyContainer(props);
    c.login->ResetAutoLogin(true);
    m_logs->logouts.Clear();
    ASSERT_TRUE(m_services->SendLoggedOut(1, 0, k.cause));
    RoundTrip(c);
    EXPECT_EQ(m_logs->logouts.Size(), k.signalled ? 1u : 0u);
    if (k.signalled) EXPECT_EQ(m_logs->logouts.Values().at(0), (std::pair<int, int>(0, k.cause)));
    EXPECT_EQ(c.login->autoLoginAllowed(), k.autoLogin);
    EXPECT_EQ(c.session->getProperty("p"), k.propsCleared ? "" : "1");
    EXPECT_FALSE(c.login->rememberKey());
    EXPECT_TRUE(c.login->heldCredentials().empty());
  }
  // The client's own logout.
  c.session->setStateTrs(HX_TransportSession::eLoggedIn);
  m_logs->logouts.Clear();
  ASSERT_TRUE(c.login->mLogout());
  ASSERT_TRUE(m_logs->logouts.WaitSize(1));
  EXPECT_EQ(m_logs->logouts.Values().at(0), (std::pair<int, int>(0, 0)));
  EXPECT_EQ(Names(m_services->Received("LogoutUser").at(0)), std::vector<std::string>{"Method"});
  ExpectServerSatisfied();
}

TEST_F(LoginTest, AuthorizeGoesToTheInstalledHandlerOnly) {
  struct Handler : HX_LoginManager::AuthorizeHandler {
    bool Authorize(const HX_Container& message, HX_Container& reply) override {
      ++calls;
      EXPECT_TRUE(reply.IsEmpty());
      std::string token;
      message.GetValue("Token", token);
      reply.AddValue("Method", "SetRegID");  // a method the server records
      reply.AddValue("CallId", token.c_str());
      return answer;
    }
    int calls = 0;
    bool answer = true;
  };
  ServiceClient& c = Client();
  HX_Container ask;
  ask.AddValue("Method", "Authorize");
  ask.AddValue("Token", "t-1");
  EXPECT_TRUE(c.login->ParseIncomimgMessage(ask));  // no handler: ignored
  auto handler = std::make_shared<Handler>();
  c.login->setAuthorizeHandler(handler);
  handler->answer = false;
  EXPECT_TRUE(c.login->ParseIncomimgMessage(ask));
  handler->answer = true;
  EXPECT_TRUE(c.login->ParseIncomimgMessage(ask));
  EXPECT_EQ(handler->calls, 2);
  RoundTrip(c);
  const std::vector<HX_Container> replies = m_services->Received("SetRegID");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(Text(replies[0], "CallId"), "t-1");
  ExpectServerSatisfied();
}

}  // namespace
