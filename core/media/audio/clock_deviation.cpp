#include "core/media/audio/clock_deviation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The enough-data guard shared by both estimators.
bool EnoughSamples(int64_t count, int64_t capacity) {
  if (count < capacity / 50) return false;
  if (count <= 4 && capacity > 5) return false;
  return true;
}

// Least squares of y = intercept + slope × x over n points given by point(k) for k in 0..n-1.
template <typename Point>
bool FitLine(int64_t n, Point point, double& intercept, double& slope) {
  double s = static_cast<double>(n), sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int64_t k = 0; k < n; ++k) {
    const auto [x, y] = point(k);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  if (sx == 0.0) return false;
  const double d = s * sxx - sx * sx;
  if (d == 0.0) return false;
  intercept = (sxx * sy - sxy * sx) / d;
  slope = (sy - s * intercept) / sx;
  return true;
}

}  // namespace

void HX_TimeDeviation::Init(unsigned capacity) {
  ring_.assign(capacity, 0);
  capacity_ = capacity;
  count_ = 0;
  valid_ = true;
}

void HX_TimeDeviation::Clear() {
  count_ = 0;
  max_deviation_ = rms_deviation_ = average_ = 0.0;
  // Stale, so that the next read refits and reports too little data instead of the zeroes.
  stale_ = true;
}

void HX_TimeDeviation::Snap(int sample) {
  if (capacity_ == 0) return;
  ring_[count_ % capacity_] = sample;
  ++count_;
  stale_ = true;
}

bool HX_TimeDeviation::Predict(double& intercept, double& slope) const {
  intercept = 0.0;
  slope = 0.0;
  if (capacity_ == 0 || !EnoughSamples(count_, capacity_)) return false;
  const uint32_t n = std::min(count_, capacity_);
  const uint32_t first = count_ - n;
  return FitLine(
      n,
      [&](int64_t k) {
        const uint32_t i = first + static_cast<uint32_t>(k);
        return std::pair<double, double>(i, ring_[i % capacity_]);
      },
      intercept, slope);
}

bool HX_TimeDeviation::Calculate() {
  if (!valid_) return false;
  if (!stale_) return true;
  double intercept = 0.0, slope = 0.0;
  if (!Predict(intercept, slope)) return false;
  const uint32_t n = std::min(count_, capacity_);
  const uint32_t first = count_ - n;
  double sum = 0.0, max_e = 0.0, sum_e = 0.0;
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t i = first + k;
    const double v = ring_[i % capacity_];
    const double diff = i * slope + intercept - v;
    const double e = diff * diff;
    sum += v;
    max_e = std::max(max_e, e);
    sum_e += e;
  }
  average_ = sum / n;
  max_deviation_ = std::sqrt(max_e);
  rms_deviation_ = std::sqrt(sum_e / n);
  stale_ = false;
  return true;
}

bool HX_TimeDeviation::GetAverage(int& out) {
  out = 0;
  if (!Calculate()) return false;
  out = static_cast<int>(average_ + (average_ < 0 ? -0.5 : 0.5));
  return true;
}

bool HX_TimeDeviation::GetMax(int& out) {
  out = 0;
  if (!Calculate()) return false;
  out = static_cast<int>(max_deviation_ + 0.5);
  return true;
}

bool HX_TimeDeviation::GetDeviation(int& out) {
  out = 0;
  if (!Calculate()) return false;
  out = static_cast<int>(rms_deviation_ + 0.5);
  return true;
}

int HX_TimeDeviation::GetPredicted(double x) const {
  double intercept = 0.0, slope = 0.0;
  if (!valid_ || !Predict(intercept, slope)) return -1;
  return static_cast<int>(x * slope + intercept);
}

int HX_TimeDeviation::GetPredictedFromLast(double x) const {
  return GetPredicted(x + count_ - 1.0);
}

void HX_FreqDeviation::Init(int capacity) {
  if (capacity < 0) capacity = 0;
  x_.assign(capacity, 0.0);
  y_.assign(capacity, 0.0);
  capacity_ = capacity;
  count_ = 0;
  valid_ = true;
}

void HX_FreqDeviation::Clear() { count_ = 0; }

void HX_FreqDeviation::Snap(double x, double y) {
  if (capacity_ <= 0) return;
  const int32_t i = count_ % capacity_;
  x_[i] = x;
  y_[i] = y;
  // Counting on past INT32_MAX keeps the ring index in range: restart one ring later.
  count_ = count_ == INT32_MAX ? capacity_ + (count_ % capacity_) : count_ + 1;
  stale_ = true;
}

bool HX_FreqDeviation::Predict(double& intercept, double& slope) const {
  intercept = 0.0;
  slope = 0.0;
  if (capacity_ <= 0 || !EnoughSamples(count_, capacity_)) return false;
  const int32_t n = std::min(count_, capacity_);
  const int32_t first = count_ - n;
  return FitLine(
      n,
      [&](int64_t k) {
        const int32_t i = (first + static_cast<int32_t>(k)) % capacity_;
        return std::pair<double, double>(x_[i], y_[i]);
      },
      intercept, slope);
}

bool HX_FreqDeviation::GetA(double& intercept, double& slope) const {
  intercept = 0.0;
  slope = 0.0;
  if (!valid_) return false;
  return Predict(intercept, slope);
}

double HX_FreqDeviation::GetA1() const {
  double intercept = 0.0, slope = 0.0;
  if (!valid_ || !Predict(intercept, slope)) return -1.0;
  return slope;
}

void HX_FreqDeviation::DumpData(double name) const {
  char file_name[64];
  std::snprintf(file_name, sizeof(file_name), "%8.2f.txt", name);
  FILE* f = std::fopen(file_name, "w+");
  if (f == nullptr) return;
  const int32_t n = std::min(capacity_, count_);
  for (int32_t k = 0; k < n; ++k) {
    const int32_t i = (count_ - n + k) % capacity_;
    std::fprintf(f, "dt = %8.2f, ds = %8.2f\n", x_[i], y_[i]);
  }
  std::fclose(f);
}
