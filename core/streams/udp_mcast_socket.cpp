#include "core/streams/udp_mcast_socket.h"

HX_UdpMcastSocket::HX_UdpMcastSocket(HXZASocketHelper* helper, int handle, int family, int type,
                                     int protocol)
    : HXZUDPSocketHandy(helper, handle, family, type, protocol) {}

HX_UdpMcastSocket::HX_UdpMcastSocket(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZUDPSocketHandy(helper, other) {}

int32_t HX_UdpMcastSocket::onScenarioDone(HXZASocket*, HXZADataHandler*, bool ok) {
  m_current = nullptr;
  HX_UdpMcastSocketOwner* owner = m_owner.load();
  if (owner == nullptr) return ok ? kComplete : kFailed;
  return owner->onSocketScenarioDone(this, ok);
}

int32_t HX_UdpMcastSocket::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_current != nullptr) return m_current->saOnReadyRecvImp(socket, handler);
  if (HX_UdpMcastSocketOwner* owner = m_owner.load()) owner->onSocketReadable(this);
  return keepGoing;
}

int32_t HX_UdpMcastSocket::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_current != nullptr) return m_current->saOnReadySendImp(socket, handler);
  if (HX_UdpMcastSocketOwner* owner = m_owner.load()) {
    owner->onSocketWritable(this);
  } else {
    SendAsync(false);
  }
  return keepGoing;
}

void HX_UdpMcastSocket::OnBoundLocal(bool ok) {
  if (m_current != nullptr) m_current->saOnBoundLocal(this, this, ok);
}

void HX_UdpMcastSocket::OnClose(HXZADataHandler* closed) {
  if (m_current != nullptr) m_current->saOnClose(this, this, closed);
}

void HX_UdpMcastSocket::OnError() {
  if (HX_UdpMcastSocketOwner* owner = m_owner.load()) owner->onSocketError(this);
}

void HX_UdpMcastSocket::OnTimer(unsigned id) {
  if (m_current != nullptr) {
    m_current->saOnTimer(this, this, id);
    return;
  }
  if (HX_UdpMcastSocketOwner* owner = m_owner.load()) owner->onSocketTimer(this, id);
}
