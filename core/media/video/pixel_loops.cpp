// Every loop is written once as an always-inline body and compiled three times: without
// vectorisation (the plain form), for the x86-64 baseline (SSE2) and for AVX2. This file is built
// with -O3 so that the compiler vectorises the two latter forms; the bodies keep to simple
// integer loops over restrict-qualified rows so that it can. Where the compiler cannot (gathers,
// sums across a window, partial pixel writes), the body takes a kSimd flag and the two vector
// forms run SSE2 intrinsics that compute the same integers: pmaddwd sums the same products,
// and the saturating packs give exactly Clip. The hottest loops (the bicubic passes, RGB24,
// packed 4:2:2 and the chroma split) also have 256-bit bodies of their own in the AVX2 table,
// which end in the shared bodies for their tails.

#include "core/media/video/pixel_loops.h"

#include <immintrin.h>

#include <atomic>
#include <cstring>
#include <vector>

#define HX_INLINE [[gnu::always_inline]] inline
#define HX_R __restrict

namespace hx::video {
namespace {

HX_INLINE void BlendRowsBody(const uint8_t* HX_R a, const uint8_t* HX_R b, uint8_t* HX_R out, int n,
                             int w) {
  // w * a + (256 - w) * b + 128 stays below 65536, so 16-bit lanes hold it.
  const uint16_t wa = static_cast<uint16_t>(w);
  const uint16_t wb = static_cast<uint16_t>(256 - w);
  for (int i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(static_cast<uint16_t>(wa * a[i] + wb * b[i] + 128) >> 8);
  }
}

template <bool kSimd>
HX_INLINE void BilinearGatherBody(const uint8_t* HX_R s, const int32_t* HX_R idx,
                                  const uint16_t* HX_R w, uint8_t* HX_R out, int n) {
  int i = 0;
  if constexpr (kSimd) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi16(256);
    const __m128i half = _mm_set1_epi32(128);
    for (; i + 8 <= n; i += 8) {
      const __m128i wv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + i));
      // A weight above 256 wraps in the unsigned arithmetic: leave such blocks to the loop below.
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(wv, full), zero)) != 0xFFFF) break;
      __m128i pairs = zero;
      uint16_t pair;
#define HX_PAIR(L)                       \
  std::memcpy(&pair, s + idx[i + L], 2); \
  pairs = _mm_insert_epi16(pairs, pair, L);
      HX_PAIR(0)
      HX_PAIR(1)
      HX_PAIR(2)
      HX_PAIR(3)
      HX_PAIR(4) HX_PAIR(5) HX_PAIR(6) HX_PAIR(7)
#undef HX_PAIR
          const __m128i wc = _mm_sub_epi16(full, wv);
      const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(pairs, zero), _mm_unpacklo_epi16(wv, wc));
      const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(pairs, zero), _mm_unpackhi_epi16(wv, wc));
      const __m128i r = _mm_packs_epi32(_mm_srli_epi32(_mm_add_epi32(lo, half), 8),
                                        _mm_srli_epi32(_mm_add_epi32(hi, half), 8));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(r, r));
    }
  }
  for (; i < n; ++i) {
    const int k = idx[i];
    const unsigned wi = w[i];
    out[i] = static_cast<uint8_t>((wi * s[k] + (256 - wi) * s[k + 1] + 128) >> 8);
  }
}

template <bool kSimd>
HX_INLINE void BicubicColumnsBody(const uint8_t* const* rows, const int16_t* w, int taps,
                                  uint8_t* HX_R out, int n, int start = 0) {
  if constexpr (kSimd) {
    // Sixteen columns at a time, two rows per pmaddwd, the sums kept in registers.
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(2048);
    for (; start + 16 <= n; start += 16) {
      __m128i acc0 = round, acc1 = round, acc2 = round, acc3 = round;
      for (int k = 0; k < taps; k += 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + start));
        __m128i b = zero;
        uint32_t pair = static_cast<uint16_t>(w[k]);
        if (k + 1 < taps) {
          b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + start));
          pair |= static_cast<uint32_t>(static_cast<uint16_t>(w[k + 1])) << 16;
        }
        const __m128i wp = _mm_set1_epi32(static_cast<int>(pair));
        const __m128i lo = _mm_unpacklo_epi8(a, b);
        const __m128i hi = _mm_unpackhi_epi8(a, b);
        acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), wp));
        acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), wp));
        acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), wp));
        acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), wp));
      }
      const __m128i r0 = _mm_packs_epi32(_mm_srai_epi32(acc0, 12), _mm_srai_epi32(acc1, 12));
      const __m128i r1 = _mm_packs_epi32(_mm_srai_epi32(acc2, 12), _mm_srai_epi32(acc3, 12));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + start), _mm_packus_epi16(r0, r1));
    }
  }
  constexpr int kChunk = 512;
  int32_t acc[kChunk];
  for (int x0 = start; x0 < n; x0 += kChunk) {
    const int m = n - x0 < kChunk ? n - x0 : kChunk;
    for (int x = 0; x < m; ++x) acc[x] = 2048;
    for (int k = 0; k < taps; ++k) {
      const int32_t wk = w[k];
      const uint8_t* HX_R r = rows[k] + x0;
      for (int x = 0; x < m; ++x) acc[x] += wk * r[x];
    }
    uint8_t* HX_R o = out + x0;
    for (int x = 0; x < m; ++x) o[x] = Clip(acc[x] >> 12);
  }
}

template <int kTaps>
HX_INLINE int FixedTapSum(const uint8_t* HX_R s, const int16_t* HX_R w) {
  int sum = 0;
  for (int k = 0; k < kTaps; ++k) sum += w[k] * s[k];
  return sum;
}

// Four 4-lane sums of products into one vector of their four totals.
HX_INLINE __m128i SumLanes4(__m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
  const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
  return _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
}

HX_INLINE int WindowSum(const uint8_t* HX_R s, int srcWidth, const int16_t* HX_R w, int taps) {
  const int first = w[taps];
  int sum = 0;
  for (int k = first < 0 ? -first : 0; k < taps && first + k < srcWidth; ++k) {
    sum += w[k] * s[first + k];
  }
  return sum;
}

template <bool kSimd>
HX_INLINE void BicubicRowBody(const uint8_t* HX_R s, int srcWidth, const int16_t* HX_R table,
                              int taps, uint8_t* HX_R out, int n) {
  const int stride = taps + 1;
  int start = 0;
  if constexpr (kSimd) {
    if (taps <= 8) {
      // One pmaddwd per target sample over an 8-sample window, the taps beyond `taps` weighted 0
      // (masked); samples whose window or table row would be read past its end take WindowSum.
      const __m128i zero = _mm_setzero_si128();
      const __m128i mask = _mm_cmplt_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7),
                                           _mm_set1_epi16(static_cast<int16_t>(taps)));
      const int64_t tableEnd = int64_t{n} * stride;
      auto one = [&](int j) -> __m128i {
        const int16_t* HX_R w = table + int64_t{j} * stride;
        const int first = w[taps];
        if (first >= 0 && first + 8 <= srcWidth && int64_t{j} * stride + 8 <= tableEnd) {
          const __m128i px =
              _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + first)), zero);
          const __m128i wt =
              _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)), mask);
          return _mm_madd_epi16(px, wt);
        }
        return _mm_cvtsi32_si128(WindowSum(s, srcWidth, w, taps));
      };
      const __m128i round = _mm_set1_epi32(2048);
      for (; start + 4 <= n; start += 4) {
        const __m128i sum = _mm_add_epi32(
            SumLanes4(one(start), one(start + 1), one(start + 2), one(start + 3)), round);
        const __m128i r = _mm_packs_epi32(_mm_srai_epi32(sum, 12), zero);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(r, r));
        std::memcpy(out + start, &bytes, 4);
      }
    }
  }
  for (int j = start; j < n; ++j) {
    const int16_t* HX_R w = table + j * stride;
    const int first = w[taps];
    int sum;
    if (first >= 0 && first + taps <= srcWidth) {
      // Window inside the row: the common case, with the usual tap counts unrolled.
      const uint8_t* HX_R p = s + first;
      switch (taps) {
        case 2:
          sum = FixedTapSum<2>(p, w);
          break;
        case 3:
          sum = FixedTapSum<3>(p, w);
          break;
        case 4:
          sum = FixedTapSum<4>(p, w);
          break;
        case 8:
          sum = FixedTapSum<8>(p, w);
          break;
        default:
          sum = 0;
          for (int k = 0; k < taps; ++k) sum += w[k] * p[k];
      }
    } else {
      sum = 0;
      for (int k = first < 0 ? -first : 0; k < taps && first + k < srcWidth; ++k) {
        sum += w[k] * s[first + k];
      }
    }
    out[j] = Clip((sum + 2048) >> 12);
  }
}

template <bool kSimd>
HX_INLINE void BicubicRowsBody(const uint8_t* s, int srcStride, int srcWidth, int rows,
                               const int16_t* table, int taps, uint8_t* out, int n) {
  for (int r = 0; r < rows; ++r) {
    BicubicRowBody<kSimd>(s + int64_t{r} * srcStride, srcWidth, table, taps, out + int64_t{r} * n,
                          n);
  }
}

HX_INLINE void SplitPairsBody(const uint8_t* HX_R s, uint8_t* HX_R a, uint8_t* HX_R b, int pairs,
                              int start = 0) {
  for (int i = start; i < pairs; ++i) {
    a[i] = s[2 * i];
    b[i] = s[2 * i + 1];
  }
}

HX_INLINE void MergePairsBody(const uint8_t* HX_R a, const uint8_t* HX_R b, uint8_t* HX_R out,
                              int pairs) {
  for (int i = 0; i < pairs; ++i) {
    out[2 * i] = a[i];
    out[2 * i + 1] = b[i];
  }
}

// Byte positions of Y0, U, Y1, V in a 4-byte group of packed 4:2:2.
template <int kY0, int kU, int kY1, int kV>
HX_INLINE void Packed422RowsBody(const uint8_t* HX_R r0, const uint8_t* HX_R r1, uint8_t* HX_R y0,
                                 uint8_t* HX_R y1, uint8_t* HX_R u, uint8_t* HX_R v, int pairs,
                                 int start = 0) {
  for (int j = start; j < pairs; ++j) {
    const uint8_t* HX_R a = r0 + 4 * j;
    const uint8_t* HX_R b = r1 + 4 * j;
    y0[2 * j] = a[kY0];
    y0[2 * j + 1] = a[kY1];
    y1[2 * j] = b[kY0];
    y1[2 * j + 1] = b[kY1];
    u[j] = static_cast<uint8_t>((a[kU] + b[kU]) >> 1);
    v[j] = static_cast<uint8_t>((a[kV] + b[kV]) >> 1);
  }
}

HX_INLINE uint8_t Luma(int b, int g, int r) {
  return Clip((25 * b + 130 * g + 66 * r + 4224) >> 8);
}

// kBpp bytes per pixel, with blue, green and red at kB, kG, kR.
template <int kBpp, int kB, int kG, int kR>
HX_INLINE void RgbRowsBody(const uint8_t* HX_R r0, const uint8_t* HX_R r1, uint8_t* HX_R y0,
                           uint8_t* HX_R y1, uint8_t* HX_R u, uint8_t* HX_R v, int blocks,
                           int start = 0) {
  for (int j = start; j < blocks; ++j) {
    const uint8_t* HX_R a = r0 + 2 * kBpp * j;
    const uint8_t* HX_R b = r1 + 2 * kBpp * j;
    const int b00 = a[kB], g00 = a[kG], r00 = a[kR];
    const int b01 = a[kBpp + kB], g01 = a[kBpp + kG], r01 = a[kBpp + kR];
    const int b10 = b[kB], g10 = b[kG], r10 = b[kR];
    const int b11 = b[kBpp + kB], g11 = b[kBpp + kG], r11 = b[kBpp + kR];
    y0[2 * j] = Luma(b00, g00, r00);
    y0[2 * j + 1] = Luma(b01, g01, r01);
    y1[2 * j] = Luma(b10, g10, r10);
    y1[2 * j + 1] = Luma(b11, g11, r11);
    const int sb = b00 + b01 + b10 + b11;
    const int sg = g00 + g01 + g10 + g11;
    const int sr = r00 + r01 + r10 + r11;
    u[j] = Clip((113 * sb - 75 * sg - 38 * sr + 131584) >> 10);
    v[j] = Clip((113 * sr - 94 * sg - 18 * sb + 131584) >> 10);
  }
}

HX_INLINE void BgraPixel(uint8_t* HX_R d, int y, int bu, int guv, int rv) {
  d[0] = Clip((y + bu - 4608) >> 8);
  d[1] = Clip((y + guv - 4608) >> 8);
  d[2] = Clip((y + rv - 4608) >> 8);
}

// Eight pixels of one row: 296 y with the chroma terms as pmaddwd pairs, the fourth byte of each
// target pixel kept.
HX_INLINE void BgraEight(const uint8_t* HX_R y, __m128i uu8, __m128i vv8, __m128i guvLo,
                         __m128i guvHi, uint8_t* HX_R d) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i cb = _mm_set1_epi32((512 << 16) | 296);
  const __m128i cr = _mm_set1_epi32((408 << 16) | 296);
  const __m128i cg = _mm_set1_epi32(static_cast<int>((0xEE00u << 16) | 296u));  // (296, -4608)
  const __m128i one = _mm_set1_epi16(1);
  const __m128i bias = _mm_set1_epi32(-4608);
  const __m128i y8 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y)), zero);
  auto channel = [&](__m128i lo, __m128i hi) {
    const __m128i p = _mm_packs_epi32(_mm_srai_epi32(lo, 8), _mm_srai_epi32(hi, 8));
    return _mm_packus_epi16(p, p);
  };
  const __m128i b = channel(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(y8, uu8), cb), bias),
                            _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(y8, uu8), cb), bias));
  const __m128i r = channel(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(y8, vv8), cr), bias),
                            _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(y8, vv8), cr), bias));
  const __m128i g = channel(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(y8, one), cg), guvLo),
                            _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(y8, one), cg), guvHi));
  const __m128i bg = _mm_unpacklo_epi8(b, g);
  const __m128i rz = _mm_unpacklo_epi8(r, zero);
  const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  __m128i* out = reinterpret_cast<__m128i*>(d);
  _mm_storeu_si128(
      out, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(out), keep), _mm_unpacklo_epi16(bg, rz)));
  _mm_storeu_si128(out + 1, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(out + 1), keep),
                                         _mm_unpackhi_epi16(bg, rz)));
}

template <bool kSimd>
HX_INLINE void I420ToBgraRowsBody(const uint8_t* HX_R y0, const uint8_t* HX_R y1,
                                  const uint8_t* HX_R u, const uint8_t* HX_R v, uint8_t* HX_R d0,
                                  uint8_t* HX_R d1, int blocks) {
  int j = 0;
  if constexpr (kSimd) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c128 = _mm_set1_epi16(128);
    const __m128i cguv = _mm_set1_epi32(static_cast<int>((0xFF30u << 16) | 0xFF9Cu));  // -100, -208
    for (; j + 4 <= blocks; j += 4) {
      int u4, v4;
      std::memcpy(&u4, u + j, 4);
      std::memcpy(&v4, v + j, 4);
      const __m128i uu = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(u4), zero), c128);
      const __m128i vv = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(v4), zero), c128);
      const __m128i guv = _mm_madd_epi16(_mm_unpacklo_epi16(uu, vv), cguv);
      const __m128i uu8 = _mm_unpacklo_epi16(uu, uu);
      const __m128i vv8 = _mm_unpacklo_epi16(vv, vv);
      const __m128i guvLo = _mm_unpacklo_epi32(guv, guv);
      const __m128i guvHi = _mm_unpackhi_epi32(guv, guv);
      BgraEight(y0 + 2 * j, uu8, vv8, guvLo, guvHi, d0 + 8 * j);
      BgraEight(y1 + 2 * j, uu8, vv8, guvLo, guvHi, d1 + 8 * j);
    }
  }
  for (; j < blocks; ++j) {
    const int uu = u[j] - 128;
    const int vv = v[j] - 128;
    const int bu = 512 * uu;
    const int guv = -208 * vv - 100 * uu;
    const int rv = 408 * vv;
    BgraPixel(d0 + 8 * j, 296 * y0[2 * j], bu, guv, rv);
    BgraPixel(d0 + 8 * j + 4, 296 * y0[2 * j + 1], bu, guv, rv);
    BgraPixel(d1 + 8 * j, 296 * y1[2 * j], bu, guv, rv);
    BgraPixel(d1 + 8 * j + 4, 296 * y1[2 * j + 1], bu, guv, rv);
  }
}

// One table per form. ATTR is the attribute list that makes the form; SIMD selects the
// intrinsic bodies.
#define HX_DEFINE_LOOPS(NAME, ATTR, SIMD)                                                         \
  namespace NAME {                                                                                \
  [[maybe_unused]] ATTR void BlendRows(const uint8_t* a, const uint8_t* b, uint8_t* out, int n,   \
                                       int w) {                                                   \
    BlendRowsBody(a, b, out, n, w);                                                               \
  }                                                                                               \
  [[maybe_unused]] ATTR void BilinearGather(const uint8_t* s, const int32_t* idx,                 \
                                            const uint16_t* w, uint8_t* out, int n) {             \
    BilinearGatherBody<SIMD>(s, idx, w, out, n);                                                  \
  }                                                                                               \
  [[maybe_unused]] ATTR void BicubicColumns(const uint8_t* const* rows, const int16_t* w,         \
                                            int taps, uint8_t* out, int n) {                      \
    BicubicColumnsBody<SIMD>(rows, w, taps, out, n);                                              \
  }                                                                                               \
  [[maybe_unused]] ATTR void BicubicRow(const uint8_t* s, int srcWidth, const int16_t* table,     \
                                        int taps, uint8_t* out, int n) {                          \
    BicubicRowBody<SIMD>(s, srcWidth, table, taps, out, n);                                       \
  }                                                                                               \
  [[maybe_unused]] ATTR void BicubicRows(const uint8_t* s, int srcStride, int srcWidth, int rows, \
                                         const int16_t* table, int taps, uint8_t* out, int n) {   \
    BicubicRowsBody<SIMD>(s, srcStride, srcWidth, rows, table, taps, out, n);                     \
  }                                                                                               \
  [[maybe_unused]] ATTR void SplitPairs(const uint8_t* s, uint8_t* a, uint8_t* b, int pairs) {    \
    SplitPairsBody(s, a, b, pairs);                                                               \
  }                                                                                               \
  [[maybe_unused]] ATTR void MergePairs(const uint8_t* a, const uint8_t* b, uint8_t* out,         \
                                        int pairs) {                                              \
    MergePairsBody(a, b, out, pairs);                                                             \
  }                                                                                               \
  [[maybe_unused]] ATTR void Yuy2Rows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0,          \
                                      uint8_t* y1, uint8_t* u, uint8_t* v, int pairs) {           \
    Packed422RowsBody<0, 1, 2, 3>(r0, r1, y0, y1, u, v, pairs);                                   \
  }                                                                                               \
  [[maybe_unused]] ATTR void UyvyRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0,          \
                                      uint8_t* y1, uint8_t* u, uint8_t* v, int pairs) {           \
    Packed422RowsBody<1, 0, 3, 2>(r0, r1, y0, y1, u, v, pairs);                                   \
  }                                                                                               \
  [[maybe_unused]] ATTR void Rgb24Rows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0,         \
                                       uint8_t* y1, uint8_t* u, uint8_t* v, int blocks) {         \
    RgbRowsBody<3, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  [[maybe_unused]] ATTR void ArgbRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0,          \
                                      uint8_t* y1, uint8_t* u, uint8_t* v, int blocks) {          \
    RgbRowsBody<4, 3, 2, 1>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  [[maybe_unused]] ATTR void BgraRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0,          \
                                      uint8_t* y1, uint8_t* u, uint8_t* v, int blocks) {          \
    RgbRowsBody<4, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  [[maybe_unused]] ATTR void I420ToBgraRows(const uint8_t* y0, const uint8_t* y1,                 \
                                            const uint8_t* u, const uint8_t* v, uint8_t* d0,      \
                                            uint8_t* d1, int blocks) {                            \
    I420ToBgraRowsBody<SIMD>(y0, y1, u, v, d0, d1, blocks);                                       \
  }                                                                                               \
  }

HX_DEFINE_LOOPS(plain, [[gnu::optimize("no-tree-vectorize")]], false)
HX_DEFINE_LOOPS(sse2, , true)
HX_DEFINE_LOOPS(avx2, [[gnu::target("avx2")]], true)

#define HX_LOOP_TABLE(NAME)                                                                       \
  namespace NAME {                                                                                \
  const PixelLoops kLoops = {BlendRows,  BilinearGather, BicubicColumns, BicubicRow, BicubicRows, \
                             SplitPairs, MergePairs,     Yuy2Rows,       UyvyRows,   Rgb24Rows,   \
                             ArgbRows,   BgraRows,       I420ToBgraRows};                         \
  }

HX_LOOP_TABLE(plain)

// ---- AVX2 bodies ----
// The AVX2 form replaces the loops below with 256-bit bodies (AVX2 brings SSSE3's pshufb). Each
// ends in the shared body for the samples its blocks leave, so the tails compute as before.

#define HX_AVX2 [[gnu::target("avx2")]]

// The bicubic row pass as shuffles. Each 128-bit lane of a step covers 8 / padTaps targets
// (padTaps = 2, 4 or 8, the taps rounded up): it loads 16 source bytes at the lane's base, a
// pshufb spreads them into the targets' windows as 16-bit samples (taps outside the row or past
// `taps` read 0x80, i.e. zero, and weigh 0), and pmaddwd multiplies them by the weights. The
// windows are placed so that the horizontal sums of a 16-target group land in target order.
struct ShufflePlan {
  int padTaps = 0;
  int groups = 0;                // whole groups of 16 targets
  std::vector<int32_t> base;     // per lane
  std::vector<uint8_t> control;  // 16 per lane
  std::vector<int16_t> weight;   // 8 per lane
};

// False when the row or the targets are too short, a window has more than 8 taps, or a lane's
// windows spread over more than 16 source bytes (tables that are not monotonic).
bool MakeShufflePlan(int srcWidth, const int16_t* table, int taps, int n, ShufflePlan& plan) {
  if (taps < 1 || taps > 8 || srcWidth < 16 || n < 16) return false;
  const int pad = taps <= 2 ? 2 : (taps <= 4 ? 4 : 8);
  const int perLane = 8 / pad;
  const int lanesPerGroup = 16 / perLane;
  plan.padTaps = pad;
  plan.groups = n / 16;
  const size_t lanes = static_cast<size_t>(plan.groups) * lanesPerGroup;
  plan.base.resize(lanes);
  plan.control.resize(lanes * 16);
  plan.weight.resize(lanes * 8);
  const int stride = taps + 1;
  for (size_t lane = 0; lane < lanes; ++lane) {
    const int g = static_cast<int>(lane / lanesPerGroup);
    const int u = static_cast<int>(lane % lanesPerGroup);
    // Lane u of the group is lane u % 2 of step u / 2; its targets start at the position their
    // sums take after the reduction.
    const int j0 = 16 * g + (u % 2) * 8 + (u / 2) * perLane;
    int lo = srcWidth, hi = 0;
    for (int t = 0; t < perLane; ++t) {
      const int16_t* w = table + int64_t{j0 + t} * stride;
      const int first = w[taps];
      const int a = first < 0 ? 0 : first;
      const int b = first + taps > srcWidth ? srcWidth : first + taps;
      if (a < b) {
        lo = a < lo ? a : lo;
        hi = b > hi ? b : hi;
      }
    }
    if (lo > hi) lo = hi = 0;  // no source sample at all: every weight 0
    if (hi - lo > 16) return false;
    const int base = lo < srcWidth - 16 ? lo : srcWidth - 16;
    plan.base[lane] = base;
    uint8_t* c = &plan.control[lane * 16];
    int16_t* wt = &plan.weight[lane * 8];
    for (int t = 0; t < perLane; ++t) {
      const int16_t* w = table + int64_t{j0 + t} * stride;
      const int first = w[taps];
      for (int k = 0; k < pad; ++k) {
        const int slot = t * pad + k;
        const int index = first + k;
        if (k < taps && index >= 0 && index < srcWidth) {
          c[2 * slot] = static_cast<uint8_t>(index - base);
          wt[slot] = w[k];
        } else {
          c[2 * slot] = 0x80;
          wt[slot] = 0;
        }
        c[2 * slot + 1] = 0x80;
      }
    }
  }
  return true;
}

// One step: two lanes' windows times their weights, 8 sums of pairs.
HX_AVX2 HX_INLINE __m256i ShuffleStep(const uint8_t* s, const int32_t* base, const uint8_t* c,
                                      const int16_t* w) {
  const __m256i px = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + base[0]))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + base[1])), 1);
  const __m256i ctl = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c));
  const __m256i wt = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
  return _mm256_madd_epi16(_mm256_shuffle_epi8(px, ctl), wt);
}

template <int kPad>
HX_AVX2 void ShuffleRow(const uint8_t* s, const ShufflePlan& plan, uint8_t* out) {
  constexpr int kSteps = kPad;  // steps per group of 16 targets: 16 / (2 * 8 / kPad)
  const int32_t* base = plan.base.data();
  const uint8_t* c = plan.control.data();
  const int16_t* w = plan.weight.data();
  const __m256i round = _mm256_set1_epi32(2048);
  for (int g = 0; g < plan.groups; ++g) {
    __m256i v[kSteps];
    for (int k = 0; k < kSteps; ++k) {
      v[k] = ShuffleStep(s, base + 2 * k, c + 32 * k, w + 16 * k);
    }
    base += 2 * kSteps;
    c += 32 * kSteps;
    w += 16 * kSteps;
    __m256i lo, hi;
    if constexpr (kPad == 2) {
      lo = v[0];
      hi = v[1];
    } else if constexpr (kPad == 4) {
      lo = _mm256_hadd_epi32(v[0], v[1]);
      hi = _mm256_hadd_epi32(v[2], v[3]);
    } else {
      lo = _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
      hi = _mm256_hadd_epi32(_mm256_hadd_epi32(v[4], v[5]), _mm256_hadd_epi32(v[6], v[7]));
    }
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), 12);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), 12);
    const __m256i words = _mm256_packs_epi32(lo, hi);
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * g), bytes);
  }
}

namespace avx2 {

HX_AVX2 void BicubicRowsAvx2(const uint8_t* s, int srcStride, int srcWidth, int rows,
                             const int16_t* table, int taps, uint8_t* out, int n) {
  thread_local ShufflePlan plan;
  if (rows < 1 || !MakeShufflePlan(srcWidth, table, taps, n, plan)) {
    BicubicRowsBody<true>(s, srcStride, srcWidth, rows, table, taps, out, n);
    return;
  }
  const int done = 16 * plan.groups;
  const int16_t* rest = table + int64_t{done} * (taps + 1);
  for (int r = 0; r < rows; ++r) {
    const uint8_t* row = s + int64_t{r} * srcStride;
    uint8_t* o = out + int64_t{r} * n;
    switch (plan.padTaps) {
      case 2:
        ShuffleRow<2>(row, plan, o);
        break;
      case 4:
        ShuffleRow<4>(row, plan, o);
        break;
      default:
        ShuffleRow<8>(row, plan, o);
    }
    if (done < n) BicubicRowBody<false>(row, srcWidth, rest, taps, o + done, n - done);
  }
}

// 32 columns at a time, as the SSE2 body's 16 (the unpacks stay within lanes and the packs
// restore the order), then that body for the rest.
HX_AVX2 void BicubicColumnsAvx2(const uint8_t* const* rows, const int16_t* w, int taps,
                                uint8_t* out, int n) {
  int start = 0;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i round = _mm256_set1_epi32(2048);
  for (; start + 32 <= n; start += 32) {
    __m256i acc0 = round, acc1 = round, acc2 = round, acc3 = round;
    for (int k = 0; k < taps; k += 2) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + start));
      __m256i b = zero;
      uint32_t pair = static_cast<uint16_t>(w[k]);
      if (k + 1 < taps) {
        b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + start));
        pair |= static_cast<uint32_t>(static_cast<uint16_t>(w[k + 1])) << 16;
      }
      const __m256i wp = _mm256_set1_epi32(static_cast<int>(pair));
      const __m256i lo = _mm256_unpacklo_epi8(a, b);
      const __m256i hi = _mm256_unpackhi_epi8(a, b);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), wp));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), wp));
      acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), wp));
      acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), wp));
    }
    const __m256i r0 = _mm256_packs_epi32(_mm256_srai_epi32(acc0, 12), _mm256_srai_epi32(acc1, 12));
    const __m256i r1 = _mm256_packs_epi32(_mm256_srai_epi32(acc2, 12), _mm256_srai_epi32(acc3, 12));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + start), _mm256_packus_epi16(r0, r1));
  }
  BicubicColumnsBody<true>(rows, w, taps, out, n, start);
}

HX_AVX2 void SplitPairsAvx2(const uint8_t* s, uint8_t* a, uint8_t* b, int pairs) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
  int i = 0;
  for (; i + 32 <= pairs; i += 32) {
    const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * i));
    const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * i + 32));
    const __m256i even = _mm256_packus_epi16(_mm256_and_si256(p0, low), _mm256_and_si256(p1, low));
    const __m256i odd = _mm256_packus_epi16(_mm256_srli_epi16(p0, 8), _mm256_srli_epi16(p1, 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + i), _mm256_permute4x64_epi64(even, 0xD8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + i), _mm256_permute4x64_epi64(odd, 0xD8));
  }
  SplitPairsBody(s, a, b, pairs, i);
}

// Packed 4:2:2, 32 pixel pairs of both rows at a time. kYOdd: luma in the odd bytes (UYVY).
template <bool kYOdd, int kY0, int kU, int kY1, int kV>
HX_AVX2 HX_INLINE void Packed422Avx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                                     uint8_t* u, uint8_t* v, int pairs) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
#define luma(p) (kYOdd ? _mm256_srli_epi16(p, 8) : _mm256_and_si256(p, low))
#define chroma(p) (kYOdd ? _mm256_and_si256(p, low) : _mm256_srli_epi16(p, 8))
  int j = 0;
  for (; j + 16 <= pairs; j += 16) {
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + 4 * j));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + 4 * j + 32));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + 4 * j));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + 4 * j + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + 2 * j),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(luma(a0), luma(a1)), 0xD8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + 2 * j),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(luma(b0), luma(b1)), 0xD8));
    // (a + b) >> 1 in 16-bit lanes; the words alternate U, V.
    const __m256i c0 = _mm256_srli_epi16(_mm256_add_epi16(chroma(a0), chroma(b0)), 1);
    const __m256i c1 = _mm256_srli_epi16(_mm256_add_epi16(chroma(a1), chroma(b1)), 1);
    // Per lane: c0's U words, c1's U words | the same for the high lanes; likewise V.
    const __m256i uw = _mm256_packus_epi32(_mm256_and_si256(c0, _mm256_set1_epi32(0xFFFF)),
                                           _mm256_and_si256(c1, _mm256_set1_epi32(0xFFFF)));
    const __m256i vw = _mm256_packus_epi32(_mm256_srli_epi32(c0, 16), _mm256_srli_epi32(c1, 16));
    // uw lanes: [c0 lo U (4), c1 lo U (4) | c0 hi U, c1 hi U]: pairs 0-3, 8-11 | 4-7, 12-15.
    const __m256i uv = _mm256_packus_epi16(uw, vw);
    // Bytes per lane: U 0-3, 8-11, V 0-3, 8-11 | U 4-7, 12-15, V 4-7, 12-15.
    const __m256i order =
        _mm256_permutevar8x32_epi32(uv, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    // Dwords: U0-3, U4-7, U8-11, U12-15, V0-3, V4-7, V8-11, V12-15.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + j), _mm256_castsi256_si128(order));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j), _mm256_extracti128_si256(order, 1));
  }
#undef luma
#undef chroma
  Packed422RowsBody<kY0, kU, kY1, kV>(r0, r1, y0, y1, u, v, pairs, j);
}

HX_AVX2 void Yuy2RowsAvx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                          uint8_t* u, uint8_t* v, int pairs) {
  Packed422Avx2<false, 0, 1, 2, 3>(r0, r1, y0, y1, u, v, pairs);
}

HX_AVX2 void UyvyRowsAvx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                          uint8_t* u, uint8_t* v, int pairs) {
  Packed422Avx2<true, 1, 0, 3, 2>(r0, r1, y0, y1, u, v, pairs);
}

// Lane 0 from p + lo, lane 1 from p + hi.
HX_AVX2 HX_INLINE __m256i LoadLanes(const uint8_t* p, int lo, int hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + hi)), 1);
}

// Luma of 8 pixels as dwords.
HX_AVX2 HX_INLINE __m256i Rgb24Luma(__m256i bg, __m256i r, __m256i cBg, __m256i cR, __m256i round) {
  return _mm256_srli_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(bg, cBg), _mm256_madd_epi16(r, cR)),
                       round),
      8);
}

// One chroma plane of 8 blocks from the column sums of pixels 0-3 | 8-11 and 4-7 | 12-15.
HX_AVX2 HX_INLINE __m256i Rgb24Chroma(__m256i bg0, __m256i r0, __m256i bg1, __m256i r1, __m256i cBg,
                                      __m256i cR, __m256i round) {
  const __m256i p0 = _mm256_add_epi32(_mm256_madd_epi16(bg0, cBg), _mm256_madd_epi16(r0, cR));
  const __m256i p1 = _mm256_add_epi32(_mm256_madd_epi16(bg1, cBg), _mm256_madd_epi16(r1, cR));
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(p0, p1), round), 10);
}

// RGB24 (blue, green, red), 8 blocks (16 pixels of both rows) at a time. Each lane holds 4
// pixels; pshufb spreads them as (blue, green) word pairs and as red dwords, pmaddwd weighs
// them, and for the chroma the pairs of a block are summed with phaddd after the weighing, the
// same integers as the plain sums. Luma stays within 16..236 and chroma within 15..241, so the
// saturating packs change nothing, as Clip changes nothing there.
HX_AVX2 void Rgb24RowsAvx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                           uint8_t* u, uint8_t* v, int blocks) {
  // Lane 0 of both loads and lane 1 of the first take pixels at bytes 0..11; lane 1 of the second
  // load starts 4 bytes early (it ends at the 48th byte) and takes them at bytes 4..15.
  const __m256i bgFirst =
      _mm256_setr_epi8(0, -128, 1, -128, 3, -128, 4, -128, 6, -128, 7, -128, 9, -128, 10, -128, 0,
                       -128, 1, -128, 3, -128, 4, -128, 6, -128, 7, -128, 9, -128, 10, -128);
  const __m256i bgSecond =
      _mm256_setr_epi8(0, -128, 1, -128, 3, -128, 4, -128, 6, -128, 7, -128, 9, -128, 10, -128, 4,
                       -128, 5, -128, 7, -128, 8, -128, 10, -128, 11, -128, 13, -128, 14, -128);
  const __m256i rFirst = _mm256_setr_epi8(2, -128, -128, -128, 5, -128, -128, -128, 8, -128, -128,
                                          -128, 11, -128, -128, -128, 2, -128, -128, -128, 5, -128,
                                          -128, -128, 8, -128, -128, -128, 11, -128, -128, -128);
  const __m256i rSecond = _mm256_setr_epi8(2, -128, -128, -128, 5, -128, -128, -128, 8, -128, -128,
                                           -128, 11, -128, -128, -128, 6, -128, -128, -128, 9, -128,
                                           -128, -128, 12, -128, -128, -128, 15, -128, -128, -128);
  const __m256i yBg = _mm256_set1_epi32((130 << 16) | 25);
  const __m256i yR = _mm256_set1_epi32(66);
  const __m256i yRound = _mm256_set1_epi32(4224);
  const __m256i uBg =
      _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(-75 & 0xFFFF) << 16) | 113));
  const __m256i uR = _mm256_set1_epi32(-38 & 0xFFFF);
  const __m256i vBg = _mm256_set1_epi32(static_cast<int>(
      (static_cast<uint32_t>(-94 & 0xFFFF) << 16) | static_cast<uint32_t>(-18 & 0xFFFF)));
  const __m256i vR = _mm256_set1_epi32(113);
  const __m256i cRound = _mm256_set1_epi32(131584);
  int j = 0;
  for (; j + 8 <= blocks; j += 8) {
    const uint8_t* a = r0 + 6 * j;
    const uint8_t* b = r1 + 6 * j;
    // Lanes: pixels 0-3 | 8-11 and 4-7 | 12-15.
    const __m256i a0 = LoadLanes(a, 0, 24), a1 = LoadLanes(a, 12, 32);
    const __m256i b0 = LoadLanes(b, 0, 24), b1 = LoadLanes(b, 12, 32);
    const __m256i bgA0 = _mm256_shuffle_epi8(a0, bgFirst), rA0 = _mm256_shuffle_epi8(a0, rFirst);
    const __m256i bgA1 = _mm256_shuffle_epi8(a1, bgSecond), rA1 = _mm256_shuffle_epi8(a1, rSecond);
    const __m256i bgB0 = _mm256_shuffle_epi8(b0, bgFirst), rB0 = _mm256_shuffle_epi8(b0, rFirst);
    const __m256i bgB1 = _mm256_shuffle_epi8(b1, bgSecond), rB1 = _mm256_shuffle_epi8(b1, rSecond);
    // Words of pixels 0-15 in order for each row, then bytes: row a 0-7, row b 0-7 | 8-15 each.
    const __m256i ya = _mm256_packs_epi32(Rgb24Luma(bgA0, rA0, yBg, yR, yRound),
                                          Rgb24Luma(bgA1, rA1, yBg, yR, yRound));
    const __m256i yb = _mm256_packs_epi32(Rgb24Luma(bgB0, rB0, yBg, yR, yRound),
                                          Rgb24Luma(bgB1, rB1, yBg, yR, yRound));
    const __m256i ys = _mm256_permute4x64_epi64(_mm256_packus_epi16(ya, yb), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + 2 * j), _mm256_castsi256_si128(ys));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + 2 * j), _mm256_extracti128_si256(ys, 1));
    // Column sums of both rows, then the weighed pairs of each block added: blocks 0-3 | 4-7.
    const __m256i bg0 = _mm256_add_epi16(bgA0, bgB0), r0s = _mm256_add_epi32(rA0, rB0);
    const __m256i bg1 = _mm256_add_epi16(bgA1, bgB1), r1s = _mm256_add_epi32(rA1, rB1);
    const __m256i uv = _mm256_packs_epi32(Rgb24Chroma(bg0, r0s, bg1, r1s, uBg, uR, cRound),
                                          Rgb24Chroma(bg0, r0s, bg1, r1s, vBg, vR, cRound));
    // Words U0-3, V0-3 | U4-7, V4-7, then bytes U0-3, V0-3, U4-7, V4-7.
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(uv), _mm256_extracti128_si256(uv, 1));
    const __m128i ordered = _mm_shuffle_epi32(bytes, 0xD8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + j), ordered);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + j), _mm_srli_si128(ordered, 8));
  }
  RgbRowsBody<3, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks, j);
}

// The AVX2 table: the loops above where there are some, the generic bodies elsewhere.
const PixelLoops kLoops = {BlendRows,       BilinearGather, BicubicColumnsAvx2, BicubicRow,
                           BicubicRowsAvx2, SplitPairsAvx2, MergePairs,         Yuy2RowsAvx2,
                           UyvyRowsAvx2,    Rgb24RowsAvx2,  ArgbRows,           BgraRows,
                           I420ToBgraRows};

}  // namespace avx2

// ---- SSE2 bodies, and SSSE3 ones where the processor has SSSE3 ----
// The SSE2 form runs on any x86-64 processor; the loops that need pshufb check for SSSE3 once
// and otherwise take the generic bodies.

#define HX_SSSE3 [[gnu::target("ssse3")]]

bool HasSsse3() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has;
}

HX_SSSE3 HX_INLINE __m128i ShuffleHalfStep(const uint8_t* s, int32_t base, const uint8_t* c,
                                           const int16_t* w) {
  const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + base));
  const __m128i ctl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
  const __m128i wt = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
  return _mm_madd_epi16(_mm_shuffle_epi8(px, ctl), wt);
}

// ShuffleRow with 128-bit steps: each 256-bit step of the plan as its two lanes, reduced the
// same way, so the sums land in the same order.
template <int kPad>
HX_SSSE3 void ShuffleRowSsse3(const uint8_t* s, const ShufflePlan& plan, uint8_t* out) {
  constexpr int kSteps = kPad;
  const int32_t* base = plan.base.data();
  const uint8_t* c = plan.control.data();
  const int16_t* w = plan.weight.data();
  const __m128i round = _mm_set1_epi32(2048);
  for (int g = 0; g < plan.groups; ++g) {
    __m128i lo[kSteps], hi[kSteps];
    for (int k = 0; k < kSteps; ++k) {
      lo[k] = ShuffleHalfStep(s, base[2 * k], c + 32 * k, w + 16 * k);
      hi[k] = ShuffleHalfStep(s, base[2 * k + 1], c + 32 * k + 16, w + 16 * k + 8);
    }
    base += 2 * kSteps;
    c += 32 * kSteps;
    w += 16 * kSteps;
    // Sums of targets 0-3, 4-7 (from the low lanes) and 8-11, 12-15 (from the high lanes).
    __m128i s0, s1, s2, s3;
    if constexpr (kPad == 2) {
      s0 = lo[0];
      s1 = lo[1];
      s2 = hi[0];
      s3 = hi[1];
    } else if constexpr (kPad == 4) {
      s0 = _mm_hadd_epi32(lo[0], lo[1]);
      s1 = _mm_hadd_epi32(lo[2], lo[3]);
      s2 = _mm_hadd_epi32(hi[0], hi[1]);
      s3 = _mm_hadd_epi32(hi[2], hi[3]);
    } else {
      s0 = _mm_hadd_epi32(_mm_hadd_epi32(lo[0], lo[1]), _mm_hadd_epi32(lo[2], lo[3]));
      s1 = _mm_hadd_epi32(_mm_hadd_epi32(lo[4], lo[5]), _mm_hadd_epi32(lo[6], lo[7]));
      s2 = _mm_hadd_epi32(_mm_hadd_epi32(hi[0], hi[1]), _mm_hadd_epi32(hi[2], hi[3]));
      s3 = _mm_hadd_epi32(_mm_hadd_epi32(hi[4], hi[5]), _mm_hadd_epi32(hi[6], hi[7]));
    }
    auto shift = [&](__m128i v) { return _mm_srai_epi32(_mm_add_epi32(v, round), 12); };
    const __m128i first = _mm_packs_epi32(shift(s0), shift(s1));
    const __m128i second = _mm_packs_epi32(shift(s2), shift(s3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * g), _mm_packus_epi16(first, second));
  }
}

namespace sse2 {

HX_SSSE3 void BicubicRowsSsse3(const uint8_t* s, int srcStride, int srcWidth, int rows,
                               const int16_t* table, int taps, uint8_t* out, int n) {
  thread_local ShufflePlan plan;
  if (rows < 1 || !MakeShufflePlan(srcWidth, table, taps, n, plan)) {
    BicubicRowsBody<true>(s, srcStride, srcWidth, rows, table, taps, out, n);
    return;
  }
  const int done = 16 * plan.groups;
  const int16_t* rest = table + int64_t{done} * (taps + 1);
  for (int r = 0; r < rows; ++r) {
    const uint8_t* row = s + int64_t{r} * srcStride;
    uint8_t* o = out + int64_t{r} * n;
    switch (plan.padTaps) {
      case 2:
        ShuffleRowSsse3<2>(row, plan, o);
        break;
      case 4:
        ShuffleRowSsse3<4>(row, plan, o);
        break;
      default:
        ShuffleRowSsse3<8>(row, plan, o);
    }
    if (done < n) BicubicRowBody<false>(row, srcWidth, rest, taps, o + done, n - done);
  }
}

void BicubicRowsSse2(const uint8_t* s, int srcStride, int srcWidth, int rows, const int16_t* table,
                     int taps, uint8_t* out, int n) {
  if (HasSsse3()) {
    BicubicRowsSsse3(s, srcStride, srcWidth, rows, table, taps, out, n);
  } else {
    BicubicRowsBody<true>(s, srcStride, srcWidth, rows, table, taps, out, n);
  }
}

// Packed 4:2:2, 16 pixel pairs of both rows at a time, as the AVX2 body without its lanes.
template <bool kYOdd, int kY0, int kU, int kY1, int kV>
HX_INLINE void Packed422Sse2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                             uint8_t* u, uint8_t* v, int pairs) {
  const __m128i low = _mm_set1_epi16(0x00FF);
#define luma(p) (kYOdd ? _mm_srli_epi16(p, 8) : _mm_and_si128(p, low))
#define chroma(p) (kYOdd ? _mm_and_si128(p, low) : _mm_srli_epi16(p, 8))
  int j = 0;
  for (; j + 16 <= pairs; j += 16) {
    __m128i uv[2];
    for (int h = 0; h < 2; ++h) {
      const int at = 4 * j + 32 * h;
      const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + at));
      const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + at + 16));
      const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + at));
      const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + at + 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + 2 * j + 16 * h),
                       _mm_packus_epi16(luma(a0), luma(a1)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + 2 * j + 16 * h),
                       _mm_packus_epi16(luma(b0), luma(b1)));
      // (a + b) >> 1 in 16-bit lanes, then the bytes U0 V0 U1 V1 .. of 8 pairs.
      const __m128i c0 = _mm_srli_epi16(_mm_add_epi16(chroma(a0), chroma(b0)), 1);
      const __m128i c1 = _mm_srli_epi16(_mm_add_epi16(chroma(a1), chroma(b1)), 1);
      uv[h] = _mm_packus_epi16(c0, c1);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + j),
                     _mm_packus_epi16(_mm_and_si128(uv[0], low), _mm_and_si128(uv[1], low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j),
                     _mm_packus_epi16(_mm_srli_epi16(uv[0], 8), _mm_srli_epi16(uv[1], 8)));
  }
#undef luma
#undef chroma
  Packed422RowsBody<kY0, kU, kY1, kV>(r0, r1, y0, y1, u, v, pairs, j);
}

void Yuy2RowsSse2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                  uint8_t* v, int pairs) {
  Packed422Sse2<false, 0, 1, 2, 3>(r0, r1, y0, y1, u, v, pairs);
}

void UyvyRowsSse2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                  uint8_t* v, int pairs) {
  Packed422Sse2<true, 1, 0, 3, 2>(r0, r1, y0, y1, u, v, pairs);
}

HX_SSSE3 HX_INLINE __m128i Rgb24ChromaSsse3(__m128i bg0, __m128i r0, __m128i bg1, __m128i r1,
                                            __m128i cBg, __m128i cR, __m128i round) {
  const __m128i p0 = _mm_add_epi32(_mm_madd_epi16(bg0, cBg), _mm_madd_epi16(r0, cR));
  const __m128i p1 = _mm_add_epi32(_mm_madd_epi16(bg1, cBg), _mm_madd_epi16(r1, cR));
  return _mm_srai_epi32(_mm_add_epi32(_mm_hadd_epi32(p0, p1), round), 10);
}

// RGB24 as the AVX2 body, 4 blocks (8 pixels of both rows) at a time: pixels 0-3 from a load at
// byte 0 and pixels 4-7 from a load at byte 8 (their bytes at 4..15, ending at the 24th byte).
HX_SSSE3 void Rgb24RowsSsse3(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1,
                             uint8_t* u, uint8_t* v, int blocks) {
  const __m128i bgFirst =
      _mm_setr_epi8(0, -128, 1, -128, 3, -128, 4, -128, 6, -128, 7, -128, 9, -128, 10, -128);
  const __m128i bgSecond =
      _mm_setr_epi8(4, -128, 5, -128, 7, -128, 8, -128, 10, -128, 11, -128, 13, -128, 14, -128);
  const __m128i rFirst = _mm_setr_epi8(2, -128, -128, -128, 5, -128, -128, -128, 8, -128, -128,
                                       -128, 11, -128, -128, -128);
  const __m128i rSecond = _mm_setr_epi8(6, -128, -128, -128, 9, -128, -128, -128, 12, -128, -128,
                                        -128, 15, -128, -128, -128);
  const __m128i yBg = _mm_set1_epi32((130 << 16) | 25);
  const __m128i yR = _mm_set1_epi32(66);
  const __m128i yRound = _mm_set1_epi32(4224);
  const __m128i uBg =
      _mm_set1_epi32(static_cast<int>((static_cast<uint32_t>(-75 & 0xFFFF) << 16) | 113));
  const __m128i uR = _mm_set1_epi32(-38 & 0xFFFF);
  const __m128i vBg = _mm_set1_epi32(static_cast<int>((static_cast<uint32_t>(-94 & 0xFFFF) << 16) |
                                                      static_cast<uint32_t>(-18 & 0xFFFF)));
  const __m128i vR = _mm_set1_epi32(113);
  const __m128i cRound = _mm_set1_epi32(131584);
  auto lumaOf = [&](__m128i bg, __m128i r) {
    return _mm_srli_epi32(
        _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(bg, yBg), _mm_madd_epi16(r, yR)), yRound), 8);
  };
  int j = 0;
  for (; j + 4 <= blocks; j += 4) {
    const uint8_t* a = r0 + 6 * j;
    const uint8_t* b = r1 + 6 * j;
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8));
    const __m128i bgA0 = _mm_shuffle_epi8(a0, bgFirst), rA0 = _mm_shuffle_epi8(a0, rFirst);
    const __m128i bgA1 = _mm_shuffle_epi8(a1, bgSecond), rA1 = _mm_shuffle_epi8(a1, rSecond);
    const __m128i bgB0 = _mm_shuffle_epi8(b0, bgFirst), rB0 = _mm_shuffle_epi8(b0, rFirst);
    const __m128i bgB1 = _mm_shuffle_epi8(b1, bgSecond), rB1 = _mm_shuffle_epi8(b1, rSecond);
    const __m128i ya = _mm_packs_epi32(lumaOf(bgA0, rA0), lumaOf(bgA1, rA1));
    const __m128i yb = _mm_packs_epi32(lumaOf(bgB0, rB0), lumaOf(bgB1, rB1));
    const __m128i ys = _mm_packus_epi16(ya, yb);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y0 + 2 * j), ys);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y1 + 2 * j), _mm_srli_si128(ys, 8));
    const __m128i bg0 = _mm_add_epi16(bgA0, bgB0), r0s = _mm_add_epi32(rA0, rB0);
    const __m128i bg1 = _mm_add_epi16(bgA1, bgB1), r1s = _mm_add_epi32(rA1, rB1);
    // Words U0-3, V0-3, then bytes.
    const __m128i uvw = _mm_packs_epi32(Rgb24ChromaSsse3(bg0, r0s, bg1, r1s, uBg, uR, cRound),
                                        Rgb24ChromaSsse3(bg0, r0s, bg1, r1s, vBg, vR, cRound));
    const __m128i bytes = _mm_packus_epi16(uvw, uvw);
    const int u4 = _mm_cvtsi128_si32(bytes);
    const int v4 = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
    std::memcpy(u + j, &u4, 4);
    std::memcpy(v + j, &v4, 4);
  }
  RgbRowsBody<3, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks, j);
}

void Rgb24RowsSse2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, int blocks) {
  if (HasSsse3()) {
    Rgb24RowsSsse3(r0, r1, y0, y1, u, v, blocks);
  } else {
    RgbRowsBody<3, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks);
  }
}

const PixelLoops kLoops = {BlendRows,       BilinearGather, BicubicColumns, BicubicRow,
                           BicubicRowsSse2, SplitPairs,     MergePairs,     Yuy2RowsSse2,
                           UyvyRowsSse2,    Rgb24RowsSse2,  ArgbRows,       BgraRows,
                           I420ToBgraRows};

}  // namespace sse2

SimdPath DetectBest() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdPath::kAvx2;
  if (__builtin_cpu_supports("sse2")) return SimdPath::kSse2;
  return SimdPath::kPlain;
}

std::atomic<const PixelLoops*> g_active{nullptr};

}  // namespace

// Detected on first use, so that code running during static initialisation elsewhere (a
// benchmark choosing its form, say) sees the real answer rather than a zero-initialised one.
SimdPath BestSimdPath() {
  static const SimdPath best = DetectBest();
  return best;
}

const PixelLoops& LoopsFor(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx2:
      return avx2::kLoops;
    case SimdPath::kSse2:
      return sse2::kLoops;
    default:
      return plain::kLoops;
  }
}

const PixelLoops& Loops() {
  const PixelLoops* loops = g_active.load(std::memory_order_relaxed);
  return loops != nullptr ? *loops : LoopsFor(BestSimdPath());
}

SimdPath ActiveSimdPath() {
  const PixelLoops* loops = g_active.load(std::memory_order_relaxed);
  if (loops == nullptr || loops == &avx2::kLoops)
    return loops == nullptr ? BestSimdPath() : SimdPath::kAvx2;
  return loops == &sse2::kLoops ? SimdPath::kSse2 : SimdPath::kPlain;
}

bool SetSimdPath(SimdPath path) {
  if (static_cast<int>(path) > static_cast<int>(BestSimdPath()) || static_cast<int>(path) < 0)
    return false;
  g_active.store(&LoopsFor(path), std::memory_order_relaxed);
  return true;
}

const char* SimdPathName(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx2:
      return "avx2";
    case SimdPath::kSse2:
      return "sse2";
    default:
      return "plain";
  }
}

}  // namespace hx::video
