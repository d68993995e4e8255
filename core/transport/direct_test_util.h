#pragma once
// Test support for the direct exchanges between clients (probe, ping, stream handshake): a
// listening socket on the network loop that hands every accepted connection to a function, and a
// socket that runs a data manager (such as the stream handshake) and records its results.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/socket_handy.h"

namespace hx::testing {

// Listens on 127.0.0.1 (a port of the system's choice) and calls `onAccept` on the loop's thread
// with every accepted connection's handler; the function takes the connection over.
class AcceptingListener : public RecordingTcpSocket {
 public:
  using RecordingTcpSocket::RecordingTcpSocket;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    std::unique_ptr<HXZADataHandler> accepted = Parent()->AcceptImp(this);
    if (accepted == nullptr) return 1;
    if (onAccept) onAccept(accepted.get());
    return 0;
  }
  std::function<void(HXZADataHandler*)> onAccept;

  // A bound, listening socket; null when binding failed.
  static AcceptingListener* Make(std::function<void(HXZADataHandler*)> on_accept) {
    auto* listener =
        HXZServer::implantNative<AcceptingListener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listener->onAccept = std::move(on_accept);
    if (!listener->Bind(LoopbackEndpoint(0, ip::Proto::tcp)) ||
        !WaitFor([&] { return listener->bound.load() == 1; }, 10000)) {
      listener->GC();
      return nullptr;
    }
    return listener;
  }
  uint16_t port() const { return LocalPort(*this); }
};

// A TCP socket whose readiness goes to a data manager; it records every result the manager gives
// and stops listening after the first that is not "go on".
class ManagedSocket : public HXZTCPSocketHandy {
 public:
  ManagedSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZTCPSocketHandy(helper, handle, family, type, protocol) {}
  ManagedSocket(HXZASocketHelper* helper, HXZADataHandler& other)
      : HXZTCPSocketHandy(helper, other) {}

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override {
    return record(manager->OnReadyRecvImp(socket, handler));
  }
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override {
    return record(manager->OnReadySendImp(socket, handler));
  }
  void OnError() override { record(HXZADataManager::failed); }

  std::vector<int32_t> results() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
  }
  // The first result that is not "go on", or -1 while there is none.
  int32_t outcome() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int32_t result : m_results) {
      if (result != HXZADataManager::keepGoing) return result;
    }
    return -1;
  }

  HXZADataManager* manager = nullptr;

 private:
  int32_t record(int32_t result) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_results.push_back(result);
    }
    if (result != HXZADataManager::keepGoing) {
      SendAsync(false);
      SetState(false);
    }
    return result;
  }

  std::mutex m_mutex;
  std::vector<int32_t> m_results;
};

}  // namespace hx::testing
