#pragma once
// A send stream over a simulated TCP link to a simulated relay, on a simulated clock. The source
// adds audio every 20 ms and video at 25 frames per second sized to the current bandwidth to a
// TCP send queue; the link takes the queue's current part at a set byte rate, as the send handler
// does on writable notifications (GetFrame, then NextPart once the whole part is out), and hands
// every part to the relay. The relay keeps a queue per track that it forwards at its own rate and
// every second answers with its statistics: a sender-control frame (track 255) holding a BrokerStat
// command built here from the relay record's offsets, which the stream passes to the queue. After
// Reset and one bandwidth request at the initial bandwidth, the bandwidth is asked every 300 ms.
//
// Not thread-safe: one test thread steps it.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/streams/tcp_control_band.h"
#include "core/streams/tcp_send_queue.h"
#include "testing/sim_net/sim_channel.h"

namespace hx::testing {

struct SimTcpLinkConfig {
  uint32_t linkKbps = 2000;     // the link's rate (kbit/s of 1024 bits)
  uint32_t relayKbps = 100000;  // how fast the relay forwards what it holds
  int requestedKbps = 1000;     // the upload limit asked every 300 ms
  int initialKbps = 300;        // the bandwidth of Reset and the first request
  int64_t startTick = 1000;
  bool relayStatistics = true;  // whether the relay sends its statistics
  bool hardwareEncoder = false;
  int fps = 25;
};

class SimTcpLink {
 public:
  struct BandSample {
    int64_t tick;
    int band;
    uint16_t send;
    uint32_t state;
  };

  explicit SimTcpLink(const SimTcpLinkConfig& config);
  SimTcpLink(const SimTcpLink&) = delete;
  SimTcpLink& operator=(const SimTcpLink&) = delete;

  // Advances the simulation by `ms` milliseconds, one millisecond at a time.
  void Run(int64_t ms);
  void SetLinkKbps(uint32_t kbps) { config_.linkKbps = kbps; }
  void SetRelayStatistics(bool on) { config_.relayStatistics = on; }

  SimClock& Clock() { return clock_; }
  HX_SendFrameQueueTCPv2& Queue() { return queue_; }
  int Band() const { return band_; }
  const std::vector<BandSample>& Bands() const { return bands_; }
  uint64_t BytesSent() const { return bytesSent_; }
  uint64_t RelayStatisticsSent() const { return relayStats_; }
  // Frames the relay got, re-read from the bytes on the link, by track.
  const std::map<unsigned, uint64_t>& RelayFrames() const { return relayFrames_; }
  uint64_t BadFrames() const { return badFrames_; }

 private:
  void Source();
  void Link();
  void Relay();
  void RelayPart(const uint8_t* bytes, size_t size);

  SimTcpLinkConfig config_;
  SimClock clock_;
  HX_SendFrameQueueTCPv2 queue_;
  std::vector<uint8_t> buffer_;
  int64_t nextVideo_ = 0, nextAudio_ = 0, nextBand_ = 0, nextStat_ = 0;
  double credit_ = 0, relayCredit_ = 0;
  uint64_t partDone_ = 0;  // bytes of the current part already on the link
  std::vector<uint8_t> part_;
  uint8_t counter_ = 0;
  int band_ = 0;
  std::vector<BandSample> bands_;
  std::map<unsigned, uint64_t> relayQueue_;  // bytes held per track
  std::map<unsigned, uint64_t> relayFrames_;
  uint64_t bytesSent_ = 0, relayStats_ = 0, badFrames_ = 0;
};

}  // namespace hx::testing
