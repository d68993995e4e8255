// Withdrawing DNS callbacks while answers are being delivered on other threads:
// a withdrawn callback is never called once the withdrawal returned, an answer
// running elsewhere is waited for, callbacks may use the client from inside
// their answers, and endpoints and callbacks destroyed by many threads while
// their lookups are answered are never touched afterwards.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/native_socket_address.h"
#include "core/net/socket/socket_handy.h"
#include "testing/dnsmasq_server.h"
#include "testing/test_support.h"

namespace {

using hx::testing::WaitFor;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLongLimitMs = 20000;

// A name server on 127.0.0.1 that never answers: its lookups stay pending until
// their deadline or the client's stop.
class SilentServer {
 public:
  SilentServer() {
    m_handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~SilentServer() { close(m_handle); }
  uint16_t port() const { return m_port; }

 private:
  int m_handle = -1;
  uint16_t m_port = 0;
};

// A gate that one thread waits at until another opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  bool wait(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
};

// Holds up its first answer until released, and tells when it entered and left
// it.
class BlockingCallback : public HXDnsCallback {
 public:
  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char*, const char*) override {
    ++calls;
    entered.open();
    release.wait();
    left.store(true);
  }
  ~BlockingCallback() override { revokeAnswers(); }

  std::atomic<int> calls{0};
  Gate entered;
  Gate release;
  std::atomic<bool> left{false};
};

// Counts its answers, and those that came after its withdrawal had returned.
class WatchedCallback : public HXDnsCallback {
 public:
  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char*, const char*) override {
    ++calls;
    if (revoked.load()) ++callsAfterRevoke;
  }
  ~WatchedCallback() override { revokeAnswers(); }

  void revoke() {
    HXZServer::revokeDNSCallback(this);
    revoked.store(true);
  }

  std::atomic<int> calls{0};
  std::atomic<int> callsAfterRevoke{0};
  std::atomic<bool> revoked{false};
};

class DnsRevoke : public hx::testing::LoopFixture {
 protected:
  static bool Rebind(uint16_t port) { return HXZServer::m_Instance->Rebind({{"127.0.0.1", port}}); }
};

// The client's stop fails every pending lookup in one pass, on the thread that
// stops it, one callback after the other. While the first callback is held up
// in its answer, the second one is already detached from its lookup but not
// called yet: a withdrawal now must still keep the answer from it.
TEST_F(DnsRevoke, ACallbackDetachedButNotYetCalledHearsNothingAfterItsWithdrawal) {
  SilentServer silent;
  ASSERT_TRUE(Rebind(silent.port()));
  BlockingCallback first;
  auto second = std::make_unique<WatchedCallback>();
  EXPECT_EQ(HXZServer::QueryA("first.hx.test", &first, kLongLimitMs), "");
  EXPECT_EQ(HXZServer::QueryA("second.hx.test", second.get(), kLongLimitMs), "");

  std::thread stopper([&] { loop->Shutdown(); });
  ASSERT_TRUE(first.entered.wait());
  second->revoke();  // does not wait: its answer has not started
  EXPECT_EQ(second->calls.load(), 0);
  first.release.open();
  stopper.join();
  EXPECT_EQ(first.calls.load(), 1);
  EXPECT_EQ(second->calls.load(), 0);
  EXPECT_EQ(second->callsAfterRevoke.load(), 0);
  // Destroyed right after its withdrawal, as endpoints are: nothing may reach
  // it afterwards.
  second.reset();
}

// A withdrawal on another thread while the answer runs returns only after the
// answer did.
TEST_F(DnsRevoke, AWithdrawalWaitsForTheAnswerRunningOnAnotherThread) {
  SilentServer silent;
  ASSERT_TRUE(Rebind(silent.port()));
  auto callback = std::make_unique<BlockingCallback>();
  EXPECT_EQ(HXZServer::QueryA("held.hx.test", callback.get(), kLongLimitMs), "");

  std::thread stopper([&] { loop->Shutdown(); });
  ASSERT_TRUE(callback->entered.wait());
  std::atomic<bool> revokeReturned{false};
  bool answerLeftFirst = false;
  std::thread revoker([&] {
    HXZServer::revokeDNSCallback(callback.get());
    answerLeftFirst = callback->left.load();
    revokeReturned.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(revokeReturned.load());  // still inside the answer
  callback->release.open();
  revoker.join();
  stopper.join();
  EXPECT_TRUE(answerLeftFirst);
  callback.reset();
}

// From inside its answer a callback withdraws itself (no waiting for its own
// frame), starts lookups again and withdraws another callback whose answer is
// due in the same pass.
TEST_F(DnsRevoke, ACallbackMayUseTheClientFromInsideItsAnswer) {
  SilentServer silent;
  ASSERT_TRUE(Rebind(silent.port()));
  WatchedCallback other;
  struct Reentrant : HXDnsCallback {
    using HXDnsCallback::OnCallbackQueryA;
    void OnCallbackQueryA(const char*, const char* address) override {
      if (!reentered.exchange(true)) {
        failed = address == nullptr;
        HXZServer::revokeDNSCallback(this);
        other->revoke();
        numeric = HXZServer::QueryA("192.0.2.7", this, kLongLimitMs);
        pending = HXZServer::QueryA("again.hx.test", this, 100);
      }
      ++calls;
    }
    ~Reentrant() override { revokeAnswers(); }
    WatchedCallback* other = nullptr;
    std::atomic<bool> reentered{false};
    std::atomic<int> calls{0};
    std::string numeric = "-";
    std::string pending = "-";
    bool failed = false;
  } reentrant;
  reentrant.other = &other;
  // Both fail at about the same time, mostly in one expiry pass; the reentrant
  // one was asked first, so there the other one is already detached when it is
  // withdrawn.
  EXPECT_EQ(HXZServer::QueryA("one.hx.test", &reentrant, 200), "");
  EXPECT_EQ(HXZServer::QueryA("two.hx.test", &other, 200), "");
  ASSERT_TRUE(WaitFor([&] { return reentrant.calls.load() >= 1; }, 10000));
  // The lookup started inside the answer fails at its own deadline and is
  // answered as well.
  ASSERT_TRUE(WaitFor([&] { return reentrant.calls.load() >= 2; }, 10000));
  EXPECT_EQ(reentrant.numeric, "192.0.2.7");
  EXPECT_EQ(reentrant.pending, "");
  EXPECT_TRUE(reentrant.failed);
  EXPECT_EQ(other.callsAfterRevoke.load(), 0);
}

// Callbacks with state of their own and endpoints of sockets that connect, made
// and destroyed by several threads at once while dnsmasq, the system resolver
// and deadlines answer them on the loop's thread, the pool's threads and the
// callers' threads.
std::atomic<int> g_answers{0};
std::atomic<int> g_lateAnswers{0};

class StatefulCallback : public HXDnsCallback {
 public:
  static constexpr uint32_t kAlive = 0x600dcafe;

  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char* name, const char* address) override {
    if (m_alive != kAlive) ++g_lateAnswers;
    ++g_answers;
    m_seen.emplace_back(name != nullptr ? name : "");
    if (address != nullptr) m_seen.emplace_back(address);
  }
  ~StatefulCallback() override {
    revokeAnswers();
    m_alive = 0;
  }

 private:
  uint32_t m_alive = kAlive;
  std::vector<std::string> m_seen;
};

TEST_F(DnsRevoke, ManyThreadsDestroyCallbacksAndEndpointsWhileTheirLookupsAreAnswered) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  hx::testing::DnsmasqServer server(
      dnsmasq, {"--local=/hx.test/", "--local-ttl=1", "--address=/stress.hx.test/127.0.0.1"});
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(Rebind(server.port()));
  const uint16_t closedPort = hx::testing::FreeLoopbackPort(SOCK_STREAM);
  g_answers.store(0);
  g_lateAnswers.store(0);

  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, closedPort] {
      std::mt19937 random(static_cast<uint32_t>(t) * 7919u + 1u);
      for (int round = 0; round < kRounds; ++round) {
        const std::string unique = std::to_string(t) + "-" + std::to_string(round);
        const auto pause = std::chrono::microseconds(random() % 3000);
        switch (random() % 3) {
          case 0: {  // a name server answer, or a failure at a short deadline
            auto callback = std::make_unique<StatefulCallback>();
            HXZServer::QueryA("s" + unique + ".stress.hx.test", callback.get(), 1 + random() % 20);
            std::this_thread::sleep_for(pause);
            break;
          }
          case 1: {  // an endpoint let go while its name is being resolved
            auto endpoint = HXZEndpointFqdn::remoteTCP("e" + unique + ".stress.hx.test", 9);
            std::this_thread::sleep_for(pause);
            break;
          }
          default: {  // a connecting socket deleted on the loop's thread, as a
                      // transport does
            auto* socket =
                HXZServer::implantNative<HXZTCPSocketHandy>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
            socket->Connect(
                HXZEndpointFqdn::remoteTCP("c" + unique + ".stress.hx.test", closedPort));
            std::this_thread::sleep_for(pause);
            socket->DeleteLater();
            break;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Deadlines still due are answered meanwhile; then the stop fails what is
  // left.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EndLoop();
  EXPECT_GT(g_answers.load(), 0);  // answers did race with the destruction
  EXPECT_EQ(g_lateAnswers.load(), 0);
}

// An endpoint's lookup may be answered on another thread before the call that
// starts it has returned: the endpoint keeps that answer, with its own port,
// instead of waiting for ever.
TEST_F(DnsRevoke, EndpointsKeepAnswersThatCameWhileTheirLookupWasStarting) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  hx::testing::DnsmasqServer server(dnsmasq,
                                    {"--local=/hx.test/", "--address=/fast.hx.test/127.0.0.1"});
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(Rebind(server.port()));
  constexpr int kThreads = 4;
  constexpr int kEndpoints = 40;
  std::vector<std::vector<std::shared_ptr<HXZEndpointFqdn>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &made] {
      for (int i = 0; i < kEndpoints; ++i) {
        const std::string name =
            "k" + std::to_string(t) + "-" + std::to_string(i) + ".fast.hx.test";
        made[static_cast<size_t>(t)].push_back(
            HXZEndpointFqdn::remoteTCP(name, static_cast<uint16_t>(5000 + i)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // A lost answer would leave an endpoint resolving for ever; a query lost on a busy machine
  // only fails at the lookup's deadline.
  const int waitMs = static_cast<int>(HXZNativeSocketAddress::kQueryTimeLimitMs) + 3000;
  int resolved = 0;
  for (const auto& endpoints : made) {
    for (size_t i = 0; i < endpoints.size(); ++i) {
      const auto& endpoint = endpoints[i];
      ASSERT_TRUE(
          WaitFor([&] { return endpoint->state() != HXZAEndpointHolder::stateResolving; }, waitMs))
          << endpoint->getAddrStr();
      if (endpoint->state() != HXZAEndpointHolder::stateResolved) continue;
      ++resolved;
      EXPECT_EQ(endpoint->getSockAddr().str(), "127.0.0.1");
      EXPECT_EQ(endpoint->getSockAddr().port(), 5000 + i);
      EXPECT_EQ(endpoint->getSockAddr().proto(), ip::Proto::tcp);
    }
  }
  EXPECT_GT(resolved, kThreads * kEndpoints / 2);
}

}  // namespace
