#include "core/media/audio/recommended_len.h"

#include <cstddef>

HX_CountRecomendedLen::HX_CountRecomendedLen(unsigned long window) : window_(window) {}

void HX_CountRecomendedLen::Snap(unsigned long t) {
  arrivals_.push_back(t);
  // A tick before the oldest wraps the difference and clears the history: the clock restarted.
  while (arrivals_.back() - arrivals_.front() > window_) arrivals_.pop_front();
  if (arrivals_.size() < 2) {
    recommended_ = ~uint64_t{0};
    return;
  }
  // The two largest intervals in one pass: the answer a descending sort would give.
  uint64_t largest = 0;
  uint64_t second = 0;
  for (size_t i = 1; i < arrivals_.size(); ++i) {
    const uint64_t prev = arrivals_[i - 1];
    const uint64_t interval = arrivals_[i] >= prev ? arrivals_[i] - prev : 0;
    if (interval > largest) {
      second = largest;
      largest = interval;
    } else if (interval > second) {
      second = interval;
    }
  }
  recommended_ = arrivals_.size() == 2 ? largest : (largest + 3 * second) >> 2;
}

void HX_CountRecomendedLen::Reset() {
  arrivals_.clear();
  recommended_ = ~uint64_t{0};
}
