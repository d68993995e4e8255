#pragma once
// HXZTransportConnection: the TCP socket under the transport, an IPv4 client socket with its TLS
// layer (unless TLS is denied process-wide) and its proxy layer. Its owner, the transport, sits
// on top of the socket's callback chain and receives every event.
//
// Threads: made and stopped by the transport on any thread; events arrive on the network loop
// thread, which also deletes the socket after stop.

#include <atomic>

#include "core/net/socket/common_socket.h"
#include "core/net/socket/native_socket_details.h"

class HXSockAddr;
class HXZTransport;

class HXZTransportConnection : public HXZCommonSocket {
 public:
  // The four integers (handle, family, type, protocol) are those of the loop's socket factory;
  // the socket is always an IPv4 TCP client socket.
  HXZTransportConnection(HXZASocketHelper* helper, int handle, int family, int type, int protocol);

  // Puts `owner` on top of the callback chain; it receives the socket's events and errors.
  void setOwner(HXZTransport* owner);
  // Takes the owner off the chain, closes the socket and has the loop delete it.
  void stop();

  // TCP keep-alive on (the three values are not used by the socket layer).
  void tuneKeepAlive(int probes, int idle, int interval);
  // No-delay on.
  void tuneSocketParams();
  // Bytes sent but not yet acknowledged by the peer.
  long getSendQueueSize();

  HXZADataHandler* getHandler() { return this; }
  HXZNativeSocketDetails GetTransportAddress() const;
  // The live local address; false without a descriptor.
  bool getLocalBind(HXSockAddr& address) const;

  // Logs the pending socket error and tells the owner.
  void OnError() override;

 private:
  std::atomic<HXZTransport*> m_owner{nullptr};  // cleared by stop on any thread
};
