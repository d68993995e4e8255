#pragma once
// The client's shared state over a transport session without a connection, for harnesses that
// feed messages to the conference services: what they send is dropped, and QueuePacket answers
// what the harness set. The working directory is a fresh temporary folder, removed at the end.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/client/fsm_shared.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/socket/native_socket_details.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"

namespace hx::fuzz {

class FuzzSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return ++m_sequence; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return nullptr;
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return true; }
  bool QueuePacket(HX_ClientMessage* message) override {
    delete message;
    return m_queueAnswer;
  }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return true; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}
  bool m_queueAnswer = true;

 private:
  uint32_t m_sequence = 0;
};

// The shared state of user `login` with the session "sess@fuzz#1"; `connected` puts the session in
// its connected state first (leaving state 0 clears the SID).
struct FuzzEnvironment {
  FuzzEnvironment(const char* login, bool connected) {
    char pattern[] = "/tmp/hx_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    HXFSMShared::Env()->SetWorkingDir(dir.c_str());
    fsm = std::make_unique<HXFSMShared>();
    fsm->SetAppName("Fuzz");
    session = std::make_shared<FuzzSession>();
    session->setFSMShared(fsm.get());
    session->SetLogin(login);
    if (connected) session->setStateTrs(HX_TransportSession::eConnected);
    session->setSid("sess@fuzz#1");
    fsm->setTransportSession(session);
  }
  ~FuzzEnvironment() {
    fsm.reset();
    session.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  std::unique_ptr<HXFSMShared> fsm;
  std::shared_ptr<FuzzSession> session;
};

}  // namespace hx::fuzz
