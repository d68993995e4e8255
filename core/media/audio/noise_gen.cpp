#include "core/media/audio/noise_gen.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The window at the buffer's start from which served pieces begin: 2000 samples, less for a
// buffer so short that a piece of N − 2000 samples would be empty.
int StartWindow(int n) { return n > 4000 ? 2000 : std::max(1, n / 2); }

void HalveEdges(short* piece, int count) {
  piece[0] = static_cast<short>(piece[0] / 2);
  piece[count - 1] = static_cast<short>(piece[count - 1] / 2);
}

}  // namespace

bool NoiseGen::Init(int rate, int ms) {
  const int64_t n = static_cast<int64_t>(std::max(ms, 500)) * (rate / 1000);
  table_.resize(kTableSize);
  for (auto& v : table_) v = static_cast<int16_t>(std::rand() & 0x7FF);
  built_ = false;
  read_pos_ = 0;
  write_index_ = 0;
  if (n < 1 || n > INT32_MAX) {
    buffer_.clear();
    n_ = 0;
    return false;
  }
  n_ = static_cast<int>(n);
  buffer_.assign(n_, 0);
  return true;
}

int NoiseGen::GetSummSq(const short* samples, int count) {
  if (samples == nullptr || count < 1) return 0;
  int64_t sum = 0;
  for (int i = 0; i < count; ++i) sum += int64_t{samples[i]} * samples[i];
  return static_cast<int>(std::sqrt(static_cast<float>(sum) / count));
}

void NoiseGen::FillBuffer(const short* samples, int count) {
  if (samples == nullptr || count < 1 || n_ < 1) return;
  if (write_index_ >= n_) write_index_ = 0;
  average_ = (average_ + GetSummSq(samples, count)) / 2;
  if (!built_) {
    for (int i = 0; i < n_; ++i) {
      const int16_t product = static_cast<int16_t>(table_[i % kTableSize] * average_);
      buffer_[i] = static_cast<int16_t>(product >> 12);
    }
    built_ = true;
  }
  const int w = write_index_;
  const int m = std::min(count, n_ - w);
  for (int i = 0; i < m; ++i) {
    const int32_t blended =
        (5 * buffer_[w + i] + 11 * samples[i] + ((average_ * table_[i % kTableSize]) >> 13)) >> 4;
    buffer_[w + i] = static_cast<int16_t>(blended);
  }
  // Smooth the joint between the old noise and the new block.
  if (w != 0) {
    const int a = buffer_[w - 1], b = buffer_[w];
    const int c = (a - b) / 3;
    buffer_[w - 1] = static_cast<int16_t>(a - c);
    buffer_[w] = static_cast<int16_t>(b + c);
  } else {
    buffer_[0] = static_cast<int16_t>(buffer_[0] / 2);
  }
  write_index_ = w + m;
}

void NoiseGen::ServePiece(short* destination, int pos, int count) const {
  std::memcpy(destination, buffer_.data() + pos, count * sizeof(short));
  HalveEdges(destination, count);
}

void NoiseGen::GetNoise(short* destination, int count) {
  if (destination == nullptr || count < 1) return;
  if (table_.empty()) {  // never initialised: silence
    std::memset(destination, 0, count * sizeof(short));
    return;
  }
  if (!built_ || n_ < 2) {
    int t = std::rand() % kTableSize;
    for (int i = 0; i < count; ++i) {
      const int16_t product = static_cast<int16_t>(level_ * table_[t]);
      destination[i] = static_cast<short>(product >> 12);
      if (++t == kTableSize) t = 0;
    }
    HalveEdges(destination, count);
    return;
  }
  const int window = StartWindow(n_);
  const int longest = n_ - window;
  while (count > longest) {
    read_pos_ = std::rand() % window;
    ServePiece(destination, read_pos_, longest);
    destination += longest;
    count -= longest;
  }
  if (read_pos_ >= n_ - count) read_pos_ = std::rand() % window;
  ServePiece(destination, read_pos_, count);
  read_pos_ += count;
}
