// The picture toolbox's conversions and resampling, each table run through every loop form.
#include "core/media/video/video_processing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/media/video/simd_test_util.h"

namespace hx::video {
namespace {

using namespace hx_processing_defs;
using Bytes = std::vector<uint8_t>;

using ToolboxTest = EachSimdPath;

// An I420 buffer of w x h with constant planes.
Bytes I420(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
  Bytes b(w * h * 3 / 2);
  std::memset(b.data(), y, w * h);
  std::memset(b.data() + w * h, u, w * h / 4);
  std::memset(b.data() + w * h * 5 / 4, v, w * h / 4);
  return b;
}

TEST_P(ToolboxTest, BgraRedGivesLuma82AndGreyGivesNeutralChroma) {
  HX_VideoProcessingBase p;
  Bytes red(4 * 4 * 4);
  for (int i = 0; i < 16; ++i) {
    red[4 * i] = 0, red[4 * i + 1] = 0, red[4 * i + 2] = 255, red[4 * i + 3] = 9;
  }
  Bytes out(24);
  ASSERT_TRUE(p.ConvertToI420(red.data(), 4, out.data(), 4, 4, 4, eBGRA, red.size()));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], 82);
  Bytes grey(4 * 4 * 4, 128);
  ASSERT_TRUE(p.ConvertToI420(grey.data(), 4, out.data(), 4, 4, 4, eBGRA, grey.size()));
  EXPECT_EQ(out[16], 128);  // U
  EXPECT_EQ(out[20], 129);  // V
}

TEST_P(ToolboxTest, I420ToBgraLumaEnds) {
  HX_VideoProcessingBase p;
  struct Case {
    uint8_t y, u, v, b, g, r;
  } cases[] = {{16, 128, 128, 0, 0, 0},
               {235, 128, 128, 253, 253, 253},
               // B = (296 * 255 + 512 * 127 - 4608) >> 8 = 530: saturated, not read past the table.
               {255, 255, 255, 255, 124, 255},
               {239, 246, 128, 255, 212, 255}};
  for (const auto& c : cases) {
    const Bytes src = I420(4, 4, c.y, c.u, c.v);
    Bytes out(4 * 4 * 4, 0xEE);
    ASSERT_TRUE(p.ConvertFromI420(src.data(), 4, 4, out.data(), 4, 4, eBGRA));
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(out[4 * i], c.b) << int(c.y);
      EXPECT_EQ(out[4 * i + 1], c.g) << int(c.y);
      EXPECT_EQ(out[4 * i + 2], c.r) << int(c.y);
      EXPECT_EQ(out[4 * i + 3], 0xEE);  // fourth byte not written
    }
  }
}

TEST_P(ToolboxTest, RgbSourcesComeOutFlippedAndBgraOutputDoesNot) {
  HX_VideoProcessingBase p;
  // Source row r is grey level 20 * r (bottom-up): target row h - 1 - r has its luma.
  struct Fmt {
    eProcessingPixelFormat f;
    int bpp;
  } fmts[] = {{eRGB24, 3}, {eARGB, 4}, {eBGRA, 4}, {eBGRA_2, 4}};
  for (const auto& f : fmts) {
    Bytes src(4 * 6 * f.bpp);
    for (int r = 0; r < 6; ++r) std::memset(src.data() + r * 4 * f.bpp, 20 * (r + 1), 4 * f.bpp);
    Bytes out(4 * 6 * 3 / 2);
    ASSERT_TRUE(p.ConvertToI420(src.data(), 4, out.data(), 4, 4, 6, f.f, src.size()));
    for (int r = 0; r < 6; ++r) {
      const int g = 20 * (r + 1);
      EXPECT_EQ(out[(5 - r) * 4], (221 * g + 4224) >> 8) << f.f << " row " << r;
    }
  }
  // I420 to BGRA keeps rows in order.
  Bytes i420 = I420(4, 4, 16, 128, 128);
  std::memset(i420.data(), 235, 8);  // top two rows light
  Bytes out(64);
  ASSERT_TRUE(p.ConvertFromI420(i420.data(), 4, 4, out.data(), 4, 4, eBGRA));
  EXPECT_EQ(out[0], 253);
  EXPECT_EQ(out[3 * 16], 0);
}

TEST_P(ToolboxTest, Nv12AndNv21ByteOrderAt640x480) {
  HX_VideoProcessingBase p;
  const int w = 640, h = 480;
  Bytes nv(w * h * 3 / 2);
  for (int i = 0; i < w * h; ++i) nv[i] = i % 251;
  for (int i = 0; i < w * h / 2; ++i) nv[w * h + i] = (i & 1) ? 200 - i % 7 : 50 + i % 5;
  for (auto [fmt, uEven] : {std::pair{eNV12, true}, {eNV21, false}}) {
    Bytes out(w * h * 3 / 2, 0);
    ASSERT_TRUE(p.ConvertToI420(nv.data(), w, out.data(), w, w, h, fmt, nv.size()));
    ASSERT_EQ(0, std::memcmp(out.data(), nv.data(), w * h));
    const uint8_t* u = out.data() + w * h;
    const uint8_t* v = u + w * h / 4;
    for (int i = 0; i < w * h / 4; ++i) {
      ASSERT_EQ(u[i], nv[w * h + 2 * i + (uEven ? 0 : 1)]) << i;
      ASSERT_EQ(v[i], nv[w * h + 2 * i + (uEven ? 1 : 0)]) << i;
    }
    // And back: the interleaved plane is rebuilt byte for byte.
    Bytes back(w * h * 3 / 2, 0);
    ASSERT_TRUE(p.ConvertFromI420(out.data(), w, w, back.data(), w, h, fmt));
    EXPECT_EQ(back, nv);
  }
}

TEST_P(ToolboxTest, SmallPicturesWithWrittenOutBytes) {
  HX_VideoProcessingBase p;
  // YUY2 4x2: Y0 U Y1 V.
  const Bytes yuy2 = {10, 100, 11, 200, 12, 101, 13, 201,  //
                      20, 110, 21, 210, 22, 111, 23, 211};
  Bytes out(12, 0);
  // ConvertToI420 refuses heights below 4: the converter itself takes the 4x2 picture.
  uint8_t* planes[3] = {out.data(), out.data() + 8, out.data() + 10};
  int widths[3] = {4, 2, 2}, strides[3] = {4, 2, 2};
  ASSERT_TRUE(p.Convert_YUY2toI420(yuy2.data(), 4, planes, widths, strides, 2));
  EXPECT_EQ(out, (Bytes{10, 11, 12, 13, 20, 21, 22, 23, 105, 106, 205, 206}));
  const Bytes uyvy = {100, 10, 200, 11, 101, 12, 201, 13,  //
                      110, 20, 210, 21, 111, 22, 211, 23};
  Bytes out2(12, 0);
  uint8_t* planes2[3] = {out2.data(), out2.data() + 8, out2.data() + 10};
  ASSERT_TRUE(p.Convert_UYVYtoI420(uyvy.data(), 4, planes2, widths, strides, 2));
  EXPECT_EQ(out2, out);
  // YV12 4x4: Y, then V, then U.
  Bytes yv12(24);
  for (int i = 0; i < 24; ++i) yv12[i] = i;
  Bytes i420(24);
  ASSERT_TRUE(p.ConvertToI420(yv12.data(), 4, i420.data(), 4, 4, 4, eYV12, yv12.size()));
  EXPECT_EQ(i420, (Bytes{0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                         12, 13, 14, 15, 20, 21, 22, 23, 16, 17, 18, 19}));
  // RGB24 4x4 of one colour (B 10, G 20, R 30): Y = (250 + 2600 + 1980 + 4224) >> 8 = 35,
  // U = (113*40 - 75*80 - 38*120 + 131584) >> 10 = 122, V = (113*120 - 94*80 - 18*40 + 131584)
  // >> 10.
  Bytes rgb(48);
  for (int i = 0; i < 16; ++i) rgb[3 * i] = 10, rgb[3 * i + 1] = 20, rgb[3 * i + 2] = 30;
  ASSERT_TRUE(p.ConvertToI420(rgb.data(), 4, i420.data(), 4, 4, 4, eRGB24, rgb.size()));
  const int v = (113 * 120 - 94 * 80 - 18 * 40 + 131584) >> 10;
  EXPECT_EQ(i420, (Bytes{35,  35,  35,  35,  35,         35,         35,         35,
                         35,  35,  35,  35,  35,         35,         35,         35,
                         122, 122, 122, 122, uint8_t(v), uint8_t(v), uint8_t(v), uint8_t(v)}));
  // ARGB puts alpha first: the same colour as A R G B.
  Bytes argb(64);
  for (int i = 0; i < 16; ++i)
    argb[4 * i] = 0, argb[4 * i + 1] = 30, argb[4 * i + 2] = 20, argb[4 * i + 3] = 10;
  Bytes i420b(24);
  ASSERT_TRUE(p.ConvertToI420(argb.data(), 4, i420b.data(), 4, 4, 4, eARGB, argb.size()));
  EXPECT_EQ(i420b, i420);
}

TEST_P(ToolboxTest, OddPackedPicturesAndShortSourcesAreRefused) {
  HX_VideoProcessingBase p;
  Bytes src(2 * 8 * 8, 1), out(8 * 8 * 3 / 2, 0xAB);
  const Bytes before = out;
  for (auto f : {eYUY2, eUYVY, eYUY2_2, eUYVY_2}) {
    EXPECT_FALSE(p.ConvertToI420(src.data(), 7, out.data(), 8, 8, 8, f, src.size())) << f;
    EXPECT_FALSE(p.ConvertToI420(src.data(), 8, out.data(), 8, 8, 7, f, src.size())) << f;
  }
  // A frame shorter than its format needs for the size: refused, nothing read or written.
  struct Need {
    eProcessingPixelFormat f;
    size_t bytes;
  } needs[] = {{eYUY2, 128}, {eUYVY, 128},  {eNV12, 96},  {eNV21, 96},
               {eYV12, 96},  {eRGB24, 192}, {eARGB, 256}, {eBGRA, 256}};
  for (const auto& n : needs) {
    Bytes exact(n.bytes, 60);
    EXPECT_FALSE(p.ConvertToI420(exact.data(), 8, out.data(), 8, 8, 8, n.f, n.bytes - 1)) << n.f;
    EXPECT_EQ(out, before);
    EXPECT_TRUE(p.ConvertToI420(exact.data(), 8, out.data(), 8, 8, 8, n.f, n.bytes)) << n.f;
    out = before;
  }
  // A source narrower than the RGB target would be read past its rows.
  Bytes rgb(4 * 8 * 3);
  EXPECT_FALSE(p.ConvertToI420(rgb.data(), 4, out.data(), 8, 8, 8, eRGB24, 8 * 8 * 3));
}

TEST_P(ToolboxTest, UnprovidedOperationsAnswerFalseAndTouchNothing) {
  HX_VideoProcessingBase p;
  const Bytes src = I420(64, 48, 90, 100, 110);
  Bytes dst(32 * 24 * 3 / 2 + 32, 0x5A);
  const Bytes before = dst;
  for (int mode : {1, 4, 5, 6, 9, 0, -1}) {
    EXPECT_FALSE(p.ResampleI420(src.data(), 64, 64, 48, dst.data(), 32, 32, 24,
                                static_cast<eResamplingMode>(mode)))
        << mode;
    EXPECT_EQ(dst, before) << mode;
  }
  for (auto f : {eYVYU, eMJPG, eNV16, eI420, eHardware8}) {
    EXPECT_FALSE(p.ConvertToI420(src.data(), 32, dst.data(), 32, 32, 24, f, src.size())) << f;
  }
  for (auto f : {eYUY2, eUYVY, eRGB24, eARGB, eYUV444, eYVYU, eMJPG}) {
    EXPECT_FALSE(p.ConvertFromI420(src.data(), 32, 32, dst.data(), 32, 24, f)) << f;
  }
  Bytes buf = I420(8, 8, 1, 2, 3);
  EXPECT_FALSE(p.RotateI420(src.data(), 64, 48, dst.data(), 48, 64, eRotateQuarter));
  EXPECT_FALSE(p.ConvertRotateToI420(src.data(), src.size(), 64, 48, dst.data(), 48, 64, eI420,
                                     eRotateHalf));
  EXPECT_FALSE(p.DitherI420(buf.data(), 8, 8, 8));
  EXPECT_FALSE(p.SaturateI420(buf.data(), 8, 8, 8, 1));
  EXPECT_FALSE(p.ReplaceBackground(buf.data(), buf.data(), 8, 8, 8));
  EXPECT_FALSE(p.ResampleRGBA(src.data(), 8, 8, 8, dst.data(), 4, 4, 4, eCrop));
  EXPECT_FALSE(p.ClipI420(src.data(), 64, 64, 48, dst.data(), 32, 32, 24, eExpandNone));
  EXPECT_FALSE(p.ExpandRGB24(src.data(), 16, 16, dst.data(), 8, 8, eExpandNone));
  EXPECT_FALSE(p.MirrorHorizontal(buf.data(), 8, 8, 8, eBGRA));
  EXPECT_FALSE(p.MirrorHorizontal(src.data(), dst.data(), 8, 8, 8, eBGRA));
  EXPECT_EQ(dst, before);
  EXPECT_EQ(buf, I420(8, 8, 1, 2, 3));
}

TEST_P(ToolboxTest, InscribeAndCropGeometry) {
  HX_VideoProcessingBase p;
  struct Case {
    int sw, sh, dw, dh, mode, x, y, extentW, extentH;
  } cases[] = {
      {640, 480, 320, 240, eInscribe, 0, 0, 320, 240},
      {640, 360, 640, 480, eInscribe, 0, 60, 640, 360},
      {320, 240, 640, 480, eInscribe, 160, 120, 320, 240},
      {640, 480, 640, 360, eCrop, 0, 60, 640, 360},
      {641, 481, 640, 480, eCrop, 0, 0, 641, 480},  // clamped to the source, not 482 rows
  };
  for (const auto& c : cases) {
    const Bytes src = I420(c.sw, c.sh, 200, 60, 70);
    Bytes dst(c.dw * c.dh * 3 / 2, 0x11);
    ASSERT_TRUE(p.ResampleI420(src.data(), c.sw, c.sw, c.sh, dst.data(), c.dw, c.dw, c.dh,
                               static_cast<eResamplingMode>(c.mode)))
        << c.sw << "x" << c.sh << "->" << c.dw << "x" << c.dh;
    if (c.mode == eInscribe) {
      EXPECT_EQ(p.inscribePlacement().x, c.x);
      EXPECT_EQ(p.inscribePlacement().y, c.y);
      // Picture inside the placement, black around it.
      for (int r = 0; r < c.dh; ++r) {
        const bool inRows = r >= c.y && r < c.y + c.extentH;
        EXPECT_EQ(dst[r * c.dw + c.dw / 2], inRows ? 200 : 0) << r;
        EXPECT_EQ(dst[r * c.dw + c.x], inRows ? 200 : 0) << r;
        if (c.x > 0) EXPECT_EQ(dst[r * c.dw + c.x - 1], 0);
      }
      EXPECT_EQ(dst[c.dw * c.dh], c.y > 0 || c.x > 0 ? 128 : 60);
    } else {
      EXPECT_EQ(p.cropRect().x, c.x);
      EXPECT_EQ(p.cropRect().y, c.y);
      EXPECT_EQ(p.cropRect().width, c.extentW);
      EXPECT_EQ(p.cropRect().height, c.extentH);
      for (int i = 0; i < c.dw * c.dh; ++i) ASSERT_EQ(dst[i], 200);
    }
  }
  // The crop keeps the middle rows: a source whose rows are numbered.
  Bytes src(640 * 480 * 3 / 2, 128);
  for (int r = 0; r < 480; ++r) std::memset(src.data() + r * 640, r / 2, 640);
  Bytes dst(640 * 360 * 3 / 2);
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 640, 640, 360, eCrop));
  EXPECT_EQ(dst[0], 30);
  EXPECT_EQ(dst[359 * 640], 419 / 2);
}

TEST_P(ToolboxTest, ExtentsBelowFourAreRefused) {
  HX_VideoProcessingBase p;
  const Bytes tall = I420(4, 640, 9, 9, 9);
  Bytes dst(480 * 16 * 3 / 2 + 64, 0x33);
  EXPECT_FALSE(p.ResampleI420(tall.data(), 4, 4, 640, dst.data(), 480, 480, 16, eInscribe));
  const Bytes wide = I420(640, 4, 9, 9, 9);
  Bytes dst2(4 * 480 * 3 / 2 + 64, 0x33);
  EXPECT_FALSE(p.ResampleI420(wide.data(), 640, 640, 4, dst2.data(), 4, 4, 480, eCrop));
  for (size_t i = 4 * 480 * 3 / 2; i < dst2.size(); ++i) ASSERT_EQ(dst2[i], 0x33);
  // Going the other way those sizes work.
  EXPECT_TRUE(p.ResampleI420(tall.data(), 4, 4, 640, dst2.data(), 4, 4, 480, eInscribe));
}

TEST_P(ToolboxTest, BilinearAndBicubicKeepFlatPicturesAndAgree) {
  HX_VideoProcessingBase p;
  for (auto [sw, sh, dw, dh] : {std::array{1280, 720, 640, 360},
                                {640, 360, 1280, 720},
                                {640, 480, 352, 288},
                                {128, 96, 640, 480}}) {
    const Bytes src = I420(sw, sh, 170, 40, 220);
    for (auto mode : {eBilinear, eBicubic}) {
      Bytes dst(dw * dh * 3 / 2, 0);
      ASSERT_TRUE(p.ResampleI420(src.data(), sw, sw, sh, dst.data(), dw, dw, dh, mode));
      for (int i = 0; i < dw * dh; ++i) ASSERT_NEAR(dst[i], 170, 1) << mode << " " << i;
      ASSERT_NEAR(dst[dw * dh + 5], 40, 1);
      ASSERT_NEAR(dst[dw * dh * 5 / 4 + 5], 220, 1);
    }
  }
}

TEST_P(ToolboxTest, GeometryCacheReplansOnlyOnChange) {
  HX_VideoProcessingBase p;
  const Bytes src = I420(640, 480, 1, 2, 3);
  Bytes dst(640 * 480 * 3 / 2);
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 320, 320, 240, eBicubic));
  const uint64_t planned = p.allocationCount();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 320, 320, 240, eBicubic));
  }
  EXPECT_EQ(p.allocationCount(), planned);
  // A new mode or a new size replans; the old buffers are freed (AddressSanitizer checks leaks).
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 320, 320, 240, eCrop));
  EXPECT_GT(p.allocationCount(), planned);
  const uint64_t cropPlanned = p.allocationCount();
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 352, 352, 288, eCrop));
  EXPECT_GT(p.allocationCount(), cropPlanned);
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 352, 352, 288, eInscribe));
  ASSERT_TRUE(p.ResampleI420(src.data(), 640, 640, 480, dst.data(), 352, 352, 288, eBilinear));
}

TEST_P(ToolboxTest, Mirroring) {
  HX_VideoProcessingBase p;
  Bytes pic(8 * 4 * 3 / 2);
  for (size_t i = 0; i < pic.size(); ++i) pic[i] = i;
  Bytes copy(pic.size());
  ASSERT_TRUE(p.MirrorHorizontal(pic.data(), copy.data(), 8, 8, 4, eI420));
  EXPECT_EQ(copy[7], pic[0]);
  EXPECT_EQ(copy[8 * 4 + 3], pic[8 * 4]);
  Bytes inPlace = pic;
  ASSERT_TRUE(p.MirrorBoth(inPlace.data(), 8, 8, 4, eI420));
  EXPECT_EQ(inPlace, copy);
  Bytes odd(322 * 4 * 3 / 2, 7);
  const Bytes oddBefore = odd;
  EXPECT_FALSE(p.MirrorHorizontal(odd.data(), 322, 322, 4, eI420));
  EXPECT_EQ(odd, oddBefore);
}

TEST_P(ToolboxTest, RgbaToPlanes) {
  HX_VideoProcessingBase p;
  Bytes src(2 * 3 * 4 + 8);  // stride 16 bytes for 3 pixels
  for (size_t i = 0; i < src.size(); ++i) src[i] = i;
  Bytes a(6), b(6), c(6), d(6);
  uint8_t* planes[4] = {a.data(), b.data(), c.data(), d.data()};
  ASSERT_TRUE(p.SplitRGBAToPlanes(src.data(), 3, 16, 2, planes));
  EXPECT_EQ(a, (Bytes{0, 4, 8, 16, 20, 24}));
  EXPECT_EQ(d, (Bytes{3, 7, 11, 19, 23, 27}));
}

// A derived toolbox reaches the extension points.
class CountingToolbox : public HX_VideoProcessingBase {
 public:
  int dithered = 0;
  bool DitherI420(unsigned char*, int, int, int) override { return ++dithered > 0; }
};

TEST(ToolboxExtensionTest, DerivedOperationsAreCalled) {
  CountingToolbox t;
  HX_VideoProcessingBase& base = t;
  uint8_t b[24] = {};
  EXPECT_TRUE(base.DitherI420(b, 4, 4, 4));
  EXPECT_EQ(t.dithered, 1);
}

HX_INSTANTIATE_EACH_SIMD_PATH(ToolboxTest);

}  // namespace
}  // namespace hx::video
