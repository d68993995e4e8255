#pragma once
// The regular connections of a direct UDP stream: the send and the receive stream of one peer
// each hold one, both on the peer's shared HX_ConnectionUdpDirect, which they register with as
// its sender and receiver. Datagrams go out and come in bare (no multicast head); the list's
// readiness, timers and data come back through the callbacks.
//
// The sender's connRecycle stops the list (which ends both connections through
// onHandlersStopped) or, without a list, deletes itself; the receiver's unregisters, drops the
// list and deletes itself. A connection ending through onHandlersStopped first tells its handler
// (a break) and unregisters, so that the list never calls it again.
//
// Threads: send operations under the owning stream's lock; callbacks from the network loop.

#include <atomic>
#include <memory>

#include "core/streams/udp_direct_connection.h"
#include "core/streams/udp_send_connection.h"

class HX_NhpDataSink;
class HX_SenderUDPBase;

class HX_MediaConnectionUDPDirect : public HX_UdpSendConnection,
                                    public hx::streams::MediaConnUdpDirectCallbacks {
 public:
  HX_MediaConnectionUDPDirect(HX_MediaStreamNetHandler* handler,
                              std::shared_ptr<HX_ConnectionUdpDirect> direct);
  ~HX_MediaConnectionUDPDirect() override;

  void start() override { m_started.store(true); }
  size_t sendData(const uint8_t* data, size_t size) override;
  uint64_t getSendBufferSize() override;
  void setSendState(bool on) override;
  void startConnTimer(uint32_t id, uint64_t ms) override;
  // The list follows address changes itself.
  bool isReconnectRequired(const HXIfIpAddrContainer&, const HXSockAddr&) override { return false; }

  bool getConferenceLock(ConferenceLock& lock) override;
  void onConnectionBreak() override;
  void onHandlersStopped() override;

  const std::shared_ptr<HX_ConnectionUdpDirect>& direct() const { return m_direct; }

 protected:
  // Takes this connection off the list, in the role it registered as.
  virtual void unregister() = 0;
  bool started() const { return m_started.load(); }

  std::shared_ptr<HX_ConnectionUdpDirect> m_direct;

 private:
  std::atomic<bool> m_started{false};
};

class HX_SenderConnectionRegularUdpDirect : public HX_MediaConnectionUDPDirect {
 public:
  HX_SenderConnectionRegularUdpDirect(HX_SenderUDPBase* handler,
                                      std::shared_ptr<HX_ConnectionUdpDirect> direct);

  void connRecycle() override;
  bool onReadyToSend() override;
  void onTimerExpired(uint32_t type) override;
  void onDataReceived(const uint8_t*, size_t) override {}

 protected:
  void unregister() override;

 private:
  HX_SenderUDPBase* const m_sender;
};

class HX_ReceiverConnectionRegularUdpDirect : public HX_MediaConnectionUDPDirect {
 public:
  HX_ReceiverConnectionRegularUdpDirect(HX_MediaStreamNetHandler* handler, HX_NhpDataSink* sink,
                                        std::shared_ptr<HX_ConnectionUdpDirect> direct);

  void connRecycle() override;
  bool onReadyToSend() override { return false; }
  void onTimerExpired(uint32_t) override {}
  // Once started: the datagram is one NHP packet.
  void onDataReceived(const uint8_t* data, size_t size) override;

 protected:
  void unregister() override;

 private:
  HX_NhpDataSink* const m_sink;
};
