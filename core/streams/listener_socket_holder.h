#pragma once
// ListenerSocketHolder: what the TCP and the UDP listener share. A listener keeps one listening
// socket per local address; a re-bind compares its sockets with the interface addresses, drops
// the sockets whose address has gone and starts sockets on the new addresses. The listener is
// "binding" from a re-bind that started operations until the last of them has reported, and
// "bound" afterwards; only then are its addresses published (HX_NetListener::onListenerBound).
//
// Threads: reBind may be called from any thread; the operations report on the loop's thread.
// The state changes under the listener's lock (getLock), so that a report that arrives before
// the re-bind has set "binding" cannot be overwritten by it. The network listener is called
// without that lock held.

#include <atomic>
#include <vector>

#include "core/base/lock.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/sock_addr.h"

class HX_NetListener;

namespace hx::streams {

class ListenerSocketHolder {
 public:
  enum State : int { kInitial = 0, kBinding = 1, kBound = 2 };
  enum Type : int { kTcp = 0, kUdp = 1 };

  // `owner` hears of every completed binding; it outlives this listener or detaches from it.
  explicit ListenerSocketHolder(HX_NetListener* owner) : m_owner(owner) {}
  ListenerSocketHolder(const ListenerSocketHolder&) = delete;
  ListenerSocketHolder& operator=(const ListenerSocketHolder&) = delete;
  virtual ~ListenerSocketHolder() = default;

  // The bound addresses of the listening sockets. Any thread.
  virtual std::vector<HXSockAddr> getListenerBindings() = 0;
  virtual Type getListenerType() const = 0;
  // Stops every listening socket. Any thread.
  virtual void stopListener() = 0;
  virtual HXLock& getLock() = 0;

  // Re-binds to the addresses of `interfaces` (ports are the listener's own). False when the
  // listener refused. A re-bind that only dropped sockets publishes the smaller set at once.
  bool reBind(const HXIpIfAddrSet& interfaces);
  State state() const { return m_state.load(std::memory_order_acquire); }

  // Whether `bound` is one of the addresses of `interfaces` (ports not compared).
  static bool isInIfaddrList(const HXSockAddr& bound, const HXIpIfAddrSet& interfaces);

 protected:
  // Under the lock: drops and starts sockets; the number of operations started, negative when
  // the listener refuses.
  virtual int reBindImpNL(const HXIpIfAddrSet& interfaces) = 0;
  // Under the lock, when the last operation has reported: the listener is bound.
  void setBoundNL() { m_state.store(kBound, std::memory_order_release); }
  // Without the lock: the owner publishes the new addresses.
  void publishBound();
  // From now on nothing is published (the owner is going away). Loop thread.
  void detachOwner() { m_owner.store(nullptr, std::memory_order_release); }
  HX_NetListener* owner() const { return m_owner.load(std::memory_order_acquire); }

 private:
  std::atomic<HX_NetListener*> m_owner;
  std::atomic<State> m_state{kInitial};
};

}  // namespace hx::streams
