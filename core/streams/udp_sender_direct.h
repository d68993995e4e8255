#pragma once
// HX_SenderUDPDirect: the send stream's handler for a direct UDP stream to the peer of a call.
// It shares the peer's direct list (HX_ConnectionUdpDirect) with the receive stream; datagrams
// leave bare, payloads of 1400 bytes without redundancy (the peer asks for resends), and the
// connection is kept alive by a ping every 2000 ms.
//
// Threads: as HX_SenderUDPBase.

#include <memory>

#include "core/streams/udp_sender_base.h"

class HX_ConnectionUdpDirect;

class HX_SenderUDPDirect : public HX_SenderUDPBase {
 public:
  static constexpr uint32_t kPingPeriodMs = 2000;

  using HX_SenderUDPBase::HX_SenderUDPBase;

  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return kPingPeriodMs; }
  // A Ping command, sent at once through the owning send stream.
  void PingStream() override;
  // Keeps the shared list and sets the queues and datagram shape up for it.
  void setConnection(std::shared_ptr<HX_ConnectionUdpDirect> direct);
  using HX_SenderUDPBase::setConnection;
  std::shared_ptr<HX_ConnectionUdpDirect> getConnection() const;

 private:
  std::shared_ptr<HX_ConnectionUdpDirect> m_direct;
};
