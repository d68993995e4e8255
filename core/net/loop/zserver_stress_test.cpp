#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

std::atomic<int> g_echoDestroyed{0};
std::atomic<int> g_clientsDestroyed{0};

// Sends back whatever arrives; ends itself when the peer closes.
class EchoSocket : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  ~EchoSocket() override { g_echoDestroyed.fetch_add(1); }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[1024];
    const size_t n = Recv(buffer, sizeof buffer, 0);
    if (n > 0) {
      EXPECT_EQ(Send(buffer, n, 0), n);
    } else if (RecvEnded()) {
      GC();
    }
    return 0;
  }
};

class EchoListener : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    std::unique_ptr<HXZADataHandler> accepted = Parent()->AcceptImp(this);
    if (accepted == nullptr) return 1;
    EchoSocket* echo = HXZServer::inheritNative<EchoSocket>(accepted.get());
    echo->SetState(true);
    accepted_count.fetch_add(1);
    return 0;
  }
  void OnBoundLocal(bool ok) override { bound.store(ok ? 1 : -1); }
  std::atomic<int> bound{0};
  std::atomic<int> accepted_count{0};
};

// One cycle's client: sends its payload once connected and reports when the echo is complete.
class CycleClient : public HXZTCPSocketHandy {
 public:
  CycleClient(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZTCPSocketHandy(helper, handle, family, type, protocol) {}
  ~CycleClient() override { g_clientsDestroyed.fetch_add(1); }

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    connects.fetch_add(1);
    EXPECT_EQ(Send(payload.data(), payload.size(), 0), payload.size());
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[1024];
    const size_t n = Recv(buffer, sizeof buffer, 0);
    echoed.append(buffer, n);
    if (echoed.size() >= payload.size())
      Finish(echoed == payload);
    else if (n == 0 && RecvEnded())
      Finish(false);
    return 0;
  }
  void OnError() override { Finish(false); }

  bool WaitDone() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, std::chrono::seconds(20), [&] { return m_done; }) && m_ok;
  }

  std::string payload;
  std::string echoed;  // loop thread only
  std::atomic<int> connects{0};

 private:
  void Finish(bool ok) {
    SetState(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_done) return;
    m_done = true;
    m_ok = ok;
    m_signal.notify_one();
  }

  std::mutex m_mutex;
  std::condition_variable m_signal;
  bool m_done = false;
  bool m_ok = false;
};

using StressTest = LoopFixture;

TEST_F(StressTest, ManyConnectSendCloseCyclesFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kCyclesPerThread = 250;
  g_echoDestroyed = 0;
  g_clientsDestroyed = 0;

  auto* listener = HXZServer::implantNative<EchoListener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(listener->Bind(LoopbackEndpoint(0, ip::Proto::tcp)));
  ASSERT_TRUE(WaitFor([&] { return listener->bound.load() != 0; }, 10000));
  ASSERT_EQ(listener->bound.load(), 1);
  const uint16_t port = LocalPort(*listener);

  std::atomic<int> completed{0};
  std::atomic<int> single_connect{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int cycle = 0; cycle < kCyclesPerThread; ++cycle) {
        auto* client = HXZServer::implantNative<CycleClient>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
        client->payload = "thread " + std::to_string(t) + " cycle " + std::to_string(cycle) +
                          std::string(static_cast<size_t>(cycle % 97), '.');
        if (client->Connect(LoopbackEndpoint(port, ip::Proto::tcp)) && client->WaitDone()) {
          completed.fetch_add(1);
        }
        if (client->connects.load() == 1) single_connect.fetch_add(1);
        client->GC();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  constexpr int kCycles = kThreads * kCyclesPerThread;
  EXPECT_EQ(completed.load(), kCycles);
  EXPECT_EQ(single_connect.load(), kCycles);
  EXPECT_TRUE(WaitFor([&] { return g_clientsDestroyed.load() == kCycles; }, 20000))
      << g_clientsDestroyed.load();
  EXPECT_TRUE(WaitFor([&] { return g_echoDestroyed.load() == kCycles; }, 20000))
      << g_echoDestroyed.load();
  EXPECT_EQ(listener->accepted_count.load(), kCycles);
  listener->GC();
  // Only the two pipe ends and the DNS client's two sockets remain registered.
  EXPECT_TRUE(WaitFor([] { return HXZServer::_free_sockets.load() == 60; }, 10000));
}

}  // namespace
}  // namespace hx::testing
