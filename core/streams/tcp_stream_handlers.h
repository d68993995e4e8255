#pragma once
// The net handlers of a media stream over TCP (to the relay or directly to the peer).
//
// HX_SenderTCP queues the send stream's frames in the TCP send queue and, through its packet
// manager (the data manager of the regular connection), writes them part by part. A part is
// enciphered once with the shield in use and written across as many writable notifications as
// the socket needs; the queue advances only when the whole part is out. Its liveness check
// (HX_TcpSendLiveness) declares the connection dead when the socket stops draining. What the far
// end sends on a send connection is dropped; its close is a break.
//
// HX_ReceiverTCP's packet manager fills the receive buffer from the socket, cuts stream frames
// out of it by their 8-byte heads, deciphers them and dispatches them by track to the receive
// stream: 1 audio, 2 video (through the frame assembler), 5 data, 254 commands, 255 sender
// control (a ping when empty); any other track is dropped, and so is a frame the shield does not
// give back whole (a deciphered head claiming more payload than came out). A read of nothing is a
// break only when the socket reports the end of the stream or a failure.
//
// The streams are reached through their ports (core/streams/tcp_stream_ports.h).
//
// The shield in use is the secure stream object's when it took the stream key, else the plain
// one's (frames pass unchanged): a missing or refused key does not stop the stream.
//
// Threads: the packet managers run on the network loop's thread in the connection's
// notifications; the encrypted part is guarded by the sender's own lock, which the hardware steps
// take too. AddFrame and PostFrame come from the encoder and audio threads (the send queue
// serialises itself) and wake the connection under the stream lock. checkConnectionAlive runs on
// the send stream's job. The receive path needs no lock of its own: one loop thread reads.

#include <cstdint>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/stream_clock.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_send_liveness.h"

class HXHelperStreamSecure;
class HXHelperStreamSimple;
class HXSecureShield;
class HX_CommitFrameBase;
class HX_RecvFrameQueueTCPv2;
class HX_SendFrameQueueTCPv2;
class HX_TcpReceiveStreamPort;
class HX_TcpSendStreamPort;
class HX_VideoFrameAssembler;

class HX_SenderTCP : public HX_SenderStreamNetHandler {
 public:
  static constexpr uint32_t kPingPeriodMs = 2000;

  // Writes the send queue's parts to the regular connection's socket.
  class HXSenderPacketManager : public HXZADataManager {
   public:
    explicit HXSenderPacketManager(HX_SenderTCP* handler) : m_handler(handler) {}
    // Writes what the socket takes of the current part; 0, or 1 after a hard send error.
    int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
    // Nothing is expected from the far end: reads and drops, 2 when it closed.
    int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
    void setShield(HXSecureShield* shield) { m_shield = shield; }
    HXSecureShield* shield() const { return m_shield; }

   private:
    HX_SenderTCP* const m_handler;
    HXSecureShield* m_shield = nullptr;
  };

  // The current part after encipherment, and how much of it is out.
  struct EncryptedFrameWrapper {
    HX_CommitFrameBase* frame = nullptr;
    uint64_t size = 0;
    const uint8_t* data = nullptr;
    uint64_t written = 0;
    uint64_t plainSize = 0;  // what the queue counts the part as
  };

  explicit HX_SenderTCP(HX_TickSource clock = HX_CoreTickSource());
  ~HX_SenderTCP() override;

  bool startConnection(const std::string& key) override;
  bool AddFrame(int track, size_t size, const void* data, const HX_SendNhpVideoHeader* header,
                int priority) override;
  bool PostFrame(const HX_StreamFrameHead* head);
  // With the stream lock held: the connection's sending state on.
  void startSendNL();
  uint32_t getPingPeriod() override { return kPingPeriodMs; }
  void PingStream() override;
  bool checkConnectionAlive() override;
  bool beforeAcquireHardware() override;
  bool afterAcquireHardware() override;
  void ResetSenderStream(uint32_t bandwidth);
  uint32_t GetVideoBandwidth(uint32_t uploadLimit) override;
  void GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) override;
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override;
  void setBitrateLimit(uint64_t) override {}
  uint64_t getSocketSendQueueSizeNL();
  HX_MediaStreamRegularConnection* createRegularFromTrial(
      HX_MediaStreamTrialConnection* trial) override;

  // The send stream's side; set before the stream starts.
  void setStreamPort(HX_TcpSendStreamPort* port) { m_port = port; }
  HX_SendFrameQueueTCPv2& sendQueue() { return *m_queue; }
  HXSenderPacketManager& packetManager() { return m_packetManager; }
  HX_TcpSendLiveness& liveness() { return m_liveness; }

 private:
  friend class HXSenderPacketManager;
  int32_t sendStep(HXZASocket* socket);
  // Writes what the socket takes of the current part; false after a hard failure.
  bool writePart(HXZASocket* socket);
  // Sending off when nothing is queued; under the stream lock, so that a frame added meanwhile
  // switches it on again after this.
  void idleCheck(HXZASocket* socket);
  void wakeUp();
  uint32_t initialBandwidth() const;

  HX_TickSource m_clock;
  HX_TcpSendStreamPort* m_port = nullptr;
  HX_TcpSendLiveness m_liveness;
  HXSenderPacketManager m_packetManager;
  std::unique_ptr<HXHelperStreamSimple> m_plain;
  std::unique_ptr<HXHelperStreamSecure> m_secure;
  std::unique_ptr<HX_SendFrameQueueTCPv2> m_queue;
  HXLock m_partLock;
  EncryptedFrameWrapper m_part;
};

class HX_ReceiverTCP : public HX_ReceiverStreamNetHandler {
 public:
  // Fills the receive buffer and hands out the frames it completes.
  class HXReceiverPacketManager : public HXZADataManager {
   public:
    explicit HXReceiverPacketManager(HX_ReceiverTCP* handler) : m_handler(handler) {}
    // 2 when the peer closed or the connection failed; 0 otherwise.
    int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
    // Nothing is written on a receive connection.
    int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
    void setShield(HXSecureShield* shield) { m_shield = shield; }
    HXSecureShield* shield() const { return m_shield; }

   private:
    HX_ReceiverTCP* const m_handler;
    HXSecureShield* m_shield = nullptr;
  };

  explicit HX_ReceiverTCP(HX_TickSource clock = HX_CoreTickSource());
  ~HX_ReceiverTCP() override;

  bool startConnection(const std::string& key) override;
  bool afterAcquireHardware() override;
  bool beforeReleaseHardware() override { return true; }
  void onVideoChangeFormat(const HX_MediaFormat& format) override;
  void getRecvHandlerStatistics(int& jitter, int& lostPackets) override;
  HX_MediaStreamRegularConnection* createRegularFromTrial(
      HX_MediaStreamTrialConnection* trial) override;
  // One deciphered frame: `head` with Length() payload bytes behind it.
  void onTCPDataReceived(const HX_StreamFrameHead* head);

  // Where received frames go; set before the stream starts.
  void setStreamPort(HX_TcpReceiveStreamPort* port) { m_port = port; }
  HXReceiverPacketManager& packetManager() { return m_packetManager; }
  // Made by createRegularFromTrial (or ensureBuffers) when missing.
  HX_RecvFrameQueueTCPv2* receiveQueue() { return m_queue.get(); }
  HX_VideoFrameAssembler* assembler() { return m_assembler.get(); }
  // Creates the receive queue and the assembler when missing.
  void ensureBuffers();

 private:
  friend class HXReceiverPacketManager;
  int32_t receiveStep(HXZASocket* socket, HXZADataHandler* handler);
  void dispatchVideo(const uint8_t* payload, uint16_t length);

  HX_TickSource m_clock;
  HX_TcpReceiveStreamPort* m_port = nullptr;
  HXReceiverPacketManager m_packetManager;
  std::unique_ptr<HXHelperStreamSimple> m_plain;
  std::unique_ptr<HXHelperStreamSecure> m_secure;
  std::unique_ptr<HX_VideoFrameAssembler> m_assembler;
  std::unique_ptr<HX_RecvFrameQueueTCPv2> m_queue;
};
