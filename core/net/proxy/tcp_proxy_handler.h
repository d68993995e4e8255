#pragma once
// The proxy layer of a client TCP socket (HXZCommonSocket). The socket's Connect and Reconnect go
// through it: it chooses how to reach the target (HX_ProxySelector), starts the protocol handler
// of the chosen configuration and passes it the socket's events from the top of the callback
// chain. When the handler has reached the target the layer removes itself and reports the socket
// writable, exactly as after a plain connect; when it fails the layer removes itself and reports
// an error to the socket.
//
// Threads: Connect and Close may be called on any thread, the socket's events come on the loop's
// thread and DNS answers on the loop's or a resolver's thread. The layer lock guards the state,
// the protocol handler and the selector. The socket's OnError and the next layer's OnClose are
// called after the lock is released.

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/base/lock.h"
#include "core/net/proxy/proxy_selector.h"
#include "core/net/socket/socket_callbacks.h"

class HXZCommonSocket;

namespace hx::netproxy {
class ProtocolHandler;
}

class HXZTcpProxyHandler : public HX_SocketCallbackLink,
                           public HX_ProxySelector,
                           public std::enable_shared_from_this<HXZTcpProxyHandler> {
 public:
  enum ProxyConnState : int32_t {
    stateIdle = 0,
    stateLookup = 1,       // choosing a configuration
    stateNegotiating = 2,  // the protocol handler runs
    stateDone = 3,
    stateClosing = 4,
    stateClosed = 5,
    stateFailed = 6,
  };

  // `socket` owns the layer.
  explicit HXZTcpProxyHandler(HXZCommonSocket* socket);
  ~HXZTcpProxyHandler() override;

  // Starts reaching `target` (only when idle, closed or failed). True when the outcome follows (or
  // has followed already); false when nothing could be started, the socket then having dropped
  // the layer.
  bool Connect(std::shared_ptr<HXZAEndpointHolder> target);
  // Stops the attempt. While it was under way the answer is false and the next layer gets OnClose
  // (unless `silent`) once the socket's close arrives; otherwise the answer is `silent`. The layer
  // does not close the native socket itself.
  bool Close(bool silent);
  int32_t GetState();

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnBoundLocal(bool ok) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

  void OnCallbackQueryA(const std::string& host, const std::vector<std::string>& list) override;
  bool onProxyFound(std::shared_ptr<hx::netproxy::Config> config, bool ok) override;

 private:
  // Ends the attempt; returns the next layer when it was under way.
  HXZASocketCallbacks* stopWithState(int32_t state);
  void switchNextState(int32_t result);
  // Takes the layer off the chain and out of the socket (the caller keeps it alive).
  void detach();
  // Calls the socket's own OnError when a failure asked for it; only without the lock held.
  void reportPendingError();
  std::shared_ptr<hx::netproxy::ProtocolHandler> currentHandler();

  HXZCommonSocket* m_socket;
  std::shared_ptr<hx::netproxy::ProtocolHandler> m_protocolHandler;
  std::atomic<bool> m_closeNotify{false};
  std::shared_ptr<hx::netproxy::Config> m_config;
  int32_t m_state = stateIdle;
  HXLock m_lock;
  std::atomic<bool> m_errorPending{false};
};
