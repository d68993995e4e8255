// The adaptive layout's pieces: the partition tree, the elastic line grid, and the search for
// the best grid on a 1280x720 screen.
#include "core/media/layout/adaptive_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::vector<SFloatRect>>;

float TotalArea(const Lines& lines) {
  float sum = 0.0f;
  for (const auto& line : lines) {
    for (const SFloatRect& r : line) sum += r.width * r.height;
  }
  return sum;
}

void ExpectSize(const SFloatRect& r, float width, float height, const std::string& what) {
  EXPECT_NEAR(r.width, width, 0.01f) << what;
  EXPECT_NEAR(r.height, height, 0.01f) << what;
}

TEST(AdaptiveLayout, PartitionsInAscendingOrder) {
  using P = std::vector<std::vector<uint16_t>>;
  EXPECT_EQ(CPartitionTree(4).GetPartitions(), (P{{1, 1, 1, 1}, {2, 1, 1}, {2, 2}, {3, 1}, {4}}));
  EXPECT_EQ(CPartitionTree(3).GetPartitions(), (P{{1, 1, 1}, {2, 1}, {3}}));
  EXPECT_EQ(CPartitionTree(1).GetPartitions(), (P{{1}}));
  EXPECT_EQ(CPartitionTree(0).GetPartitions(), P{});
  // The number of partitions of 10 is 42; every one sums to 10 and never increases.
  const P ten = CPartitionTree(10).GetPartitions();
  EXPECT_EQ(ten.size(), 42u);
  for (const auto& p : ten) {
    int sum = 0;
    for (size_t i = 0; i < p.size(); ++i) {
      sum += p[i];
      if (i > 0) EXPECT_LE(p[i], p[i - 1]);
    }
    EXPECT_EQ(sum, 10);
  }
}

TEST(AdaptiveLayout, GridSizesAndScaling) {
  CAdaptiveGrid grid({{SFloatRect(2, 1), SFloatRect(3, 2)}, {SFloatRect(4, 1)}});
  // Width: the widest line (2 + 3); height: the sum of the line heights (2 + 1).
  ExpectSize(grid.GetSize(), 5, 3, "grid");
  EXPECT_FLOAT_EQ(grid.GetSize().aspect, 5.0f / 3.0f);
  grid.Scale(2);
  ExpectSize(grid.GetSize(), 10, 6, "scaled");
  ExpectSize(grid.GetRects()[0][1], 6, 4, "scaled rect");

  SFloatRect r(3, 4);
  EXPECT_FLOAT_EQ(r.aspect, 0.75f);
  r.Scale(2);
  EXPECT_FLOAT_EQ(r.aspect, 0.75f);
  r.width = 8;
  r.CalcAR();
  EXPECT_FLOAT_EQ(r.aspect, 1.0f);
  EXPECT_EQ(SFloatRect().width, 0.0f);
  EXPECT_EQ(SFloatRect().aspect, 0.0f);
}

TEST(AdaptiveLayout, ExpansionGrowsTheSmallerPartsUntilTheyMatch) {
  // A square beside a rectangle twice as tall: to fill 4 wide the square may grow until it is
  // as tall as the line (factor 2), not until the free width is used (factor 3).
  CAdaptiveGrid::CLine line({SFloatRect(1, 1), SFloatRect(1, 2)});
  line.ExpandToWidth(4);
  ExpectSize(line.Rects()[0], 2, 2, "grown square");
  ExpectSize(line.Size(), 3, 2, "line");

  // A narrow line under a wide one grows to the grid's width; the height left over stays.
  CAdaptiveGrid grid({{SFloatRect(2, 1)}, {SFloatRect(1, 1)}});
  grid.ExpandToHeight(4);
  ExpectSize(grid.GetRects()[1][0], 2, 2, "grown line");
  ExpectSize(grid.GetSize(), 2, 3, "grid");

  // The free height is the limit here: 1 of the 3 is left for the narrow line.
  CAdaptiveGrid tight({{SFloatRect(4, 2)}, {SFloatRect(1, 0.5f)}});
  tight.ExpandToHeight(3);
  ExpectSize(tight.GetRects()[1][0], 2, 1, "line limited by the free height");
  ExpectSize(tight.GetSize(), 4, 3, "tight grid");
}

TEST(AdaptiveLayout, ExpansionEndsOnShapesThatCannotGrow) {
  // An aspect of 0 is a rectangle without width and of infinite height; a zero rectangle cannot
  // be scaled to anything. Both must come back rather than loop.
  EXPECT_EQ(ComputeRectGridByAspectRatiosGrid(1280, 720, {{0.0f}}).size(), 1u);
  EXPECT_EQ(ComputeRectGridByAspectRatiosGrid(1280, 720, {{0.0f, 1.0f}, {-1.0f}}).size(), 2u);
  CAdaptiveGrid::CLine line({SFloatRect(100, 100), SFloatRect(0, 0)});
  line.ExpandToWidth(300);
  CAdaptiveGrid grid({{SFloatRect(100, 100)}, {SFloatRect(0, 0)}});
  grid.ExpandToRect(SFloatRect(1280, 720));
  // No room left for the short rectangle: it is scaled to nothing and the line ends at the
  // target width.
  CAdaptiveGrid::CLine full({SFloatRect(100, 100), SFloatRect(50, 50)});
  full.ExpandToWidth(100);
  ExpectSize(full.Size(), 100, 100, "full line");
}

TEST(AdaptiveLayout, FitsUnitRectanglesToTheTarget) {
  // Two 16/9 windows in one line: 1280 wide, so 640x360 each.
  const Lines row = ComputeRectGridByAspectRatiosGrid(1280, 720, {{16.0f / 9, 16.0f / 9}});
  ASSERT_EQ(row.size(), 1u);
  ExpectSize(row[0][0], 640, 360, "left");
  ExpectSize(row[0][1], 640, 360, "right");
  // A 16/9 and a 4/3 window in a line: the unit rectangles (4/3 x 3/4 and sqrt(4/3) x
  // 1/sqrt(4/3)) are scaled by s until the line meets the width; the line is then as wide as the
  // target, so the lower window does not grow to the line's height.
  const Lines mixed = ComputeRectGridByAspectRatiosGrid(1280, 720, {{16.0f / 9, 4.0f / 3}});
  const double root = std::sqrt(4.0 / 3.0);
  const double s = 1280.0 / (4.0 / 3.0 + root);
  ExpectSize(mixed[0][0], static_cast<float>(s * 4 / 3), static_cast<float>(s * 3 / 4), "16/9");
  ExpectSize(mixed[0][1], static_cast<float>(s * root), static_cast<float>(s / root), "4/3");
}

TEST(AdaptiveLayout, TwoWideWindowsStackAsRows) {
  std::vector<int> order = {7, 7};
  bool transposed = true;
  const Lines best = ComputeBestGrid(1280, 720, 0, 0, {16.0f / 9, 16.0f / 9}, &order, &transposed);
  // The first candidate, two lines of one window as rows, fills the height: 640x360 each.
  ASSERT_EQ(best.size(), 2u);
  ASSERT_EQ(best[0].size(), 1u);
  ASSERT_EQ(best[1].size(), 1u);
  ExpectSize(best[0][0], 640, 360, "first");
  ExpectSize(best[1][0], 640, 360, "second");
  EXPECT_FLOAT_EQ(TotalArea(best), 460800.0f);
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
  EXPECT_FALSE(transposed);
  // The one-line candidate reaches the same area and does not replace it.
  EXPECT_FLOAT_EQ(TotalArea(ComputeRectGridByAspectRatiosGrid(1280, 720, {{16.0f / 9, 16.0f / 9}})),
                  460800.0f);
}

TEST(AdaptiveLayout, TwoTallWindowsStandAsColumns) {
  std::vector<int> order;
  bool transposed = false;
  const Lines best = ComputeBestGrid(1280, 720, 0, 0, {9.0f / 16, 9.0f / 16}, &order, &transposed);
  // As rows each would be 202.5x360; as columns each is 405x720, given back the right way up.
  EXPECT_TRUE(transposed);
  ASSERT_EQ(best.size(), 2u);
  ExpectSize(best[0][0], 405, 720, "first column");
  ExpectSize(best[1][0], 405, 720, "second column");
  EXPECT_NEAR(best[0][0].aspect, 9.0f / 16, 0.001f);
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
}

TEST(AdaptiveLayout, OneWindowMeetsTheWidthOrTheHeight) {
  std::vector<int> order;
  bool transposed = false;
  Lines best = ComputeBestGrid(1280, 720, 0, 0, {4.0f / 3}, &order, &transposed);
  ASSERT_EQ(best.size(), 1u);
  ExpectSize(best[0][0], 960, 720, "4/3 meets the height");
  best = ComputeBestGrid(1280, 720, 0, 0, {2.0f}, &order, &transposed);
  ASSERT_EQ(best.size(), 1u);
  ExpectSize(best[0][0], 1280, 640, "2/1 meets the width");
  // Gaps: the room is 1280 − 2·10 by 720 − 2·20.
  best = ComputeBestGrid(1280, 720, 10, 20, {2.0f}, &order, &transposed);
  ASSERT_EQ(best.size(), 1u);
  ExpectSize(best[0][0], 1260, 630, "with gaps");
}

TEST(AdaptiveLayout, MixedWindowsStayWithinTheRoomAndComparable) {
  std::vector<int> order;
  bool transposed = false;
  const std::vector<float> aspects = {16.0f / 9, 4.0f / 3, 9.0f / 16, 1.0f, 16.0f / 9};
  const Lines best = ComputeBestGrid(1280, 720, 4, 4, aspects, &order, &transposed);
  ASSERT_FALSE(best.empty());
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2, 3, 4}));
  float smallest = 1e30f;
  float largest = 0.0f;
  size_t k = 0;
  for (const auto& line : best) {
    for (const SFloatRect& r : line) {
      smallest = std::min(smallest, r.width * r.height);
      largest = std::max(largest, r.width * r.height);
      // Each size keeps the aspect of the window it belongs to.
      EXPECT_NEAR(r.width / r.height, aspects[static_cast<size_t>(order[k++])], 0.01f);
    }
  }
  EXPECT_GT(smallest / largest, 0.5f);
  EXPECT_LE(TotalArea(best), 1280.0f * 720.0f);
}

TEST(AdaptiveLayout, NothingUsableGivesNothing) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> inputs = {
      {}, {0.0f}, {1.0f, 0.0f}, {-1.0f}, {inf}, {std::nanf("")}, {1.0f, -16.0f / 9}};
  for (const auto& aspects : inputs) {
    std::vector<int> order = {9, 9, 9};
    bool transposed = true;
    EXPECT_TRUE(ComputeBestGrid(1280, 720, 0, 0, aspects, &order, &transposed).empty());
    std::vector<int> identity(aspects.size());
    for (size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<int>(i);
    EXPECT_EQ(order, identity);
    EXPECT_FALSE(transposed);
  }
  // No room: every candidate is empty of area.
  std::vector<int> order;
  EXPECT_TRUE(ComputeBestGrid(0, 0, 0, 0, {1.0f, 1.0f}, &order, nullptr).empty());
  EXPECT_TRUE(ComputeBestGrid(100, 100, 200, 200, {1.0f}, &order, nullptr).empty());
}

TEST(AdaptiveLayout, PrintDebugWritesEachLine) {
  CAdaptiveGrid grid({{SFloatRect(640, 360)}, {SFloatRect(1.5f, 2.25f), SFloatRect(3, 4)}});
  testing::internal::CaptureStdout();
  grid.PrintDebug();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ <640.00 x 360.00> ]\n[ <1.50 x 2.25> <3.00 x 4.00> ]\n");
}

}  // namespace

namespace {

TEST(AdaptiveLayout, CandidatesWithoutRoomAreSkipped) {
  // Two windows on 16x9 with gaps 4: two rows would leave 9 − 3·4 < 0 of height, which scaled
  // would give negative sizes with positive areas. Only one row of two fits (room 16 − 3·4 by
  // 9 − 2·4), or two columns (room 9 − 2·4 = 1 by 16 − 3·4 = 4).
  std::vector<int> order;
  bool transposed = false;
  const Lines best = ComputeBestGrid(16, 9, 4, 4, {16.0f / 9, 16.0f / 9}, &order, &transposed);
  ASSERT_FALSE(best.empty());
  float across = 0.0f;
  for (const auto& line : best) {
    float thickness = 0.0f;
    for (const SFloatRect& r : line) {
      EXPECT_GT(r.width, 0.0f);
      EXPECT_GT(r.height, 0.0f);
      thickness = std::max(thickness, transposed ? r.width : r.height);
    }
    across += thickness;
  }
  EXPECT_LE(across + 4.0f * static_cast<float>(best.size() + 1), transposed ? 16.01f : 9.01f);
}

}  // namespace
