#pragma once
// Test support for the client's own services against the fake server: a transport session of
// the tests' own that sends through a real transport connection and records what the login
// service asks of the transport manager (onLogin, Logout) and every session state change, and a
// fixture with a fresh network loop, the fake server with its "AUTH", "NET_CONFIG" and "CLIENT"
// services, and clients that each own a transport, a session, a shared state in a temporary
// working folder and the managers under test.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/client/service_managers.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/net/socket/native_socket_details.h"
#include "core/security/root_certificate.h"
#include "core/storage/settings_db.h"
#include "core/streams/net_listener.h"
#include "core/transport/session.h"
#include "core/transport/transport.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"
#include "testing/test_support.h"

namespace hx::testing {

inline constexpr char kTestDomain[] = "fake.example";

// A network listener whose acceptors the test sets: the services publish addresses that this host
// need not have (documentation and any-addresses).
class FixedAcceptorsListener : public HX_NetListener {
 public:
  FixedAcceptorsListener() : HX_NetListener(nullptr) {}
  HXZAcceptorInfo getAcceptorInfo() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_info;
  }
  void setAcceptorInfo(const HXZAcceptorInfo& info) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_info = info;
  }

 private:
  mutable std::mutex m_mutex;
  HXZAcceptorInfo m_info;
};

class ServiceTestSession : public HX_TransportSession {
 public:
  struct LoginCall {
    std::string login;
    int result;
    std::string key;
    std::string app_id;
  };
  struct LogoutCall {
    bool flag1;
    bool flag2;
  };

  explicit ServiceTestSession(HXZTransport* transport) : m_transport(transport) {}
  ~ServiceTestSession() override = default;

  // The managers the login service asks for, and the network listener; none owned by tests
  // beyond these pointers.
  void SetMembers(std::shared_ptr<HX_LoginManager> login, std::shared_ptr<HX_NetConfigManager> netConfig,
                  std::shared_ptr<HX_NetListener> listener) {
    HXAutoLock lock(m_membersLock);
    m_loginManager = std::move(login);
    m_netConfigManager = std::move(netConfig);
    m_netListener = std::move(listener);
  }

  uint32_t GetNextSequence() override { return m_transport->GetNextSequence(); }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return m_transport->getConnectionParam();
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool flag1, bool flag2) override {
    Note([&] { m_logouts.push_back({flag1, flag2}); });
    return true;
  }
  bool QueuePacket(HX_ClientMessage* message) override { return m_transport->QueuePacket(message); }
  const char* TransportCid() const override {
    thread_local std::string cid;
    const auto param = m_transport->getConnectionParam();
    cid = param ? param->getCID() : "";
    return cid.c_str();
  }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override {
    Note([&] { m_states.push_back({oldState, newState}); });
  }
  bool onLogin(const char* user, int32_t type, const char* key, const char* appId) override {
    Note([&] {
      m_logins.push_back(
          {user != nullptr ? user : "", type, key != nullptr ? key : "", appId != nullptr ? appId : ""});
    });
    return m_acceptLogin;
  }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

  void SetAcceptLogin(bool accept) { m_acceptLogin = accept; }

  std::vector<LoginCall> Logins() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logins;
  }
  std::vector<LogoutCall> Logouts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logouts;
  }
  std::vector<std::pair<int32_t, int32_t>> States() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_states;
  }
  // Waits until `count` onLogin calls were recorded.
  bool WaitLogins(size_t count, int timeout_ms = kTransportWaitMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_logins.size() >= count; });
  }

 private:
  template <typename F>
  void Note(F change) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      change();
    }
    m_changed.notify_all();
  }

  HXZTransport* m_transport;
  std::atomic<bool> m_acceptLogin{true};
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<LoginCall> m_logins;
  std::vector<LogoutCall> m_logouts;
  std::vector<std::pair<int32_t, int32_t>> m_states;
};

// What a manager's signals carried; thread-safe.
template <typename T>
class SignalLog {
 public:
  void Add(T value) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_values.push_back(std::move(value));
    }
    m_changed.notify_all();
  }
  std::vector<T> Values() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
  }
  size_t Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
  }
  bool WaitSize(size_t count, int timeout_ms = kTransportWaitMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_values.size() >= count; });
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<T> m_values;
};

// One client: a transport connected to the fake server, its session, the shared state of its
// working folder and the three managers. The managers register in the process-wide service
// table, so the client made last receives what the server sends to any of them.
struct ServiceClient {
  explicit ServiceClient(const std::string& workingDir) {
    HXFSMShared::Env()->SetWorkingDir(workingDir.c_str());
    fsm = std::make_unique<HXFSMShared>();
    fsm->SetAppName("HxTest");
    fsm->SetAppVersion("1.2.3");
    fsm->SetClientType(7);
    transport = std::make_unique<HXZTransport>();
    signals = std::make_unique<TransportSignals>(*transport);
    session = std::make_shared<ServiceTestSession>(transport.get());
    session->setFSMShared(fsm.get());
    session->setDatabase(fsm->SettingsDB(), kTestDomain);
    login = std::make_shared<HX_LoginManager>(session, fsm.get());
    netConfig = std::make_shared<HX_NetConfigManager>(session, fsm.get());
    client = std::make_shared<HX_ClientManager>(session, fsm.get());
    listener = std::make_shared<FixedAcceptorsListener>();
    session->SetMembers(login, netConfig, listener);
  }
  ~ServiceClient() {
    transport->DisconnectServer();
    // The session refers to the managers; the managers to the session: drop both ways.
    session->SetMembers(nullptr, nullptr, nullptr);
    client.reset();
    netConfig.reset();
    login.reset();
    signals.reset();
    transport.reset();
    session.reset();
    fsm.reset();
  }

  // Connects to `port` and, once connected, puts the session in state 3.
  void Connect(uint16_t port) {
    auto param = std::make_shared<HX_TransportConnectionParam>();
    param->setServerAddress("127.0.0.1", port);
    ASSERT_TRUE(transport->ConnectServer(param, kTransportWaitMs));
    TransportSignals::Update update;
    ASSERT_TRUE(signals->WaitUpdate(&update));
    ASSERT_EQ(update.result, 0);
    ASSERT_TRUE(WaitFor([&] { return transport->getTransportState() == HXZTransport::stateConnected; },
                        kTransportWaitMs));
    session->setStateTrs(HX_TransportSession::eConnected);
  }

  std::unique_ptr<HXFSMShared> fsm;
  std::unique_ptr<HXZTransport> transport;
  std::unique_ptr<TransportSignals> signals;
  std::shared_ptr<ServiceTestSession> session;
  std::shared_ptr<HX_LoginManager> login;
  std::shared_ptr<HX_NetConfigManager> netConfig;
  std::shared_ptr<HX_ClientManager> client;
  std::shared_ptr<FixedAcceptorsListener> listener;
};

// A fresh network loop and a fake server with the three services per test.
class ServicesFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    m_loop = HXZServer::installNetworkManager();
    ASSERT_NE(m_loop, nullptr);
    ASSERT_EQ(m_loop->startServerLoop(), 0);
    // The client insists on the secure handshake: the server runs it with the shared test PKI.
    TransportTestPki* pki = SharedTransportPki();
    ASSERT_NE(pki, nullptr) << "the openssl tool is needed for the test certificates";
    hx::SetBuiltInRootCertificate(pki->root.cert_pem);
    FakeServerOptions options;
    options.connection.handshake_reply.secure = true;
    options.connection.secure_identity = pki->Identity(pki->server);
    m_server = std::make_unique<FakeServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_services = std::make_unique<FakeServices>(*m_server, "fake#vcs");
  }
  void TearDown() override {
    m_clients.clear();
    m_services.reset();
    m_server.reset();
    if (m_loop != nullptr) {
      m_loop->Shutdown();
      delete m_loop;
    }
    HXZCommonSocket::SetDenyTLS(false);
  }

  // A new client with a working folder of its own (or `dir` for a restart on the same folder).
  ServiceClient& AddClient(const std::string& dir = std::string()) {
    if (dir.empty()) {
      m_dirs.push_back(std::make_unique<TempDir>());
      m_clients.push_back(std::make_unique<ServiceClient>(m_dirs.back()->path()));
    } else {
      m_clients.push_back(std::make_unique<ServiceClient>(dir));
    }
    return *m_clients.back();
  }

  // Destroys a client (its managers leave the service table), keeping its working folder.
  void DropClient(ServiceClient& client) {
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
      if (it->get() == &client) {
        m_clients.erase(it);
        return;
      }
    }
  }

  void ExpectServerSatisfied() {
    for (const std::string& violation : m_server->Violations()) ADD_FAILURE() << violation;
    for (const std::string& problem : m_services->Problems()) ADD_FAILURE() << problem;
  }

  HXZServer* m_loop = nullptr;
  std::unique_ptr<FakeServer> m_server;
  std::unique_ptr<FakeServices> m_services;
  std::vector<std::unique_ptr<TempDir>> m_dirs;
  std::vector<std::unique_ptr<ServiceClient>> m_clients;
};

}  // namespace hx::testing
