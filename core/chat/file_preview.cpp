#include "core/chat/file_preview.h"

#include <cstring>

namespace hx {

FilePreview::FilePreview(const void* data, size_t length, int32_t width_, int32_t height_,
                         std::string mimeType_)
    : mimeType(std::move(mimeType_)), width(width_), height(height_), picture(length, 0) {
  if (data != nullptr && length != 0) std::memcpy(picture.data(), data, length);
}

FilePreview::FilePreview(size_t length, int32_t width_, int32_t height_, std::string mimeType_)
    : FilePreview(nullptr, length, width_, height_, std::move(mimeType_)) {}

}  // namespace hx
