#pragma once
// HX_ClientManager: the service manager of the client service "CLIENT", which clients address to
// each other through the server. It carries one request, "TryAcceptDirect": a client that can
// offer a direct media connection asks the peer to try to accept it, naming the conference by
// its SID. The conference model sends it; the call-flow helper reacts to an incoming one.
//
// Thread safety: TryAcceptDirect may be called from any thread; incoming messages are handled on
// the network-loop thread, where the signal is emitted. Connect it before messages flow.

#include <cstdint>
#include <memory>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"

class HX_ClientManager : public HX_AbstractManager {
 public:
  // Registers "CLIENT". `transport` and `fsm` are not owned and must outlive the manager.
  HX_ClientManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_ClientManager() override;

  // Sends "TryAcceptDirect" ("Name" = `sid`) to the service "CLIENT" of `user` (no destination
  // server) with a time limit of 7000 ms. The queueing result; false for a null `sid`.
  bool TryAcceptDirect(const char* user, const char* sid);

  // "TryAcceptDirect" raises the signal when it has a "Name"; every message answers true.
  bool ParseIncomimgMessage(HX_Container& message) override;
  bool ParseTryAcceptDirect(const HX_Container& message);

  // (conference SID): a peer offers a direct connection for this conference.
  hx::Signal1<const char*> directAcceptSignal;

 private:
  uint32_t m_tryAcceptDirectHash = 0;
};
