#include "core/transport/transport_packet_manager.h"

#include "core/base/ios_log.h"
#include "core/net/socket/abstract_socket.h"
#include "core/transport/secure_shield.h"

HXZTransport::HXTransportPacketManager::HXTransportPacketManager(HXZTransport* transport,
                                                                 HXSecureShield* shield)
    : m_transport(transport),
      m_shield(shield),
      m_plainBuffer(std::make_unique<HX_RecvFrameQueueTCPv1>()),
      m_cipherBuffer(std::make_unique<HXPacketBuffer>(kCipherBufferSize)) {}

HXZTransport::HXTransportPacketManager::~HXTransportPacketManager() = default;

void HXZTransport::HXTransportPacketManager::init() {
  m_queue.clear();
  m_connectionEpoch.fetch_add(1);
}

void HXZTransport::HXTransportPacketManager::SetSecureShield(HXSecureShield* shield) {
  m_shield = shield;
  m_sendRemainder.setSize(0);
}

void HXZTransport::HXTransportPacketManager::FollowConnection() {
  const uint32_t epoch = m_connectionEpoch.load();
  if (epoch == m_readerEpoch) return;
  m_readerEpoch = epoch;
  m_plainBuffer->ResetPacketBufferAll();
  m_cipherBuffer->ResetPacketBufferAll();
  m_currentLength = 0;
  m_cipherLeft = 0;
  m_dropLeft = 0;
}

// Reads as long as each read fills the buffer, so that a burst is drained in one event.
int32_t HXZTransport::HXTransportPacketManager::OnReadyRecvImp(HXZASocket* socket,
                                                               HXZADataHandler*) {
  FollowConnection();
  m_blockSize = m_shield != nullptr ? m_shield->GetSymCryptBlockSize() : 0;
  HXPacketBuffer& buffer = m_blockSize != 0 ? *m_cipherBuffer : *m_plainBuffer;
  for (;;) {
    const int64_t room = buffer.GetPacketBufferSize();
    // The readers always leave room: a message that fits is dispatched as soon as it is whole.
    if (room <= 0) {
      ios_log("Transport receive buffer full");
      return failed;
    }
    const size_t received = socket->Recv(buffer.GetPacketBufferWrite(), static_cast<size_t>(room), 0);
    if (received == 0) {
      if (!socket->RecvEnded()) return keepGoing;
      ios_log("Transport disconnected");
      return failed;
    }
    buffer.IncPacketBufferWrite(static_cast<int64_t>(received));
    const bool ok = m_blockSize != 0 ? ReadShieldedPacket() : ReadRawPacket();
    if (!ok) return failed;
    if (ReadingStopped()) return keepGoing;
    if (m_currentLength == 0) m_plainBuffer->cutHeadGap();
    if (static_cast<int64_t>(received) != room) return keepGoing;
  }
}

// One message per event; a tail the socket did not take goes out first at the next event.
int32_t HXZTransport::HXTransportPacketManager::OnReadySendImp(HXZASocket* socket,
                                                               HXZADataHandler*) {
  if (m_sendRemainder.offset() < m_sendRemainder.size()) {
    const uint64_t left = m_sendRemainder.size() - m_sendRemainder.offset();
    const size_t sent =
        socket->Send(m_sendRemainder.buffer() + m_sendRemainder.offset(), static_cast<size_t>(left), 0);
    if (sent == left) {
      m_sendRemainder.setSize(0);
    } else {
      m_sendRemainder.offset(static_cast<int32_t>(sent));
    }
    return keepGoing;
  }

  std::unique_ptr<HX_ClientMessage> message;
  {
    HXAutoLock lock(*m_transport);
    if (m_queue.empty()) {
      socket->SendAsync(false);
      return keepGoing;
    }
    message = std::move(m_queue.front());
    m_queue.pop_front();
  }

  const uint64_t size = message->Size();
  if (size == 0) return keepGoing;  // a message that could not be built carries nothing to send
  const uint32_t block = m_shield->GetSymCryptBlockSize();
  uint32_t produced = static_cast<uint32_t>(size + block);
  if (block != 0 && m_sendCipher.size() < produced) m_sendCipher.resize(produced);
  const uint8_t* bytes = m_shield->Encrypt(message->Data(), static_cast<uint32_t>(size),
                                           m_sendCipher.data(), produced);
  if (bytes == nullptr) return failed;
  const size_t sent = socket->Send(bytes, produced, 0);
  if (sent < produced) m_sendRemainder.append(bytes + sent, produced - sent);
  return keepGoing;
}
