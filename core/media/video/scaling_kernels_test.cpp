// Known answers of the scaling kernels, run through every form of the inner loops.
#include "core/media/video/scaling_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "core/media/video/pixel_loops.h"
#include "core/media/video/simd_test_util.h"

namespace hx::video {
namespace {

std::vector<uint8_t> ClipTable() {
  std::vector<uint8_t> t(1024);
  for (int i = 0; i < 1024; ++i) t[i] = i < 512 ? 0 : (i < 768 ? i - 512 : 255);
  return t;
}

using KernelTest = EachSimdPath;

TEST_P(KernelTest, BilinearFourToSevenSamples) {
  const uint8_t src[4] = {0, 30, 60, 90};
  uint8_t row[7] = {};
  b_resize_x1(src, row, 4, 1, 7);
  EXPECT_EQ(std::vector<uint8_t>(row, row + 7), (std::vector<uint8_t>{0, 15, 30, 45, 60, 75, 90}));
  // The same down a column, target rows 3 bytes apart.
  uint8_t col[7 * 3] = {};
  b_resize_y1(src, col, 1, 4, 7, 3);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(col[3 * i], 15 * i) << i;
  EXPECT_EQ(interp_lin_(0.5), 128);
  EXPECT_EQ(interp_lin_(2.0), 256);
}

TEST_P(KernelTest, BilinearKeepsFirstAndLastSamples) {
  std::mt19937 rng(7);
  for (auto [sw, dw] : {std::pair{4, 9}, {9, 4}, {640, 320}, {37, 101}, {100, 3}}) {
    std::vector<uint8_t> src(sw * 3), dst(dw * 3);
    for (auto& b : src) b = rng();
    b_resize_x1(src.data(), dst.data(), sw, 3, dw);
    for (int r = 0; r < 3; ++r) {
      EXPECT_EQ(dst[r * dw], src[r * sw]) << sw << "->" << dw;
      EXPECT_EQ(dst[r * dw + dw - 1], src[r * sw + sw - 1]) << sw << "->" << dw;
    }
  }
}

TEST_P(KernelTest, BicubicTablesSumTo4096) {
  struct Case {
    int src, dst, taps;
  } cases[] = {{640, 320, 8},  {320, 640, 2}, {1280, 640, 8}, {640, 480, 6}, {480, 16, 120},
               {640, 1440, 2}, {128, 640, 1}, {4, 1920, 1},   {641, 640, 5}, {352, 352, 4}};
  for (const auto& c : cases) {
    short* table = nullptr;
    const int taps = genTableAlloc(c.src, c.dst, table);
    EXPECT_EQ(taps, c.taps) << c.src << "->" << c.dst;
    for (int i = 0; i < c.dst; ++i) {
      const short* row = table + i * (taps + 1);
      int sum = 0;
      for (int k = 0; k < taps; ++k) sum += row[k];
      // Each weight is rounded on its own: at most half a unit each.
      EXPECT_LE(std::abs(sum - 4096), (taps + 1) / 2) << c.src << "->" << c.dst << " row " << i;
    }
    delete[] table;
  }
}

TEST_P(KernelTest, EnlargementTablesKeepTheKernelWide) {
  // Before normalising, each row of an enlargement keeps a real share of the kernel, so the
  // normalised weights stay small (no 16-bit overflow, no rows of weight 0).
  for (auto [s, d] : {std::pair{640, 1440}, {128, 640}, {4, 1920}, {320, 640}, {352, 480}}) {
    short* table = nullptr;
    const int taps = genTableAlloc(s, d, table);
    for (int i = 0; i < d; ++i) {
      for (int k = 0; k < taps; ++k) {
        EXPECT_LE(std::abs(table[i * (taps + 1) + k]), 4096 / 0.59) << s << "->" << d;
      }
    }
    delete[] table;
  }
}

TEST_P(KernelTest, BicubicKernelValues) {
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(0), 1);
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(1), 0);
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(2), 0);
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(0.5), 0.59375);
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(-0.5), 0.59375);
  EXPECT_DOUBLE_EQ(bicubicInterpFunc(1.5), -0.09375);
}

TEST_P(KernelTest, BicubicPassesKeepAConstantPlane) {
  const auto clip = ClipTable();
  for (auto [s, d] : {std::pair{640, 320}, {320, 640}, {128, 640}, {37, 16}}) {
    short* tx = nullptr;
    const int taps = genTableAlloc(s, d, tx);
    std::vector<uint8_t> src(s * 5, 200), row(d * 5);
    bic_resize_x1(src.data(), row.data(), s, 5, d, tx, taps, clip.data());
    for (int i = 0; i < d * 5; ++i) ASSERT_NEAR(row[i], 200, 1) << s << "->" << d << " " << i;
    std::vector<uint8_t> col(s, 77), out(d * 2, 0);
    bic_resize_y1(col.data(), out.data(), 1, s, d, 2, tx, taps, clip.data());
    for (int i = 0; i < d; ++i) ASSERT_NEAR(out[2 * i], 77, 1) << s << "->" << d << " " << i;
    delete[] tx;
  }
}

TEST_P(KernelTest, BicubicRowMatchesTheFormula) {
  // The row pass computed by hand from the table: same bytes in every form.
  const auto clip = ClipTable();
  std::mt19937 rng(3);
  for (auto [s, d] : {std::pair{640, 320}, {320, 640}, {100, 33}, {33, 100}}) {
    short* t = nullptr;
    const int taps = genTableAlloc(s, d, t);
    std::vector<uint8_t> src(s), out(d);
    for (auto& b : src) b = rng();
    bic_resize_x1(src.data(), out.data(), s, 1, d, t, taps, clip.data());
    for (int j = 0; j < d; ++j) {
      const short* w = t + j * (taps + 1);
      int sum = 0;
      for (int k = 0; k < taps; ++k) {
        const int i = w[taps] + k;
        if (i >= 0 && i < s) sum += w[k] * src[i];
      }
      const int v = (sum + 2048) >> 12;
      ASSERT_EQ(out[j], clip[512 + std::clamp(v, -512, 511)]) << s << "->" << d << " " << j;
    }
    delete[] t;
  }
}

TEST_P(KernelTest, ReducerByEightKeepsAConstantRow) {
  const auto clip = ClipTable();
  std::vector<uint8_t> src(64 * 2, 123), dst(16, 0);
  bic_resize_8_x1(src.data(), dst.data(), 64, 2, clip.data());
  for (uint8_t v : dst) EXPECT_EQ(v, 123);
  std::vector<uint8_t> col(4 * 64, 45), out(4 * 8, 0);
  bic_resize_8_y1(col.data(), out.data(), 4, 64, 8, clip.data());
  for (uint8_t v : out) EXPECT_EQ(v, 45);
}

TEST_P(KernelTest, ReducerByEightImpulseGivesTheWeights) {
  const int len = 64, n = 8;
  for (int q = 0; q < len; ++q) {
    std::vector<uint8_t> src(len, 0);
    src[q] = 1;
    std::vector<int32_t> sums(n);
    Reduce8Sums(src.data(), 1, len, sums.data());
    for (int k = 0; k < n; ++k) {
      int expected = 0;
      auto cf = [&](int m) { return (m >= 0 && m < 32) ? bicubic_cf_8[m] : 0; };
      if (k == 0) {
        expected = (q == 0 ? 2048 : 0) + (q < 16 ? cf(q + 16) : 0);
      } else if (k == 1) {
        expected = (q >= 8 ? cf(q) : 0) + (q == 8 ? -258 : 0);
      } else if (k == n - 1) {
        expected =
            (q == len - 1 ? 4354 : 0) + ((q >= len - 9 && q <= len - 2) ? cf(q - (len - 9)) : 0);
      } else if (k == n - 2) {
        expected =
            ((q >= len - 17 && q <= len - 2) ? cf(q - (len - 17)) : 0) + (q == len - 1 ? 2048 : 0);
      } else {
        expected = cf(q - 8 * (k - 2));
      }
      ASSERT_EQ(sums[k], expected) << "impulse " << q << " output " << k;
    }
  }
  // The table itself: symmetric, summing to 4096.
  EXPECT_EQ(std::accumulate(bicubic_cf_8, bicubic_cf_8 + 32, 0), 4096);
  for (int m = 0; m < 16; ++m) EXPECT_EQ(bicubic_cf_8[m], bicubic_cf_8[31 - m]);
}

TEST_P(KernelTest, MultiByteVariantsInterpolateEachByte) {
  // A 3-byte row of 4 pixels (0,30,60,90 in each channel times 1, 2, 1) into 7 pixels.
  uint8_t src3[12], dst3[21];
  for (int i = 0; i < 4; ++i) {
    src3[3 * i] = 30 * i;
    src3[3 * i + 1] = 60 * i;
    src3[3 * i + 2] = 90 - 30 * i;
  }
  b_resize_x3(src3, dst3, 4, 1, 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(dst3[3 * i], 15 * i);
    EXPECT_EQ(dst3[3 * i + 1], 30 * i);
    EXPECT_EQ(dst3[3 * i + 2], 90 - 15 * i);
  }
  // RGB565 round trip of a flat colour keeps it.
  const uint16_t flat = 0xA53C;
  std::vector<uint16_t> px(8 * 8, flat), out(16 * 8);
  std::vector<uint8_t> wide(16 * 8 * 4);
  b_resize_x_565(px.data(), wide.data(), 8, 8, 16);
  std::vector<uint16_t> back(16 * 16);
  b_resize_y_565(wide.data(), back.data(), 16, 8, 16, 16);
  for (uint16_t v : back) ASSERT_EQ(v, flat);
  const auto clip = ClipTable();
  bic_resize_x_565(px.data(), out.data(), 8, 8, 16, clip.data());
  for (uint16_t v : out) ASSERT_EQ(v, flat);
}

TEST(ClipTest, SaturationEqualsTheClipTable) {
  const auto t = ClipTable();
  for (int v = -512; v < 512; ++v) ASSERT_EQ(Clip(v), t[512 + v]) << v;
  EXPECT_EQ(Clip(530), 255);
  EXPECT_EQ(Clip(-9000), 0);
}

HX_INSTANTIATE_EACH_SIMD_PATH(KernelTest);

}  // namespace
}  // namespace hx::video
