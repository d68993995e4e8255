#pragma once
// ListenerSocketUDP: one of the UDP listener's sockets, bound to one local address. The cross
// connector (udp_cross_connector.h) gives it an id and links a descriptor into its callback
// chain, through which every datagram, send opportunity and socket timer of the socket reaches
// the UDP handlers.
//
// Threads: start runs on the caller's thread before the socket is handed to the connector; the
// bound address does not change afterwards. The socket id is written by the connector on the
// loop's thread and may be read anywhere. pushCallback, removeCallback and the receive belong to
// the loop's thread; setSendFlags, the timers and stop may be called from any thread (they are
// requests to the loop).

#include <atomic>
#include <cstdint>

#include "core/net/address/sock_addr.h"
#include "core/net/socket/socket_handy.h"

namespace hx::streams {

class ListenerSocketUDP : public HXZUDPSocketHandy {
 public:
  // The smallest buffers the socket keeps: smaller ones are raised to this.
  static constexpr int kMinBufferSize = 32768;

  // A socket of `family` (AF_INET, AF_INET6) on the network loop, without descriptor yet.
  static ListenerSocketUDP* create(int family);
  using HXZUDPSocketHandy::HXZUDPSocketHandy;

  // Binds to `address`. When its port is taken, binds the first free port of 49152..65535, then
  // of 1024..49151. Switches on the packet information of received datagrams, raises send and
  // receive buffers of 1..32767 bytes to 32768 and enables the socket's events. False (and no
  // descriptor) when no port can be bound or an option fails. Only once per socket.
  bool start(const HXSockAddr& address);
  // Closes the socket and has it deleted on the loop; the object is gone afterwards. Once.
  void stop();

  HXSockAddr getBoundAddress() const { return m_bound; }
  uint32_t getSocketId() const { return m_socketId.load(std::memory_order_acquire); }
  void setSocketId(uint32_t id) { m_socketId.store(id, std::memory_order_release); }

  // The send buffer in bytes; 0 when it cannot be read.
  int getSndBufSize();
  void pushCallback(HX_SocketCallbackLink* link) { PushCallback(link); }
  void removeCallback(HX_SocketCallbackLink* link) { RemoveCallback(link); }
  // Asks for (or stops asking for) ready-to-send events.
  bool setSendFlags(bool on) { return SendAsync(on); }

 private:
  void raiseBuffer(int getFunc, int setFunc);

  HXSockAddr m_bound;
  std::atomic<uint32_t> m_socketId{0};
  std::atomic<bool> m_stopped{false};
};

}  // namespace hx::streams
