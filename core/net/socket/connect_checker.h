#pragma once
// HXConnectTCPDataManager: tells whether a freshly connected TCP socket stands. Writable means
// connected; readable means a byte arrived, or the connect failed or the peer closed.
// Runs on the loop's thread, in the socket's callbacks.

#include "core/net/socket/socket_callbacks.h"

class HXConnectTCPDataManager : public HXZADataManager {
 public:
  // 2: connected.
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  // Peeks one byte: 2 when there is one, 1 when the connection ended or failed, 0 when the
  // readiness was spurious and nothing is there yet.
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
};
