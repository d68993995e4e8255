#include "core/streams/udp_receiver_handlers.h"

#include "core/base/ios_log.h"
#include "core/net/loop/zserver.h"
#include "core/streams/receiver_base.h"
#include "core/streams/sender_base.h"
#include "core/streams/udp_mcast_connection.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/wire/media_format.h"

namespace {

// The codecs whose multicast queue asks for a key frame and goes on: three VPx versions and
// H.264.
constexpr uint32_t kKeyFrameCodecs[] = {0x30387670, 0x74737670, 0x64687670, 0x34366876};

std::unique_ptr<HX_ReceiveFrameQueueNhp> NewQueue(HX_ReceiverBase* stream, bool direct,
                                                  int videoMode) {
  auto queue = std::make_unique<HX_ReceiveFrameQueueNhp>(direct, videoMode, direct);
  if (stream != nullptr) queue->setCmndProc(stream->conferenceSender());
  return queue;
}

}  // namespace

int HX_ReceiverUDPMCast::videoModeOf(uint32_t fourcc) {
  for (uint32_t codec : kKeyFrameCodecs) {
    if (codec == fourcc) return 2;
  }
  return 0;
}

HX_MediaStreamRegularConnection* HX_ReceiverUDPMCast::createRegularFromTrial(
    HX_MediaStreamTrialConnection* trial) {
  auto* mcast = dynamic_cast<HX_MediaConnectionTrialUDPMcast*>(trial);
  HX_UdpMcastSocket* socket =
      mcast != nullptr ? HXZServer::inheritNative<HX_UdpMcastSocket>(mcast->socket()) : nullptr;
  if (socket == nullptr) {
    ios_log("Can't create receiver connection");
    return nullptr;
  }
  auto* connection =
      new HX_ReceiverConnectionUDPMulticast(this, this, socket, mcast->target().udpKey);
  auto* stream = static_cast<HX_ReceiverBase*>(owner());
  HX_MediaFormat format;
  if (stream != nullptr) stream->getMediaFormat(format);
  setRecvQueue(NewQueue(stream, false, videoModeOf(format.videoCodec)), kPacketBufferSize);
  return connection;
}

void HX_ReceiverUDPDirect::setConnection(const std::shared_ptr<HX_ConnectionUdpDirect>&) {
  setRecvQueue(NewQueue(static_cast<HX_ReceiverBase*>(owner()), true, 0), kPacketBufferSize);
}
