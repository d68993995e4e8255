#pragma once
// Test support for the conference store's direct connections: a real store without the rest of
// the client (nothing goes to a server), over a transport session that has a login and,
// optionally, a network listener whose acceptor addresses the store filters against; and a
// listener that answers the pings of direct tests. The network loop is the test's own, fresh for
// each test.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "core/conference/store/conf_storage.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/native_socket_details.h"
#include "core/streams/net_listener.h"
#include "core/transport/direct_test_util.h"
#include "core/transport/session.h"
#include "core/transport/zero_handshake_ping.h"

namespace hx::testing {

// The store's login and network listener are all the direct tests read of the transport session.
class LoginSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return 0; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return nullptr;
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return false; }
  bool QueuePacket(HX_ClientMessage*) override { return false; }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return false; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

  void setNetListener(std::shared_ptr<HX_NetListener> listener) {
    HXAutoLock lock(m_membersLock);
    m_netListener = std::move(listener);
  }
};

// A real conference store; `fsm` may be null (direct connections then always allowed).
class PingStore : public HX_ConfStorage {
 public:
  explicit PingStore(std::shared_ptr<HX_TransportSession> session, HXFSMShared* fsm = nullptr)
      : HX_ConfStorage(fsm, std::move(session)) {}
  bool deleteConferenceAux(const char*) override { return false; }
  void SendConfStat(const ::conference::Statistics&) override {}
};

// A listener of the network loop on a loopback address other than 127.0.0.1 (which the peer
// endpoint filter drops as this device) whose connections are answered by accepting pings; it
// counts them.
class AnsweringPingListener {
 public:
  explicit AnsweringPingListener(const char* address) {
    listener = HXZServer::implantNative<AcceptingListener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listener->onAccept = [this](HXZADataHandler* accepted) {
      ++answered;
      HXZServer::inheritNative<HXZeroHandshakeSimple>(accepted)->Accept();
    };
    const bool bound = listener->Bind(std::make_shared<HXZEndpointSockAddr>(
                           false, std::string(address) + ":0", ip::Proto::tcp)) &&
                       WaitFor([&] { return listener->bound.load() == 1; }, 10000);
    EXPECT_TRUE(bound) << address;
    port = bound ? listener->port() : 0;
  }
  ~AnsweringPingListener() { listener->GC(); }
  AcceptingListener* listener = nullptr;
  uint16_t port = 0;
  std::atomic<int> answered{0};
};

}  // namespace hx::testing
