#include "core/net/socket/native_socket_helper.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/ios_log.h"
#include "core/net/address/sock_addr.h"
#include "core/net/socket/native_socket.h"
#include "core/net/socket/socket_data_handler.h"

namespace {

// The conditions of a non-blocking socket that only mean "not now".
bool IsTransient(int err) {
  return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}

// A receive that returned 0 bytes ends a stream only when bytes were asked for; a datagram
// socket can receive an empty datagram.
HXZRecvStatus StatusOfCount(ssize_t count, size_t length, const HXZADataHandler* handler) {
  if (count == 0 && length > 0 && handler->GetType() != SOCK_DGRAM) {
    return HXZRecvStatus::endOfStream;
  }
  return HXZRecvStatus::data;
}

HXZRecvStatus StatusOfError(int err) {
  return IsTransient(err) ? HXZRecvStatus::wouldBlock : HXZRecvStatus::failed;
}

}  // namespace

std::unique_ptr<HXZADataHandler> HXZNativeSocketHelper::AcceptImp(HXZADataHandler* listener) {
  int listening = listener->GetHandle();
  // Accepted descriptors do not inherit non-blocking mode here; ask for it.
  int handle = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK);
  if (handle == -1) {
    ios_log("Accept error on h=%d err %d", listening, errno);
    return nullptr;
  }
  int family = listener->GetFamily();
  if (family == AF_INET6) {
    HXSockAddr local;
    if (local.setFromLiveLocal(handle)) family = local.sysFamily();
  }
  return std::make_unique<HXZANullDataHandler>(handle, family, listener->GetType(),
                                               listener->GetProtocol());
}

size_t HXZNativeSocketHelper::SendImp(const void* buffer, size_t length, int flags,
                                      HXZADataHandler* handler) {
  int handle = handler->GetHandle();
  ssize_t sent = send(handle, buffer, length, flags | MSG_NOSIGNAL);
  if (sent >= 0) {
    handler->SetSendStatus(HXZSendStatus::sent);
    return static_cast<size_t>(sent);
  }
  int err = errno;
  handler->SetSendStatus(IsTransient(err) ? HXZSendStatus::wouldBlock : HXZSendStatus::failed);
  if (!IsTransient(err)) ios_log("%s, errno= %d H = %d", "FAILED: send data (socket)", err, handle);
  return 0;
}

size_t HXZNativeSocketHelper::RecvImp(void* buffer, size_t length, int flags,
                                      HXZADataHandler* handler) {
  int handle = handler->GetHandle();
  ssize_t count = recv(handle, buffer, length, flags);
  if (count >= 0) {
    handler->SetRecvStatus(StatusOfCount(count, length, handler));
    return static_cast<size_t>(count);
  }
  int err = errno;
  handler->SetRecvStatus(StatusOfError(err));
  if (!IsTransient(err)) {
    ios_log("FAILED: recv data (socket %s), errno= %d, H = %d", "", err, handle);
  }
  return 0;
}

size_t HXZNativeSocketHelper::RecvFromImp(void* buffer, size_t length, int flags,
                                          HXZADataHandler* handler, HXSockAddr* from) {
  if (from == nullptr) return RecvImp(buffer, length, flags, handler);
  if (handler->GetProtocol() != IPPROTO_UDP) {
    from->clear();
    return RecvImp(buffer, length, flags, handler);
  }
  from->setProto(ip::Proto::udp);
  sockaddr_storage sender{};
  socklen_t sender_length = sizeof(sender);
  int handle = handler->GetHandle();
  ssize_t count =
      recvfrom(handle, buffer, length, flags, reinterpret_cast<sockaddr*>(&sender), &sender_length);
  if (count < 0) {
    int err = errno;
    handler->SetRecvStatus(StatusOfError(err));
    if (!IsTransient(err)) {
      ios_log("%s, Err = %d, H = %d", "FAILED: recv data (socket)", err, handle);
    }
    return 0;
  }
  handler->SetRecvStatus(HXZRecvStatus::data);
  if (!from->set(ip::Proto::udp, reinterpret_cast<const sockaddr*>(&sender), sender_length)) {
    ios_log("Unknown protocol family: %d", sender.ss_family);
  }
  return static_cast<size_t>(count);
}

size_t HXZNativeSocketHelper::SendToImp(const void* buffer, size_t length, const HXSockAddr& to,
                                        int, HXZADataHandler* handler) {
  int handle = handler->GetHandle();
  ssize_t sent = sendto(handle, buffer, length, MSG_NOSIGNAL, to.sockaddr(), to.sa_len());
  if (sent >= 0) return static_cast<size_t>(sent);
  int err = errno;
  if (!IsTransient(err)) {
    ios_log("%s, errno= %d, H = %d", "FAILED: sendto data (socket)", err, handle);
  }
  return 0;
}

bool HXZNativeSocketHelper::ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                                       HXZADataHandler* handler) {
  if (endpoint == nullptr) return false;
  HXSockAddr address = endpoint->getSockAddr();
  if (address.empty()) return false;
  int handle = handler->GetHandle();
  if (connect(handle, address.sockaddr(), address.sa_len()) == 0 || errno == EAGAIN ||
      errno == EINPROGRESS) {
    handler->SetFlag(HXZADataHandler::kReadyToSend);
    return true;
  }
  ios_log("%s, errno= %d, address = %s handle %d", "FAILED: connect socket", errno,
          address.strBind().c_str(), handle);
  return false;
}

bool HXZNativeSocketHelper::BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) {
  if (endpoint == nullptr) return false;
  int count = endpoint->getCount();
  for (int i = 1; i <= count; ++i) {
    HXSockAddr address = endpoint->next();
    if (address.empty()) return false;
    if (nativeBind(handler, address, endpoint->getBindParam())) return true;
  }
  return false;
}

bool HXZNativeSocketHelper::nativeBind(HXZADataHandler* handler, const HXSockAddr& address,
                                       HXZAEndpointHolder::BindParam param) {
  if (param.setV6Only() && handler->GetFamily() == AF_INET6 &&
      Ioctl_1(kSetIPv6Only, handler, param.v6OnlyValue()) != 0) {
    return false;
  }
  if (param.setReuseAddr() && Ioctl_1(kSetReuseAddr, handler, param.reuseValue()) != 0) {
    return false;
  }
  if (param.setReusePort() && Ioctl_1(kSetReusePort, handler, param.reuseValue()) != 0) {
    return false;
  }
  int handle = handler->GetHandle();
  if (bind(handle, address.sockaddr(), address.sa_len()) != 0) {
    ios_log("FAILED: bind socket %d, errno= %d, address = %s", handle, errno,
            address.strBind().c_str());
    return false;
  }
  uint32_t backlog = param.backlog();
  if (backlog >= 1 && handler->GetProtocol() == IPPROTO_TCP &&
      listen(handle, static_cast<int>(backlog)) != 0) {
    ios_log("FAILED: listen socket, errno= %d, address = %s", errno, address.strBind().c_str());
    return false;
  }
  return true;
}

bool HXZNativeSocketHelper::CloseImp(HXZADataHandler* handler) {
  int handle = handler->GetHandle();
  if (handle == -1) return true;
  if (close(handle) != 0) ios_log("%s, errno=%d", "FAILED: close socket", errno);
  handler->SetHandle(-1);
  return true;
}

HXZADataHandler* HXZNativeSocketHelper::Clone(HXZADataHandler* handler) {
  HXZADataHandler* copy = handler->Clone();
  if (copy != nullptr) {
    copy->SetHandle(native_socket(handler->GetFamily(), handler->GetType(),
                                  handler->GetProtocol()));
  }
  return copy;
}
