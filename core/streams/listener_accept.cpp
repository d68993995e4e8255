#include "core/streams/listener_accept.h"

#include "core/base/ios_log.h"
#include "core/net/loop/zserver.h"
#include "core/streams/stream_handshake.h"
#include "core/transport/tcp_proto_probe.h"

namespace hx::streams {

ListenerAcceptRouter ListenerAcceptRouter::s_router;

bool ListenerAcceptRouter::probe(HXZADataHandler* accepted, uint32_t timeLimitMs) {
  auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(accepted);
  if (probe == nullptr) return false;
  // The router is static: a probe that outlives any listener still signals a live object.
  probe->fireProbeStream.Connect(&s_router, &ListenerAcceptRouter::onStream);
  probe->fireProbePing.Connect(&s_router, &ListenerAcceptRouter::onPing);
  probe->fireProbeTransport.Connect(&s_router, &ListenerAcceptRouter::onTransport);
  if (probe->start(timeLimitMs)) return true;
  probe->cleanup();
  return false;
}

void ListenerAcceptRouter::onStream(const HX_ZeroHandshakeFixedPart& record, HXZADataHandler*) {
  int32_t type = 0;
  const char* conference = nullptr;
  const char* streamId = nullptr;
  const char* peerId = nullptr;
  const char* name = nullptr;
  const uint8_t* tracks = nullptr;
  if (!HX_GetStreamHandshakeFields(&record, type, conference, streamId, peerId, name, tracks)) {
    ios_log("Listener: unreadable stream request closed");
    return;
  }
  // Left to the probe, which closes the connection.
  ios_log("Listener: stream request (type %d) for conference %s refused: incoming streams are "
          "not accepted", type, conference);
}

void ListenerAcceptRouter::onPing(HXZADataHandler*) {
  ios_log("Listener: direct ping refused: direct accepts are not served");
}

}  // namespace hx::streams
