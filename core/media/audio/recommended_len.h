#pragma once
// HX_CountRecomendedLen estimates how long a jitter buffer should be from the arrival times of
// packets: it keeps the arrivals of the last window milliseconds and recommends
// (largest + 3 × second largest) / 4 of the intervals between consecutive arrivals, so one
// outlier counts a quarter and a repeated long gap counts fully. The audio source uses a window
// of 30000 ms.
//
// Thread safety: none; the owner serialises access.

#include <cstdint>
#include <deque>

class HX_CountRecomendedLen {
 public:
  explicit HX_CountRecomendedLen(unsigned long window);

  // Records an arrival at tick t (ms) and recomputes the recommended time. Arrivals older than
  // the window before t are dropped (t itself always stays).
  void Snap(unsigned long t);

  // The recommended time in ms, or all ones (-1) while fewer than two arrivals are known.
  unsigned long GetRTime() const { return recommended_; }

  // Forgets every arrival; the recommended time becomes -1.
  void Reset();

 private:
  uint64_t window_;
  std::deque<uint64_t> arrivals_;
  uint64_t recommended_ = ~uint64_t{0};
};
