#pragma once
// What becomes of a connection accepted by a TCP listening socket: it goes to a protocol probe
// (core/transport/tcp_proto_probe.h) with a 15000 ms limit, and the probe's signals come here.
// The receivers of incoming streams and direct pings are not part of the client yet, so every
// request is refused: the probe then closes the connection, and no refused connection stays
// open. A transport handshake is not served on these sockets either.
//
// Threads: the probe's signals run on the loop's thread; the router keeps no state.

#include <cstdint>

#include "core/wire/zero_handshake.h"

class HXZADataHandler;

namespace hx::streams {

class ListenerAcceptRouter {
 public:
  static constexpr uint32_t kProbeTimeLimitMs = 15000;

  // Hands the accepted connection of `accepted` to a new probe (loop thread). False when the
  // probe could not start; the connection is closed then.
  static bool probe(HXZADataHandler* accepted, uint32_t timeLimitMs = kProbeTimeLimitMs);

 private:
  void onStream(const HX_ZeroHandshakeFixedPart& record, HXZADataHandler* handler);
  void onPing(HXZADataHandler* handler);
  void onTransport(HXZADataHandler*) {}

  static ListenerAcceptRouter s_router;
};

}  // namespace hx::streams
