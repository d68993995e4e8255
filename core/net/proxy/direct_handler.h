#pragma once
// Reaches the target without a proxy: connects the socket to the first address of the
// configuration and finishes at the first writability.

#include "core/net/proxy/protocol_handler.h"
#include "core/net/socket/connect_checker.h"

namespace hx::netproxy {

class DirectHandler : public ProtocolHandler {
 public:
  using ProtocolHandler::ProtocolHandler;

  // Connects to the configuration's first address (only that one is tried); false when there is
  // none or the connect request was refused.
  bool start(HXZCommonSocket* socket, HXZADataHandler* handler) override;
  void stop(HXZCommonSocket*, HXZADataHandler*) override {}

  // 2 once connected; 1 when the socket turns readable without data (the connect failed).
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

 private:
  HXConnectTCPDataManager m_connect;
};

}  // namespace hx::netproxy
