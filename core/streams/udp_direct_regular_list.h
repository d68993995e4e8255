#pragma once
// UdpReglDirectStreamList: the handlers of one peer's finished direct UDP trials, kept for the
// media. It takes the finished attempts over from the conference's trial list, chooses the
// current connection (the lowest known round-trip time among those still tied to a socket),
// sends through it and turns the cross connector's events into calls for the media connection
// (the pure notify* operations, supplied by HX_ConnectionUdpDirect).
//
// Threads: the connector's events arrive on the network loop's thread; the media connections
// call Send, setSendState, startTimer and getSndBufSize from their own threads. The list's own
// lock guards the connection map and the current connection (the list may get events before a
// media connection is attached, so it cannot borrow theirs); it is recursive and held during no
// notification, so a media connection may take the conference lock inside one. The state is
// atomic. Send only works inside
// notifyOnReadyToSend or notifyDataReceived: the socket descriptor of the event is known only
// there.
//
// Lifetime: held by shared pointer (the handlers hold it by weak pointer). The destructor
// releases every handler it still holds, so that no handler keeps a peer's address bound after
// its list is gone.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/base/lock.h"
#include "core/net/address/sock_addr.h"
#include "core/streams/udp_direct_list_base.h"
#include "core/streams/udp_direct_trial_connection.h"
#include "core/streams/udp_handlers.h"

class ConferenceLock;

namespace hx::streams {

// What the regular list keeps of a finished trial's connection.
struct UdpDConnInfo {
  int32_t epn = 0;
  HXSockAddr local;
  HXSockAddr remote;
  std::string peerName;
  uint32_t socketId = 0;
  uint64_t rtt = 0;  // ms; 0 while unknown
};

class UdpReglDirectStreamList : public UdpHandlersListBase,
                                public HandlerUDPDataCallbacks,
                                public std::enable_shared_from_this<UdpReglDirectStreamList> {
 public:
  // 1 and 3 are tested but never entered.
  enum class State : uint32_t { idle = 0, connecting = 1, connected = 2, stopping = 3 };
  // The send buffer assumed until the socket's is known.
  static constexpr uint64_t kDefaultSndBufSize = 32768;

  explicit UdpReglDirectStreamList(HX_UdpStreamsSupervisor* supervisor);
  ~UdpReglDirectStreamList() override;

  // Takes over the peer's finished trials from the conference's trial list. The conference lock
  // is left as it came (held, temporarily released, or not held). True when a current
  // connection was chosen (state 2).
  bool createRegularHandlers(ConferenceLock& lock, const std::string& peerName);
  // Takes one finished attempt: its connection and its handler (moved out on success). False
  // when a connection is filed under that handler's id already. Use with the stream lock free.
  bool takeAttempt(const udp::TrialDirectConnection& connection,
                   std::shared_ptr<UdpDirectHandler>& handler);
  // Chooses the current connection anew; false when none is usable.
  bool selectCurrent();

  // One datagram to the current connection's remote address; the socket's result (bytes sent),
  // 0 outside an event or without a current connection. These five are virtual so that a test
  // can stand a recording list in the media connections' way.
  virtual size_t Send(const void* data, size_t size);
  virtual bool setSendState(bool on);
  virtual bool startTimer(uint32_t type, uint64_t ms);
  virtual uint64_t getSndBufSize();
  virtual bool hasIPv6();
  bool isConnected() const { return isState(State::connected); }
  bool isConnecting() const { return isState(State::connecting); }
  bool isState(State state, std::memory_order order = std::memory_order_acquire) const {
    return m_state.load(order) == static_cast<uint32_t>(state);
  }
  // Releases every handler and returns to state 0; false in state 3.
  bool stopHandlers();

  // Registration callbacks.
  void disconnectedFromSocketNotify(HandlerUDP* handler, uint32_t socketId) override;
  void removedFromCcnNotify(HandlerUDP* handler) override;
  // Data callbacks.
  void onRecvMsgImp(HandlerUDP* handler, UDPListenerSocketDescriptor* descriptor,
                    const HandlerUDP::MsgDescriptor& message) override;
  void onReadySendImp(HandlerUDP* handler, UDPListenerSocketDescriptor* descriptor) override;
  void onTimerImp(HandlerUDP* handler, uint32_t type) override;

 protected:
  virtual void notifyConnectionBreak() = 0;
  virtual void notifyHandlersStopped() = 0;
  virtual void notifyTimerExp(uint32_t type) = 0;
  virtual void notifyDataReceived(const uint8_t* data, size_t size) = 0;
  virtual bool notifyOnReadyToSend() = 0;
  virtual bool getConferenceLock(ConferenceLock& lock) = 0;

 private:
  struct RegularConn {
    UdpDConnInfo info;
    std::shared_ptr<UdpDirectHandler> handler;
    uint64_t sndBufSize = 0;  // 0 until read from the socket
    bool disconnected = false;
    uint32_t handlerId = 0;
  };
  using ConnMap = std::unordered_map<uint32_t, RegularConn>;

  // Under m_lock.
  void chooseCurrentNL();
  // Releases the connection's handler and erases it; when it was current, chooses again. True
  // when that left no current connection (the caller reports the break, lock released).
  bool removeHandlerNL(ConnMap::iterator it);

  mutable HXLock m_lock;
  ConnMap m_connections;
  RegularConn* m_current = nullptr;
  uint32_t m_sendStateHandlerId = 0;
  bool m_invited = false;
  std::atomic<uint32_t> m_state{static_cast<uint32_t>(State::idle)};
  std::atomic<UDPListenerSocketDescriptor*> m_descriptor{nullptr};  // during one event only
};

}  // namespace hx::streams
