#pragma once
// The two UDP receive handlers. HX_ReceiverUDPMCast takes over a successful multicast trial's
// socket into a receiving multicast connection with the target's key, and sets up the receive
// queue for the relay: no feedback, video mode 2 (ask for a key frame and go on) for the VPx
// family and H.264, 0 for every other codec. HX_ReceiverUDPDirect sits on the peer's shared
// direct list: the queue gives feedback (resend requests, statistics) to the peer's sender.
// Either queue's requests leave on the conference's send stream.
//
// Threads: as HX_ReceiverUDPBase; the set-ups run under the stream lock.

#include <memory>

#include "core/streams/udp_receiver_base.h"

class HX_ConnectionUdpDirect;

class HX_ReceiverUDPMCast : public HX_ReceiverUDPBase {
 public:
  using HX_ReceiverUDPBase::HX_ReceiverUDPBase;
  // Null (logged) when the trial is no multicast trial or its socket cannot be taken over.
  HX_MediaStreamRegularConnection* createRegularFromTrial(
      HX_MediaStreamTrialConnection* trial) override;
  // The queue's video mode for a codec's four-character code.
  static int videoModeOf(uint32_t fourcc);
};

class HX_ReceiverUDPDirect : public HX_ReceiverUDPBase {
 public:
  using HX_ReceiverUDPBase::HX_ReceiverUDPBase;
  // Sets the receive queue up for the shared direct list `direct`.
  void setConnection(const std::shared_ptr<HX_ConnectionUdpDirect>& direct);
  using HX_ReceiverUDPBase::setConnection;
};
