#include "core/streams/nhp_control_queue.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/streams/nhp_send_queue.h"

namespace {

constexpr size_t kMaxRecords = 600;
constexpr int64_t kAnalysisWindow = 3000;

uint16_t ClassOfTrack(uint16_t track) {
  switch (track) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 5:
      return 3;
    default:
      return 0;
  }
}

uint32_t StatU16(const uint8_t* stat, size_t at) {
  return static_cast<uint32_t>(stat[at] | (stat[at + 1] << 8));
}

uint32_t StatU32(const uint8_t* stat, size_t at) {
  return StatU16(stat, at) | (StatU16(stat, at + 2) << 16);
}

// Fields of the statistics record of packet type t.
uint32_t Packets(const uint8_t* stat, unsigned t) { return StatU16(stat, 2 + 8 * t); }
uint32_t Lost(const uint8_t* stat, unsigned t) { return StatU16(stat, 4 + 8 * t); }
uint32_t Bytes(const uint8_t* stat, unsigned t) { return StatU32(stat, 6 + 8 * t); }

}  // namespace

HX_ControlQueueNhp::HX_ControlQueueNhp(bool direct, int /*packet_size*/, HX_TickSource clock)
    : m_direct(direct), m_clock(clock ? std::move(clock) : HX_CoreTickSource()) {
  m_receiveRate.Init(3);
  m_ratio.Init(6);
  m_random.seed(static_cast<uint32_t>(m_clock()));
}

void HX_ControlQueueNhp::Add(uint64_t time, uint64_t size, uint16_t track, uint64_t value,
                             uint16_t incomplete) {
  if (incomplete != 0) return;
  HX_SendPacketCharacterNhp record;
  record.tick = static_cast<uint32_t>(time);
  record.size = static_cast<uint16_t>(std::min<uint64_t>(size, 0xFFFF));
  record.cls = ClassOfTrack(track);
  record.value = static_cast<uint16_t>(value);
  m_records.push_front(record);
  if (m_records.size() > kMaxRecords) m_records.pop_back();
  const int64_t now = static_cast<int64_t>(time);
  if (!m_analysed || now - m_lastAnalysis > kAnalysisWindow) AnalyseSendRates(now);
}

void HX_ControlQueueNhp::AnalyseSendRates(int64_t now) {
  if (!m_analysed) {
    m_analysed = true;
    m_lastAnalysis = now;
    return;
  }
  if (m_records.empty() || now == m_lastAnalysis) return;
  double sums[5] = {};
  bool any = false;
  uint32_t oldest = 0;
  const uint32_t now32 = static_cast<uint32_t>(now);
  for (const HX_SendPacketCharacterNhp& r : m_records) {
    // Records hold the tick's low 32 bits: their age is a 32-bit difference.
    if (static_cast<int32_t>(now32 - r.tick) >= kAnalysisWindow) break;
    sums[r.cls] += r.size;
    oldest = r.tick;
    any = true;
  }
  // An empty window has rates 0; a window whose records all carry one tick spans 1 ms, not 0.
  const double span = any ? std::max<int64_t>(1, static_cast<int32_t>(now32 - oldest)) : 1;
  for (int c = 0; c < 5; ++c) m_rates[c] = any ? sums[c] * 1000 / (span * 128) : 0;
  m_lastAnalysis = now;
}

int HX_ControlQueueNhp::SetReceivedCommand(const HX_MiscCommand& command) {
  if (!m_direct) return 0;
  if (command.code == HX_Cmd_RequestPacket) {
    if (command.DataLength() < 3) return 0;
    const uint16_t sequence = static_cast<uint16_t>(command.data[0] | (command.data[1] << 8));
    if (m_sendQueue != nullptr) m_sendQueue->ResendPackect(sequence, command.data[2]);
    return command.code;
  }
  if (command.code == HX_Cmd_Stat) {
    // The record is 34 bytes whatever the peer's length byte says; a shorter one is no record.
    if (command.DataLength() < HX_NhpStatRecordSize) return 0;
    std::memcpy(m_stat, command.data, HX_NhpStatRecordSize);
    UpdateBandwidth(m_clock());
    return command.code;
  }
  return 0;
}

void HX_ControlQueueNhp::UpdateBandwidth(int64_t now) {
  const uint32_t data_packets = Packets(m_stat, HX_Nhp_Data);
  m_dataLoss = Lost(m_stat, HX_Nhp_Data) > static_cast<uint32_t>(data_packets * 0.05 + 1);
  m_dataRate = Bytes(m_stat, HX_Nhp_Data);
  m_loss = m_stat[0] != 0;
  m_factor = m_stat[1] != 0 ? 1.0 : 0.75;
  const uint64_t video_bytes = Bytes(m_stat, HX_Nhp_Video);
  const int r = static_cast<int>((video_bytes * 8 + 512) >> 10);
  if (m_reports < 5) {
    m_receiveRate.Snap(static_cast<int>(m_rates[2]));
    m_ratio.Snap(100);
  } else {
    AnalyseSendRates(now);
    m_receiveRate.Snap(r);
    int average = r;
    if (!m_receiveRate.GetAverage(average)) average = r;
    const double send_rate = m_rates[2];
    if (m_loss) {
      const uint32_t packets = Packets(m_stat, HX_Nhp_Video);
      const int64_t lost_k =
          packets == 0
              ? 0
              : static_cast<int64_t>(Lost(m_stat, HX_Nhp_Video) *
                                         (static_cast<double>(video_bytes) / packets) * 8 / 1024 +
                                     0.5);
      int64_t b = static_cast<int64_t>(std::max<double>(m_band, send_rate)) - lost_k;
      b = std::min<int64_t>(b, average);
      b = std::max<int64_t>(b, int64_t{m_band} * 80 / 100);
      b = std::max<int64_t>(b, 20);
      m_top = static_cast<int>(std::min<int64_t>(b * 130 / 100, m_limit));
      m_band = m_base = static_cast<int>(b);
      m_span = m_top - m_band;
      m_period = 60000;
      m_phaseStart = now + 10000;
    }
    m_ratio.Snap(static_cast<int>(send_rate / (average + 1) * 100));
  }
  ++m_reports;
}

int HX_ControlQueueNhp::GetVideoBandwidth(int requested) {
  if (!m_direct) {
    uint32_t count = m_sendQueue != nullptr ? m_sendQueue->RedundancyCount() : 0;
    m_band = count >= 2 ? requested / static_cast<int>(count) : requested;
    return m_band;
  }
  const int64_t now = m_clock();
  if (m_computed && now - m_lastComputation < 3001) return m_band;
  int value = m_band;
  if (m_band == 0) {
    m_band = requested < 39 ? 20 : static_cast<int>((int64_t{requested} + 1) / 2);
    if (requested < 20) m_band = std::max(m_band, 20);
    m_limit = m_top = requested;
    m_span = requested - m_band;
    m_base = m_band;
    m_period = 60000;
    m_phaseStart = now;
    value = m_band;
  } else if (requested != m_limit) {
    m_limit = requested;
    if (m_top - m_span >= 0) {
      m_span = requested - (m_top - m_span);
      m_top = requested;
    }
    m_base = m_band;
  }
  if (m_rates[2] > 0 && m_reports >= 6) {
    int q = 100, r = 0;
    if (!m_ratio.GetAverage(q)) q = 100;
    if (!m_receiveRate.GetAverage(r)) r = 0;
    const int64_t e = now - m_phaseStart;
    if (q > 400 || (q >= 121 && e >= -2999)) {
      int64_t cut = std::max<int64_t>(int64_t{m_band} * 80 / 100, static_cast<int64_t>(r) * 100 / q);
      cut = std::max<int64_t>(cut, 20);
      m_top = static_cast<int>(std::min<int64_t>(cut * 130 / 100, requested));
      m_span = m_top - static_cast<int>(cut);
      m_period = 60000;
      m_base = static_cast<int>(cut);
      m_phaseStart = now + 10000;
      value = static_cast<int>(cut);
    } else if (e > 0) {
      const double x = std::min<int64_t>(e, m_period) * 1.570796327 / m_period;
      value =
          static_cast<int>(std::min<double>((m_base + m_span * std::sin(x)) * m_factor, requested));
      if (e >= m_period && m_top < requested) {
        m_top = static_cast<int>(std::min<int64_t>(int64_t{m_top} * 3 / 2, requested));
        if (value >= 0) m_span = m_top - value;
        m_phaseStart = now;
        m_period = m_growthPeriod * 1000;
        m_base = value;
      }
    }
  }
  if (std::abs(value - m_band) > 4 || value == requested) m_band = value;
  m_computed = true;
  m_lastComputation = now;
  return m_band;
}

bool HX_ControlQueueNhp::IsDataAllowed(int limit) {
  if (!m_direct) m_top = limit;
  const uint32_t now32 = static_cast<uint32_t>(m_clock());
  uint64_t data_bytes = 0, video_bytes = 0;
  uint32_t count = 0;
  uint32_t newest = 0, oldest = 0, previous = 0;
  int64_t largest_gap = 0;
  bool any = false;
  for (const HX_SendPacketCharacterNhp& r : m_records) {
    if (static_cast<int32_t>(now32 - r.tick) >= 999) break;
    any = true;
    if (r.cls == 2) video_bytes += r.size;
    if (r.cls != 3) continue;
    if (count == 0) {
      newest = r.tick;
    } else {
      largest_gap = std::max<int64_t>(largest_gap, static_cast<int32_t>(previous - r.tick));
    }
    previous = oldest = r.tick;
    data_bytes += r.size;
    ++count;
  }
  if (!any || count == 0) return true;
  const int64_t spread = static_cast<int32_t>(newest - oldest);
  const double denominator =
      static_cast<double>(spread) / count +
      (static_cast<int32_t>(now32 - newest) - largest_gap + std::max<int64_t>(1, spread)) + 1;
  const double rate =
      denominator > 0
          ? static_cast<double>(static_cast<uint64_t>(data_bytes * 1000 / denominator) >> 7)
          : 0;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double m = rate * (0.95 + uniform(m_random));
  if (m >= limit) return false;
  const int64_t v = static_cast<int64_t>(video_bytes >> 7);
  const int64_t c = std::max<int64_t>(0, std::min(m_top, limit) - v);
  if (v > 0) return std::max<double>(c, video_bytes / 640.0) > m;
  if (m_dataLoss) return std::min<double>(c, m_dataRate / 128.0) > m;
  return m < static_cast<int64_t>(m_top * (0.95 + uniform(m_random)));
}
