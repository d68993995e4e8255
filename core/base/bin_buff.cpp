#include "core/base/bin_buff.h"

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"

HX_BinBuff::HX_BinBuff(const void* bytes, size_t size) { Set(bytes, size); }

HX_BinBuff::HX_BinBuff(const HX_BinBuff& other) { Set(other.data_, other.size_); }

HX_BinBuff& HX_BinBuff::operator=(const HX_BinBuff& other) {
  Set(other.data_, other.size_);
  return *this;
}

HX_BinBuff::HX_BinBuff(HX_BinBuff&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

HX_BinBuff& HX_BinBuff::operator=(HX_BinBuff&& other) noexcept {
  if (this != &other) {
    Empty();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

HX_BinBuff::~HX_BinBuff() { std::free(data_); }

void HX_BinBuff::Empty() {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
}

bool HX_BinBuff::Set(const void* bytes, size_t size) {
  if (!bytes || size == 0) {
    Empty();
    return true;
  }
  if (size == size_) {
    std::memmove(data_, bytes, size);  // the bytes may be our own
    return true;
  }
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(size));
  if (copy) std::memcpy(copy, bytes, size);
  Empty();
  data_ = copy;
  size_ = copy ? size : 0;
  return copy != nullptr;
}

bool HX_BinBuff::Set(const HX_Container& container) {
  Empty();
  uint8_t* wire;
  size_t size;
  if (!container.SerializeAlloc(wire, size)) return false;
  data_ = wire;
  size_ = size;
  return true;
}

bool HX_BinBuff::SetSize(size_t size) {
  if (size == size_) return true;
  Empty();
  if (size == 0) return true;
  data_ = static_cast<uint8_t*>(std::malloc(size));
  size_ = data_ ? size : 0;
  return data_ != nullptr;
}

bool HX_BinBuff::operator==(const HX_BinBuff& other) const {
  return size_ == other.size_ && (size_ == 0 || std::memcmp(data_, other.data_, size_) == 0);
}
