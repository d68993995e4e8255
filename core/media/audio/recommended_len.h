#pragma once
// HX_CountRecomendedLen estimates how long a jitter buffer should be from the arrival times of
// packets: it keeps the arrivals of the last window milliseconds and recommends
// (largest + 3 × second largest) / 4 of the intervals between consecutive arrivals, so one
// outlier counts a quarter and a repeated long gap counts fully. The audio source uses a window
// of 30000 ms.
//
// The two largest intervals are kept up to date as arrivals come and go (the largest and the
// next smaller value with how often each occurs), so an arrival costs a few comparisons; only
// when the last interval of one of those two values leaves the window are the intervals counted
// again. The answer is the one sorting every interval on every arrival gives.
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
  void AddInterval(uint64_t interval);
  void RemoveInterval(uint64_t interval);
  // The largest and second values and their counts from every held interval.
  void Recount();

  uint64_t window_;
  std::deque<uint64_t> arrivals_;
  uint64_t recommended_ = ~uint64_t{0};
  // The held intervals' largest value and the largest smaller one, each with its count (0: no
  // such value). Stale when a count fell to 0 and the value below is not known.
  uint64_t largest_ = 0;
  uint64_t second_ = 0;
  uint32_t largest_count_ = 0;
  uint32_t second_count_ = 0;
  bool stale_ = false;
};
