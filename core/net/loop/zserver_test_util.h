#pragma once
// Test support for the network loop: a fixture that installs and starts a fresh loop for each
// test and ends it afterwards, a way to run code on the loop's thread and wait for it, and a
// TCP socket that records its events. Everything here is thread-safe: the tests observe from
// their own thread what the loop's thread records.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/stored_task.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/socket_handy.h"
#include "testing/test_support.h"

namespace hx::testing {

// A stored task that runs a function; owned by whoever runs it (auto-delete).
class FunctionTask : public HXStoredTask {
 public:
  explicit FunctionTask(std::function<void()> function) : m_function(std::move(function)) {}
  void Execute() override { m_function(); }

 private:
  std::function<void()> m_function;
};

// A fresh loop per test.
class LoopFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    HXZServer::setConnectTimeLimit(60000);
    loop = HXZServer::installNetworkManager();
    ASSERT_NE(loop, nullptr);
    ASSERT_EQ(loop->startServerLoop(), 0);
  }
  void TearDown() override { EndLoop(); }

  // Shuts the loop down and deletes it; sockets must have been handed back before.
  void EndLoop() {
    if (loop == nullptr) return;
    loop->Shutdown();
    delete loop;
    loop = nullptr;
  }

  // Runs `function` on the loop's thread and waits until it has run.
  static void OnLoop(const std::function<void()>& function) {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new FunctionTask([&] {
                                                function();
                                                std::lock_guard<std::mutex> lock(mutex);
                                                done = true;
                                                done_signal.notify_one();
                                              }),
                                              0));
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done_signal.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
  }

  HXZServer* loop = nullptr;
};

// Waits until `handle` is readable (data or the end of the stream); false after 10 s.
inline bool WaitReadable(int handle) {
  pollfd item{handle, POLLIN, 0};
  return poll(&item, 1, 10000) == 1;
}

// The local port a bound socket got.
inline uint16_t LocalPort(const HXZADataHandler& handler) {
  return HXZNativeSocketDetails(handler, true).PortLocal();
}

inline std::shared_ptr<HXZEndpointSockAddr> LoopbackEndpoint(uint16_t port, ip::Proto::type proto) {
  // The port goes into the text: a port argument of 0 would mean "the text's port or 4307".
  return std::make_shared<HXZEndpointSockAddr>(false, "127.0.0.1:" + std::to_string(port), proto);
}

// A TCP client that records its events; on connect it withdraws the ready-to-send request and
// sends what it was given; what arrives is collected. Counters are read from any thread.
class RecordingTcpSocket : public HXZTCPSocketHandy {
 public:
  RecordingTcpSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZTCPSocketHandy(helper, handle, family, type, protocol) {}
  RecordingTcpSocket(HXZASocketHelper* helper, HXZADataHandler& other)
      : HXZTCPSocketHandy(helper, other) {}
  ~RecordingTcpSocket() override {
    if (destroyed != nullptr) destroyed->fetch_add(1);
  }

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    connected.fetch_add(1);
    if (!toSend.empty()) Send(toSend.data(), toSend.size(), 0);
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[4096];
    const size_t n = Recv(buffer, sizeof buffer, 0);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, n);
    if (n == 0 && RecvEnded()) {
      ended.fetch_add(1);
      SetState(false);
    }
    return 0;
  }
  void OnClose(HXZADataHandler*) override { closed.fetch_add(1); }
  void OnError() override { errors.fetch_add(1); }
  void OnTimer(unsigned id) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.push_back(id);
  }
  void OnBoundLocal(bool ok) override { (ok ? bound : bindFailed).fetch_add(1); }

  std::string received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }
  std::vector<unsigned> timers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers;
  }

  std::string toSend;  // set before connecting
  std::atomic<int>* destroyed = nullptr;
  std::atomic<int> connected{0};
  std::atomic<int> ended{0};
  std::atomic<int> closed{0};
  std::atomic<int> errors{0};
  std::atomic<int> bound{0};
  std::atomic<int> bindFailed{0};

 private:
  mutable std::mutex m_mutex;
  std::string m_received;
  std::vector<unsigned> m_timers;
};

// A plain blocking listener on 127.0.0.1 for the other side of a test connection.
class PlainListener {
 public:
  PlainListener() {
    m_handle = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_handle, 128);
    socklen_t length = sizeof address;
    getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~PlainListener() { close(m_handle); }
  uint16_t port() const { return m_port; }
  int handle() const { return m_handle; }
  // The next connection (blocking), with a receive time-out so that a test cannot hang.
  int Accept() const {
    const int handle = accept(m_handle, nullptr, nullptr);
    timeval limit{10, 0};
    setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return handle;
  }

 private:
  int m_handle;
  uint16_t m_port;
};

}  // namespace hx::testing
