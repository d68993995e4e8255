#pragma once
// HX_MediaStreamStatistics: the traffic counters of one media stream, the first base of every send
// and receive stream. The stream's net handler reports each packet or frame it sends or receives
// (setStreamConfStat); the counters keep the total bytes with the ticks of the first and latest
// report, and a one-second average rate per track: 1 audio, 2 video, 5 data, 254 command,
// 255 sender control, and 256 for all tracks together (which also counts tracks that have no
// entry of their own). The send stream reads the rates every 300 ms for its bit-rate step.
//
// Rates are kbit/s with 1 kbit = 1024 bits. A track's rate is worked out when a report arrives at
// least 1000 ms after its window began, over the window's length; it then stays until the next
// window closes, or drops to 0 when a reader finds no report for more than 1500 ms.
//
// Ticks are milliseconds of the clock given to the constructor (the core's tick by default).
// Windows are compared by the difference of ticks, so a counter that wraps around keeps working;
// a report with a tick from before its window began (a late one) counts into that window.
//
// Thread safety: every operation takes the object's own lock, a leaf lock under which nothing else
// is called, so the net handlers (under their stream's lock, or the receive handler's) and the
// readers may run on any threads.

#include <cstdint>
#include <map>

#include "core/base/lock.h"
#include "core/streams/stream_clock.h"

namespace stream {
// A media stream track; 256 stands for all tracks together.
using trackId = uint32_t;
// The 64-byte statistics block a stream fills for the conference's participation log.
struct TConferenceStatistics;
}  // namespace stream

// The one-second average of one track.
struct HX_AverageKbps {
  uint64_t start = 0;  // tick at which the current window began
  double bits = 0;     // bits counted in the current window
  double rate = 0;     // the last computed rate, kbit/s
};

class HX_MediaStreamStatistics {
 public:
  static constexpr stream::trackId kAudio = 1;
  static constexpr stream::trackId kVideo = 2;
  static constexpr stream::trackId kData = 5;
  static constexpr stream::trackId kCommand = 254;
  static constexpr stream::trackId kSenderControl = 255;
  static constexpr stream::trackId kAllTracks = 256;
  // Length of a rate window, and the silence after which a rate reads 0 (ms).
  static constexpr uint64_t kWindowMs = 1000;
  static constexpr uint64_t kStaleMs = 1500;

  // Creates the six track entries, their windows beginning now.
  explicit HX_MediaStreamStatistics(HX_TickSource clock = HX_CoreTickSource());
  virtual ~HX_MediaStreamStatistics() = default;
  HX_MediaStreamStatistics(const HX_MediaStreamStatistics&) = delete;
  HX_MediaStreamStatistics& operator=(const HX_MediaStreamStatistics&) = delete;

  // Fills `out` with this stream's fields (zeroing the rest); does not change the stream.
  virtual bool getStreamConfStat(stream::TConferenceStatistics& out) = 0;
  // Counts `bytes` of `track` at `tick`: into the totals, the track's entry when it has one, and
  // the all-tracks entry.
  virtual void setStreamConfStat(uint64_t tick, stream::trackId track, uint64_t bytes);

  // The track's rate in kbit/s, 0 for a track without an entry. When more than 1500 ms have passed
  // since the entry's window began, the entry starts a new window now and the answer is 0.
  uint32_t GetBitrate(stream::trackId track);
  // Every entry starts a new window now with no bits and rate 0; the totals and ticks become 0.
  void resetConfStat();

  // Bytes counted since construction or the last reset, with the ticks of the first report that
  // found no byte counted yet and of the latest report (0 before any). One call reads all three
  // consistently.
  struct Totals {
    uint64_t bytes = 0;
    uint64_t firstTick = 0;
    uint64_t lastTick = 0;
  };
  Totals GetTotals() const;

  // The entry of `track` as it stands, for tests and diagnostics; false without one.
  bool GetAverage(stream::trackId track, HX_AverageKbps& out) const;

 private:
  uint64_t Now() const { return static_cast<uint64_t>(m_clock()); }
  static void Count(HX_AverageKbps& entry, uint64_t tick, uint64_t bytes);

  const HX_TickSource m_clock;
  mutable HXLock m_lock;
  uint64_t m_totalBytes = 0;
  uint64_t m_lastTick = 0;
  uint64_t m_firstTick = 0;
  std::map<stream::trackId, HX_AverageKbps> m_rates;
};
