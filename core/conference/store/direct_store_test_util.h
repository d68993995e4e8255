#pragma once
// Test support for the conference store's direct connections: a real store without the rest of
// the client (nothing goes to a server), over a transport session that has a login and,
// optionally, a network listener whose acceptor addresses the store filters against. The
// network loop is the test's own (LoopFixture), fresh for each test.

#include <memory>
#include <utility>

#include "core/conference/store/conf_storage.h"
#include "core/net/socket/native_socket_details.h"
#include "core/streams/net_listener.h"
#include "core/transport/session.h"

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

}  // namespace hx::testing
