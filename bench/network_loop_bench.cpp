// The network loop's two hot paths: a command's round trip through the pipe (a caller thread
// hands the loop a job, the loop runs it and the caller sees it done), and bulk TCP through the
// loop over loopback beside a plain blocking socket pair in the same run. The command round trip
// has two baselines, timed in the same iterations with the ratios printed beside: a bare ZeroMQ
// PAIR round trip between two threads (what the pipe is built on) and a condition-variable
// ping-pong between two threads (the cost of waking a thread, the floor for any round trip).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zmq.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/stored_task.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/socket_handy.h"

namespace {

constexpr uint64_t kTransfer = 64ull << 20;  // bytes per iteration of the throughput runs
constexpr size_t kChunk = 64 << 10;

HXZServer* Loop() {
  static HXZServer* loop = [] {
    HXZServer* made = HXZServer::installNetworkManager();
    made->startServerLoop();
    return made;
  }();
  return loop;
}

std::shared_ptr<HXZEndpointSockAddr> Loopback(uint16_t port) {
  return std::make_shared<HXZEndpointSockAddr>(false, "127.0.0.1:" + std::to_string(port),
                                               ip::Proto::tcp);
}

// A job that raises a counter; kept by the caller and sent again and again.
class CountingTask : public HXStoredTask {
 public:
  CountingTask() { SetAutoDelete(false); }
  void Execute() override {
    runs.fetch_add(1, std::memory_order_release);
    runs.notify_one();
  }
  std::atomic<uint32_t> runs{0};
};

void BM_CommandRoundTrip(benchmark::State& state) {
  Loop();
  CountingTask task;
  uint32_t expected = 0;
  for (auto _ : state) {
    HXZServer::ScheduleNetworkJob(&task, 0);
    ++expected;
    for (uint32_t seen = task.runs.load(std::memory_order_acquire); seen != expected;
         seen = task.runs.load(std::memory_order_acquire)) {
      task.runs.wait(seen, std::memory_order_acquire);
    }
  }
}
BENCHMARK(BM_CommandRoundTrip)->UseRealTime();

// A second thread that echoes every one-byte message on an inproc PAIR socket; an empty message
// ends it.
class ZmqEcho {
 public:
  ZmqEcho() : m_context(zmq_ctx_new()) {
    m_near = zmq_socket(m_context, ZMQ_PAIR);
    m_far = zmq_socket(m_context, ZMQ_PAIR);
    zmq_bind(m_far, "inproc://hx-bench-echo");
    zmq_connect(m_near, "inproc://hx-bench-echo");
    m_thread = std::thread([this] {
      char byte;
      while (zmq_recv(m_far, &byte, 1, 0) == 1) zmq_send(m_far, &byte, 1, 0);
    });
  }
  ~ZmqEcho() {
    zmq_send(m_near, nullptr, 0, 0);
    m_thread.join();
    zmq_close(m_near);
    zmq_close(m_far);
    zmq_ctx_term(m_context);
  }
  void RoundTrip() {
    char byte = 'x';
    zmq_send(m_near, &byte, 1, 0);
    zmq_recv(m_near, &byte, 1, 0);
  }

 private:
  void* m_context;
  void* m_near;
  void* m_far;
  std::thread m_thread;
};

// A second thread that answers every ping with a pong through one mutex and two condition
// variables.
class CondVarEcho {
 public:
  CondVarEcho()
      : m_thread([this] {
          std::unique_lock<std::mutex> lock(m_mutex);
          for (;;) {
            m_pinged.wait(lock, [this] { return m_pings != m_pongs || m_stop; });
            if (m_stop) return;
            ++m_pongs;
            m_ponged.notify_one();
          }
        }) {}
  ~CondVarEcho() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_pinged.notify_one();
    m_thread.join();
  }
  void RoundTrip() {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_pings;
    m_pinged.notify_one();
    m_ponged.wait(lock, [this] { return m_pongs == m_pings; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_pinged;
  std::condition_variable m_ponged;
  uint64_t m_pings = 0;
  uint64_t m_pongs = 0;
  bool m_stop = false;
  std::thread m_thread;
};

void BM_ZmqPairRoundTrip(benchmark::State& state) {
  ZmqEcho echo;
  for (auto _ : state) echo.RoundTrip();
}
BENCHMARK(BM_ZmqPairRoundTrip)->UseRealTime();

void BM_CondVarPingPong(benchmark::State& state) {
  CondVarEcho echo;
  for (auto _ : state) echo.RoundTrip();
}
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

// The command round trip and both baselines in the same iterations, in wall time (the cost is
// mostly waiting for the other thread to wake), with the command's time per round trip divided by
// each baseline's.
void BM_CommandRoundTripVsBaseline(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  };
  constexpr int kRounds = 200;  // per timing, so the clock's own cost does not count
  Loop();
  CountingTask task;
  uint32_t expected = 0;
  ZmqEcho zmq_echo;
  CondVarEcho condvar_echo;
  double command = 0, zmq_pair = 0, condvar = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
      HXZServer::ScheduleNetworkJob(&task, 0);
      ++expected;
      for (uint32_t seen = task.runs.load(std::memory_order_acquire); seen != expected;
           seen = task.runs.load(std::memory_order_acquire)) {
        task.runs.wait(seen, std::memory_order_acquire);
      }
    }
    command += seconds(start);
    start = Clock::now();
    for (int i = 0; i < kRounds; ++i) zmq_echo.RoundTrip();
    zmq_pair += seconds(start);
    start = Clock::now();
    for (int i = 0; i < kRounds; ++i) condvar_echo.RoundTrip();
    condvar += seconds(start);
  }
  const double n = static_cast<double>(state.iterations()) * kRounds;
  state.counters["command_us"] = command / n * 1e6;
  state.counters["zmq_pair_us"] = zmq_pair / n * 1e6;
  state.counters["condvar_us"] = condvar / n * 1e6;
  state.counters["times_zmq_pair"] = command / zmq_pair;
  state.counters["times_condvar"] = command / condvar;
}
BENCHMARK(BM_CommandRoundTripVsBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

// Receives and counts; tells the waiting thread when the count reached the goal.
class Sink : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    // Everything there is, so that a readiness event is not wasted on one chunk.
    uint64_t got = 0;
    for (size_t n; (n = Recv(m_buffer.data(), m_buffer.size(), 0)) > 0;) got += n;
    if (got > 0 && received.fetch_add(got, std::memory_order_acq_rel) + got >= goal) {
      received.notify_one();
    }
    return 0;
  }
  std::atomic<uint64_t> received{0};
  uint64_t goal = 0;

 private:
  std::vector<char> m_buffer = std::vector<char>(kChunk);
};

class Listener : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    std::unique_ptr<HXZADataHandler> accepted = Parent()->AcceptImp(this);
    if (accepted == nullptr) return 1;
    Sink* sink = HXZServer::inheritNative<Sink>(accepted.get());
    sink->SetState(true);
    this->sink.store(sink);
    return 0;
  }
  void OnBoundLocal(bool ok) override { bound.store(ok ? 1 : -1); }
  std::atomic<int> bound{0};
  std::atomic<Sink*> sink{nullptr};
};

// Writes `quota` bytes whenever the socket can take them.
class Source : public HXZTCPSocketHandy {
 public:
  using HXZTCPSocketHandy::HXZTCPSocketHandy;
  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    connected.store(true);
    while (m_left > 0) {
      const size_t n = Send(m_chunk.data(), std::min<uint64_t>(m_left, m_chunk.size()), 0);
      if (n == 0) return 0;
      m_left -= n;
    }
    SendAsync(false);
    return 0;
  }
  // Runs on the loop's thread.
  void Give(uint64_t bytes) {
    m_left = bytes;
    SendAsync(true);
  }
  std::atomic<bool> connected{false};

 private:
  uint64_t m_left = 0;
  std::vector<char> m_chunk = std::vector<char>(kChunk, 'x');
};

template <class Object, class Method, class... Args>
void RunOnLoop(Object* object, Method method, Args... args) {
  HXZServer::ScheduleNetworkJob(HXCallback::Save(object, method, args...), 0);
}

void BM_TcpThroughLoop(benchmark::State& state) {
  Loop();
  auto* listener = HXZServer::implantNative<Listener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  listener->Bind(Loopback(0));
  while (listener->bound.load() == 0) std::this_thread::yield();
  const uint16_t port = HXZNativeSocketDetails(*listener, true).PortLocal();
  auto* source = HXZServer::implantNative<Source>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  source->Connect(Loopback(port));
  while (listener->sink.load() == nullptr || !source->connected.load()) {
    std::this_thread::yield();
  }
  Sink* sink = listener->sink.load();

  uint64_t goal = 0;
  for (auto _ : state) {
    goal += kTransfer;
    sink->goal = goal;
    RunOnLoop(source, &Source::Give, kTransfer);
    for (uint64_t got = sink->received.load(); got < goal; got = sink->received.load()) {
      sink->received.wait(got);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  source->GC();
  sink->GC();
  listener->GC();
}
BENCHMARK(BM_TcpThroughLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TcpBlockingPair(benchmark::State& state) {
  const int listening = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listening, 1);
  socklen_t length = sizeof address;
  getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
  const int writer = socket(AF_INET, SOCK_STREAM, 0);
  connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int reader = accept(listening, nullptr, nullptr);

  std::vector<char> in(kChunk);
  for (auto _ : state) {
    std::thread sending([&] {
      std::vector<char> out(kChunk, 'x');
      for (uint64_t left = kTransfer; left > 0;) {
        const ssize_t n = send(writer, out.data(), std::min<uint64_t>(left, out.size()), 0);
        if (n <= 0) break;
        left -= static_cast<uint64_t>(n);
      }
    });
    for (uint64_t left = kTransfer; left > 0;) {
      const ssize_t n = recv(reader, in.data(), in.size(), 0);
      if (n <= 0) break;
      left -= static_cast<uint64_t>(n);
    }
    sending.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  close(writer);
  close(reader);
  close(listening);
}
BENCHMARK(BM_TcpBlockingPair)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
