#pragma once
// HX_ListenerTCP: the TCP listener of the network listener, one listening socket per local
// address (listener_socket_tcp.h). A re-bind stops the sockets whose address has gone and starts
// one on every new address; each binds on the loop's thread and reports there, and the listener
// is bound once every socket it keeps is. A socket that cannot bind is dropped.
//
// Accepted connections go to the accept router (listener_accept.h) on the loop's thread.
//
// Threads: re-binds, stops and queries may come from any thread; the socket map is guarded by
// the listener's lock. The binding runs as a network job that reaches the listener through a
// shared guard: the destructor clears it, waiting for a job in progress, so that a job left in
// the loop after the listener is gone does nothing.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/lock.h"
#include "core/streams/listener_socket_holder.h"

namespace hx::streams {
class ListenerSocketTCP;
}

class HX_ListenerTCP : public hx::streams::ListenerSocketHolder {
 public:
  explicit HX_ListenerTCP(HX_NetListener* owner);
  // Stops the sockets. Not from inside the owner's onListenerBound.
  ~HX_ListenerTCP() override;

  std::vector<HXSockAddr> getListenerBindings() override;
  Type getListenerType() const override { return kTcp; }
  void stopListener() override;
  HXLock& getLock() override { return m_lock; }

 protected:
  int reBindImpNL(const HXIpIfAddrSet& interfaces) override;

 private:
  struct Guard {
    std::mutex mutex;
    HX_ListenerTCP* listener;
  };
  class BindTask;

  bool addListenerNL(const HXSockAddr& address);
  // The next id after the last one given out, skipping 0, the all-ones value and ids in use; 0
  // when none is free.
  uint32_t nextIdNL() const;
  // Loop thread: binds the socket `socketId` if it is still kept, and reports.
  void bindSocket(uint32_t socketId);

  const std::shared_ptr<Guard> m_guard;
  HXLock m_lock;
  uint32_t m_lastId = 0;
  std::map<uint32_t, hx::streams::ListenerSocketTCP*> m_sockets;
};
