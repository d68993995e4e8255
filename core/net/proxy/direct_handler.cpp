#include "core/net/proxy/direct_handler.h"

#include <memory>

#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/socket/common_socket.h"

namespace hx::netproxy {

bool DirectHandler::start(HXZCommonSocket* socket, HXZADataHandler*) {
  const auto& addresses = m_config->getAddrList();
  if (addresses.empty()) return false;
  // The plain TCP connect: the socket's own Connect would enter the proxy layer again.
  return socket->HXZTCPSocket::Connect(std::make_shared<HXZEndpointSockAddr>(addresses.front()));
}

int32_t DirectHandler::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_connect.OnReadyRecvImp(socket, handler);
}

int32_t DirectHandler::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_connect.OnReadySendImp(socket, handler);
}

}  // namespace hx::netproxy
