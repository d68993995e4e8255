// A ConnectServer from another thread at the very moment a connection enters the connected (4)
// or the failed (5) state, against the fake server. A hook at the state's entry starts the
// competing connect on a helper thread and holds the entering thread a moment, so that the two
// meet every time. Every attempt must end with exactly one outcome: the old attempt with its own
// (or none, when the new connect dropped it first), the new one connected, and nothing of the old
// attempt may end the new one. Meant to run under ThreadSanitizer too.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/security/root_certificate.h"
#include "core/transport/transport.h"
#include "core/transport/transport_test_peer.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"

namespace hx::testing {
namespace {

using State = HXZTransport::State;

// Both signals in the order they came: an update as its code (0 connected), an unavailable
// report as "reason" entries.
class OutcomeLog {
 public:
  struct Entry {
    bool update;
    long code;
  };
  explicit OutcomeLog(HXZTransport& transport) {
    transport.sigServerUpdate.Connect(this, &OutcomeLog::OnUpdate);
    transport.sigServerUnavailable.Connect(this, &OutcomeLog::OnUnavailable);
  }
  void OnUpdate(HX_TransportConnectionParam, const char*, int result, bool) { Add({true, result}); }
  void OnUnavailable(const char*, unsigned short, long reason) { Add({false, reason}); }

  std::vector<Entry> Entries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
  }
  size_t Connected() const {
    size_t count = 0;
    for (const Entry& entry : Entries()) count += entry.update && entry.code == 0 ? 1 : 0;
    return count;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
  }
  std::string Describe() const {
    std::string text;
    for (const Entry& entry : Entries()) {
      text += (entry.update ? "update " : "unavailable ") + std::to_string(entry.code) + "; ";
    }
    return text;
  }

 private:
  void Add(Entry entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(entry);
  }
  mutable std::mutex m_mutex;
  std::vector<Entry> m_entries;
};

// The competing connect, started by the state-entry hook on a helper thread.
class Competitor {
 public:
  static Competitor* current;

  void Arm(State state, std::function<void()> connect) {
    m_connect = std::move(connect);
    m_armed.store(state);
  }
  void Join() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable()) m_thread.join();
  }
  bool Fired() const { return m_fired.load(); }
  void Reset() {
    Join();
    m_fired = false;
  }

  static void Hook(HXZTransport*, State state) {
    Competitor* competitor = current;
    if (competitor == nullptr) return;
    State armed = state;
    if (!competitor->m_armed.compare_exchange_strong(armed, HXZTransport::stateIdle)) return;
    {
      std::lock_guard<std::mutex> lock(competitor->m_mutex);
      competitor->m_thread = std::thread(competitor->m_connect);
    }
    competitor->m_fired = true;
    // Holds the entering thread, so that the competing connect runs now if it can.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

 private:
  std::atomic<State> m_armed{HXZTransport::stateIdle};
  std::function<void()> m_connect;
  std::mutex m_mutex;
  std::thread m_thread;
  std::atomic<bool> m_fired{false};
};
Competitor* Competitor::current = nullptr;

class TransportRaceTest : public TransportFixture {
 protected:
  void SetUp() override {
    TransportFixture::SetUp();
    m_log = std::make_unique<OutcomeLog>(*m_transport);
    Competitor::current = &m_competitor;
    HXZTransportTestPeer::SetStateEntryHook(&Competitor::Hook);
    TransportTestPki* pki = SharedTransportPki();
    if (pki == nullptr) {
      if (RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    SetBuiltInRootCertificate(pki->root.cert_pem);
    // Plain TCP, where the transport insists on its secure handshake.
    ConnectionSettings settings;
    settings.handshake_reply.secure = true;
    settings.secure_identity = pki->Identity(pki->server);
    StartServer(settings);
  }
  void TearDown() override {
    m_competitor.Join();
    if (m_transport) m_transport->DisconnectServer();
    HXZTransportTestPeer::SetStateEntryHook(nullptr);
    Competitor::current = nullptr;
    TransportFixture::TearDown();
    SetBuiltInRootCertificate("");
  }

  std::shared_ptr<HX_TransportConnectionParam> Param(uint16_t port) {
    auto param = std::make_shared<HX_TransportConnectionParam>();
    param->setServerAddress("127.0.0.1", port);
    return param;
  }
  void ArmCompetingConnect(State state) {
    m_competitor.Arm(state, [this] { m_transport->ConnectServer(Param(m_server->port()), kLimitMs); });
  }
  // The new attempt connected and stays so: its update is the last word.
  void ExpectTheNewAttemptConnected(size_t connected_updates) {
    ASSERT_TRUE(WaitFor([&] { return m_log->Connected() >= connected_updates; }, kLimitMs + 2000))
        << m_log->Describe();
    m_competitor.Join();
    // Long enough for a stray report of the old attempt to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateConnected) << m_log->Describe();
    EXPECT_EQ(m_log->Connected(), connected_updates) << m_log->Describe();
    const std::vector<OutcomeLog::Entry> entries = m_log->Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries.back().update && entries.back().code == 0) << m_log->Describe();
  }

  static constexpr uint64_t kLimitMs = 5000;
  static constexpr int kRounds = 8;
  std::unique_ptr<OutcomeLog> m_log;
  Competitor m_competitor;
};

TEST_F(TransportRaceTest, ConnectAtTheEntryOfTheConnectedState) {
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    m_transport->DisconnectServer();
    m_log->Clear();
    m_competitor.Reset();
    ArmCompetingConnect(HXZTransport::stateConnected);
    ASSERT_TRUE(m_transport->ConnectServer(Param(m_server->port()), kLimitMs));
    // The old attempt reports connected (or nothing, when the new connect came first); the new
    // one connects.
    ExpectTheNewAttemptConnected(2);
    EXPECT_TRUE(m_competitor.Fired());
    for (const OutcomeLog::Entry& entry : m_log->Entries()) EXPECT_TRUE(entry.update) << m_log->Describe();
  }
}

TEST_F(TransportRaceTest, ConnectAtTheEntryOfTheFailedStateAfterARefusedConnect) {
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    m_transport->DisconnectServer();
    m_log->Clear();
    m_competitor.Reset();
    ArmCompetingConnect(HXZTransport::stateFailed);
    ASSERT_TRUE(m_transport->ConnectServer(Param(FreeLoopbackPort(SOCK_STREAM)), kLimitMs));
    ExpectTheNewAttemptConnected(1);
    EXPECT_TRUE(m_competitor.Fired());
    // The old attempt's own outcome: update 1, then at most its reason -1.
    const std::vector<OutcomeLog::Entry> entries = m_log->Entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_TRUE(entries[0].update && entries[0].code == 1) << m_log->Describe();
    for (size_t i = 1; i + 1 < entries.size(); ++i) {
      EXPECT_TRUE(!entries[i].update && entries[i].code == HXZTransport::kReasonConnectFailed)
          << m_log->Describe();
    }
  }
}

TEST_F(TransportRaceTest, ConnectAtTheEntryOfTheFailedStateOfALostConnection) {
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    m_transport->DisconnectServer();
    m_log->Clear();
    m_competitor.Reset();
    ASSERT_TRUE(m_transport->ConnectServer(Param(m_server->port()), kLimitMs));
    ASSERT_TRUE(WaitFor([&] { return m_log->Connected() == 1; }, kLimitMs)) << m_log->Describe();
    ASSERT_FALSE(m_server->Connections().empty());
    std::shared_ptr<FakeConnection> connection = m_server->Connections().back();
    ASSERT_TRUE(WaitFor([&] { return m_transport->getTransportState() == HXZTransport::stateConnected; },
                        kLimitMs));
    ArmCompetingConnect(HXZTransport::stateFailed);
    connection->Close();
    ExpectTheNewAttemptConnected(2);
    EXPECT_TRUE(m_competitor.Fired());
    // Between the two updates at most the old connection's reason -4.
    const std::vector<OutcomeLog::Entry> entries = m_log->Entries();
    for (size_t i = 1; i + 1 < entries.size(); ++i) {
      EXPECT_TRUE(!entries[i].update && entries[i].code == HXZTransport::kReasonConnectionLost)
          << m_log->Describe();
    }
  }
}

}  // namespace
}  // namespace hx::testing
