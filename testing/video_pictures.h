#pragma once
// Synthetic packed I420 pictures for codec tests, fuzz seeds and benchmarks: a smooth moving scene
// (drifting gradients, a bright disc crossing the picture and a band of fine texture panning), and
// the PSNR of two pictures.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hx_test {

inline std::vector<unsigned char> MovingPicture(int w, int h, int frame) {
  std::vector<unsigned char> pic(static_cast<size_t>(w) * h * 3 / 2);
  const double cx = (frame * 7) % (w + 80) - 40.0;
  const double cy = h / 2.0 + h / 4.0 * std::sin(frame / 9.0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double v = 110 + 50 * std::sin((x + 3 * frame) / 37.0) * std::cos((y + frame) / 29.0);
      const double dx = x - cx, dy = y - cy;
      if (dx * dx + dy * dy < 900) v = 230;
      if (y > h * 3 / 4) {
        const uint32_t t = static_cast<uint32_t>((x + 2 * frame) / 3) * 2654435761u ^
                           static_cast<uint32_t>(y / 3) * 40503u;
        v = v * 0.7 + ((t >> 13) & 0x3F);
      }
      pic[static_cast<size_t>(y) * w + x] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  unsigned char* u = pic.data() + static_cast<size_t>(w) * h;
  unsigned char* v = u + static_cast<size_t>(w / 2) * (h / 2);
  for (int y = 0; y < h / 2; ++y) {
    for (int x = 0; x < w / 2; ++x) {
      u[static_cast<size_t>(y) * (w / 2) + x] =
          static_cast<unsigned char>(128 + 40 * std::sin((x + frame) / 23.0));
      v[static_cast<size_t>(y) * (w / 2) + x] =
          static_cast<unsigned char>(128 + 40 * std::cos((y - frame) / 19.0));
    }
  }
  return pic;
}

// PSNR in dB over the first `bytes` bytes (99 for identical data).
inline double Psnr(const unsigned char* a, const unsigned char* b, size_t bytes) {
  double se = 0;
  for (size_t i = 0; i < bytes; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(bytes) / se);
}

}  // namespace hx_test
