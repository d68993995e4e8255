#include "core/media/layout/adaptive_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace {

constexpr float kTolerance = 0.01f;

// Each expansion step either lets a line (a rectangle) reach the full width (height) or fills
// the target, so a few steps per line are enough; the bound only guards against float rounding
// that keeps a step moving by tiny amounts.
constexpr int kMaxExpansionSteps = 1000;

bool SameSize(const SFloatRect& a, const SFloatRect& b) {
  return a.width == b.width && a.height == b.height;
}

}  // namespace

SFloatRect::SFloatRect(float w, float h) : width(w), height(h) { CalcAR(); }

void SFloatRect::CalcAR() { aspect = width / height; }

void SFloatRect::Scale(float f) {
  width *= f;
  height *= f;
}

CAdaptiveGrid::CLine::CLine(std::vector<SFloatRect> rects) : rects_(std::move(rects)) {
  CalcSize();
}

void CAdaptiveGrid::CLine::CalcSize() {
  float width = 0.0f;
  float height = 0.0f;
  for (const SFloatRect& r : rects_) {
    width += r.width;
    height = std::max(height, r.height);
  }
  size_ = SFloatRect(width, height);
}

void CAdaptiveGrid::CLine::Scale(float f) {
  for (SFloatRect& r : rects_) r.Scale(f);
  CalcSize();
}

void CAdaptiveGrid::CLine::ExpandToWidth(float width) {
  for (int step = 0; step < kMaxExpansionSteps; ++step) {
    if (!(std::fabs(size_.width - width) >= kTolerance)) return;
    float otherWidths = 0.0f;
    float shortWidths = 0.0f;
    float tallestShort = 0.0f;
    bool anyShort = false;
    for (const SFloatRect& r : rects_) {
      if (std::fabs(r.height - size_.height) > kTolerance) {
        anyShort = true;
        shortWidths += r.width;
        tallestShort = std::max(tallestShort, r.height);
      } else {
        otherWidths += r.width;
      }
    }
    if (!anyShort) return;
    const float freeWidth = width - otherWidths;
    const float factor = std::min(size_.height / tallestShort, freeWidth / shortWidths);
    bool changed = false;
    for (SFloatRect& r : rects_) {
      if (std::fabs(r.height - size_.height) > kTolerance) {
        const SFloatRect before = r;
        r.Scale(factor);
        changed = changed || !SameSize(before, r);
      }
    }
    CalcSize();
    if (!changed) return;
  }
}

CAdaptiveGrid::CAdaptiveGrid(const std::vector<std::vector<SFloatRect>>& lines) {
  lines_.reserve(lines.size());
  for (const auto& line : lines) lines_.emplace_back(line);
  CalcSize();
}

void CAdaptiveGrid::CalcSize() {
  float width = 0.0f;
  float height = 0.0f;
  for (const CLine& line : lines_) {
    width = std::max(width, line.Size().width);
    height += line.Size().height;
  }
  size_ = SFloatRect(width, height);
}

void CAdaptiveGrid::Scale(float f) {
  for (CLine& line : lines_) line.Scale(f);
  CalcSize();
}

void CAdaptiveGrid::ExpandToHeight(float height) {
  for (int step = 0; step < kMaxExpansionSteps; ++step) {
    if (!(std::fabs(size_.height - height) >= kTolerance)) return;
    float otherHeights = 0.0f;
    float narrowHeights = 0.0f;
    float widestNarrow = 0.0f;
    bool anyNarrow = false;
    for (const CLine& line : lines_) {
      if (std::fabs(line.Size().width - size_.width) > kTolerance) {
        anyNarrow = true;
        narrowHeights += line.Size().height;
        widestNarrow = std::max(widestNarrow, line.Size().width);
      } else {
        otherHeights += line.Size().height;
      }
    }
    if (!anyNarrow) return;
    const float freeHeight = height - otherHeights;
    const float factor = std::min(size_.width / widestNarrow, freeHeight / narrowHeights);
    bool changed = false;
    for (CLine& line : lines_) {
      if (std::fabs(line.Size().width - size_.width) > kTolerance) {
        const SFloatRect before = line.Size();
        line.Scale(factor);
        changed = changed || !SameSize(before, line.Size());
      }
    }
    CalcSize();
    if (!changed) return;
  }
}

void CAdaptiveGrid::ExpandToRect(const SFloatRect& target) {
  if (target.aspect <= size_.aspect) {
    Scale(target.width / size_.width);
  } else {
    Scale(target.height / size_.height);
  }
  ExpandToHeight(target.height);
  for (CLine& line : lines_) line.ExpandToWidth(target.width);
  CalcSize();
}

std::vector<std::vector<SFloatRect>> CAdaptiveGrid::GetRects() const {
  std::vector<std::vector<SFloatRect>> out;
  out.reserve(lines_.size());
  for (const CLine& line : lines_) out.push_back(line.Rects());
  return out;
}

void CAdaptiveGrid::PrintDebug() const {
  for (const CLine& line : lines_) {
    std::fputs("[ ", stdout);
    for (const SFloatRect& r : line.Rects()) {
      std::printf("<%.2f x %.2f> ", static_cast<double>(r.width), static_cast<double>(r.height));
    }
    std::fputs("]\n", stdout);
  }
}

CPartitionTree::CPartitionTree(uint16_t n) { root_ = Build(n, n); }

const CPartitionTree::Node* CPartitionTree::Build(uint16_t value, uint16_t remainder) {
  const uint32_t key = uint32_t{value} << 16 | remainder;
  auto found = nodes_.find(key);
  if (found != nodes_.end()) return found->second.get();
  auto node = std::make_unique<Node>();
  node->value = value;
  node->remainder = remainder;
  Node* raw = node.get();
  nodes_.emplace(key, std::move(node));
  const uint16_t last = std::min(value, remainder);
  for (uint16_t i = 1; i <= last; ++i) {
    raw->children.push_back(Build(i, static_cast<uint16_t>(remainder - i)));
  }
  return raw;
}

void CPartitionTree::Walk(const Node* node, std::vector<uint16_t>* path,
                          std::vector<std::vector<uint16_t>>* out) const {
  path->push_back(node->value);
  if (node->remainder == 0) {
    out->push_back(*path);
  } else {
    for (const Node* child : node->children) Walk(child, path, out);
  }
  path->pop_back();
}

std::vector<std::vector<uint16_t>> CPartitionTree::GetPartitions() const {
  std::vector<std::vector<uint16_t>> out;
  std::vector<uint16_t> path;
  for (const Node* child : root_->children) Walk(child, &path, &out);
  return out;
}

std::vector<std::vector<SFloatRect>> ComputeRectGridByAspectRatiosGrid(
    float width, float height, const std::vector<std::vector<float>>& lines) {
  std::vector<std::vector<SFloatRect>> unit;
  unit.reserve(lines.size());
  for (const auto& line : lines) {
    std::vector<SFloatRect> rects;
    rects.reserve(line.size());
    for (float a : line) {
      const float root = std::sqrt(a);
      rects.emplace_back(root, 1.0f / root);
    }
    unit.push_back(std::move(rects));
  }
  CAdaptiveGrid grid(unit);
  grid.ExpandToRect(SFloatRect(width, height));
  return grid.GetRects();
}

namespace {

// Total area when every rectangle is more than half the largest one, else -1.
float AcceptableArea(const std::vector<std::vector<SFloatRect>>& rects, float screenArea) {
  float sum = 0.0f;
  float smallest = screenArea;
  float largest = 0.0f;
  for (const auto& line : rects) {
    for (const SFloatRect& r : line) {
      const float area = r.Area();
      sum += area;
      smallest = std::min(smallest, area);
      largest = std::max(largest, area);
    }
  }
  if (!(smallest / largest > 0.5f)) return -1.0f;
  return sum;
}

std::vector<std::vector<float>> CutIntoLines(const std::vector<float>& aspects,
                                             const std::vector<int>& order,
                                             const std::vector<uint16_t>& lengths,
                                             bool reciprocal) {
  std::vector<std::vector<float>> lines;
  lines.reserve(lengths.size());
  size_t next = 0;
  for (uint16_t length : lengths) {
    std::vector<float> line;
    line.reserve(length);
    for (uint16_t i = 0; i < length; ++i) {
      const float a = aspects[static_cast<size_t>(order[next++])];
      line.push_back(reciprocal ? 1.0f / a : a);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

std::vector<std::vector<SFloatRect>> ComputeBestGrid(int W, int H, int gx, int gy,
                                                     const std::vector<float>& aspects,
                                                     std::vector<int>* order, bool* transposed) {
  const size_t n = aspects.size();
  std::vector<int> bestOrder(n);
  std::iota(bestOrder.begin(), bestOrder.end(), 0);
  bool bestTransposed = false;
  std::vector<std::vector<SFloatRect>> result;

  // A window without a usable shape would only feed NaN and infinity through the expansion.
  const bool usable = n <= UINT16_MAX && std::all_of(aspects.begin(), aspects.end(), [](float a) {
                        return a > 0.0f && std::isfinite(a);
                      });
  if (usable) {
    const float screenArea = static_cast<float>(int64_t{W} * H);
    float best = 0.0f;
    std::vector<int> current(n);
    for (const auto& lengths : CPartitionTree(static_cast<uint16_t>(n)).GetPartitions()) {
      const int64_t first = lengths.front();
      const int64_t count = static_cast<int64_t>(lengths.size());
      // The room the gaps leave. A candidate without room is skipped: a negative room would be
      // scaled into negative sizes whose products look like positive areas.
      const int64_t rowsWidth = int64_t{W} - (first + 1) * gx;
      const int64_t rowsHeight = int64_t{H} - (count + 1) * gy;
      const int64_t columnsWidth = int64_t{H} - (first + 1) * gy;
      const int64_t columnsHeight = int64_t{W} - (count + 1) * gx;
      const bool rowsFit = rowsWidth > 0 && rowsHeight > 0;
      const bool columnsFit = columnsWidth > 0 && columnsHeight > 0;
      if (!rowsFit && !columnsFit) continue;
      std::iota(current.begin(), current.end(), 0);
      do {
        if (rowsFit) {
          auto rects = ComputeRectGridByAspectRatiosGrid(
              static_cast<float>(rowsWidth), static_cast<float>(rowsHeight),
              CutIntoLines(aspects, current, lengths, false));
          const float area = AcceptableArea(rects, screenArea);
          if (area > best) {
            best = area;
            result = std::move(rects);
            bestOrder = current;
            bestTransposed = false;
          }
        }
        if (columnsFit) {
          auto rects = ComputeRectGridByAspectRatiosGrid(
              static_cast<float>(columnsWidth), static_cast<float>(columnsHeight),
              CutIntoLines(aspects, current, lengths, true));
          const float area = AcceptableArea(rects, screenArea);
          if (area > best) {
            best = area;
            result = std::move(rects);
            bestOrder = current;
            bestTransposed = true;
          }
        }
      } while (std::next_permutation(current.begin(), current.end()));
    }
  }
  if (bestTransposed) {
    for (auto& line : result) {
      for (SFloatRect& r : line) {
        std::swap(r.width, r.height);
        r.aspect = 1.0f / r.aspect;
      }
    }
  }
  if (order != nullptr) *order = bestOrder;
  if (transposed != nullptr) *transposed = bestTransposed;
  return result;
}
