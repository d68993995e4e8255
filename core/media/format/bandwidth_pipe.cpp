#include "core/media/format/bandwidth_pipe.h"

#include <algorithm>
#include <limits>

namespace {

// Saturating sum: a level built from huge datagrams must not wrap back to a small one.
uint64_t AddSat(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

void HX_BandwidthPipe::set(uint64_t rate, uint64_t bucketSize) {
  if (rate == 0 || bucketSize == 0) {
    m_rate = 0;
    m_bucketSize = 0;
  } else {
    m_rate = rate;
    m_bucketSize = bucketSize;
  }
}

void HX_BandwidthPipe::setPacketParam(uint64_t overhead, uint64_t minPacket) {
  m_overhead = overhead;
  m_minPacket = minPacket;
}

uint64_t HX_BandwidthPipe::getDelay(uint64_t size, uint64_t now) {
  if (m_rate == 0 || m_bucketSize == 0) return 0;
  if (now > m_lastDrain) {
    if (m_level == 0) {
      m_lastDrain = now;
    } else {
      const uint64_t elapsed = now - m_lastDrain;
      // elapsed x rate in bits x 1000; saturate rather than wrap after a very long pause.
      const uint64_t drained = elapsed > std::numeric_limits<uint64_t>::max() / m_rate
                                   ? std::numeric_limits<uint64_t>::max()
                                   : elapsed * m_rate;
      if (drained >= 8000) {
        const uint64_t bytes = drained / 8000;
        m_level = bytes >= m_level ? 0 : m_level - bytes;
        m_lastDrain = now;
      }
    }
  }
  const uint64_t cost = std::min(AddSat(std::max(size, m_minPacket), m_overhead), m_bucketSize);
  const uint64_t filled = AddSat(m_level, cost);
  if (filled <= m_bucketSize) return 0;
  const uint64_t excess = filled - m_bucketSize;
  if (excess > std::numeric_limits<uint64_t>::max() / 8000) {
    return excess / m_rate * 8000 + 1;
  }
  return excess * 8000 / m_rate + 1;
}

void HX_BandwidthPipe::put(uint64_t size) {
  m_level = AddSat(m_level, AddSat(m_overhead, std::max(size, m_minPacket)));
}

void HX_BandwidthPipe::reset() {
  m_level = 0;
  m_lastDrain = 0;
}
