// The cell-size calculators on the screens the conference screen uses (1280x720 landscape and
// 720x1280 portrait, aspect 16/9). The expected sizes are worked out from the calculators' own
// single-precision steps; the comments give the step that decides each case.
#include "core/media/layout/layout_calculators.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

constexpr float kWide = 16.0f / 9.0f;

TEST(LayoutCalculators, MakeMultipleRoundsWithTheRemaindersSign) {
  struct Case {
    int x;
    int m;
    int down;
    int up;
  };
  const std::vector<Case> cases = {
      {37, 8, 32, 40},     {40, 8, 40, 40},
      {37, 1, 37, 37},     {0, 16, 0, 0},
      {-37, 8, -32, -24},  // the remainder of -37 is -5: toward zero, then up by 8 - (-5)
      {639, 16, 624, 640}, {359, 16, 352, 368},
      {37, 0, 37, 37},  // a multiple of 0 is no rounding rather than a division by zero
      {37, -8, 37, 37},    {INT_MAX, 16, INT_MAX - 15, INT_MAX},  // rounding up saturates
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeMultiple(c.x, c.m), c.down) << c.x << " / " << c.m;
    EXPECT_EQ(MakeMultipleUp(c.x, c.m), c.up) << c.x << " / " << c.m;
  }
}

struct UniformResult {
  bool ok = false;
  int cellW = -1, cellH = -1, rows = -1, cols = -1, rest = -1;
  bool operator==(const UniformResult&) const = default;
};

std::ostream& operator<<(std::ostream& os, const UniformResult& r) {
  return os << (r.ok ? "ok " : "failed ") << r.cellW << "x" << r.cellH << " rows " << r.rows
            << " cols " << r.cols << " rest " << r.rest;
}

enum class Variant { kColumns, kRows, kSmart };

UniformResult Uniform(Variant v, int W, int H, int N, int gx, int gy, int mw, int mh, int maxW,
                      int maxH, int presetRest = -1) {
  UniformResult r;
  r.rest = presetRest;
  switch (v) {
    case Variant::kColumns:
      r.ok = CalculateUniformLayoutColumnBased(W, H, N, kWide, gx, gy, mw, mh, maxW, &r.cellW,
                                               &r.cellH, &r.rows, &r.cols, &r.rest);
      break;
    case Variant::kRows:
      r.ok = CalculateUniformLayoutRowBased(W, H, N, kWide, gx, gy, mw, mh, maxH, &r.cellW,
                                            &r.cellH, &r.rows, &r.cols, &r.rest);
      break;
    case Variant::kSmart:
      r.ok = CalculateUniformLayoutSmart(W, H, N, kWide, gx, gy, mw, mh, maxW, maxH, &r.cellW,
                                         &r.cellH, &r.rows, &r.cols, &r.rest);
      break;
  }
  if (!r.ok) r = UniformResult{};
  return r;
}

TEST(LayoutCalculators, UniformGridsOnAWideScreen) {
  struct Case {
    std::string what;
    Variant variant;
    int W, H, N, gx, gy, mw, mh, maxW, maxH;
    UniformResult expected;
  };
  const std::vector<Case> cases = {
      // Four windows: both variants find the 2x2 grid of 640x360; the smart one takes the
      // row-first result on the tie.
      {"4 by columns",
       Variant::kColumns,
       1280,
       720,
       4,
       0,
       0,
       1,
       1,
       1280,
       720,
       {true, 640, 360, 2, 2, 0}},
      {"4 by rows", Variant::kRows, 1280, 720, 4, 0, 0, 1, 1, 1280, 720, {true, 640, 360, 2, 2, 0}},
      {"4 smart", Variant::kSmart, 1280, 720, 4, 0, 0, 1, 1, 1280, 720, {true, 640, 360, 2, 2, 0}},
      // Three: a full row of two and a partial row of one.
      {"3 smart", Variant::kSmart, 1280, 720, 3, 0, 0, 1, 1, 1280, 720, {true, 640, 360, 1, 2, 1}},
      // Five: 1280 / 3 = 426.67 wide, 240 high; one full row of three, a partial row of two.
      {"5 smart", Variant::kSmart, 1280, 720, 5, 0, 0, 1, 1, 1280, 720, {true, 426, 240, 1, 3, 2}},
      {"5 by columns",
       Variant::kColumns,
       1280,
       720,
       5,
       0,
       0,
       1,
       1,
       1280,
       720,
       {true, 426, 240, 1, 3, 2}},
      // Size multiples cut the cell: 426 -> 416, 240 -> 240.
      {"5 rounded to 16",
       Variant::kSmart,
       1280,
       720,
       5,
       0,
       0,
       16,
       16,
       1280,
       720,
       {true, 416, 240, 1, 3, 2}},
      // Row-first: one row of 1280x720 holds one window; two rows of 640x360 hold four, more
      // than needed, so the grid is cut to N / cols full rows and N mod cols in a partial row.
      {"2 by rows", Variant::kRows, 1280, 720, 2, 0, 0, 1, 1, 1280, 720, {true, 640, 360, 1, 2, 0}},
      {"3 by rows", Variant::kRows, 1280, 720, 3, 0, 0, 1, 1, 1280, 360, {true, 640, 360, 1, 2, 1}},
      // Row-first needs 2·gx < W and 2·gy < H before anything else.
      {"gap half the width", Variant::kRows, 200, 100, 1, 100, 0, 1, 1, 200, 100, {}},
      {"gap half the height", Variant::kRows, 200, 100, 1, 0, 50, 1, 1, 200, 100, {}},
      // Just under half: two rows of 50 give cells 88.9 wide, and 151 / (88.9 + 49) = 1 column.
      {"gap just under half",
       Variant::kRows,
       200,
       100,
       1,
       49,
       0,
       1,
       1,
       200,
       100,
       {true, 88, 50, 1, 1, 0}},
      // Nothing to lay out, a screen without room, a negative gap: no layout.
      {"no windows", Variant::kSmart, 1280, 720, 0, 0, 0, 1, 1, 1280, 720, {}},
      {"1x1 screen", Variant::kSmart, 1, 1, 1, 0, 0, 1, 1, 1, 1, {}},
      {"gaps wider than the screen",
       Variant::kSmart,
       1280,
       720,
       1,
       2000,
       2000,
       1,
       1,
       1280,
       720,
       {}},
      {"negative gap", Variant::kSmart, 1280, 720, 1, -4, 0, 1, 1, 1280, 720, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Uniform(c.variant, c.W, c.H, c.N, c.gx, c.gy, c.mw, c.mh, c.maxW, c.maxH), c.expected)
        << c.what;
  }
}

TEST(LayoutCalculators, RowFirstCanLeaveNoFullRow) {
  // Cells at most 360 high on 1920x720: two rows of 640x360 with three per row. Two windows
  // are 2 / 3 = 0 full rows and a partial row of both.
  EXPECT_EQ(Uniform(Variant::kRows, 1920, 720, 2, 0, 0, 1, 1, 1920, 360),
            (UniformResult{true, 640, 360, 0, 3, 2}));
}

TEST(LayoutCalculators, ColumnFirstWithFewerWindowsThanColumnsWritesRestZero) {
  // The top layout on a portrait 720x1280 screen asks for one small window no wider than a
  // third of the big one (240, or 237 with gaps 4): the search runs to three columns, more than
  // there are windows. The answer is one full row of one window and no partial row, whatever
  // the caller's rest held before.
  for (int preset : {7, -1, 0, 1}) {
    EXPECT_EQ(Uniform(Variant::kColumns, 720, 875, 1, 0, 0, 1, 1, 240, 135, preset),
              (UniformResult{true, 240, 135, 1, 1, 0}))
        << "preset " << preset;
    EXPECT_EQ(Uniform(Variant::kColumns, 720, 876, 1, 4, 4, 1, 1, 237, 133, preset),
              (UniformResult{true, 234, 132, 1, 1, 0}))
        << "preset " << preset;
    // The smart variant hands the column-first answer on (it is the larger cell).
    EXPECT_EQ(Uniform(Variant::kSmart, 720, 875, 1, 0, 0, 1, 1, 240, 135, preset),
              (UniformResult{true, 240, 135, 1, 1, 0}))
        << "preset " << preset;
  }
  // Two windows where the search stops at three columns: one row of both.
  EXPECT_EQ(Uniform(Variant::kColumns, 720, 875, 2, 0, 0, 1, 1, 240, 135, 7),
            (UniformResult{true, 240, 135, 1, 2, 0}));
}

struct BigSmall {
  bool ok = false;
  int bigW = -1, bigH = -1, smallW = -1, smallH = -1, rows = -1, cols = -1, rest = -1;
  bool operator==(const BigSmall&) const = default;
};

std::ostream& operator<<(std::ostream& os, const BigSmall& r) {
  return os << (r.ok ? "ok " : "failed ") << r.bigW << "x" << r.bigH << " " << r.smallW << "x"
            << r.smallH << " rows " << r.rows << " cols " << r.cols << " rest " << r.rest;
}

using BigSmallFn = bool (*)(int, int, int, float, int, int, int, int, int*, int*, int*, int*, int*,
                            int*, int*);

BigSmall RunBigSmall(BigSmallFn fn, int W, int H, int N, int gx, int gy) {
  BigSmall r;
  r.ok = fn(W, H, N, kWide, gx, gy, 1, 1, &r.bigW, &r.bigH, &r.smallW, &r.smallH, &r.rows, &r.cols,
            &r.rest);
  if (!r.ok) r = BigSmall{};
  return r;
}

TEST(LayoutCalculators, TopAndLeftLayouts) {
  struct Case {
    std::string what;
    BigSmallFn fn;
    int W, H, N, gx, gy;
    BigSmall expected;
  };
  const std::vector<Case> cases = {
      // Twelve windows: at 80 % the big window is 1024x576 and the strip of 144 (a fifth of the
      // height, under a quarter) needs two rows of 128x72 cells; the retry at 75 % gives
      // 960x540 and a strip of 180 (exactly a quarter) with two rows of 160x90: accepted. The
      // big window is then worked out for 720 − 2·90 = 540.
      {"top smart retries at 75 %",
       CalculateTopLayoutSmart,
       1280,
       720,
       12,
       0,
       0,
       {true, 960, 540, 160, 90, 1, 8, 3}},
      // Five windows with gaps 4: 80 % gives 1009x568, a strip of 148 holding one partial row of
      // four 248x140 cells; no retry.
      {"top smart, 5 windows",
       CalculateTopLayoutSmart,
       1280,
       720,
       5,
       4,
       4,
       {true, 1009, 568, 248, 140, 0, 5, 4}},
      // Portrait, two windows: the small cell is the column-first 234x132 (one row of one).
      {"top smart, portrait",
       CalculateTopLayoutSmart,
       720,
       1280,
       2,
       4,
       4,
       {true, 712, 400, 234, 132, 1, 1, 0}},
      // Left, five windows, gaps 4: the big window 1016 wide (80 %), one full column of four
      // 252x141 windows beside it.
      {"left smart, 5 windows",
       CalculateLeftLayoutSmart,
       1280,
       720,
       5,
       4,
       4,
       {true, 1016, 571, 252, 141, 4, 1, 0}},
      // Single attempts. Priority-based top: small cells in a third of the height (240): one
      // row of four 320x180, then the big window in 720 − 180 = 540: 960x540.
      {"top priority-based",
       CalculateTopLayoutPriorityBased,
       1280,
       720,
       5,
       0,
       0,
       {true, 960, 540, 320, 180, 1, 4, 0}},
      // Ordinary top: the big window in two thirds (480): 853x480; four small in 720 − 480.
      {"top ordinary",
       CalculateTopLayoutOrdinaryBased,
       1280,
       720,
       5,
       0,
       0,
       {true, 853, 480, 320, 180, 1, 4, 0}},
      // Priority-based left: the big window in two thirds of the width (853): 853 / (16/9) =
      // 479.8 high; four small ones in the 427 left: four rows of one 320x180.
      {"left priority-based",
       CalculateLeftLayoutPriorityBased,
       1280,
       720,
       5,
       0,
       0,
       {true, 853, 479, 320, 180, 4, 1, 0}},
      // Ordinary left: four small ones in a third of the width (426): four rows of one 320x180
      // (larger than two columns of 213x119); the big window in 1280 − 320 = 960: 960x540.
      {"left ordinary",
       CalculateLeftLayoutOrdinaryBased,
       1280,
       720,
       5,
       0,
       0,
       {true, 960, 540, 320, 180, 4, 1, 0}},
      // One window leaves nothing for the small ones; no room at all.
      {"top smart, 1 window", CalculateTopLayoutSmart, 1280, 720, 1, 0, 0, {}},
      {"left smart, 0x0", CalculateLeftLayoutSmart, 0, 0, 5, 0, 0, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunBigSmall(c.fn, c.W, c.H, c.N, c.gx, c.gy), c.expected) << c.what;
  }
}

struct CornerResult {
  bool ok = false;
  int bigW = -1, bigH = -1, smallW = -1, smallH = -1, span = -1, beside = -1, below = -1,
      total = -1;
  bool operator==(const CornerResult&) const = default;
};

std::ostream& operator<<(std::ostream& os, const CornerResult& r) {
  return os << (r.ok ? "ok " : "failed ") << r.bigW << "x" << r.bigH << " " << r.smallW << "x"
            << r.smallH << " span " << r.span << " beside " << r.beside << " below " << r.below
            << " total " << r.total;
}

using CornerFn = bool (*)(int, int, int, float, int, int, int, int, int, int*, int*, int*, int*,
                          int*, int*, int*, int*);

CornerResult RunCorner(CornerFn fn, int W, int H, int N, int k, int gx, int gy) {
  CornerResult r;
  r.ok = fn(W, H, N, kWide, k, gx, gy, 1, 1, &r.bigW, &r.bigH, &r.smallW, &r.smallH, &r.span,
            &r.beside, &r.below, &r.total);
  if (!r.ok) r = CornerResult{};
  return r;
}

TEST(LayoutCalculators, CornerLayouts) {
  struct Case {
    std::string what;
    CornerFn fn;
    int W, H, N, k, gx, gy;
    CornerResult expected;
  };
  const std::vector<Case> cases = {
      // k = 2, N = 1: the big window alone still takes 2x2 cells. Three columns of 426 (height
      // 426 / (16/9) = 239) and three rows; both variants agree and the tie goes to columns.
      {"k 2, N 1 smart",
       CalculateCornerLayoutSmart,
       1280,
       720,
       1,
       2,
       0,
       0,
       {true, 852, 478, 426, 239, 2, 1, 1, 3}},
      {"k 2, N 1 by rows",
       CalculateCornerLayoutRowBased,
       1280,
       720,
       1,
       2,
       0,
       0,
       {true, 852, 478, 426, 239, 2, 1, 1, 3}},
      // Five windows, gaps 4, need 4 + 4 = 8 cells. Column-first: three columns of 421 give
      // only two rows (6 cells), four columns of 315x177 give three rows. Row-first: three rows
      // of 234.67 give 417x234 and three columns: the larger cell wins.
      {"5 by columns",
       CalculateCornerLayoutColumnBased,
       1280,
       720,
       5,
       2,
       4,
       4,
       {true, 634, 358, 315, 177, 2, 2, 1, 4}},
      {"5 by rows",
       CalculateCornerLayoutRowBased,
       1280,
       720,
       5,
       2,
       4,
       4,
       {true, 838, 472, 417, 234, 2, 1, 1, 3}},
      {"5 smart",
       CalculateCornerLayoutSmart,
       1280,
       720,
       5,
       2,
       4,
       4,
       {true, 838, 472, 417, 234, 2, 1, 1, 3}},
      // Failures: gaps over half the screen, no windows, no span.
      {"gap over half", CalculateCornerLayoutSmart, 1280, 720, 5, 2, 641, 0, {}},
      {"no windows", CalculateCornerLayoutSmart, 1280, 720, 0, 2, 0, 0, {}},
      {"k 0", CalculateCornerLayoutSmart, 1280, 720, 5, 0, 0, 0, {}},
      // A 16x9 screen still holds 3x3 cells of 5x2 (5 / (16/9) = 2.8).
      {"16x9 screen",
       CalculateCornerLayoutSmart,
       16,
       9,
       5,
       2,
       0,
       0,
       {true, 10, 4, 5, 2, 2, 1, 1, 3}},
      // 4x4: three columns of 1.33 are 0.75 high, under a pixel, and without a gap there is no
      // row pitch to divide by; three rows of 1.33 give only two columns.
      {"4x4 screen", CalculateCornerLayoutSmart, 4, 4, 5, 2, 0, 0, {}},
      {"4x4 screen by columns", CalculateCornerLayoutColumnBased, 4, 4, 5, 2, 0, 0, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunCorner(c.fn, c.W, c.H, c.N, c.k, c.gx, c.gy), c.expected) << c.what;
  }
}

TEST(LayoutCalculators, DegenerateAspectsEnd) {
  // An aspect of 0 makes every cell infinitely tall: no row fits, and the search ends when the
  // columns get under a pixel wide. A negative or NaN aspect fails at once.
  for (float ar : {0.0f, -1.0f, -16.0f / 9.0f, __builtin_nanf("")}) {
    int w = -1, h = -1, rows = -1, cols = -1, rest = -1;
    EXPECT_FALSE(CalculateUniformLayoutSmart(1280, 720, 4, ar, 0, 0, 1, 1, 1280, 720, &w, &h, &rows,
                                             &cols, &rest))
        << ar;
    int bw, bh, sw, sh, a, b, c, d;
    EXPECT_FALSE(
        CalculateTopLayoutSmart(1280, 720, 4, ar, 0, 0, 1, 1, &bw, &bh, &sw, &sh, &a, &b, &c))
        << ar;
    EXPECT_FALSE(
        CalculateLeftLayoutSmart(1280, 720, 4, ar, 0, 0, 1, 1, &bw, &bh, &sw, &sh, &a, &b, &c))
        << ar;
    EXPECT_FALSE(CalculateCornerLayoutSmart(1280, 720, 4, ar, 2, 0, 0, 1, 1, &bw, &bh, &sw, &sh, &a,
                                            &b, &c, &d))
        << ar;
  }
  // Null outputs are allowed everywhere.
  EXPECT_TRUE(CalculateUniformLayoutSmart(1280, 720, 4, kWide, 0, 0, 1, 1, 1280, 720, nullptr,
                                          nullptr, nullptr, nullptr, nullptr));
  EXPECT_TRUE(CalculateCornerLayoutSmart(1280, 720, 4, kWide, 2, 0, 0, 1, 1, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

}  // namespace
