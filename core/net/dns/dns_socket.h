#pragma once
// HXDNSSocket: one of the DNS client's two UDP sockets (IPv4 and IPv6), bound to the wildcard
// address of its family and a port of the system's choice. It is its own callback object and
// passes its events to its owner, the DNS client: datagrams received, readiness to send, bind
// reports, errors and the client's timers.
//
// Threads: reBind may be called from any thread (under the client's lock); every callback runs
// on the loop's thread. The owner is cleared on the loop's thread before the client goes away.

#include <atomic>
#include <cstdint>

#include "core/net/socket/socket_handy.h"

class HXDNSHandler;

class HXDNSSocket : public HXZUDPSocketHandy {
 public:
  HXDNSSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol);

  void setOwner(HXDNSHandler* owner) { m_owner.store(owner); }
  // AF_INET or AF_INET6, fixed at creation.
  int family() const { return m_family; }

  // Binds anew: at once when there is no descriptor, else after the close it starts.
  void reBind();

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnBoundLocal(bool ok) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

 private:
  void reBindInt();

  const int m_family;
  std::atomic<HXDNSHandler*> m_owner{nullptr};
  std::atomic<bool> m_rebinding{false};
};
