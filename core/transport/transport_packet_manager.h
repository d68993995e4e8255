#pragma once
// HXZTransport::HXTransportPacketManager: the transport's data manager while connected. It cuts
// the incoming byte stream into transport messages (deciphering them first after a secure
// handshake) and hands each to the transport's dispatch, and it writes the queued outgoing
// messages, enciphered whole after a secure handshake, as many per ready-to-send event as fit one
// write of kSendBatchSize bytes (at least one).
//
// Reading: every message is checked before it is used. A fixed part that is not plausible, a
// message whose checksums or names are wrong, or one whose deciphered length differs from what
// its fixed part announced ends the connection; so do a body that does not decode and a message
// for a service without a manager (the dispatch's verdict). A message too large for the receive
// buffer is skipped ("Oversized packet received") and the connection stays.
//
// Threads: the readers and the writer run on the network loop thread. The outgoing queue is
// guarded by the transport's lock. init (any thread, under the transport's lock) only marks the
// receive buffers for emptying; the loop thread empties them before its next read, so a reader
// still busy with the previous connection is never pulled from under its feet.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/base/net_message.h"
#include "core/base/packet_buffer.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/transport/recv_frame_queue.h"
#include "core/transport/transport.h"
#include "core/wire/client_message.h"

class HXSecureShield;

class HXZTransport::HXTransportPacketManager : public HXZADataManager {
 public:
  static constexpr int64_t kCipherBufferSize = 128 * 1024;
  // The most bytes one ready-to-send event gathers from several queued messages.
  static constexpr uint64_t kSendBatchSize = 64 * 1024;

  HXTransportPacketManager(HXZTransport* transport, HXSecureShield* shield);
  ~HXTransportPacketManager() override;

  // For a new connection: deletes every queued message and has both receive buffers emptied
  // before the next read. The caller holds the transport's lock.
  void init();
  // Stops the reader at the next message boundary: what the current read holds beyond it is
  // dropped (the connection is over).
  void StopReading() { m_connectionEpoch.fetch_add(1); }
  // The shield for the messages from now on; drops unsent bytes of the previous shield.
  void SetSecureShield(HXSecureShield* shield);

  // The outgoing queue; the caller holds the transport's lock.
  void PushBack(HX_ClientMessage* message) { m_queue.emplace_back(message); }
  void PushFront(HX_ClientMessage* message) { m_queue.emplace_front(message); }
  bool QueueEmpty() const { return m_queue.empty(); }

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

 private:
  // Cut messages out of the receive buffers; false when the connection must end.
  bool ReadRawPacket();
  bool ReadShieldedPacket();
  // Checks and dispatches the whole message at `message`; false when the connection must end.
  bool DeliverMessage(const HX_FixedPartMessage* message);
  // Empties the receive buffers when a new connection started since the last read.
  void FollowConnection();
  bool ReadingStopped() const { return m_connectionEpoch.load() != m_readerEpoch; }

  HXZTransport* const m_transport;
  std::deque<std::unique_ptr<HX_ClientMessage>> m_queue;
  HXNetMessage m_sendRemainder;
  HXSecureShield* m_shield;
  const std::unique_ptr<HX_RecvFrameQueueTCPv1> m_plainBuffer;
  uint64_t m_cipherLeft = 0;     // cipher bytes of the current message still to read
  uint64_t m_currentLength = 0;  // the current message's whole length; 0 between messages
  const std::unique_ptr<HXPacketBuffer> m_cipherBuffer;
  uint64_t m_blockSize = 0;  // of the current read; 0 reads plain messages
  uint64_t m_dropLeft = 0;   // bytes of an oversized message still to skip
  bool m_headerChecked = false;  // the enciphered reader has checked the current message's header
  // The buffer outgoing messages are enciphered and gathered into, grown to the largest batch.
  std::vector<uint8_t> m_sendCipher;
  // The messages of the write under way; only the loop thread touches it.
  std::vector<std::unique_ptr<HX_ClientMessage>> m_sendBatch;
  // Changed by init and StopReading; the reader follows it on the loop thread.
  std::atomic<uint32_t> m_connectionEpoch{0};
  uint32_t m_readerEpoch = 0;
};
