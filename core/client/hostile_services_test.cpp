// The login, network-configuration and client services against a hostile or broken server:
// keys missing or of the wrong type, numbers at their limits, damaged endpoint-list blobs,
// corrupt serialised containers, unsolicited answers and stale checks. Each must be refused or
// handled without a crash, a read outside a buffer, undefined behaviour, an unbounded timer or a
// state change the server was not entitled to make.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/container.h"
#include "core/client/client_manager.h"
#include "core/client/login_manager.h"
#include "core/client/net_config_manager.h"
#include "core/client/service_test_util.h"
#include "core/wire/endpoint_record.h"
#include "testing/fake_server/endpoint_blob.h"

namespace hx::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using Builder = std::function<void(HX_Container&)>;

HX_Container Message(const char* method) {
  HX_Container message;
  message.AddValue("Method", method);
  return message;
}

void AddBinary(HX_Container& message, const char* name, const Bytes& bytes) {
  message.AddValue(name, HX_CNT_BINARY_VT, bytes.data(), bytes.size());
}

Bytes Serialized(const HX_Container& container) {
  size_t size = 0;
  container.Serialize(nullptr, size);
  Bytes bytes(size);
  EXPECT_TRUE(container.Serialize(bytes.data(), size));
  bytes.resize(size);
  return bytes;
}

// The endpoint-list checksum, from the format: (L / 4) + (L % 4) + 0x3D141591, plus every whole
// little-endian word after the checksum field, plus each byte of the tail.
void Seal(Bytes& bytes) {
  const size_t length = bytes.size();
  uint32_t sum = static_cast<uint32_t>((length >> 2) + (length & 3)) + 0x3D141591u;
  size_t i = 4;
  for (; i + 4 <= length; i += 4)
    sum += bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (uint32_t{bytes[i + 3]} << 24);
  for (; i < length; ++i) sum += bytes[i];
  for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(sum >> (8 * b));
}

void PutU32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes GoodBlob() {
  FakeEndpoint endpoint;
  endpoint.host = "10.1.2.3";
  endpoint.port = 4307;
  return EncodeEndpointList({endpoint});
}

// A well-sealed blob whose record count claims `count`.
Bytes LyingCount(uint32_t count) {
  Bytes blob = GoodBlob();
  PutU32(blob, 4, count);
  Seal(blob);
  return blob;
}

// A well-sealed blob whose first record size claims `size`.
Bytes LyingRecordSize(uint32_t size) {
  Bytes blob = GoodBlob();
  PutU32(blob, 8, size);
  Seal(blob);
  return blob;
}

Bytes GoodRecord() {
  FakeEndpoint endpoint;
  endpoint.host = "10.9.8.7";
  return EncodeEndpointRecord(endpoint);
}

// A sealed blob of the given (sealed or damaged) records under `count`.
Bytes BlobOf(const std::vector<Bytes>& records, uint32_t count) {
  Bytes blob(8, 0);
  PutU32(blob, 4, count);
  for (const Bytes& record : records) {
    const size_t at = blob.size();
    blob.resize(at + 4);
    PutU32(blob, at, static_cast<uint32_t>(record.size()));
    blob.insert(blob.end(), record.begin(), record.end());
  }
  Seal(blob);
  return blob;
}

// A good record changed by `edit` and sealed again, so that only its inner lengths lie.
Bytes ResealedRecord(const std::function<void(Bytes&)>& edit) {
  Bytes record = GoodRecord();
  edit(record);
  Seal(record);
  return record;
}

constexpr int kAny = -1;

struct Recorder {
  using Check = std::pair<uint64_t, uint32_t>;
  struct Endpoints {
    bool nullName;
    std::string name;
    size_t count;
  };

  void OnCheck(uint64_t delay, uint32_t tag) { checks.Add({delay, tag}); }
  void OnRights(int rights) { this->rights.Add(rights); }
  void OnLogout(int result, int cause) { logouts.Add({result, cause}); }
  void OnLoginResult(const char* login, int result, const char*, const char*) {
    loginResults.Add({login != nullptr ? login : "", result});
  }
  void OnProfile(int result, const char*, const char*, const char*, const char*, const char*, const char*) {
    profiles.Add(result);
  }
  void OnPassword(int result) { passwords.Add(result); }
  void OnEndpointList(const char*, const char* name, const HX_TransportEndpointList& list) {
    endpointLists.Add({name == nullptr, name != nullptr ? name : "", list.size()});
  }
  void OnRedirect(const char* name, const HX_TransportEndpointList& list) {
    redirects.Add({name == nullptr, name != nullptr ? name : "", list.size()});
  }
  void OnCallHistory(int value) { callHistory.Add(value); }
  void OnDirect(const char* sid) { direct.Add(sid != nullptr ? sid : std::string("<null>")); }

  SignalLog<Check> checks;
  SignalLog<int> rights;
  SignalLog<std::pair<int, int>> logouts;
  SignalLog<std::pair<std::string, int>> loginResults;
  SignalLog<int> profiles;
  SignalLog<int> passwords;
  SignalLog<Endpoints> endpointLists;
  SignalLog<Endpoints> redirects;
  SignalLog<int> callHistory;
  SignalLog<std::string> direct;
};

class HostileServicesTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    if (HasFatalFailure()) return;
    c = &AddClient();
    HX_LoginManager& login = *c->login;
    login.checkLoginSignal.Connect(&rec, &Recorder::OnCheck);
    login.rightsSignal.Connect(&rec, &Recorder::OnRights);
    login.logoutSignal.Connect(&rec, &Recorder::OnLogout);
    login.loginResultSignal.Connect(&rec, &Recorder::OnLoginResult);
    login.profileUpdateResultSignal.Connect(&rec, &Recorder::OnProfile);
    login.passwordChangeResultSignal.Connect(&rec, &Recorder::OnPassword);
    c->netConfig->endpointListSignal.Connect(&rec, &Recorder::OnEndpointList);
    c->netConfig->redirectSignal.Connect(&rec, &Recorder::OnRedirect);
    c->netConfig->callHistoryAsOneListSignal.Connect(&rec, &Recorder::OnCallHistory);
    c->client->directAcceptSignal.Connect(&rec, &Recorder::OnDirect);
  }

  bool Login(HX_Container message) { return c->login->ParseIncomimgMessage(message); }
  bool Net(HX_Container message) { return c->netConfig->ParseIncomimgMessage(message); }
  bool Client(HX_Container message) { return c->client->ParseIncomimgMessage(message); }

  // A "UserLoggedin" success but for what `edit` adds.
  static HX_Container LoggedIn(const Builder& edit) {
    HX_Container message = Message("UserLoggedin");
    edit(message);
    message.AddValue("UserName", "mallory@fake.example");
    message.AddValue("Session", "evil-session");
    message.AddValue("Key", "evil-key");
    return message;
  }

  void ExpectNoSuccess() {
    EXPECT_EQ(rec.rights.Size(), 0u) << "rights published";
    EXPECT_EQ(c->session->GetLoginSessionKey(), "") << "session key stored";
    EXPECT_EQ(c->session->getLogin(), "") << "login stored";
    for (const auto& login : c->session->Logins()) EXPECT_NE(login.result, 0) << login.login;
  }

  ServiceClient* c = nullptr;
  Recorder rec;
};

// --- AUTH ------------------------------------------------------------------------------------

// A "Result" that is not a 32-bit integer is no success; it counts as absent (a retry).
TEST_F(HostileServicesTest, ResultOfAnotherTypeIsNoSuccess) {
  HX_Container nested;
  nested.AddValue("Result", int32_t{0});
  const std::vector<std::pair<const char*, Builder>> cases = {
      {"string", [](HX_Container& m) { m.AddValue("Result", "0"); }},
      {"int64", [](HX_Container& m) { m.AddValue("Result", int64_t{0}); }},
      {"double", [](HX_Container& m) { m.AddValue("Result", 0.0); }},
      {"bool", [](HX_Container& m) { m.AddValue("Result", false); }},
      {"binary", [](HX_Container& m) { AddBinary(m, "Result", Bytes(4, 0)); }},
      {"nested", [&](HX_Container& m) { m.AddValue("Result", nested); }},
  };
  for (const auto& [name, edit] : cases) {
    SCOPED_TRACE(name);
    c->session->setStateTrs(HX_TransportSession::eLoggingIn);
    rec.checks.Clear();
    EXPECT_TRUE(Login(LoggedIn([&](HX_Container& m) {
      edit(m);
      m.AddValue("Rights", int32_t{0x11});
    })));
    ExpectNoSuccess();
    ASSERT_EQ(rec.checks.Size(), 1u);
    const auto [delay, tag] = rec.checks.Values()[0];
    EXPECT_EQ(delay, HX_LoginManager::kCheckDelayMs);
    EXPECT_NE(tag & HX_LoginManager::kCheckRetryFlag, 0u);
    EXPECT_EQ(tag & 0x7fffu, c->login->requestCounter());
  }
}

// Results outside the known ones, at the 32-bit limits, never log in.
TEST_F(HostileServicesTest, ExtremeResultsAreRefusals) {
  for (int32_t result : {INT_MIN, -1, -65213, 10, 65213, 65536 + 0, INT_MAX}) {
    SCOPED_TRACE(result);
    c->session->setStateTrs(HX_TransportSession::eLoggingIn);
    EXPECT_TRUE(Login(LoggedIn([&](HX_Container& m) {
      m.AddValue("Result", result);
      m.AddValue("Rights", int32_t{-1});
    })));
    ExpectNoSuccess();
    EXPECT_FALSE(c->login->autoLoginAllowed());
    EXPECT_LT(c->login->requestCounter(), 0x8000u);
  }
}

// A success counts only with both rights bits 0x01 and 0x10, whatever else "Rights" carries.
TEST_F(HostileServicesTest, SuccessNeedsBothRightsBits) {
  struct Case {
    const char* name;
    Builder rights;
    bool success;
  };
  const std::vector<Case> cases = {
      {"absent", [](HX_Container&) {}, false},
      {"string", [](HX_Container& m) { m.AddValue("Rights", "17"); }, false},
      {"int64", [](HX_Container& m) { m.AddValue("Rights", int64_t{0x11}); }, false},
      {"INT_MIN", [](HX_Container& m) { m.AddValue("Rights", int32_t{INT_MIN}); }, false},
      {"0x01", [](HX_Container& m) { m.AddValue("Rights", int32_t{0x01}); }, false},
      {"0x10", [](HX_Container& m) { m.AddValue("Rights", int32_t{0x10}); }, false},
      {"-1", [](HX_Container& m) { m.AddValue("Rights", int32_t{-1}); }, true},
      {"0x11", [](HX_Container& m) { m.AddValue("Rights", int32_t{0x11}); }, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    auto& client = AddClient();
    client.session->setStateTrs(HX_TransportSession::eLoggingIn);
    HX_Container message = LoggedIn([&](HX_Container& m) {
      m.AddValue("Result", int32_t{0});
      test.rights(m);
    });
    EXPECT_TRUE(client.login->ParseIncomimgMessage(message));
    const auto logins = client.session->Logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].result, test.success ? 0 : 3);
    EXPECT_EQ(client.session->GetLoginSessionKey(), test.success ? "evil-session" : "");
    const auto logouts = client.session->Logouts();
    if (test.success) {
      EXPECT_TRUE(logouts.empty());
    } else {
      ASSERT_EQ(logouts.size(), 1u);
      EXPECT_TRUE(logouts[0].flag1);
      EXPECT_FALSE(logouts[0].flag2);
    }
    DropClient(client);
  }
}

// Whatever "Field1" holds, a result 7 schedules exactly one check within 30000..300000 ms.
TEST_F(HostileServicesTest, RetryDelayIsBounded) {
  struct Case {
    const char* name;
    Builder field;
    uint64_t low, high;
  };
  const uint64_t kMin = HX_LoginManager::kCheckDelayMs, kMax = HX_LoginManager::kMaxCheckDelayMs;
  const std::vector<Case> cases = {
      {"absent", [](HX_Container&) {}, kMin, kMin},
      {"0", [](HX_Container& m) { m.AddValue("Field1", int32_t{0}); }, kMin, kMin + 9999},
      {"5000", [](HX_Container& m) { m.AddValue("Field1", int32_t{5000}); }, kMin, kMin},
      {"900000", [](HX_Container& m) { m.AddValue("Field1", int32_t{900000}); }, kMax, kMax},
      {"-1", [](HX_Container& m) { m.AddValue("Field1", int32_t{-1}); }, kMin, kMax},
      {"INT_MIN", [](HX_Container& m) { m.AddValue("Field1", int32_t{INT_MIN}); }, kMin, kMax},
      {"INT_MAX", [](HX_Container& m) { m.AddValue("Field1", int32_t{INT_MAX}); }, kMax, kMax},
      {"int64 max", [](HX_Container& m) { m.AddValue("Field1", int64_t{INT64_MAX}); }, kMin, kMin},
      {"string", [](HX_Container& m) { m.AddValue("Field1", "900000"); }, kMin, kMin},
      {"binary", [](HX_Container& m) { AddBinary(m, "Field1", Bytes(8, 0xff)); }, kMin, kMin},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    rec.checks.Clear();
    EXPECT_TRUE(Login(LoggedIn([&](HX_Container& m) {
      m.AddValue("Result", int32_t{7});
      test.field(m);
    })));
    ASSERT_EQ(rec.checks.Size(), 1u);
    const auto [delay, tag] = rec.checks.Values()[0];
    EXPECT_GE(delay, test.low);
    EXPECT_LE(delay, test.high);
    EXPECT_EQ(tag & ~(0x7fffu | HX_LoginManager::kCheckRetryFlag), 0u);
    EXPECT_NE(tag & HX_LoginManager::kCheckRetryFlag, 0u);
  }
}

// A flood of result 7 makes one bounded check per message, and the counter keeps to 15 bits
// through the wrap.
TEST_F(HostileServicesTest, RetryFloodStaysBounded) {
  c->session->setStateTrs(HX_TransportSession::eLoggingIn);
  const int kMessages = 0x8000 + 64;
  uint32_t previous = c->login->requestCounter();
  for (int i = 0; i < kMessages; ++i) {
    HX_Container message = Message("UserLoggedin");
    message.AddValue("Result", int32_t{7});
    message.AddValue("Field1", i % 2 == 0 ? int32_t{0} : int32_t{INT_MAX});
    ASSERT_TRUE(Login(std::move(message)));
    const uint32_t counter = c->login->requestCounter();
    ASSERT_LT(counter, 0x8000u);
    ASSERT_EQ(counter, (previous + 1) & 0x7fffu);
    previous = counter;
  }
  const auto checks = rec.checks.Values();
  ASSERT_EQ(checks.size(), static_cast<size_t>(kMessages));
  for (const auto& [delay, tag] : checks) {
    ASSERT_GE(delay, HX_LoginManager::kCheckDelayMs);
    ASSERT_LE(delay, HX_LoginManager::kMaxCheckDelayMs);
    ASSERT_EQ(tag & ~(0x7fffu | HX_LoginManager::kCheckRetryFlag), 0u);
  }
  EXPECT_TRUE(c->session->Logins().empty());
}

// A check whose tag names another counter, or carries bits no tag has, does nothing.
TEST_F(HostileServicesTest, StaleAndForgedCheckTagsDoNothing) {
  c->session->setStateTrs(HX_TransportSession::eLoggingIn);
  const uint32_t old = c->login->requestCounter();
  c->login->ResetRetryLogin();
  for (uint32_t tag :
       {old, old | HX_LoginManager::kCheckRepeatFlag, old | HX_LoginManager::kCheckRetryFlag, 0xffffffffu,
        0xfffe7fffu, c->login->requestCounter() | 0x20000u, c->login->requestCounter() | 0x80000000u}) {
    SCOPED_TRACE(tag);
    c->login->CheckLogin(tag);
    EXPECT_EQ(rec.checks.Size(), 0u);
  }
  // A current tag without credentials asks for the login status again, with a bounded delay.
  c->login->CheckLogin(c->login->requestCounter() | HX_LoginManager::kCheckRetryFlag);
  ASSERT_EQ(rec.checks.Size(), 1u);
  EXPECT_GE(rec.checks.Values()[0].first, HX_LoginManager::kCheckDelayMs);
  EXPECT_LT(rec.checks.Values()[0].first,
            HX_LoginManager::kCheckDelayMs + HX_LoginManager::kCheckDelayJitterMs);
}

// Check delays from the transport's side are clamped whatever is asked for.
TEST_F(HostileServicesTest, ScheduledCheckDelayIsClamped) {
  for (uint64_t delay : {uint64_t{1}, uint64_t{29999}, uint64_t{300001}, uint64_t{UINT32_MAX},
                         uint64_t{UINT64_MAX}, uint64_t{INT64_MAX} + 1}) {
    SCOPED_TRACE(delay);
    rec.checks.Clear();
    c->login->scheduleCheckLogin(delay, HX_LoginManager::kCheckRetryFlag);
    ASSERT_EQ(rec.checks.Size(), 1u);
    EXPECT_GE(rec.checks.Values()[0].first, HX_LoginManager::kCheckDelayMs);
    EXPECT_LE(rec.checks.Values()[0].first, HX_LoginManager::kMaxCheckDelayMs);
  }
}

// Answers nobody asked for: an e-mail request without a password login under way changes
// nothing; a logout notice while not logged in emits nothing.
TEST_F(HostileServicesTest, UnsolicitedAnswersChangeNothing) {
  c->session->setStateTrs(HX_TransportSession::eConnected);
  HX_Container email = Message("UserLoggedin");
  email.AddValue("Result", int32_t{9});
  email.AddValue("Key", "$70$evil");
  email.AddValue("UserName", "mallory@fake.example");
  EXPECT_TRUE(Login(std::move(email)));
  EXPECT_TRUE(c->session->Logins().empty());
  EXPECT_EQ(c->session->getCookie(), "");
  EXPECT_EQ(c->session->getLogin(), "");
  uint8_t stamp[32] = {};
  EXPECT_FALSE(c->session->loadParam("EmailRequestTimestamp", stamp, sizeof(stamp)));

  for (int32_t cause : {0, 1, INT_MIN, INT_MAX}) {
    HX_Container out = Message("UserLoggedout");
    out.AddValue("Result", int32_t{INT_MIN});
    out.AddValue("Cause", cause);
    EXPECT_TRUE(Login(std::move(out)));
  }
  HX_Container typed = Message("UserLoggedout");
  typed.AddValue("Result", "1");
  typed.AddValue("Cause", "1");
  EXPECT_TRUE(Login(std::move(typed)));
  EXPECT_EQ(rec.logouts.Size(), 0u);
  EXPECT_TRUE(c->session->Logouts().empty());
}

// A logout notice with extreme or mistyped values while logged in passes the numbers on as they
// are (mistyped ones as 0).
TEST_F(HostileServicesTest, LogoutNoticeValues) {
  c->session->setStateTrs(HX_TransportSession::eLoggedIn);
  HX_Container out = Message("UserLoggedout");
  out.AddValue("Result", int32_t{INT_MIN});
  out.AddValue("Cause", int32_t{INT_MAX});
  EXPECT_TRUE(Login(std::move(out)));
  HX_Container typed = Message("UserLoggedout");
  typed.AddValue("Result", int64_t{5});
  typed.AddValue("Cause", "1");
  EXPECT_TRUE(Login(std::move(typed)));
  const auto logouts = rec.logouts.Values();
  ASSERT_EQ(logouts.size(), 2u);
  EXPECT_EQ(logouts[0], std::make_pair(INT_MIN, INT_MAX));
  EXPECT_EQ(logouts[1], std::make_pair(0, 0));
  EXPECT_TRUE(c->login->autoLoginAllowed());
}

// Account updates: types 3 and 4 need an integer "Result"; mistyped values are left alone.
TEST_F(HostileServicesTest, AccountUpdateRefusesMalformedFields) {
  c->session->setStateTrs(HX_TransportSession::eLoggedIn);
  struct Case {
    const char* name;
    Builder fields;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"type 4 without result", [](HX_Container& m) { m.AddValue("Type", int32_t{4}); }, false},
      {"type 3 without result", [](HX_Container& m) { m.AddValue("Type", int32_t{3}); }, false},
      {"type 4 string result",
       [](HX_Container& m) {
         m.AddValue("Type", int32_t{4});
         m.AddValue("Result", "0");
       },
       false},
      {"type 3 int64 result",
       [](HX_Container& m) {
         m.AddValue("Type", int32_t{3});
         m.AddValue("Result", int64_t{0});
       },
       false},
      {"type as string", [](HX_Container& m) { m.AddValue("Type", "4"); }, true},
      {"type INT_MIN", [](HX_Container& m) { m.AddValue("Type", int32_t{INT_MIN}); }, true},
      {"session as integer", [](HX_Container& m) { m.AddValue("Session", int32_t{7}); }, true},
      {"rights as string", [](HX_Container& m) { m.AddValue("Rights", "0"); }, true},
      {"tariff as binary", [](HX_Container& m) { AddBinary(m, "TarifRestr", Bytes(4, 0xff)); }, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    HX_Container message = Message("UpdateAccount");
    test.fields(message);
    EXPECT_EQ(Login(std::move(message)), test.accepted);
  }
  EXPECT_EQ(rec.profiles.Size(), 0u);
  EXPECT_EQ(rec.passwords.Size(), 0u);
  EXPECT_EQ(rec.rights.Size(), 0u);
  EXPECT_TRUE(c->session->Logouts().empty());
  EXPECT_EQ(c->session->GetLoginSessionKey(), "");
}

// "Property" that does not deserialise, in a login answer or an account update, is refused
// without reading outside it; the login itself still succeeds.
TEST_F(HostileServicesTest, CorruptPropertyContainer) {
  HX_Container good;
  good.AddValue("email_login_session_timeout", "5");
  good.AddValue("hostile_marker", "yes");
  const Bytes whole = Serialized(good);
  std::vector<std::pair<std::string, Bytes>> cases;
  for (size_t cut = 1; cut < whole.size(); cut += 3)
    cases.push_back({"cut at " + std::to_string(cut), Bytes(whole.begin(), whole.begin() + cut)});
  Bytes lying = whole;
  PutU32(lying, 0, 0xffffffffu);
  cases.push_back({"raw length UINT32_MAX", lying});
  Bytes longer = whole;
  PutU32(longer, 0, 0x7fffffffu);
  cases.push_back({"raw length INT_MAX", longer});
  cases.push_back({"garbage", Bytes(4096, 0xa5)});
  cases.push_back({"one byte", Bytes(1, 0xff)});
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    auto& client = AddClient();
    client.session->setStateTrs(HX_TransportSession::eLoggingIn);
    HX_Container message = LoggedIn([&](HX_Container& m) {
      m.AddValue("Result", int32_t{0});
      m.AddValue("Rights", int32_t{0x11});
      AddBinary(m, "Property", bytes);
    });
    EXPECT_TRUE(client.login->ParseIncomimgMessage(message));
    EXPECT_EQ(client.session->GetLoginSessionKey(), "evil-session");
    EXPECT_EQ(client.session->getProperty("hostile_marker"), "");
    HX_Container update = Message("UpdateAccount");
    AddBinary(update, "Property", bytes);
    EXPECT_TRUE(client.login->ParseIncomimgMessage(update));
    EXPECT_EQ(client.session->getProperty("hostile_marker"), "");
    DropClient(client);
  }
}

// Messages without a usable "Method" are accepted and ignored by every service.
TEST_F(HostileServicesTest, MissingOrMistypedMethodIsIgnored) {
  c->session->setStateTrs(HX_TransportSession::eLoggedIn);
  const std::vector<std::pair<const char*, Builder>> cases = {
      {"none", [](HX_Container&) {}},
      {"integer", [](HX_Container& m) { m.AddValue("Method", int32_t{0}); }},
      {"binary", [](HX_Container& m) { AddBinary(m, "Method", Bytes(300, 'U')); }},
      {"empty", [](HX_Container& m) { m.AddValue("Method", ""); }},
      {"huge", [](HX_Container& m) { m.AddValue("Method", std::string(1 << 16, 'X').c_str()); }},
      {"case", [](HX_Container& m) { m.AddValue("Method", "userloggedin-"); }},
  };
  for (const auto& [name, edit] : cases) {
    SCOPED_TRACE(name);
    HX_Container message;
    edit(message);
    message.AddValue("Result", int32_t{0});
    message.AddValue("Rights", int32_t{0x11});
    message.AddValue("Name", "sid");
    EXPECT_TRUE(Login(message));
    EXPECT_TRUE(Net(message));
    EXPECT_TRUE(Client(message));
  }
  EXPECT_TRUE(c->session->Logins().empty());
  EXPECT_EQ(rec.direct.Size(), 0u);
  EXPECT_EQ(rec.redirects.Size(), 0u);
  EXPECT_EQ(rec.checks.Size(), 0u);
  // "Authorize" without a handler is ignored.
  EXPECT_TRUE(Login(Message("Authorize")));
}

// The lifetime of an e-mail login request comes from a server property: whatever the server
// names, a request made just now is still valid (no overflow of the expiry time), and the
// lifetime is at least a minute.
TEST_F(HostileServicesTest, EmailRequestLifetimeFromServer) {
  for (const char* minutes : {"1", "30", "35791394", "35791395", "71582788", "2147483647", "4294967295",
                              "4294967296", "153722867280912930", "307445734561825860", "0", "-5", "abc"}) {
    SCOPED_TRACE(minutes);
    auto& client = AddClient();
    HX_Container props = Message("SetProps");
    props.AddValue("email_login_session_timeout", minutes);
    EXPECT_TRUE(client.netConfig->ParseIncomimgMessage(props));
    EXPECT_GE(client.login->getEmailLoginRequestLifetime(), 60u);
    client.session->SetLogin("user@fake.example");
    client.session->SetCookie("$70$abcdef");
    client.login->saveEmailLoginRequestTimestamp();
    EXPECT_EQ(client.login->autoLoginType(), HX_LoginManager::eAutoLoginEmail);
    EXPECT_EQ(client.session->getCookie(), "$70$abcdef");
    DropClient(client);
  }
}

// A damaged "EmailRequestTimestamp" in the session database (no terminator, not a number, a
// time far in the future) is no valid e-mail request and is not read past its end.
TEST_F(HostileServicesTest, DamagedEmailRequestTimestamp) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"20 digits without NUL", std::string(20, '9')},
      {"64 digits without NUL", std::string(64, '9')},
      {"empty", std::string()},
      {"NUL only", std::string(1, '\0')},
      {"letters", std::string("abc\0", 4)},
      {"negative", std::string("-1\0", 3)},
      {"UINT64_MAX", std::string("18446744073709551615\0", 21)},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    auto& client = AddClient();
    client.session->SetLogin("user@fake.example");
    client.session->SetCookie("$70$abcdef");
    client.session->saveParam("EmailRequestTimestamp", bytes.data(), bytes.size());
    EXPECT_EQ(client.login->autoLoginType(), HX_LoginManager::eAutoLoginNone);
    EXPECT_EQ(client.session->getCookie(), "");
    DropClient(client);
  }
  // Digits without a terminator that fill the whole field are read no further than the field.
  auto& client = AddClient();
  client.session->SetLogin("user@fake.example");
  client.session->SetCookie("$70$abcdef");
  const std::string digits(19, '9');
  client.session->saveParam("EmailRequestTimestamp", digits.data(), digits.size());
  client.login->autoLoginType();
}

// --- NET_CONFIG --------------------------------------------------------------------------------

TEST_F(HostileServicesTest, ProtocolVersionText) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"450", 450},
      {"+7", 7},
      {"-5", -5},
      {" 12", 12},
      {"12abc", 12},
      {"0x1F", 0},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-99999999999999999999999999999999", INT32_MIN},
      {"18446744073709551615", INT32_MAX},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(HX_NetConfigManager::parseProtocolVersion(text), expected);
    HX_Container message = Message("SetProps");
    message.AddValue("server_protocol_version", text);
    EXPECT_TRUE(Net(std::move(message)));
    EXPECT_EQ(c->netConfig->getSrvProtocolVersion(), expected);
  }
  // A version that is not a text leaves the version as it was.
  HX_Container mistyped = Message("SetProps");
  mistyped.AddValue("server_protocol_version", int32_t{999});
  EXPECT_TRUE(Net(std::move(mistyped)));
  EXPECT_EQ(c->netConfig->getSrvProtocolVersion(), INT32_MAX);
  EXPECT_EQ(HX_NetConfigManager::parseProtocolVersion(nullptr), 0);
}

// Only a text beginning with "1" keeps the call history as one list.
TEST_F(HostileServicesTest, CallHistoryFlagNeedsText) {
  const std::vector<std::pair<const char*, Builder>> cases = {
      {"0", [](HX_Container& m) { m.AddValue("call_history_as_one_list", "0"); }},
      {"empty", [](HX_Container& m) { m.AddValue("call_history_as_one_list", ""); }},
      {" 1", [](HX_Container& m) { m.AddValue("call_history_as_one_list", " 1"); }},
      {"integer 1", [](HX_Container& m) { m.AddValue("call_history_as_one_list", int32_t{1}); }},
      {"binary 1", [](HX_Container& m) { AddBinary(m, "call_history_as_one_list", Bytes{'1'}); }},
  };
  for (const auto& [name, edit] : cases) {
    SCOPED_TRACE(name);
    HX_Container message = Message("SetProps");
    edit(message);
    EXPECT_TRUE(Net(std::move(message)));
  }
  EXPECT_EQ(rec.callHistory.Size(), 0u);
  HX_Container yes = Message("SetProps");
  yes.AddValue("call_history_as_one_list", "1junk");
  EXPECT_TRUE(Net(std::move(yes)));
  EXPECT_EQ(rec.callHistory.Values(), std::vector<int>{1});
}

// Damaged, cut, lying and oversized endpoint-list blobs: no read outside the blob, no endpoint
// list announced unless a record is sound; a redirect is still passed on, with what survived.
TEST_F(HostileServicesTest, EndpointBlobs) {
  struct Case {
    std::string name;
    Builder fields;
    int endpoints;  // the list a sound reader gets; 0 means no endpoint-list signal
  };
  const Bytes good = GoodBlob();
  std::vector<Case> cases = {
      {"good", [&](HX_Container& m) { AddBinary(m, "EpConfig", good); }, 1},
      {"count UINT32_MAX", [](HX_Container& m) { AddBinary(m, "EpConfig", LyingCount(0xffffffffu)); }, 1},
      {"count 0", [](HX_Container& m) { AddBinary(m, "EpConfig", LyingCount(0)); }, 0},
      {"record size UINT32_MAX",
       [](HX_Container& m) { AddBinary(m, "EpConfig", LyingRecordSize(0xffffffffu)); }, 0},
      {"record size one beyond",
       [&](HX_Container& m) {
         AddBinary(m, "EpConfig", LyingRecordSize(static_cast<uint32_t>(good.size() - 12 + 1)));
       },
       0},
      {"record size 0x80000000",
       [](HX_Container& m) { AddBinary(m, "EpConfig", LyingRecordSize(0x80000000u)); }, 0},
      {"empty blob", [](HX_Container& m) { AddBinary(m, "EpConfig", Bytes()); }, 0},
      {"garbage 1 MiB", [](HX_Container& m) { AddBinary(m, "EpConfig", Bytes(1 << 20, 0x5a)); }, 0},
      {"as string", [](HX_Container& m) { m.AddValue("EpConfig", "not a blob"); }, 0},
      {"as integer", [](HX_Container& m) { m.AddValue("EpConfig", int32_t{-1}); }, 0},
      {"absent", [](HX_Container&) {}, 0},
  };
  for (size_t cut = 0; cut < good.size(); ++cut) {
    cases.push_back(
        {"cut at " + std::to_string(cut),
         [&good, cut](HX_Container& m) { AddBinary(m, "EpConfig", Bytes(good.begin(), good.begin() + cut)); },
         0});
  }
  // Records whose inner lengths lie although both checksums hold; a record that keeps its texts
  // terminated but claims another host length, or carries bytes after its last field, is read
  // by its terminators, so only the absence of stray reads is checked for those (kAny).
  struct RecordCase {
    const char* name;
    Bytes record;
    int alone;
  };
  const std::vector<RecordCase> records = {
      {"record host length beyond its end", ResealedRecord([](Bytes& r) { r[4] = 255; }), kAny},
      {"record cut after the host", ResealedRecord([](Bytes& r) { r.resize(4 + 1 + 8 + 1 + 1); }), 0},
      {"record of the checksum only", ResealedRecord([](Bytes& r) { r.resize(4); }), 0},
      {"record texts unterminated", ResealedRecord([](Bytes& r) {
         for (size_t i = 4; i < r.size(); ++i)
           if (r[i] == 0) r[i] = 'x';
       }),
       0},
      {"record with 1 MiB after its fields", ResealedRecord([](Bytes& r) { r.resize(1 << 20, 0xee); }), kAny},
  };
  for (const RecordCase& record : records) {
    cases.push_back({record.name,
                     [blob = BlobOf({record.record}, 1)](HX_Container& m) { AddBinary(m, "EpConfig", blob); },
                     record.alone});
    cases.push_back({std::string(record.name) + ", then a good one",
                     [blob = BlobOf({record.record, GoodRecord()}, 2)](HX_Container& m) {
                       AddBinary(m, "EpConfig", blob);
                     },
                     record.alone == kAny ? kAny : 1});
  }
  // A header only, well sealed, that promises records.
  Bytes header(8, 0);
  PutU32(header, 4, 3);
  Seal(header);
  cases.push_back(
      {"sealed header promising 3", [header](HX_Container& m) { AddBinary(m, "EpConfig", header); }, 0});

  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    rec.endpointLists.Clear();
    rec.redirects.Clear();
    HX_Container update = Message("UpdateConfiguration");
    update.AddValue("Name", "evil#vcs");
    update.AddValue("Services", "AUTH");
    test.fields(update);
    EXPECT_TRUE(Net(std::move(update)));
    const auto lists = rec.endpointLists.Values();
    if (test.endpoints == kAny) {
      EXPECT_LE(lists.size(), 1u);
    } else if (test.endpoints == 0) {
      EXPECT_TRUE(lists.empty());
    } else {
      ASSERT_EQ(lists.size(), 1u);
      EXPECT_EQ(lists[0].count, static_cast<size_t>(test.endpoints));
    }
    HX_Container redirect = Message("RedirectTo");
    redirect.AddValue("Name", "evil#vcs");
    test.fields(redirect);
    EXPECT_TRUE(Net(std::move(redirect)));
    const auto redirects = rec.redirects.Values();
    ASSERT_EQ(redirects.size(), 1u);
    if (test.endpoints != kAny) EXPECT_EQ(redirects[0].count, static_cast<size_t>(test.endpoints));
  }
}

// "UpdateConfiguration" without a usable name is ignored; "RedirectTo" without a name or an
// endpoint list is passed on with an empty list.
TEST_F(HostileServicesTest, NamelessConfigurationAndRedirect) {
  const Bytes good = GoodBlob();
  const std::vector<std::pair<const char*, Builder>> names = {
      {"absent", [](HX_Container&) {}},
      {"empty", [](HX_Container& m) { m.AddValue("Name", ""); }},
      {"integer", [](HX_Container& m) { m.AddValue("Name", int32_t{1}); }},
  };
  for (const auto& [name, edit] : names) {
    SCOPED_TRACE(name);
    rec.redirects.Clear();
    HX_Container update = Message("UpdateConfiguration");
    edit(update);
    AddBinary(update, "EpConfig", good);
    EXPECT_TRUE(Net(std::move(update)));
    HX_Container redirect = Message("RedirectTo");
    edit(redirect);
    AddBinary(redirect, "EpConfig", good);
    EXPECT_TRUE(Net(std::move(redirect)));
    const auto redirects = rec.redirects.Values();
    ASSERT_EQ(redirects.size(), 1u);
    EXPECT_EQ(redirects[0].name, "");
    // An empty but present name is left open: only an absent or mistyped one must give nothing.
    if (std::string(name) != "empty") EXPECT_EQ(redirects[0].count, 0u);
  }
  EXPECT_EQ(rec.endpointLists.Size(), 0u);
  // A name without endpoints.
  rec.redirects.Clear();
  HX_Container bare = Message("RedirectTo");
  bare.AddValue("Name", "evil#vcs");
  EXPECT_TRUE(Net(std::move(bare)));
  ASSERT_EQ(rec.redirects.Size(), 1u);
  EXPECT_EQ(rec.redirects.Values()[0].name, "evil#vcs");
  EXPECT_EQ(rec.redirects.Values()[0].count, 0u);
}

// Incoming "SetProps" with repeated, unbalanced "Name"/"Property" keys and mistyped values
// becomes the server properties as it is, without a crash.
TEST_F(HostileServicesTest, UnbalancedSetProps) {
  HX_Container message = Message("SetProps");
  message.AddValue("Name", "a");
  message.AddValue("Name", "b");
  message.AddValue("Property", "1");
  message.AddValue("Property", int32_t{2});
  AddBinary(message, "Property", Bytes(70000, 0));
  message.AddValue("Name", int64_t{INT64_MIN});
  message.AddValue("email_login_session_timeout", "-99999999999999999999");
  message.AddValue("server_protocol_version", "");
  EXPECT_TRUE(Net(std::move(message)));
  EXPECT_EQ(c->netConfig->getSrvProtocolVersion(), 0);
  // A lifetime that is out of range falls back to the default.
  EXPECT_EQ(c->login->getEmailLoginRequestLifetime(), HX_LoginManager::kDefaultEmailLifetimeSec);
  for (const char* minutes : {"0", "-1", "abc", "99999999999999999999", "307445734561825861"}) {
    SCOPED_TRACE(minutes);
    HX_Container props = Message("SetProps");
    props.AddValue("email_login_session_timeout", minutes);
    EXPECT_TRUE(Net(std::move(props)));
    EXPECT_EQ(c->login->getEmailLoginRequestLifetime(), HX_LoginManager::kDefaultEmailLifetimeSec);
  }
}

// --- CLIENT ------------------------------------------------------------------------------------

TEST_F(HostileServicesTest, TryAcceptDirectName) {
  const std::string huge(1 << 20, 'S');
  struct Case {
    const char* name;
    Builder fields;
    std::vector<std::string> signals;
  };
  const std::vector<Case> cases = {
      {"absent", [](HX_Container&) {}, {}},
      {"integer", [](HX_Container& m) { m.AddValue("Name", int32_t{INT_MAX}); }, {}},
      {"int64", [](HX_Container& m) { m.AddValue("Name", int64_t{-1}); }, {}},
      {"binary",
       [](HX_Container& m) {
         AddBinary(m, "Name", Bytes{'s', 'i', 'd'});
       },
       {}},
      {"empty", [](HX_Container& m) { m.AddValue("Name", ""); }, {""}},
      {"huge", [&](HX_Container& m) { m.AddValue("Name", huge.c_str()); }, {huge}},
      {"repeated",
       [](HX_Container& m) {
         m.AddValue("Name", "first");
         m.AddValue("Name", "second");
       },
       {"first"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    rec.direct.Clear();
    HX_Container message = Message("TryAcceptDirect");
    test.fields(message);
    EXPECT_TRUE(Client(std::move(message)));
    EXPECT_EQ(rec.direct.Values(), test.signals);
  }
}

// --- Through a real connection -----------------------------------------------------------------

// The scripted server answers a login with a mistyped result and then sends broken messages to
// each service; the client stays connected and reports nothing it was not entitled to.
TEST_F(HostileServicesTest, HostileServerOverTheWire) {
  c->Connect(m_server->port());
  if (HasFatalFailure()) return;
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_NE(connection, nullptr);
  HX_Container answer;
  answer.AddValue("Result", "0");
  answer.AddValue("Rights", int32_t{0x11});
  answer.AddValue("UserName", "mallory@fake.example");
  answer.AddValue("Session", "evil-session");
  m_services->ScriptLoginAnswer(answer);
  ASSERT_TRUE(c->login->mLogin("user@fake.example", "secret", true, false));
  ASSERT_TRUE(rec.checks.WaitSize(2));  // the login request's, then the retry's
  EXPECT_NE(rec.checks.Values()[1].second & HX_LoginManager::kCheckRetryFlag, 0u);
  ExpectNoSuccess();

  HX_Container redirect = Message("RedirectTo");
  redirect.AddValue("Name", "evil#vcs");
  Bytes cut = GoodBlob();
  cut.resize(cut.size() - 5);
  AddBinary(redirect, "EpConfig", cut);
  ASSERT_TRUE(m_services->SendToClient(connection->id(), "NET_CONFIG", redirect));
  HX_Container direct = Message("TryAcceptDirect");
  ASSERT_TRUE(m_services->SendToClient(connection->id(), "CLIENT", direct));
  HX_Container direct2 = Message("TryAcceptDirect");
  direct2.AddValue("Name", std::string(60000, 'S').c_str());
  ASSERT_TRUE(m_services->SendToClient(connection->id(), "CLIENT", direct2));
  ASSERT_TRUE(rec.redirects.WaitSize(1));
  EXPECT_EQ(rec.redirects.Values()[0].count, 0u);
  ASSERT_TRUE(rec.direct.WaitSize(1));
  EXPECT_EQ(rec.direct.Values()[0].size(), 60000u);
  EXPECT_EQ(c->transport->getTransportState(), HXZTransport::stateConnected);
}

// A server that answers every automatic login with result 2 ("not logged in") must not drive the
// client into an unbounded loop of login requests: each answer may start at most one new login,
// and the client must not send more than a handful of them within a second.
TEST_F(HostileServicesTest, NotLoggedInAnswersDoNotLoop) {
  c->Connect(m_server->port());
  if (HasFatalFailure()) return;
  c->session->SetLogin("user@fake.example");
  c->session->SetCookie("key-0001");
  HX_Container answer;
  answer.AddValue("Result", int32_t{2});
  for (int i = 0; i < 200; ++i) m_services->ScriptLoginAnswer(answer);
  ASSERT_TRUE(c->login->Login());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LE(m_services->Received("LoginUser").size(), 3u);
  EXPECT_LE(rec.checks.Size(), 3u);
}

}  // namespace
}  // namespace hx::testing
