#pragma once
// hx::FilePreview: the preview picture a file message carries: MIME type, width, height and the
// picture's bytes. A plain value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx {

struct FilePreview {
  // `length` bytes copied from `data`; zero bytes when `data` is null.
  FilePreview(const void* data, size_t length, int32_t width, int32_t height, std::string mimeType);
  // `length` zero bytes.
  FilePreview(size_t length, int32_t width, int32_t height, std::string mimeType);

  // True when the width or the height is not positive or there are no bytes.
  bool empty() const { return width <= 0 || height <= 0 || picture.empty(); }

  std::string mimeType;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> picture;
};

}  // namespace hx
