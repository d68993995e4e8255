// Every vector form of the picture loops gives the plain form's bytes, on random rows long enough
// to reach the vector bodies and their tails, with windows cut at both row ends and odd tap counts.
#include "core/media/video/pixel_loops.h"

#include <gtest/gtest.h>

#include <random>
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

HX_INSTANTIATE_EACH_SIMD_PATH(FormsAgree);

}  // namespace
}  // namespace hx::video
