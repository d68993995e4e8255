#pragma once
// HXZAcceptorInfo: the socket addresses on which the client accepts connections from peers, TCP
// and UDP apart. The media streams publish it; the transport session hands it on to the server.
// A plain value; not thread-safe.

#include <list>

#include "core/net/address/sock_addr.h"

struct HXZAcceptorInfo {
  std::list<HXSockAddr> tcpAcceptors;
  std::list<HXSockAddr> udpAcceptors;

  bool empty() const { return tcpAcceptors.empty() && udpAcceptors.empty(); }
};
