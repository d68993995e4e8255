#pragma once
// Test support for the UDP net handlers: a stream that can be brought into the connected state
// without a handshake manager, a recording send connection whose socket takes all, part or none
// of a datagram, and a hand-driven clock. Counters are read from the test thread while the loop
// and the stream's jobs write them: everything is under a mutex.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/conference/model/conference.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/udp_send_connection.h"

namespace hx::testing {

// Waits up to 10 s for `done`.
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A UDP port free on this host just now, for a group's port: groups are shared by every process
// on the host, the port keeps concurrent test runs apart.
inline uint16_t FreeUdpPort() {
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
  close(handle);
  return ntohs(address.sin_port);
}

// A clock the test moves by hand.
struct ManualClock {
  std::shared_ptr<std::atomic<int64_t>> now = std::make_shared<std::atomic<int64_t>>(100000);
  HX_TickSource source() const {
    auto shared = now;
    return [shared] { return shared->load(); };
  }
  void advance(int64_t ms) { now->fetch_add(ms); }
};

// A stream whose hardware steps always succeed.
class UdpTestStream : public HX_MediaStreamBase {
 public:
  explicit UdpTestStream(HX_StreamClient_Type type) : m_type(type) {}
  ~UdpTestStream() override { shutdownJobs(); }
  bool getStreamConfStat(stream::TConferenceStatistics& out) override {
    out.clear();
    return true;
  }
  HX_StreamClient_Type getMediaStreamType() const override { return m_type; }
  void onStreamUnavailable(HX_NetTrialConnection*, hx::NetHandshakeConnectResult) override {}
  bool AcquireHardware() override { return true; }
  bool ReleaseHardware() override { return true; }
  void notifyStreamShuttedDown() override {}
  void onStartDataTransfer() override {}

 private:
  const HX_StreamClient_Type m_type;
};

// A send connection that records what leaves and takes `accept` bytes of each datagram (all
// when negative).
class RecordingSendConnection : public HX_UdpSendConnection {
 public:
  RecordingSendConnection(HX_MediaStreamNetHandler* handler, uint32_t key, uint64_t sendBuffer)
      : HX_UdpSendConnection(handler), m_key(key), m_sendBuffer(sendBuffer) {}

  size_t sendData(const uint8_t* data, size_t size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t taken = accept < 0 ? size : std::min(size, static_cast<size_t>(accept));
    m_attempts.emplace_back(data, data + size);
    if (taken == size) m_datagrams.emplace_back(data, data + size);
    return taken;
  }
  uint64_t getSendBufferSize() override { return m_sendBuffer; }
  uint32_t udpKey() const override { return m_key; }
  void connRecycle() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_recycled;
  }
  void start() override {}
  void setSendState(bool on) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sendStates.push_back(on);
  }
  void startConnTimer(uint32_t id, uint64_t ms) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.emplace_back(id, ms);
  }
  bool isReconnectRequired(const HXIfIpAddrContainer&, const HXSockAddr&) override { return true; }

  std::vector<std::vector<uint8_t>> datagrams() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams;
  }
  std::vector<std::vector<uint8_t>> attempts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_attempts;
  }
  std::vector<bool> sendStates() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sendStates;
  }
  std::vector<std::pair<uint32_t, uint64_t>> timers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers;
  }
  int recycled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recycled;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_datagrams.clear();
    m_attempts.clear();
    m_sendStates.clear();
    m_timers.clear();
  }

  std::atomic<int> accept{-1};

 private:
  const uint32_t m_key;
  const uint64_t m_sendBuffer;
  mutable std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_datagrams;
  std::vector<std::vector<uint8_t>> m_attempts;
  std::vector<bool> m_sendStates;
  std::vector<std::pair<uint32_t, uint64_t>> m_timers;
  int m_recycled = 0;
};

// Connects `stream` (which holds its handler) over `connection` as a handshake manager would,
// and waits until the hardware has been acquired.
inline bool ConnectStream(HX_MediaStreamBase* stream, HX_MediaStreamRegularConnection* connection) {
  stream->onHMTrialConnectDone(connection, hx::NetHandshakeConnected, true);
  return WaitUntil([&] {
    return (stream->getStateFlags() & HX_MediaStreamBase::kAcquired) != 0 &&
           (stream->getStateFlags() & HX_MediaStreamBase::kAcquiring) == 0;
  });
}

// Shuts `stream` down and waits for the end. Without a handshake manager nobody closes the
// connection on the stream's behalf: it is closed here first.
inline bool ShutDownStream(HX_MediaStreamBase* stream) {
  {
    HXAutoLock lock(stream->getStreamLock());
    stream->closeStreamNL();
  }
  stream->shutdownStream();
  return WaitUntil([&] { return stream->getStateFlags() == 0; });
}

}  // namespace hx::testing
