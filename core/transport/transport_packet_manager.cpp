#include "core/transport/transport_packet_manager.h"

#include <cstring>

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

// As many queued messages as fit kSendBatchSize go out in one write, each enciphered whole as
// before, one after another into the reused send buffer; a tail the socket did not take goes out
// first at the next event.
int32_t HXZTransport::HXTransportPacketManager::OnReadySendImp(HXZASocket* socket,
                                                               HXZADataHandler*) {
  if (m_sendRemainder.offset() < m_sendRemainder.size()) {
    const uint64_t left = m_sendRemainder.size() - m_sendRemainder.offset();
    const size_t sent =
        socket->Send(m_sendRemainder.buffer() + m_sendRemainder.offset(), static_cast<size_t>(left), 0);
    if (sent != left) {
      m_sendRemainder.offset(static_cast<int32_t>(sent));
      return keepGoing;
    }
    m_sendRemainder.setSize(0);  // the socket took it all: it may take more now
  }

  const uint32_t block = m_shield->GetSymCryptBlockSize();
  uint64_t capacity = 0;  // what the batch may produce: each message plus one block of padding
  {
    HXAutoLock lock(*m_transport);
    if (m_queue.empty()) {
      socket->SendAsync(false);
      return keepGoing;
    }
    // At least one message, however large; more while they fit.
    do {
      const uint64_t most = m_queue.front()->Size() + block;
      if (!m_sendBatch.empty() && capacity + most > kSendBatchSize) break;
      capacity += most;
      m_sendBatch.push_back(std::move(m_queue.front()));
      m_queue.pop_front();
    } while (!m_queue.empty());
  }

  // A lone message of a plain shield goes out from its own bytes; anything else is gathered in
  // the send buffer.
  const bool gather = block != 0 || m_sendBatch.size() > 1;
  if (gather && m_sendCipher.size() < capacity) m_sendCipher.resize(capacity);
  const uint8_t* bytes = nullptr;
  uint64_t used = 0;
  for (const std::unique_ptr<HX_ClientMessage>& message : m_sendBatch) {
    const uint64_t size = message->Size();
    if (size == 0) continue;  // a message that could not be built carries nothing to send
    uint8_t* const at = m_sendCipher.data() + used;
    uint32_t produced = gather ? static_cast<uint32_t>(capacity - used) : static_cast<uint32_t>(size);
    const uint8_t* out = m_shield->Encrypt(message->Data(), static_cast<uint32_t>(size), at, produced);
    if (out == nullptr) {
      m_sendBatch.clear();
      return failed;
    }
    if (!gather) {
      bytes = out;
    } else if (out != at) {
      std::memcpy(at, out, produced);
    }
    used += produced;
  }
  if (gather) bytes = m_sendCipher.data();
  if (used > 0) {
    const size_t sent = socket->Send(bytes, static_cast<size_t>(used), 0);
    if (sent < used) m_sendRemainder.append(bytes + sent, used - sent);
  }
  m_sendBatch.clear();  // the messages are deleted once their bytes are sent or kept
  return keepGoing;
}
