#include "core/media/video/video_processing.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/media/video/pixel_loops.h"
#include "core/media/video/scaling_kernels.h"

using namespace hx_processing_defs;

namespace {

int64_t Mul(int64_t a, int64_t b) { return a * b; }

// Chroma planes of an I420 picture in one buffer of `stride` x `height`.
template <typename T>
void PlanesOf(T* base, int stride, int height, T* planes[3]) {
  const int64_t luma = Mul(stride, height);
  planes[0] = base;
  planes[1] = base + luma;
  planes[2] = base + luma * 5 / 4;
}

// Each target plane holds at least the given luma width (chroma half of it) within its stride.
bool PlanesHold(const int* widths, const int* strides, int lumaWidth) {
  return widths[0] >= lumaWidth && widths[1] >= lumaWidth / 2 && widths[2] >= lumaWidth / 2 &&
         strides[0] >= widths[0] && strides[1] >= widths[1] && strides[2] >= widths[2];
}

// A plane scaling of two passes: sizes the kernels take, strides that hold their rows, and a
// row buffer of `rowBufferSize` bytes that holds the first pass (dstWidth x srcHeight).
bool TwoPassPlaneFits(int srcWidth, int srcStride, int srcHeight, int dstWidth, int dstStride,
                      int dstHeight, uint64_t rowBufferSize) {
  return srcWidth >= 2 && srcHeight >= 2 && dstWidth >= 2 && dstHeight >= 2 &&
         srcStride >= srcWidth && dstStride >= dstWidth &&
         Mul(dstWidth, srcHeight) <= static_cast<int64_t>(rowBufferSize);
}

// Scales the three planes of an I420 picture with `scalePlane` (called with a plane scaler's
// arguments), the chroma planes at half the luma sizes. Every plane is scaled even after one
// fails; the answer is then false.
template <typename ScalePlane>
bool ScaleI420Planes(const ScalePlane& scalePlane, const unsigned char* const* s, int srcWidth,
                     int srcStride, int srcHeight, unsigned char* const* d, int dstWidth,
                     int dstStride, int dstHeight) {
  bool ok = scalePlane(s[0], srcWidth, srcStride, srcHeight, d[0], dstWidth, dstStride, dstHeight);
  for (int p = 1; p < 3; ++p) {
    ok = scalePlane(s[p], srcWidth >> 1, srcStride / 2, srcHeight >> 1, d[p], dstWidth >> 1,
                    dstStride / 2, dstHeight >> 1) &&
         ok;
  }
  return ok;
}

// A row loop that turns two source rows into two luma rows and one row of each chroma plane.
using RowPairToI420 = void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*,
                               uint8_t*, int);

// Packed 4:2:2 (two bytes a pixel) to I420, two rows at a time.
bool ConvertPacked422(const unsigned char* src, int n, unsigned char** planes, const int* widths,
                      const int* strides, int h, RowPairToI420 rows) {
  if ((n & 1) || (h & 1) || n <= 0 || h <= 0 || !PlanesHold(widths, strides, n)) return false;
  for (int r = 0; r < h; r += 2) {
    const unsigned char* row = src + Mul(r, 2 * int64_t{n});
    rows(row, row + 2 * int64_t{n}, planes[0], planes[0] + strides[0], planes[1], planes[2], n / 2);
    planes[0] += 2 * int64_t{strides[0]};
    planes[1] += strides[1];
    planes[2] += strides[2];
  }
  return true;
}

}  // namespace

HX_VideoProcessingBase::HX_VideoProcessingBase() {
  m_clipTable = new unsigned char[1024];
  for (int i = 0; i < 1024; ++i) {
    m_clipTable[i] = static_cast<unsigned char>(i < 512 ? 0 : (i < 768 ? i - 512 : 255));
  }
}

HX_VideoProcessingBase::~HX_VideoProcessingBase() {
  FreeGeometry();
  delete[] m_clipTable;
}

void HX_VideoProcessingBase::FreeGeometry() {
  delete[] m_rowBuffer;
  m_rowBuffer = nullptr;
  m_rowBufferSize = 0;
  m_bicubic.Free();
  m_tableSrcX = m_tableDstX = m_tableSrcY = m_tableDstY = 0;
  delete[] m_cropBuffer;
  m_cropBuffer = nullptr;
}

// ---- what the base does not provide ----

bool HX_VideoProcessingBase::ConvertRotateToI420(const unsigned char*, unsigned long, int, int,
                                                 unsigned char*, int, int, eProcessingPixelFormat,
                                                 eRotateMode) {
  return false;
}

bool HX_VideoProcessingBase::RotateI420(const unsigned char* src, int width, int height,
                                        unsigned char* dst, int dstWidth, int dstHeight,
                                        eRotateMode rotate) {
  const unsigned long size =
      static_cast<unsigned long>(std::max<int64_t>(Mul(width, height) * 3 / 2, 0));
  return ConvertRotateToI420(src, size, width, height, dst, dstWidth, dstHeight, eI420, rotate);
}

bool HX_VideoProcessingBase::DitherI420(unsigned char*, int, int, int) { return false; }
bool HX_VideoProcessingBase::SaturateI420(unsigned char*, int, int, int, int) { return false; }
bool HX_VideoProcessingBase::ReplaceBackground(unsigned char*, unsigned char*, int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_YVYUtoI420(const unsigned char*, int, unsigned char**, int*,
                                                int*, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_MJPGtoI420(const unsigned char*, int, unsigned char**, int*,
                                                int*, int, unsigned long) {
  return false;
}
bool HX_VideoProcessingBase::Convert_I420toYUY2(const unsigned char**, int*, int*, unsigned char*,
                                                int, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_I420toUYVY(const unsigned char**, int*, int*, unsigned char*,
                                                int, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_I420toRGB24(const unsigned char**, int*, int*, unsigned char*,
                                                 int, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_I420toARGB(const unsigned char**, int*, int*, unsigned char*,
                                                int, int) {
  return false;
}
bool HX_VideoProcessingBase::Convert_I420ToYUV444(const unsigned char**, int*, int*, unsigned char*,
                                                  int, int) {
  return false;
}
bool HX_VideoProcessingBase::ResamplingPlane_Nearest(const unsigned char*, int, int, int,
                                                     unsigned char*, int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::ResamplingPlane_BilicubicUp2(const unsigned char*, int, int, int,
                                                          unsigned char*, int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::ResamplingPlane_BilicubicUp1d5(const unsigned char*, int, int, int,
                                                            unsigned char*, int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::ResamplingPlane_BilinearDown8d1(const unsigned char*, int, int, int,
                                                             unsigned char*, int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::ResampleCropRGBA(const unsigned char*, int, int, int, unsigned char*,
                                              int, int, int) {
  return false;
}
bool HX_VideoProcessingBase::ClipExpandPlain(const unsigned char*, int, int, int, unsigned char*,
                                             int, int, int, eExpandMode, unsigned char, int) {
  return false;
}
bool HX_VideoProcessingBase::MirrorRGB32(unsigned char*, int, int, int, int) { return false; }

// ---- converters to I420 ----

bool HX_VideoProcessingBase::Convert_YUY2toI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return ConvertPacked422(src, n, planes, widths, strides, h, hx::video::Loops().yuy2Rows);
}

bool HX_VideoProcessingBase::Convert_UYVYtoI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return ConvertPacked422(src, n, planes, widths, strides, h, hx::video::Loops().uyvyRows);
}

bool HX_VideoProcessingBase::Convert_YV12toI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  if (n <= 0 || h <= 0 || !PlanesHold(widths, strides, n)) return false;
  // Packed planes: Y, then V, then U.
  const int64_t luma = Mul(n, h);
  const int64_t chroma = luma / 4;
  std::memcpy(planes[0], src, luma);
  std::memcpy(planes[2], src + luma, chroma);
  std::memcpy(planes[1], src + luma + chroma, chroma);
  return true;
}

namespace {

bool SplitSemiPlanar(const unsigned char* src, int n, unsigned char** planes, const int* widths,
                     const int* strides, int h, bool uFirst) {
  if (n <= 0 || h <= 0 || !PlanesHold(widths, strides, n)) return false;
  const auto& loops = hx::video::Loops();
  for (int r = 0; r < h; ++r) {
    std::memcpy(planes[0], src, n);
    src += n;
    planes[0] += strides[0];
  }
  unsigned char* first = uFirst ? planes[1] : planes[2];
  unsigned char* second = uFirst ? planes[2] : planes[1];
  const int firstStride = uFirst ? strides[1] : strides[2];
  const int secondStride = uFirst ? strides[2] : strides[1];
  for (int r = 0; r < h / 2; ++r) {
    loops.splitPairs(src, first, second, n / 2);
    src += n;
    first += firstStride;
    second += secondStride;
  }
  if (uFirst) {
    planes[1] = first;
    planes[2] = second;
  } else {
    planes[2] = first;
    planes[1] = second;
  }
  return true;
}

}  // namespace

bool HX_VideoProcessingBase::Convert_NV12toI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return SplitSemiPlanar(src, n, planes, widths, strides, h, true);
}

bool HX_VideoProcessingBase::Convert_NV21toI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return SplitSemiPlanar(src, n, planes, widths, strides, h, false);
}

namespace {

// Bottom-up source: source rows 2i and 2i + 1 become target rows h - 1 - 2i and h - 2 - 2i.
bool ConvertRgb(const unsigned char* src, int n, int bytesPerPixel, unsigned char** planes,
                const int* widths, const int* strides, int h, RowPairToI420 rows,
                bool definePadding) {
  const int w = widths[0];
  if (n <= 0 || h <= 0 || w <= 0 || n < w || !PlanesHold(widths, strides, w)) return false;
  if (definePadding &&
      (strides[0] != widths[0] || strides[1] != widths[1] || strides[2] != widths[2])) {
    std::memset(planes[0], 0, Mul(h, strides[0]));
    std::memset(planes[1], 128, Mul(h, strides[1]) / 2);
    std::memset(planes[2], 128, Mul(h, strides[2]) / 2);
  }
  const int64_t rowBytes = int64_t{n} * bytesPerPixel;
  for (int i = 0; i < h / 2; ++i) {
    const unsigned char* r0 = src + 2 * i * rowBytes;
    rows(r0, r0 + rowBytes, planes[0] + Mul(h - 1 - 2 * i, strides[0]),
         planes[0] + Mul(h - 2 - 2 * i, strides[0]), planes[1] + Mul(h / 2 - 1 - i, strides[1]),
         planes[2] + Mul(h / 2 - 1 - i, strides[2]), w / 2);
  }
  return true;
}

}  // namespace

bool HX_VideoProcessingBase::Convert_RGB24toI420(const unsigned char* src, int n,
                                                 unsigned char** planes, int* widths, int* strides,
                                                 int h) {
  return ConvertRgb(src, n, 3, planes, widths, strides, h, hx::video::Loops().rgb24Rows, false);
}

bool HX_VideoProcessingBase::Convert_ARGBtoI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return ConvertRgb(src, n, 4, planes, widths, strides, h, hx::video::Loops().argbRows, true);
}

bool HX_VideoProcessingBase::Convert_BGRAtoI420(const unsigned char* src, int n,
                                                unsigned char** planes, int* widths, int* strides,
                                                int h) {
  return ConvertRgb(src, n, 4, planes, widths, strides, h, hx::video::Loops().bgraRows, true);
}

// ---- converters from I420 ----

bool HX_VideoProcessingBase::Convert_I420toBGRA(const unsigned char** planes, int* widths,
                                                int* strides, unsigned char* dst, int dstWidth,
                                                int height) {
  if (dstWidth <= 0 || height <= 0 || !PlanesHold(widths, strides, dstWidth)) return false;
  const auto& loops = hx::video::Loops();
  const int64_t rowBytes = int64_t{4} * dstWidth;
  for (int i = 0; i < height / 2; ++i) {
    const unsigned char* y0 = planes[0] + Mul(2 * i, strides[0]);
    unsigned char* d0 = dst + 2 * i * rowBytes;
    loops.i420ToBgraRows(y0, y0 + strides[0], planes[1] + Mul(i, strides[1]),
                         planes[2] + Mul(i, strides[2]), d0, d0 + rowBytes, dstWidth / 2);
  }
  return true;
}

namespace {

bool MergeSemiPlanar(const unsigned char** planes, const int* widths, const int* strides,
                     unsigned char* dst, int n, int h, bool uFirst) {
  if (n <= 0 || h <= 0 || !PlanesHold(widths, strides, n)) return false;
  const auto& loops = hx::video::Loops();
  for (int r = 0; r < h; ++r) std::memcpy(dst + Mul(r, n), planes[0] + Mul(r, strides[0]), n);
  unsigned char* out = dst + Mul(n, h);
  const unsigned char* first = uFirst ? planes[1] : planes[2];
  const unsigned char* second = uFirst ? planes[2] : planes[1];
  const int firstStride = uFirst ? strides[1] : strides[2];
  const int secondStride = uFirst ? strides[2] : strides[1];
  for (int r = 0; r < h / 2; ++r) {
    loops.mergePairs(first + Mul(r, firstStride), second + Mul(r, secondStride), out + Mul(r, n),
                     n / 2);
  }
  return true;
}

}  // namespace

bool HX_VideoProcessingBase::Convert_I420toNV12(const unsigned char** planes, int* widths,
                                                int* strides, unsigned char* dst, int dstWidth,
                                                int height) {
  return MergeSemiPlanar(planes, widths, strides, dst, dstWidth, height, true);
}

bool HX_VideoProcessingBase::Convert_I420toNV21(const unsigned char** planes, int* widths,
                                                int* strides, unsigned char* dst, int dstWidth,
                                                int height) {
  return MergeSemiPlanar(planes, widths, strides, dst, dstWidth, height, false);
}

// ---- one-buffer conversions ----

bool HX_VideoProcessingBase::ConvertToI420(const unsigned char* src, int srcWidth,
                                           unsigned char* dst, int dstWidth, int dstStride,
                                           int height, eProcessingPixelFormat format,
                                           unsigned long srcSize) {
  if (src == nullptr || dst == nullptr || height <= 3 || dstWidth <= 3 || srcWidth <= 3 ||
      dstStride < dstWidth) {
    return false;
  }
  // Bytes the format needs for srcWidth x height; a shorter source is refused, never overread.
  const int64_t pixels = Mul(srcWidth, height);
  int64_t needed = 0;
  switch (format) {
    case eYV12:
      needed = pixels + 2 * (pixels / 4);
      break;
    case eNV21:
    case eNV12:
      needed = pixels + Mul(srcWidth, height / 2);
      break;
    case eYUY2:
    case eYUY2_2:
    case eStereoYUY2:
    case eYVYU:
    case eUYVY:
    case eUYVY_2:
      needed = 2 * pixels;
      break;
    case eRGB24:
      needed = 3 * pixels;
      break;
    case eBGRA:
    case eBGRA_2:
    case eARGB:
      needed = 4 * pixels;
      break;
    default:
      break;
  }
  if (static_cast<uint64_t>(needed) > srcSize) return false;

  unsigned char* planes[3];
  PlanesOf(dst, dstStride, height, planes);
  int widths[3] = {dstWidth, dstWidth >> 1, dstWidth >> 1};
  int strides[3] = {dstStride, dstStride >> 1, dstStride >> 1};
  switch (format) {
    case eYV12:
      return Convert_YV12toI420(src, srcWidth, planes, widths, strides, height);
    case eNV21:
      return Convert_NV21toI420(src, srcWidth, planes, widths, strides, height);
    case eNV12:
      return Convert_NV12toI420(src, srcWidth, planes, widths, strides, height);
    case eYUY2:
    case eYUY2_2:
    case eStereoYUY2:
      return Convert_YUY2toI420(src, srcWidth, planes, widths, strides, height);
    case eYVYU:
      return Convert_YVYUtoI420(src, srcWidth, planes, widths, strides, height);
    case eUYVY:
    case eUYVY_2:
      return Convert_UYVYtoI420(src, srcWidth, planes, widths, strides, height);
    case eBGRA:
    case eBGRA_2:
      return Convert_BGRAtoI420(src, srcWidth, planes, widths, strides, height);
    case eRGB24:
      return Convert_RGB24toI420(src, srcWidth, planes, widths, strides, height);
    case eARGB:
      return Convert_ARGBtoI420(src, srcWidth, planes, widths, strides, height);
    case eMJPG:
      return Convert_MJPGtoI420(src, srcWidth, planes, widths, strides, height, srcSize);
    default:
      return false;
  }
}

bool HX_VideoProcessingBase::ConvertFromI420(const unsigned char* src, int width, int stride,
                                             unsigned char* dst, int dstWidth, int height,
                                             eProcessingPixelFormat format) {
  if (src == nullptr || dst == nullptr || width <= 3 || stride < width || dstWidth <= 3 ||
      height <= 3) {
    return false;
  }
  const unsigned char* planes[3];
  PlanesOf(src, stride, height, planes);
  int widths[3] = {width, width >> 1, width >> 1};
  int strides[3] = {stride, stride >> 1, stride >> 1};
  switch (format) {
    case eNV21:
      return Convert_I420toNV21(planes, widths, strides, dst, dstWidth, height);
    case eNV12:
      return Convert_I420toNV12(planes, widths, strides, dst, dstWidth, height);
    case eYUY2:
    case eYUY2_2:
    case eStereoYUY2:
      return Convert_I420toYUY2(planes, widths, strides, dst, dstWidth, height);
    case eUYVY:
    case eUYVY_2:
      return Convert_I420toUYVY(planes, widths, strides, dst, dstWidth, height);
    case eBGRA:
    case eBGRA_2:
      return Convert_I420toBGRA(planes, widths, strides, dst, dstWidth, height);
    case eRGB24:
      return Convert_I420toRGB24(planes, widths, strides, dst, dstWidth, height);
    case eARGB:
      return Convert_I420toARGB(planes, widths, strides, dst, dstWidth, height);
    case eYUV444:
      return Convert_I420ToYUV444(planes, widths, strides, dst, dstWidth, height);
    default:
      return false;
  }
}

// ---- geometry ----

bool HX_VideoProcessingBase::PrepareAspectRatioVars(int srcWidth, int srcHeight, int srcStride,
                                                    int dstWidth, int dstHeight, int dstStride,
                                                    eResamplingMode mode) {
  if (srcWidth == m_srcWidth && srcHeight == m_srcHeight && dstWidth == m_dstWidth &&
      dstHeight == m_dstHeight && mode == m_mode) {
    return true;
  }
  const bool modeChanged = mode != m_mode;
  if (modeChanged) FreeGeometry();
  bool ok = true;
  if (mode == eBilinear || mode == eBicubic || mode == eCrop || mode == eInscribe) {
    if (dstWidth != m_dstWidth || srcHeight != m_srcHeight || modeChanged ||
        m_rowBuffer == nullptr) {
      delete[] m_rowBuffer;
      const uint64_t size = static_cast<uint64_t>(std::max(dstStride, 0)) *
                            static_cast<uint64_t>(std::max(srcHeight, 0));
      m_rowBuffer = new (std::nothrow) unsigned char[size];
      m_rowBufferSize = m_rowBuffer != nullptr ? size : 0;
      ++m_allocations;
      ok = ok && m_rowBuffer != nullptr;
    }
    if (mode == eBicubic) {
      m_bicubic.Free();
      m_tableSrcX = m_tableDstX = m_tableSrcY = m_tableDstY = 0;
      if (srcWidth > 0 && dstWidth > 0 && srcHeight > 0 && dstHeight > 0) {
        m_bicubic.tapsX = genTableAlloc(srcWidth, dstWidth, m_bicubic.tableX);
        m_bicubic.tapsY = genTableAlloc(srcHeight, dstHeight, m_bicubic.tableY);
        m_tableSrcX = srcWidth;
        m_tableDstX = dstWidth;
        m_tableSrcY = srcHeight;
        m_tableDstY = dstHeight;
        m_allocations += 2;
      }
    }
    if (mode == eCrop || mode == eInscribe) {
      const double rx = static_cast<double>(srcWidth) / dstWidth;
      const double ry = static_cast<double>(srcHeight) / dstHeight;
      if (rx <= 1 && ry <= 1) {
        m_inscribeX = (dstWidth - srcWidth) / 2;
        m_inscribeY = (dstHeight - srcHeight) / 2;
        m_inscribeScaleX = m_inscribeScaleY = 1;
      } else if (rx >= ry) {
        const int t = static_cast<int>(srcHeight / rx + 1.5) & ~1;
        m_inscribeX = 0;
        m_inscribeY = ((dstHeight - t) / 2) & ~1;
        m_inscribeScaleX = 1 / rx;
        m_inscribeScaleY = m_inscribeY != 0 ? 1 / rx : 1 / ry;
      } else {
        const int t = static_cast<int>(srcWidth / ry + 1.5) & ~1;
        m_inscribeX = ((dstWidth - t) / 2) & ~1;
        m_inscribeY = 0;
        m_inscribeScaleX = m_inscribeX != 0 ? 1 / ry : 1 / rx;
        m_inscribeScaleY = 1 / ry;
      }
      // The crop rectangle is kept inside the source: rounding up by 1.5 may pass its edge
      // (641x481 into 640x480 would crop 482 rows).
      m_cropWidth = srcWidth;
      m_cropHeight = srcHeight;
      m_cropX = m_cropY = 0;
      if (rx > ry) {
        m_cropWidth = std::min(static_cast<int>(ry * dstWidth + 1.5) & ~1, srcWidth & ~1);
        m_cropX = ((srcWidth - m_cropWidth) / 2) & ~1;
      } else {
        m_cropHeight = std::min(static_cast<int>(rx * dstHeight + 1.5) & ~1, srcHeight & ~1);
        m_cropY = ((srcHeight - m_cropHeight) / 2) & ~1;
      }
      if (mode == eCrop) {
        delete[] m_cropBuffer;
        m_cropBuffer = new (
            std::nothrow) unsigned char[static_cast<uint64_t>(std::max(m_cropWidth, 0)) *
                                        static_cast<uint64_t>(std::max(m_cropHeight, 0)) * 3 / 2];
        ++m_allocations;
        ok = ok && m_cropBuffer != nullptr;
      }
    }
  }
  if (!ok) {
    // Leave nothing half-planned: the next call plans again.
    FreeGeometry();
    m_mode = 1;
    m_srcWidth = m_srcHeight = m_srcStride = m_dstWidth = m_dstHeight = m_dstStride = 0;
    return false;
  }
  m_mode = mode;
  m_srcWidth = srcWidth;
  m_srcHeight = srcHeight;
  m_srcStride = srcStride;
  m_dstWidth = dstWidth;
  m_dstHeight = dstHeight;
  m_dstStride = dstStride;
  return true;
}

// ---- plane scalers ----

bool HX_VideoProcessingBase::ResamplingPlane_Bilinear(const unsigned char* src, int srcWidth,
                                                      int srcStride, int srcHeight,
                                                      unsigned char* dst, int dstWidth,
                                                      int dstStride, int dstHeight) {
  if (!TwoPassPlaneFits(srcWidth, srcStride, srcHeight, dstWidth, dstStride, dstHeight,
                        m_rowBufferSize)) {
    return false;
  }
  hx::video::BilinearRowPass(src, srcStride, m_rowBuffer, srcWidth, srcHeight, dstWidth);
  b_resize_y1(m_rowBuffer, dst, dstWidth, srcHeight, dstHeight, dstStride);
  return true;
}

bool HX_VideoProcessingBase::ResamplingPlane_Bicubic(const unsigned char* src, int srcWidth,
                                                     int srcStride, int srcHeight,
                                                     unsigned char* dst, int dstWidth,
                                                     int dstStride, int dstHeight) {
  // The tables are made for the luma lengths and serve the chroma planes too (same ratio).
  if (!TwoPassPlaneFits(srcWidth, srcStride, srcHeight, dstWidth, dstStride, dstHeight,
                        m_rowBufferSize) ||
      m_bicubic.tableX == nullptr || srcWidth > m_tableSrcX || dstWidth > m_tableDstX ||
      srcHeight > m_tableSrcY || dstHeight > m_tableDstY) {
    return false;
  }
  hx::video::BicubicRowPass(src, srcStride, m_rowBuffer, srcWidth, srcHeight, dstWidth,
                            m_bicubic.tableX, m_bicubic.tapsX);
  bic_resize_y1(m_rowBuffer, dst, dstWidth, srcHeight, dstHeight, dstStride, m_bicubic.tableY,
                m_bicubic.tapsY, m_clipTable);
  return true;
}

bool HX_VideoProcessingBase::ResampleI420(const unsigned char* src, int srcWidth, int srcStride,
                                          int srcHeight, unsigned char* dst, int dstWidth,
                                          int dstStride, int dstHeight, eResamplingMode mode) {
  if (srcStride < srcWidth || src == nullptr || dst == nullptr || dstHeight < 4 || srcHeight < 4 ||
      dstWidth < 4 || srcWidth < 4 || dstStride < dstWidth) {
    return false;
  }
  if (!PrepareAspectRatioVars(srcWidth, srcHeight, srcStride, dstWidth, dstHeight, dstStride,
                              mode)) {
    return false;
  }
  switch (mode) {
    case eNearest:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_Nearest;
      break;
    case eBilinear:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_Bilinear;
      break;
    case eBicubic:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_Bicubic;
      break;
    case eBicubicUp2:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_BilicubicUp2;
      break;
    case eBicubicUp1d5:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_BilicubicUp1d5;
      break;
    case eBilinearDown8:
      m_planeResampler = &HX_VideoProcessingBase::ResamplingPlane_BilinearDown8d1;
      break;
    case eCrop:
      m_pictureResampler = &HX_VideoProcessingBase::ResampleCropI420;
      return ResampleCropI420(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                              dstHeight);
    case eInscribe:
      m_pictureResampler = &HX_VideoProcessingBase::ResampleInscribedI420;
      return ResampleInscribedI420(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                                   dstHeight);
    default:
      return false;
  }
  const unsigned char* s[3];
  unsigned char* d[3];
  PlanesOf(src, srcStride, srcHeight, s);
  PlanesOf(dst, dstStride, dstHeight, d);
  const auto scalePlane = [this](auto... args) { return (this->*m_planeResampler)(args...); };
  return ScaleI420Planes(scalePlane, s, srcWidth, srcStride, srcHeight, d, dstWidth, dstStride,
                         dstHeight);
}

bool HX_VideoProcessingBase::ResampleCropI420(const unsigned char* src, int srcWidth, int srcStride,
                                              int srcHeight, unsigned char* dst, int dstWidth,
                                              int dstStride, int dstHeight) {
  if (src == nullptr || dst == nullptr || m_mode != eCrop || m_cropBuffer == nullptr ||
      srcWidth != m_srcWidth || srcHeight != m_srcHeight || dstWidth != m_dstWidth ||
      dstHeight != m_dstHeight || srcStride < srcWidth || dstStride < dstWidth || m_cropWidth < 4 ||
      m_cropHeight < 4) {
    return false;
  }
  const int cw = m_cropWidth, ch = m_cropHeight;
  const unsigned char* s[3];
  PlanesOf(src, srcStride, srcHeight, s);
  unsigned char* c[3];
  PlanesOf(m_cropBuffer, cw, ch, c);
  for (int r = 0; r < ch; ++r) {
    std::memcpy(c[0] + Mul(r, cw), s[0] + m_cropX + Mul(m_cropY + r, srcStride), cw);
  }
  const int chromaStride = srcStride / 2;
  for (int p = 1; p < 3; ++p) {
    for (int r = 0; r < ch / 2; ++r) {
      std::memcpy(c[p] + Mul(r, cw / 2), s[p] + m_cropX / 2 + Mul(m_cropY / 2 + r, chromaStride),
                  cw / 2);
    }
  }
  unsigned char* d[3];
  PlanesOf(dst, dstStride, dstHeight, d);
  const auto scalePlane = [this](auto... args) { return ResamplingPlane_Bilinear(args...); };
  return ScaleI420Planes(scalePlane, c, cw, cw, ch, d, dstWidth, dstStride, dstHeight);
}

bool HX_VideoProcessingBase::InscribePlanes(const unsigned char* const* s, int srcWidth,
                                            int srcStride, int srcHeight, unsigned char* const* d,
                                            int dstWidth, int dstStride, int dstHeight) {
  if (m_mode != eInscribe || srcWidth != m_srcWidth || srcHeight != m_srcHeight ||
      dstWidth != m_dstWidth || dstHeight != m_dstHeight || srcStride < srcWidth ||
      dstStride < dstWidth) {
    return false;
  }
  const int w = std::min(dstWidth, static_cast<int>(srcWidth * m_inscribeScaleX + 0.5));
  const int h = std::min(dstHeight, static_cast<int>(srcHeight * m_inscribeScaleY + 0.5));
  // A picture squeezed below 4 samples leaves the kernels' range (width 0 would write before the
  // row buffer): refuse it.
  if (w < 4 || h < 4) return false;
  std::memset(d[0], 0, Mul(dstStride, dstHeight));
  std::memset(d[1], 128, Mul(dstStride >> 1, dstHeight >> 1));
  std::memset(d[2], 128, Mul(dstStride >> 1, dstHeight >> 1));
  bool ok =
      ResamplingPlane_Bilinear(s[0], srcWidth, srcStride, srcHeight,
                               d[0] + m_inscribeX + Mul(m_inscribeY, dstStride), w, dstStride, h);
  const int64_t chromaOffset = (m_inscribeX >> 1) + Mul(dstStride >> 1, m_inscribeY >> 1);
  for (int p = 1; p < 3; ++p) {
    ok = ResamplingPlane_Bilinear(s[p], srcWidth >> 1, srcStride >> 1, srcHeight >> 1,
                                  d[p] + chromaOffset, w / 2, dstStride >> 1, h / 2) &&
         ok;
  }
  return ok;
}

bool HX_VideoProcessingBase::ResampleInscribedI420(const unsigned char* src, int srcWidth,
                                                   int srcStride, int srcHeight, unsigned char* dst,
                                                   int dstWidth, int dstStride, int dstHeight) {
  if (src == nullptr || dst == nullptr) return false;
  const unsigned char* s[3];
  unsigned char* d[3];
  PlanesOf(src, srcStride, srcHeight, s);
  PlanesOf(dst, dstStride, dstHeight, d);
  return InscribePlanes(s, srcWidth, srcStride, srcHeight, d, dstWidth, dstStride, dstHeight);
}

bool HX_VideoProcessingBase::ResampleInscribedI420(const unsigned char** srcPlanes, int srcWidth,
                                                   int srcStride, int srcHeight,
                                                   unsigned char** dstPlanes, int dstWidth,
                                                   int dstStride, int dstHeight) {
  if (srcPlanes == nullptr || dstPlanes == nullptr) return false;
  for (int p = 0; p < 3; ++p) {
    if (srcPlanes[p] == nullptr || dstPlanes[p] == nullptr) return false;
  }
  return InscribePlanes(srcPlanes, srcWidth, srcStride, srcHeight, dstPlanes, dstWidth, dstStride,
                        dstHeight);
}

namespace {

bool PlaneArgsOk(const unsigned char** s, int srcWidth, int srcStride, int srcHeight,
                 unsigned char** d, int dstWidth, int dstStride, int dstHeight) {
  if (s == nullptr || d == nullptr) return false;
  for (int p = 0; p < 3; ++p) {
    if (s[p] == nullptr || d[p] == nullptr) return false;
  }
  return srcWidth <= srcStride && dstHeight >= 4 && srcHeight >= 4 && dstWidth >= 4 &&
         srcWidth >= 4 && dstWidth <= dstStride;
}

}  // namespace

bool HX_VideoProcessingBase::ResampleStereoI420(const unsigned char** srcPlanes, int srcWidth,
                                                int srcStride, int srcHeight,
                                                unsigned char** dstPlanes, int dstWidth,
                                                int dstStride, int dstHeight) {
  if (!PlaneArgsOk(srcPlanes, srcWidth, srcStride, srcHeight, dstPlanes, dstWidth, dstStride,
                   dstHeight) ||
      !PrepareAspectRatioVars(srcWidth, srcHeight, srcStride, dstWidth, dstHeight, dstStride,
                              eInscribe)) {
    return false;
  }
  return ResampleInscribedI420(srcPlanes, srcWidth, srcStride, srcHeight, dstPlanes, dstWidth,
                               dstStride, dstHeight);
}

bool HX_VideoProcessingBase::ResampleRecordI420(const unsigned char** srcPlanes, int srcWidth,
                                                int srcStride, int srcHeight,
                                                unsigned char** dstPlanes, int dstWidth,
                                                int dstStride, int dstHeight) {
  if (!PlaneArgsOk(srcPlanes, srcWidth, srcStride, srcHeight, dstPlanes, dstWidth, dstStride,
                   dstHeight) ||
      !PrepareAspectRatioVars(srcWidth, srcHeight, srcStride, dstWidth, dstHeight, dstStride,
                              eBicubic)) {
    return false;
  }
  const auto scalePlane = [this](auto... args) { return ResamplingPlane_Bicubic(args...); };
  return ScaleI420Planes(scalePlane, srcPlanes, srcWidth, srcStride, srcHeight, dstPlanes,
                         dstWidth, dstStride, dstHeight);
}

bool HX_VideoProcessingBase::ResampleRGBA(const unsigned char* src, int srcWidth, int srcStride,
                                          int srcHeight, unsigned char* dst, int dstWidth,
                                          int dstStride, int dstHeight, eResamplingMode mode) {
  PrepareAspectRatioVars(srcWidth, srcHeight, srcStride, dstWidth, dstHeight, dstStride, mode);
  ResampleCropRGBA(src, srcWidth, srcStride * 4, srcHeight, dst, dstWidth, dstStride * 4,
                   dstHeight);
  return false;
}

bool HX_VideoProcessingBase::SplitRGBAToPlanes(const unsigned char* src, int width, int stride,
                                               int height, unsigned char** planes) {
  return RGBAToPlanes(src, width, stride, height, planes);
}

bool HX_VideoProcessingBase::RGBAToPlanes(const unsigned char* src, int width, int stride,
                                          int height, unsigned char** planes) {
  if (src == nullptr || planes == nullptr || width <= 0 || height <= 0 ||
      int64_t{stride} < int64_t{width} * 4) {
    return false;
  }
  for (int p = 0; p < 4; ++p) {
    if (planes[p] == nullptr) return false;
  }
  for (int r = 0; r < height; ++r) {
    const unsigned char* row = src + Mul(r, stride);
    const int64_t base = Mul(r, width);
    for (int x = 0; x < width; ++x) {
      for (int p = 0; p < 4; ++p) planes[p][base + x] = row[4 * x + p];
    }
  }
  return true;
}

bool HX_VideoProcessingBase::ClipI420(const unsigned char* src, int srcWidth, int srcStride,
                                      int srcHeight, unsigned char* dst, int dstWidth,
                                      int dstStride, int dstHeight, eExpandMode mode) {
  if (dstStride > dstWidth || srcStride > srcWidth || dstHeight > srcHeight ||
      dstWidth > srcWidth || srcWidth < 8 || srcHeight < 8 || src == nullptr || dst == nullptr) {
    return false;
  }
  const unsigned char* s[3];
  unsigned char* d[3];
  PlanesOf(src, srcStride, srcHeight, s);
  PlanesOf(dst, dstStride, dstHeight, d);
  if (!ClipExpandPlain(s[0], srcWidth, srcStride, srcHeight, d[0], dstWidth, dstStride, dstHeight,
                       mode, 0, 1)) {
    return false;
  }
  for (int p = 1; p < 3; ++p) {
    if (!ClipExpandPlain(s[p], srcWidth >> 1, srcStride >> 1, srcHeight >> 1, d[p], dstWidth >> 1,
                         dstStride >> 1, dstHeight >> 1, mode, 128, 2)) {
      return false;
    }
  }
  return true;
}

bool HX_VideoProcessingBase::ExpandRGB24(const unsigned char* src, int srcWidth, int srcHeight,
                                         unsigned char* dst, int dstWidth, int dstHeight,
                                         eExpandMode mode) {
  if (dstHeight > srcHeight || dstWidth > srcWidth || srcWidth < 8 || srcHeight < 8 ||
      src == nullptr || dst == nullptr) {
    return false;
  }
  return ClipExpandPlain(src, 3 * srcWidth, 3 * srcWidth, srcHeight, dst, 3 * dstWidth,
                         3 * dstWidth, dstHeight, mode, 0, 0);
}

// ---- mirroring ----

bool HX_VideoProcessingBase::CopyMirrorPlane(const unsigned char* src, unsigned char* dst,
                                             int width, int stride, int height) {
  for (int r = 0; r < height; ++r) {
    const unsigned char* s = src + Mul(r, stride);
    unsigned char* d = dst + Mul(r, stride);
    for (int j = 0; j < width; ++j) d[stride - 1 - j] = s[j];
  }
  return true;
}

bool HX_VideoProcessingBase::MirrorI420(const unsigned char* src, unsigned char* dst, int width,
                                        int stride, int height, int) {
  if (src == nullptr || dst == nullptr || width <= 0 || height <= 0 || stride < width) {
    return false;
  }
  const unsigned char* s[3];
  unsigned char* d[3];
  PlanesOf(src, stride, height, s);
  PlanesOf(dst, stride, height, d);
  CopyMirrorPlane(s[0], d[0], width, stride, height);
  CopyMirrorPlane(s[1], d[1], width / 2, stride / 2, height / 2);
  CopyMirrorPlane(s[2], d[2], width / 2, stride / 2, height / 2);
  return true;
}

bool HX_VideoProcessingBase::MirrorI420(unsigned char* buf, int width, int stride, int height,
                                        int) {
  if (buf == nullptr || width <= 0 || height <= 0 || stride < width || width % 4 != 0) {
    return false;
  }
  unsigned char* p[3];
  PlanesOf(buf, stride, height, p);
  auto swapRows = [](unsigned char* plane, int half, int rowStride, int rows) {
    for (int r = 0; r < rows; ++r) {
      unsigned char* row = plane + Mul(r, rowStride);
      for (int j = 0; j < half; ++j) std::swap(row[j], row[rowStride - 1 - j]);
    }
  };
  swapRows(p[0], width / 2, stride, height);
  swapRows(p[1], width / 4, stride / 2, height / 2);
  swapRows(p[2], width / 4, stride / 2, height / 2);
  return true;
}

bool HX_VideoProcessingBase::MirrorHorizontal(const unsigned char* src, unsigned char* dst,
                                              int width, int stride, int height,
                                              eProcessingPixelFormat format) {
  return format == eI420 && MirrorI420(src, dst, width, stride, height, 0);
}
bool HX_VideoProcessingBase::MirrorVertical(const unsigned char* src, unsigned char* dst, int width,
                                            int stride, int height, eProcessingPixelFormat format) {
  return format == eI420 && MirrorI420(src, dst, width, stride, height, 1);
}
bool HX_VideoProcessingBase::MirrorBoth(const unsigned char* src, unsigned char* dst, int width,
                                        int stride, int height, eProcessingPixelFormat format) {
  return format == eI420 && MirrorI420(src, dst, width, stride, height, 2);
}

namespace {
bool IsRgb32(eProcessingPixelFormat f) { return f == eBGRA || f == eARGB || f == eBGRA_2; }
}  // namespace

bool HX_VideoProcessingBase::MirrorHorizontal(unsigned char* buf, int width, int stride, int height,
                                              eProcessingPixelFormat format) {
  if (format == eI420) return MirrorI420(buf, width, stride, height, 0);
  return IsRgb32(format) && MirrorRGB32(buf, width, stride, height, 0);
}
bool HX_VideoProcessingBase::MirrorVertical(unsigned char* buf, int width, int stride, int height,
                                            eProcessingPixelFormat format) {
  if (format == eI420) return MirrorI420(buf, width, stride, height, 1);
  return IsRgb32(format) && MirrorRGB32(buf, width, stride, height, 1);
}
bool HX_VideoProcessingBase::MirrorBoth(unsigned char* buf, int width, int stride, int height,
                                        eProcessingPixelFormat format) {
  if (format == eI420) return MirrorI420(buf, width, stride, height, 2);
  return IsRgb32(format) && MirrorRGB32(buf, width, stride, height, 2);
}
