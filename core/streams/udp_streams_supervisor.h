#pragma once
// HX_UdpStreamsSupervisor: the one object, shared by every conference of the client, that knows
// the conference store and the UDP listener (its cross connector). The direct stream lists reach
// both through it. It also owns the connector's catch-all handler, UdpBottomHandler, which gets
// every datagram whose source no handler owns: of those only direct-connect hellos are kept, each
// handed to the trial list of the conference it names, so that a peer that reaches this client
// before this client knows the peer's address still gets a trial connection.
//
// Threads: the bottom handler's events run on the network loop's thread, and the hello is handed
// on under the conference lock taken there. The supervisor itself has no state to guard.
//
// Lifetime: the supervisor is held by shared pointer (the conference store keeps it); an event
// holds it for the length of the call, so it may be released on any thread meanwhile. Events
// that come after its end are dropped. The connector must outlive it: the destructor asks the
// connector to drop the bottom handler.

#include <cstdint>
#include <memory>

#include "core/base/lock.h"
#include "core/streams/udp_handlers.h"

class HX_ConfStorage;

namespace hx::streams {
class UdpBottomHandler;
}

class HX_UdpStreamsSupervisor : public std::enable_shared_from_this<HX_UdpStreamsSupervisor> {
 public:
  using MsgDescriptor = hx::streams::UDPListenerSocketDescriptor::MsgDescriptor;

  // Registers the bottom handler as the connector's default handler.
  HX_UdpStreamsSupervisor(HX_ConfStorage* confStorage, hx::streams::UDPCrossConnector* listener);
  ~HX_UdpStreamsSupervisor();
  HX_UdpStreamsSupervisor(const HX_UdpStreamsSupervisor&) = delete;
  HX_UdpStreamsSupervisor& operator=(const HX_UdpStreamsSupervisor&) = delete;

  HX_ConfStorage* getConfStorage() const { return m_confStorage; }
  hx::streams::UDPCrossConnector* getListener() const { return m_listener; }

  // A datagram that no handler owns: hellos go on, everything else is dropped.
  void dataFromUnknownSourceReceived(hx::streams::UDPListenerSocketDescriptor* descriptor,
                                     const MsgDescriptor& message);
  // A hello that no handler owns: handed to the trial list of the conference it names, unless
  // direct connections are forbidden, it does not read, or there is no such conference or list.
  void unknownUdpDirectHello(hx::streams::UDPListenerSocketDescriptor* descriptor,
                             const MsgDescriptor& message);
  // The bottom handler has left the connector; nothing to do.
  void onBottomHandlerDone(uint32_t handlerId);

 private:
  HX_ConfStorage* const m_confStorage;
  hx::streams::UDPCrossConnector* const m_listener;
  std::shared_ptr<hx::streams::UdpBottomHandler> m_bottomHandler;
};

namespace hx::streams {

// The connector's default handler: passes every datagram to the supervisor; sends nothing.
class UdpBottomHandler : public HandlerUDP {
 public:
  // A handler on the cross connector of the supervisor's listener; not registered yet.
  explicit UdpBottomHandler(HX_UdpStreamsSupervisor* supervisor);

  // Cuts the link to the supervisor. Afterwards events are dropped, and a registration that
  // completes later removes the handler again.
  void detach();

  void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor& message) override;
  void onReadySend(UDPListenerSocketDescriptor* /*descriptor*/) override {}
  void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>& handler, bool ok) override;
  void removedFromCcnNotify(HandlerUDP* handler) override;

 private:
  // The supervisor for one event; empty once it is detached or on its way out.
  std::shared_ptr<HX_UdpStreamsSupervisor> supervisor();

  HXLock m_lock;  // guards the link only; never held during a call
  HX_UdpStreamsSupervisor* m_supervisor;
};

}  // namespace hx::streams
