#pragma once
// HX_SenderUDPMCast: the send stream's handler for a stream relayed through the server's
// multicast relay. Its connection is built from a successful multicast trial: the trial's socket
// moves into an HX_SenderConnectionUDPMulticast with the target's UDP key, and the queues are set
// up for the relay: payloads of 1400 bytes, the conference's multicast redundancy, no feedback,
// the 14-byte head on every datagram. The relay gives no ping: the connection is always alive.
//
// Threads: as HX_SenderUDPBase.

#include "core/streams/udp_sender_base.h"

class HX_SenderUDPMCast : public HX_SenderUDPBase {
 public:
  using HX_SenderUDPBase::HX_SenderUDPBase;

  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return 0; }
  void PingStream() override {}
  // Null (logged) when the trial is no multicast trial or its socket cannot be taken over.
  HX_MediaStreamRegularConnection* createRegularFromTrial(
      HX_MediaStreamTrialConnection* trial) override;
};
