// Many threads queue service messages through one established connection while
// the network loop queues messages of its own (answers to what the server
// sends, queued from a service handler on the loop thread), pings go out and
// the server answers them. Every message must reach the fake server exactly
// once and in its sender's order, and every QueuePacket of the connected
// transport must answer true. The process is pinned to one processor and busy
// threads compete with the senders, the loop and the server, so that each of
// them is pre-empted anywhere; the server stops reading now and then, so that
// the socket's buffers fill and writes are left unfinished. The messages of
// each round must all arrive before the next round starts: a message left in
// the queue with nobody to send it shows up as a round that never completes.
//
// Run over plain TCP with enciphered messages and over TLS. Meant to run under
// ThreadSanitizer too.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/client/abstract_manager.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport_test_peer.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"
#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

constexpr int kSenders = 4;
constexpr int kRounds = 12;
constexpr int kPerRound = 30;       // messages per sender and round
constexpr int kEchoEvery = 3;       // the server answers every third message; the loop acks it
constexpr int kLoopSender = -1;     // the sender number of the loop's acknowledgements
constexpr int kRoundWaitMs = 5000;  // a round that takes longer has lost a message
constexpr size_t kPadding = 1500;   // bytes per message, so that the socket buffers fill
constexpr int kAckStride = 100000;  // an acknowledgement's index: sender * stride + index

int32_t IntOf(const HX_Container& body, const char* name) {
  int32_t value = -1;
  size_t size = 0;
  body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
  return value;
}

// A request from the service "LOOP" to "SINK", numbered by sender and index.
HX_ClientMessage* Numbered(HXZTransport& transport, const char* method, int sender, int index) {
  HX_Container body;
  body.AddValue("Method", method);
  body.AddValue("Sender", int32_t{sender});
  body.AddValue("Index", int32_t{index});
  body.AddValue("Pad", std::string(kPadding, 'x').c_str());
  uint8_t* bytes = nullptr;
  size_t size = 0;
  if (!body.SerializeAlloc(bytes, size)) return nullptr;
  auto* message = new HX_ClientMessage("LOOP", "52", "SINK", 20000, bytes,
                                       static_cast<uint32_t>(size), transport.GetNextSequence(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
  std::free(bytes);
  return message;
}

// The client's service "LOOP": each answer of the server is acknowledged from
// the loop thread.
class LoopSender : public HX_AbstractManager {
 public:
  explicit LoopSender(HXZTransport& transport)
      : HX_AbstractManager("LOOP"), m_transport(transport) {}

  bool ParseIncomimgMessage(HX_Container& message) override {
    m_answers.fetch_add(1);
    // Unique per answered message: the sender's number and its index.
    const int index = IntOf(message, "Sender") * kAckStride + IntOf(message, "Index");
    if (!m_transport.QueuePacket(Numbered(m_transport, "ack", kLoopSender, index)))
      m_refused.fetch_add(1);
    return true;
  }
  int Refused() const { return m_refused.load(); }
  int Answers() const { return m_answers.load(); }

 private:
  HXZTransport& m_transport;
  std::atomic<int> m_refused{0};
  std::atomic<int> m_answers{0};
};

// What reached the server: per sender, the indices in their order of arrival.
class Arrivals {
 public:
  void Add(int sender, int index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_indices[static_cast<size_t>(sender + 1)].push_back(index);
    m_changed.notify_all();
  }
  bool WaitForTotal(size_t total, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return Total() >= total; });
  }
  std::vector<int> Of(int sender) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_indices[static_cast<size_t>(sender + 1)];
  }
  std::string Describe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (size_t i = 0; i < m_indices.size(); ++i) {
      text += "sender " + std::to_string(static_cast<int>(i) - 1) + ": " +
              std::to_string(m_indices[i].size()) + "; ";
    }
    return text;
  }

 private:
  size_t Total() const {
    size_t total = 0;
    for (const std::vector<int>& indices : m_indices) total += indices.size();
    return total;
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::vector<int>> m_indices = std::vector<std::vector<int>>(kSenders + 1);
};

enum class Link { kEnciphered, kTls };

class TransportSendStressTest : public TransportFixture,
                                public ::testing::WithParamInterface<Link> {
 protected:
  void SetUp() override {
    // One processor for every thread made from now on: the loop's, the server's
    // and the test's.
    ASSERT_EQ(sched_getaffinity(0, sizeof m_cpus, &m_cpus), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &m_cpus)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    TransportFixture::SetUp();
  }
  void TearDown() override {
    TransportFixture::TearDown();
    sched_setaffinity(0, sizeof m_cpus, &m_cpus);
  }

  cpu_set_t m_cpus;
};

TEST_P(TransportSendStressTest, EveryMessageOfEverySenderArrivesOnceAndInOrder) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  SetBuiltInRootCertificate(pki->root.cert_pem);
  ConnectionSettings settings;
  FakeServerOptions options;
  // Small, so that the client's writes are cut short while the server stops
  // reading, yet above the loopback segment size: below it the window reopens
  // only at the sender's slow probes.
  options.receive_buffer_bytes = 128 * 1024;
  if (GetParam() == Link::kTls) {
    HXZCommonSocket::SetDenyTLS(false);
    options.tls_certificate_path = pki->server.cert_path;
    options.tls_private_key_path = pki->server.key_path;
  } else {
    settings.handshake_reply.secure = true;
    settings.secure_identity = pki->Identity(pki->server);
  }
  StartServer(settings, options);
  m_server->SetKeepMessages(false);
  Arrivals arrivals;
  m_server->SetServiceHandler("SINK", [&](FakeConnection& connection, const ReceivedMessage& m) {
    const int sender = IntOf(m.body, "Sender");
    const int index = IntOf(m.body, "Index");
    arrivals.Add(sender, index);
    if (sender != kLoopSender && index % kEchoEvery == 0) {
      HX_Container answer;
      answer.AddValue("Method", "echo");
      answer.AddValue("Sender", int32_t{sender});
      answer.AddValue("Index", int32_t{index});
      connection.Reply(m, answer);
    }
  });
  LoopSender loop_sender(*m_transport);
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);

  std::atomic<bool> running{true};
  std::vector<std::thread> busy;
  for (int i = 0; i < 2; ++i) {
    busy.emplace_back([&] {
      while (running.load(std::memory_order_relaxed)) {
      }
    });
  }
  std::thread pinger([&] {
    while (running.load()) {
      m_transport->pingServer();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::atomic<int> refused{0};
  size_t expected = 0;
  int completed = 0;
  for (int round = 0; round < kRounds; ++round) {
    // Every other round the server stops reading for a moment: writes are left
    // half done.
    const bool stall = round % 2 == 1;
    if (stall) connection->SetReading(false);
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kSenders; ++sender) {
      senders.emplace_back([&, sender, round] {
        for (int i = 0; i < kPerRound; ++i) {
          const int index = round * kPerRound + i;
          if (!m_transport->QueuePacket(Numbered(*m_transport, "up", sender, index)))
            refused.fetch_add(1);
          if (i % 8 == 0) std::this_thread::yield();
        }
      });
    }
    if (stall) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      connection->SetReading(true);
    }
    for (std::thread& thread : senders) thread.join();
    const int echoed =
        (kPerRound + kEchoEvery - 1) / kEchoEvery;  // indices of a round start at a multiple
    expected += static_cast<size_t>(kSenders * kPerRound + kSenders * echoed);
    if (!arrivals.WaitForTotal(expected, kRoundWaitMs)) {
      bool queued = false;
      {
        HXAutoLock lock(*m_transport);
        queued = !HXZTransportTestPeer::PacketManager(*m_transport).QueueEmpty();
      }
      HXZTransportConnection* c = HXZTransportTestPeer::Connection(*m_transport);
      ADD_FAILURE() << "round " << round << ": answers the loop got " << loop_sender.Answers()
                    << ", messages still queued in the client: " << queued << ", write requested: "
                    << ((c->GetFlags() & HXZADataHandler::kReadyToSend) != 0)
                    << ", bytes in the socket's send queue: " << c->getSendQueueSize() << " "
                    << arrivals.Describe();
      break;
    }
    ++completed;
  }
  running.store(false);
  pinger.join();
  for (std::thread& thread : busy) thread.join();

  EXPECT_EQ(completed, kRounds) << "messages stayed behind in round " << completed << ": "
                                << arrivals.Describe();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(loop_sender.Refused(), 0);
  for (int sender = 0; sender < kSenders; ++sender) {
    const std::vector<int> indices = arrivals.Of(sender);
    std::vector<int> wanted(static_cast<size_t>(completed * kPerRound));
    for (size_t i = 0; i < wanted.size(); ++i) wanted[i] = static_cast<int>(i);
    if (completed == kRounds) EXPECT_EQ(indices, wanted) << "sender " << sender;
  }
  // Each acknowledgement once: the loop queues one per answer.
  std::vector<int> acks = arrivals.Of(kLoopSender);
  std::sort(acks.begin(), acks.end());
  EXPECT_TRUE(std::adjacent_find(acks.begin(), acks.end()) == acks.end())
      << "an acknowledgement twice";
  EXPECT_EQ(m_transport->getTransportState(), HXZTransport::stateConnected);
  EXPECT_TRUE(m_signals->Reasons().empty());
  ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(Links, TransportSendStressTest,
                         ::testing::Values(Link::kEnciphered, Link::kTls),
                         [](const ::testing::TestParamInfo<Link>& info) {
                           return info.param == Link::kTls ? std::string("Tls")
                                                           : std::string("Enciphered");
                         });

}  // namespace
}  // namespace hx::testing
