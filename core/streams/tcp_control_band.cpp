#include "core/streams/tcp_control_band.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/ios_log.h"
#include "core/streams/stream_command.h"
#include "core/streams/tcp_send_queue.h"

namespace {

uint16_t Figure(uint64_t value) {
  return static_cast<uint16_t>(std::min<uint64_t>(value, HX_ControlBandTCP::kMaxFigure));
}

// Truncation of a float into u32 that neither wraps nor lands outside the type.
uint32_t ToU32(double value) {
  if (!(value > 0)) return 0;
  if (value >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(value);
}

// Whether the 32-bit tick has reached (or passed) `due`, a time set from the same tick and kept
// in 64 bits: compared as a 32-bit difference, so a hold or wait that straddles the tick's wrap
// still ends.
int32_t TickMinus(uint32_t tick, uint64_t due) {
  return static_cast<int32_t>(tick - static_cast<uint32_t>(due));
}
bool TickReached(uint32_t tick, uint64_t due) { return TickMinus(tick, due) >= 0; }
bool TickPassed(uint32_t tick, uint64_t due) { return TickMinus(tick, due) > 0; }

}  // namespace

HX_ControlBandTCP::HX_ControlBandTCP(HX_SendFrameQueueTCPv2* queue, HX_TickSource clock)
    : m_queue(queue), m_clock(std::move(clock)) {
  Reset(0);
}

void HX_ControlBandTCP::SetFigures(uint16_t phys, uint16_t send, uint16_t base, uint16_t upper,
                                   uint32_t state, uint32_t multiplier) {
  m_phys = phys;
  m_send = send;
  m_base = base;
  m_upper = upper;
  m_state = state;
  m_multiplier = multiplier;
}

void HX_ControlBandTCP::Reset(uint32_t bandwidth) {
  m_reset = true;
  m_records.clear();
  m_lastAnalysis = m_lastCalculate = m_lastSample = m_nextPhys = 0;
  m_phaseTime = std::numeric_limits<uint64_t>::max();
  m_phys = m_send = m_base = m_upper = kUnset;
  m_state = 0;
  m_multiplier = 0;
  m_lastRatio = 0;
  for (unsigned track : {kAllTracks, 1u, 5u, 2u}) {
    if (m_tracks.count(track) != 0) continue;
    HX_TrackInfo info;
    if (track == 2) info.maximum = bandwidth;
    m_tracks[track] = info;
  }
  for (unsigned track = 0; track <= kAllTracks; ++track) m_history[track].push_back({});
}

void HX_ControlBandTCP::Add(uint64_t time, uint64_t size, uint16_t track, uint64_t value,
                            uint16_t flag) {
  HX_SendPacketCharacter record;
  record.time = time;
  record.size = static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFu));
  record.track = track;
  record.value = value;
  record.flag = flag;
  m_records.push_front(record);
  if (m_records.size() > kMaxRecords) m_records.pop_back();
  if (flag != 0) return;
  for (unsigned t : {static_cast<unsigned>(track), kAllTracks}) {
    auto it = m_history.find(t);
    if (it == m_history.end() || it->second.empty()) continue;
    it->second.back().bytesSent += record.size;
    if (t == kAllTracks) break;  // a record of track 256 itself counts once
  }
}

int HX_ControlBandTCP::SetReceivedCommand(const HX_MiscCommand& command) {
  if (command.code != HX_Cmd_BrokerStat) return 0;
  ReadRelayStatistics(command);
  AnaliseBrokerStat(static_cast<uint64_t>(m_clock()));
  m_reset = false;
  return HX_Cmd_BrokerStat;
}

void HX_ControlBandTCP::ReadRelayStatistics(const HX_MiscCommand& command) {
  // Only the bytes the relay sent are read: the record's data length bounds every field.
  const size_t length = command.DataLength();
  const uint8_t* data = command.data;
  for (auto& [track, info] : m_tracks) info.queue = 0;
  const size_t announced = length >= 11 ? data[10] : 0;
  const size_t entries =
      std::min({announced, kMaxRelayEntries, length >= 11 ? (length - 11) / 11 : 0});
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* entry = data + 11 + 11 * i;
    m_tracks[entry[0]].queue = static_cast<uint64_t>(entry[1] | (entry[2] << 8));
  }
  m_tracks[kAllTracks].queue = length >= 2 ? static_cast<uint64_t>(data[0] | (data[1] << 8)) : 0;
}

void HX_ControlBandTCP::AnaliseBrokerStat(uint64_t tick) {
  const uint64_t queue_all = m_tracks[kAllTracks].queue;
  const uint64_t skip = 2 * (queue_all / 100);
  const int64_t elapsed = static_cast<int64_t>(tick - m_lastAnalysis);
  // With no send record in the window the figures keep their values.
  if (elapsed != 0 && skip < m_records.size()) {
    for (auto& [track, info] : m_tracks) {
      info.sendRate = 0;
      info.partRate = 0;
      info.valueRate = 0;
    }
    const uint64_t newest = m_records[skip].time;
    uint64_t oldest = newest;
    for (size_t i = skip; i < m_records.size(); ++i) {
      const HX_SendPacketCharacter& r = m_records[i];
      if (i != skip && !(static_cast<int64_t>(newest - r.time) < elapsed)) break;
      oldest = r.time;
      HX_TrackInfo& info = m_tracks[r.track];
      HX_TrackInfo& all = m_tracks[kAllTracks];
      if (r.flag == 0) {
        info.sendRate += static_cast<float>(r.size);
        info.partRate += 1;
        if (r.track != kAllTracks) {
          all.sendRate += static_cast<float>(r.size);
          all.partRate += 1;
        }
      }
      info.valueRate += static_cast<float>(r.value);
      if (r.track != kAllTracks) all.valueRate += static_cast<float>(r.value);
    }
    const uint64_t span = newest - oldest;
    if (span != 0) {
      const float fspan = static_cast<float>(span);
      const float n = m_tracks[kAllTracks].partRate * 1000.0f / fspan;
      for (auto& [track, info] : m_tracks) {
        info.sendRate = info.sendRate * 7.8125f / fspan;
        if (info.partRate > 0) {
          info.valueRate = info.valueRate * 1000.0f / fspan;
          info.partRate = info.partRate * 1000.0f / fspan;
          info.load = n > 0 ? static_cast<float>(info.queue) / n : 0;
          const int32_t change = static_cast<int32_t>(static_cast<uint32_t>(info.queue) -
                                                      static_cast<uint32_t>(info.previousQueue));
          if (info.load > 1 && (change > 100 || change < -100)) {
            info.lastEstimateUpdate = tick;
            const double e = static_cast<double>(info.sendRate) *
                             (info.partRate - static_cast<double>(info.queue) / 100.0 +
                              static_cast<double>(info.previousQueue) / 100.0) /
                             info.partRate;
            const uint32_t estimate = ToU32(e);
            info.estimate = info.estimate == 0
                                ? estimate
                                : static_cast<uint32_t>(
                                      (static_cast<uint64_t>(estimate) + 4ull * info.estimate) / 5);
          } else if (info.queue == 0 && info.previousQueue == 0) {
            info.load = 0;
          }
        } else {
          info.load = info.queue > 0 && info.previousQueue > 0
                          ? static_cast<float>(info.queue) * info.load /
                                static_cast<float>(info.previousQueue)
                          : 0;
        }
        info.previousQueue = info.queue;
      }
    }
  }
  m_lastAnalysis = tick;
  Calculate(tick);
}

void HX_ControlBandTCP::Calculate(uint64_t tick) {
  for (auto& [track, info] : m_tracks) {
    const uint32_t cur = info.current != 0 ? info.current : info.maximum;
    const uint32_t est = info.estimate;
    const float v = info.valueRate;
    const float load = info.load;
    const uint32_t est78 = static_cast<uint32_t>(uint64_t{est} * 7 / 8);
    uint32_t f;
    if (load > 50) {
      f = std::min(cur, static_cast<uint32_t>(uint64_t{est} * 3 / 4));
    } else if (load > 25) {
      f = std::min(cur, est78);
    } else if (load > 5) {
      f = cur > est78 ? ToU32(static_cast<float>(cur) / (1.0f + load * 0.5f / 100.0f)) : cur;
    } else if (v > 120) {
      f = ToU32(static_cast<float>(cur) * (1.0f - v / 2000.0f));
    } else if (load > 1 || v > 40 ||
               cur >= static_cast<uint32_t>(uint64_t{info.maximum} * 94 / 100)) {
      f = cur;
    } else if (load > 0 || v > 1) {
      const uint32_t g = ToU32(static_cast<float>(cur) * 1.06f + 1.0f);
      if (est != 0 && tick - info.lastEstimateUpdate <= 32999) {
        f = cur >= est ? cur : std::min(est, g);
      } else {
        f = g;
      }
    } else {
      f = est != 0 && tick - info.lastEstimateUpdate <= 11999 && cur >= est
              ? cur
              : ToU32(static_cast<float>(cur) * 1.12f + 1.0f);
    }
    uint32_t r = std::min(f, info.maximum);
    if (0.7f * static_cast<float>(cur) > static_cast<float>(r))
      r = ToU32(0.7f * static_cast<float>(cur));
    if (r <= 5) r = 5;
    info.current = info.partRate != 0 ? r : cur;
  }
  const HX_TrackInfo& all = m_tracks[kAllTracks];
  ios_log("       tot=|%4u|%4u|%6.1f|%4u|%5u|", all.estimate, static_cast<unsigned>(all.queue),
          static_cast<double>(all.valueRate), all.current, all.maximum);
  for (const auto& [track, info] : m_tracks) {
    if (track == kAllTracks) continue;
    ios_log("       %3u=|%4u|%4u|%6.1f|%4u|%5u|", track, info.estimate,
            static_cast<unsigned>(info.queue), static_cast<double>(info.valueRate), info.current,
            info.maximum);
  }
  m_lastCalculate = tick;
}

int HX_ControlBandTCP::GetVideoBandwidth(int requested) {
  const uint64_t t = static_cast<uint64_t>(m_clock());
  const uint32_t a = requested > 0 ? static_cast<uint32_t>(requested) : 0;
  m_tracks[2].maximum = a;
  if (t - m_lastCalculate >= 3001) AnaliseBrokerStat(t);
  if (m_send == kUnset) m_send = Figure(a);
  if (m_lastSample == 0) m_lastSample = t;
  if (static_cast<uint32_t>(t - m_lastSample) >= 500) {
    for (auto& [track, samples] : m_history) {
      TickSenderBitrate sample;
      sample.time = t;
      if (m_queue != nullptr) {
        QueueStatistics statistics;
        m_queue->GetQueueStatisticsNL(track, statistics);
        sample.bytesQueued = statistics.bytes;
        sample.partsQueued = statistics.frames;
      }
      samples.push_back(sample);
    }
    for (auto& [track, samples] : m_history) {
      uint64_t sent = 0;
      for (size_t i = 0; i + 1 < samples.size(); ++i) sent += samples[i].bytesSent;
      const uint64_t window = t - samples.front().time;
      samples.back().sendRate =
          window == 0 ? 0 : static_cast<double>(sent) * 7.8125 / static_cast<double>(window);
    }
    auto& all = m_history[kAllTracks];
    while (all.size() >= 2 && t - all.front().time >= 3001) {
      for (auto& [track, samples] : m_history) {
        if (!samples.empty()) samples.pop_front();
      }
    }
    m_lastSample = t;
  }
  if (m_nextPhys == 0) m_nextPhys = t + 3000;
  if (static_cast<int64_t>(t - m_nextPhys) >= 2001) {
    m_lastRatio = CalculatePhBandwidth();
    CalculateSendBitrate(static_cast<uint32_t>(t),
                         static_cast<int>(std::min<uint32_t>(a, INT32_MAX)), m_lastRatio);
    m_nextPhys = t;
    const TickSenderBitrate& s256 = m_history[kAllTracks].back();
    const TickSenderBitrate& s1 = m_history[1].back();
    const TickSenderBitrate& s2 = m_history[2].back();
    ios_log(
        "qlen = %6d (aql = %6d, vql = %6d), qbytes = %6d (aqb = %6d, vqb = %6d), btr = %7.1f, "
        "bl = %7d (v = %7.1f, a = %4.1f, d = %7.1f), ph = %6d [lb = %6d, hb = %6d], btr = [calc = "
        "%6d, rec = %6u, max = %6u], state = %#010x",
        static_cast<int>(s256.partsQueued), static_cast<int>(s1.partsQueued),
        static_cast<int>(s2.partsQueued), static_cast<int>(s256.bytesQueued),
        static_cast<int>(s1.bytesQueued), static_cast<int>(s2.bytesQueued), s256.sendRate,
        m_lastRatio, s2.sendRate, s1.sendRate, m_history[5].back().sendRate,
        static_cast<int>(m_phys), static_cast<int>(m_base), static_cast<int>(m_upper),
        static_cast<int>(m_send), m_tracks[2].current, a, m_state);
  }
  return static_cast<int>(GetBitrate(2));
}

uint32_t HX_ControlBandTCP::GetBitrate(unsigned track) const {
  auto it = m_tracks.find(track);
  const uint32_t current = it == m_tracks.end() ? 0 : it->second.current;
  if (track != 2 && track != 5) return current;
  return m_reset ? m_send : std::min<uint32_t>(current, m_send);
}

int HX_ControlBandTCP::CalculatePhBandwidth() {
  const TickSenderBitrate& sample = m_history[kAllTracks].back();
  const double x = sample.sendRate;
  const int64_t e = static_cast<int64_t>(std::floor(128.0 * x));
  const int64_t q = sample.bytesQueued;
  if (e <= 2047 && !(q > 2047 && e != 0)) return 0;
  const int64_t h = m_phys == kUnset ? e : int64_t{m_phys} * 128;
  // 64 bits: q × 100 passes 32 bits once 21 MB are queued.
  const int64_t ratio = std::min<int64_t>(q * 100 / (h + 1), INT32_MAX);
  if (ratio >= 20 && (q > 4095 || e >= 4096)) {
    if (m_state == HX_BandTCP_Growing || m_state == HX_BandTCP_Waiting)
      m_upper = Figure(uint64_t{m_phys} * 950 / 1000);
    m_phys = Figure(static_cast<uint64_t>(std::max(0.0, std::floor(x))));
  }
  if (m_phys != kUnset && m_phys < 10) m_phys = 10;
  return static_cast<int>(ratio);
}

void HX_ControlBandTCP::CalculateSendBitrate(uint32_t tick, int limit, int ratio) {
  const bool hw = m_hardwareEncoder;
  const uint64_t hold = hw ? 12000 : 6000;
  const uint64_t k = hw ? 103 : 105;
  const uint32_t steps_recovering = hw ? 36 : 12;
  const uint32_t steps_other = hw ? 72 : 36;
  const uint32_t pass_growing = hw ? 10200 : 10250;
  const uint32_t pass_recovering = hw ? 10700 : 10900;
  const uint64_t threshold = hw ? 130 : 120;
  const uint32_t over_growing = hw ? 10400 : 10500;
  const uint32_t over_recovering = hw ? 10900 : 11200;
  const uint64_t a = limit > 0 ? static_cast<uint64_t>(limit) : 0;
  const uint64_t t = tick;

  if (ratio >= 20) {
    m_holdUntil = t + hold;
    const uint64_t cut = std::max<uint64_t>(10, uint64_t{m_send} * 100 / (int64_t{ratio} + 50));
    m_send = Figure(std::min<uint64_t>(cut, m_phys));
    m_base = m_send;
    if (m_state == HX_BandTCP_Recovering) m_upper = Figure(uint64_t{m_phys} * k / 100);
    if (m_upper > a) m_upper = Figure(a);
    if (m_upper <= m_send) m_upper = Figure(uint64_t{m_send} * k / 100);
    m_state = HX_BandTCP_Congested;
    return;
  }
  if (ratio >= 10) {
    if (m_state == HX_BandTCP_Growing || m_state == HX_BandTCP_Waiting) {
      m_state = HX_BandTCP_Waiting;
      m_phaseTime = t + 30000;
    }
  } else if (m_phys == kUnset) {
    m_state = HX_BandTCP_Unmeasured;
    m_send = Figure(std::min<uint64_t>(static_cast<uint64_t>(m_send * 1.12 + 1), a));
    return;
  } else if (m_state == HX_BandTCP_Congested) {
    if (TickPassed(tick, m_holdUntil)) {
      m_state = HX_BandTCP_Recovering;
      m_multiplier = 0;
      m_phaseTime = t;
    }
  } else if (m_state == HX_BandTCP_Waiting && TickReached(tick, m_phaseTime)) {
    m_state = HX_BandTCP_Growing;
    m_multiplier = 0;
    m_phaseTime = t;
    m_base = m_send;
  } else if (m_state == HX_BandTCP_Recovering && m_send >= m_upper) {
    m_state = HX_BandTCP_Waiting;
    m_phaseTime = t + 30000;
  }
  if (m_state != HX_BandTCP_Growing && m_state != HX_BandTCP_Recovering) return;
  if (m_multiplier == 0) {
    const uint32_t n = m_state == HX_BandTCP_Recovering ? steps_recovering : steps_other;
    const double base = m_base == 0 ? 1.0 : static_cast<double>(m_base);
    m_multiplier = ToU32(std::pow(static_cast<double>(m_upper) / base, 1.0 / n) * 10000.0);
    if (uint64_t{m_multiplier} * m_send / 10000 == m_send ||
        (m_multiplier >= 10001 && m_multiplier <= 10099))
      m_multiplier = 10100;
    return;
  }
  uint64_t m = m_multiplier;
  if (m_send <= 100) m = std::max<uint64_t>(m, 10800);
  const uint64_t next = (m * m_send + 5000) / 10000;
  const bool growing = m_state == HX_BandTCP_Growing;
  if (next >= m_upper) m_multiplier = growing ? pass_growing : pass_recovering;
  if (next >= uint64_t{m_upper} * threshold / 100)
    m_multiplier = growing ? over_growing : over_recovering;
  m_send = Figure(std::min(next, a));
}

bool HX_ControlBandTCP::IsDataAllowed(int limit) {
  const uint64_t t = static_cast<uint64_t>(m_clock());
  const uint32_t l = limit > 0 ? static_cast<uint32_t>(limit) : 0;
  m_tracks[5].maximum = l;
  uint64_t data_bytes = 0, count = 0, video = 0;
  uint64_t newest = 0, oldest = 0, gap = 0, previous = 0;
  for (const HX_SendPacketCharacter& r : m_records) {
    if (t - r.time > 999) break;
    if (r.track == 5) {
      if (count == 0) {
        newest = r.time;
      } else {
        gap = std::max<uint64_t>(gap, previous - r.time);
      }
      previous = r.time;
      oldest = r.time;
      data_bytes += r.size;
      ++count;
    } else if (r.track == 2) {
      video += r.size;
    }
  }
  if (m_records.empty() || count == 0) return true;
  const uint64_t spread = newest - oldest;
  const int64_t denominator = static_cast<int64_t>(spread / count) +
                              (static_cast<int64_t>(t - gap - newest) +
                               static_cast<int64_t>(std::max<uint64_t>(1, spread))) +
                              1;
  const uint64_t rate =
      denominator > 0 ? (data_bytes * 1000 / static_cast<uint64_t>(denominator)) >> 7 : 0;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const uint32_t m = ToU32(static_cast<double>(rate) * (0.95 + uniform(m_random)));
  const int64_t room = static_cast<int64_t>(l) - static_cast<int64_t>(video >> 7);
  const uint64_t room_u = room > 0 ? static_cast<uint64_t>(room) : 0;
  const uint64_t allowed =
      std::max<uint64_t>(std::min<uint64_t>(room_u, GetBitrate(5)), video / 640);
  return allowed > m;
}
