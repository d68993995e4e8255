#include "core/streams/udp_sender_mcast.h"

#include "core/base/ios_log.h"
#include "core/base/lock.h"
#include "core/conference/model/conference.h"
#include "core/net/loop/zserver.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/udp_mcast_connection.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/streams/udp_stream_lock.h"

HX_MediaStreamRegularConnection* HX_SenderUDPMCast::createRegularFromTrial(
    HX_MediaStreamTrialConnection* trial) {
  auto* mcast = dynamic_cast<HX_MediaConnectionTrialUDPMcast*>(trial);
  HX_UdpMcastSocket* socket =
      mcast != nullptr ? HXZServer::inheritNative<HX_UdpMcastSocket>(mcast->socket()) : nullptr;
  if (socket == nullptr) {
    ios_log("Can't create sender UDP connection");
    return nullptr;
  }
  const HX_MediaConnectionTrialUDPMcast::ConnectTarget& target = mcast->target();
  auto* connection = new HX_SenderConnectionUDPMulticast(this, socket, target.udpKey);

  HX_MediaStreamBase* stream = owner();
  HX_UdpStreamLock lock(stream);
  uint32_t interval = 0;
  const uint32_t redundancy = stream != nullptr && stream->conference() != nullptr
                                  ? stream->conference()->getMcastRedundancy(&interval)
                                  : 0;
  setupQueues(redundancy, interval, false);
  setupSending(true, target.group.family() == 4 ? kIpv4Overhead : kIpv6Overhead);
  return connection;
}
