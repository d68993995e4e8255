#include "core/base/range_coder.h"

namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBottom = 1u << 16;
constexpr uint32_t kIncrement = 64;
constexpr uint32_t kRescaleLimit = 65536;
constexpr unsigned kGroupSize = 8;
constexpr unsigned kGroupCount = 256 / kGroupSize;

// The encoder's order-0 model. The format is defined by the frequency f(s) = count(s) + 1 and the cumulative
// frequency Cum(s) = sum of f(j) for j < s; everything else here is a speed device.
//
// The model keeps f(s) itself, and the cumulative frequency at the first value of each run of 8
// values (the group starts). Cum(s) is then one group start plus a sum over at most 7 frequencies,
// and the decoder finds its symbol by counting the group starts not above the scaled value and then
// the running sums inside the group not above it. Both are written as fixed-length loops without
// data-dependent branches: the symbols of real input are too varied for a branch predictor, and
// fixed loops let the compiler use vector instructions.
class ByteModel {
 public:
  ByteModel() {
    for (unsigned s = 0; s < 256; ++s) freq_[s] = 1;
    for (unsigned g = 0; g < kGroupCount; ++g) group_start_[g] = g * kGroupSize;
  }

  uint32_t total() const { return total_; }
  // range / total(), exactly, for any 32-bit range: a multiplication by the total's reciprocal
  // instead of a division on the coder's chain of dependent steps. The reciprocal depends only on
  // the model, so it is ready long before the range it divides. (ceil(2^64 / d) times a 32-bit n,
  // shifted down by 64, is floor(n / d) for every d below 2^32: the error stays below 1 / d.)
  uint32_t Scale(uint32_t range) const {
    return static_cast<uint32_t>((static_cast<unsigned __int128>(reciprocal_) * range) >> 64);
  }
  uint32_t Frequency(unsigned s) const { return freq_[s]; }

  uint32_t Cumulative(unsigned s) const {
    const unsigned first = s & ~(kGroupSize - 1);
    const unsigned within = s - first;
    uint32_t sum = 0;
    for (unsigned j = 0; j < kGroupSize; ++j) sum += j < within ? freq_[first + j] : 0;
    return group_start_[s / kGroupSize] + sum;
  }

  // The symbol s with Cum(s) <= v < Cum(s) + f(s), for v below total(); Cum(s) goes to `cum`.
  unsigned Find(uint32_t v, uint32_t& cum) const {
    // Values stay below 2^17, so signed compares (which every vector unit has) are exact.
    int g = -1;
    for (unsigned k = 0; k < kGroupCount; ++k) g += static_cast<int32_t>(group_start_[k]) <= static_cast<int32_t>(v);
    const uint32_t* const freq = freq_ + g * kGroupSize;
    // The running sum after each value of the group; the values whose sum stays at or below v
    // lie before s.
    uint32_t running = group_start_[g];
    uint32_t below = running;
    unsigned s = g * kGroupSize;
    for (unsigned j = 0; j < kGroupSize; ++j) {
      running += freq[j];
      const bool before = running <= v;
      below = before ? running : below;
      s += before;
    }
    cum = below;
    return s;
  }

  void Update(unsigned s) {
    freq_[s] += kIncrement;
    total_ += kIncrement;
    reciprocal_ = Reciprocal(total_);
    const unsigned group = s / kGroupSize;
    for (unsigned g = 0; g < kGroupCount; ++g) group_start_[g] += g > group ? kIncrement : 0;
    if (total_ > kRescaleLimit) Rescale();
  }

 private:
  // Every count halves, rounding down: f' = (f - 1) / 2 + 1 = (f + 1) / 2.
  void Rescale() {
    uint32_t sum = 0;
    for (unsigned g = 0; g < kGroupCount; ++g) {
      group_start_[g] = sum;
      for (unsigned j = g * kGroupSize; j < (g + 1) * kGroupSize; ++j) {
        freq_[j] = (freq_[j] + 1) >> 1;
        sum += freq_[j];
      }
    }
    total_ = sum;
    reciprocal_ = Reciprocal(total_);
  }

  // ceil(2^64 / d) for d from 2 up.
  static uint64_t Reciprocal(uint32_t d) { return UINT64_MAX / d + 1; }

  uint32_t freq_[256];
  uint32_t group_start_[kGroupCount];
  uint32_t total_ = 256;
  uint64_t reciprocal_ = Reciprocal(256);
};

constexpr unsigned kSearchGroups = 8;
constexpr unsigned kSearchGroupSize = 32;

// The decoder's model: counts per byte value; the frequency of s is count[s] + 1, so no symbol ever
// has frequency 0. Its search scans from the nearer end of a group, which with branches on the
// scan costs less than a fixed-length count when a few values dominate, as in container bytes.
// The group starts hold the cumulative frequency at the first value of each run of 32 values, so a
// cumulative frequency costs one group start (or the next one) plus at most 16 additions. They are a
// speed device only: the format is defined by the cumulative frequency s + (sum of count[j], j < s).
class SearchModel {
 public:
  SearchModel() {
    for (unsigned g = 0; g < kSearchGroups; ++g) group_start_[g] = g * kSearchGroupSize;
  }

  uint32_t total() const { return total_; }
  uint32_t Frequency(unsigned s) const { return counts_[s] + 1; }

  uint32_t Cumulative(unsigned s) const {
    // Sums from whichever end of the group lies nearer.
    const unsigned group = s / kSearchGroupSize;
    const unsigned first = group * kSearchGroupSize;
    if (s - first <= kSearchGroupSize / 2) {
      uint32_t cum = group_start_[group] + (s - first);
      for (unsigned j = first; j < s; ++j) cum += counts_[j];
      return cum;
    }
    const unsigned end = first + kSearchGroupSize;
    uint32_t cum = (group + 1 < kSearchGroups ? group_start_[group + 1] : total_) - (end - s);
    for (unsigned j = s; j < end; ++j) cum -= counts_[j];
    return cum;
  }

  // The symbol whose interval [Cumulative(s), Cumulative(s) + Frequency(s)) holds v, which must be
  // below total(); its cumulative frequency goes to `cum`. Scans the group from the end nearer to v.
  unsigned Find(uint32_t v, uint32_t& cum) const {
    unsigned g = group_start_[4] <= v ? 4 : 0;
    if (group_start_[g + 2] <= v) g += 2;
    if (group_start_[g + 1] <= v) g += 1;
    const uint32_t group_end = g + 1 < kSearchGroups ? group_start_[g + 1] : total_;
    unsigned s;
    uint32_t c;
    if (v - group_start_[g] < group_end - v) {
      s = g * kSearchGroupSize;
      c = group_start_[g];
      while (c + counts_[s] + 1 <= v) c += counts_[s++] + 1;
    } else {
      s = (g + 1) * kSearchGroupSize - 1;
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
    const unsigned group = s / kSearchGroupSize;
    for (unsigned g = 0; g < kSearchGroups; ++g) group_start_[g] += g > group ? kIncrement : 0;
    if (total_ > kRescaleLimit) Rescale();
  }

 private:
  void Rescale() {
    uint32_t sum = 0;
    for (unsigned g = 0; g < kSearchGroups; ++g) {
      group_start_[g] = g * kSearchGroupSize + sum;
      for (unsigned j = g * kSearchGroupSize; j < (g + 1) * kSearchGroupSize; ++j) {
        counts_[j] >>= 1;
        sum += counts_[j];
      }
    }
    total_ = 256 + sum;
  }

  uint32_t counts_[256] = {};
  uint32_t group_start_[kSearchGroups];
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
    const uint32_t r = model.Scale(range);
    low += r * model.Cumulative(s);
    range = r * model.Frequency(s);
    if (out != end) {
      // The common shift, when the top byte has settled, without a branch: whether it comes is
      // as unpredictable as the input. The byte is written either way and kept only when due.
      const bool settled = (low ^ (low + range)) < kTop;
      *out = static_cast<uint8_t>(low >> 24);
      out += settled;
      const unsigned shift = settled ? 8 : 0;
      low <<= shift;
      range <<= shift;
    }
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
  SearchModel model;
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
    if (in != end) {
      // The common shift without a branch, as in the encoder.
      const bool settled = (low ^ (low + range)) < kTop;
      const unsigned shift = settled ? 8 : 0;
      code = code << shift | (settled ? *in : 0);
      in += settled;
      low <<= shift;
      range <<= shift;
    }
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
