#include "core/streams/udp_listener_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket.h"
#include "core/net/socket/native_socket_helper.h"

namespace hx::streams {

namespace {

using Helper = HXZNativeSocketHelper;

bool BindPort(int handle, HXSockAddr address, uint32_t port) {
  address.setPort(static_cast<uint16_t>(port));
  return ::bind(handle, address.sockaddr(), address.sa_len()) == 0;
}

// The configured port, then the dynamic range, then the rest of the unprivileged ports.
bool BindWithFallback(int handle, const HXSockAddr& address) {
  if (BindPort(handle, address, address.port())) return true;
  for (uint32_t port = 49152; port <= 65535; ++port) {
    if (BindPort(handle, address, port)) return true;
  }
  for (uint32_t port = 1024; port < 49152; ++port) {
    if (BindPort(handle, address, port)) return true;
  }
  return false;
}

}  // namespace

ListenerSocketUDP* ListenerSocketUDP::create(int family) {
  return HXZServer::implantNative<ListenerSocketUDP>(-1, family, SOCK_DGRAM, IPPROTO_UDP);
}

bool ListenerSocketUDP::start(const HXSockAddr& address) {
  if (GetHandle() != -1 || address.empty()) return false;
  const int handle = native_socket(address.sysFamily(), SOCK_DGRAM, IPPROTO_UDP);
  if (handle == -1) return false;
  SetFamily(address.sysFamily());
  SetHandle(handle);
  HXSockAddr bound;
  bool ok = BindWithFallback(handle, address) && bound.setFromLiveLocal(handle) &&
            Parent()->Ioctl_1(Helper::kSetMsgRecvPktInfo, this, 1) == 0;
  if (ok) {
    raiseBuffer(Helper::kGetRcvBufSize, Helper::kSetRcvBufSize);
    raiseBuffer(Helper::kGetSndBufSize, Helper::kSetSndBufSize);
  }
  if (!ok) {
    Parent()->CloseImp(this);
    return false;
  }
  m_bound = bound;
  SetState(true);
  return true;
}

void ListenerSocketUDP::raiseBuffer(int getFunc, int setFunc) {
  const int64_t size = Parent()->Ioctl_0(getFunc, this);
  if (size > 0 && size < kMinBufferSize) Parent()->Ioctl_1(setFunc, this, kMinBufferSize);
}

void ListenerSocketUDP::stop() {
  if (m_stopped.exchange(true)) return;
  GC();
}

int ListenerSocketUDP::getSndBufSize() {
  const int64_t size = Parent()->Ioctl_0(Helper::kGetSndBufSize, this);
  return size > 0 ? static_cast<int>(size) : 0;
}

}  // namespace hx::streams
