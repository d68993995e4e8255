#pragma once
// UdpHandlersListBase: what the peer-to-peer UDP lists (trial and regular) share: the UDP streams
// supervisor, through which they reach the conference store and the listener's cross connector,
// the registration callbacks they receive for their handlers, and the way a list lets a handler
// go.
//
// Thread safety: the supervisor pointer never changes; releaseHandler may be called on any
// thread.

#include <memory>

#include "core/streams/udp_handlers.h"

class HX_UdpStreamsSupervisor;

namespace hx::streams {

class UdpHandlersListBase : public HandlerUDPRegistratorCallbacks {
 public:
  // `supervisor` must outlive the list.
  explicit UdpHandlersListBase(HX_UdpStreamsSupervisor* supervisor) : m_supervisor(supervisor) {}

  HX_UdpStreamsSupervisor* getSupervisor() const { return m_supervisor; }

  // Cuts the handler off from its list (both callbacks), then has the connector remove it
  // (queued). No notification of that handler reaches the list afterwards. A handler whose
  // registration is still on its way removes itself when it lands without an owner.
  static void releaseHandler(UdpDirectHandler& handler) {
    handler.clearDataCallback();
    handler.clearRegistratorCallback();
    handler.DeleteLater();
  }

 private:
  HX_UdpStreamsSupervisor* const m_supervisor;
};

}  // namespace hx::streams
