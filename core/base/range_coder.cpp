#include "core/base/range_coder.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Where the processor may offer newer instructions, the coder's steps are compiled a second time
// for them (a count of leading zeros and shifts by a register in one instruction each, vector
// instructions that keep their sources), and the decoder has a second search for 512-bit vectors
// (see WideModel); the code is chosen at run time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define HX_RANGE_DISPATCH 1
#define HX_WIDE_TARGET __attribute__((target("avx512f,avx512bw,popcnt,bmi,bmi2,lzcnt")))
#define HX_NEWER_TARGET __attribute__((target("avx2,popcnt,bmi,bmi2,lzcnt")))
#endif

namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr uint32_t kBottom = 1u << 16;
constexpr uint32_t kIncrement = 64;
constexpr uint32_t kRescaleLimit = 65536;
// A multiplier m with floor(n * m / 2^64) = floor(n / d) for every 32-bit n, for a total d from 256
// up to a little above 2^16. Any m from 2^64 / d up to 2^64 / d + 2^15 will do: the excess adds
// less than n * 2^15 / 2^64 < 1 / d to n / d, whose fraction is at most 1 - 1 / d. The quotient in
// double precision lies within 8 of 2^64 / d (it is below 2^56), so 64 more is always in that
// window. A floating-point division keeps the integer divider, far slower on 64 bits, out of every
// symbol.
inline uint64_t Reciprocal(uint32_t d) {
  return static_cast<uint64_t>(static_cast<int64_t>(18446744073709551616.0 / d)) + 64;
}

constexpr unsigned kSearchGroups = 16;
constexpr unsigned kSearchGroupSize = 16;

// The order-0 model, the same in coder and decoder. The format is defined by the frequency
// f(s) = count(s) + 1 and the cumulative frequency Cum(s) = s + (sum of count[j], j < s); everything
// else here is a speed device.
//
// The model keeps Cum(s) in two levels of 16-bit numbers: the cumulative frequency at the first value
// of each run of 16 values (the group starts), and for every value its cumulative frequency counted
// from its group's start (its offset). The decoder finds its symbol by counting the group starts not
// above the scaled value, then the offsets in that group not above the rest: two compares of 16
// numbers in two vector registers each, without data-dependent branches (the symbols of real input
// are too varied for a branch predictor). An update adds the increment to the group starts and to
// the offsets of one group. The coder takes Cum(s) as one group start plus one offset.
//
// While the model is read the total is at most 2^16, so every Cum(s) (at most the total minus
// f(255)) fits 16 bits. The update that takes the total above 2^16 may wrap some of them, but the
// rescale that follows at once computes them afresh from the counts.
class SearchModel {
 public:
  SearchModel() {
    for (unsigned s = 0; s < 256; ++s) {
      freq_[s] = 1;
      offset_[s] = static_cast<uint16_t>(s % kSearchGroupSize);
    }
    for (unsigned g = 0; g < kSearchGroups; ++g) group_start_[g] = static_cast<uint16_t>(g * kSearchGroupSize);
  }

  uint32_t total() const { return total_; }
  // range / total(), exactly, as the encoder's model computes it.
  uint32_t Scale(uint32_t range) const {
    return static_cast<uint32_t>((static_cast<unsigned __int128>(reciprocal_) * range) >> 64);
  }
  uint32_t Frequency(unsigned s) const { return freq_[s]; }
  uint32_t Cumulative(unsigned s) const {
    return uint32_t{group_start_[s / kSearchGroupSize]} + offset_[s];
  }

  // The symbol s with Cum(s) <= v < Cum(s) + f(s), for v below total(); Cum(s) goes to `cum`.
  // The first group start and the first offset of a group are 0, never above v.
  unsigned Find(uint32_t v, uint32_t& cum) const {
#if defined(__SSE2__)
    const __m128i value = _mm_set1_epi16(static_cast<int16_t>(v));
    __m128i low, high;
    const unsigned g = LastNotAbove(group_start_, value, low, high);
    // v minus the group's start, in every lane, without a round trip through a general register:
    // the start is the largest of the group starts not above v.
    const __m128i* const starts = reinterpret_cast<const __m128i*>(group_start_);
    const __m128i rest = _mm_sub_epi16(value, Largest(_mm_and_si128(_mm_load_si128(starts), low),
                                                      _mm_and_si128(_mm_load_si128(starts + 1), high)));
    const unsigned j = LastNotAbove(offset_ + g * kSearchGroupSize, rest, low, high);
#else
    const unsigned g = LastNotAbove(group_start_, v);
    const unsigned j = LastNotAbove(offset_ + g * kSearchGroupSize, v - group_start_[g]);
#endif
    cum = uint32_t{group_start_[g]} + offset_[g * kSearchGroupSize + j];
    return g * kSearchGroupSize + j;
  }

  void Update(unsigned s) {
    freq_[s] += kIncrement;
    total_ += kIncrement;
    const unsigned group = s / kSearchGroupSize;
    AddAbove(group_start_, group);
    AddAbove(offset_ + group * kSearchGroupSize, s % kSearchGroupSize);
    if (total_ > kRescaleLimit) Rescale();
    reciprocal_ = Reciprocal(total_);
  }

 private:
#if defined(__SSE2__)
  // The index of the last of 16 ascending numbers not above the value in every lane of `value`,
  // when the first is not above it; `low` and `high` get all ones in the lanes of the numbers not
  // above it (the first eight and the last eight).
  static unsigned LastNotAbove(const uint16_t* numbers, __m128i value, __m128i& low, __m128i& high) {
    // x <= v exactly when x - v, saturated at 0, is 0.
    const __m128i* const p = reinterpret_cast<const __m128i*>(numbers);
    const __m128i zero = _mm_setzero_si128();
    low = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(p), value), zero);
    high = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(p + 1), value), zero);
    const unsigned not_above = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
    return static_cast<unsigned>(__builtin_ctz(~not_above)) - 1;
  }

  // The largest of the 16 numbers in two registers, in every lane. With the top bits flipped,
  // signed order (the only order the vector unit compares 16-bit numbers in) is unsigned order.
  static __m128i Largest(__m128i low, __m128i high) {
    const __m128i flip = _mm_set1_epi16(INT16_MIN);
    __m128i m = _mm_max_epi16(_mm_xor_si128(low, flip), _mm_xor_si128(high, flip));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_epi16(m, _mm_shufflehi_epi16(_mm_shufflelo_epi16(m, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_xor_si128(m, flip);
  }
#else
  // The index of the last of 16 ascending numbers not above v, when the first is not above it.
  static unsigned LastNotAbove(const uint16_t* numbers, uint32_t v) {
    unsigned n = 0;
    for (unsigned k = 1; k < 16; ++k) n += numbers[k] <= v;
    return n;
  }
#endif

  // Adds the model increment to those of 16 numbers that lie after the one at `index`.
  static void AddAbove(uint16_t* numbers, unsigned index) {
#if defined(__SSE2__)
    // Number k gets kSteps[k + 15 - index]: the increment where k is above the index, else 0.
    const __m128i* const step = reinterpret_cast<const __m128i*>(kSteps.data() + 15 - index);
    __m128i* const p = reinterpret_cast<__m128i*>(numbers);
    _mm_store_si128(p, _mm_add_epi16(_mm_load_si128(p), _mm_loadu_si128(step)));
    _mm_store_si128(p + 1, _mm_add_epi16(_mm_load_si128(p + 1), _mm_loadu_si128(step + 1)));
#else
    for (unsigned k = index + 1; k < 16; ++k) numbers[k] = static_cast<uint16_t>(numbers[k] + kIncrement);
#endif
  }

  // 0 sixteen times, then the increment sixteen times.
  static constexpr std::array<uint16_t, 32> kSteps = [] {
    std::array<uint16_t, 32> steps{};
    for (unsigned k = 16; k < 32; ++k) steps[k] = kIncrement;
    return steps;
  }();

  // Every count halves, rounding down: f' = (f - 1) / 2 + 1 = (f + 1) / 2.
  void Rescale() {
    uint32_t sum = 0;
    for (unsigned g = 0; g < kSearchGroups; ++g) {
      group_start_[g] = static_cast<uint16_t>(sum);
      uint32_t within = 0;
      for (unsigned j = g * kSearchGroupSize; j < (g + 1) * kSearchGroupSize; ++j) {
        freq_[j] = (freq_[j] + 1) >> 1;
        offset_[j] = static_cast<uint16_t>(within);
        within += freq_[j];
      }
      sum += within;
    }
    total_ = sum;
  }

  alignas(16) uint16_t offset_[256];
  alignas(16) uint16_t group_start_[kSearchGroups];
  uint32_t freq_[256];
  uint32_t total_ = 256;
  uint64_t reciprocal_ = Reciprocal(256);
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

// 8 times the number of top bytes that low and low + range share: the shifts due before either the
// range needs widening or a top byte is still open. Never 32, since range is never 0.
inline unsigned SettledBits(uint32_t low, uint32_t range) {
  return (static_cast<unsigned>(__builtin_clz(low ^ (low + range))) / 8) * 8;
}

// Four bytes, most significant first: the coder's byte order. One load or store and a swap where
// the processor stores its numbers the other way round.
inline uint32_t LoadBigEndian(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return std::endian::native == std::endian::little ? __builtin_bswap32(value) : value;
}

inline void StoreBigEndian(uint8_t* bytes, uint32_t value) {
  if (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
  std::memcpy(bytes, &value, sizeof value);
}

// The decoder's renormalisation after a symbol: the settled bytes' shifts at once while four
// input bytes are there (as in the encoder), then byte by byte. False when the input ends first.
inline bool RefillDecoder(uint32_t& low, uint32_t& range, uint32_t& code, const uint8_t*& in,
                          const uint8_t* end) {
  if (end - in >= 4) {
    const unsigned shift = SettledBits(low, range);
    code = static_cast<uint32_t>((uint64_t{code} << 32 | LoadBigEndian(in)) >> (32 - shift));
    in += shift / 8;
    low <<= shift;
    range <<= shift;
  }
  while (NeedsShift(low, range)) {
    if (in == end) return false;
    code = code << 8 | *in++;
    low <<= 8;
    range <<= 8;
  }
  return true;
}

#if defined(HX_RANGE_DISPATCH)
// The decoder's model for processors with 512-bit vectors of 16-bit lanes: Cum(s) of all 256 values
// in eight registers, so the symbol is the count of those not above the scaled value, found in one
// step of eight compares instead of two dependent steps; an update adds the increment to the lanes
// after s in all eight at once. Cum(s) never exceeds 65535 while it is searched (the total is at
// most 2^16 then, and f(255) at least 1); an update that takes the total above 2^16 may wrap the
// lanes, but the rescale that follows at once computes them afresh. A copy in memory serves the
// scalar reads of Cum(s).
class WideModel {
 public:
  HX_WIDE_TARGET WideModel() {
    for (unsigned s = 0; s < 256; ++s) {
      freq_[s] = 1;
      cum_[s] = static_cast<uint16_t>(s);
    }
    for (unsigned k = 0; k < kRegisters; ++k) cums_[k] = _mm512_load_si512(cum_ + 32 * k);
  }

  uint32_t total() const { return total_; }
  uint32_t Scale(uint32_t range) const {
    return static_cast<uint32_t>((static_cast<unsigned __int128>(reciprocal_) * range) >> 64);
  }
  uint32_t Frequency(unsigned s) const { return freq_[s]; }

  // The symbol s with Cum(s) <= v < Cum(s) + f(s), for v below total(); Cum(s) goes to `cum`.
  HX_WIDE_TARGET unsigned Find(uint32_t v, uint32_t& cum) const {
    const __m512i value = _mm512_set1_epi16(static_cast<int16_t>(v));
    uint64_t not_above = 0;
    for (unsigned k = 0; k < kRegisters; k += 2) {
      const uint64_t mask = _mm512_cmple_epu16_mask(cums_[k], value) |
                            uint64_t{_mm512_cmple_epu16_mask(cums_[k + 1], value)} << 32;
      not_above += static_cast<uint64_t>(__builtin_popcountll(mask));
    }
    const unsigned s = static_cast<unsigned>(not_above) - 1;
    cum = cum_[s];
    return s;
  }

  HX_WIDE_TARGET void Update(unsigned s) {
    freq_[s] += kIncrement;
    total_ += kIncrement;
    const __m512i at = _mm512_set1_epi16(static_cast<int16_t>(s));
    const __m512i increment = _mm512_set1_epi16(kIncrement);
    const __m512i lanes = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                           12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    for (unsigned k = 0; k < kRegisters; ++k) {
      const __m512i value = _mm512_add_epi16(lanes, _mm512_set1_epi16(static_cast<int16_t>(32 * k)));
      cums_[k] = _mm512_mask_add_epi16(cums_[k], _mm512_cmpgt_epu16_mask(value, at), cums_[k], increment);
      _mm512_store_si512(cum_ + 32 * k, cums_[k]);
    }
    if (total_ > kRescaleLimit) Rescale();
    reciprocal_ = Reciprocal(total_);
  }

 private:
  static constexpr unsigned kRegisters = 8;

  // Every count halves, rounding down: f' = (f - 1) / 2 + 1 = (f + 1) / 2.
  HX_WIDE_TARGET void Rescale() {
    uint32_t sum = 0;
    for (unsigned j = 0; j < 256; ++j) {
      freq_[j] = (freq_[j] + 1) >> 1;
      cum_[j] = static_cast<uint16_t>(sum);
      sum += freq_[j];
    }
    total_ = sum;
    for (unsigned k = 0; k < kRegisters; ++k) cums_[k] = _mm512_load_si512(cum_ + 32 * k);
  }

  __m512i cums_[kRegisters];
  alignas(64) uint16_t cum_[256];
  uint32_t freq_[256];
  uint32_t total_ = 256;
  uint64_t reciprocal_ = Reciprocal(256);
};

// RCDV_DecodeSafe's steps with the wide model; the source holds at least four bytes.
HX_WIDE_TARGET int64_t DecodeWide(const uint8_t* begin, uint8_t* out, size_t length, size_t source_size) {
  const uint8_t* const end = begin + source_size;
  const uint8_t* in = begin + 4;
  WideModel model;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint32_t code = LoadBigEndian(begin);
  for (size_t i = 0; i < length; ++i) {
    const uint32_t r = model.Scale(range);
    const uint32_t v = (code - low) / r;
    if (v >= model.total()) return -1;
    uint32_t cum;
    const unsigned s = model.Find(v, cum);
    out[i] = static_cast<uint8_t>(s);
    low += r * cum;
    range = r * model.Frequency(s);
    if (!RefillDecoder(low, range, code, in, end)) return -1;
    model.Update(s);
  }
  return in - begin;
}

bool HasWide() {
  static const bool wide = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                           __builtin_cpu_supports("popcnt");
  return wide;
}
#endif

// RCDV_Encode's steps, inlined into each caller so that each compiles them for its instruction set.
__attribute__((always_inline)) inline int64_t EncodeSteps(const void* source, size_t length, void* destination,
                                                          size_t capacity) {
  const uint8_t* in = static_cast<const uint8_t*>(source);
  uint8_t* const begin = static_cast<uint8_t*>(destination);
  uint8_t* out = begin;
  uint8_t* const end = begin + capacity;
  SearchModel model;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    const unsigned s = in[i];
    const uint32_t r = model.Scale(range);
    low += r * model.Cumulative(s);
    range = r * model.Frequency(s);
    if (end - out >= 4) {
      // The shifts that the settled top bytes call for, all at once and without a branch: whether
      // they come is as unpredictable as the input. Shifting moves low and low + range up
      // together, so every top byte they share is settled. All four bytes of low are written and
      // only the settled ones kept; the others lie where the following bytes, at the latest the
      // four flush bytes, will be written.
      const unsigned shift = SettledBits(low, range);
      StoreBigEndian(out, low);
      out += shift / 8;
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

// RCDV_DecodeSafe's steps with the two-level model, inlined into each caller so that each compiles
// them for its instruction set; the source holds at least four bytes.
__attribute__((always_inline)) inline int64_t DecodeSteps(const uint8_t* begin, uint8_t* out, size_t length,
                                                          size_t source_size) {
  const uint8_t* const end = begin + source_size;
  const uint8_t* in = begin + 4;
  SearchModel model;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint32_t code = LoadBigEndian(begin);
  for (size_t i = 0; i < length; ++i) {
    // range is at least 2^16 and the total at most 2^16 here, so r is at least 1.
    const uint32_t r = model.Scale(range);
    const uint32_t v = (code - low) / r;
    if (v >= model.total()) return -1;
    uint32_t cum;
    const unsigned s = model.Find(v, cum);
    out[i] = static_cast<uint8_t>(s);
    low += r * cum;
    range = r * model.Frequency(s);
    if (!RefillDecoder(low, range, code, in, end)) return -1;
    model.Update(s);
  }
  return in - begin;
}

#if defined(HX_RANGE_DISPATCH)
HX_NEWER_TARGET int64_t EncodeNewer(const void* source, size_t length, void* destination, size_t capacity) {
  return EncodeSteps(source, length, destination, capacity);
}

HX_NEWER_TARGET int64_t DecodeNewer(const uint8_t* begin, uint8_t* out, size_t length, size_t source_size) {
  return DecodeSteps(begin, out, length, source_size);
}

bool HasNewer() {
  static const bool newer = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
                            __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                            __builtin_cpu_supports("lzcnt");
  return newer;
}
#endif

}  // namespace

int64_t RCDV_Encode(const void* source, size_t length, void* destination, size_t capacity) {
#if defined(HX_RANGE_DISPATCH)
  if (HasNewer()) return EncodeNewer(source, length, destination, capacity);
#endif
  return EncodeSteps(source, length, destination, capacity);
}

int64_t RCDV_EncodePortable(const void* source, size_t length, void* destination, size_t capacity) {
  return EncodeSteps(source, length, destination, capacity);
}

int64_t RCDV_DecodeSafe(const void* source, void* destination, size_t length, size_t source_size) {
  if (source_size < 4) return -1;
  const uint8_t* const begin = static_cast<const uint8_t*>(source);
  uint8_t* const out = static_cast<uint8_t*>(destination);
#if defined(HX_RANGE_DISPATCH)
  if (HasWide()) return DecodeWide(begin, out, length, source_size);
  if (HasNewer()) return DecodeNewer(begin, out, length, source_size);
#endif
  return DecodeSteps(begin, out, length, source_size);
}

int64_t RCDV_DecodeSafePortable(const void* source, void* destination, size_t length, size_t source_size) {
  if (source_size < 4) return -1;
  return DecodeSteps(static_cast<const uint8_t*>(source), static_cast<uint8_t*>(destination), length, source_size);
}
