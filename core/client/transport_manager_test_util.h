#pragma once
// Test support for the transport manager: a client object that records every session-state
// change (with the thread it ran on), login and logout; a small login service for the fake
// server that keeps sessions by client id; and a fixture that runs a fresh network loop with
// shortened delays per test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/container.h"
#include "core/base/ios_log.h"
#include "core/client/login_manager.h"
#include "core/client/transport_manager.h"
#include "core/conference/conf_manager.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/check_srv_handshake.h"
#include "core/transport/servers_list.h"
#include "core/transport/transport.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/server_messages.h"
#include "core/transport/transport_test_pki.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace hx::testing {

inline constexpr int kManagerWaitMs = 15000;

// The session-state transitions a client object went through, and its logins and logouts.
class RecordingClient : public TestConsoleClient {
 public:
  struct Change {
    int32_t from;
    int32_t to;
    std::thread::id thread;
  };

  using TestConsoleClient::TestConsoleClient;

  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override {
    TestConsoleClient::onTrSessionStateChanged(oldState, newState);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changes.push_back({oldState, newState, std::this_thread::get_id()});
    m_changed.notify_all();
  }
  void OnLogin(const char* login, int32_t result, const char*, const char*) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logins.emplace_back(login != nullptr ? login : "", result);
    m_changed.notify_all();
  }
  void OnLogout(int result, int cause) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logouts.emplace_back(result, cause);
    m_changed.notify_all();
  }

  // Waits until the session state is `state`.
  bool WaitState(int32_t state, int timeout_ms = kManagerWaitMs) {
    return WaitUntil([&] { return getStateTrs() == state; }, timeout_ms);
  }
  // Waits until `done` (checked without the record's lock, after every change and every 20 ms).
  template <typename Done>
  bool WaitUntil(Done done, int timeout_ms = kManagerWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
      lock.unlock();
      if (done()) return true;
      lock.lock();
      if (std::chrono::steady_clock::now() >= deadline) return false;
      m_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
  }
  std::vector<Change> Changes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changes;
  }
  // The states passed through, starting from the first change's old state.
  std::vector<int32_t> States() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int32_t> states;
    for (const Change& change : m_changes) {
      if (states.empty()) states.push_back(change.from);
      states.push_back(change.to);
    }
    return states;
  }
  void ClearChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changes.clear();
  }
  std::vector<std::pair<std::string, int32_t>> Logins() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logins;
  }
  std::vector<std::pair<int, int>> Logouts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logouts;
  }
  HX_ConfStorage* store() const { return confManager() != nullptr ? confManager()->confStorage() : nullptr; }
  // A conference of the own user, confirmed by the server as `sid` and joined, made through the
  // store's own operations; its id, 0 when the store refused.
  int32_t JoinConference(const std::string& sid) {
    HX_ConfManager* manager = confManager();
    if (manager == nullptr) return 0;
    int32_t id = 0;
    {
      ConferenceLock lock;
      if (!manager->storageRequestCreateConferenceLock(lock, "room", "", "me@test.invalid", 16, 0, 5, 0, 0,
                                                       nullptr, false))
        return 0;
      id = lock->getId();
      if (!manager->storageCreateConferenceCommit(lock, sid.c_str(), 1)) return 0;
    }
    ConferenceLock lock;
    if (!manager->getConferenceLock(lock, id)) return 0;
    lock->setState(lock, ::conference::kStateJoined);
    return id;
  }
  // Ends the conference as the server's own deletion does (the server is not told).
  bool EndConference(int32_t id) {
    HX_ConfManager* manager = confManager();
    ConferenceLock lock;
    return manager != nullptr && manager->getConferenceLock(lock, id) && manager->DeleteConference(lock, false, true);
  }
  // Whether the conference is still in the store's table.
  bool HasConference(int32_t id) {
    ConferenceLock lock;
    return confManager() != nullptr && confManager()->getConferenceLock(lock, id);
  }
  // The store's "DeleteConference" requests so far.
  std::vector<std::string> DeleteRequests() const {
    return confManager() != nullptr ? confManager()->deleteRequests() : std::vector<std::string>();
  }

  // Exposed for tests of the inner steps.
  using HX_TransportManager::eventAdd;
  using HX_TransportManager::OnServerUnavailable;
  using HX_TransportManager::SaveEndpoints;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Change> m_changes;
  std::vector<std::pair<std::string, int32_t>> m_logins;
  std::vector<std::pair<int, int>> m_logouts;
};

// The login service "AUTH" of a fake server for these tests: any login is accepted (or answered
// with a scripted result), sessions are kept by client id, so that "CheckUserLoginStatus" from a
// client that comes back with its id answers 1 (else 2); "LogoutUser" is answered unless the test
// silences it.
class SessionAuth {
 public:
  explicit SessionAuth(FakeServer& server) {
    server.SetServiceHandler("AUTH", [this](FakeConnection& c, const ReceivedMessage& m) { Handle(c, m); });
  }

  void SetLoginResult(int32_t result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loginResult = result;
  }
  void SetAnswerLogout(bool answer) { m_answerLogout = answer; }
  // Answers wait this long before they go out.
  void SetAnswerDelay(std::chrono::milliseconds delay) { m_delayMs = static_cast<int>(delay.count()); }
  void SetAnswerLogin(bool answer) { m_answerLogin = answer; }
  int Count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const std::string& m : m_methods) n += m == method ? 1 : 0;
    return n;
  }
  std::vector<std::string> Methods() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_methods;
  }
  // The last "LoginUser" body.
  HX_Container LastLogin() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastLogin;
  }
  void ForgetSessions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.clear();
  }

 private:
  void Handle(FakeConnection& connection, const ReceivedMessage& message) {
    const std::string cid = connection.assigned_client_id();
    int32_t result = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_methods.push_back(message.method);
      if (message.method == "LoginUser") {
        m_lastLogin = message.body;
        result = m_loginResult;
        if (result == 0 && m_answerLogin) m_sessions.insert(cid);
      } else if (message.method == "LogoutUser") {
        m_sessions.erase(cid);
      } else if (message.method == "CheckUserLoginStatus") {
        result = m_sessions.count(cid) != 0 ? 1 : 2;
      }
    }
    HX_Container body;
    if (message.method == "LoginUser") {
      if (!m_answerLogin) return;
      std::string login;
      message.body.GetValue("Login", login);
      body.AddValue("Method", "UserLoggedin");
      body.AddValue("Result", result);
      body.AddValue("UserName", login.c_str());
      body.AddValue("Key", "stored-key");
      body.AddValue("Session", "session-key");
      body.AddValue("Rights", static_cast<int32_t>(0x11));
    } else if (message.method == "CheckUserLoginStatus") {
      body.AddValue("Method", "UserLoggedin");
      body.AddValue("Result", result);
    } else if (message.method == "LogoutUser") {
      if (!m_answerLogout) return;
      body.AddValue("Method", "UserLoggedout");
      body.AddValue("Result", static_cast<int32_t>(0));
      body.AddValue("Cause", static_cast<int32_t>(0));
    } else {
      return;
    }
    if (m_delayMs.load() > 0) connection.Pause(std::chrono::milliseconds(m_delayMs.load()));
    connection.Send(ServiceMessage("AUTH", "AUTH", body));
  }

  mutable std::mutex m_mutex;
  std::set<std::string> m_sessions;
  std::vector<std::string> m_methods;
  HX_Container m_lastLogin;
  int32_t m_loginResult = 0;
  std::atomic<bool> m_answerLogout{true};
  std::atomic<bool> m_answerLogin{true};
  std::atomic<int> m_delayMs{0};
};

// The connections of `server` that made a transport handshake (the servers list's check pings
// connect too).
inline std::vector<std::shared_ptr<FakeConnection>> SessionConnections(const FakeServer& server) {
  std::vector<std::shared_ptr<FakeConnection>> found;
  for (const auto& connection : server.Connections()) {
    if (connection->handshake_request().has_value()) found.push_back(connection);
  }
  return found;
}

// Runs one empty job on the network loop and waits for it: the loop has finished the turn it was in.
inline void LoopTurn() {
  struct Probe {
    std::atomic<bool> done{false};
    void Run() { done = true; }
  } probe;
  if (HXZServer::ScheduleNetworkJob(HXCallback::Save(&probe, &Probe::Run), 0)) {
    WaitFor([&] { return probe.done.load(); }, kManagerWaitMs);
  }
}

// A fresh network loop per test, a client object created on it with the network type set
// (Wi-Fi), plain TCP (TLS denied) and shortened delays.
class TransportManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    // HX_TEST_LOG set: the core's log lines go to stderr.
    if (getenv("HX_TEST_LOG") != nullptr) {
      hx::SetLogSink([](const std::string& line) { fprintf(stderr, "LOG %s\n", line.c_str()); });
    }
    // The servers list's checks end soon, so that none is left when the loop goes.
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(2000, 2000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(800);
    m_loop = HXZServer::installNetworkManager();
    ASSERT_NE(m_loop, nullptr);
    m_client = std::make_unique<RecordingClient>(Dns());
    m_client->CreateApplication();
    ASSERT_EQ(m_loop->startServerLoop(), 0);
    m_client->SetNetworkType(0x8004, false);
  }
  void TearDown() override {
    if (m_client) {
      // Disconnected through the manager first, so that no attempt reconnects meanwhile.
      m_client->DisconnectServer();
      m_client->WaitState(HX_TransportSession::eNoConnection, 3000);
      if (auto c = m_client->connection()) c->DisconnectServer();
    }
    // Every check of the servers list ends with its server; the loop deletes ended checks on its
    // next turns.
    m_servers.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    LoopTurn();
    LoopTurn();
    if (m_loop != nullptr) {
      m_loop->Shutdown();
      m_loop->Wait4Done();  // no loop job may run into the client object while it goes
    }
    m_client.reset();
    m_servers.clear();
    delete m_loop;
    m_loop = nullptr;
    HX_TransportManager::timing().Reset();
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(15000, 15000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
    HXZCommonSocket::SetDenyTLS(false);
  }
  virtual HXConsoleClient::DnsList Dns() { return {}; }

  // The certificate a server that calls itself `serverId` shows in the secure handshake (issued
  // by the root the client trusts, or by a foreign one).
  SecureIdentity IdentityFor(const std::string& serverId, bool foreign = false) {
    TransportTestPki* pki = SharedTransportPki();
    if (pki == nullptr) return {};
    SetBuiltInRootCertificate(pki->root.cert_pem);
    if (serverId == kTestServerId && !foreign) return pki->Identity(pki->server);
    static std::mutex mutex;
    static std::map<std::string, TestCert> made;
    static TestCert foreignRoot;
    std::lock_guard<std::mutex> lock(mutex);
    const std::string key = (foreign ? "foreign:" : "") + serverId;
    auto found = made.find(key);
    if (found == made.end()) {
      if (foreign && foreignRoot.cert_pem.empty()) foreignRoot = pki->pki->MakeRoot("Foreign Root");
      TestCertOptions options;
      options.extensions = {"1.2 = ASN1:UTF8String:361"};
      options.not_before = std::chrono::hours(-1);
      options.not_after = std::chrono::hours(24);
      found = made.emplace(key, pki->pki->MakeLeaf(foreign ? foreignRoot : pki->root, serverId, options)).first;
    }
    return pki->Identity(found->second);
  }

  // A fake server on `address` (port 0: a free one) calling itself `serverId`, granting the
  // secure handshake, with the session login service.
  FakeServer& StartServer(const std::string& address = "127.0.0.1", uint16_t port = 0,
                          const std::string& serverId = kTestServerId, ConnectionSettings settings = {},
                          bool foreignCertificate = false) {
    settings.handshake_reply.server_id = serverId;
    settings.handshake_reply.secure = true;
    settings.secure_identity = IdentityFor(serverId, foreignCertificate);
    FakeServerOptions options;
    options.bind_address = address;
    options.port = port;
    options.connection = settings;
    m_servers.push_back(std::make_unique<FakeServer>(options));
    FakeServer& server = *m_servers.back();
    std::string error;
    EXPECT_TRUE(server.Start(&error)) << error;
    m_auth.push_back(std::make_unique<SessionAuth>(server));
    return server;
  }
  SessionAuth& auth(size_t i = 0) { return *m_auth[i]; }

  // Connects to `server` and waits for state 3 and the end of the connection's first steps (the
  // server has the "GetAppProps" that comes last).
  void ConnectAndWait(FakeServer& server) {
    const size_t connections = server.Connections().size();
    ASSERT_TRUE(m_client->ConnectServer("127.0.0.1", server.port()));
    ASSERT_TRUE(m_client->WaitState(HX_TransportSession::eConnected));
    const int id = static_cast<int>(connections) + 1;
    ASSERT_TRUE(server.WaitForMessage(
        [id](const ReceivedMessage& m) { return m.connection == id && m.method == "GetAppProps"; }, kManagerWaitMs));
  }
  void LoginAndWait() {
    ASSERT_TRUE(m_client->Login("user@test.invalid", "secret", true, true));
    ASSERT_TRUE(m_client->WaitState(HX_TransportSession::eLoggedIn));
  }

  HXZServer* m_loop = nullptr;
  std::vector<std::unique_ptr<FakeServer>> m_servers;
  std::vector<std::unique_ptr<SessionAuth>> m_auth;
  std::unique_ptr<RecordingClient> m_client;
};

}  // namespace hx::testing
