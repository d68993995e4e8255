#pragma once
// UDP send-rate control: sits beside the UDP send queue of a send stream and decides how much
// video the stream may send. Every packet sent is recorded here; on a direct UDP stream the
// peer's receive queue answers with resend requests and a statistics record about once a second,
// which become resends and a video band that rises along a sine-shaped curve while the path is
// clean and is cut when the receiver reports losses or receives far less than was sent.
// Multicast senders get no feedback: their band is the request divided by the redundancy count.
//
// Thread safety: none of its own; the send handler calls every operation with the stream's lock
// held.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>

#include "core/media/audio/clock_deviation.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/stream_clock.h"
#include "core/streams/stream_command.h"

class HX_SendFrameQueueNhp;

class HX_ControlBandBase : public HX_MiscCommandProcess {
 public:
  ~HX_ControlBandBase() override = default;
  // The video bandwidth the encoder may use, given the requested maximum (kbit/s).
  virtual int GetVideoBandwidth(int requested) = 0;
  virtual bool IsDataAllowed(int limit) = 0;
  // A send record; does nothing in the base.
  virtual void Add(uint64_t /*time*/, uint64_t /*size*/, uint16_t /*track*/, uint64_t /*value*/,
                   uint16_t /*flag*/) {}
  virtual int GetCurrBand() { return 0; }
  virtual void SetHardwareEncoder(bool hardware) { m_hardwareEncoder = hardware; }

  void SetSendQueue(HX_SendFrameQueueNhp* queue) { m_sendQueue = queue; }

 protected:
  HX_SendFrameQueueNhp* m_sendQueue = nullptr;
  bool m_hardwareEncoder = false;
};

// One packet sent: tick (low 32 bits), size, class (1 audio, 2 video, 3 data, 0 other).
struct HX_SendPacketCharacterNhp {
  uint32_t tick = 0;
  uint16_t size = 0;
  uint16_t cls = 0;
  uint16_t value = 0;
  uint16_t zero = 0;
};
static_assert(sizeof(HX_SendPacketCharacterNhp) == 12);

class HX_ControlQueueNhp : public HX_ControlBandBase {
 public:
  HX_ControlQueueNhp(bool direct, int packet_size, HX_TickSource clock = HX_CoreTickSource());

  // Direct mode only: RequestPacket (3 data bytes: u16 sequence, packet type) resends through the
  // send queue; Stat (its first 34 bytes) updates the band. Returns the code acted on, else 0.
  int SetReceivedCommand(const HX_MiscCommand& command) override;
  int GetVideoBandwidth(int requested) override;
  // The data-track admission test over the last second of sends. In multicast mode it also sets
  // the top of the curve to the limit.
  bool IsDataAllowed(int limit) override;
  // Records one send; nothing when `incomplete` is set (the packet did not leave whole).
  void Add(uint64_t time, uint64_t size, uint16_t track, uint64_t value,
           uint16_t incomplete) override;

  int Band() const { return m_band; }
  int Top() const { return m_top; }
  int Base() const { return m_base; }
  int Span() const { return m_span; }
  int Period() const { return m_period; }
  int Limit() const { return m_limit; }
  uint32_t Reports() const { return m_reports; }
  double VideoSendRate() const { return m_rates[2]; }

 private:
  void AnalyseSendRates(int64_t now);
  void UpdateBandwidth(int64_t now);

  std::deque<HX_SendPacketCharacterNhp> m_records;  // newest first
  int m_band = 0;
  int m_top = 0;
  uint32_t m_dataRate = 0;
  int m_base = 0;
  uint32_t m_reports = 0;
  int m_span = 0;
  int m_period = 60000;
  int m_limit = -1;
  int m_growthPeriod = 30;
  double m_factor = 1.0;
  bool m_computed = false;
  int64_t m_lastComputation = 0;
  int64_t m_phaseStart = 0;
  bool m_loss = false;
  bool m_dataLoss = false;
  bool m_direct;
  uint8_t m_stat[HX_NhpStatRecordSize] = {};
  bool m_analysed = false;
  int64_t m_lastAnalysis = 0;
  double m_rates[5] = {};
  HX_TimeDeviation m_receiveRate;
  HX_TimeDeviation m_ratio;
  HX_TickSource m_clock;
  std::mt19937 m_random;
};
