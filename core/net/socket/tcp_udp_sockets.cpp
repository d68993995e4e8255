#include "core/net/socket/tcp_udp_sockets.h"

#include "core/net/socket/socket_helper.h"

bool HXZTCPSocket::Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  return Parent()->ConnectAsync(endpoint, this, this);
}

bool HXZTCPSocket::Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  SetAddress(endpoint);
  return Parent()->ReBindAsync(endpoint, this, this);
}

bool HXZTCPSocket::Close(bool silent) { return Parent()->CloseAsync(this, this, silent); }

bool HXZUDPSocket::Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  return Parent()->ConnectAsync(endpoint, this, this);
}

bool HXZUDPSocket::Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  SetAddress(endpoint);
  return Parent()->ReBindAsync(endpoint, this, this);
}

bool HXZUDPSocket::Close(bool silent) { return Parent()->CloseAsync(this, this, silent); }
