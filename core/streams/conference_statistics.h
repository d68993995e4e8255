#pragma once
// stream::TConferenceStatistics: the 64-byte statistics block of one media stream. The send
// stream and each receive stream zero it and fill their own fields; the conference completes it
// and sends its raw bytes to the server with its participation log, so the layout below is fixed
// (little-endian, no padding) and checked at compile time.

#include <cstddef>
#include <cstdint>

namespace stream {

struct TConferenceStatistics {
  uint32_t size = 0;         // 0: block size, 64 (written by the conference)
  int32_t durationMs = 0;    // 4: duration in ms (the conference turns it into seconds)
  uint32_t podiumSec = 0;    // 8: seconds on the podium (the conference)
  uint32_t videoWidth = 0;   // 12: width of the current send format
  uint32_t videoHeight = 0;  // 16: height of the current send format
  uint32_t lostPackets = 0;  // 20: receive streams
  uint32_t bytesSent = 0;    // 24: low 32 bits of the bytes sent; the conference writes the rate
  uint32_t bytesRecv = 0;  // 28: low 32 bits of the bytes received; the conference writes the rate
  uint32_t cpuLoad = 0;    // 32: processor load (the conference)
  uint32_t jitter = 0;     // 36: receive streams
  double frameRate = 0;    // 40: video frames per second sent
  uint64_t startTime = 0;  // 48: 100-ns intervals since 1601-01-01 UTC
  uint64_t endTime = 0;    // 56: same unit

  void clear() { *this = TConferenceStatistics(); }
};

static_assert(sizeof(TConferenceStatistics) == 64);
static_assert(offsetof(TConferenceStatistics, durationMs) == 4);
static_assert(offsetof(TConferenceStatistics, podiumSec) == 8);
static_assert(offsetof(TConferenceStatistics, videoWidth) == 12);
static_assert(offsetof(TConferenceStatistics, lostPackets) == 20);
static_assert(offsetof(TConferenceStatistics, bytesSent) == 24);
static_assert(offsetof(TConferenceStatistics, bytesRecv) == 28);
static_assert(offsetof(TConferenceStatistics, cpuLoad) == 32);
static_assert(offsetof(TConferenceStatistics, jitter) == 36);
static_assert(offsetof(TConferenceStatistics, frameRate) == 40);
static_assert(offsetof(TConferenceStatistics, startTime) == 48);
static_assert(offsetof(TConferenceStatistics, endTime) == 56);

}  // namespace stream
