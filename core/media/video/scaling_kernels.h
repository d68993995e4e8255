#pragma once
// Separable scaling kernels for 8-bit pictures: a row pass along each row into a row buffer, then a
// column pass down the columns into the target. Two families, bilinear (weights of 8 fractional
// bits, summing to 256) and bicubic (12 fractional bits, summing to 4096, from a table made by
// genTableAlloc), each for one 8-bit plane, interleaved 3- and 4-byte pixels and RGB565 pixels;
// and a fixed 8-to-1 bicubic reducer.
//
// Row passes read source rows at a step of the source width (no separate stride) and write the
// row buffer at a step of the target width; column passes read the row buffer at a step of the
// width and write target rows `dstStride` apart.
//
// None of the kernels checks its arguments: the caller passes lengths of at least 2 (the toolbox
// passes at least 4 for luma), buffers of the stated sizes and tables made for the same lengths.
// The clip table is the toolbox's (1024 entries, entry 512 + v is v limited to 0..255); results
// are saturated to 0..255 for any sum, equal to that table wherever it reaches.
//
// Thread-safe: the bilinear kernels keep their per-position tables in thread-local storage that
// grows to the largest length used and is then reused.

#include <cstdint>

// Weight of the left (upper) sample for a position; `interp_funk` holds interp_lin_.
using HX_InterpFunc = uint16_t (*)(double x);
extern HX_InterpFunc interp_funk;
uint16_t interp_lin_(double x);
uint16_t interp_cubic(double x);
uint16_t interp_exp(double x);

// Bilinear, one byte per pixel. The first and last samples of every row (column) are copied.
int b_resize_x1(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth);
int b_resize_y1(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                int dstStride);
// 3 and 4 bytes per pixel (every byte interpolated with the pixel's weights).
int b_resize_x3(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth);
int b_resize_y3(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                int dstStride);
int b_resize_x3_4(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth);
int b_resize_y3_4(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                  int dstStride);
// RGB565: the row pass reads 16-bit pixels and writes 4-byte pixels (red, green, blue, 0); the
// column pass reads those and writes RGB565 (dstStride in pixels).
int b_resize_x_565(const uint16_t* src, uint8_t* dst, int width, int height, int dstWidth);
int b_resize_y_565(const uint8_t* src, uint16_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride);

// The cubic convolution kernel with a = -0.75.
double bicubicInterpFunc(double x);
// Builds the bicubic table for srcLength -> dstLength into a new[] array that the caller frees
// with delete[]: dstLength rows of (taps + 1) values, the taps' weights then the first source
// index. Returns the tap count, ceil(4 * srcLength / dstLength).
int genTableAlloc(int srcLength, int dstLength, short*& table);

void bic_resize_x1(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                   const short* table, int taps, const uint8_t* clipTable);
void bic_resize_y1(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride, const short* table, int taps, const uint8_t* clipTable);
void bic_resize_x3(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                   const short* table, int taps, const uint8_t* clipTable);
void bic_resize_y3(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight, int dstHeight,
                   int dstStride, const short* table, int taps, const uint8_t* clipTable);
void bic_resize_x3_4(const uint8_t* src, uint8_t* rowBuffer, int srcWidth, int rows, int dstWidth,
                     const short* table, int taps, const uint8_t* clipTable);
void bic_resize_y3_4(const uint8_t* rowBuffer, uint8_t* dst, int width, int srcHeight,
                     int dstHeight, int dstStride, const short* table, int taps,
                     const uint8_t* clipTable);
// RGB565 in and out (dstStride in pixels); they make their own tables.
void bic_resize_x_565(const uint16_t* src, uint16_t* dst, int width, int height, int dstWidth,
                      const uint8_t* clipTable);
void bic_resize_y_565(const uint16_t* src, uint16_t* dst, int width, int srcHeight, int dstHeight,
                      int dstStride, const uint8_t* clipTable);

// The 8-to-1 reducer's 32 weights (symmetric, sum 4096).
extern const short bicubic_cf_8[32];
// Each row of srcWidth samples (at least 32) gives srcWidth / 8 outputs, rows srcWidth / 8 apart.
void bic_resize_8_x1(const uint8_t* src, uint8_t* dst, int srcWidth, int rows,
                     const uint8_t* clipTable);
// Down the columns: srcHeight (at least 32) rows of `width` bytes give the first dstHeight of the
// srcHeight / 8 output rows, `width` bytes apart.
void bic_resize_8_y1(const uint8_t* src, uint8_t* dst, int width, int srcHeight, int dstHeight,
                     const uint8_t* clipTable);

namespace hx::video {
// The row passes of b_resize_x1 and bic_resize_x1 with source rows `srcStride` bytes apart.
void BilinearRowPass(const uint8_t* src, int srcStride, uint8_t* rowBuffer, int srcWidth, int rows,
                     int dstWidth);
void BicubicRowPass(const uint8_t* src, int srcStride, uint8_t* rowBuffer, int srcWidth, int rows,
                    int dstWidth, const short* table, int taps);
// The reducer's sums before rounding, for `length` samples `step` apart: length / 8 values.
void Reduce8Sums(const uint8_t* src, int step, int length, int32_t* sums);
}  // namespace hx::video
