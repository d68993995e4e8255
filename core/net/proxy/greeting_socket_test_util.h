#pragma once
// Test support for the proxy layer: a client socket with a proxy layer and no TLS layer that
// greets the far end once connected and collects the answer. Its counters and the text it
// collects are written on the loop's thread and read from the test's thread, so all of them are
// atomic or under its lock.

#include <atomic>
#include <mutex>
#include <string>

#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/net/socket/native_socket_helper.h"

namespace hx::testing {

// On connect it sends "ping"; it collects what arrives and counts connects and errors.
class GreetingSocket : public HXZCommonSocket {
 public:
  explicit GreetingSocket(HXZServer* loop)
      : HXZCommonSocket(new HXZNativeSocketHelper(loop), false, true) {}

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    if (connected.fetch_add(1) == 0) Send("ping", 4, 0);
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[256];
    const size_t n = Recv(buffer, sizeof buffer, 0);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, n);
    return 0;
  }
  void OnError() override { errors.fetch_add(1); }

  std::string received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }

  std::atomic<int> connected{0};
  std::atomic<int> errors{0};

 private:
  mutable std::mutex m_mutex;
  std::string m_received;
};

}  // namespace hx::testing
