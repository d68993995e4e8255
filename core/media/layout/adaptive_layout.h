#pragma once
// Adaptive window layout: packs windows of different aspect ratios on a screen so that together
// they cover as much of it as possible while no window becomes much smaller than another.
//
// The search is exhaustive: every split of the windows into lines (the partitions of n) and every
// order of the windows (n!), each sized twice (as rows and as columns). It is meant for a handful
// of windows; twelve already means tens of billions of candidates.
//
// Everything here is single precision. The classes have no lock: one thread uses an object at a
// time; the free functions are pure and thread-safe.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

// A width, a height and their aspect (width / height).
struct SFloatRect {
  float width = 0.0f;
  float height = 0.0f;
  float aspect = 0.0f;

  SFloatRect() = default;
  SFloatRect(float w, float h);

  void CalcAR();
  void Scale(float f);
  float Area() const { return width * height; }
};

// Lines of rectangles stacked one above the other; each line lays its rectangles side by side.
class CAdaptiveGrid {
 public:
  class CLine {
   public:
    explicit CLine(std::vector<SFloatRect> rects);

    // Grows the rectangles lower than the line until the line is `width` wide (within 0.01), or
    // until none can grow or a step changes nothing.
    void ExpandToWidth(float width);
    void Scale(float f);
    // Width = sum of the widths, height = the largest height.
    void CalcSize();

    const std::vector<SFloatRect>& Rects() const { return rects_; }
    const SFloatRect& Size() const { return size_; }

   private:
    std::vector<SFloatRect> rects_;
    SFloatRect size_;
  };

  explicit CAdaptiveGrid(const std::vector<std::vector<SFloatRect>>& lines);

  void Scale(float f);
  // Grows the lines narrower than the grid until the grid is `height` tall (within 0.01), or
  // until none can grow or a step changes nothing.
  void ExpandToHeight(float height);
  // Scales the grid to touch the target's width or height, then fills the rest of the height
  // and of each line's width.
  void ExpandToRect(const SFloatRect& target);

  std::vector<std::vector<SFloatRect>> GetRects() const;
  // Width = the widest line, height = the sum of the line heights.
  const SFloatRect& GetSize() const { return size_; }

  // Writes each line to standard output: "[ <w x h> <w x h> ]", two digits after the point.
  void PrintDebug() const;

 private:
  void CalcSize();

  std::vector<CLine> lines_;
  SFloatRect size_;
};

// The partitions of n into parts that never increase, as a tree whose root-to-leaf paths are the
// partitions. Nodes (part value, remainder) are shared through a map keyed by value << 16 |
// remainder.
class CPartitionTree {
 public:
  explicit CPartitionTree(uint16_t n);

  // Every partition, ordered by the first part ascending, then the second, and so on
  // (3 gives [1,1,1], [2,1], [3]); 0 gives none.
  std::vector<std::vector<uint16_t>> GetPartitions() const;

 private:
  struct Node {
    uint16_t value = 0;
    uint16_t remainder = 0;
    std::vector<const Node*> children;
  };

  const Node* Build(uint16_t value, uint16_t remainder);
  void Walk(const Node* node, std::vector<uint16_t>* path,
            std::vector<std::vector<uint16_t>>* out) const;

  std::map<uint32_t, std::unique_ptr<Node>> nodes_;
  const Node* root_ = nullptr;
};

// The sizes of a grid with these lines of aspect ratios that fills width × height: each aspect
// becomes a rectangle of area 1, and the grid is expanded to the target.
std::vector<std::vector<SFloatRect>> ComputeRectGridByAspectRatiosGrid(
    float width, float height, const std::vector<std::vector<float>>& lines);

// The best grid for windows of these aspects on a W × H screen with gaps gx, gy: the largest
// total area among the candidates whose smallest window is more than half the largest; ties keep
// the earlier candidate; a candidate for which the gaps leave no room is skipped. `order` receives
// the window index of each size in reading order; `transposed` says the lines are columns (the
// sizes are given the right way up either way). Nothing passes (or an aspect is not a positive
// finite number): an empty result, order 0 .. n−1.
std::vector<std::vector<SFloatRect>> ComputeBestGrid(int W, int H, int gx, int gy,
                                                     const std::vector<float>& aspects,
                                                     std::vector<int>* order, bool* transposed);
