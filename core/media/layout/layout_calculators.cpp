#include "core/media/layout/layout_calculators.h"

#include <climits>
#include <cstdint>

namespace {

// Truncation toward zero that stays defined for values an int cannot hold (a degenerate aspect
// makes a cell infinitely tall, a zero one makes it NaN).
int TruncToInt(float value) {
  if (!(value == value)) return 0;
  if (value >= 2147483647.0f) return INT_MAX;
  if (value <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(value);
}

int ClampToInt(int64_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void Put(int* out, int value) {
  if (out != nullptr) *out = value;
}

// A negative gap would make the cells grow with every column tried, so the searches below could
// run for ever; no layout has one.
bool GapsUsable(int gx, int gy) { return gx >= 0 && gy >= 0; }

struct Uniform {
  int cellW = 0;
  int cellH = 0;
  int rows = 0;
  int cols = 0;
  int rest = 0;
};

bool Smart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh, int maxW, int maxH,
           Uniform* out) {
  return CalculateUniformLayoutSmart(W, H, N, ar, gx, gy, mw, mh, maxW, maxH, &out->cellW,
                                     &out->cellH, &out->rows, &out->cols, &out->rest);
}

struct BigAndSmall {
  int bigW = 0;
  int bigH = 0;
  int smallW = 0;
  int smallH = 0;
  int rows = 0;
  int cols = 0;
  int rest = 0;
};

void PutBigAndSmall(const BigAndSmall& r, int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                    int* cols, int* rest) {
  Put(bigW, r.bigW);
  Put(bigH, r.bigH);
  Put(smallW, r.smallW);
  Put(smallH, r.smallH);
  Put(rows, r.rows);
  Put(cols, r.cols);
  Put(rest, r.rest);
}

// The retry of the smart top and left layouts: the big window gets less room when the strip left
// for the small ones is thin for the number of lines they need. Answers the new limit, or -1.
int64_t RetryLimit(int64_t extent, float f, int smallLines) {
  if (f < 0.25f && smallLines == 2) return extent * 75 / 100;
  if (f < 0.3f && smallLines >= 3) return extent * 70 / 100;
  return -1;
}

// Three limits can be tried (80, 75 and 70 %); a pass beyond that can only repeat one of them.
constexpr int kMaxSmartPasses = 3;

struct Corner {
  int bigW = 0;
  int bigH = 0;
  int smallW = 0;
  int smallH = 0;
  int span = 0;
  int besideCols = 0;
  int belowRows = 0;
  int totalCols = 0;
};

bool CornerUsable(int W, int H, int N, int k, int gx, int gy) {
  if (!GapsUsable(gx, gy)) return false;
  return !(2 * int64_t{gx} > W || N < 1 || 2 * int64_t{gy} > H || k < 1);
}

Corner FinishCorner(int cw, float ar, int k, int gx, int gy, int mw, int mh, int64_t totalCols,
                    int64_t totalRows) {
  Corner c;
  c.smallW = MakeMultiple(cw, mw);
  c.smallH = MakeMultiple(TruncToInt(static_cast<float>(c.smallW) / ar), mh);
  c.bigW = ClampToInt(int64_t{k - 1} * gx + int64_t{k} * c.smallW);
  c.bigH = ClampToInt(int64_t{k - 1} * gy + int64_t{k} * c.smallH);
  c.span = k;
  c.besideCols = ClampToInt(totalCols - k);
  c.belowRows = ClampToInt(totalRows - k);
  c.totalCols = ClampToInt(totalCols);
  return c;
}

void PutCorner(const Corner& c, int* bigW, int* bigH, int* smallW, int* smallH, int* span,
               int* besideCols, int* belowRows, int* totalCols) {
  Put(bigW, c.bigW);
  Put(bigH, c.bigH);
  Put(smallW, c.smallW);
  Put(smallH, c.smallH);
  Put(span, c.span);
  Put(besideCols, c.besideCols);
  Put(belowRows, c.belowRows);
  Put(totalCols, c.totalCols);
}

}  // namespace

int MakeMultiple(int x, int m) {
  if (m <= 1) return x;
  return x - x % m;
}

int MakeMultipleUp(int x, int m) {
  if (m <= 1) return x;
  const int remainder = x % m;
  if (remainder == 0) return x;
  return ClampToInt(int64_t{x} + m - remainder);
}

bool CalculateUniformLayoutColumnBased(int W, int H, int N, float ar, int gx, int gy, int mw,
                                       int mh, int maxW, int* cellW, int* cellH, int* rows,
                                       int* cols, int* rest) {
  if (N < 1 || !GapsUsable(gx, gy)) return false;
  int c = 0;
  int r = 0;
  float cw = static_cast<float>(W);
  float ch = 0.0f;
  // The c columns share W − (c + 1)·gx.
  int64_t avail = int64_t{W} - 2 * int64_t{gx};
  while (!(int64_t{c} * r >= N && TruncToInt(cw) <= maxW)) {
    ++c;
    cw = static_cast<float>(avail) / static_cast<float>(c);
    if (!(cw > 1.0f)) return false;
    ch = cw / ar;
    if (!(ch > 0.0f)) return false;
    r = TruncToInt(static_cast<float>(int64_t{H} - gy) / (ch + static_cast<float>(gy)));
    avail -= gx;
  }
  Put(cellW, MakeMultiple(TruncToInt(cw), mw));
  Put(cellH, MakeMultiple(TruncToInt(ch), mh));
  if (int64_t{c} * r == N) {
    Put(rows, r);
    Put(cols, c);
    Put(rest, 0);
  } else if (N / c == 0) {
    // Fewer windows than columns: one full row of N windows and no partial row.
    Put(rows, 1);
    Put(cols, N);
    Put(rest, 0);
  } else {
    Put(rows, N / c);
    Put(cols, c);
    Put(rest, N % c);
  }
  return true;
}

bool CalculateUniformLayoutRowBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                    int maxH, int* cellW, int* cellH, int* rows, int* cols,
                                    int* rest) {
  if (N < 1 || !GapsUsable(gx, gy)) return false;
  if (!(2 * int64_t{gx} < W && 2 * int64_t{gy} < H)) return false;
  int r = 0;
  int c = 0;
  float ch = static_cast<float>(H);
  float cw = 0.0f;
  while (!(int64_t{c} * r >= N && TruncToInt(ch) <= maxH)) {
    ++r;
    ch = static_cast<float>(int64_t{H} - 2 * int64_t{gy} - int64_t{r - 1} * gy) /
         static_cast<float>(r);
    if (!(ch > 1.0f)) return false;
    cw = ch * ar;
    if (!(cw > 0.0f)) return false;
    c = TruncToInt(static_cast<float>(int64_t{W} - gx) / (cw + static_cast<float>(gx)));
  }
  Put(cellW, MakeMultiple(TruncToInt(cw), mw));
  Put(cellH, MakeMultiple(TruncToInt(ch), mh));
  Put(cols, c);
  if (int64_t{c} * r == N) {
    Put(rows, r);
    Put(rest, 0);
  } else {
    Put(rows, N / c);
    Put(rest, N % c);
  }
  return true;
}

bool CalculateUniformLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                 int maxW, int maxH, int* cellW, int* cellH, int* rows, int* cols,
                                 int* rest) {
  Uniform byColumns;
  if (!CalculateUniformLayoutColumnBased(W, H, N, ar, gx, gy, mw, mh, maxW, &byColumns.cellW,
                                         &byColumns.cellH, &byColumns.rows, &byColumns.cols,
                                         &byColumns.rest)) {
    byColumns = Uniform{};
  }
  Uniform byRows;
  if (!CalculateUniformLayoutRowBased(W, H, N, ar, gx, gy, mw, mh, maxH, &byRows.cellW,
                                      &byRows.cellH, &byRows.rows, &byRows.cols, &byRows.rest)) {
    byRows = Uniform{};
  }
  const int64_t columnArea = int64_t{byColumns.cellW} * byColumns.cellH;
  const int64_t rowArea = int64_t{byRows.cellW} * byRows.cellH;
  if (columnArea == 0 && rowArea == 0) return false;
  const Uniform& chosen = rowArea >= columnArea ? byRows : byColumns;
  Put(cellW, chosen.cellW);
  Put(cellH, chosen.cellH);
  Put(rows, chosen.rows);
  Put(cols, chosen.cols);
  Put(rest, chosen.rest);
  return true;
}

bool CalculateTopLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                             int* bigW, int* bigH, int* smallW, int* smallH, int* rows, int* cols,
                             int* rest) {
  int64_t bigLimit = int64_t{H} * 8 / 10;
  int previousBigH = -1;
  Uniform big;
  Uniform small;
  int smallRows = 0;
  for (int pass = 1;; ++pass) {
    if (!Smart(W, ClampToInt(bigLimit), 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
    const int64_t strip = int64_t{H} - gy - big.cellH;
    if (!Smart(W, ClampToInt(strip), N - 1, ar, gx, gy, mw, mh, big.cellW / 3, big.cellH / 3,
               &small)) {
      return false;
    }
    smallRows = small.rows + (small.rest > 0 ? 1 : 0);
    const float f = static_cast<float>(strip) / static_cast<float>(H);
    const int64_t retry = RetryLimit(H, f, smallRows);
    // A retry that came back to the same big window would repeat itself: take the layout.
    if (retry < 0 || big.cellH == previousBigH || pass >= kMaxSmartPasses) break;
    previousBigH = big.cellH;
    bigLimit = retry;
  }
  const int64_t bigHeight = int64_t{H} - (int64_t{small.cellH} + gy) * smallRows;
  if (!Smart(W, ClampToInt(bigHeight), 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  PutBigAndSmall(
      {big.cellW, big.cellH, small.cellW, small.cellH, small.rows, small.cols, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateTopLayoutPriorityBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                     int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                     int* cols, int* rest) {
  Uniform small;
  if (!Smart(W, H / 3, N - 1, ar, gx, gy, mw, mh, W, H, &small)) return false;
  const int smallRows = small.rows + (small.rest > 0 ? 1 : 0);
  const int64_t bigHeight = int64_t{H} - (int64_t{small.cellH} + gy) * smallRows;
  Uniform big;
  if (!Smart(W, ClampToInt(bigHeight), 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  PutBigAndSmall(
      {big.cellW, big.cellH, small.cellW, small.cellH, small.rows, small.cols, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateTopLayoutOrdinaryBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                     int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                     int* cols, int* rest) {
  Uniform big;
  if (!Smart(W, ClampToInt(2 * int64_t{H} / 3), 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  Uniform small;
  if (!Smart(W, ClampToInt(int64_t{H} - gy - big.cellH), N - 1, ar, gx, gy, mw, mh, W, H, &small)) {
    return false;
  }
  PutBigAndSmall(
      {big.cellW, big.cellH, small.cellW, small.cellH, small.rows, small.cols, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateLeftLayoutSmart(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                              int* bigW, int* bigH, int* smallW, int* smallH, int* rows, int* cols,
                              int* rest) {
  int64_t bigLimit = int64_t{W} * 8 / 10;
  int previousBigW = -1;
  Uniform big;
  // The small cells are the top layout's problem turned on its side: the screen's height is the
  // width, the strip's width the height, the aspect and the gaps exchanged.
  Uniform small;
  int smallColumns = 0;
  for (int pass = 1;; ++pass) {
    if (!Smart(ClampToInt(bigLimit), H, 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
    const int64_t strip = int64_t{W} - gx - big.cellW;
    if (!Smart(H, ClampToInt(strip), N - 1, 1.0f / ar, gy, gx, mw, mh, big.cellH / 3, big.cellW / 3,
               &small)) {
      return false;
    }
    smallColumns = small.rows + (small.rest > 0 ? 1 : 0);
    const float f = static_cast<float>(strip) / static_cast<float>(W);
    const int64_t retry = RetryLimit(W, f, smallColumns);
    if (retry < 0 || big.cellW == previousBigW || pass >= kMaxSmartPasses) break;
    previousBigW = big.cellW;
    bigLimit = retry;
  }
  // Turned back: the cell's width is the small window's height and the other way round.
  const int smallWidth = small.cellH;
  const int smallHeight = small.cellW;
  const int64_t bigWidth = int64_t{W} - (int64_t{smallWidth} + gx) * smallColumns;
  if (!Smart(ClampToInt(bigWidth), H, 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  PutBigAndSmall(
      {big.cellW, big.cellH, smallWidth, smallHeight, small.cols, small.rows, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateLeftLayoutPriorityBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                      int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                      int* cols, int* rest) {
  Uniform big;
  if (!Smart(ClampToInt(2 * int64_t{W} / 3), H, 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  Uniform small;
  if (!Smart(ClampToInt(int64_t{W} - gx - big.cellW), H, N - 1, ar, gx, gy, mw, mh, W, H, &small)) {
    return false;
  }
  PutBigAndSmall(
      {big.cellW, big.cellH, small.cellW, small.cellH, small.rows, small.cols, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateLeftLayoutOrdinaryBased(int W, int H, int N, float ar, int gx, int gy, int mw, int mh,
                                      int* bigW, int* bigH, int* smallW, int* smallH, int* rows,
                                      int* cols, int* rest) {
  Uniform small;
  if (!Smart(W / 3, H, N - 1, ar, gx, gy, mw, mh, W, H, &small)) return false;
  const int64_t bigWidth = int64_t{W} - (int64_t{small.cellW} + gx) * small.cols;
  Uniform big;
  if (!Smart(ClampToInt(bigWidth), H, 1, ar, gx, gy, mw, mh, W, H, &big)) return false;
  PutBigAndSmall(
      {big.cellW, big.cellH, small.cellW, small.cellH, small.rows, small.cols, small.rest}, bigW,
      bigH, smallW, smallH, rows, cols, rest);
  return true;
}

bool CalculateCornerLayoutColumnBased(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                      int mh, int* bigW, int* bigH, int* smallW, int* smallH,
                                      int* span, int* besideCols, int* belowRows, int* totalCols) {
  if (!CornerUsable(W, H, N, k, gx, gy)) return false;
  const int64_t need = int64_t{N} - 1 + int64_t{k} * k;
  int64_t tc = int64_t{k};
  int64_t tr = 0;
  float cw = 0.0f;
  for (;;) {
    ++tc;
    cw = static_cast<float>(int64_t{W} - (int64_t{k} + 2) * gx - (tc - k - 1) * gx) /
         static_cast<float>(tc);
    if (!(cw > 1.0f) || !(cw / ar > 0.0f)) return false;
    // A cell under a pixel tall without a gap leaves nothing to divide by.
    const int64_t rowPitch = int64_t{TruncToInt(cw / ar)} + gy;
    if (rowPitch <= 0) return false;
    tr = (int64_t{H} - gy) / rowPitch;
    if (tr >= k && tc * tr >= need) break;
  }
  PutCorner(FinishCorner(TruncToInt(cw), ar, k, gx, gy, mw, mh, tc, tr), bigW, bigH, smallW, smallH,
            span, besideCols, belowRows, totalCols);
  return true;
}

bool CalculateCornerLayoutRowBased(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                   int mh, int* bigW, int* bigH, int* smallW, int* smallH,
                                   int* span, int* besideCols, int* belowRows, int* totalCols) {
  if (!CornerUsable(W, H, N, k, gx, gy)) return false;
  const int64_t need = int64_t{N} - 1 + int64_t{k} * k;
  int64_t tr = int64_t{k};
  int64_t tc = 0;
  int cw = 0;
  for (;;) {
    ++tr;
    const float ch = static_cast<float>(int64_t{H} - (int64_t{k} + 2) * gy - (tr - k - 1) * gy) /
                     static_cast<float>(tr);
    if (!(ch > 1.0f) || !(ch * ar > 0.0f)) return false;
    cw = TruncToInt(ch * ar);
    const int64_t columnPitch = int64_t{cw} + gx;
    if (columnPitch <= 0) return false;
    tc = (int64_t{W} - gx) / columnPitch;
    if (tc > k && tr >= k && tc * tr >= need) break;
  }
  PutCorner(FinishCorner(cw, ar, k, gx, gy, mw, mh, tc, tr), bigW, bigH, smallW, smallH, span,
            besideCols, belowRows, totalCols);
  return true;
}

bool CalculateCornerLayoutSmart(int W, int H, int N, float ar, int k, int gx, int gy, int mw,
                                int mh, int* bigW, int* bigH, int* smallW, int* smallH, int* span,
                                int* besideCols, int* belowRows, int* totalCols) {
  Corner byRows;
  if (!CalculateCornerLayoutRowBased(W, H, N, ar, k, gx, gy, mw, mh, &byRows.bigW, &byRows.bigH,
                                     &byRows.smallW, &byRows.smallH, &byRows.span,
                                     &byRows.besideCols, &byRows.belowRows, &byRows.totalCols)) {
    byRows = Corner{};
  }
  Corner byColumns;
  if (!CalculateCornerLayoutColumnBased(W, H, N, ar, k, gx, gy, mw, mh, &byColumns.bigW,
                                        &byColumns.bigH, &byColumns.smallW, &byColumns.smallH,
                                        &byColumns.span, &byColumns.besideCols,
                                        &byColumns.belowRows, &byColumns.totalCols)) {
    byColumns = Corner{};
  }
  const int64_t rowArea = int64_t{byRows.smallW} * byRows.smallH;
  const int64_t columnArea = int64_t{byColumns.smallW} * byColumns.smallH;
  if (rowArea == 0 && columnArea == 0) return false;
  PutCorner(rowArea > columnArea ? byRows : byColumns, bigW, bigH, smallW, smallH, span, besideCols,
            belowRows, totalCols);
  return true;
}
