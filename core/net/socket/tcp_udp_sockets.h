#pragma once
// The stream and datagram sockets of the core. Connect, bind and close are requests to the
// network loop: the result says whether the request was sent; the outcome comes later on the
// loop's thread (OnReadySendImp when connected, OnBoundLocal after a bind, OnClose after a
// close that is not silent, OnError on failure).
//
// Threads: the requests may be made from any thread; the callbacks run on the loop's thread.

#include <memory>

#include "core/net/socket/abstract_socket.h"

class HXZTCPSocket : public HXZASocket {
 public:
  HXZTCPSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZASocket(helper, handle, family, type, protocol) {}
  HXZTCPSocket(HXZASocketHelper* helper, HXZADataHandler& other) : HXZASocket(helper, other) {}

  bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  // Keeps the endpoint in the handler, then asks the loop to bind.
  bool Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  bool Close(bool silent) override;
};

class HXZUDPSocket : public HXZASocket {
 public:
  HXZUDPSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZASocket(helper, handle, family, type, protocol) {}
  HXZUDPSocket(HXZASocketHelper* helper, HXZADataHandler& other) : HXZASocket(helper, other) {}

  bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  bool Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  bool Close(bool silent) override;
};
