#pragma once
// Test support for the transport against the fake server: a fixture with a fresh network loop,
// a transport whose signals are recorded, a service manager "TEST" for what arrives, and helpers
// to compose messages as the service layer does.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/recording_manager_test_util.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/transport/transport.h"
#include "core/wire/client_message.h"
#include "testing/fake_server/fake_server.h"
#include "testing/test_support.h"

namespace hx::testing {

inline constexpr int kTransportWaitMs = 15000;

// What the transport's two signals reported; thread-safe.
class TransportSignals {
 public:
  struct Update {
    std::string host;
    int result = 0;
    bool keep_alive = false;
    std::string sid;
    std::string cid;
  };

  explicit TransportSignals(HXZTransport& transport) {
    transport.sigServerUpdate.Connect(this, &TransportSignals::OnUpdate);
    transport.sigServerUnavailable.Connect(this, &TransportSignals::OnUnavailable);
  }

  void OnUpdate(HX_TransportConnectionParam param, const char* host, int result, bool keep_alive) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_updates.push_back({host, result, keep_alive, param.getSID(), param.getCID()});
    m_changed.notify_all();
  }
  void OnUnavailable(const char*, unsigned short, long reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reasons.push_back(reason);
    m_changed.notify_all();
  }

  // The first update (waiting for it); false on time-out.
  bool WaitUpdate(Update* update, int timeout_ms = kTransportWaitMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !m_updates.empty(); })) {
      return false;
    }
    *update = m_updates.front();
    return true;
  }
  // The first reason (waiting for it); false on time-out.
  bool WaitUnavailable(long* reason, int timeout_ms = kTransportWaitMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !m_reasons.empty(); })) {
      return false;
    }
    *reason = m_reasons.front();
    return true;
  }
  std::vector<Update> Updates() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_updates;
  }
  std::vector<long> Reasons() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reasons;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Update> m_updates;
  std::vector<long> m_reasons;
};

// A request from the service "TEST" to `service` with the body {"Method": method, ...}, composed
// as the service layer composes its requests.
inline HX_ClientMessage* ComposeRequest(HXZTransport& transport, const char* service,
                                        const HX_Container& body) {
  uint8_t* bytes = nullptr;
  size_t size = 0;
  if (!body.SerializeAlloc(bytes, size)) return nullptr;
  const std::string cid = transport.getConnectionParam() ? transport.getConnectionParam()->getCID() : "";
  auto* message = new HX_ClientMessage("TEST", "52", service, 20000, bytes, static_cast<uint32_t>(size),
                                       transport.GetNextSequence(), cid.c_str(), nullptr, nullptr,
                                       nullptr, nullptr);
  std::free(bytes);
  return message;
}

inline HX_Container MethodBody(const std::string& method) {
  HX_Container body;
  body.AddValue("Method", method.c_str());
  return body;
}

// A fresh network loop, a fake server and a transport per test. Connections run over plain TCP
// (TLS denied) unless a test allows TLS.
class TransportFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZCommonSocket::SetDenyTLS(true);
    HXZServer::setConnectTimeLimit(60000);
    m_loop = HXZServer::installNetworkManager();
    ASSERT_NE(m_loop, nullptr);
    ASSERT_EQ(m_loop->startServerLoop(), 0);
    m_transport = std::make_unique<HXZTransport>();
    m_signals = std::make_unique<TransportSignals>(*m_transport);
  }
  void TearDown() override {
    if (m_transport) m_transport->DisconnectServer();
    m_signals.reset();
    m_transport.reset();
    m_server.reset();
    if (m_loop != nullptr) {
      m_loop->Shutdown();
      delete m_loop;
    }
    HXZCommonSocket::SetDenyTLS(false);
  }

  // Starts the fake server; its connections are answered with `settings`.
  void StartServer(const ConnectionSettings& settings = {}, FakeServerOptions options = {}) {
    options.connection = settings;
    m_server = std::make_unique<FakeServer>(options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
  }

  bool Connect(uint64_t time_limit_ms = kTransportWaitMs) {
    m_param = std::make_shared<HX_TransportConnectionParam>();
    m_param->setServerAddress("127.0.0.1", m_server->port());
    return m_transport->ConnectServer(m_param, time_limit_ms);
  }

  // Connects and waits for the connected state; the update it reported goes to `update`.
  void ConnectAndWait(TransportSignals::Update* update = nullptr) {
    ASSERT_TRUE(Connect());
    TransportSignals::Update reported;
    ASSERT_TRUE(m_signals->WaitUpdate(&reported));
    ASSERT_EQ(reported.result, 0);
    ASSERT_TRUE(WaitFor([&] { return m_transport->getTransportState() == HXZTransport::stateConnected; },
                        kTransportWaitMs));
    if (update != nullptr) *update = reported;
  }

  bool Send(const char* service, const std::string& method) {
    return m_transport->QueuePacket(ComposeRequest(*m_transport, service, MethodBody(method)));
  }

  void ExpectNoViolations() {
    for (const std::string& violation : m_server->Violations()) ADD_FAILURE() << violation;
  }

  HXZServer* m_loop = nullptr;
  std::unique_ptr<FakeServer> m_server;
  std::unique_ptr<HXZTransport> m_transport;
  std::unique_ptr<TransportSignals> m_signals;
  std::shared_ptr<HX_TransportConnectionParam> m_param;
  RecordingManager m_service{"TEST"};
};

}  // namespace hx::testing
