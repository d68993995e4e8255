#pragma once
// The user side of the UDP cross connector (udp_cross_connector.h): HandlerUDP is what the
// connector registers, ties to one listener socket and feeds with the datagrams, send
// opportunities and timers of that socket. Its owner (a stream list, the UDP streams supervisor)
// talks to the connector through it: requests that go through the connector's queue, and "at
// once" operations on the socket descriptor that are only allowed inside a descriptor callback.
//
// The redirectors pass a handler's events (HandlerUDPDataCallbacks) and its registration results
// (HandlerUDPRegistratorCallbacks) on to an owner held by weak pointer, so that the owner may go
// away while the connector still holds the handler: events for a gone owner are dropped.
// UdpDirectHandler combines both for the peer-to-peer UDP lists.
//
// Threads: every notification and event runs on the network loop's thread. The queued requests
// may be made from any thread. Id, socket id and state are written on the loop's thread and may
// be read anywhere. The redirectors' owners may be set and cleared from any thread; an event
// holds its owner by shared pointer for the length of the call, so an owner is never destroyed
// inside its own callback.

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/base/lock.h"
#include "core/net/address/sock_addr.h"
#include "core/streams/udp_socket_descriptor.h"

namespace hx::streams {

class HandlerUDP;
class UDPCrossConnector;

// Codes of HandlerUDP::onError; only 0 is given (an error on the handler's socket).
enum class HandlerErrors : uint32_t { socketError = 0 };

// What the connector tells about a handler's registration. All do nothing by default.
class HandlerUDPRegistratorCallbacks {
 public:
  virtual ~HandlerUDPRegistratorCallbacks() = default;
  virtual void assocFromAddrNotify(HandlerUDP* /*handler*/, bool /*ok*/) {}
  virtual void connectedToSocketNotify(HandlerUDP* /*handler*/) {}
  virtual void disconnectedFromSocketNotify(HandlerUDP* /*handler*/, uint32_t /*socketId*/) {}
  virtual void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>& /*handler*/, bool /*ok*/) {}
  virtual void removedFromCcnNotify(HandlerUDP* /*handler*/) {}
};

class HandlerUDP : public virtual HandlerUDPRegistratorCallbacks {
 public:
  using MsgDescriptor = UDPListenerSocketDescriptor::MsgDescriptor;

  static constexpr uint32_t NoHandlerId = 0;
  // Values of getState().
  static constexpr uint32_t kNotRegistered = 0;
  static constexpr uint32_t kRegistered = 1;
  static constexpr uint32_t kTied = 2;

  // `connector` must outlive the handler's requests.
  explicit HandlerUDP(UDPCrossConnector* connector) : m_connector(connector) {}
  HandlerUDP(const HandlerUDP&) = delete;
  HandlerUDP& operator=(const HandlerUDP&) = delete;

  uint32_t getHandlerUdpId() const { return m_handlerId.load(std::memory_order_acquire); }
  uint32_t getSocketId() const { return m_socketId.load(std::memory_order_acquire); }
  uint32_t getState() const { return m_state.load(std::memory_order_acquire); }
  UDPCrossConnector* getConnector() const { return m_connector; }

  // Requests through the connector's queue (any thread).
  void DeleteLater();
  void changeSocket(uint32_t socketId, const HXSockAddr* address);
  void setSendStateAsync(bool on);
  void startTimer(uint32_t type, uint64_t ms);
  void stopTimer(uint32_t type);
  void assocFromAddrAsync(const HXSockAddr& address);

  // At once on the descriptor: only inside one of its callbacks, on the loop's thread.
  void setSendState(UDPListenerSocketDescriptor* descriptor, bool on);
  void startTimer(UDPListenerSocketDescriptor* descriptor, uint32_t type, uint64_t ms);
  void stopTimer(UDPListenerSocketDescriptor* descriptor, uint32_t type);
  // With `replace` the handler's own bindings on the descriptor go first. True when the address
  // was free and is now bound to this handler.
  bool assocFromAddr(UDPListenerSocketDescriptor* descriptor, const HXSockAddr& address,
                     bool replace);

  // Called by the connector on the loop's thread.
  void setHandlerUdpId(uint32_t id) { m_handlerId.store(id, std::memory_order_release); }
  void onHandlerRegisteredByCcn(const std::shared_ptr<HandlerUDP>& self, bool ok);
  void onConnectedToSocket(uint32_t socketId);
  void onAssocFromAddr(bool ok);
  void onDisconnectedFromSocket(uint32_t socketId);
  void onHandlerRemovedFromCcn();

  // Events of the handler's socket, called by its descriptor on the loop's thread.
  virtual void onError(HandlerErrors /*errors*/) {}
  virtual void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor& message) = 0;
  virtual void onReadySend(UDPListenerSocketDescriptor* descriptor) = 0;
  virtual void onTimer(uint32_t /*type*/) {}

 private:
  std::atomic<uint32_t> m_socketId{0};
  std::atomic<uint32_t> m_state{kNotRegistered};
  UDPCrossConnector* const m_connector;
  std::atomic<uint32_t> m_handlerId{NoHandlerId};
};

// The interface of a handler's owner for the handler's events.
class HandlerUDPDataCallbacks {
 public:
  virtual ~HandlerUDPDataCallbacks() = default;
  virtual void onRecvMsgImp(HandlerUDP* handler, UDPListenerSocketDescriptor* descriptor,
                            const HandlerUDP::MsgDescriptor& message) = 0;
  virtual void onReadySendImp(HandlerUDP* handler, UDPListenerSocketDescriptor* descriptor) = 0;
  virtual void onErrorImp(HandlerUDP* /*handler*/, HandlerErrors /*errors*/) {}
  virtual void onTimerImp(HandlerUDP* /*handler*/, uint32_t /*type*/) {}
};

// Passes the handler's events to its owner, with itself as the handler.
class HandlerUDPDataCallbacksRedirector : public HandlerUDP {
 public:
  using HandlerUDP::HandlerUDP;

  void setDataCallback(std::weak_ptr<HandlerUDPDataCallbacks> owner);
  void clearDataCallback();
  // Empty when the owner is gone or unset.
  std::shared_ptr<HandlerUDPDataCallbacks> getDataCallback() const;

  void onError(HandlerErrors errors) override;
  void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor& message) override;
  void onReadySend(UDPListenerSocketDescriptor* descriptor) override;
  void onTimer(uint32_t type) override;

 private:
  mutable HXLock m_lock;  // guards the weak pointer only; never held during a call
  std::weak_ptr<HandlerUDPDataCallbacks> m_owner;
};

// Passes the registration results to the owner. A handler that is registered while its owner is
// gone (or was never set) asks the connector to remove it, so that none stays without an owner.
class HandlerUDPRegistratorCallbacksRedirector : public virtual HandlerUDPRegistratorCallbacks {
 public:
  void setRegistratorCallback(std::weak_ptr<HandlerUDPRegistratorCallbacks> owner);
  void clearRegistratorCallback();

  void assocFromAddrNotify(HandlerUDP* handler, bool ok) override;
  void connectedToSocketNotify(HandlerUDP* handler) override;
  void disconnectedFromSocketNotify(HandlerUDP* handler, uint32_t socketId) override;
  void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>& handler, bool ok) override;
  void removedFromCcnNotify(HandlerUDP* handler) override;

 private:
  std::shared_ptr<HandlerUDPRegistratorCallbacks> owner() const;

  mutable HXLock m_lock;  // guards the weak pointer only; never held during a call
  std::weak_ptr<HandlerUDPRegistratorCallbacks> m_owner;
};

// The handler of a peer-to-peer UDP list entry: both redirectors, and the key under which the
// owning list files it. The constructor registers nothing and both owners start empty.
class UdpDirectHandler : public HandlerUDPDataCallbacksRedirector,
                         public HandlerUDPRegistratorCallbacksRedirector {
 public:
  UdpDirectHandler(UDPCrossConnector* connector, uint32_t inListId)
      : HandlerUDPDataCallbacksRedirector(connector), m_inListId(inListId) {}

  uint32_t getInListId() const { return m_inListId; }

 private:
  const uint32_t m_inListId;
};

}  // namespace hx::streams
