#pragma once
// Cell-size calculators for laying out N video windows of one aspect ratio on a screen with
// gaps: a uniform grid, or one big window above, beside or in the corner of a set of small ones.
// They only work out sizes and counts; HX_WindowGrid (window_grid.h) places the rectangles.
//
// All functions are pure and thread-safe. Sizes, aspects and the strip fraction are computed in
// single precision, everything else in integers with division truncating toward zero, so the
// results are reproducible to the pixel.
//
// Common parameters: W, H the area in pixels; N the number of windows; ar the window aspect
// (width / height); gx, gy the horizontal and vertical gap; mw, mh round the cell width and
// height down to multiples (1: no rounding). Every output pointer may be null. The result says
// whether a layout was found; on failure the outputs are unspecified.

// x rounded toward zero to a multiple of m (x − x mod m, the remainder taking the sign of x);
// x unchanged when m is 1 or less.
int MakeMultiple(int x, int m);

// x rounded up to a multiple of m (x + m − x mod m unless x is a multiple already); x unchanged
// when m is 1 or less. Saturates at INT_MAX.
int MakeMultipleUp(int x, int m);

// Uniform grid trying 1, 2, 3 ... columns until the rows that fit hold N windows and the cell is
// at most maxW wide. `rows` full rows of `cols` windows, then a partial row of `rest` windows
// (0 when the rows are full). Fewer windows than columns give one full row of N (rest 0).
bool CalculateUniformLayoutColumnBased(int W, int H, int N, float ar, int gx, int gy, int mw,
                                       int mh, int maxW, int* cellW, int* cellH, int* rows,
                                       int* cols, int* rest);

// Uniform grid trying 1, 2, 3 ... rows until the columns that fit hold N windows and the cell is
// at most maxH tall. Fails unless 2·gx < W and 2·gy < H. `rows` may be 0 when one partial row
// holds every window.
bool CalculateUniformLayoutRowBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                    int maxH, int* cellW, int* cellH, int* rows, int* cols,
                                    int* rest);

// Runs both uniform variants and keeps the larger cell; a tie goes to the row-first one.
bool CalculateUniformLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                 int maxW, int maxH, int* cellW, int* cellH, int* rows, int* cols,
                                 int* rest);

// One big window above N − 1 small ones in rows (`rows` full rows of `cols`, a partial row of
// `rest`). The smart variant gives the big window 80 % of the height, then 75 % or 70 % when the
// strip left for the small ones is too thin for their rows.
bool CalculateTopLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                             int* bigW, int* bigH, int* smallW, int* smallH, int* rows, int* cols,
                             int* rest);
bool CalculateTopLayoutPriorityBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                     int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                     int* cols, int* rest);
bool CalculateTopLayoutOrdinaryBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                     int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                     int* cols, int* rest);

// One big window at the left of N − 1 small ones in columns. For the smart variant `rows` is the
// number of windows per column, `cols` the number of full columns and `rest` the windows of a
// partial column; the non-smart variants report the small cells' uniform grid as it is.
bool CalculateLeftLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                              int* bigW, int* bigH, int* smallW, int* smallH, int* rows, int* cols,
                              int* rest);
bool CalculateLeftLayoutPriorityBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                      int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                      int* cols, int* rest);
bool CalculateLeftLayoutOrdinaryBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                      int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                      int* cols, int* rest);

// One big window spanning k × k small cells in the top-left corner and N − 1 small windows
// around it: `besideCols` columns beside it, `belowRows` rows of `totalCols` below it. The grid
// needs N − 1 + k² cells. Fails when 2·gx > W, 2·gy > H, N < 1 or k < 1. The smart variant takes
// the row-first result only when its small cell is strictly larger (a tie goes to column-first).
bool CalculateCornerLayoutColumnBased(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                      int mh, int* bigW, int* bigH, int* smallW, int* smallH,
                                      int* span, int* besideCols, int* belowRows, int* totalCols);
bool CalculateCornerLayoutRowBased(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                   int mh, int* bigW, int* bigH, int* smallW, int* smallH,
                                   int* span, int* besideCols, int* belowRows, int* totalCols);
bool CalculateCornerLayoutSmart(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                int mh, int* bigW, int* bigH, int* smallW, int* smallH, int* span,
                                int* besideCols, int* belowRows, int* totalCols);
