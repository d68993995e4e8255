#include "core/media/video/scaling_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/media/video/pixel_loops.h"

using hx::video::Clip;
using hx::video::Loops;

uint16_t interp_lin_(double x) {
  return static_cast<uint16_t>(static_cast<int>((std::floor(x) - x + 1) * 256 + 0.5));
}

uint16_t interp_cubic(double x) {
  const double t = (x - std::floor(x)) - 0.5;
  return static_cast<uint16_t>(static_cast<int>((-4 * t * t * t + 0.5) * 256 + 0.5));
}

uint16_t interp_exp(double x) {
  const double t = x - std::floor(x);
  return static_cast<uint16_t>(
      static_cast<int>((std::exp(-2.5 * t * t) - 0.0820849986238988 * t) * 256 + 0.5));
}

HX_InterpFunc interp_funk = interp_lin_;

namespace {

// Positions of the inner targets 1 .. dstLength - 2 (the two ends are copies): the source index
// (times the bytes per pixel) and the weight of the left sample. Kept per thread and reused.
struct BilinearPositions {
  std::vector<int32_t> index;
  std::vector<uint16_t> weight;
};

const BilinearPositions& MakePositions(int srcLength, int dstLength, int bytesPerPixel) {
  thread_local BilinearPositions p;
  const int inner = std::max(dstLength - 2, 0);
  if (p.index.size() < static_cast<size_t>(inner)) {
    p.index.resize(inner);
    p.weight.resize(inner);
  }
  const double ratio = dstLength > 1 ? static_cast<double>(srcLength - 1) / (dstLength - 1) : 0;
  for (int i = 1; i <= inner; ++i) {
    const double x = ratio * i;
    p.index[i - 1] = static_cast<int>(x) * bytesPerPixel;
    p.weight[i - 1] = interp_funk(x);
  }
  return p;
}

// Row pass for `bpp` interleaved bytes per pixel, every byte with its pixel's weight.
template <int kBpp>
void BilinearRows(const uint8_t* src, uint8_t* dst, int srcWidth, int rows, int dstWidth) {
  const BilinearPositions& p = MakePositions(srcWidth, dstWidth, kBpp);
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + static_cast<int64_t>(r) * srcWidth * kBpp;
    uint8_t* d = dst + static_cast<int64_t>(r) * dstWidth * kBpp;
    for (int i = 1; i < dstWidth - 1; ++i) {
      const int k = p.index[i - 1];
      const unsigned w = p.weight[i - 1];
      for (int c = 0; c < kBpp; ++c) {
        d[i * kBpp + c] =
            static_cast<uint8_t>((w * s[k + c] + (256 - w) * s[k + kBpp + c] + 128) >> 8);
      }
    }
    std::memcpy(d, s, kBpp);
    std::memcpy(d + (dstWidth - 1) * kBpp, s + (srcWidth - 1) * kBpp, kBpp);
  }
}

int64_t Offset(int row, int step) { return static_cast<int64_t>(row) * step; }

}  // namespace

namespace hx::video {

void BilinearRowPass(const uint8_t* src, int srcStride, uint8_t* rowBuffer, int srcWidth, int rows,
                     int dstWidth) {
  const BilinearPositions& p = MakePositions(srcWidth, dstWidth, 1);
  const auto& loops = Loops();
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + Offset(r, srcStride);
    uint8_t* d = rowBuffer + Offset(r, dstWidth);
    if (dstWidth > 2) loops.bilinearGather(s, p.index.data(), p.weight.data(), d + 1, dstWidth - 2);
    d[0] = s[0];
    d[dstWidth - 1] = s[srcWidth - 1];
  }
}

void BicubicRowPass(const uint8_t* src, int srcStride, uint8_t* rowBuffer, int srcWidth, int rows,
                    int dstWidth, const short* table, int taps) {
  Loops().bicubicRows(src, srcStride, srcWidth, rows, table, taps, rowBuffer, dstWidth);
}

}  // namespace hx::video

int b_resize_x1(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth) {
  hx::video::BilinearRowPass(src, srcWidth, rowBuffer, srcWidth, rows, dstWidth);
  return 0;
}

int b_resize_y1(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                int dstStride) {
  const auto& loops = Loops();
  const double ratio = dstHeight > 1 ? static_cast<double>(srcHeight - 1) / (dstHeight - 1) : 0;
  std::memcpy(dst, rowBuffer, width);
  for (int i = 1; i < dstHeight - 1; ++i) {
    const double y = ratio * i;
    const int row = static_cast<int>(y);
    const uint8_t* upper = rowBuffer + Offset(row, width);
    loops.blendRows(upper, upper + width, dst + Offset(i, dstStride), width, interp_funk(y));
  }
  if (dstHeight > 1) {
    std::memcpy(dst + Offset(dstHeight - 1, dstStride), rowBuffer + Offset(srcHeight - 1, width),
                width);
  }
  return 0;
}

int b_resize_x3(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth) {
  BilinearRows<3>(src, rowBuffer, srcWidth, rows, dstWidth);
  return 0;
}

int b_resize_y3(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                int dstStride) {
  return b_resize_y1(rowBuffer, dst, 3 * width, srcHeight, dstHeight, dstStride);
}

int b_resize_x3_4(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth) {
  BilinearRows<4>(src, rowBuffer, srcWidth, rows, dstWidth);
  return 0;
}

int b_resize_y3_4(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                  int dstStride) {
  return b_resize_y1(rowBuffer, dst, 4 * width, srcHeight, dstHeight, dstStride);
}

int b_resize_x_565(const uint16_t* src, uint8_t* dst, int width, int height, int dstWidth) {
  // Expanded one row at a time into a per-thread row, then the 4-byte row pass.
  thread_local std::vector<uint8_t> row;
  row.resize(static_cast<size_t>(width) * 4);
  for (int r = 0; r < height; ++r) {
    const uint16_t* s = src + Offset(r, width);
    for (int i = 0; i < width; ++i) {
      row[4 * i] = static_cast<uint8_t>((s[i] >> 8) & 0xF8);
      row[4 * i + 1] = static_cast<uint8_t>((s[i] >> 3) & 0xFC);
      row[4 * i + 2] = static_cast<uint8_t>(s[i] << 3);
      row[4 * i + 3] = 0;
    }
    BilinearRows<4>(row.data(), dst + Offset(r, dstWidth) * 4, width, 1, dstWidth);
  }
  return 0;
}

int b_resize_y_565(const uint8_t* src, uint16_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride) {
  const double ratio = dstHeight > 1 ? static_cast<double>(srcHeight - 1) / (dstHeight - 1) : 0;
  const int64_t rowBytes = int64_t{4} * width;
  for (int i = 0; i < dstHeight; ++i) {
    int upperRow;
    unsigned w;
    if (i == 0 || i == dstHeight - 1) {
      upperRow = i == 0 ? 0 : srcHeight - 1;
      w = 256;
    } else {
      const double y = ratio * i;
      upperRow = static_cast<int>(y);
      w = interp_funk(y);
    }
    const uint8_t* upper = src + upperRow * rowBytes;
    // The lower row only matters when w < 256; at the last row it is the upper one itself.
    const uint8_t* lower = w < 256 ? upper + rowBytes : upper;
    uint16_t* d = dst + Offset(i, dstStride);
    for (int x = 0; x < width; ++x) {
      const unsigned sr = w * upper[4 * x] + (256 - w) * lower[4 * x] + 128;
      const unsigned sg = w * upper[4 * x + 1] + (256 - w) * lower[4 * x + 1] + 128;
      const unsigned sb = w * upper[4 * x + 2] + (256 - w) * lower[4 * x + 2] + 128;
      d[x] = static_cast<uint16_t>((sr & 0xF800) | ((sg >> 5) & 0xFFE0) | (sb >> 11));
    }
  }
  return 0;
}

double bicubicInterpFunc(double x) {
  const double t = std::fabs(x);
  if (t < 1) return 1.25 * t * t * t - 2.25 * t * t + 1;
  if (t < 2) return -0.75 * t * t * t + 3.75 * t * t - 6 * t + 3;
  return 0;
}

int genTableAlloc(int srcLength, int dstLength, short*& table) {
  const double b = static_cast<double>(srcLength) / dstLength;
  const int n = static_cast<int>(std::ceil(4 * b));
  // An enlargement takes the kernel at the plain source distance: dividing by b < 1 would narrow
  // it below the tap spacing and leave rows whose weights sum to almost nothing.
  const double scale = b < 1 ? 1.0 : b;
  table = new short[static_cast<size_t>(dstLength) * (n + 1)];
  std::vector<double> w(n);
  for (int i = 0; i < dstLength; ++i) {
    const double d = i * b - n / 2.0 + (b - 1) / 2 + 1;
    const double firstD = std::floor(d);
    const int first = static_cast<int>(firstD);
    const double f = d - firstD - 0.5;
    double sum = 0;
    for (int k = 0; k < n; ++k) {
      const int j = n - 1 - k;
      const int index = first + j;
      w[j] = (index >= 0 && index < srcLength) ? bicubicInterpFunc((k + f - (n - 1) / 2.0) / scale)
                                               : 0;
      sum += w[j];
    }
    const double norm = sum != 0 ? 4096 / sum : 0;
    short* row = table + static_cast<size_t>(i) * (n + 1);
    for (int j = 0; j < n; ++j) {
      const long v = std::lround(w[j] * norm);  // half away from zero
      row[j] = static_cast<short>(std::clamp<long>(v, INT16_MIN, INT16_MAX));
    }
    row[n] = static_cast<short>(std::clamp(first, INT16_MIN, INT16_MAX));
  }
  return n;
}

namespace {

template <int kBpp>
void BicubicRows(const uint8_t* src, uint8_t* dst, int srcWidth, int rows, int dstWidth,
                 const short* table, int taps) {
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + Offset(r, srcWidth) * kBpp;
    uint8_t* d = dst + Offset(r, dstWidth) * kBpp;
    for (int j = 0; j < dstWidth; ++j) {
      const short* w = table + static_cast<int64_t>(j) * (taps + 1);
      const int first = w[taps];
      int sum[kBpp] = {};
      for (int k = first < 0 ? -first : 0; k < taps && first + k < srcWidth; ++k) {
        for (int c = 0; c < kBpp; ++c) sum[c] += w[k] * s[(first + k) * kBpp + c];
      }
      for (int c = 0; c < kBpp; ++c) d[j * kBpp + c] = Clip((sum[c] + 2048) >> 12);
    }
  }
}

}  // namespace

void bic_resize_x1(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                   const short* table, int taps, const uint8_t*) {
  hx::video::BicubicRowPass(src, srcWidth, rowBuffer, srcWidth, rows, dstWidth, table, taps);
}

void bic_resize_y1(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride, const short* table, int taps, const uint8_t*) {
  const auto& loops = Loops();
  // Reused per thread so that a stream of frames costs no allocation.
  thread_local std::vector<const uint8_t*> rows;
  thread_local std::vector<int16_t> weights;
  if (rows.size() < static_cast<size_t>(taps)) {
    rows.resize(taps);
    weights.resize(taps);
  }
  for (int i = 0; i < dstHeight; ++i) {
    const short* w = table + static_cast<int64_t>(i) * (taps + 1);
    const int first = w[taps];
    int count = 0;
    for (int k = first < 0 ? -first : 0; k < taps && first + k < srcHeight; ++k) {
      rows[count] = rowBuffer + Offset(first + k, width);
      weights[count] = w[k];
      ++count;
    }
    loops.bicubicColumns(rows.data(), weights.data(), count, dst + Offset(i, dstStride), width);
  }
}

void bic_resize_x3(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                   const short* table, int taps, const uint8_t*) {
  BicubicRows<3>(src, rowBuffer, srcWidth, rows, dstWidth, table, taps);
}

void bic_resize_y3(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride, const short* table, int taps, const uint8_t* clipTable) {
  bic_resize_y1(rowBuffer, dst, 3 * width, srcHeight, dstHeight, dstStride, table, taps, clipTable);
}

void bic_resize_x3_4(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                     const short* table, int taps, const uint8_t*) {
  BicubicRows<4>(src, rowBuffer, srcWidth, rows, dstWidth, table, taps);
}

void bic_resize_y3_4(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight,
                     int dstHeight, int dstStride, const short* table, int taps,
                     const uint8_t* clipTable) {
  bic_resize_y1(rowBuffer, dst, 4 * width, srcHeight, dstHeight, dstStride, table, taps, clipTable);
}

namespace {

void Expand565(uint16_t p, uint8_t* out) {
  out[0] = static_cast<uint8_t>((p >> 8) & 0xF8);
  out[1] = static_cast<uint8_t>((p >> 3) & 0xFC);
  out[2] = static_cast<uint8_t>(p << 3);
}

uint16_t Pack565(const uint8_t* rgb) {
  return static_cast<uint16_t>(((rgb[0] & 0xF8) << 8) | ((rgb[1] & 0xFC) << 3) | (rgb[2] >> 3));
}

}  // namespace

void bic_resize_x_565(const uint16_t* src, uint16_t* dst, int width, int height, int dstWidth,
                      const uint8_t*) {
  short* table = nullptr;
  const int taps = genTableAlloc(width, dstWidth, table);
  std::vector<uint8_t> in(static_cast<size_t>(width) * 3), out(static_cast<size_t>(dstWidth) * 3);
  for (int r = 0; r < height; ++r) {
    for (int i = 0; i < width; ++i) Expand565(src[Offset(r, width) + i], &in[3 * i]);
    BicubicRows<3>(in.data(), out.data(), width, 1, dstWidth, table, taps);
    for (int i = 0; i < dstWidth; ++i) dst[Offset(r, dstWidth) + i] = Pack565(&out[3 * i]);
  }
  delete[] table;
}

void bic_resize_y_565(const uint16_t* src, uint16_t* dst, int width, int srcHeight, int dstHeight,
                      int dstStride, const uint8_t*) {
  short* table = nullptr;
  const int taps = genTableAlloc(srcHeight, dstHeight, table);
  for (int i = 0; i < dstHeight; ++i) {
    const short* w = table + static_cast<int64_t>(i) * (taps + 1);
    const int first = w[taps];
    for (int x = 0; x < width; ++x) {
      int sum[3] = {};
      for (int k = first < 0 ? -first : 0; k < taps && first + k < srcHeight; ++k) {
        uint8_t rgb[3];
        Expand565(src[Offset(first + k, width) + x], rgb);
        for (int c = 0; c < 3; ++c) sum[c] += w[k] * rgb[c];
      }
      const uint8_t rgb[3] = {Clip((sum[0] + 2048) >> 12), Clip((sum[1] + 2048) >> 12),
                              Clip((sum[2] + 2048) >> 12)};
      dst[Offset(i, dstStride) + x] = Pack565(rgb);
    }
  }
  delete[] table;
}

const short bicubic_cf_8[32] = {-1,  -11, -26, -41, -53, -57, -48, -21, 27,  95,  175,
                                261, 345, 419, 476, 508, 508, 476, 419, 345, 261, 175,
                                95,  27,  -21, -48, -57, -53, -41, -26, -11, -1};

namespace hx::video {

void Reduce8Sums(const uint8_t* src, int step, int length, int32_t* sums) {
  const int n = length / 8;
  if (length < 32) return;
  auto at = [&](int i) -> int32_t { return src[static_cast<int64_t>(i) * step]; };
  const int last = length - 1;
  for (int k = 0; k < n; ++k) {
    int32_t sum = 0;
    if (k == 0) {
      sum = 2048 * at(0);
      for (int m = 16; m < 32; ++m) sum += bicubic_cf_8[m] * at(m - 16);
    } else if (k == 1) {
      for (int m = 8; m < 32; ++m) sum += bicubic_cf_8[m] * at(m);
      sum += -258 * at(8);
    } else if (k == n - 1) {
      sum = 4354 * at(last);
      for (int m = 0; m < 8; ++m) sum += bicubic_cf_8[m] * at(length - 9 + m);
    } else if (k == n - 2) {
      for (int m = 0; m < 16; ++m) sum += bicubic_cf_8[m] * at(length - 17 + m);
      sum += 2048 * at(last);
    } else {
      for (int m = 0; m < 32; ++m) sum += bicubic_cf_8[m] * at(8 * (k - 2) + m);
    }
    sums[k] = sum;
  }
}

}  // namespace hx::video

void bic_resize_8_x1(const uint8_t* src, uint8_t* dst, int srcWidth, int rows, const uint8_t*) {
  if (srcWidth < 32) return;
  const int n = srcWidth / 8;
  std::vector<int32_t> sums(n);
  for (int r = 0; r < rows; ++r) {
    hx::video::Reduce8Sums(src + Offset(r, srcWidth), 1, srcWidth, sums.data());
    for (int k = 0; k < n; ++k) dst[Offset(r, n) + k] = Clip((sums[k] + 2048) >> 12);
  }
}

void bic_resize_8_y1(const uint8_t* src, uint8_t* dst, int width, int srcHeight, int dstHeight,
                     const uint8_t*) {
  if (srcHeight < 32) return;
  const int n = std::min(srcHeight / 8, dstHeight);
  std::vector<int32_t> sums(srcHeight / 8);
  for (int x = 0; x < width; ++x) {
    hx::video::Reduce8Sums(src + x, width, srcHeight, sums.data());
    for (int k = 0; k < n; ++k) dst[Offset(k, width) + x] = Clip((sums[k] + 2048) >> 12);
  }
}
