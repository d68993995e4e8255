#pragma once
// HXZCommonSocket: the client TCP socket of the core (transport connection, check and zero
// handshakes, media-stream connections, the proxy's own sockets). It has two layer slots on top
// of its callback chain: a TLS layer and a proxy layer.
//
// In this build both slots stay empty and the socket connects directly: the TLS layer step
// fills in the creation of its layer in the constructor, taking it over on adoption, and
// Connect, Close, Send, Recv and GetTlsContext going through it; the proxy step fills in its
// layer, Reconnect, and Connect and Close going through it.
//
// Threads: as every socket; the static settings may be changed from any thread and are read
// when a socket is made.

#include <atomic>
#include <memory>

#include "core/net/socket_handy.h"
#include "core/net/tls_handler.h"

class HXZTcpProxyHandler;

class HXZCommonSocket : public HXZTCPSocketHandy {
 public:
  // No descriptor yet (the loop makes one of the endpoint's family when it connects): IPv4,
  // stream, TCP. The flags ask for the layers (TLS only while it is not denied).
  HXZCommonSocket(HXZASocketHelper* helper, bool with_tls, bool with_proxy);
  // Takes over the connection of `other`.
  HXZCommonSocket(HXZASocketHelper* helper, HXZADataHandler& other);

  void KillTlsHandler() { m_tls.reset(); }
  void KillProxyHandler() { m_proxy.reset(); }

  // No TLS layer for sockets made while denied.
  static void SetDenyTLS(bool deny) { TlsDenied.store(deny); }
  // The TLS mode of sockets made afterwards (0 off, 2 on).
  static void SetDefaultTlsMode(int mode) { s_defaultTlsMode.store(mode); }
  static int GetDefaultTlsMode() { return s_defaultTlsMode.load(); }

  static std::atomic<bool> TlsDenied;

 private:
  static std::atomic<int> s_defaultTlsMode;

  std::shared_ptr<HXTLSHandler> m_tls;
  std::shared_ptr<HXZTcpProxyHandler> m_proxy;
};
