#include "core/net/dns/dns_socket.h"

#include <memory>

#include "core/net/dns/dns_handler.h"
#include "core/net/loop/endpoint_sock_addr.h"

HXDNSSocket::HXDNSSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
    : HXZUDPSocketHandy(helper, handle, family, type, protocol), m_family(family) {}

void HXDNSSocket::reBind() {
  m_rebinding.store(true);
  if (GetHandle() == -1) {
    reBindInt();
    return;
  }
  SendAsync(false);
  Close(false);  // OnClose binds again
}

void HXDNSSocket::reBindInt() {
  auto endpoint = std::make_shared<HXZEndpointSockAddr>(HXSockAddr());
  endpoint->setInaddrAnySF(m_family, 0, ip::Proto::udp);
  Bind(endpoint);
}

int32_t HXDNSSocket::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  // One byte more than an answer may have: a longer datagram (the system cuts it to the buffer)
  // is not parsed, as its records would be cut off unnoticed at the buffer's end.
  uint8_t datagram[HXDNSHandler::kMessageSize + 1];
  HXSockAddr from;
  const size_t length = RecvFrom(datagram, sizeof datagram, 0, &from);
  HXDNSHandler* owner = m_owner.load();
  if (length > 0 && length <= HXDNSHandler::kMessageSize && owner != nullptr) {
    owner->ParseQueryHelper(datagram, length, from);
  }
  return keepGoing;
}

int32_t HXDNSSocket::OnReadySendImp(HXZASocket*, HXZADataHandler*) {
  HXDNSHandler* owner = m_owner.load();
  if (owner != nullptr) {
    owner->sendNext(this);
  } else {
    SendAsync(false);
  }
  return keepGoing;
}

void HXDNSSocket::OnBoundLocal(bool ok) {
  m_rebinding.store(false);
  HXDNSHandler* owner = m_owner.load();
  if (owner != nullptr) owner->socketBound(m_family, ok);
}

void HXDNSSocket::OnClose(HXZADataHandler*) {
  if (m_rebinding.load() && m_owner.load() != nullptr) reBindInt();
}

void HXDNSSocket::OnError() {
  HXDNSHandler* owner = m_owner.load();
  if (owner != nullptr) owner->socketFailed();
}

void HXDNSSocket::OnTimer(unsigned id) {
  HXDNSHandler* owner = m_owner.load();
  if (owner != nullptr) owner->onSocketTimer(id);
}
