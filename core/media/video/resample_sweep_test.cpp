// Every provided conversion and resampling mode over a table of sizes, under the sanitizers: the
// source is allocated to its exact size (a read past it is caught) and the target is framed by
// guard bytes that must stay untouched. Inputs hold Y and U at 255, the corner of the colour
// space where fixed-point sums run highest.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/media/video/simd_test_util.h"
#include "core/media/video/video_processing.h"

namespace hx::video {
namespace {

using namespace hx_processing_defs;

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xC5;

struct Framed {
  explicit Framed(size_t n) : bytes(n + 2 * kGuard, kGuardByte), size(n) {}
  uint8_t* data() { return bytes.data() + kGuard; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != kGuardByte || bytes[kGuard + size + i] != kGuardByte) return false;
    }
    return true;
  }
  std::vector<uint8_t> bytes;
  size_t size;
};

std::unique_ptr<uint8_t[]> ExactI420(int w, int h) {
  const size_t n = size_t(w) * h * 3 / 2;
  std::unique_ptr<uint8_t[]> b(new uint8_t[n]);
  std::memset(b.get(), 255, n);  // Y and U at 255
  std::memset(b.get() + size_t(w) * h * 5 / 4, 0, n - size_t(w) * h * 5 / 4);
  return b;
}

using SweepTest = EachSimdPath;

TEST_P(SweepTest, ResamplingStaysInsideItsBuffers) {
  struct Size {
    int sw, sh, dw, dh;
  } sizes[] = {{4, 4, 4, 4},         {4, 4, 1920, 8},       {1920, 8, 4, 4},
               {7, 5, 13, 11},       {13, 11, 7, 5},        {640, 480, 320, 240},
               {320, 240, 640, 480}, {641, 481, 640, 480},  {640, 4, 480, 16},
               {4, 640, 480, 16},    {640, 4, 4, 480},      {640, 480, 1440, 1080},
               {128, 96, 640, 480},  {1280, 720, 640, 360}, {640, 360, 1280, 720},
               {640, 480, 352, 288}, {333, 251, 97, 61}};
  for (const auto& s : sizes) {
    auto src = ExactI420(s.sw, s.sh);
    for (auto mode : {eBilinear, eBicubic, eCrop, eInscribe}) {
      HX_VideoProcessingBase p;
      Framed dst(size_t(s.dw) * s.dh * 3 / 2);
      p.ResampleI420(src.get(), s.sw, s.sw, s.sh, dst.data(), s.dw, s.dw, s.dh, mode);
      ASSERT_TRUE(dst.GuardsIntact())
          << s.sw << "x" << s.sh << "->" << s.dw << "x" << s.dh << " mode " << mode;
    }
    // Stereo (one view of a stacked picture) and record scaling through three planes.
    HX_VideoProcessingBase p;
    Framed y(size_t(s.dw) * s.dh), u(size_t(s.dw / 2) * (s.dh / 2)),
        v(size_t(s.dw / 2) * (s.dh / 2));
    const uint8_t* in[3] = {src.get(), src.get() + s.sw * s.sh, src.get() + s.sw * s.sh * 5 / 4};
    uint8_t* out[3] = {y.data(), u.data(), v.data()};
    p.ResampleStereoI420(in, s.sw, s.sw, s.sh, out, s.dw, s.dw, s.dh);
    p.ResampleRecordI420(in, s.sw, s.sw, s.sh, out, s.dw, s.dw, s.dh);
    ASSERT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact())
        << s.sw << "x" << s.sh << "->" << s.dw << "x" << s.dh;
  }
}

TEST_P(SweepTest, ConversionsStayInsideTheirBuffers) {
  struct Fmt {
    eProcessingPixelFormat f;
    int num, den;  // bytes per pixel as a fraction
  } fmts[] = {{eYUY2, 2, 1},  {eUYVY, 2, 1}, {eYV12, 3, 2}, {eNV12, 3, 2},      {eNV21, 3, 2},
              {eRGB24, 3, 1}, {eARGB, 4, 1}, {eBGRA, 4, 1}, {eStereoYUY2, 2, 1}};
  for (auto [w, h] : {std::pair{4, 4}, {6, 4}, {7, 5}, {640, 480}, {322, 242}, {1920, 8}}) {
    for (const auto& f : fmts) {
      const size_t n = size_t(w) * h * f.num / f.den;
      std::unique_ptr<uint8_t[]> src(new uint8_t[n]);
      std::memset(src.get(), 255, n);
      HX_VideoProcessingBase p;
      for (int stride : {w, w + 6}) {
        Framed dst(size_t(stride) * h * 3 / 2);
        p.ConvertToI420(src.get(), w, dst.data(), w, stride, h, f.f, n);
        p.ConvertToI420(src.get(), w, dst.data(), w, stride, h, f.f, n / 2);  // short: refused
        ASSERT_TRUE(dst.GuardsIntact()) << w << "x" << h << " format " << f.f;
      }
    }
    auto i420 = ExactI420(w, h);
    HX_VideoProcessingBase p;
    for (auto f : {eBGRA, eNV12, eNV21}) {
      Framed dst(size_t(w) * h * (f == eBGRA ? 4 : 3) / (f == eBGRA ? 1 : 2));
      p.ConvertFromI420(i420.get(), w, w, dst.data(), w, h, f);
      ASSERT_TRUE(dst.GuardsIntact()) << w << "x" << h << " from I420 to " << f;
    }
    Framed copy(size_t(w) * h * 3 / 2);
    p.MirrorHorizontal(i420.get(), copy.data(), w, w, h, eI420);
    p.MirrorHorizontal(copy.data(), w, w, h, eI420);
    ASSERT_TRUE(copy.GuardsIntact());
  }
}

HX_INSTANTIATE_EACH_SIMD_PATH(SweepTest);

}  // namespace
}  // namespace hx::video
