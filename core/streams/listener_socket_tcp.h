#pragma once
// ListenerSocketTCP: one listening TCP socket of the TCP listener, on one local address. It
// prefers the well-known ports 44307 to 44310, so that peers behind the same firewall rules find
// it again, and takes a port of the system's choice when all four are taken.
//
// Once bound it accepts connections on the loop's thread and hands them to the accept router.
//
// Threads: start and stop may be called from any thread under the TCP listener's lock;
// bindAndListen runs on the loop's thread under that lock too. The state is atomic.

#include <atomic>
#include <cstdint>

#include "core/net/address/sock_addr.h"
#include "core/net/socket/socket_handy.h"

namespace hx::streams {

class ListenerSocketTCP : public HXZTCPSocketHandy {
 public:
  enum State : int { kIdle = 0, kStarting = 1, kBound = 2, kFailed = 3 };
  static constexpr uint16_t kFirstPort = 44307;
  static constexpr uint16_t kLastPort = 44310;

  // A socket of `family` (AF_INET, AF_INET6) on the network loop, without descriptor yet.
  static ListenerSocketTCP* create(int family);
  using HXZTCPSocketHandy::HXZTCPSocketHandy;

  // Keeps `address` (its port is ignored) and moves to "starting"; false unless idle.
  bool start(const HXSockAddr& address);
  // Binds the address with the first free one of the well-known ports, else port 0, and listens.
  // On success the bound address is the actual one and the state "bound"; otherwise "failed".
  // Loop thread, only from "starting".
  bool bindAndListen();
  // Closes the socket and has it deleted on the loop; the object is gone afterwards. Once.
  void stop();
  // Loop thread: takes one waiting connection and hands it to the accept router
  // (listener_accept.h).
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;

  State state() const { return m_state.load(std::memory_order_acquire); }
  // The address asked for until bound, the actual one afterwards.
  HXSockAddr getBoundAddress() const { return m_bound; }
  uint32_t getSocketId() const { return m_socketId; }
  void setSocketId(uint32_t id) { m_socketId = id; }

 private:
  bool bindWithFallback(int handle);

  HXSockAddr m_bound;
  uint32_t m_socketId = 0;
  std::atomic<State> m_state{kIdle};
  std::atomic<bool> m_stopped{false};
};

}  // namespace hx::streams
