#pragma once
// HX_UdpMcastSocket: the UDP socket of a multicast media connection. It carries the trial's
// socket scenario (bind, tune, join) and routes the loop's events to the step in progress while
// a scenario runs, and to its owner (the trial or regular connection) otherwise.
//
// Threads: events arrive on the loop thread. The owner is set before the socket is used and
// cleared on the loop thread before the owner goes, so no event reaches a destroyed owner; the
// socket itself is deleted on the loop (GC).

#include <atomic>
#include <cstdint>

#include "core/net/loop/socket_scenario.h"
#include "core/net/socket/socket_handy.h"

class HX_UdpMcastSocket;

// What a multicast connection hears from its socket.
class HX_UdpMcastSocketOwner {
 public:
  virtual ~HX_UdpMcastSocketOwner() = default;
  virtual void onSocketReadable(HX_UdpMcastSocket* socket) = 0;
  virtual void onSocketWritable(HX_UdpMcastSocket* socket) = 0;
  virtual void onSocketError(HX_UdpMcastSocket* socket) = 0;
  virtual void onSocketTimer(HX_UdpMcastSocket* socket, unsigned id) = 0;
  // The socket's scenario ended.
  virtual int32_t onSocketScenarioDone(HX_UdpMcastSocket* socket, bool ok) = 0;
};

class HX_UdpMcastSocket : public HXZUDPSocketHandy, public HXSocketScenarioBase {
 public:
  HX_UdpMcastSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol);
  HX_UdpMcastSocket(HXZASocketHelper* helper, HXZADataHandler& other);

  void setOwner(HX_UdpMcastSocketOwner* owner) { m_owner.store(owner); }

  // Socket options through the helper: -1 (or a negative size) on failure.
  int64_t option0(int function) { return Parent()->Ioctl_0(function, this); }
  int64_t option1(int function, intptr_t a) { return Parent()->Ioctl_1(function, this, a); }
  int64_t option2(int function, intptr_t a, intptr_t b) {
    return Parent()->Ioctl_2(function, this, a, b);
  }

  HXZASocket* getSocketObject() override { return this; }
  const HXZASocket* getSocketObject() const override { return this; }
  int32_t onScenarioDone(HXZASocket* socket, HXZADataHandler* handler, bool ok) override;
  void setCurrentAction(HXSocketActionBase* action) override { m_current = action; }

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnBoundLocal(bool ok) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

 private:
  std::atomic<HX_UdpMcastSocketOwner*> m_owner{nullptr};
  HXSocketActionBase* m_current = nullptr;
};
