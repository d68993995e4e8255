#pragma once
// HXZCommonSocket: the client TCP socket of the core (transport connection, check and zero
// handshakes, media-stream connections, the proxy's own sockets). It can carry two layers on top
// of its callback chain: a TLS layer (HXTLSHandler) and a proxy layer (HXZTcpProxyHandler). The
// TLS layer is pushed first, so the proxy layer sits above it: the proxy exchange travels in clear
// and TLS starts through the finished tunnel (or the direct connection).
//
// Threads: as every socket. The layers drop themselves on the loop's thread while other threads
// may send, ask for writability or close, so the two layer slots are atomic. The static settings
// may be changed from any thread and are read when a socket or a TLS layer is made.

#include <atomic>
#include <memory>

#include "core/net/socket/socket_handy.h"
#include "core/net/tls/tls_handler.h"

class HXZTcpProxyHandler;

class HXZCommonSocket : public HXZTCPSocketHandy {
 public:
  // No descriptor yet (the loop makes one of the endpoint's family when it connects): IPv4,
  // stream, TCP. The flags ask for the layers (TLS only while it is not denied); neither is on
  // the chain before Connect.
  HXZCommonSocket(HXZASocketHelper* helper, bool with_tls, bool with_proxy);
  // Takes over the connection of `other`, and its TLS layer when `other` is an HXZCommonSocket.
  HXZCommonSocket(HXZASocketHelper* helper, HXZADataHandler& other);
  ~HXZCommonSocket() override;

  // With a TLS layer: resets a used one, marks TLS as requested and pushes the layer. Then
  // connects through the proxy layer when there is one, else directly. A refused request drops
  // the TLS layer.
  bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  // Connects through a new proxy layer (and without TLS once the TLS layer has gone): the TLS
  // layer's plain retry.
  bool Reconnect(std::shared_ptr<HXZAEndpointHolder> endpoint);
  // The TLS layer always hears of the close (and passes OnClose up unless `silent`); the proxy
  // layer ends its attempt. The native socket is closed in every case.
  bool Close(bool silent) override;
  // Plain bytes: through the TLS layer when there is one.
  size_t Send(const void* buffer, size_t length, int flags) override;
  size_t Recv(void* buffer, size_t length, int flags) override;
  // Through the TLS layer when there is one, which keeps writability while it has bytes to send.
  bool SendAsync(bool on) override;
  // The context of a TLS connection whose handshake completed, else null.
  HXZTLSContext* GetTlsContext() override;

  std::shared_ptr<HXTLSHandler> getTlsHandler() const { return m_tls.load(); }
  std::shared_ptr<HXZTcpProxyHandler> getProxyHandler() const { return m_proxy.load(); }
  void KillTlsHandler() { m_tls.store(nullptr); }
  void KillProxyHandler() { m_proxy.store(nullptr); }

  // No TLS layer for sockets made while denied.
  static void SetDenyTLS(bool deny) { TlsDenied.store(deny); }
  // The mode of TLS layers made afterwards (HXTLSHandler::Mode).
  static void SetDefaultTlsMode(HXTLSHandler::Mode mode) { HXTLSHandler::m_default_mode = mode; }

  static std::atomic<bool> TlsDenied;

 private:
  std::atomic<std::shared_ptr<HXTLSHandler>> m_tls;
  std::atomic<std::shared_ptr<HXZTcpProxyHandler>> m_proxy;
};
