#pragma once
// The inner loops of the picture toolbox and the scaling kernels, one table of them per form
// (plain, SSE2, AVX2; see simd_path.h). Each loop works on whole rows and computes the exact
// fixed-point arithmetic of its caller; none of them checks its arguments.
//
// Saturation (Clip) gives, for every value the toolbox's 1024-entry clip table covers, the table's
// entry, and limits larger values to 0..255 as well.

#include <cstdint>

#include "core/media/video/simd_path.h"

namespace hx::video {

inline uint8_t Clip(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

struct PixelLoops {
  // out[i] = (w * a[i] + (256 - w) * b[i] + 128) >> 8, 0 <= w <= 256.
  void (*blendRows)(const uint8_t* a, const uint8_t* b, uint8_t* out, int n, int w);
  // out[i] = (w[i] * s[idx[i]] + (256 - w[i]) * s[idx[i] + 1] + 128) >> 8.
  void (*bilinearGather)(const uint8_t* s, const int32_t* idx, const uint16_t* w, uint8_t* out,
                         int n);
  // out[x] = Clip((sum over k of w[k] * rows[k][x] + 2048) >> 12).
  void (*bicubicColumns)(const uint8_t* const* rows, const int16_t* w, int taps, uint8_t* out,
                         int n);
  // One row of the bicubic row pass: table rows of (taps + 1) values, the last being the first
  // source index; taps outside 0 .. srcWidth - 1 are skipped.
  void (*bicubicRow)(const uint8_t* s, int srcWidth, const int16_t* table, int taps, uint8_t* out,
                     int n);
  // bicubicRow over `rows` source rows `srcStride` bytes apart into output rows `n` bytes apart,
  // all with the same table (which lets a form prepare the table once for every row).
  void (*bicubicRows)(const uint8_t* s, int srcStride, int srcWidth, int rows, const int16_t* table,
                      int taps, uint8_t* out, int n);
  // a[i] = s[2i], b[i] = s[2i + 1].
  void (*splitPairs)(const uint8_t* s, uint8_t* a, uint8_t* b, int pairs);
  // out[2i] = a[i], out[2i + 1] = b[i].
  void (*mergePairs)(const uint8_t* a, const uint8_t* b, uint8_t* out, int pairs);
  // Two rows of packed 4:2:2 (YUY2: Y0 U Y1 V; UYVY: U Y0 V Y1) into two luma rows and one row of
  // each chroma plane; chroma is (row r + row r + 1) >> 1.
  void (*yuy2Rows)(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, int pairs);
  void (*uyvyRows)(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, int pairs);
  // Two source rows of 2 x blocks RGB pixels into two luma rows and one chroma row each.
  void (*rgb24Rows)(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                    uint8_t* v, int blocks);
  void (*argbRows)(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, int blocks);
  void (*bgraRows)(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, int blocks);
  // Two luma rows and one chroma row of each plane into two BGRA rows (byte 3 left as it is).
  void (*i420ToBgraRows)(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                         uint8_t* d0, uint8_t* d1, int blocks);
};

// The loops of the active form.
const PixelLoops& Loops();
// The loops of a given form (the processor must support it).
const PixelLoops& LoopsFor(SimdPath path);

}  // namespace hx::video
