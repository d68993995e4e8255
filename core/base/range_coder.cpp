#include "core/base/range_coder.h"

namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBottom = 1u << 16;
constexpr uint32_t kIncrement = 64;
constexpr uint32_t kRescaleLimit = 65536;
constexpr unsigned kGroupCount = 8;
constexpr unsigned kGroupSize = 32;

// Counts per byte value; the frequency of s is count[s] + 1, so no symbol ever has frequency 0.
// The group starts hold the cumulative frequency at the first value of each run of 32 values, so a
// cumulative frequency costs one group start (or the next one) plus at most 16 additions. They are a
// speed device only: the format is defined by the cumulative frequency s + (sum of count[j], j < s).
class ByteModel {
 public:
  ByteModel() {
    for (unsigned g = 0; g < kGroupCount; ++g) group_start_[g] = g * kGroupSize;
  }

  uint32_t total() const { return total_; }
  uint32_t Frequency(unsigned s) const { return counts_[s] + 1; }

  uint32_t Cumulative(unsigned s) const {
    // Sums from whichever end of the group lies nearer.
    const unsigned group = s / kGroupSize;
    const unsigned first = group * kGroupSize;
    if (s - first <= kGroupSize / 2) {
      uint32_t cum = group_start_[group] + (s - first);
      for (unsigned j = first; j < s; ++j) cum += counts_[j];
      return cum;
    }
    const unsigned end = first + kGroupSize;
    uint32_t cum = (group + 1 < kGroupCount ? group_start_[group + 1] : total_) - (end - s);
    for (unsigned j = s; j < end; ++j) cum -= counts_[j];
    return cum;
  }

  // The symbol whose interval [Cumulative(s), Cumulative(s) + Frequency(s)) holds v, which must be
  // below total(); its cumulative frequency goes to `cum`. Scans the group from the end nearer to v.
  unsigned Find(uint32_t v, uint32_t& cum) const {
    unsigned g = group_start_[4] <= v ? 4 : 0;
    if (group_start_[g + 2] <= v) g += 2;
    if (group_start_[g + 1] <= v) g += 1;
    const uint32_t group_end = g + 1 < kGroupCount ? group_start_[g + 1] : total_;
    unsigned s;
    uint32_t c;
    if (v - group_start_[g] < group_end - v) {
      s = g * kGroupSize;
      c = group_start_[g];
      while (c + counts_[s] + 1 <= v) c += counts_[s++] + 1;
    } else {
      s = (g + 1) * kGroupSize - 1;
      c = group_end - (counts_[s] + 1);
      while (c > v) c -= counts_[--s] + 1;
    }
    cum = c;
    return s;
  }

  void Update(unsigned s) {
    counts_[s] += kIncrement;
    total_ += kIncrement;
    // All eight starts in one branch-free pass rather than a loop of varying length.
    const unsigned group = s / kGroupSize;
    for (unsigned g = 0; g < kGroupCount; ++g) group_start_[g] += g > group ? kIncrement : 0;
    if (total_ > kRescaleLimit) Rescale();
  }

 private:
  void Rescale() {
    uint32_t sum = 0;
    for (unsigned g = 0; g < kGroupCount; ++g) {
      group_start_[g] = g * kGroupSize + sum;
      for (unsigned j = g * kGroupSize; j < (g + 1) * kGroupSize; ++j) {
        counts_[j] >>= 1;
        sum += counts_[j];
      }
    }
    total_ = 256 + sum;
  }

  uint32_t counts_[256] = {};
  uint32_t group_start_[kGroupCount];
  uint32_t total_ = 256;
};

// The carry-less coder shifts out the top byte once it is settled; when the range has become too
// small while the top byte is still open, it gives up the part of the range above the next 2^16
// boundary so that the byte settles. Returns whether a shift is due.
inline bool NeedsShift(uint32_t low, uint32_t& range) {
  if ((low ^ (low + range)) >= kTop) {
    if (range >= kBottom) return false;
    range = (0u - low) & (kBottom - 1);
  }
  return true;
}

}  // namespace

int64_t RCDV_Encode(const void* source, size_t length, void* destination, size_t capacity) {
  const uint8_t* in = static_cast<const uint8_t*>(source);
  uint8_t* const begin = static_cast<uint8_t*>(destination);
  uint8_t* out = begin;
  uint8_t* const end = begin + capacity;
  ByteModel model;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    const unsigned s = in[i];
    const uint32_t r = range / model.total();
    low += r * model.Cumulative(s);
    range = r * model.Frequency(s);
    while (NeedsShift(low, range)) {
      if (out == end) return -1;
      *out++ = static_cast<uint8_t>(low >> 24);
      low <<= 8;
      range <<= 8;
    }
    model.Update(s);
  }
  if (end - out < 4) return -1;
  for (int shift = 24; shift >= 0; shift -= 8) *out++ = static_cast<uint8_t>(low >> shift);
  return out - begin;
}

int64_t RCDV_DecodeSafe(const void* source, void* destination, size_t length, size_t source_size) {
  if (source_size < 4) return -1;
  const uint8_t* const begin = static_cast<const uint8_t*>(source);
  const uint8_t* const end = begin + source_size;
  const uint8_t* in = begin + 4;
  uint8_t* out = static_cast<uint8_t*>(destination);
  ByteModel model;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint32_t code = uint32_t{begin[0]} << 24 | uint32_t{begin[1]} << 16 | uint32_t{begin[2]} << 8 | begin[3];
  for (size_t i = 0; i < length; ++i) {
    const uint32_t r = range / model.total();
    const uint32_t v = (code - low) / r;
    if (v >= model.total()) return -1;
    uint32_t cum;
    const unsigned s = model.Find(v, cum);
    out[i] = static_cast<uint8_t>(s);
    low += r * cum;
    range = r * model.Frequency(s);
    while (NeedsShift(low, range)) {
      if (in == end) return -1;
      code = code << 8 | *in++;
      low <<= 8;
      range <<= 8;
    }
    model.Update(s);
  }
  return in - begin;
}
