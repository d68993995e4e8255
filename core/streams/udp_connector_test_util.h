#pragma once
// Test support for the UDP cross connector and its descriptors: a connector that records its
// socket-list events and its shutdown, a handler that records every notification and event as a
// line of text, listener sockets bound on 127.0.0.1, and a plain datagram sender to play the far
// end. Logs are read from the test thread while the loop's thread writes them: all under a mutex.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/streams/udp_cross_connector.h"
#include "core/streams/udp_handlers.h"
#include "core/streams/udp_listener_socket.h"
#include "testing/test_support.h"

namespace hx::streams::testing {

// A thread-safe list of lines.
class EventLog {
 public:
  void add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& l : m_lines) n += l == line ? 1 : 0;
    return n;
  }
  bool waitFor(const std::string& line, size_t times = 1) const {
    return ::hx::testing::WaitFor([&] { return count(line) >= times; }, 10000);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// Records socket-list events ("added 1 ok", "removed 3 refused") and the end of a shutdown.
class RecordingConnector : public UDPCrossConnector {
 public:
  using UDPCrossConnector::setIdLimit;

  void onSocketListEvent(bool added, uint32_t socketId, ListenerSocketUDP* socket,
                         bool ok) override {
    log.add(std::string(added ? "added " : "removed ") + std::to_string(socketId) +
            (ok ? " ok" : " refused"));
    // A refused socket is the caller's to stop, as the listener does.
    if (socket != nullptr && (!ok || !added)) socket->stop();
  }
  void onShutdownCcnCompleted() override {
    if (onShutdownDone) onShutdownDone();
    log.add("shutdown done");
  }

  std::function<void()> onShutdownDone;  // set before the shutdown
  EventLog log;
};

// Records notifications ("registered 1", "connected 3", "assoc 1", "disconnected 3", "removed")
// and events ("recv <payload>", "send", "timer 7", "error"). Hooks, set before registration,
// run on the loop's thread after the line is written.
class RecordingHandler : public HandlerUDP {
 public:
  explicit RecordingHandler(UDPCrossConnector* connector) : HandlerUDP(connector) {}

  void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>&, bool ok) override {
    log.add("registered " + std::to_string(ok));
    if (onRegistered) onRegistered();
  }
  void connectedToSocketNotify(HandlerUDP*) override {
    log.add("connected " + std::to_string(getSocketId()));
  }
  void assocFromAddrNotify(HandlerUDP*, bool ok) override {
    log.add("assoc " + std::to_string(ok));
  }
  void disconnectedFromSocketNotify(HandlerUDP*, uint32_t socketId) override {
    log.add("disconnected " + std::to_string(socketId));
  }
  void removedFromCcnNotify(HandlerUDP*) override { log.add("removed"); }

  void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor& message) override {
    lastDescriptor.store(descriptor);
    log.add("recv " + std::string(reinterpret_cast<const char*>(message.data), message.size));
    if (onRecv) onRecv(descriptor, message);
  }
  void onReadySend(UDPListenerSocketDescriptor* descriptor) override {
    log.add("send");
    if (onSend) onSend(descriptor);
  }
  void onTimer(uint32_t type) override { log.add("timer " + std::to_string(type)); }
  void onError(HandlerErrors) override { log.add("error"); }

  std::function<void()> onRegistered;
  std::function<void(UDPListenerSocketDescriptor*, const MsgDescriptor&)> onRecv;
  std::function<void(UDPListenerSocketDescriptor*)> onSend;
  std::atomic<UDPListenerSocketDescriptor*> lastDescriptor{nullptr};
  EventLog log;
};

// 127.0.0.1 with a port (0: the system's choice), UDP.
inline HXSockAddr Loopback(uint16_t port) {
  HXSockAddr address;
  address.set(ip::Proto::udp, "127.0.0.1", std::to_string(port).c_str(), 4, 0);
  return address;
}

// A listener socket bound on 127.0.0.1 at `port` (0: the system's choice). Null when it could not
// start.
inline ListenerSocketUDP* StartedSocket(uint16_t port = 0) {
  ListenerSocketUDP* socket = ListenerSocketUDP::create(AF_INET);
  if (socket->start(Loopback(port))) return socket;
  socket->DeleteLater();
  return nullptr;
}

// Hands a socket to the connector as the listener does (under the table lock).
inline bool AddSocket(UDPCrossConnector& connector, ListenerSocketUDP* socket) {
  HXAutoLock lock(connector.getLock());
  return connector.addSocketNL(socket);
}

// A plain datagram socket on 127.0.0.1: the far end.
class Peer {
 public:
  Peer() {
    m_handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length);
    m_address = Loopback(ntohs(address.sin_port));
  }
  ~Peer() { close(m_handle); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  const HXSockAddr& address() const { return m_address; }
  int handle() const { return m_handle; }
  void sendTo(const HXSockAddr& to, const std::string& payload) const {
    sendto(m_handle, payload.data(), payload.size(), 0, to.sockaddr(), to.sa_len());
  }

 private:
  int m_handle;
  HXSockAddr m_address;
};

// A fresh loop and connector per test; the connector is shut down and destroyed on the loop at
// the end.
class ConnectorFixture : public ::hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    connector = std::make_unique<RecordingConnector>();
  }
  void TearDown() override {
    if (connector != nullptr) {
      shutdownAndWait();
      OnLoop([&] { connector.reset(); });
    }
    LoopFixture::TearDown();
  }

  void shutdownAndWait() {
    const size_t before = connector->log.count("shutdown done");
    connector->shutdown();
    ASSERT_TRUE(connector->log.waitFor("shutdown done", before + 1));
  }
  // A started socket handed to the connector; its id once the connector has it.
  uint32_t addSocket(ListenerSocketUDP** out = nullptr) {
    ListenerSocketUDP* socket = StartedSocket();
    EXPECT_NE(socket, nullptr);
    if (socket == nullptr) return 0;
    EXPECT_TRUE(AddSocket(*connector, socket));
    EXPECT_TRUE(::hx::testing::WaitFor([&] { return socket->getSocketId() != 0; }, 10000));
    if (out != nullptr) *out = socket;
    return socket->getSocketId();
  }
  std::shared_ptr<RecordingHandler> makeHandler() {
    return std::make_shared<RecordingHandler>(connector.get());
  }
  // Registers and waits for the answer.
  void registerAndWait(const std::shared_ptr<RecordingHandler>& handler, uint32_t socketId,
                       const HXSockAddr& address, bool isDefault = false) {
    connector->registerHandler(handler, socketId, address, isDefault);
    ASSERT_TRUE(::hx::testing::WaitFor([&] { return !handler->log.lines().empty(); }, 10000));
  }
  // Waits until every request made so far has run: a marker handler's registration answer comes
  // after them.
  void drain() {
    auto marker = makeHandler();
    connector->registerHandler(marker, false);
    ASSERT_TRUE(marker->log.waitFor("registered 1"));
    connector->removeHandler(marker->getHandlerUdpId());
    ASSERT_TRUE(marker->log.waitFor("removed"));
  }

  std::unique_ptr<RecordingConnector> connector;
  Peer peer;
};

}  // namespace hx::streams::testing
