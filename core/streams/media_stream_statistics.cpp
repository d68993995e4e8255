#include "core/streams/media_stream_statistics.h"

#include <limits>

namespace {

// Ticks from `start` to `tick`; negative when `tick` lies before `start`, across a wrap of the
// counter too.
int64_t Elapsed(uint64_t start, uint64_t tick) { return static_cast<int64_t>(tick - start); }

}  // namespace

HX_MediaStreamStatistics::HX_MediaStreamStatistics(HX_TickSource clock)
    : m_clock(std::move(clock)) {
  const uint64_t now = Now();
  for (stream::trackId track : {kAudio, kVideo, kData, kCommand, kSenderControl, kAllTracks}) {
    m_rates[track].start = now;
  }
}

void HX_MediaStreamStatistics::Count(HX_AverageKbps& entry, uint64_t tick, uint64_t bytes) {
  const int64_t elapsed = Elapsed(entry.start, tick);
  if (elapsed >= static_cast<int64_t>(kWindowMs)) {
    entry.rate = entry.bits * 1000.0 / ((static_cast<double>(elapsed) + 1.0) * 1024.0);
    entry.bits = 0;
    entry.start = tick;
  }
  // In double: eight times a 64-bit count need not fit 64 bits.
  entry.bits += static_cast<double>(bytes) * 8.0;
}

void HX_MediaStreamStatistics::setStreamConfStat(uint64_t tick, stream::trackId track,
                                                 uint64_t bytes) {
  HXAutoLock lock(m_lock);
  if (m_totalBytes == 0) m_firstTick = tick;
  m_lastTick = tick;
  m_totalBytes += bytes;  // wraps only after 2^64 bytes
  if (track != kAllTracks) {
    auto it = m_rates.find(track);
    if (it != m_rates.end()) Count(it->second, tick, bytes);
  }
  Count(m_rates[kAllTracks], tick, bytes);
}

uint32_t HX_MediaStreamStatistics::GetBitrate(stream::trackId track) {
  const uint64_t now = Now();
  HXAutoLock lock(m_lock);
  auto it = m_rates.find(track);
  if (it == m_rates.end()) return 0;
  HX_AverageKbps& entry = it->second;
  if (Elapsed(entry.start, now) > static_cast<int64_t>(kStaleMs)) {
    entry = HX_AverageKbps{now, 0, 0};
    return 0;
  }
  constexpr double kMax = std::numeric_limits<uint32_t>::max();
  return entry.rate >= kMax ? std::numeric_limits<uint32_t>::max()
                            : static_cast<uint32_t>(entry.rate);
}

void HX_MediaStreamStatistics::resetConfStat() {
  const uint64_t now = Now();
  HXAutoLock lock(m_lock);
  for (auto& [track, entry] : m_rates) entry = HX_AverageKbps{now, 0, 0};
  m_totalBytes = 0;
  m_lastTick = 0;
  m_firstTick = 0;
}

HX_MediaStreamStatistics::Totals HX_MediaStreamStatistics::GetTotals() const {
  HXAutoLock lock(m_lock);
  return Totals{m_totalBytes, m_firstTick, m_lastTick};
}

bool HX_MediaStreamStatistics::GetAverage(stream::trackId track, HX_AverageKbps& out) const {
  HXAutoLock lock(m_lock);
  auto it = m_rates.find(track);
  if (it == m_rates.end()) return false;
  out = it->second;
  return true;
}
