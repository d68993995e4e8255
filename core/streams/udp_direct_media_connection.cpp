#include "core/streams/udp_direct_media_connection.h"

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_sender_base.h"

HX_MediaConnectionUDPDirect::HX_MediaConnectionUDPDirect(
    HX_MediaStreamNetHandler* handler, std::shared_ptr<HX_ConnectionUdpDirect> direct)
    : HX_UdpSendConnection(handler), m_direct(std::move(direct)) {}

HX_MediaConnectionUDPDirect::~HX_MediaConnectionUDPDirect() = default;

size_t HX_MediaConnectionUDPDirect::sendData(const uint8_t* data, size_t size) {
  return m_direct ? m_direct->Send(data, size) : 0;
}

uint64_t HX_MediaConnectionUDPDirect::getSendBufferSize() {
  return m_direct ? m_direct->getSndBufSize() : 0;
}

void HX_MediaConnectionUDPDirect::setSendState(bool on) {
  if (m_direct) m_direct->setSendState(on);
}

void HX_MediaConnectionUDPDirect::startConnTimer(uint32_t id, uint64_t ms) {
  if (m_direct) m_direct->startTimer(id, ms);
}

bool HX_MediaConnectionUDPDirect::getConferenceLock(ConferenceLock& lock) {
  HX_MediaStreamBase* stream = netHandler() != nullptr ? netHandler()->owner() : nullptr;
  HX_Conference* conference = stream != nullptr ? stream->conference() : nullptr;
  if (conference == nullptr) return false;
  lock.set(conference);
  lock.Lock(conference->getLock());
  return true;
}

void HX_MediaConnectionUDPDirect::onConnectionBreak() {
  if (netHandler() != nullptr) netHandler()->onConnectionBreak(this);
  connRecycle();
}

void HX_MediaConnectionUDPDirect::onHandlersStopped() {
  if (netHandler() != nullptr) netHandler()->onConnectionBreak(this);
  unregister();
  delete this;
}

// ---- sender

HX_SenderConnectionRegularUdpDirect::HX_SenderConnectionRegularUdpDirect(
    HX_SenderUDPBase* handler, std::shared_ptr<HX_ConnectionUdpDirect> direct)
    : HX_MediaConnectionUDPDirect(handler, std::move(direct)), m_sender(handler) {
  if (m_direct) m_direct->setSender(this);
}

void HX_SenderConnectionRegularUdpDirect::connRecycle() {
  // A stopped list ends this connection through onHandlersStopped.
  if (m_direct && m_direct->sender() == this && m_direct->stop()) return;
  unregister();
  delete this;
}

bool HX_SenderConnectionRegularUdpDirect::onReadyToSend() {
  onReadySend();
  return true;
}

void HX_SenderConnectionRegularUdpDirect::onTimerExpired(uint32_t type) {
  if (type == HX_SenderUDPBase::kPacingTimerId && m_sender != nullptr) {
    m_sender->onBandwidthDelayTimer();
  }
}

void HX_SenderConnectionRegularUdpDirect::unregister() {
  if (m_direct && m_direct->sender() == this) m_direct->setSender(nullptr);
}

// ---- receiver

HX_ReceiverConnectionRegularUdpDirect::HX_ReceiverConnectionRegularUdpDirect(
    HX_MediaStreamNetHandler* handler, HX_NhpDataSink* sink,
    std::shared_ptr<HX_ConnectionUdpDirect> direct)
    : HX_MediaConnectionUDPDirect(handler, std::move(direct)), m_sink(sink) {
  if (m_direct) m_direct->setReceiver(this);
}

void HX_ReceiverConnectionRegularUdpDirect::connRecycle() {
  unregister();
  m_direct.reset();
  delete this;
}

void HX_ReceiverConnectionRegularUdpDirect::onDataReceived(const uint8_t* data, size_t size) {
  if (started() && m_sink != nullptr) m_sink->onNHPDataReceived(data, size, size);
}

void HX_ReceiverConnectionRegularUdpDirect::unregister() {
  if (m_direct && m_direct->receiver() == this) m_direct->setReceiver(nullptr);
}
