// The picture toolbox beside libyuv and libswscale on 1280x720 (and 640x480) frames. Every run
// converts or scales the same frame with the toolbox and with its baseline in the same iterations,
// each side timed on the thread's CPU clock (the machine may be shared), and reports per frame:
//   ours_us    the toolbox,
//   base_us    the baseline (libyuv for conversions, libswscale with the same filter for scaling),
//   ratio      base_us / ours_us, the toolbox's speed as a share of the baseline's,
//   target     the share the toolbox must reach,
//   libyuv_us  for bilinear scaling, libyuv's I420Scale (bilinear) beside, without a ratio.
// The label names the form of the toolbox's loops in use; HX_SIMD_PATH=plain|sse2|avx2 picks
// another one.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <time.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/media/video/simd_path.h"
#include "core/media/video/video_processing.h"

namespace {

using namespace hx_processing_defs;
using Bytes = std::vector<uint8_t>;

// Picks the loop form named by HX_SIMD_PATH before any benchmark runs.
const bool kPathChosen = [] {
  const char* name = std::getenv("HX_SIMD_PATH");
  if (name == nullptr) return true;
  for (int p = 0; p <= 2; ++p) {
    if (std::strcmp(name, hx::video::SimdPathName(hx::video::SimdPath(p))) == 0) {
      return hx::video::SetSimdPath(hx::video::SimdPath(p));
    }
  }
  return false;
}();

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A picture-like byte pattern: smooth gradients with some noise, so that no loop sees constants.
Bytes Frame(size_t size, int rowBytes, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) {
    const size_t x = i % static_cast<size_t>(rowBytes), y = i / static_cast<size_t>(rowBytes);
    b[i] = static_cast<uint8_t>((x * 3 + y * 5 + (x * y >> 7) + (rng() & 31)) & 0xFF);
  }
  return b;
}

// Times `ours` and `base` one after the other, kRounds calls each per timing, in every iteration.
template <typename Ours, typename Base>
void Compare(benchmark::State& state, double target, Ours ours, Base base) {
  if (!kPathChosen) {
    state.SkipWithError("HX_SIMD_PATH names no form this processor runs");
    return;
  }
  constexpr int kRounds = 4;
  double oursSeconds = 0, baseSeconds = 0;
  bool ok = true;
  for (auto _ : state) {
    double start = CpuSeconds();
    for (int i = 0; i < kRounds; ++i) ok = ours() && ok;
    oursSeconds += CpuSeconds() - start;
    start = CpuSeconds();
    for (int i = 0; i < kRounds; ++i) base();
    baseSeconds += CpuSeconds() - start;
  }
  if (!ok) state.SkipWithError("the toolbox refused the frame");
  const double n = static_cast<double>(state.iterations()) * kRounds;
  state.counters["ours_us"] = oursSeconds / n * 1e6;
  state.counters["base_us"] = baseSeconds / n * 1e6;
  state.counters["ratio"] = oursSeconds > 0 ? baseSeconds / oursSeconds : 0;
  state.counters["target"] = target;
  state.SetLabel(hx::video::SimdPathName(hx::video::ActiveSimdPath()));
}

constexpr int kW = 1280, kH = 720;
constexpr int kLuma = kW * kH;

struct I420Out {
  Bytes buf = Bytes(kLuma * 3 / 2);
  uint8_t* y() { return buf.data(); }
  uint8_t* u() { return buf.data() + kLuma; }
  uint8_t* v() { return buf.data() + kLuma * 5 / 4; }
};

// ---- raw formats to I420 ----

void BM_NV12ToI420(benchmark::State& state) {
  const Bytes src = Frame(kLuma * 3 / 2, kW, 1);
  I420Out ours, base;
  HX_VideoProcessingBase p;
  Compare(
      state, 0.9,
      [&] { return p.ConvertToI420(src.data(), kW, ours.y(), kW, kW, kH, eNV12, src.size()); },
      [&] {
        libyuv::NV12ToI420(src.data(), kW, src.data() + kLuma, kW, base.y(), kW, base.u(), kW / 2,
                           base.v(), kW / 2, kW, kH);
      });
}
BENCHMARK(BM_NV12ToI420);

void BM_NV21ToI420(benchmark::State& state) {
  const Bytes src = Frame(kLuma * 3 / 2, kW, 2);
  I420Out ours, base;
  HX_VideoProcessingBase p;
  Compare(
      state, 0.9,
      [&] { return p.ConvertToI420(src.data(), kW, ours.y(), kW, kW, kH, eNV21, src.size()); },
      [&] {
        libyuv::NV21ToI420(src.data(), kW, src.data() + kLuma, kW, base.y(), kW, base.u(), kW / 2,
                           base.v(), kW / 2, kW, kH);
      });
}
BENCHMARK(BM_NV21ToI420);

void BM_YUY2ToI420(benchmark::State& state) {
  const Bytes src = Frame(kLuma * 2, 2 * kW, 3);
  I420Out ours, base;
  HX_VideoProcessingBase p;
  Compare(
      state, 0.9,
      [&] { return p.ConvertToI420(src.data(), kW, ours.y(), kW, kW, kH, eYUY2, src.size()); },
      [&] {
        libyuv::YUY2ToI420(src.data(), 2 * kW, base.y(), kW, base.u(), kW / 2, base.v(), kW / 2, kW,
                           kH);
      });
}
BENCHMARK(BM_YUY2ToI420);

void BM_UYVYToI420(benchmark::State& state) {
  const Bytes src = Frame(kLuma * 2, 2 * kW, 4);
  I420Out ours, base;
  HX_VideoProcessingBase p;
  Compare(
      state, 0.9,
      [&] { return p.ConvertToI420(src.data(), kW, ours.y(), kW, kW, kH, eUYVY, src.size()); },
      [&] {
        libyuv::UYVYToI420(src.data(), 2 * kW, base.y(), kW, base.u(), kW / 2, base.v(), kW / 2, kW,
                           kH);
      });
}
BENCHMARK(BM_UYVYToI420);

// The toolbox reads RGB sources bottom-up; libyuv does the same with a negative height. Byte
// orders in memory: our BGRA is libyuv's ARGB, our ARGB is libyuv's BGRA, RGB24 is RGB24.
using LibyuvRgbToI420 = int (*)(const uint8_t*, int, uint8_t*, int, uint8_t*, int, uint8_t*, int,
                                int, int);

void RgbToI420(benchmark::State& state, eProcessingPixelFormat format, int bpp,
               LibyuvRgbToI420 baseline) {
  const Bytes src = Frame(static_cast<size_t>(kLuma) * bpp, bpp * kW, 5);
  I420Out ours, base;
  HX_VideoProcessingBase p;
  Compare(
      state, 1.0 / 3,
      [&] { return p.ConvertToI420(src.data(), kW, ours.y(), kW, kW, kH, format, src.size()); },
      [&] {
        baseline(src.data(), bpp * kW, base.y(), kW, base.u(), kW / 2, base.v(), kW / 2, kW, -kH);
      });
}

void BM_BGRAToI420(benchmark::State& state) { RgbToI420(state, eBGRA, 4, libyuv::ARGBToI420); }
BENCHMARK(BM_BGRAToI420);

void BM_ARGBToI420(benchmark::State& state) { RgbToI420(state, eARGB, 4, libyuv::BGRAToI420); }
BENCHMARK(BM_ARGBToI420);

void BM_RGB24ToI420(benchmark::State& state) { RgbToI420(state, eRGB24, 3, libyuv::RGB24ToI420); }
BENCHMARK(BM_RGB24ToI420);

void BM_I420ToBGRA(benchmark::State& state) {
  const Bytes src = Frame(kLuma * 3 / 2, kW, 6);
  Bytes ours(kLuma * 4), base(kLuma * 4);
  HX_VideoProcessingBase p;
  Compare(
      state, 1.0 / 3,
      [&] { return p.ConvertFromI420(src.data(), kW, kW, ours.data(), kW, kH, eBGRA); },
      [&] {
        libyuv::I420ToARGB(src.data(), kW, src.data() + kLuma, kW / 2, src.data() + kLuma * 5 / 4,
                           kW / 2, base.data(), 4 * kW, kW, kH);
      });
}
BENCHMARK(BM_I420ToBGRA);

// ---- I420 scaling ----

// Arguments: source width, height, target width, height.
void Scale(benchmark::State& state, eResamplingMode mode, int swsFilter, double target) {
  const int sw = static_cast<int>(state.range(0)), sh = static_cast<int>(state.range(1));
  const int dw = static_cast<int>(state.range(2)), dh = static_cast<int>(state.range(3));
  const Bytes src = Frame(static_cast<size_t>(sw) * sh * 3 / 2, sw, 7);
  Bytes ours(static_cast<size_t>(dw) * dh * 3 / 2), base(ours.size()), yuv(ours.size());
  const uint8_t* srcPlanes[3] = {src.data(), src.data() + sw * sh, src.data() + sw * sh * 5 / 4};
  const int srcStrides[3] = {sw, sw / 2, sw / 2};
  uint8_t* basePlanes[3] = {base.data(), base.data() + dw * dh, base.data() + dw * dh * 5 / 4};
  uint8_t* yuvPlanes[3] = {yuv.data(), yuv.data() + dw * dh, yuv.data() + dw * dh * 5 / 4};
  const int dstStrides[3] = {dw, dw / 2, dw / 2};
  // Both sides keep their plan across frames: the toolbox its cached geometry, swscale its context.
  SwsContext* sws = sws_getContext(sw, sh, AV_PIX_FMT_YUV420P, dw, dh, AV_PIX_FMT_YUV420P,
                                   swsFilter, nullptr, nullptr, nullptr);
  if (sws == nullptr) {
    state.SkipWithError("no swscale context");
    return;
  }
  HX_VideoProcessingBase p;
  Compare(
      state, target,
      [&] { return p.ResampleI420(src.data(), sw, sw, sh, ours.data(), dw, dw, dh, mode); },
      [&] { sws_scale(sws, srcPlanes, srcStrides, 0, sh, basePlanes, dstStrides); });
  if (mode == eBilinear) {
    constexpr int kRounds = 16;
    const double start = CpuSeconds();
    for (int i = 0; i < kRounds; ++i) {
      libyuv::I420Scale(srcPlanes[0], sw, srcPlanes[1], sw / 2, srcPlanes[2], sw / 2, sw, sh,
                        yuvPlanes[0], dw, yuvPlanes[1], dw / 2, yuvPlanes[2], dw / 2, dw, dh,
                        libyuv::kFilterBilinear);
    }
    state.counters["libyuv_us"] = (CpuSeconds() - start) / kRounds * 1e6;
  }
  sws_freeContext(sws);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"sw", "sh", "dw", "dh"});
  b->Args({1280, 720, 640, 360});
  b->Args({640, 360, 1280, 720});
  b->Args({640, 480, 320, 240});
  b->Args({640, 480, 352, 288});
}

void BM_ScaleBilinear(benchmark::State& state) { Scale(state, eBilinear, SWS_BILINEAR, 1.0); }
BENCHMARK(BM_ScaleBilinear)->Apply(Sizes);

void BM_ScaleBicubic(benchmark::State& state) { Scale(state, eBicubic, SWS_BICUBIC, 0.8); }
BENCHMARK(BM_ScaleBicubic)->Apply(Sizes);

}  // namespace
