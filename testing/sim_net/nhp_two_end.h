#pragma once
// Two ends of a UDP media stream over a simulated duplex channel, each with a send queue, a
// send-rate control and a receive queue, as the UDP handlers wire them. End A sends audio every
// 20 ms and video at 25 frames per second sized to its current band (key frames on request) to
// end B. Each end's queues hand their commands to the end's command processor, which sends them
// as command packets (track 254, priority 1) through the end's own send queue; command packets
// that arrive are dispatched as the stream does it: time-delay commands to the receive queue,
// statistics and resend requests to the control, key-frame requests to the video source. The
// band is asked every 300 ms.
//
// Not thread-safe: one test thread steps it.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/streams/nhp_control_queue.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/nhp_send_queue.h"
#include "testing/sim_net/sim_channel.h"

namespace hx::testing {

struct NhpTwoEndConfig {
  bool direct = true;       // direct UDP: feedback on, mode 0; else multicast
  int videoMode = 0;        // receive mode of a multicast end (2 for VP8 and H.264)
  uint32_t redundancy = 0;  // send queue redundancy (multicast)
  uint32_t spacing = 0;
  uint64_t payloadSize = 1400;
  int requestedKbps = 1000;  // the maximum asked of the control every 300 ms
  int64_t startTick = 0;     // the clock at the start, as a process that has just started
  bool audio = true;
  bool dropResendRequests = false;  // resend requests are dropped before they are sent
  int fps = 25;
};

class NhpTwoEnd {
 public:
  struct Frame {
    uint32_t timestamp;
    std::vector<uint8_t> bytes;
  };

  explicit NhpTwoEnd(const NhpTwoEndConfig& config);
  ~NhpTwoEnd();
  // The queues hold the clock's address: an end stays where it was built.
  NhpTwoEnd(const NhpTwoEnd&) = delete;
  NhpTwoEnd& operator=(const NhpTwoEnd&) = delete;

  // Advances the simulation by `ms` milliseconds, one millisecond at a time.
  void Run(int64_t ms);

  SimDuplex& Channel() { return channel_; }
  SimClock& Clock() { return clock_; }
  HX_ControlQueueNhp& SenderControl() { return *a_.control; }
  HX_ReceiveFrameQueueNhp& ReceiverQueue() { return *b_.receive; }
  const HX_ReceiveFrameQueueNhp& ReceiverQueue() const { return *b_.receive; }
  int Band() const { return band_; }
  int MaxBand() const { return maxBand_; }
  // Every video frame the source made, by timestamp, and those B delivered, in delivery order.
  const std::map<uint32_t, std::vector<uint8_t>>& SentVideo() const { return sentVideo_; }
  const std::vector<Frame>& ReceivedVideo() const { return receivedVideo_; }
  uint64_t SentAudio() const { return sentAudio_; }
  uint64_t ReceivedAudio() const { return receivedAudio_; }
  uint64_t VideoPacketsSent() const { return videoPackets_; }
  // Commands produced by each end's queues, by code; key-frame requests with their ticks.
  const std::map<int, uint64_t>& CommandsFromB() const;
  const std::map<int, uint64_t>& CommandsFromA() const;
  const std::vector<int64_t>& KeyFrameRequests() const { return keyRequests_; }
  const std::vector<int64_t>& KeyFramesSent() const { return keyFrames_; }
  uint64_t ResendsGranted() const { return resendsGranted_; }

 private:
  struct CommandProc;
  struct End {
    std::unique_ptr<HX_SendFrameQueueNhp> send;
    std::unique_ptr<HX_ControlQueueNhp> control;
    std::unique_ptr<HX_ReceiveFrameQueueNhp> receive;
    std::shared_ptr<CommandProc> proc;
  };
  void MakeEnd(End& end);
  void Pump(End& end, SimChannel& out);
  void Receive(End& end, const uint8_t* packet, size_t size, bool is_b);
  void Dispatch(End& end, const HX_MiscCommand& command);
  void Source();

  NhpTwoEndConfig config_;
  SimClock clock_;
  SimDuplex channel_;
  End a_, b_;
  std::vector<uint8_t> buffer_;
  int64_t nextVideo_ = 0, nextAudio_ = 0, nextBand_ = 0;
  bool keyWanted_ = true;
  uint8_t counter_ = 0;
  int band_ = 0;
  int maxBand_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> sentVideo_;
  std::vector<Frame> receivedVideo_;
  uint64_t sentAudio_ = 0, receivedAudio_ = 0, videoPackets_ = 0, resendsGranted_ = 0;
  std::vector<int64_t> keyRequests_, keyFrames_;
};

}  // namespace hx::testing
