#pragma once
// HX_ControlBandTCP: how many kbit/s a send stream over TCP may spend on video. Two estimates meet:
// - the relay's statistics (BrokerStat commands, about once a second): a per-track load and a
//   delivered-rate estimate that steer a per-track current bit rate (AnaliseBrokerStat, Calculate);
// - the sender's own queue, sampled every 500 ms or more: when it holds 200 ms or more at the
//   measured physical rate, the send bit rate S is cut and held; afterwards it grows back in
//   geometric steps towards an upper limit (CalculatePhBandwidth, CalculateSendBitrate, every
//   2001 ms or more from 5001 ms after the first GetVideoBandwidth).
// The answer is S until the first relay statistics after a Reset, then the smaller of the two.
// Bit rates are kbit/s of 1024 bits; bytes per ms become kbit/s by 7.8125.
//
// Values stored into the 16-bit figures (P, S, B, U) are capped at 65534: 65535 means "not yet".
// Relay statistics are read only as far as the command's data holds them, 10 entries at most.
//
// Thread safety: none of its own; every call runs under the owning HX_SendFrameQueueTCPv2's lock.

#include <cstdint>
#include <deque>
#include <map>
#include <random>

#include "core/streams/nhp_control_queue.h"
#include "core/streams/stream_clock.h"

class HX_SendFrameQueueTCPv2;

struct HX_SendPacketCharacter {
  uint64_t time = 0;
  uint32_t size = 0;
  uint16_t track = 0;
  uint64_t value = 0;
  uint16_t flag = 0;
};

struct TickSenderBitrate {
  uint64_t time = 0;
  uint32_t bytesSent = 0;
  uint32_t bytesQueued = 0;
  uint32_t partsQueued = 0;
  double sendRate = 0;
};

struct HX_TrackInfo {
  uint64_t lastEstimateUpdate = 0;
  uint64_t previousQueue = 0;
  uint64_t queue = 0;
  uint32_t estimate = 0;
  uint32_t current = 0;
  uint32_t maximum = 0;
  float load = 0;
  float sendRate = 0;
  float partRate = 0;
  float valueRate = 0;
};

// States of the send bit rate.
enum HX_ControlBandTCPState : uint32_t {
  HX_BandTCP_Unmeasured = 0,
  HX_BandTCP_Growing = 1,
  HX_BandTCP_Congested = 2,
  HX_BandTCP_Recovering = 4,
  HX_BandTCP_Waiting = 32,
};

class HX_ControlBandTCP : public HX_ControlBandBase {
 public:
  static constexpr uint16_t kUnset = 65535;
  static constexpr uint16_t kMaxFigure = 65534;
  static constexpr size_t kMaxRecords = 800;
  static constexpr unsigned kAllTracks = 256;
  static constexpr size_t kMaxRelayEntries = 10;

  // `queue` (may be null: no queue figures are sampled) owns this control.
  explicit HX_ControlBandTCP(HX_SendFrameQueueTCPv2* queue,
                             HX_TickSource clock = HX_CoreTickSource());

  // Code 10 (BrokerStat): reads the relay statistics, analyses them now, clears the reset flag
  // and returns 10. Anything else: 0.
  int SetReceivedCommand(const HX_MiscCommand& command) override;
  int GetVideoBandwidth(int requested) override;
  bool IsDataAllowed(int limit) override;
  void Add(uint64_t time, uint64_t size, uint16_t track, uint64_t value, uint16_t flag) override;
  int GetCurrBand() override { return 0; }

  void Reset(uint32_t bandwidth);
  uint32_t GetBitrate(unsigned track) const;

  void ReadRelayStatistics(const HX_MiscCommand& command);
  void AnaliseBrokerStat(uint64_t tick);
  void Calculate(uint64_t tick);
  int CalculatePhBandwidth();
  void CalculateSendBitrate(uint32_t tick, int limit, int ratio);

  // Inspection and set-up, for the send handler's diagnostics and for tests.
  uint16_t PhysicalBandwidth() const { return m_phys; }
  uint16_t SendBitrate() const { return m_send; }
  uint16_t Base() const { return m_base; }
  uint16_t Upper() const { return m_upper; }
  uint32_t State() const { return m_state; }
  uint32_t Multiplier() const { return m_multiplier; }
  uint64_t HoldUntil() const { return m_holdUntil; }
  uint64_t PhaseTime() const { return m_phaseTime; }
  int LastQueueRatio() const { return m_lastRatio; }
  bool ResetFlag() const { return m_reset; }
  bool HardwareEncoder() const { return m_hardwareEncoder; }
  const std::deque<HX_SendPacketCharacter>& Records() const { return m_records; }
  const std::map<unsigned, HX_TrackInfo>& Tracks() const { return m_tracks; }
  HX_TrackInfo& Track(unsigned track) { return m_tracks[track]; }
  const std::map<unsigned, std::deque<TickSenderBitrate>>& History() const { return m_history; }
  std::deque<TickSenderBitrate>& HistoryOf(unsigned track) { return m_history[track]; }
  void SetFigures(uint16_t phys, uint16_t send, uint16_t base, uint16_t upper, uint32_t state,
                  uint32_t multiplier);
  void SetLastAnalysis(uint64_t tick) { m_lastAnalysis = tick; }

 private:
  HX_SendFrameQueueTCPv2* m_queue;
  HX_TickSource m_clock;
  std::map<unsigned, std::deque<TickSenderBitrate>> m_history;
  std::deque<HX_SendPacketCharacter> m_records;  // newest first
  std::map<unsigned, HX_TrackInfo> m_tracks;
  uint64_t m_lastAnalysis = 0;
  uint64_t m_lastCalculate = 0;
  uint64_t m_lastSample = 0;
  uint64_t m_nextPhys = 0;
  uint64_t m_phaseTime = 0;
  uint64_t m_holdUntil = 0;
  int m_lastRatio = 0;
  uint16_t m_phys = kUnset;
  uint16_t m_send = kUnset;
  uint16_t m_base = kUnset;
  uint16_t m_upper = kUnset;
  uint32_t m_state = 0;
  uint32_t m_multiplier = 0;
  bool m_reset = false;
  std::mt19937 m_random{0x7c9u};
};
