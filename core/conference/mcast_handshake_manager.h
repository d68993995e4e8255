#pragma once
// The handshake managers of a stream relayed through the server's multicast relay. Each step
// reads the multicast endpoint that the server gave for the stream (group address and key), finds
// the local interface to use (the one of the server connection's local address; for a group of
// the other family, that interface's address of the group's family) and starts one multicast
// trial towards the group on it. Anything missing ends the attempt (result 4, -1).
//
// Threads: createStream runs on the worker pool's jobs, outside the base's lock; it holds the
// conference's lock (the store's write lock) for the whole step.

#include <cstdint>
#include <string>

#include "core/transport/handshake_manager.h"

class HXAIpAddressBase;
class HXIfIpAddrContainer;
class HXIpIfListItem;
class HXSockAddr;
class HX_MediaConnectionTrialUDPMcast;
class HX_MediaStreamBase;

namespace hx::conference {

// The interface entry a multicast stream uses: the entry of `local`, or, when `groupFamily`
// (4 or 6) differs from the local address's, the entry of that family on the same interface.
// Null when there is none (or the interface has no index).
const HXIpIfListItem* selectMcastInterface(const HXIfIpAddrContainer& interfaces,
                                           const HXSockAddr& local, uint8_t groupFamily);

}  // namespace hx::conference

class ConfHandshakeManagerUDPMCast : public HXHandshakeManagerBase {
 public:
  ConfHandshakeManagerUDPMCast(HX_MediaStreamBase* stream, uint64_t trialLimit);

  // A new trial on a new UDP socket of the loop, for the stream's handler.
  virtual HX_MediaConnectionTrialUDPMcast* createTrialStream() = 0;

 protected:
  int createStreamInt(CreateStreamResult& result, const std::string& peerId, int32_t clientType);

  HX_MediaStreamBase* const m_stream;
};

class SenderHandshakeManagerUDPMcast : public ConfHandshakeManagerUDPMCast {
 public:
  using ConfHandshakeManagerUDPMCast::ConfHandshakeManagerUDPMCast;
  int createStream(CreateStreamResult& result) override;
  HX_MediaConnectionTrialUDPMcast* createTrialStream() override;
};

class ReceiverHandshakeManagerUDPMcast : public ConfHandshakeManagerUDPMCast {
 public:
  using ConfHandshakeManagerUDPMCast::ConfHandshakeManagerUDPMCast;
  int createStream(CreateStreamResult& result) override;
  HX_MediaConnectionTrialUDPMcast* createTrialStream() override;
};
