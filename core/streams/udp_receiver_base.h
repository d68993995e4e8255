#pragma once
// HX_ReceiverUDPBase: a receive stream's side of a UDP stream (relayed or direct). Each NHP
// packet its connection accepted is deciphered (when the stream has a key and the packet
// deciphers; otherwise it goes on as received, for the queue to judge), counted for the stream's
// statistics and put into the NHP receive queue; the frames the queue completes go to the
// receive stream: commands, audio (without its 4-byte timestamp), video (with the time since
// the previous frame, at most 1000 ms) and data.
//
// Threads: packets arrive on the network loop thread; hardware hooks and statistics come from
// the stream's jobs and the conference. One mutex serialises the queue, the packet buffer and
// the last video timestamp.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/base/net_message.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/stream_clock.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_stream_helper.h"

class HX_ReceiverUDPBase : public HX_ReceiverStreamNetHandler,
                           public HX_MediaStreamUDPHelper,
                           public HX_NhpDataSink {
 public:
  static constexpr uint64_t kPacketBufferSize = 1 << 20;
  static constexpr uint32_t kMaxVideoDelta = 1000;

  explicit HX_ReceiverUDPBase(HX_TickSource clock = HX_CoreTickSource());
  ~HX_ReceiverUDPBase() override;

  bool startConnection(const std::string& key) override;
  // Takes `queue` in place of the old one; grows the packet buffer to `bufferSize` (when not 0).
  void setRecvQueue(std::unique_ptr<HX_ReceiveFrameQueueNhp> queue, uint64_t bufferSize);
  void clearBuffers();
  bool beforeAcquireHardware() override;
  void getRecvHandlerStatistics(int& jitter, int& lostPackets) override;
  void onVideoChangeFormat(const HX_MediaFormat&) override {}
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t datagramSize) override;

 private:
  // Hands the queue's complete frames to the stream; the number handed over.
  int dispatchFrames();

  const HX_TickSource m_clock;
  std::unique_ptr<HX_ReceiveFrameQueueNhp> m_queue;
  HXNetMessage m_packet;
  std::mutex m_mutex;
  uint64_t m_lastVideoTimestamp = 0;
};
