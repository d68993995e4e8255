// Every loop is written once as an always-inline body and compiled three times: without
// vectorisation (the plain form), for the x86-64 baseline (SSE2) and for AVX2. This file is built
// with -O3 so that the compiler vectorises the two latter forms; the bodies keep to simple
// integer loops over restrict-qualified rows so that it can. Where the compiler cannot (gathers,
// sums across a window, partial pixel writes), the body takes a kSimd flag and the two vector
// forms run SSE2 intrinsics that compute the same integers: pmaddwd sums the same products,
// and the saturating packs give exactly Clip.

#include "core/media/video/pixel_loops.h"

#include <emmintrin.h>

#include <atomic>
#include <cstring>

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
                                  uint8_t* HX_R out, int n) {
  int start = 0;
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

HX_INLINE void SplitPairsBody(const uint8_t* HX_R s, uint8_t* HX_R a, uint8_t* HX_R b, int pairs) {
  for (int i = 0; i < pairs; ++i) {
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
                                 uint8_t* HX_R y1, uint8_t* HX_R u, uint8_t* HX_R v, int pairs) {
  for (int j = 0; j < pairs; ++j) {
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
                           uint8_t* HX_R y1, uint8_t* HX_R u, uint8_t* HX_R v, int blocks) {
  for (int j = 0; j < blocks; ++j) {
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
  ATTR void BlendRows(const uint8_t* a, const uint8_t* b, uint8_t* out, int n, int w) {           \
    BlendRowsBody(a, b, out, n, w);                                                               \
  }                                                                                               \
  ATTR void BilinearGather(const uint8_t* s, const int32_t* idx, const uint16_t* w, uint8_t* out, \
                           int n) {                                                               \
    BilinearGatherBody<SIMD>(s, idx, w, out, n);                                                  \
  }                                                                                               \
  ATTR void BicubicColumns(const uint8_t* const* rows, const int16_t* w, int taps, uint8_t* out,  \
                           int n) {                                                               \
    BicubicColumnsBody<SIMD>(rows, w, taps, out, n);                                              \
  }                                                                                               \
  ATTR void BicubicRow(const uint8_t* s, int srcWidth, const int16_t* table, int taps,            \
                       uint8_t* out, int n) {                                                     \
    BicubicRowBody<SIMD>(s, srcWidth, table, taps, out, n);                                       \
  }                                                                                               \
  ATTR void SplitPairs(const uint8_t* s, uint8_t* a, uint8_t* b, int pairs) {                     \
    SplitPairsBody(s, a, b, pairs);                                                               \
  }                                                                                               \
  ATTR void MergePairs(const uint8_t* a, const uint8_t* b, uint8_t* out, int pairs) {             \
    MergePairsBody(a, b, out, pairs);                                                             \
  }                                                                                               \
  ATTR void Yuy2Rows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,  \
                     uint8_t* v, int pairs) {                                                     \
    Packed422RowsBody<0, 1, 2, 3>(r0, r1, y0, y1, u, v, pairs);                                   \
  }                                                                                               \
  ATTR void UyvyRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,  \
                     uint8_t* v, int pairs) {                                                     \
    Packed422RowsBody<1, 0, 3, 2>(r0, r1, y0, y1, u, v, pairs);                                   \
  }                                                                                               \
  ATTR void Rgb24Rows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, \
                      uint8_t* v, int blocks) {                                                   \
    RgbRowsBody<3, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  ATTR void ArgbRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,  \
                     uint8_t* v, int blocks) {                                                    \
    RgbRowsBody<4, 3, 2, 1>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  ATTR void BgraRows(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,  \
                     uint8_t* v, int blocks) {                                                    \
    RgbRowsBody<4, 0, 1, 2>(r0, r1, y0, y1, u, v, blocks);                                        \
  }                                                                                               \
  ATTR void I420ToBgraRows(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,                \
                           const uint8_t* v, uint8_t* d0, uint8_t* d1, int blocks) {              \
    I420ToBgraRowsBody<SIMD>(y0, y1, u, v, d0, d1, blocks);                                       \
  }                                                                                               \
  const PixelLoops kLoops = {BlendRows,  BilinearGather, BicubicColumns, BicubicRow,              \
                             SplitPairs, MergePairs,     Yuy2Rows,       UyvyRows,                \
                             Rgb24Rows,  ArgbRows,       BgraRows,       I420ToBgraRows};         \
  }

HX_DEFINE_LOOPS(plain, [[gnu::optimize("no-tree-vectorize")]], false)
HX_DEFINE_LOOPS(sse2, , true)
HX_DEFINE_LOOPS(avx2, [[gnu::target("avx2")]], true)

SimdPath DetectBest() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdPath::kAvx2;
  if (__builtin_cpu_supports("sse2")) return SimdPath::kSse2;
  return SimdPath::kPlain;
}

const SimdPath kBest = DetectBest();
std::atomic<const PixelLoops*> g_active{nullptr};

}  // namespace

SimdPath BestSimdPath() { return kBest; }

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
  return loops != nullptr ? *loops : LoopsFor(kBest);
}

SimdPath ActiveSimdPath() {
  const PixelLoops* loops = g_active.load(std::memory_order_relaxed);
  if (loops == nullptr || loops == &avx2::kLoops) return loops == nullptr ? kBest : SimdPath::kAvx2;
  return loops == &sse2::kLoops ? SimdPath::kSse2 : SimdPath::kPlain;
}

bool SetSimdPath(SimdPath path) {
  if (static_cast<int>(path) > static_cast<int>(kBest) || static_cast<int>(path) < 0) return false;
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
