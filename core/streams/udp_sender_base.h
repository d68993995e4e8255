#pragma once
// HX_SenderUDPBase: the send stream's side of a UDP stream. Frames go into the NHP send queue;
// whenever the connection is writable and the pacing bucket allows, the head packet is encrypted
// (when the stream has a key), given the 14-byte multicast head when the stream is relayed, and
// sent. A packet that the socket takes only in part stays at the head of the queue and leaves
// whole later. The send-rate control beside the queue records every send and answers the
// encoder's bandwidth questions.
//
// Pacing never spins: a delay arms one connection timer (id 0) and writable notifications are
// asked for only while packets wait; a notification sends one packet.
//
// Threads: everything runs under the owning stream's lock (recursive): AddFrame on the encoder
// and audio threads, notifications and timers on the network loop thread. The owner is set
// before the stream starts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/base/net_message.h"
#include "core/media/format/bandwidth_pipe.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/nhp_control_queue.h"
#include "core/streams/nhp_send_queue.h"
#include "core/streams/stream_clock.h"
#include "core/streams/udp_stream_helper.h"

class HX_UdpSendConnection;

class HX_SenderUDPBase : public HX_SenderStreamNetHandler, public HX_MediaStreamUDPHelper {
 public:
  static constexpr size_t kPayloadSize = 1400;
  static constexpr uint32_t kPacingTimerId = 0;
  // Bytes below the payload that the pacing bucket charges per datagram, and its least datagram.
  static constexpr uint64_t kIpv4Overhead = 20;
  static constexpr uint64_t kIpv6Overhead = 48;
  static constexpr uint64_t kMinimumPacket = 256;

  explicit HX_SenderUDPBase(HX_TickSource clock = HX_CoreTickSource());
  ~HX_SenderUDPBase() override;

  bool startConnection(const std::string& key) override;
  // Drops the frame (true) while the stream is not connected, is shutting down or has no queue.
  // Audio frames (track 1) go out with the current tick in their first 4 bytes.
  bool AddFrame(int track, size_t size, const void* data, const HX_SendNhpVideoHeader* header,
                int priority) override;
  // Asks for a writable notification unless the pacing timer will resume sending; false when
  // the stream is not connected or is shutting down.
  bool kickSend();
  void onReadySend(HX_MediaStreamRegularConnection* connection) override;
  void setBitrateLimit(uint64_t rate) override;
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override;
  void GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) override;
  uint32_t GetVideoBandwidth(uint32_t uploadLimit) override;
  // The pacing delay is over (the connection's timer).
  void onBandwidthDelayTimer();

  HX_SendFrameQueueNhp* sendQueue() const { return m_sendQueue.get(); }
  HX_ControlQueueNhp* controlQueue() const { return m_controlQueue.get(); }
  bool multicastHead() const { return m_multicastHead; }
  bool pacingTimerArmed() const { return m_timerArmed; }
  const HX_BandwidthPipe& pacingPipe() const { return m_pipe; }

 protected:
  // Creates the queues that are missing and ties them together. Caller holds the stream lock.
  void setupQueues(uint32_t redundancy, uint32_t interval, bool direct);
  // The datagram shape of a new connection: head on or off, the bucket's per-packet overhead.
  // Caller holds the stream lock.
  void setupSending(bool multicastHead, uint64_t overhead);
  int64_t now() const { return m_clock(); }

 private:
  // The send queue calls back when a resend waits.
  class Kick : public HX_SendKick {
   public:
    explicit Kick(HX_SenderUDPBase* sender) : m_sender(sender) {}
    void kickSend() override { m_sender->kickSend(); }

   private:
    HX_SenderUDPBase* const m_sender;
  };

  // Sends the head packet when pacing allows: 0, or 1 without a connection. `wouldBlock` is set
  // when nothing is left to send or the pacing delays the packet.
  int sendFrame(bool& wouldBlock);
  bool connectedNow() const;
  HX_UdpSendConnection* udpConnection() const;

  const HX_TickSource m_clock;
  Kick m_kick{this};
  std::unique_ptr<HX_ControlQueueNhp> m_controlQueue;
  HXNetMessage m_packet{1500};
  std::unique_ptr<HX_SendFrameQueueNhp> m_sendQueue;
  bool m_multicastHead = false;
  HX_BandwidthPipe m_pipe;
  bool m_timerArmed = false;
  // An audio frame with its tick written in: the caller's bytes are not ours to change.
  std::vector<uint8_t> m_audio;
};
