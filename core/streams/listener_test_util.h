#pragma once
// Test support for the listeners: interface sets made of chosen loopback addresses (Linux
// answers on all of 127.0.0.0/8, so each test takes addresses of its own), a transport session
// that records the acceptors it is told of, plain sockets that hold ports, and a way to hold the
// loop's thread so that a binding stays in progress.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/event.h"
#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"

namespace hx::streams::testing {

// One interface "lo" with the given addresses.
inline HXIpIfAddrSet Interfaces(std::initializer_list<const char*> addresses) {
  HXIfList list;
  list.addIface(ip::IfType::other, "lo", 1)->setUpAndRunning(true);
  for (const char* text : addresses) {
    const HXIpAddress address = HXAddrFactory::get(text);
    list.addIfaceAddress("lo", address, HXNetMask(address.family(), 8), HXIpAddress(),
                         HXIpAddress());
  }
  HXIpIfAddrSet set;
  list.getIfAddrList(set);
  return set;
}

// The address texts of a list of socket addresses, sorted, with ports: "127.0.0.1:44307".
template <class List>
std::vector<std::string> Texts(const List& addresses) {
  std::vector<std::string> texts;
  for (const HXSockAddr& address : addresses) {
    texts.push_back(address.str() + ":" + std::to_string(address.port()));
  }
  std::sort(texts.begin(), texts.end());
  return texts;
}

// Records every acceptor list it is told of; the rest of the session does nothing.
class AcceptorsSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return 0; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return nullptr;
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return false; }
  bool QueuePacket(HX_ClientMessage* message) override {
    delete message;
    return false;
  }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return false; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo& acceptors) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_updates.push_back(acceptors);
  }

  std::vector<HXZAcceptorInfo> updates() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_updates;
  }
  size_t count() const { return updates().size(); }
  // Waits for the `n`th update; false after 10 s.
  bool waitForUpdates(size_t n) const {
    return ::hx::testing::WaitFor([&] { return count() >= n; }, 10000);
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<HXZAcceptorInfo> m_updates;
};

// A plain socket of `type` bound to `address`:`port` (TCP ones listen), closed at the end.
class PortHolder {
 public:
  PortHolder(int type, const char* address, uint16_t port) {
    m_handle = socket(AF_INET, type, 0);
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = htons(port);
    inet_pton(AF_INET, address, &native.sin_addr);
    m_ok = bind(m_handle, reinterpret_cast<sockaddr*>(&native), sizeof native) == 0 &&
           (type != SOCK_STREAM || listen(m_handle, 1) == 0);
  }
  ~PortHolder() { close(m_handle); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool ok() const { return m_ok; }

 private:
  int m_handle;
  bool m_ok;
};

// Whether a TCP connect to `address` succeeds.
inline bool Connects(const HXSockAddr& address) {
  const int handle = socket(address.sysFamily(), SOCK_STREAM, 0);
  const bool ok = connect(handle, address.sockaddr(), address.sa_len()) == 0;
  close(handle);
  return ok;
}

// Holds the loop's thread in a job until release (or the end of the object), so that what is
// requested meanwhile stays queued. The events are shared with the job, which may still be
// returning from its wait when the object is gone.
class LoopHold {
 public:
  LoopHold() {
    auto held = m_held;
    auto release = m_release;
    HXZServer::ScheduleNetworkJob(new ::hx::testing::FunctionTask([held, release] {
                                    held->Set();
                                    release->Wait(20000);
                                  }),
                                  0);
    m_held->Wait(10000);
  }
  ~LoopHold() { release(); }
  void release() { m_release->Set(); }

 private:
  std::shared_ptr<HXEvent> m_held = std::make_shared<HXEvent>(false);
  std::shared_ptr<HXEvent> m_release = std::make_shared<HXEvent>(false);
};

}  // namespace hx::streams::testing
