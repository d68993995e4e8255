#pragma once
// The helper of native (BSD) sockets: sends, receives, connects, binds, closes, accepts and sets
// options with system calls on the calling thread; the asynchronous operations (registration,
// connect and bind requests, close, timers) go to the parent, the network loop, unchanged.
//
// It holds no state besides its parent, so its operations may run on whichever thread owns the
// socket at that moment. Failures are results (0, -1, false) and log lines, never exceptions;
// the transient conditions of non-blocking sockets (EINTR, EAGAIN, EINPROGRESS) are not logged.

#include <cstdint>

#include "core/net/loop/endpoint_holder.h"
#include "core/net/socket/socket_helper_redirect.h"

class HXZNativeSocketHelper : public HXZASocketHelperRedirect {
 public:
  // Function codes of Ioctl_0 to Ioctl_3; any other code answers -1.
  enum IoctlFunc : int {
    kGetRcvBufSize = 0,               // Ioctl_0: SO_RCVBUF, or -1
    kGetSendQueueSize = 1,            // Ioctl_0: bytes sent but not yet acknowledged, or 0
    kGetSndBufSize = 2,               // Ioctl_0: SO_SNDBUF, or -1
    kJoinMulticastGroup = 3,          // Ioctl_2: (const HXIpIfListItem*, const HXAIpAddressBase*)
    kSetIPv6Only = 4,                 // Ioctl_1: on/off
    kKeepAlive = 5,                   // Ioctl_3: switches SO_KEEPALIVE on; arguments unused
    kSetMulticastDefaultGateway = 6,  // Ioctl_1: const HXIpIfListItem*
    kSetMulticastTTL = 7,             // Ioctl_1: -1 (system default) to 255
    kSetNoDelay = 8,                  // Ioctl_1: on/off
    kSetRcvBufSize = 9,               // Ioctl_1: bytes
    kSetReuseAddr = 10,               // Ioctl_1: on/off
    kSetReusePort = 11,               // Ioctl_1: on/off
    kQoS = 12,                        // Ioctl_1: IP_TOS value
    kSetSndBufSize = 13,              // Ioctl_1: bytes
    kSetMsgRecvPktInfo = 14,          // Ioctl_1: on/off
  };

  explicit HXZNativeSocketHelper(HXZASocketHelper* parent) : HXZASocketHelperRedirect(parent) {}

  // A new handler over the accepted connection (non-blocking, like every socket of the core),
  // with the listener's type and protocol; null on failure.
  std::unique_ptr<HXZADataHandler> AcceptImp(HXZADataHandler* listener) override;
  // The byte count, or 0 when nothing was sent.
  size_t SendImp(const void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  // The byte count, or 0. Why a 0 came (end of stream, nothing there yet, a hard error) is left
  // in the handler's receive status.
  size_t RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  // On a UDP socket also stores the sender in `from`; on other sockets clears `from` and
  // receives as RecvImp.
  size_t RecvFromImp(void* buffer, size_t length, int flags, HXZADataHandler* handler,
                     HXSockAddr* from) override;
  // Sends one datagram to `to`; `flags` is not used.
  size_t SendToImp(const void* buffer, size_t length, const HXSockAddr& to, int flags,
                   HXZADataHandler* handler) override;
  // Starts connecting to the endpoint's current address. A connect under way or done asks for
  // the ready-to-send event, which tells the owner that the connect finished.
  bool ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                  HXZADataHandler* handler) override;
  // Tries the endpoint's addresses in turn until one binds; an empty address ends the attempts.
  bool BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) override;
  // Closes the descriptor when there is one. Always true.
  bool CloseImp(HXZADataHandler* handler) override;

  int64_t Ioctl_0(int func, HXZADataHandler* handler) override;
  int64_t Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) override;
  int64_t Ioctl_2(int func, HXZADataHandler* handler, intptr_t a, intptr_t b) override;
  int64_t Ioctl_3(int func, HXZADataHandler* handler, intptr_t a, intptr_t b,
                  intptr_t c) override;

  // A new inactive copy of the handler (the caller owns it) with a fresh descriptor of the same
  // family, type and protocol; null for handlers that cannot be copied.
  HXZADataHandler* Clone(HXZADataHandler* handler) override;

  // Applies the options that `param` asks for, binds, and for TCP with a backlog listens.
  bool nativeBind(HXZADataHandler* handler, const HXSockAddr& address,
                  HXZAEndpointHolder::BindParam param);

 private:
  static int64_t getRcvBufSizeImp(HXZADataHandler* handler);
  static int64_t GetSendQueueSizeImp(HXZADataHandler* handler);
  static int64_t getSndBufSizeImp(HXZADataHandler* handler);
  static int64_t SetIPv6OnlyImp(HXZADataHandler* handler, bool on);
  static int64_t SetMulticastDefaultGatewayImp(HXZADataHandler* handler, intptr_t entry);
  static int64_t SetMulticastTTLImp(HXZADataHandler* handler, intptr_t ttl);
  static int64_t setNoDelayImp(HXZADataHandler* handler, bool on);
  static int64_t setRcvBufSizeImp(HXZADataHandler* handler, intptr_t size);
  static int64_t setReuseAddrImp(HXZADataHandler* handler, bool on);
  static int64_t SetReusePortImp(HXZADataHandler* handler, bool on);
  static int64_t QoSImp(HXZADataHandler* handler, intptr_t tos);
  static int64_t setSndBufSizeImp(HXZADataHandler* handler, intptr_t size);
  static int64_t SetMsgRecvPktInfoImp(HXZADataHandler* handler, bool on);
  static int64_t JoinMulticastGroupImp(HXZADataHandler* handler, intptr_t entry, intptr_t group);
  static int64_t KeepAliveImp(HXZADataHandler* handler);
};
