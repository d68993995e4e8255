#include "core/net/socket/connect_checker.h"

#include <sys/socket.h>

#include "core/net/socket/abstract_socket.h"

int32_t HXConnectTCPDataManager::OnReadySendImp(HXZASocket*, HXZADataHandler*) { return done; }

int32_t HXConnectTCPDataManager::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  char byte;
  if (socket->Recv(&byte, 1, MSG_PEEK) == 1) return done;
  return handler->RecvEnded() ? failed : keepGoing;
}
