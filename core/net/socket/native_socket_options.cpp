// Socket options of the native helper, reached through Ioctl_0 to Ioctl_3 by function code.

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/base/ios_log.h"
#include "core/net/address/if_ip_entry.h"
#include "core/net/address/ip_iface.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/socket_data_handler.h"

namespace {

int SetIntOption(const HXZADataHandler* handler, int level, int name, int value) {
  return setsockopt(handler->GetHandle(), level, name, &value, sizeof(value));
}

// The option's value, or -1 when it cannot be read.
int64_t GetIntOption(const HXZADataHandler* handler, int level, int name) {
  int value = 0;
  socklen_t length = sizeof(value);
  if (getsockopt(handler->GetHandle(), level, name, &value, &length) != 0) return -1;
  return value;
}

uint32_t InterfaceIndex(const HXIpIfListItem* entry) {
  return entry != nullptr && entry->ifGet() != nullptr ? entry->ifGet()->index() : 0;
}

}  // namespace

int64_t HXZNativeSocketHelper::Ioctl_0(int func, HXZADataHandler* handler) {
  switch (func) {
    case kGetRcvBufSize: return getRcvBufSizeImp(handler);
    case kGetSendQueueSize: return GetSendQueueSizeImp(handler);
    case kGetSndBufSize: return getSndBufSizeImp(handler);
    default: return -1;
  }
}

int64_t HXZNativeSocketHelper::Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) {
  switch (func) {
    case kSetIPv6Only: return SetIPv6OnlyImp(handler, a != 0);
    case kSetMulticastDefaultGateway: return SetMulticastDefaultGatewayImp(handler, a);
    case kSetMulticastTTL: return SetMulticastTTLImp(handler, a);
    case kSetNoDelay: return setNoDelayImp(handler, a != 0);
    case kSetRcvBufSize: return setRcvBufSizeImp(handler, a);
    case kSetReuseAddr: return setReuseAddrImp(handler, a != 0);
    case kSetReusePort: return SetReusePortImp(handler, a != 0);
    case kQoS: return QoSImp(handler, a);
    case kSetSndBufSize: return setSndBufSizeImp(handler, a);
    case kSetMsgRecvPktInfo: return SetMsgRecvPktInfoImp(handler, a != 0);
    default: return -1;
  }
}

int64_t HXZNativeSocketHelper::Ioctl_2(int func, HXZADataHandler* handler, intptr_t a,
                                       intptr_t b) {
  return func == kJoinMulticastGroup ? JoinMulticastGroupImp(handler, a, b) : -1;
}

int64_t HXZNativeSocketHelper::Ioctl_3(int func, HXZADataHandler* handler, intptr_t, intptr_t,
                                       intptr_t) {
  return func == kKeepAlive ? KeepAliveImp(handler) : -1;
}

int64_t HXZNativeSocketHelper::getRcvBufSizeImp(HXZADataHandler* handler) {
  int64_t size = GetIntOption(handler, SOL_SOCKET, SO_RCVBUF);
  if (size == -1) ios_log("getRcvBufSizeImp() fail h=%d errno=%d", handler->GetHandle(), errno);
  return size;
}

int64_t HXZNativeSocketHelper::GetSendQueueSizeImp(HXZADataHandler* handler) {
  // SIOCOUTQ counts the bytes the peer has not acknowledged yet: what still waits in the send
  // queue.
  int queued = 0;
  if (ioctl(handler->GetHandle(), SIOCOUTQ, &queued) != 0) {
    ios_log("GetSendQueueSize() fail h=%d errno=%d", handler->GetHandle(), errno);
    return 0;
  }
  return queued < 0 ? 0 : queued;
}

int64_t HXZNativeSocketHelper::getSndBufSizeImp(HXZADataHandler* handler) {
  int64_t size = GetIntOption(handler, SOL_SOCKET, SO_SNDBUF);
  if (size == -1) ios_log("getSndBufSizeImp() fail with errno=%d", errno);
  return size;
}

int64_t HXZNativeSocketHelper::SetIPv6OnlyImp(HXZADataHandler* handler, bool on) {
  if (SetIntOption(handler, IPPROTO_IPV6, IPV6_V6ONLY, on) == 0) return 0;
  ios_log("Set 'IPv6 only' failed: errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::SetMulticastDefaultGatewayImp(HXZADataHandler* handler,
                                                             intptr_t entry_arg) {
  const auto* entry = reinterpret_cast<const HXIpIfListItem*>(entry_arg);
  if (entry == nullptr) return -1;
  int handle = handler->GetHandle();
  if (entry->family() == 6) {
    unsigned int index = InterfaceIndex(entry);
    int result = setsockopt(handle, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index));
    if (result != 0) ios_log("set mcast gw fail. ret %d errno=%d", result, errno);
    return result;
  }
  if (entry->family() == 4) {
    in_addr address{};
    std::memcpy(&address, entry->in_addr(), sizeof(address));
    int result = setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
    if (result != 0) {
      ios_log("set mcast gw fail. ret %d errno=%d ip 0x%x", result, errno, entry->ipv4Nbo());
    }
    return result;
  }
  return -1;
}

int64_t HXZNativeSocketHelper::SetMulticastTTLImp(HXZADataHandler* handler, intptr_t ttl) {
  if (ttl < -1 || ttl > 255) return -1;
  int result;
  if (handler->GetFamily() == AF_INET6) {
    result = SetIntOption(handler, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, static_cast<int>(ttl));
  } else if (handler->GetFamily() == AF_INET) {
    // The int form, so that -1 asks for the system default as it does for IPv6; as one byte it
    // would become 255 hops.
    result = SetIntOption(handler, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<int>(ttl));
  } else {
    return -1;
  }
  if (result == 0) return 0;
  ios_log("SetMulticastTTL failed %d errno=%d", static_cast<int>(ttl), errno);
  return -1;
}

int64_t HXZNativeSocketHelper::setNoDelayImp(HXZADataHandler* handler, bool on) {
  if (SetIntOption(handler, IPPROTO_TCP, TCP_NODELAY, on) == 0) return 0;
  ios_log("setNoDelayImp failed errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::setRcvBufSizeImp(HXZADataHandler* handler, intptr_t size) {
  if (SetIntOption(handler, SOL_SOCKET, SO_RCVBUF, static_cast<int>(size)) == 0) return 0;
  ios_log("setRcvBufSizeImp failed errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::setReuseAddrImp(HXZADataHandler* handler, bool on) {
  if (SetIntOption(handler, SOL_SOCKET, SO_REUSEADDR, on) == 0) return 0;
  ios_log("REUSEADDR set failed: errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::SetReusePortImp(HXZADataHandler* handler, bool on) {
  if (SetIntOption(handler, SOL_SOCKET, SO_REUSEPORT, on) == 0) return 0;
  ios_log("REUSEPORT set failed: errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::QoSImp(HXZADataHandler* handler, intptr_t tos) {
  return SetIntOption(handler, IPPROTO_IP, IP_TOS, static_cast<int>(tos));
}

int64_t HXZNativeSocketHelper::setSndBufSizeImp(HXZADataHandler* handler, intptr_t size) {
  if (SetIntOption(handler, SOL_SOCKET, SO_SNDBUF, static_cast<int>(size)) == 0) return 0;
  ios_log("setSndBufSizeImp failed errno=%d", errno);
  return -1;
}

int64_t HXZNativeSocketHelper::SetMsgRecvPktInfoImp(HXZADataHandler* handler, bool on) {
  if (handler->GetFamily() == AF_INET) {
    if (SetIntOption(handler, IPPROTO_IP, IP_PKTINFO, on) == 0) return 0;
    ios_log("IP_PKTINFO set failed: error=%d", errno);
    return -1;
  }
  if (handler->GetFamily() == AF_INET6) {
    if (SetIntOption(handler, IPPROTO_IPV6, IPV6_RECVPKTINFO, on) == 0) return 0;
    ios_log("IPV6_RECVPKTINFO set failed: error=%d H=%d", errno, handler->GetHandle());
    return -1;
  }
  return -1;
}

int64_t HXZNativeSocketHelper::JoinMulticastGroupImp(HXZADataHandler* handler,
                                                     intptr_t entry_arg, intptr_t group_arg) {
  const auto* entry = reinterpret_cast<const HXIpIfListItem*>(entry_arg);
  const auto* group = reinterpret_cast<const HXAIpAddressBase*>(group_arg);
  if (group == nullptr) return -1;
  int handle = handler->GetHandle();
  if (group->family() == 6) {
    ipv6_mreq request{};
    std::memcpy(&request.ipv6mr_multiaddr, group->in6_addr(), sizeof(request.ipv6mr_multiaddr));
    request.ipv6mr_interface = InterfaceIndex(entry);
    return setsockopt(handle, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof(request));
  }
  if (group->family() == 4) {
    ip_mreq request{};
    std::memcpy(&request.imr_multiaddr, group->in_addr(), sizeof(request.imr_multiaddr));
    if (entry != nullptr && entry->family() == 4) {
      std::memcpy(&request.imr_interface, entry->in_addr(), sizeof(request.imr_interface));
    }
    return setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
  }
  return -1;
}

int64_t HXZNativeSocketHelper::KeepAliveImp(HXZADataHandler* handler) {
  SetIntOption(handler, SOL_SOCKET, SO_KEEPALIVE, 1);
  return 0;
}
