// The readers of the packet manager: they cut transport messages out of the receive buffers and
// hand each whole message to the transport's dispatch.

#include <algorithm>

#include "core/base/ios_log.h"
#include "core/transport/message_check.h"
#include "core/transport/secure_shield.h"
#include "core/transport/transport_packet_manager.h"

namespace {

constexpr int64_t kFixedPartSize = sizeof(HX_FixedPartMessage);

const HX_FixedPartMessage* FixedPartAt(const uint8_t* bytes) {
  return reinterpret_cast<const HX_FixedPartMessage*>(bytes);
}

}  // namespace

bool HXZTransport::HXTransportPacketManager::DeliverMessage(const HX_FixedPartMessage* message) {
  if (!hx::transport::IsWellFormedMessage(*message)) {
    ios_log("Malformed packet received, sequence %u", message->Sequence());
    return false;
  }
  m_transport->UpdateLifeTime();
  const bool ok = message->BodyLengthField() == 0 ? m_transport->ProcessTransportPacket(message)
                                                  : m_transport->ProcessClientPacket(message);
  if (!ok) ios_log("%s", "Error: OnReadyRecvImp");
  return ok;
}

// A message's length is believed only once its header has passed its checks: a stream that is
// not (or no longer) made of messages would otherwise have the reader skip or wait for a body
// that is not one. The header is at most kMaxHeaderLength bytes, so it always fits.
bool HXZTransport::HXTransportPacketManager::ReadRawPacket() {
  HX_RecvFrameQueueTCPv1& buffer = *m_plainBuffer;
  const int64_t capacity = buffer.capacity();
  int64_t unread = buffer.GetPacketBufferWriteSize();
  if (m_currentLength == 0 && unread < kFixedPartSize) return true;
  for (;;) {
    if (m_currentLength == 0) {
      const HX_FixedPartMessage* fixed = FixedPartAt(buffer.GetPacketBufferRead());
      if (!hx::transport::IsPlausibleFixedPart(*fixed)) {
        ios_log("Malformed packet header received");
        return false;
      }
      const int64_t header_length = fixed->HeaderLength();
      if (unread < header_length) {
        if (header_length > unread + buffer.GetPacketBufferSize()) buffer.cutHeadGap();
        return true;  // the rest of the header comes with a later read
      }
      if (!hx::transport::IsWellFormedHeader(*fixed)) {
        ios_log("Malformed packet header received");
        return false;
      }
      m_currentLength = fixed->MessageLength();
      if (m_currentLength > static_cast<uint64_t>(capacity)) {
        ios_log("Oversized packet received %d", static_cast<int>(m_currentLength - 1));
        m_dropLeft = m_currentLength;
      } else {
        m_dropLeft = 0;
        // A message that cannot be completed in place moves to the start of the buffer.
        if (m_currentLength > static_cast<uint64_t>(unread + buffer.GetPacketBufferSize())) {
          buffer.cutHeadGap();
        }
      }
    }
    if (m_dropLeft > 0) {
      const int64_t skipped = static_cast<int64_t>(std::min<uint64_t>(unread, m_dropLeft));
      m_dropLeft -= static_cast<uint64_t>(skipped);
      unread -= skipped;
      buffer.IncPacketBuffer(skipped);
      // Everything read so far was skipped: the next read starts at the front again, so that a
      // message of any length the fixed part can state is skipped without filling the buffer.
      if (unread == 0) buffer.ResetPacketBufferAll();
      if (m_dropLeft > 0) return true;
      m_currentLength = 0;
    } else {
      const uint8_t* at = buffer.GetPacketBufferRead();
      if (HX_RecvFrameQueueTCPv1::AssemblePacket(at, static_cast<uint64_t>(unread)) == nullptr) {
        return true;  // the rest of the message comes with a later read
      }
      if (!DeliverMessage(FixedPartAt(at))) return false;
      const int64_t length = static_cast<int64_t>(m_currentLength);
      buffer.IncPacketBuffer(length);
      unread -= length;
      m_currentLength = 0;
      if (ReadingStopped()) return true;
    }
    if (unread < kFixedPartSize) return true;
  }
}

// The sender enciphers each message whole with padding, so a message of T bytes arrives as
// b * (T / b + 1) cipher bytes (b the block size). The first piece deciphered is `first` bytes,
// which yields the 16-byte fixed part while the cipher holds back the rest of its partial block;
// every later piece is whole blocks, so each piece but the last ends one byte short of a block
// boundary and only the last can complete (and unpad) the message.
bool HXZTransport::HXTransportPacketManager::ReadShieldedPacket() {
  HX_RecvFrameQueueTCPv1& plain = *m_plainBuffer;
  HXPacketBuffer& cipher = *m_cipherBuffer;
  const uint64_t block = m_blockSize;
  const uint64_t first = block * (kFixedPartSize / block + 1) - 1;
  for (;;) {
    const bool first_piece = m_currentLength == 0;
    uint64_t want = first_piece ? first : m_cipherLeft;
    const uint64_t available = static_cast<uint64_t>(cipher.GetPacketBufferWriteSize());
    if (available < want) {
      if (first_piece || available < block) {
        cipher.cutHeadGap();
        return true;
      }
      want = available / block * block;
    }
    const bool last_piece = !first_piece && want == m_cipherLeft;
    uint32_t produced = static_cast<uint32_t>(plain.GetPacketBufferSize());
    const uint8_t* deciphered = m_shield->Decrypt(cipher.GetPacketBufferRead(), static_cast<uint32_t>(want),
                                                  plain.GetPacketBufferWrite(), produced, last_piece);
    cipher.IncPacketBuffer(static_cast<int64_t>(want));
    if (deciphered == nullptr || deciphered != plain.GetPacketBufferWrite()) {
      ios_log("Cannot decipher a received packet");
      m_currentLength = 0;
      cipher.cutHeadGap();
      return false;
    }

    if (first_piece) {
      if (produced != static_cast<uint32_t>(kFixedPartSize)) return false;
      plain.IncPacketBufferWrite(produced);
      const HX_FixedPartMessage* fixed = FixedPartAt(plain.GetPacketBufferRead());
      if (!hx::transport::IsPlausibleFixedPart(*fixed)) {
        ios_log("Malformed packet header received");
        return false;
      }
      m_currentLength = fixed->MessageLength();
      m_cipherLeft = block * (m_currentLength / block + 1) - first;
      m_headerChecked = false;
      // Deciphering needs a block of room beyond the message: the cipher may release a held
      // back block before it strips the padding. An oversized message is still deciphered up to
      // its header, which is checked before the rest is dropped.
      const uint64_t room = m_currentLength + block;
      m_dropLeft = room > static_cast<uint64_t>(plain.capacity()) ? m_cipherLeft : 0;
      const uint64_t keep = m_dropLeft > 0 ? hx::transport::kMaxHeaderLength + kCipherBufferSize : room;
      if (keep > static_cast<uint64_t>(kFixedPartSize + plain.GetPacketBufferSize())) plain.cutHeadGap();
      continue;
    }

    m_cipherLeft -= want;
    if (m_dropLeft > 0 && m_headerChecked) {
      // The deciphered bytes of an oversized message are not kept.
      m_dropLeft = m_cipherLeft;
      if (m_cipherLeft == 0) m_currentLength = 0;
      continue;
    }
    plain.IncPacketBufferWrite(produced);
    if (!m_headerChecked) {
      const HX_FixedPartMessage* fixed = FixedPartAt(plain.GetPacketBufferRead());
      if (plain.GetPacketBufferWriteSize() >= fixed->HeaderLength()) {
        if (!hx::transport::IsWellFormedHeader(*fixed)) {
          ios_log("Malformed packet header received");
          return false;
        }
        m_headerChecked = true;
        if (m_dropLeft > 0) {
          ios_log("Oversized packet received %lu", static_cast<unsigned long>(m_currentLength));
          plain.ResetPacketBufferAll();
          m_dropLeft = m_cipherLeft;
          if (m_cipherLeft == 0) m_currentLength = 0;
          continue;
        }
      }
    }
    if (m_cipherLeft > 0) continue;

    // The padding decides how many plain bytes the last piece gives: they must make up exactly
    // the message the fixed part announced.
    if (static_cast<uint64_t>(plain.GetPacketBufferWriteSize()) != m_currentLength) {
      ios_log("Deciphered packet length differs from its header");
      return false;
    }
    if (!DeliverMessage(FixedPartAt(plain.GetPacketBufferRead()))) return false;
    // The message was all the buffer held: the next one starts at the front again.
    plain.ResetPacketBufferAll();
    m_currentLength = 0;
    if (ReadingStopped()) return true;
  }
}
