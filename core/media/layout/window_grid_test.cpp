// The window grid as the conference screen drives it: Init with the screen and the streams'
// aspect, one window per stream named by its index, a priority window, a layout type and gaps,
// then the rectangles read back. Expected rectangles are worked out by hand from the layout
// steps; larger window counts are checked by their properties.
#include "core/media/layout/window_grid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Found by argument-dependent lookup, so it lives beside the type's namespace (the global one).
std::ostream& operator<<(std::ostream& os, const HX_WindowGrid::sRect& r) {
  return os << "(" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom << ")";
}

namespace {

using Grid = HX_WindowGrid;
using Rect = HX_WindowGrid::sRect;

constexpr float kWide = 16.0f / 9.0f;

std::vector<Rect> Rects(const std::vector<Grid::sOneWindow>& windows) {
  std::vector<Rect> out;
  for (const auto& w : windows) out.push_back(w.rect);
  return out;
}

bool IsZero(const Rect& r) { return r == Rect{}; }

bool Overlap(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

void AddWindows(Grid* grid, int n) {
  for (int i = 0; i < n; ++i) ASSERT_EQ(grid->AddWindow(std::to_string(i), 0), 0);
}

TEST(WindowGrid, UniformGridOfFourAndOfThree) {
  Grid grid;
  ASSERT_EQ(grid.Init(1280, 720, kWide), 0);
  AddWindows(&grid, 4);
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{
                {0, 0, 640, 360}, {640, 0, 1280, 360}, {0, 360, 640, 720}, {640, 360, 1280, 720}}));
  EXPECT_TRUE(grid.IsValidGrid());
  // Removing one invalidates; the third window is centred under the first row.
  ASSERT_EQ(grid.RemoveWindow("3"), 0);
  EXPECT_FALSE(grid.IsValidGrid());
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{{0, 0, 640, 360}, {640, 0, 1280, 360}, {320, 360, 960, 720}}));
  // Five: a row of three 426x240 cells (x0 = (1280 − 1278) / 2 = 1), a centred row of two
  // (left = 1 + (1280 − 2 − 852) / 2 = 214), rows centred vertically: y0 = (720 − 480) / 2.
  grid.AddWindow("3", 0);
  grid.AddWindow("4", 0);
  EXPECT_EQ(Rects(grid.GetAllWindows()), (std::vector<Rect>{{1, 120, 427, 360},
                                                            {427, 120, 853, 360},
                                                            {853, 120, 1279, 360},
                                                            {214, 360, 640, 600},
                                                            {640, 360, 1066, 600}}));
  EXPECT_EQ(grid.GetWindow("4").rect, (Rect{640, 360, 1066, 600}));
  EXPECT_EQ(grid.GetWindow("4").name, "4");
  EXPECT_EQ(grid.GetWindow("4").priority, 0);
}

TEST(WindowGrid, WindowListOperations) {
  Grid grid;
  grid.Init(1280, 720, kWide);
  // Without windows every per-name operation fails.
  EXPECT_EQ(grid.SetP1("0"), -1);
  EXPECT_EQ(grid.SetP2("0", "1"), -1);
  EXPECT_EQ(grid.SetUserAspectRatio("0", 1.0f), -1);
  EXPECT_EQ(grid.Swap("0", "1"), -1);

  ASSERT_EQ(grid.AddWindow("a", 0), 0);
  ASSERT_EQ(grid.AddWindow("b", 4.0f / 3), 0);
  EXPECT_EQ(grid.AddWindow("a", 1.0f), -1);
  auto windows = grid.GetAllWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_FLOAT_EQ(windows[0].aspect, kWide);  // 0 takes the grid's aspect
  EXPECT_FLOAT_EQ(windows[1].aspect, 4.0f / 3);

  ASSERT_EQ(grid.SetP1("b"), 0);
  EXPECT_EQ(grid.GetWindow("b").priority, 1);
  EXPECT_EQ(grid.SetP1("nobody"), -1);
  EXPECT_EQ(grid.GetWindow("b").priority, 1);
  EXPECT_EQ(grid.GetWindow("a").priority, 0);

  EXPECT_EQ(grid.SetP2("a", "a"), -1);
  EXPECT_EQ(grid.SetP2("a", "nobody"), -1);
  EXPECT_EQ(grid.GetWindow("b").priority, 1);
  ASSERT_EQ(grid.SetP2("a", "b"), 0);
  EXPECT_EQ(grid.GetWindow("a").priority, 1);
  ASSERT_EQ(grid.SetP0(), 0);
  EXPECT_EQ(grid.GetWindow("a").priority, 0);
  EXPECT_EQ(grid.GetWindow("b").priority, 0);

  EXPECT_EQ(grid.SetUserAspectRatio("nobody", 1.0f), -1);
  ASSERT_EQ(grid.SetUserAspectRatio("a", 1.0f), 0);
  EXPECT_FLOAT_EQ(grid.GetWindow("a").aspect, 1.0f);

  const Grid::sOneWindow unknown = grid.GetWindow("nobody");
  EXPECT_EQ(unknown.priority, -1);
  EXPECT_EQ(unknown.name, "");
  EXPECT_TRUE(IsZero(unknown.rect));
  EXPECT_EQ(unknown.aspect, 0.0f);

  // A record made from a rectangle takes its shape as the aspect.
  EXPECT_FLOAT_EQ(Grid::sOneWindow("r", Rect{0, 0, 640, 480}).aspect, 4.0f / 3);
  EXPECT_EQ(Grid::sOneWindow("r", Rect{0, 0, 640, 0}).aspect, 0.0f);

  int w = 0, h = 0;
  grid.GetMainWindowSize(&w, &h);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
  ASSERT_EQ(grid.SetPriorityLayoutType(Grid::ePriorityBottom), 0);
  EXPECT_EQ(grid.GetPriorityLayoutType(), Grid::ePriorityBottom);
  ASSERT_EQ(grid.SetLayoutAlgorithm(Grid::eLayoutAdaptive), 0);
  EXPECT_EQ(grid.GetLayoutAlgorithm(), Grid::eLayoutAdaptive);
  EXPECT_EQ(grid.SetPriorityLayoutType(static_cast<Grid::ePriorityLayoutType>(6)), -1);
  EXPECT_EQ(grid.GetPriorityLayoutType(), Grid::ePriorityBottom);
}

TEST(WindowGrid, UninitialisedGrid) {
  Grid grid;
  EXPECT_TRUE(grid.GetAllWindows().empty());
  EXPECT_EQ(grid.GetWindow("0").priority, -1);
  EXPECT_EQ(grid.UpdateGrid(), -1);
  EXPECT_EQ(grid.ComputeGrid(), -1);
  EXPECT_FALSE(grid.IsValidGrid());
  // Windows may be added before Init, but nothing is read back and Swap refuses.
  AddWindows(&grid, 2);
  EXPECT_TRUE(grid.GetAllWindows().empty());
  EXPECT_EQ(grid.Swap("0", "1"), -1);
  EXPECT_EQ(grid.SwapId("0", "1"), -1);
  // Init starts from an empty list; Release makes it uninitialised again.
  grid.Init(1280, 720, kWide);
  EXPECT_TRUE(grid.GetAllWindows().empty());
  AddWindows(&grid, 1);
  EXPECT_EQ(grid.UpdateGrid(), 0);
  EXPECT_TRUE(grid.IsValidGrid());
  grid.Release();
  EXPECT_FALSE(grid.IsValidGrid());
  EXPECT_TRUE(grid.GetAllWindows().empty());
  EXPECT_EQ(grid.UpdateGrid(), -1);
}

TEST(WindowGrid, AlignmentMovesEdgesUpAndCutsSizes) {
  // One 16/9 window on 646x366 with gaps 3 sits at (3,3)-(643,363). The adaptive layout places
  // it without the size multiples, so the alignment alone shapes the result.
  Grid grid;
  grid.Init(646, 366, kWide);
  ASSERT_EQ(grid.SetFrameInterval(3, 3), 0);
  ASSERT_EQ(grid.SetLayoutAlgorithm(Grid::eLayoutAdaptive), 0);
  AddWindows(&grid, 1);
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{3, 3, 643, 363}));
  // Multiples do not invalidate: the rectangle changes at the next computation.
  ASSERT_EQ(grid.SetWidowMultiplicity(16, 16), 0);
  ASSERT_EQ(grid.SetWindowOffsetMultiplicity(2, 2), 0);
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{3, 3, 643, 363}));
  ASSERT_EQ(grid.UpdateGrid(), 0);
  // Left and top up to 4; 643 − 4 = 639 cut to 624, 363 − 4 = 359 cut to 352.
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{4, 4, 628, 356}));
  // A multiple below 1 would divide by zero: refused, the old ones stay.
  EXPECT_EQ(grid.SetWidowMultiplicity(0, 16), -1);
  EXPECT_EQ(grid.SetWindowOffsetMultiplicity(2, 0), -1);
  EXPECT_EQ(grid.UpdateGrid(), 0);
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{4, 4, 628, 356}));
  // Negative gaps are refused too.
  EXPECT_EQ(grid.SetFrameInterval(-1, 0), -1);
  EXPECT_TRUE(grid.IsValidGrid());

  // The uniform grid rounds its cell with the size multiples first: 640x360 becomes 640x352,
  // centred at (3,7)-(643,359); aligned, (4,8) and 639 -> 624 by 351 -> 336.
  ASSERT_EQ(grid.SetLayoutAlgorithm(Grid::eLayoutUniform), 0);
  ASSERT_EQ(grid.UpdateGrid(), 0);
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{4, 8, 628, 344}));
}

TEST(WindowGrid, AlignmentNeverTurnsARectangleInsideOut) {
  // Sixteen windows in a 4x4 grid of 320x180. A position multiple of 1000 moves the left edge of
  // the second column from 320 to 1000, past its right edge at 640: the window keeps no width
  // rather than a negative one (cutting -360 to a multiple of 16 would give -352).
  Grid grid;
  grid.Init(1280, 720, kWide);
  AddWindows(&grid, 16);
  grid.SetWindowOffsetMultiplicity(1000, 1);
  grid.SetWidowMultiplicity(16, 1);
  grid.UpdateGrid();
  EXPECT_EQ(grid.GetWindow("1").rect, (Rect{1000, 0, 1000, 180}));
  // The first column stays, cut to 320 (a multiple of 16).
  EXPECT_EQ(grid.GetWindow("0").rect, (Rect{0, 0, 320, 180}));
  for (const auto& w : grid.GetAllWindows()) {
    EXPECT_LE(w.rect.left, w.rect.right) << w.name << " " << w.rect;
    EXPECT_LE(w.rect.top, w.rect.bottom) << w.name << " " << w.rect;
  }
}

TEST(WindowGrid, SwapShowsAtTheNextComputationAndSwapIdAtOnce) {
  Grid grid;
  grid.Init(1280, 720, kWide);
  AddWindows(&grid, 4);
  const std::vector<Rect> before = Rects(grid.GetAllWindows());
  ASSERT_EQ(grid.Swap("0", "3"), 0);
  auto windows = grid.GetAllWindows();
  // The records changed places with their old rectangles.
  EXPECT_EQ(windows[0].name, "3");
  EXPECT_EQ(windows[0].rect, before[3]);
  EXPECT_EQ(windows[3].name, "0");
  EXPECT_EQ(windows[3].rect, before[0]);
  // After an invalidating call the list order decides again: "3" now takes the first cell.
  grid.SetFrameInterval(0, 0);
  windows = grid.GetAllWindows();
  EXPECT_EQ(windows[0].name, "3");
  EXPECT_EQ(windows[0].rect, before[0]);
  EXPECT_EQ(grid.GetWindow("0").rect, before[3]);

  EXPECT_EQ(grid.Swap("0", "0"), -1);
  EXPECT_EQ(grid.Swap("0", "nobody"), -1);

  // SwapId exchanges only the names: "1" takes "2"'s rectangle at once, and its priority.
  grid.SetP1("2");
  const Rect oneRect = grid.GetWindow("1").rect;
  const Rect twoRect = grid.GetWindow("2").rect;
  ASSERT_EQ(grid.SwapId("1", "2"), 0);
  EXPECT_EQ(grid.GetWindow("1").rect, twoRect);
  EXPECT_EQ(grid.GetWindow("1").priority, 1);
  EXPECT_EQ(grid.GetWindow("2").rect, oneRect);
  EXPECT_EQ(grid.SwapId("1", "1"), -1);
}

struct LayoutCase {
  std::string what;
  int type;  // a priority layout type, or -2 for two priority windows
};

const std::vector<LayoutCase> kLayouts = {
    {"corner", Grid::ePriorityCorner},
    {"top", Grid::ePriorityTop},
    {"bottom", Grid::ePriorityBottom},
    {"left", Grid::ePriorityLeft},
    {"overlay", Grid::ePriorityOverlay},
    {"overlay corner", Grid::ePriorityOverlayCorner},
    {"two priorities", -2},
};

void MakeLayout(Grid* grid, int W, int H, int n, int type, int gap) {
  grid->Init(W, H, kWide);
  grid->SetFrameInterval(gap, gap);
  AddWindows(grid, n);
  if (type == -2) {
    grid->SetP2("0", "1");
  } else {
    grid->SetP1("0");
    grid->SetPriorityLayoutType(static_cast<Grid::ePriorityLayoutType>(type));
  }
}

TEST(WindowGrid, PriorityLayoutsOfFiveWindows) {
  // 1280x720, aspect 16/9, gaps 4; window "0" has the priority ("0" and "1" for two).
  const std::vector<std::vector<Rect>> expected = {
      // Corner: k = 2; the row-first search gives 417x234 cells in 3 rows and 3 columns, the
      // big window 838x472. Height used 472 + 8 + 1·238 = 718, so y0 = 1; x0 = (1280 − 838 −
      // 8 − 421) / 2 = 6. One column of two beside it, one row below.
      {{10, 5, 848, 477},
       {852, 5, 1269, 239},
       {852, 243, 1269, 477},
       {10, 481, 427, 715},
       {431, 481, 848, 715}},
      // Top: the big window 1009x568 in 80 % of the height, a partial row of four 248x140
      // below it. y0 = (720 − 568 − 8 − 144) / 2 = 0; big left 4 + (1280 − 1009 − 8) / 2 = 135;
      // the partial row starts at 12 + (1280 − 248 − 3·252 − 24) / 2 = 138, at top 568 + 8.
      {{135, 4, 1144, 572},
       {138, 576, 386, 716},
       {390, 576, 638, 716},
       {642, 576, 890, 716},
       {894, 576, 1142, 716}},
      // Bottom: the same sizes, the row at y0 + 4, the big window below at 144 + 4.
      {{135, 148, 1144, 716},
       {138, 4, 386, 144},
       {390, 4, 638, 144},
       {642, 4, 890, 144},
       {894, 4, 1142, 144}},
      // Left: the big window 1016x571 (80 % of the width), one column of four 252x141.
      // x0 = (1280 − 1016 − 8 − 256) / 2 = 0; the column at 1016 + 8, from
      // 4 + (720 − 4 − 4·145) / 2 = 72.
      {{4, 74, 1020, 645},
       {1024, 72, 1276, 213},
       {1024, 217, 1276, 358},
       {1024, 362, 1276, 503},
       {1024, 507, 1276, 648}},
      // Overlay: the big cell 1265x712 leaves f = 4 / 720 < 0.1, so it shrinks to 1138x640 and
      // the strip is 144: one partial row of four 241x136, on the big window's lower part.
      // X = 1284, x0 = (1284 − 5·245) / 2 = 29, the row from 29 + (1284 − 980 − 58) / 2 = 152
      // at 4 + 720 − 4 − 140.
      {{71, 4, 1209, 644},
       {152, 580, 393, 716},
       {397, 580, 638, 716},
       {642, 580, 883, 716},
       {887, 580, 1128, 716}},
      // Overlay corner: the big window 1265x712 centred ((1280 − 1265) / 2 + 4 = 11), the four
      // small ones on one rectangle of 1265 / 3 by 712 / 3 in the lower-left corner.
      {{11, 4, 1276, 716},
       {4, 483, 425, 720},
       {4, 483, 425, 720},
       {4, 483, 425, 720},
       {4, 483, 425, 720}},
      // Two priorities: the band for two windows in 2·720 / 3 is one row of 634x356, so
      // L = 4 + 360 = 364. The two in a 1280x364 grid (row-first 632x356), the three others in
      // a 1280x356 grid (column-first 421x237, y0 = 55) moved down by 364.
      {{6, 4, 638, 360},
       {642, 4, 1274, 360},
       {4, 423, 425, 660},
       {429, 423, 850, 660},
       {854, 423, 1275, 660}},
  };
  ASSERT_EQ(expected.size(), kLayouts.size());
  for (size_t i = 0; i < kLayouts.size(); ++i) {
    Grid grid;
    MakeLayout(&grid, 1280, 720, 5, kLayouts[i].type, 4);
    EXPECT_EQ(Rects(grid.GetAllWindows()), expected[i]) << kLayouts[i].what;
  }
}

TEST(WindowGrid, PriorityLayoutsKeepTheirProperties) {
  struct Alignment {
    int mw, mh, ox, oy;
  };
  for (const Alignment& a : {Alignment{1, 1, 1, 1}, Alignment{8, 4, 2, 2}}) {
    for (int n : {2, 5, 9}) {
      for (const LayoutCase& layout : kLayouts) {
        Grid grid;
        MakeLayout(&grid, 1280, 720, n, layout.type, 4);
        grid.SetWidowMultiplicity(a.mw, a.mh);
        grid.SetWindowOffsetMultiplicity(a.ox, a.oy);
        const auto windows = grid.GetAllWindows();
        const std::string what =
            layout.what + ", " + std::to_string(n) + " windows, multiples " + std::to_string(a.mw);
        ASSERT_EQ(windows.size(), static_cast<size_t>(n)) << what;
        std::vector<Rect> priority;
        std::vector<Rect> others;
        for (const auto& w : windows) {
          const Rect& r = w.rect;
          EXPECT_FALSE(IsZero(r)) << what << ": " << w.name;
          EXPECT_GE(r.left, 0) << what << ": " << w.name << " " << r;
          EXPECT_GE(r.top, 0) << what << ": " << w.name << " " << r;
          EXPECT_LE(r.right, 1280) << what << ": " << w.name << " " << r;
          EXPECT_LE(r.bottom, 720) << what << ": " << w.name << " " << r;
          EXPECT_LT(r.left, r.right) << what << ": " << w.name;
          EXPECT_LT(r.top, r.bottom) << what << ": " << w.name;
          EXPECT_EQ(r.left % a.ox, 0) << what << ": " << w.name;
          EXPECT_EQ(r.top % a.oy, 0) << what << ": " << w.name;
          EXPECT_EQ((r.right - r.left) % a.mw, 0) << what << ": " << w.name;
          EXPECT_EQ((r.bottom - r.top) % a.mh, 0) << what << ": " << w.name;
          (w.priority == 1 ? priority : others).push_back(r);
        }
        for (const auto* list : {&priority, &others}) {
          if (list == &others && layout.type == Grid::ePriorityOverlayCorner) continue;
          for (size_t i = 0; i < list->size(); ++i) {
            for (size_t j = i + 1; j < list->size(); ++j) {
              EXPECT_FALSE(Overlap((*list)[i], (*list)[j]))
                  << what << ": " << (*list)[i] << " and " << (*list)[j];
            }
          }
        }
        // Beside the overlays, the big window and the small ones do not overlap either.
        if (layout.type != Grid::ePriorityOverlay && layout.type != Grid::ePriorityOverlayCorner) {
          for (const Rect& p : priority) {
            for (const Rect& o : others) EXPECT_FALSE(Overlap(p, o)) << what << ": " << p << o;
          }
        }
      }
    }
  }
}

TEST(WindowGrid, PortraitTopLayoutWithFewerWindowsThanColumns) {
  // Two windows on a 720x1280 screen, gaps 4. The big window is 712x400; the small cell comes
  // from the column-first search, which stops at three columns of 234x132 for one window: one
  // full row of one and no partial row. y0 = (1280 − 400 − 8 − 136) / 2 = 368; the big window
  // at 4 + (720 − 712 − 8) / 2 = 4; the small one centred at (720 − 234) / 2 = 243 below it.
  const std::vector<Rect> expected = {{4, 372, 716, 772}, {243, 776, 477, 908}};
  for (int type : {Grid::ePriorityTop, Grid::ePriorityOverlay}) {
    Grid grid;
    MakeLayout(&grid, 720, 1280, 2, type, 4);
    // The overlay's small window would not reach the big one (400 + 132 + 12 < 1280): it
    // takes the top layout.
    EXPECT_EQ(Rects(grid.GetAllWindows()), expected) << type;
  }
  // Without gaps: 720x405 and 240x135, y0 = (1280 − 405 − 135) / 2 = 370.
  for (int type : {Grid::ePriorityTop, Grid::ePriorityOverlay}) {
    Grid grid;
    MakeLayout(&grid, 720, 1280, 2, type, 0);
    EXPECT_EQ(Rects(grid.GetAllWindows()),
              (std::vector<Rect>{{0, 370, 720, 775}, {240, 775, 480, 910}}))
        << type;
  }
}

TEST(WindowGrid, OneWindowWithPriorityFillsTheScreen) {
  for (const LayoutCase& layout : kLayouts) {
    if (layout.type == -2) continue;
    Grid grid;
    MakeLayout(&grid, 1280, 720, 1, layout.type, 0);
    EXPECT_EQ(grid.GetWindow("0").rect, (Rect{0, 0, 1280, 720})) << layout.what;
  }
  Grid grid;
  MakeLayout(&grid, 1280, 720, 2, -2, 0);
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{{0, 180, 640, 540}, {640, 180, 1280, 540}}));
}

TEST(WindowGrid, AdaptiveLayoutPlacesTheSearchResult) {
  Grid grid;
  grid.Init(1280, 720, kWide);
  ASSERT_EQ(grid.SetLayoutAlgorithm(Grid::eLayoutAdaptive), 0);
  // Setting the algorithm does not invalidate.
  grid.AddWindow("a", 0);
  grid.AddWindow("b", 0);
  // Two rows of one 640x360 window, centred horizontally.
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{{320, 0, 960, 360}, {320, 360, 960, 720}}));
  // Two tall windows: two columns of 405x720, moved right by (1280 − 810) / 2.
  grid.SetUserAspectRatio("a", 9.0f / 16);
  grid.SetUserAspectRatio("b", 9.0f / 16);
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{{235, 0, 640, 720}, {640, 0, 1045, 720}}));
  // An unusable aspect: the search finds nothing and the windows keep their rectangles.
  grid.SetUserAspectRatio("a", 0.0f);
  EXPECT_EQ(Rects(grid.GetAllWindows()),
            (std::vector<Rect>{{235, 0, 640, 720}, {640, 0, 1045, 720}}));
  EXPECT_TRUE(grid.IsValidGrid());
  grid.SetUserAspectRatio("a", -1.0f);
  EXPECT_EQ(grid.GetWindow("a").rect, (Rect{235, 0, 640, 720}));
  // Gaps and mixed windows: every window inside the screen, none overlapping.
  grid.SetUserAspectRatio("a", kWide);
  grid.AddWindow("c", 4.0f / 3);
  grid.AddWindow("d", 1.0f);
  grid.SetFrameInterval(4, 4);
  const auto windows = grid.GetAllWindows();
  for (size_t i = 0; i < windows.size(); ++i) {
    const Rect& r = windows[i].rect;
    EXPECT_FALSE(IsZero(r)) << windows[i].name;
    EXPECT_GE(r.left, 0);
    EXPECT_GE(r.top, 0);
    EXPECT_LE(r.right, 1280);
    EXPECT_LE(r.bottom, 720);
    for (size_t j = i + 1; j < windows.size(); ++j) EXPECT_FALSE(Overlap(r, windows[j].rect));
  }
}

void ExpectInsideOrEmpty(Grid* grid, int W, int H, const std::string& what) {
  for (const auto& w : grid->GetAllWindows()) {
    const Rect& r = w.rect;
    if (IsZero(r)) continue;
    EXPECT_GE(r.left, 0) << what << ": " << w.name << " " << r;
    EXPECT_GE(r.top, 0) << what << ": " << w.name << " " << r;
    EXPECT_LE(r.right, W) << what << ": " << w.name << " " << r;
    EXPECT_LE(r.bottom, H) << what << ": " << w.name << " " << r;
    EXPECT_LE(r.left, r.right) << what << ": " << w.name << " " << r;
    EXPECT_LE(r.top, r.bottom) << what << ": " << w.name << " " << r;
  }
}

TEST(WindowGrid, DegenerateInputsEnd) {
  struct Screen {
    int W, H, gap;
  };
  const std::vector<Screen> screens = {{0, 0, 0},        {1, 1, 0},         {16, 9, 0}, {16, 9, 4},
                                       {1280, 720, 700}, {1280, 720, 2000}, {-5, -5, 0}};
  std::vector<int> types = {-1, -2, -3};  // uniform, two priorities, adaptive
  for (const LayoutCase& layout : kLayouts) {
    if (layout.type >= 0) types.push_back(layout.type);
  }
  for (const Screen& s : screens) {
    for (int type : types) {
      for (int n : {0, 1, 2, 5}) {
        Grid grid;
        grid.Init(s.W, s.H, kWide);
        grid.SetFrameInterval(s.gap, s.gap);
        AddWindows(&grid, n);
        if (type == -3) {
          grid.SetLayoutAlgorithm(Grid::eLayoutAdaptive);
        } else if (type == -2) {
          grid.SetP2("0", "1");
        } else if (type >= 0) {
          grid.SetP1("0");
          grid.SetPriorityLayoutType(static_cast<Grid::ePriorityLayoutType>(type));
        }
        ExpectInsideOrEmpty(&grid, s.W, s.H,
                            std::to_string(s.W) + "x" + std::to_string(s.H) + " gap " +
                                std::to_string(s.gap) + " type " + std::to_string(type) + " n " +
                                std::to_string(n));
      }
    }
  }
}

TEST(WindowGrid, HundredWindowsInEveryLayout) {
  std::vector<int> types = {-1, -2};
  for (const LayoutCase& layout : kLayouts) {
    if (layout.type >= 0) types.push_back(layout.type);
  }
  for (int type : types) {
    Grid grid;
    grid.Init(1280, 720, kWide);
    grid.SetFrameInterval(4, 4);
    AddWindows(&grid, 100);
    if (type == -2) {
      grid.SetP2("0", "1");
    } else if (type >= 0) {
      grid.SetP1("0");
      grid.SetPriorityLayoutType(static_cast<Grid::ePriorityLayoutType>(type));
    }
    ExpectInsideOrEmpty(&grid, 1280, 720, "type " + std::to_string(type));
    if (type == -1) {
      // The uniform grid lays out all of them.
      for (const auto& w : grid.GetAllWindows()) EXPECT_FALSE(IsZero(w.rect)) << w.name;
    }
  }
}

TEST(WindowGrid, DegenerateAspectsLayOutNothing) {
  for (float aspect : {0.0f, -1.0f, -kWide}) {
    for (int type : {-1, -3, static_cast<int>(Grid::ePriorityTop)}) {
      // Given to Init.
      Grid grid;
      grid.Init(1280, 720, aspect);
      if (type == -3) grid.SetLayoutAlgorithm(Grid::eLayoutAdaptive);
      AddWindows(&grid, 3);
      if (type >= 0) {
        grid.SetP1("0");
        grid.SetPriorityLayoutType(static_cast<Grid::ePriorityLayoutType>(type));
      }
      for (const auto& w : grid.GetAllWindows()) EXPECT_TRUE(IsZero(w.rect)) << aspect;
      // Given to SetAspectRatio after a good layout: the uniform and priority layouts have
      // nothing to lay out.
      Grid later;
      later.Init(1280, 720, kWide);
      AddWindows(&later, 3);
      later.GetAllWindows();
      later.SetAspectRatio(aspect);
      for (const auto& w : later.GetAllWindows()) EXPECT_TRUE(IsZero(w.rect)) << aspect;
      // Given to one window of the adaptive layout: the others' shapes alone cannot be placed
      // without it, so the windows keep what they had.
      Grid adaptive;
      adaptive.Init(1280, 720, kWide);
      adaptive.SetLayoutAlgorithm(Grid::eLayoutAdaptive);
      AddWindows(&adaptive, 3);
      const auto before = Rects(adaptive.GetAllWindows());
      ASSERT_EQ(adaptive.SetUserAspectRatio("1", aspect), 0);
      EXPECT_EQ(Rects(adaptive.GetAllWindows()), before) << aspect;
    }
  }
}

}  // namespace
