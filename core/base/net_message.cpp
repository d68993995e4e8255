#include "core/base/net_message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "core/base/ios_log.h"

HXNetMessage::HXNetMessage(uint64_t capacity)
    : storage_(new uint8_t[capacity]), capacity_(capacity), owns_(true) {}

HXNetMessage::HXNetMessage(uint8_t* storage, uint64_t capacity, uint64_t used)
    : storage_(storage), capacity_(capacity), size_(std::min(used, capacity)), offset_(size_) {}

HXNetMessage::HXNetMessage(const HXNetMessage& other)
    : capacity_(other.capacity_), size_(other.size_), offset_(other.offset_), owns_(other.owns_) {
  if (!other.owns_) {
    storage_ = other.storage_;
    return;
  }
  storage_ = new uint8_t[capacity_];
  if (size_ != 0) std::memcpy(storage_, other.storage_, size_);
}

HXNetMessage& HXNetMessage::operator=(const HXNetMessage& other) {
  if (this != &other) *this = HXNetMessage(other);
  return *this;
}

HXNetMessage::HXNetMessage(HXNetMessage&& other) noexcept
    : storage_(std::exchange(other.storage_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      offset_(std::exchange(other.offset_, 0)),
      owns_(std::exchange(other.owns_, false)) {}

HXNetMessage& HXNetMessage::operator=(HXNetMessage&& other) noexcept {
  if (this == &other) return *this;
  freeBuf();
  storage_ = std::exchange(other.storage_, nullptr);
  capacity_ = std::exchange(other.capacity_, 0);
  size_ = std::exchange(other.size_, 0);
  offset_ = std::exchange(other.offset_, 0);
  owns_ = std::exchange(other.owns_, false);
  return *this;
}

HXNetMessage::~HXNetMessage() {
  if (owns_) delete[] storage_;
}

void HXNetMessage::ensureSize(uint64_t n) {
  if (storage_ != nullptr && capacity_ >= n) return;
  uint8_t* grown = new uint8_t[n];
  if (storage_ != nullptr && capacity_ != 0) std::memcpy(grown, storage_, capacity_);
  if (owns_) delete[] storage_;
  storage_ = grown;
  capacity_ = n;
  owns_ = true;
}

uint64_t HXNetMessage::append(const void* bytes, uint64_t n) {
  if (n == 0) return size_;
  // The source may be our own storage, which growing would free: remember where it sat.
  const auto* source = static_cast<const uint8_t*>(bytes);
  const bool inside = storage_ != nullptr && source >= storage_ && source < storage_ + capacity_;
  const uint64_t source_at = inside ? static_cast<uint64_t>(source - storage_) : 0;
  ensureSize(size_ + n);
  if (inside) source = storage_ + source_at;
  std::memmove(storage_ + size_, source, n);
  size_ += n;
  return size_;
}

uint64_t HXNetMessage::append(const HXNetMessage& other) {
  return append(other.storage_, other.size_);
}

void HXNetMessage::cut(uint64_t position, uint64_t n) {
  if (n == 0 || position >= size_) return;
  const uint64_t behind = size_ - position;  // bytes from the position to the end of the used part
  const uint64_t removed = std::min(n, behind);
  if (n < behind) std::memmove(storage_ + position, storage_ + position + n, behind - n);
  size_ -= removed;
  if (offset_ >= position + removed) {
    offset_ -= removed;
  } else if (offset_ > position) {
    offset_ = position;
  }
}

uint64_t HXNetMessage::offset(int32_t delta) {
  const uint64_t previous = offset_;
  if (delta < 0) {
    const uint64_t back = static_cast<uint64_t>(-static_cast<int64_t>(delta));
    offset_ = back > offset_ ? 0 : offset_ - back;
  } else {
    offset_ = std::min(offset_ + static_cast<uint64_t>(delta), std::max(size_, offset_));
  }
  return previous;
}

void HXNetMessage::setSize(uint64_t n) {
  if (n != 0) ensureSize(n);
  size_ = n;
  offset_ = std::min(offset_, size_);
}

void HXNetMessage::sizeAdjust(uint64_t n) {
  size_ = n > capacity_ - size_ ? capacity_ : size_ + n;
}

void HXNetMessage::sizeAdjust(int64_t delta) {
  if (delta >= 0) {
    sizeAdjust(static_cast<uint64_t>(delta));
    return;
  }
  const uint64_t shrink = static_cast<uint64_t>(-(delta + 1)) + 1;  // safe for INT64_MIN
  size_ = shrink > size_ ? 0 : size_ - shrink;
  offset_ = std::min(offset_, size_);
}

void HXNetMessage::setBuf(uint8_t* storage, uint64_t capacity, uint64_t offset) {
  freeBuf();
  storage_ = storage;
  capacity_ = storage != nullptr ? capacity : 0;
  offset_ = std::min(offset, capacity_);
}

void HXNetMessage::freeBuf() {
  // Capacity and size go with the storage: a capacity without storage would let a later
  // append write through a null pointer.
  if (owns_) delete[] storage_;
  storage_ = nullptr;
  owns_ = false;
  capacity_ = 0;
  size_ = 0;
  offset_ = 0;
}

void HXNetMessage::reset() { freeBuf(); }

void HXNetMessage::printhex(const void* bytes, uint64_t length, const char* text) {
  const auto* data = static_cast<const uint8_t*>(bytes);
  const uint64_t shown = data == nullptr ? 0 : std::min<uint64_t>(length, 7000);
  std::string dump;
  dump.reserve(shown * 3 + shown / 16 * 8 + 16);
  char chunk[16];
  for (uint64_t i = 0; i < shown; ++i) {
    if (i % 16 == 0) {
      std::snprintf(chunk, sizeof chunk, "\n%04x ", static_cast<unsigned>(i));
      dump += chunk;
    } else if (i % 16 == 8) {
      dump += ' ';
    }
    std::snprintf(chunk, sizeof chunk, " %02x", data[i]);
    dump += chunk;
  }
  ios_log("%s%s", text != nullptr ? text : "", dump.c_str());
}
