#include "core/net/socket/connect_checker.h"

#include <sys/socket.h>

#include "core/net/socket/abstract_socket.h"
#include "core/net/socket/native_socket_error.h"

namespace {

// Asked of the native descriptor itself: a layer above (TLS) answers Recv from its own buffer and
// would hide a failed connect.
bool ConnectFailed(const HXZADataHandler* handler) {
  const int handle = handler->GetHandle();
  return handle < 0 || HXZNativeSocketError(handle).GetError() != 0;
}

}  // namespace

int32_t HXConnectTCPDataManager::OnReadySendImp(HXZASocket*, HXZADataHandler* handler) {
  return ConnectFailed(handler) ? failed : done;
}

int32_t HXConnectTCPDataManager::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (ConnectFailed(handler)) return failed;
  char byte;
  if (socket->Recv(&byte, 1, MSG_PEEK) == 1) return done;
  return handler->RecvEnded() ? failed : keepGoing;
}
