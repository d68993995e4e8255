#include "core/transport/transport_connection.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/base/ios_log.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_error.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/transport/transport.h"

HXZTransportConnection::HXZTransportConnection(HXZASocketHelper* helper, int, int, int, int)
    : HXZCommonSocket(helper, true, true) {}

void HXZTransportConnection::setOwner(HXZTransport* owner) {
  m_owner = owner;
  PushCallback(owner);
}

void HXZTransportConnection::stop() {
  HXZTransport* owner = m_owner.exchange(nullptr);
  // The callback chain is the loop thread's. Stopped from another thread, the owner stays on it
  // until the loop deletes the socket, and ignores the events of a connection it dropped.
  const HXZServer* loop = HXZServer::m_Instance;
  if (owner != nullptr && (loop == nullptr || !loop->isRunning() || loop->onLoopThread())) {
    RemoveCallback(owner);
  }
  Close(true);
  DeleteLater();
}

void HXZTransportConnection::tuneKeepAlive(int probes, int idle, int interval) {
  Parent()->Ioctl_3(HXZNativeSocketHelper::kKeepAlive, this, probes, idle, interval);
}

void HXZTransportConnection::tuneSocketParams() {
  Parent()->Ioctl_1(HXZNativeSocketHelper::kSetNoDelay, this, 1);
}

long HXZTransportConnection::getSendQueueSize() {
  return static_cast<long>(Parent()->Ioctl_0(HXZNativeSocketHelper::kGetSendQueueSize, this));
}

HXZNativeSocketDetails HXZTransportConnection::GetTransportAddress() const {
  return HXZNativeSocketDetails(*this);
}

bool HXZTransportConnection::getLocalBind(HXSockAddr& address) const {
  const int handle = GetHandle();
  if (handle == -1) return false;
  address = HXZNativeSocketDetails(handle, true).getLocal();
  return true;
}

void HXZTransportConnection::OnError() {
  const HXZNativeSocketError error(GetHandle());
  ios_log("HXZTransportConnection::OnError %d", error.GetError());
  if (HXZTransport* owner = m_owner.load()) owner->onConnectionError();
}
