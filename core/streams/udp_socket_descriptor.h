#pragma once
// UDPListenerSocketDescriptor: the cross connector's link in one UDP listener socket's callback
// chain. It dispatches the socket's events to the handlers tied to that socket:
// - each datagram to the handler that owns its source address, else to the connector's default
//   handler, else nowhere; a one-entry cache (last source, its handler) spares the lookup for
//   consecutive datagrams from one source;
// - each send opportunity to one of the handlers that asked for it, in turn;
// - each socket timer to the handler that armed it.
// Before and after every event it runs the connector's queue when operations wait.
//
// The descriptor is created and destroyed by the connector's operations, and every call on it
// runs on the network loop's thread; it has no lock. Handlers are held by plain pointer: the
// connector removes a handler here before its table lets go of it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "core/net/address/sock_addr.h"
#include "core/net/socket/socket_callbacks.h"

namespace hx::streams {

class HandlerUDP;
class ListenerSocketUDP;
class UDPCrossConnector;

// Orders socket addresses by protocol, address with scope, then port.
struct SockAddrLess {
  bool operator()(const HXSockAddr& a, const HXSockAddr& b) const { return a.cmp(b) < 0; }
};

class UDPListenerSocketDescriptor : public HX_SocketCallbackLink {
 public:
  // One received datagram; valid only during the dispatch call (the bytes live in the
  // connector's receive buffer).
  struct MsgDescriptor {
    const uint8_t* data = nullptr;
    size_t size = 0;
    HXSockAddr source;
    HXSockAddr local;  // the socket's bound address
  };

  // The socket timer id that is never handed out.
  static constexpr uint32_t kNoTimerId = UINT32_MAX;

  // Links itself on top of the socket's callback chain.
  UDPListenerSocketDescriptor(UDPCrossConnector* connector, ListenerSocketUDP* socket);
  UDPListenerSocketDescriptor(const UDPListenerSocketDescriptor&) = delete;
  UDPListenerSocketDescriptor& operator=(const UDPListenerSocketDescriptor&) = delete;
  // Unlinks itself when still linked.
  ~UDPListenerSocketDescriptor() override;

  // Takes the descriptor out of the socket's chain: no event reaches it afterwards.
  void unlink();

  ListenerSocketUDP* getListenerSocket() const { return m_socket; }

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

  // Used by the connector's operations and the handlers' "at once" operations.
  void addHandler(uint32_t id, HandlerUDP* handler);
  // Drops the handler's send state, cache entry, timers, bindings and entry.
  void removeHandler(uint32_t id, HandlerUDP* handler);
  // False when the address belongs to a handler already.
  bool addBinding(const HXSockAddr& address, uint32_t id);
  void eraseBinding(uint32_t id);
  // The first address bound to the handler; false when it has none.
  bool getHandlerAssoc(uint32_t id, HXSockAddr* address) const;
  void setSendState(uint32_t id, HandlerUDP* handler, bool on);
  void timerControl(bool start, uint32_t id, HandlerUDP* handler, uint32_t type, uint64_t ms);

 private:
  struct RecvCacheEntry {
    HandlerUDP* handler = nullptr;
    std::unordered_map<uint32_t, uint32_t> timers;  // timer type -> socket timer id
  };
  struct SendCacheEntry {
    uint32_t id;
    HandlerUDP* handler;
  };
  struct SockTimerEntry {
    uint32_t handlerId;
    uint32_t type;
  };

  void receiveOne();
  void serveOneSender();
  void runPendingOps();
  void startTimer(uint32_t id, RecvCacheEntry& entry, uint32_t type, uint64_t ms);
  void stopTimer(uint32_t socketTimerId);
  uint32_t nextSocketTimerId();

  HXSockAddr m_cacheAddr;
  HandlerUDP* m_cacheHandler = nullptr;
  std::unordered_map<uint32_t, RecvCacheEntry> m_handlers;
  std::map<HXSockAddr, uint32_t, SockAddrLess> m_bindings;
  std::vector<SendCacheEntry> m_sendList;
  size_t m_sendIndex = 0;
  std::unordered_map<uint32_t, SockTimerEntry> m_socketTimers;  // by socket timer id
  uint32_t m_timerSequence = kNoTimerId;                        // the first id taken is 0
  UDPCrossConnector* const m_connector;
  ListenerSocketUDP* const m_socket;
  bool m_linked = false;
};

}  // namespace hx::streams
