#include "core/media/audio/recommended_len.h"

#include <cstddef>

namespace {

// The interval between two consecutive arrivals; a tick that went backwards gives 0.
uint64_t Interval(uint64_t previous, uint64_t current) {
  return current >= previous ? current - previous : 0;
}

}  // namespace

HX_CountRecomendedLen::HX_CountRecomendedLen(unsigned long window) : window_(window) {}

void HX_CountRecomendedLen::Snap(unsigned long t) {
  if (!arrivals_.empty()) AddInterval(Interval(arrivals_.back(), t));
  arrivals_.push_back(t);
  // A tick before the oldest wraps the difference and clears the history: the clock restarted.
  while (arrivals_.back() - arrivals_.front() > window_) {
    // The loop stops at one arrival (the difference is then 0), so a second one exists here.
    RemoveInterval(Interval(arrivals_[0], arrivals_[1]));
    arrivals_.pop_front();
  }
  if (arrivals_.size() < 2) {
    recommended_ = ~uint64_t{0};
    return;
  }
  if (stale_) Recount();
  // The two largest intervals, as a descending sort of them would give.
  const uint64_t largest = largest_;
  const uint64_t second = largest_count_ >= 2 ? largest_ : (second_count_ > 0 ? second_ : 0);
  recommended_ = arrivals_.size() == 2 ? largest : (largest + 3 * second) >> 2;
}

void HX_CountRecomendedLen::Reset() {
  arrivals_.clear();
  recommended_ = ~uint64_t{0};
  largest_ = second_ = 0;
  largest_count_ = second_count_ = 0;
  stale_ = false;
}

void HX_CountRecomendedLen::AddInterval(uint64_t v) {
  if (stale_) return;  // the next recount sees it
  if (largest_count_ == 0) {
    largest_ = v;
    largest_count_ = 1;
  } else if (v > largest_) {
    second_ = largest_;
    second_count_ = largest_count_;
    largest_ = v;
    largest_count_ = 1;
  } else if (v == largest_) {
    ++largest_count_;
  } else if (second_count_ == 0 || v > second_) {
    second_ = v;
    second_count_ = 1;
  } else if (v == second_) {
    ++second_count_;
  }
}

void HX_CountRecomendedLen::RemoveInterval(uint64_t v) {
  if (stale_) return;
  if (largest_count_ > 0 && v == largest_) {
    if (--largest_count_ == 0) stale_ = true;
  } else if (second_count_ > 0 && v == second_) {
    if (--second_count_ == 0) stale_ = true;
  }
  // A smaller interval leaving changes neither of the two largest values.
}

void HX_CountRecomendedLen::Recount() {
  largest_ = second_ = 0;
  largest_count_ = second_count_ = 0;
  stale_ = false;
  for (size_t i = 1; i < arrivals_.size(); ++i)
    AddInterval(Interval(arrivals_[i - 1], arrivals_[i]));
}
