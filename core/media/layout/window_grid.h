#pragma once
// HX_WindowGrid lays out named video windows on a screen: all equal in a uniform grid, one or two
// priority windows large with the others small around them, or (adaptive algorithm) windows of
// different aspect ratios packed by the search of adaptive_layout.h.
//
// The grid keeps the window list in insertion order (the order decides the placement), computes
// the rectangles lazily when they are read, and aligns them: left and top move up to multiples of
// the position multiples, width and height are cut to multiples of the size multiples.
//
// Results are 0 for success and -1 for failure. A call that changes the layout inputs
// invalidates the rectangles; the next read computes them again.
//
// Thread safety: none. The grid has no lock; one thread uses it at a time.

#include <cstdint>
#include <string>
#include <vector>

class HX_WindowGrid {
 public:
  struct sRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    bool operator==(const sRect&) const = default;
  };

  struct sOneWindow {
    // -1 in a default record, 0 for a normal window, 1 for a priority window.
    int32_t priority = -1;
    std::string name;
    sRect rect;
    // Width / height.
    float aspect = 0.0f;

    sOneWindow() = default;
    // Takes the rectangle's width / height as the aspect (0 for a rectangle without height).
    sOneWindow(const std::string& windowName, const sRect& windowRect);
  };

  enum ePriorityLayoutType {
    ePriorityCorner = 0,
    ePriorityTop = 1,
    ePriorityLeft = 2,
    ePriorityOverlay = 3,
    ePriorityOverlayCorner = 4,
    ePriorityBottom = 5,
  };

  // For grids without priority windows.
  enum eLayoutAlgorithm {
    eLayoutUniform = 0,
    eLayoutAdaptive = 1,
  };

  HX_WindowGrid() = default;
  ~HX_WindowGrid();

  // Removes every window, sets the screen and the aspect of the uniform and priority layouts
  // (and of new windows); the grid is initialised, the rectangles not yet valid.
  int Init(int width, int height, float aspect);
  // Removes every window; the grid is uninitialised again.
  int Release();
  // Removes every window (validity untouched).
  int RemoveAll();

  int SetScreenSize(int width, int height);
  int SetAspectRatio(float aspect);
  // Gaps between windows and at the screen's edges; -1 (nothing changed) for a negative gap.
  int SetFrameInterval(int gx, int gy);
  int SetPriorityLayoutType(ePriorityLayoutType type);
  // Size and position multiples do not invalidate: they apply from the next computation.
  // -1 (nothing changed) for a multiple below 1.
  int SetWidowMultiplicity(int mw, int mh);
  int SetWindowOffsetMultiplicity(int ox, int oy);
  int SetLayoutAlgorithm(eLayoutAlgorithm algorithm);

  ePriorityLayoutType GetPriorityLayoutType() const { return priority_layout_type_; }
  eLayoutAlgorithm GetLayoutAlgorithm() const { return layout_algorithm_; }
  // The screen width and height.
  void GetMainWindowSize(int* width, int* height) const;

  // Appends a window of priority 0; aspect 0 means the grid's aspect. -1 when the name exists.
  int AddWindow(const std::string& name, float aspect);
  // Removes the window of that name, if any.
  int RemoveWindow(const std::string& name);
  // -1 when there is no such window.
  int SetUserAspectRatio(const std::string& name, float aspect);

  // Every window normal.
  int SetP0();
  // Only that window has the priority; -1 (priorities kept) when there is no such window.
  int SetP1(const std::string& name);
  // Only these two windows have the priority; -1 when either is missing or both are one.
  int SetP2(const std::string& name1, const std::string& name2);

  // Exchanges the places of two windows in the list, with their priorities, aspects and current
  // rectangles. Does not invalidate: the exchange shows at the next computation. -1 when not
  // initialised, a name is missing or both name one window.
  int Swap(const std::string& name1, const std::string& name2);
  // Exchanges only the names, so each name takes the other's rectangle, priority and aspect at
  // once. Same failures as Swap.
  int SwapId(const std::string& name1, const std::string& name2);

  // Computes every rectangle; -1 when not initialised and without windows.
  int ComputeGrid();
  // -1 when not initialised; otherwise computes.
  int UpdateGrid();
  bool IsValidGrid() const { return initialised_ && valid_; }

  // A copy of the window, computed first when needed; a default record (priority -1) when the
  // grid is not initialised or no window has the name.
  sOneWindow GetWindow(const std::string& name);
  // A copy of the list, computed first when needed; empty when not initialised.
  std::vector<sOneWindow> GetAllWindows();

  // The layout steps. Each uses the grid's aspect, gaps and size multiples; none moves a window.
  // The uniform grid of N equal cells, centred; empty when none fits.
  std::vector<sRect> GetMuxerGrid(int W, int H, int N) const;
  // Places the windows themselves by the adaptive search; they keep their rectangles when it
  // finds nothing.
  int GetMuxerGridAdaptive(int W, int H, std::vector<sOneWindow>* windows) const;
  // One priority window and N − 1 others: in the corner, on top, at the left, at the bottom, over
  // the lower part of the big window, stacked on one corner rectangle; or two priority windows
  // above the others. -1 when even the big window does not fit (nothing laid out).
  int GetMuxerGridPriorityOne_TYPE1(int W, int H, int N, std::vector<sRect>* priority,
                                    std::vector<sRect>* others) const;
  int GetMuxerGridPriorityOne_TYPE2(int W, int H, int N, std::vector<sRect>* priority,
                                    std::vector<sRect>* others) const;
  int GetMuxerGridPriorityOne_TYPE3(int W, int H, int N, std::vector<sRect>* priority,
                                    std::vector<sRect>* others) const;
  int GetMuxerGridPriorityOne_Bottom(int W, int H, int N, std::vector<sRect>* priority,
                                     std::vector<sRect>* others) const;
  int GetMuxerGridPriorityOne_Overlay(int W, int H, int N, std::vector<sRect>* priority,
                                      std::vector<sRect>* others) const;
  int GetMuxerGridPriorityOne_OverlayCorner(int W, int H, int N, std::vector<sRect>* priority,
                                            std::vector<sRect>* others) const;
  int GetMuxerGridPriorityTwo(int W, int H, int N, std::vector<sRect>* priority,
                              std::vector<sRect>* others) const;

 private:
  // Cell sizes and counts of a uniform grid.
  struct Cells;

  int FindWindow(const std::string& name) const;
  // The uniform grid of N cells in W x H, each at most maxW x maxH, with the grid's aspect, gaps
  // and size multiples; false when none fits.
  bool UniformCells(int W, int H, int N, int maxW, int maxH, Cells* cells) const;
  int TopOrBottom(int W, int H, int N, bool bottom, std::vector<sRect>* priority,
                  std::vector<sRect>* others) const;
  void Align(sRect* rect) const;

  int screen_width_ = 0;
  int screen_height_ = 0;
  int gap_x_ = 0;
  int gap_y_ = 0;
  int multiple_w_ = 1;
  int multiple_h_ = 1;
  int offset_x_ = 1;
  int offset_y_ = 1;
  float aspect_ = 1.0f;
  bool valid_ = false;
  bool initialised_ = false;
  ePriorityLayoutType priority_layout_type_ = ePriorityCorner;
  eLayoutAlgorithm layout_algorithm_ = eLayoutUniform;
  std::vector<sOneWindow> windows_;
};
