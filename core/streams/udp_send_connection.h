#pragma once
// HX_UdpSendConnection: what a UDP send handler needs of its regular connection beyond the
// common interface: sending one datagram, the socket's send buffer (for the pacing bucket) and
// the relay target's key. The multicast and the direct send connections implement it.
//
// Threads: sendData and getSendBufferSize are called under the owning stream's lock, from the
// network loop thread (writable notifications, timers) or an encoder thread (a first kick).

#include <cstddef>
#include <cstdint>

#include "core/streams/media_stream_connection.h"

class HX_UdpSendConnection : public HX_MediaStreamRegularConnection {
 public:
  using HX_MediaStreamRegularConnection::HX_MediaStreamRegularConnection;

  // Sends one datagram; the bytes the socket took (0 when it took none).
  virtual size_t sendData(const uint8_t* data, size_t size) = 0;
  // The socket's send buffer in bytes, 0 when unknown.
  virtual uint64_t getSendBufferSize() = 0;
  // The key of the relay target this connection sends to; 0 on a direct connection.
  virtual uint32_t udpKey() const { return 0; }
};
