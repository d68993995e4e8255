#pragma once
// HXConnectTCPDataManager: tells whether a freshly connected TCP socket stands. The native
// socket's pending error (SO_ERROR) decides first: a refused or reset connect turns the socket
// both readable and writable, so neither readiness alone tells success. Without an error,
// writable means connected; readable means a byte arrived, or the connection ended.
// Runs on the loop's thread, in the socket's callbacks.

#include "core/net/socket/socket_callbacks.h"

class HXConnectTCPDataManager : public HXZADataManager {
 public:
  // 1 when the native socket holds an error, else 2: connected.
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  // 1 when the native socket holds an error; else peeks one byte: 2 when there is one, 1 when
  // the connection ended or failed, 0 when the readiness was spurious and nothing is there yet.
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
};
