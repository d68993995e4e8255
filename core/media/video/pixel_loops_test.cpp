// Every vector form of the picture loops gives the plain form's bytes, on random rows long enough
// to reach the vector bodies and their tails, with windows cut at both row ends and odd tap counts.
#include "core/media/video/pixel_loops.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "core/media/video/scaling_kernels.h"
#include "core/media/video/simd_test_util.h"

namespace hx::video {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

using FormsAgree = EachSimdPath;

TEST_P(FormsAgree, BicubicRowOnTablesOfEveryLength) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(7);
  // Enlargements (2 and 3 taps), equal lengths (4), reductions (7, 8 and past 8 taps).
  const int lengths[][2] = {{37, 80}, {64, 128}, {60, 41}, {33, 33}, {80, 47},
                            {64, 32}, {128, 37}, {35, 17}, {9, 4},   {640, 352}};
  for (const auto& l : lengths) {
    short* table = nullptr;
    const int taps = genTableAlloc(l[0], l[1], table);
    const Bytes src = Random(l[0], rng);
    Bytes want(l[1]), got(l[1]);
    plain.bicubicRow(src.data(), l[0], table, taps, want.data(), l[1]);
    form.bicubicRow(src.data(), l[0], table, taps, got.data(), l[1]);
    EXPECT_EQ(got, want) << l[0] << " to " << l[1] << ", " << taps << " taps";
    delete[] table;
  }
}

TEST_P(FormsAgree, BicubicRowWithWeightsThatSaturate) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(8);
  for (int taps = 1; taps <= 9; ++taps) {
    const int n = 45, width = 50;
    // Large weights of both signs: sums far outside 0..255 both ways; windows cut at both ends.
    std::vector<int16_t> table(n * (taps + 1));
    for (int j = 0; j < n; ++j) {
      for (int k = 0; k < taps; ++k) table[j * (taps + 1) + k] = static_cast<int16_t>(rng());
      table[j * (taps + 1) + taps] = static_cast<int16_t>(j - 3);
    }
    const Bytes src = Random(width, rng);
    Bytes want(n), got(n);
    plain.bicubicRow(src.data(), width, table.data(), taps, want.data(), n);
    form.bicubicRow(src.data(), width, table.data(), taps, got.data(), n);
    EXPECT_EQ(got, want) << taps << " taps";
  }
}

TEST_P(FormsAgree, BicubicColumnsForEveryTapCount) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(9);
  const int n = 16 * 5 + 7;
  std::vector<Bytes> rows;
  for (int k = 0; k < 9; ++k) rows.push_back(Random(n, rng));
  std::vector<const uint8_t*> pointers;
  for (const auto& r : rows) pointers.push_back(r.data());
  for (int taps = 1; taps <= 9; ++taps) {
    for (int round = 0; round < 4; ++round) {
      std::vector<int16_t> w(taps);
      for (auto& v : w) v = static_cast<int16_t>(round < 2 ? int(rng() % 3000) - 1000 : rng());
      Bytes want(n), got(n);
      plain.bicubicColumns(pointers.data(), w.data(), taps, want.data(), n);
      form.bicubicColumns(pointers.data(), w.data(), taps, got.data(), n);
      EXPECT_EQ(got, want) << taps << " taps";
    }
  }
}

TEST_P(FormsAgree, BilinearGatherWithWeightsUpToAndPast256) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(10);
  const int n = 8 * 9 + 5, width = 200;
  const Bytes src = Random(width, rng);
  for (int round = 0; round < 3; ++round) {
    std::vector<int32_t> idx(n);
    std::vector<uint16_t> w(n);
    for (int i = 0; i < n; ++i) {
      idx[i] = static_cast<int32_t>(rng() % (width - 1));
      // Round 0: 0..256 (what the weight functions give); round 1 adds weights past 256, which
      // wrap in the unsigned arithmetic; round 2 mixes 0 and 256.
      w[i] = static_cast<uint16_t>(round == 0   ? rng() % 257
                                   : round == 1 ? (i % 11 == 0 ? 300 + rng() % 1000 : rng() % 257)
                                                : (i % 2) * 256);
    }
    Bytes want(n), got(n);
    plain.bilinearGather(src.data(), idx.data(), w.data(), want.data(), n);
    form.bilinearGather(src.data(), idx.data(), w.data(), got.data(), n);
    EXPECT_EQ(got, want) << "round " << round;
  }
}

TEST_P(FormsAgree, I420ToBgraKeepsTheFourthByte) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(11);
  const int blocks = 4 * 7 + 3;
  const Bytes y0 = Random(2 * blocks, rng), y1 = Random(2 * blocks, rng);
  Bytes u = Random(blocks, rng), v = Random(blocks, rng);
  u[0] = v[0] = 255;  // the corners of the colour range, where the sums leave 0..255
  u[1] = v[1] = 0;
  const Bytes fill = Random(8 * blocks, rng);
  Bytes want0 = fill, want1 = fill, got0 = fill, got1 = fill;
  plain.i420ToBgraRows(y0.data(), y1.data(), u.data(), v.data(), want0.data(), want1.data(),
                       blocks);
  form.i420ToBgraRows(y0.data(), y1.data(), u.data(), v.data(), got0.data(), got1.data(), blocks);
  EXPECT_EQ(got0, want0);
  EXPECT_EQ(got1, want1);
}

TEST_P(FormsAgree, BicubicRowsOverStridedRowsAsTheToolboxUsesThem) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(12);
  // Table lengths; each table also runs as the toolbox runs it on chroma: the luma table over
  // half the source width and half the targets. 2, 3, 4, 6, 8 and more than 8 taps, rows shorter
  // than 16 and target counts with and without a tail past the last 16.
  const int lengths[][2] = {{1280, 640}, {640, 1280}, {640, 320}, {640, 352}, {37, 80},
                            {64, 128},   {60, 41},    {33, 33},   {80, 47},   {100, 35},
                            {20, 17},    {15, 40},    {48, 36},   {24, 70},   {200, 199}};
  for (const auto& l : lengths) {
    short* table = nullptr;
    const int taps = genTableAlloc(l[0], l[1], table);
    for (const int half : {1, 2}) {
      const int width = l[0] / half, n = l[1] / half, rows = 5, stride = width + 7;
      const Bytes src = Random(static_cast<size_t>(stride) * (rows - 1) + width, rng);
      Bytes want(static_cast<size_t>(n) * rows), got(want.size(), 0xAA);
      for (int r = 0; r < rows; ++r) {
        plain.bicubicRow(src.data() + r * stride, width, table, taps, want.data() + r * n, n);
      }
      form.bicubicRows(src.data(), stride, width, rows, table, taps, got.data(), n);
      EXPECT_EQ(got, want) << l[0] << " to " << l[1] << " / " << half << ", " << taps << " taps";
    }
    delete[] table;
  }
}

TEST_P(FormsAgree, BicubicRowsWithUnusualTables) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(13);
  const int width = 70, n = 16 * 4 + 5, rows = 3;
  for (int taps = 1; taps <= 9; ++taps) {
    // Round 0: windows sliding one sample per target from before the row to past its end, with
    // weights that saturate both ways. Round 1: windows anywhere (lanes spread too wide to share
    // a load). Round 2: every window before or past the row.
    for (int round = 0; round < 3; ++round) {
      std::vector<int16_t> table(n * (taps + 1));
      for (int j = 0; j < n; ++j) {
        for (int k = 0; k < taps; ++k) table[j * (taps + 1) + k] = static_cast<int16_t>(rng());
        const int first = round == 0   ? j - 12
                          : round == 1 ? static_cast<int>(rng() % 100) - 15
                                       : (j % 2 ? -40 : width + 3);
        table[j * (taps + 1) + taps] = static_cast<int16_t>(first);
      }
      const Bytes src = Random(static_cast<size_t>(width) * rows, rng);
      Bytes want(static_cast<size_t>(n) * rows), got(want.size());
      for (int r = 0; r < rows; ++r) {
        plain.bicubicRow(src.data() + r * width, width, table.data(), taps, want.data() + r * n, n);
      }
      form.bicubicRows(src.data(), width, width, rows, table.data(), taps, got.data(), n);
      EXPECT_EQ(got, want) << taps << " taps, round " << round;
    }
  }
}

TEST_P(FormsAgree, PackedAndSemiPlanarRows) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(14);
  using Rows =
      void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, int);
  for (const int pairs : {16 * 3 + 5, 16, 7, 64}) {
    const Bytes r0 = Random(4 * pairs, rng), r1 = Random(4 * pairs, rng);
    for (const auto& [want422, got422] :
         {std::pair<Rows, Rows>{plain.yuy2Rows, form.yuy2Rows}, {plain.uyvyRows, form.uyvyRows}}) {
      Bytes wy0(2 * pairs), wy1(2 * pairs), wu(pairs), wv(pairs);
      Bytes gy0(2 * pairs), gy1(2 * pairs), gu(pairs), gv(pairs);
      want422(r0.data(), r1.data(), wy0.data(), wy1.data(), wu.data(), wv.data(), pairs);
      got422(r0.data(), r1.data(), gy0.data(), gy1.data(), gu.data(), gv.data(), pairs);
      EXPECT_EQ(gy0, wy0) << pairs;
      EXPECT_EQ(gy1, wy1) << pairs;
      EXPECT_EQ(gu, wu) << pairs;
      EXPECT_EQ(gv, wv) << pairs;
    }
    const int split = 2 * pairs + 3;
    const Bytes s = Random(2 * split, rng);
    Bytes wa(split), wb(split), ga(split), gb(split), wm(2 * split), gm(2 * split);
    plain.splitPairs(s.data(), wa.data(), wb.data(), split);
    form.splitPairs(s.data(), ga.data(), gb.data(), split);
    EXPECT_EQ(ga, wa);
    EXPECT_EQ(gb, wb);
    plain.mergePairs(wa.data(), wb.data(), wm.data(), split);
    form.mergePairs(wa.data(), wb.data(), gm.data(), split);
    EXPECT_EQ(gm, wm);
    EXPECT_EQ(gm, s);
  }
}

TEST_P(FormsAgree, RgbRowsOverTheWholeColourRange) {
  const PixelLoops& plain = LoopsFor(SimdPath::kPlain);
  const PixelLoops& form = LoopsFor(GetParam());
  std::mt19937 rng(15);
  using Rows =
      void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, int);
  const struct {
    int bpp;
    Rows want, got;
  } kinds[] = {{3, plain.rgb24Rows, form.rgb24Rows},
               {4, plain.argbRows, form.argbRows},
               {4, plain.bgraRows, form.bgraRows}};
  for (const auto& kind : kinds) {
    for (const int blocks : {8 * 5 + 3, 8, 5}) {
      // Random pixels, then one channel of every pixel at 255 and the others at 0 (round 1) or
      // the reverse (round 2), where the chroma sums reach their ends.
      for (int round = 0; round < 3; ++round) {
        Bytes r0 = Random(2 * kind.bpp * blocks, rng), r1 = Random(r0.size(), rng);
        if (round > 0) {
          for (size_t i = 0; i < r0.size(); ++i) {
            const size_t pixel = i / kind.bpp, channel = i % kind.bpp;
            const bool high = (channel == pixel % 3) == (round == 1);
            r0[i] = r1[i] = high ? 255 : 0;
          }
        }
        Bytes wy0(2 * blocks), wy1(2 * blocks), wu(blocks), wv(blocks);
        Bytes gy0(2 * blocks), gy1(2 * blocks), gu(blocks), gv(blocks);
        kind.want(r0.data(), r1.data(), wy0.data(), wy1.data(), wu.data(), wv.data(), blocks);
        kind.got(r0.data(), r1.data(), gy0.data(), gy1.data(), gu.data(), gv.data(), blocks);
        const auto where = testing::Message()
                           << kind.bpp << " bytes, " << blocks << " blocks, round " << round;
        EXPECT_EQ(gy0, wy0) << where;
        EXPECT_EQ(gy1, wy1) << where;
        EXPECT_EQ(gu, wu) << where;
        EXPECT_EQ(gv, wv) << where;
      }
    }
  }
}

HX_INSTANTIATE_EACH_SIMD_PATH(FormsAgree);

}  // namespace
}  // namespace hx::video
