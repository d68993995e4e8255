#pragma once
// HX_VideoProcessingBase: the picture toolbox of the capture path. It converts raw pixel formats
// to planar I420 and back, scales I420 pictures (bilinear and bicubic plane scaling, and two modes
// that keep the aspect ratio: crop the centre, or inscribe the whole picture on black), scales
// stereo and recorder pictures, mirrors, and splits 32-bit pixels into planes.
//
// I420 here: a luma plane of height rows `stride` bytes apart (width used), then the U plane and
// the V plane of height / 2 rows stride / 2 bytes apart (width / 2 used). In one buffer U starts
// at stride * height and V at stride * height * 5 / 4.
//
// Every operation is virtual so that a platform can derive a richer toolbox; what this base does
// not provide (rotation, dither, saturation, background replacement, YVYU and MJPG decoding,
// I420 to YUY2, UYVY, RGB24, ARGB and YUV444, the nearest and fixed-ratio scalers, RGBA crop,
// clip/expand, RGB32 mirroring) answers false and touches nothing. Every failure is a false.
//
// The object caches the geometry of the last resampling (sizes, mode, row buffer, bicubic tables,
// crop buffer) and recomputes it only when the sizes or the mode change, so a stream of equal
// frames costs no allocation. That cache makes one object serve one picture stream at a time:
// not thread-safe, used by one thread at a time.

#include <cstdint>

#include "core/media/video/video_processing_defs.h"

class HX_VideoProcessingBase {
 public:
  using eProcessingPixelFormat = hx_processing_defs::eProcessingPixelFormat;
  using eResamplingMode = hx_processing_defs::eResamplingMode;
  using eRotateMode = hx_processing_defs::eRotateMode;
  using eExpandMode = hx_processing_defs::eExpandMode;

  HX_VideoProcessingBase();
  virtual ~HX_VideoProcessingBase();
  HX_VideoProcessingBase(const HX_VideoProcessingBase&) = delete;
  HX_VideoProcessingBase& operator=(const HX_VideoProcessingBase&) = delete;

  // ---- virtual operations, in slot order ----
  virtual bool ConvertRotateToI420(const unsigned char* src, unsigned long srcSize, int width,
                                   int height, unsigned char* dst, int dstWidth, int dstHeight,
                                   eProcessingPixelFormat format, eRotateMode rotate);
  // ConvertRotateToI420 with pixel format 0.
  virtual bool RotateI420(const unsigned char* src, int width, int height, unsigned char* dst,
                          int dstWidth, int dstHeight, eRotateMode rotate);
  virtual bool DitherI420(unsigned char* buf, int width, int stride, int height);
  virtual bool SaturateI420(unsigned char* buf, int width, int stride, int height, int level);
  virtual bool ReplaceBackground(unsigned char* picture, unsigned char* background, int width,
                                 int stride, int height);
  // Converters to I420: three plane pointers, the planes' widths and strides. The source holds
  // srcWidth pixels per row; callers check the source's size (ConvertToI420 does).
  virtual bool Convert_YVYUtoI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_YUY2toI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_UYVYtoI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_YV12toI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_NV12toI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_NV21toI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  // RGB sources are bottom-up: the first source row becomes the last target row.
  virtual bool Convert_RGB24toI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                   int* widths, int* strides, int height);
  virtual bool Convert_ARGBtoI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_BGRAtoI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height);
  virtual bool Convert_MJPGtoI420(const unsigned char* src, int srcWidth, unsigned char** planes,
                                  int* widths, int* strides, int height, unsigned long srcSize);
  // Converters from I420: the source planes with their widths and strides; target rows packed.
  virtual bool Convert_I420toYUY2(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420toUYVY(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420toRGB24(const unsigned char** planes, int* widths, int* strides,
                                   unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420toARGB(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  // Top-down; bytes B, G, R of each 4-byte pixel written, the fourth left as it is.
  virtual bool Convert_I420toBGRA(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420ToYUV444(const unsigned char** planes, int* widths, int* strides,
                                    unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420toNV12(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  virtual bool Convert_I420toNV21(const unsigned char** planes, int* widths, int* strides,
                                  unsigned char* dst, int dstWidth, int height);
  // Plane scalers: one 8-bit plane. They use the geometry that PrepareAspectRatioVars cached and
  // answer false when that geometry does not cover the call's sizes.
  virtual bool ResamplingPlane_Nearest(const unsigned char* src, int srcWidth, int srcStride,
                                       int srcHeight, unsigned char* dst, int dstWidth,
                                       int dstStride, int dstHeight);
  virtual bool ResamplingPlane_Bilinear(const unsigned char* src, int srcWidth, int srcStride,
                                        int srcHeight, unsigned char* dst, int dstWidth,
                                        int dstStride, int dstHeight);
  virtual bool ResamplingPlane_BilicubicUp2(const unsigned char* src, int srcWidth, int srcStride,
                                            int srcHeight, unsigned char* dst, int dstWidth,
                                            int dstStride, int dstHeight);
  virtual bool ResamplingPlane_BilicubicUp1d5(const unsigned char* src, int srcWidth, int srcStride,
                                              int srcHeight, unsigned char* dst, int dstWidth,
                                              int dstStride, int dstHeight);
  virtual bool ResamplingPlane_BilinearDown8d1(const unsigned char* src, int srcWidth,
                                               int srcStride, int srcHeight, unsigned char* dst,
                                               int dstWidth, int dstStride, int dstHeight);
  virtual bool ResamplingPlane_Bicubic(const unsigned char* src, int srcWidth, int srcStride,
                                       int srcHeight, unsigned char* dst, int dstWidth,
                                       int dstStride, int dstHeight);
  // Whole I420 pictures in the cached crop (mode 7) or inscribe (mode 8) geometry; false when
  // the cached geometry is not for these sizes or its extent is below 4.
  virtual bool ResampleCropI420(const unsigned char* src, int srcWidth, int srcStride,
                                int srcHeight, unsigned char* dst, int dstWidth, int dstStride,
                                int dstHeight);
  virtual bool ResampleCropRGBA(const unsigned char* src, int srcWidth, int srcStride,
                                int srcHeight, unsigned char* dst, int dstWidth, int dstStride,
                                int dstHeight);
  virtual bool ResampleInscribedI420(const unsigned char* src, int srcWidth, int srcStride,
                                     int srcHeight, unsigned char* dst, int dstWidth, int dstStride,
                                     int dstHeight);
  virtual bool ResampleInscribedI420(const unsigned char** srcPlanes, int srcWidth, int srcStride,
                                     int srcHeight, unsigned char** dstPlanes, int dstWidth,
                                     int dstStride, int dstHeight);
  virtual bool ClipExpandPlain(const unsigned char* src, int srcWidth, int srcStride, int srcHeight,
                               unsigned char* dst, int dstWidth, int dstStride, int dstHeight,
                               eExpandMode mode, unsigned char fill, int planeKind);
  // Mirror left to right whatever the kind (0 horizontal, 1 vertical, 2 both).
  virtual bool MirrorI420(const unsigned char* src, unsigned char* dst, int width, int stride,
                          int height, int kind);
  // In place; false unless the width is a multiple of 4.
  virtual bool MirrorI420(unsigned char* buf, int width, int stride, int height, int kind);
  virtual bool MirrorRGB32(unsigned char* buf, int width, int stride, int height, int kind);
  // Bytes 0..3 of each pixel to planes 0..3 (planes packed at width).
  virtual bool RGBAToPlanes(const unsigned char* src, int width, int stride, int height,
                            unsigned char** planes);

  // ---- operations built on the virtual ones ----
  // Converts a raw picture of `srcSize` bytes into an I420 picture of dstStride x height in one
  // buffer. False on a null pointer, height, width or source width below 4, a stride below the
  // width, a format without a converter, or a source that holds fewer bytes than the format needs.
  bool ConvertToI420(const unsigned char* src, int srcWidth, unsigned char* dst, int dstWidth,
                     int dstStride, int height, eProcessingPixelFormat format,
                     unsigned long srcSize);
  bool ConvertFromI420(const unsigned char* src, int width, int stride, unsigned char* dst,
                       int dstWidth, int height, eProcessingPixelFormat format);
  // Scales an I420 picture in one buffer with the given mode (2, 3, 7, 8 provided).
  bool ResampleI420(const unsigned char* src, int srcWidth, int srcStride, int srcHeight,
                    unsigned char* dst, int dstWidth, int dstStride, int dstHeight,
                    eResamplingMode mode);
  // Computes and caches the geometry, buffers and tables for the next resampling; nothing when the
  // sizes and the mode equal the cached ones (strides are not compared). True.
  bool PrepareAspectRatioVars(int srcWidth, int srcHeight, int srcStride, int dstWidth,
                              int dstHeight, int dstStride, eResamplingMode mode);
  // One view of a stereo picture, inscribed.
  bool ResampleStereoI420(const unsigned char** srcPlanes, int srcWidth, int srcStride,
                          int srcHeight, unsigned char** dstPlanes, int dstWidth, int dstStride,
                          int dstHeight);
  // Bicubic, three planes.
  bool ResampleRecordI420(const unsigned char** srcPlanes, int srcWidth, int srcStride,
                          int srcHeight, unsigned char** dstPlanes, int dstWidth, int dstStride,
                          int dstHeight);
  // Prepares the geometry and runs ResampleCropRGBA; answers false.
  bool ResampleRGBA(const unsigned char* src, int srcWidth, int srcStride, int srcHeight,
                    unsigned char* dst, int dstWidth, int dstStride, int dstHeight,
                    eResamplingMode mode);
  bool SplitRGBAToPlanes(const unsigned char* src, int width, int stride, int height,
                         unsigned char** planes);
  bool ClipI420(const unsigned char* src, int srcWidth, int srcStride, int srcHeight,
                unsigned char* dst, int dstWidth, int dstStride, int dstHeight, eExpandMode mode);
  bool ExpandRGB24(const unsigned char* src, int srcWidth, int srcHeight, unsigned char* dst,
                   int dstWidth, int dstHeight, eExpandMode mode);
  bool MirrorHorizontal(const unsigned char* src, unsigned char* dst, int width, int stride,
                        int height, eProcessingPixelFormat format);
  bool MirrorVertical(const unsigned char* src, unsigned char* dst, int width, int stride,
                      int height, eProcessingPixelFormat format);
  bool MirrorBoth(const unsigned char* src, unsigned char* dst, int width, int stride, int height,
                  eProcessingPixelFormat format);
  bool MirrorHorizontal(unsigned char* buf, int width, int stride, int height,
                        eProcessingPixelFormat format);
  bool MirrorVertical(unsigned char* buf, int width, int stride, int height,
                      eProcessingPixelFormat format);
  bool MirrorBoth(unsigned char* buf, int width, int stride, int height,
                  eProcessingPixelFormat format);

  // The clip table: entry 512 + v is v limited to 0..255.
  const unsigned char* ClipTable() const { return m_clipTable; }

  // The cached geometry, for callers that plan around it.
  struct CropRect {
    int32_t width, height, x, y;
  };
  struct InscribePlacement {
    int32_t x, y;
    double scaleX, scaleY;
  };
  CropRect cropRect() const { return {m_cropWidth, m_cropHeight, m_cropX, m_cropY}; }
  InscribePlacement inscribePlacement() const {
    return {m_inscribeX, m_inscribeY, m_inscribeScaleX, m_inscribeScaleY};
  }
  // Allocations made by PrepareAspectRatioVars since construction (row buffer, tables, crop).
  uint64_t allocationCount() const { return m_allocations; }

 protected:
  using PlaneResampler = bool (HX_VideoProcessingBase::*)(const unsigned char*, int, int, int,
                                                          unsigned char*, int, int, int);
  bool InscribePlanes(const unsigned char* const* srcPlanes, int srcWidth, int srcStride,
                      int srcHeight, unsigned char* const* dstPlanes, int dstWidth, int dstStride,
                      int dstHeight);
  bool CopyMirrorPlane(const unsigned char* src, unsigned char* dst, int width, int stride,
                       int height);
  void FreeGeometry();

  PlaneResampler m_planeResampler = nullptr;
  PlaneResampler m_pictureResampler = nullptr;
  int32_t m_cropWidth = 0, m_cropHeight = 0, m_cropX = 0, m_cropY = 0;
  unsigned char* m_cropBuffer = nullptr;
  int32_t m_inscribeX = 0, m_inscribeY = 0;
  double m_inscribeScaleX = 0, m_inscribeScaleY = 0;
  int32_t m_mode = 1;
  int32_t m_srcWidth = 0, m_srcHeight = 0, m_srcStride = 0;
  int32_t m_dstWidth = 0, m_dstHeight = 0, m_dstStride = 0;
  unsigned char* m_rowBuffer = nullptr;
  hx_image_proc_defs::resizeBicubicState m_bicubic;
  unsigned char* m_clipTable = nullptr;
  // Bookkeeping that lets the scalers check a call against what was prepared.
  uint64_t m_rowBufferSize = 0;
  int32_t m_tableSrcX = 0, m_tableDstX = 0, m_tableSrcY = 0, m_tableDstY = 0;
  uint64_t m_allocations = 0;
};
