#include "core/streams/udp_mcast_connection.h"

#include "core/base/stored_task.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_sender_base.h"

HX_MediaConnectionUDPSocket::HX_MediaConnectionUDPSocket(HX_MediaStreamNetHandler* handler,
                                                         HX_UdpMcastSocket* socket, uint32_t udpKey)
    : HX_UdpSendConnection(handler), m_socket(socket), m_udpKey(udpKey) {
  m_socket->setOwner(this);
}

HX_MediaConnectionUDPSocket::~HX_MediaConnectionUDPSocket() = default;

void HX_MediaConnectionUDPSocket::start() {
  // Switched on by the loop itself, which polls its sockets' states only between two passes.
  if (!HXZServer::ScheduleNetworkJob(
          HXCallback::Save(this, &HX_MediaConnectionUDPSocket::startOnLoop), 0)) {
    startOnLoop();
  }
}

void HX_MediaConnectionUDPSocket::startOnLoop() {
  if (!m_recycled.load() && m_socket != nullptr) m_socket->SetState(true);
}

size_t HX_MediaConnectionUDPSocket::sendData(const uint8_t* data, size_t size) {
  return m_socket != nullptr ? m_socket->Send(data, size, 0) : 0;
}

uint64_t HX_MediaConnectionUDPSocket::getSendBufferSize() {
  int64_t size = m_sendBuffer.load();
  if (size < 0 && m_socket != nullptr) {
    size = m_socket->option0(HXZNativeSocketHelper::kGetSndBufSize);
    if (size < 0) size = 0;
    m_sendBuffer.store(size);
  }
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

void HX_MediaConnectionUDPSocket::setSendState(bool on) {
  if (m_socket != nullptr) m_socket->SendAsync(on);
}

void HX_MediaConnectionUDPSocket::startConnTimer(uint32_t id, uint64_t ms) {
  if (m_socket != nullptr) m_socket->startTimer(id, static_cast<uint32_t>(ms));
}

void HX_MediaConnectionUDPSocket::onSocketError(HX_UdpMcastSocket*) {
  if (m_recycled.load()) return;
  m_socket->SetState(false);
  if (netHandler() != nullptr) netHandler()->onConnectionBreak(this);
  connRecycle();
}

void HX_MediaConnectionUDPSocket::connRecycle() {
  // The handler's close and a socket error may both recycle: the first one counts.
  if (m_recycled.exchange(true)) return;
  if (!HXZServer::ScheduleNetworkJob(
          HXCallback::Save(this, &HX_MediaConnectionUDPSocket::recycleOnLoop), 0)) {
    recycleOnLoop();
  }
}

void HX_MediaConnectionUDPSocket::recycleOnLoop() {
  if (m_socket != nullptr) {
    m_socket->setOwner(nullptr);
    m_socket->GC();
    m_socket = nullptr;
  }
  delete this;
}

// ---- sender

HX_SenderConnectionUDPMulticast::HX_SenderConnectionUDPMulticast(HX_SenderUDPBase* handler,
                                                                 HX_UdpMcastSocket* socket,
                                                                 uint32_t udpKey)
    : HX_MediaConnectionUDPSocket(handler, socket, udpKey), m_sender(handler) {}

void HX_SenderConnectionUDPMulticast::onSocketReadable(HX_UdpMcastSocket* socket) {
  uint8_t discard[kDiscardSize];
  socket->Recv(discard, sizeof discard, 0);
}

void HX_SenderConnectionUDPMulticast::onSocketWritable(HX_UdpMcastSocket*) { onReadySend(); }

void HX_SenderConnectionUDPMulticast::onSocketTimer(HX_UdpMcastSocket*, unsigned id) {
  if (id == HX_SenderUDPBase::kPacingTimerId && m_sender != nullptr) {
    m_sender->onBandwidthDelayTimer();
  }
}

// ---- receiver

HX_ReceiverConnectionUDPMulticast::HX_ReceiverConnectionUDPMulticast(
    HX_MediaStreamNetHandler* handler, HX_NhpDataSink* sink, HX_UdpMcastSocket* socket,
    uint32_t udpKey)
    : HX_MediaConnectionUDPSocket(handler, socket, udpKey), m_sink(sink), m_buffer(kDatagramSize) {}

void HX_ReceiverConnectionUDPMulticast::onSocketReadable(HX_UdpMcastSocket* socket) {
  onDatagram(socket->Recv(m_buffer.data(), m_buffer.size(), 0));
}

void HX_ReceiverConnectionUDPMulticast::onSocketWritable(HX_UdpMcastSocket* socket) {
  socket->SendAsync(false);
}

void HX_ReceiverConnectionUDPMulticast::onDatagram(size_t size) {
  size_t offset = 0;
  size_t length = 0;
  if (size > m_buffer.size() ||
      !HX_CheckMulticastDatagram(m_buffer.data(), size, udpKey(), offset, length)) {
    return;
  }
  if (m_sink != nullptr) m_sink->onNHPDataReceived(m_buffer.data() + offset, length, size);
}
