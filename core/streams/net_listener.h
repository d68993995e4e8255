#pragma once
// HX_NetListener: the listener of direct connections from peers. It owns the TCP listener
// (listener_tcp.h), made with it, and the UDP listener (listener_udp.h), installed on request
// with the configured port. Both listen on every local address they are re-bound to; whenever
// one of them has completed a binding, the bound addresses go to the transport session, which
// advertises them to peers as the client's acceptors.
//
// Threads: every operation may be called from any thread; the listeners' pointers are guarded by
// the object's lock, which is never held while a listener is deleted. The listeners report on
// the loop's thread.
//
// Lifetime: the UDP listener is deleted on the loop's thread, by a network job after its
// shutdown (onListenerShutdownCompleted). The destructor stops both listeners and, off the
// loop's thread, waits for that job; on the loop's thread it leaves the UDP listener to delete
// itself. Destroying this object from inside the session's onAcceptorsListUpdated is not
// supported.

#include <cstdint>
#include <memory>

#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/address/if_addr_set.h"

class HX_ListenerTCP;
class HX_ListenerUDP;
class HX_TransportSession;

class HX_NetListener {
 public:
  // `session` (null: no one) hears of the acceptors; it outlives this object.
  explicit HX_NetListener(HX_TransportSession* session);
  HX_NetListener(const HX_NetListener&) = delete;
  HX_NetListener& operator=(const HX_NetListener&) = delete;
  virtual ~HX_NetListener();

  // Makes the UDP listener on `port` (49152 when it is below 1024) unless one exists. True.
  bool installUDP(uint16_t port);
  // Re-binds both listeners to the addresses of `interfaces`; whether either accepted.
  bool reBind(const HXIpIfAddrSet& interfaces);
  // Stops both listeners; the UDP listener goes away once its shutdown has ended.
  void stopListener();

  // The bound addresses; empty while either listener is binding.
  virtual HXZAcceptorInfo getAcceptorInfo() const;
  // False, filling nothing, while either listener is binding; else the TCP bindings and, with a
  // UDP listener, the UDP ones.
  bool getListenerInfo(HXZAcceptorInfo* info) const;

  // From the listeners (type 0 TCP, 1 UDP).
  void onListenerBound(int type);
  // The UDP listener's shutdown has ended: deletes it (loop thread). The TCP listener has none.
  void onListenerShutdownCompleted(int type);

 private:
  HX_TransportSession* const m_session;
  mutable HXLock m_lock;
  std::unique_ptr<HX_ListenerTCP> m_tcp;
  HX_ListenerUDP* m_udp = nullptr;  // owned; deleted on the loop's thread (see above)
  HXEvent m_udpGone{false};
};
