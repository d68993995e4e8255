#include "core/media/layout/window_grid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "core/media/layout/adaptive_layout.h"
#include "core/media/layout/layout_calculators.h"

namespace {

using Rect = HX_WindowGrid::sRect;

int32_t Clamp32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Positions are worked out in 64 bits and only narrowed here, so a large screen or gap cannot
// wrap a coordinate around.
Rect MakeRect(int64_t left, int64_t top, int64_t width, int64_t height) {
  return Rect{Clamp32(left), Clamp32(top), Clamp32(left + width), Clamp32(top + height)};
}

int TruncSize(float value) {
  if (!(value == value) || value <= 0.0f) return 0;
  if (value >= 2147483647.0f) return INT_MAX;
  return static_cast<int>(value);
}

// Begins a layout with priority windows: both lists emptied; when there are no more than `most`
// windows, the uniform grid lays them all out as priority windows and the layout is done (true).
bool LaidOutWithoutOthers(const HX_WindowGrid& grid, int W, int H, int N, int most,
                          std::vector<Rect>* priority, std::vector<Rect>* others) {
  priority->clear();
  others->clear();
  if (N > most) return false;
  *priority = grid.GetMuxerGrid(W, H, N);
  return true;
}

}  // namespace

struct HX_WindowGrid::Cells {
  int cellW = 0;
  int cellH = 0;
  int rows = 0;
  int cols = 0;
  int rest = 0;
};

bool HX_WindowGrid::UniformCells(int W, int H, int N, int maxW, int maxH, Cells* cells) const {
  return CalculateUniformLayoutSmart(W, H, N, aspect_, gap_x_, gap_y_, multiple_w_, multiple_h_,
                                     maxW, maxH, &cells->cellW, &cells->cellH, &cells->rows,
                                     &cells->cols, &cells->rest);
}

HX_WindowGrid::sOneWindow::sOneWindow(const std::string& windowName, const sRect& windowRect)
    : priority(0), name(windowName), rect(windowRect) {
  const int64_t width = int64_t{windowRect.right} - windowRect.left;
  const int64_t height = int64_t{windowRect.bottom} - windowRect.top;
  aspect = height != 0 ? static_cast<float>(width) / static_cast<float>(height) : 0.0f;
}

HX_WindowGrid::~HX_WindowGrid() { RemoveAll(); }

int HX_WindowGrid::Init(int width, int height, float aspect) {
  windows_.clear();
  screen_width_ = width;
  screen_height_ = height;
  aspect_ = aspect;
  initialised_ = true;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::Release() {
  windows_.clear();
  initialised_ = false;
  return 0;
}

int HX_WindowGrid::RemoveAll() {
  windows_.clear();
  return 0;
}

int HX_WindowGrid::SetScreenSize(int width, int height) {
  screen_width_ = width;
  screen_height_ = height;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetAspectRatio(float aspect) {
  aspect_ = aspect;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetFrameInterval(int gx, int gy) {
  if (gx < 0 || gy < 0) return -1;
  gap_x_ = gx;
  gap_y_ = gy;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetPriorityLayoutType(ePriorityLayoutType type) {
  if (type < ePriorityCorner || type > ePriorityBottom) return -1;
  priority_layout_type_ = type;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetWidowMultiplicity(int mw, int mh) {
  // A multiple of 0 would divide by zero when the rectangles are aligned.
  if (mw < 1 || mh < 1) return -1;
  multiple_w_ = mw;
  multiple_h_ = mh;
  return 0;
}

int HX_WindowGrid::SetWindowOffsetMultiplicity(int ox, int oy) {
  if (ox < 1 || oy < 1) return -1;
  offset_x_ = ox;
  offset_y_ = oy;
  return 0;
}

int HX_WindowGrid::SetLayoutAlgorithm(eLayoutAlgorithm algorithm) {
  if (algorithm != eLayoutUniform && algorithm != eLayoutAdaptive) return -1;
  layout_algorithm_ = algorithm;
  return 0;
}

void HX_WindowGrid::GetMainWindowSize(int* width, int* height) const {
  if (width != nullptr) *width = screen_width_;
  if (height != nullptr) *height = screen_height_;
}

int HX_WindowGrid::FindWindow(const std::string& name) const {
  for (size_t i = 0; i < windows_.size(); ++i) {
    if (windows_[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int HX_WindowGrid::AddWindow(const std::string& name, float aspect) {
  if (FindWindow(name) >= 0) return -1;
  sOneWindow window;
  window.priority = 0;
  window.name = name;
  window.aspect = aspect == 0.0f ? aspect_ : aspect;
  windows_.push_back(std::move(window));
  valid_ = false;
  return 0;
}

int HX_WindowGrid::RemoveWindow(const std::string& name) {
  const int index = FindWindow(name);
  if (index >= 0) windows_.erase(windows_.begin() + index);
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetUserAspectRatio(const std::string& name, float aspect) {
  const int index = FindWindow(name);
  if (index < 0) return -1;
  windows_[static_cast<size_t>(index)].aspect = aspect;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetP0() {
  for (sOneWindow& w : windows_) w.priority = 0;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetP1(const std::string& name) {
  const int index = FindWindow(name);
  if (index < 0) return -1;
  for (sOneWindow& w : windows_) w.priority = 0;
  windows_[static_cast<size_t>(index)].priority = 1;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::SetP2(const std::string& name1, const std::string& name2) {
  const int first = FindWindow(name1);
  const int second = FindWindow(name2);
  if (first < 0 || second < 0 || first == second) return -1;
  for (sOneWindow& w : windows_) w.priority = 0;
  windows_[static_cast<size_t>(first)].priority = 1;
  windows_[static_cast<size_t>(second)].priority = 1;
  valid_ = false;
  return 0;
}

int HX_WindowGrid::Swap(const std::string& name1, const std::string& name2) {
  if (!initialised_) return -1;
  const int first = FindWindow(name1);
  const int second = FindWindow(name2);
  if (first < 0 || second < 0 || first == second) return -1;
  std::swap(windows_[static_cast<size_t>(first)], windows_[static_cast<size_t>(second)]);
  return 0;
}

int HX_WindowGrid::SwapId(const std::string& name1, const std::string& name2) {
  if (!initialised_) return -1;
  const int first = FindWindow(name1);
  const int second = FindWindow(name2);
  if (first < 0 || second < 0 || first == second) return -1;
  std::swap(windows_[static_cast<size_t>(first)].name, windows_[static_cast<size_t>(second)].name);
  return 0;
}

void HX_WindowGrid::Align(sRect* rect) const {
  const int left = MakeMultipleUp(rect->left, offset_x_);
  const int top = MakeMultipleUp(rect->top, offset_y_);
  // Moving a narrow rectangle's edge up past its other edge leaves no width, not a negative one.
  const int width = Clamp32(std::max<int64_t>(0, int64_t{rect->right} - left));
  const int height = Clamp32(std::max<int64_t>(0, int64_t{rect->bottom} - top));
  *rect = MakeRect(left, top, MakeMultiple(width, multiple_w_), MakeMultiple(height, multiple_h_));
}

int HX_WindowGrid::ComputeGrid() {
  if (!initialised_ && windows_.empty()) return -1;
  const int W = screen_width_;
  const int H = screen_height_;
  const int N = static_cast<int>(std::min<size_t>(windows_.size(), INT_MAX));
  std::vector<size_t> priorityIndices;
  std::vector<size_t> otherIndices;
  for (size_t i = 0; i < windows_.size(); ++i) {
    (windows_[i].priority == 1 ? priorityIndices : otherIndices).push_back(i);
  }

  std::vector<sRect> priorityRects;
  std::vector<sRect> otherRects;
  if (priorityIndices.size() == 2) {
    GetMuxerGridPriorityTwo(W, H, N, &priorityRects, &otherRects);
  } else if (priorityIndices.size() == 1) {
    switch (priority_layout_type_) {
      case ePriorityCorner:
        GetMuxerGridPriorityOne_TYPE1(W, H, N, &priorityRects, &otherRects);
        break;
      case ePriorityTop:
        GetMuxerGridPriorityOne_TYPE2(W, H, N, &priorityRects, &otherRects);
        break;
      case ePriorityBottom:
        GetMuxerGridPriorityOne_Bottom(W, H, N, &priorityRects, &otherRects);
        break;
      case ePriorityLeft:
        GetMuxerGridPriorityOne_TYPE3(W, H, N, &priorityRects, &otherRects);
        break;
      case ePriorityOverlay:
        GetMuxerGridPriorityOne_Overlay(W, H, N, &priorityRects, &otherRects);
        break;
      case ePriorityOverlayCorner:
        GetMuxerGridPriorityOne_OverlayCorner(W, H, N, &priorityRects, &otherRects);
        break;
    }
  } else if (priorityIndices.empty() && layout_algorithm_ == eLayoutAdaptive) {
    GetMuxerGridAdaptive(W, H, &windows_);
  } else if (priorityIndices.empty()) {
    otherRects = GetMuxerGrid(W, H, N);
  }
  // With three or more priority windows there is no layout: both lists stay empty.

  if (!(priorityIndices.empty() && layout_algorithm_ == eLayoutAdaptive)) {
    for (size_t k = 0; k < priorityIndices.size(); ++k) {
      windows_[priorityIndices[k]].rect = k < priorityRects.size() ? priorityRects[k] : sRect{};
    }
    for (size_t k = 0; k < otherIndices.size(); ++k) {
      windows_[otherIndices[k]].rect = k < otherRects.size() ? otherRects[k] : sRect{};
    }
  }
  for (sOneWindow& w : windows_) Align(&w.rect);
  valid_ = true;
  return 0;
}

int HX_WindowGrid::UpdateGrid() {
  if (!initialised_) return -1;
  ComputeGrid();
  return 0;
}

HX_WindowGrid::sOneWindow HX_WindowGrid::GetWindow(const std::string& name) {
  if (!initialised_) return sOneWindow();
  if (!valid_) ComputeGrid();
  const int index = FindWindow(name);
  if (index < 0) return sOneWindow();
  return windows_[static_cast<size_t>(index)];
}

std::vector<HX_WindowGrid::sOneWindow> HX_WindowGrid::GetAllWindows() {
  if (!initialised_) return {};
  if (!valid_) ComputeGrid();
  return windows_;
}

std::vector<HX_WindowGrid::sRect> HX_WindowGrid::GetMuxerGrid(int W, int H, int N) const {
  std::vector<sRect> out;
  if (N <= 0) return out;
  Cells c;
  if (!UniformCells(W, H, N, W, H, &c)) return out;
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  const int64_t cw = c.cellW;
  const int64_t ch = c.cellH;
  const int64_t R = c.rows + (c.rest > 0 ? 1 : 0);
  const int64_t y0 = (H - gy - R * (gy + ch)) / 2;
  const int64_t x0 = (W - gx - c.cols * (gx + cw)) / 2;
  out.reserve(static_cast<size_t>(N));
  for (int64_t i = 0; i < c.rows; ++i) {
    for (int64_t j = 0; j < c.cols; ++j) {
      out.push_back(MakeRect(x0 + gx + j * (gx + cw), y0 + gy + i * (gy + ch), cw, ch));
    }
  }
  const int64_t partialLeft = x0 + gx + (W - 2 * x0 - gx - c.rest * (gx + cw)) / 2;
  for (int64_t k = 1; k <= c.rest; ++k) {
    out.push_back(
        MakeRect(partialLeft + (k - 1) * (gx + cw), y0 + gy + c.rows * (gy + ch), cw, ch));
  }
  return out;
}

int HX_WindowGrid::GetMuxerGridAdaptive(int W, int H, std::vector<sOneWindow>* windows) const {
  std::vector<float> aspects;
  aspects.reserve(windows->size());
  for (const sOneWindow& w : *windows) aspects.push_back(w.aspect);
  std::vector<int> order;
  bool transposed = false;
  const auto lines = ComputeBestGrid(W, H, gap_x_, gap_y_, aspects, &order, &transposed);
  if (lines.empty()) return -1;

  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  size_t k = 0;
  // Across the lines: y for rows, x for columns.
  int64_t across = transposed ? gx : gy;
  for (const auto& line : lines) {
    int64_t thickness = 0;
    int64_t length = 0;
    for (const SFloatRect& r : line) {
      const int w = TruncSize(r.width);
      const int h = TruncSize(r.height);
      thickness = std::max<int64_t>(thickness, transposed ? w : h);
      length += transposed ? h : w;
    }
    const int64_t n = static_cast<int64_t>(line.size());
    const int64_t room = transposed ? H - gy * (n - 1) - length : W - gx * (n - 1) - length;
    // A line a rounding wider than the room starts at the edge rather than off the screen.
    int64_t along = std::max<int64_t>(0, room) / 2;
    for (const SFloatRect& r : line) {
      const int64_t w = TruncSize(r.width);
      const int64_t h = TruncSize(r.height);
      sRect& rect = (*windows)[static_cast<size_t>(order[k++])].rect;
      if (transposed) {
        rect = MakeRect(across + (thickness - w) / 2, along, w, h);
        along += h + gy;
      } else {
        rect = MakeRect(along, across + (thickness - h) / 2, w, h);
        along += w + gx;
      }
    }
    across += (transposed ? gx : gy) + thickness;
  }
  const int64_t extent = transposed ? W : H;
  if (across < extent) {
    const int64_t shift = (extent - across) / 2;
    for (sOneWindow& w : *windows) {
      w.rect =
          transposed
              ? MakeRect(int64_t{w.rect.left} + shift, w.rect.top,
                         int64_t{w.rect.right} - w.rect.left, int64_t{w.rect.bottom} - w.rect.top)
              : MakeRect(w.rect.left, int64_t{w.rect.top} + shift,
                         int64_t{w.rect.right} - w.rect.left, int64_t{w.rect.bottom} - w.rect.top);
    }
  }
  return 0;
}

int HX_WindowGrid::GetMuxerGridPriorityOne_TYPE1(int W, int H, int N, std::vector<sRect>* priority,
                                                 std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 1, priority, others)) return 0;
  int k = std::max(2, (N - 1) / 2);
  if (k >= 6) k = static_cast<int>(std::sqrt(static_cast<double>(N)));
  int bigW = 0, bigH = 0, sw = 0, sh = 0, span = 0, c = 0, r = 0, C = 0;
  if (!CalculateCornerLayoutSmart(W, H, N, aspect_, k, gap_x_, gap_y_, multiple_w_, multiple_h_,
                                  &bigW, &bigH, &sw, &sh, &span, &c, &r, &C)) {
    *priority = GetMuxerGrid(W, H, 1);
    return 0;
  }
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  int64_t used = int64_t{bigH} + 2 * gy;
  if (int64_t{c} * k < N) used += (N - 1 - int64_t{c} * k + C - 1) / C * (gy + sh);
  const int64_t x0 = (W - bigW - 2 * gx - c * (gx + sw)) / 2;
  const int64_t y0 = (H - used) / 2;
  priority->push_back(MakeRect(gx + x0, gy + y0, bigW, bigH));
  const int64_t wanted = N - 1;
  for (int64_t row = 0; row < k && static_cast<int64_t>(others->size()) < wanted; ++row) {
    for (int64_t col = 0; col < c && static_cast<int64_t>(others->size()) < wanted; ++col) {
      others->push_back(
          MakeRect(x0 + bigW + 2 * gx + col * (gx + sw), gy + y0 + row * (gy + sh), sw, sh));
    }
  }
  for (int64_t row = 0; row < r && static_cast<int64_t>(others->size()) < wanted; ++row) {
    for (int64_t col = 0; col < C && static_cast<int64_t>(others->size()) < wanted; ++col) {
      others->push_back(
          MakeRect(gx + x0 + col * (gx + sw), y0 + bigH + 2 * gy + row * (gy + sh), sw, sh));
    }
  }
  return 0;
}

int HX_WindowGrid::TopOrBottom(int W, int H, int N, bool bottom, std::vector<sRect>* priority,
                               std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 1, priority, others)) return 0;
  int bigW = 0, bigH = 0, sw = 0, sh = 0, rows = 0, cols = 0, rest = 0;
  if (!CalculateTopLayoutSmart(W, H, N, aspect_, gap_x_, gap_y_, multiple_w_, multiple_h_, &bigW,
                               &bigH, &sw, &sh, &rows, &cols, &rest)) {
    *priority = GetMuxerGrid(W, H, 1);
    return 0;
  }
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  const int64_t R = rows + (rest > 0 ? 1 : 0);
  const int64_t y0 = (H - bigH - 2 * gy - R * (gy + sh)) / 2;
  const int64_t bigLeft = gx + (W - bigW - 2 * gx) / 2;
  const int64_t x0 = (W - sw - (int64_t{cols} - 1) * (sw + gx)) / 2;
  const int64_t partialX0 = x0 + (W - sw - (sw + gx) * (int64_t{rest} - 1) - 2 * x0) / 2;

  const int64_t partialTop = bottom ? y0 + gy : y0 + bigH + 2 * gy;
  int64_t start = bottom ? y0 : y0 + bigH + gy;
  if (rest > 0) start += gy + sh;
  if (!bottom) priority->push_back(MakeRect(bigLeft, gy + y0, bigW, bigH));
  for (int64_t i = 1; i <= rest; ++i) {
    others->push_back(MakeRect(partialX0 + (i - 1) * (sw + gx), partialTop, sw, sh));
  }
  for (int64_t col = 0; col < cols; ++col) {
    for (int64_t row = 0; row < rows; ++row) {
      others->push_back(MakeRect(x0 + col * (sw + gx), start + gy + row * (gy + sh), sw, sh));
    }
  }
  if (bottom) priority->push_back(MakeRect(bigLeft, start + gy + rows * (gy + sh), bigW, bigH));
  return 0;
}

int HX_WindowGrid::GetMuxerGridPriorityOne_TYPE2(int W, int H, int N, std::vector<sRect>* priority,
                                                 std::vector<sRect>* others) const {
  return TopOrBottom(W, H, N, false, priority, others);
}

int HX_WindowGrid::GetMuxerGridPriorityOne_Bottom(int W, int H, int N, std::vector<sRect>* priority,
                                                  std::vector<sRect>* others) const {
  return TopOrBottom(W, H, N, true, priority, others);
}

int HX_WindowGrid::GetMuxerGridPriorityOne_TYPE3(int W, int H, int N, std::vector<sRect>* priority,
                                                 std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 1, priority, others)) return 0;
  int bigW = 0, bigH = 0, sw = 0, sh = 0, perColumn = 0, fullColumns = 0, rest = 0;
  if (!CalculateLeftLayoutSmart(W, H, N, aspect_, gap_x_, gap_y_, multiple_w_, multiple_h_, &bigW,
                                &bigH, &sw, &sh, &perColumn, &fullColumns, &rest)) {
    *priority = GetMuxerGrid(W, H, 1);
    return 0;
  }
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  const int64_t partialWidth = rest > 0 ? gx + sw : 0;
  const int64_t x0 = (W - partialWidth - bigW - 2 * gx - (gx + sw) * fullColumns) / 2;
  priority->push_back(MakeRect(gx + x0, gy + (H - bigH - 2 * gy) / 2, bigW, bigH));
  int64_t x = x0 + bigW + gx;
  for (int64_t i = 1; i <= rest; ++i) {
    others->push_back(
        MakeRect(x + gx, (H - gy - rest * (gy + sh)) / 2 + gy + (i - 1) * (gy + sh), sw, sh));
  }
  if (rest > 0) x += sw + gx;
  const int64_t columnTop = gy + (H - gy - perColumn * (gy + sh)) / 2;
  for (int64_t col = 0; col < fullColumns; ++col) {
    for (int64_t row = 0; row < perColumn; ++row) {
      others->push_back(MakeRect(x + gx + col * (gx + sw), columnTop + row * (gy + sh), sw, sh));
    }
  }
  return 0;
}

int HX_WindowGrid::GetMuxerGridPriorityOne_Overlay(int W, int H, int N,
                                                   std::vector<sRect>* priority,
                                                   std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 1, priority, others)) return 0;
  Cells big;
  if (!UniformCells(W, H, 1, W, H, &big)) return -1;
  const int fullBigW = big.cellW;
  const int fullBigH = big.cellH;
  int64_t bigW = big.cellW;
  int64_t bigH = big.cellH;
  const float f = static_cast<float>(int64_t{H} - bigH - gap_y_) / static_cast<float>(H);
  int strip = H / 5;
  if (f < 0.1f) {
    bigW = bigW * 9 / 10;
    bigH = bigH * 9 / 10;
  } else if (f > 0.2f) {
    strip = H;
  }
  Cells small;
  if (!UniformCells(W, strip, N - 1, fullBigW / 3, fullBigH / 3, &small)) {
    *priority = GetMuxerGrid(W, H, 1);
    return 0;
  }
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  const int64_t sw = small.cellW;
  const int64_t sh = small.cellH;
  const int64_t smallRows = small.rows + (small.rest > 0 ? 1 : 0);
  if (!(smallRows <= 1 && bigH + sh + 3 * gx >= H)) {
    return TopOrBottom(W, H, N, false, priority, others);
  }
  priority->push_back(MakeRect((W - bigW) / 2, gy, bigW, bigH));
  const int64_t X = gx + W;
  const int64_t x0 = (X - small.cols * (sw + gx)) / 2;
  int64_t Y = H - gy - smallRows * (sh + gy);
  for (int64_t i = 1; i <= small.rest; ++i) {
    others->push_back(MakeRect(x0 + (X - small.rest * (sw + gx) - 2 * x0) / 2 + (i - 1) * (sw + gx),
                               gy + Y, sw, sh));
  }
  if (small.rest > 0) Y += gy + sh;
  for (int64_t col = 0; col < small.cols; ++col) {
    for (int64_t row = 0; row < small.rows; ++row) {
      others->push_back(MakeRect(x0 + col * (sw + gx), gy + Y + row * (gy + sh), sw, sh));
    }
  }
  return 0;
}

int HX_WindowGrid::GetMuxerGridPriorityOne_OverlayCorner(int W, int H, int N,
                                                         std::vector<sRect>* priority,
                                                         std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 1, priority, others)) return 0;
  Cells big;
  if (!UniformCells(W, H, 1, W, H, &big)) return -1;
  Cells small;
  if (!UniformCells(W, H / 3, N - 1, W, H, &small)) {
    *priority = GetMuxerGrid(W, H, 1);
    return 0;
  }
  const int64_t gx = gap_x_;
  const int64_t gy = gap_y_;
  priority->push_back(
      MakeRect((W - big.cellW) / 2 + gx, gy + (H - big.cellH - 2 * gy) / 2, big.cellW, big.cellH));
  // The small windows lie on top of each other in the lower-left corner.
  const int64_t count = int64_t{small.rest} + int64_t{small.rows} * small.cols;
  const int64_t cornerH = big.cellH / 3;
  for (int64_t i = 0; i < count; ++i) {
    others->push_back(MakeRect(gx, screen_height_ - cornerH, big.cellW / 3, cornerH));
  }
  return 0;
}

int HX_WindowGrid::GetMuxerGridPriorityTwo(int W, int H, int N, std::vector<sRect>* priority,
                                           std::vector<sRect>* others) const {
  if (LaidOutWithoutOthers(*this, W, H, N, 2, priority, others)) return 0;
  Cells band;
  if (!UniformCells(W, Clamp32(2 * int64_t{H} / 3), 2, W, H, &band)) return -1;
  const int64_t gy = gap_y_;
  const int64_t L = gy + (band.rows + (band.rest > 0 ? 1 : 0)) * (gy + band.cellH);
  *priority = GetMuxerGrid(W, Clamp32(L), 2);
  *others = GetMuxerGrid(W, Clamp32(int64_t{H} - L), N - 2);
  for (sRect& r : *others) {
    r = MakeRect(r.left, int64_t{r.top} + L, int64_t{r.right} - r.left, int64_t{r.bottom} - r.top);
  }
  return 0;
}
