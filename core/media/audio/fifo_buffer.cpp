#include "core/media/audio/fifo_buffer.h"

#include <algorithm>
#include <cstring>

HX_FifoBuffer::HX_FifoBuffer(unsigned capacity)
    : storage_(new uint8_t[capacity == 0 ? 1 : capacity]), capacity_(capacity) {}

HX_FifoBuffer::~HX_FifoBuffer() = default;

bool HX_FifoBuffer::AddData(const void* data, unsigned long length) {
  const uint64_t written = write_count_.load(std::memory_order_relaxed);
  const uint64_t held = written - read_count_.load(std::memory_order_acquire);
  if (static_cast<uint64_t>(capacity_) - held < length) return false;
  if (length == 0) return true;
  const uint64_t pos = written % capacity_;
  const uint64_t first = std::min<uint64_t>(length, capacity_ - pos);
  const auto* src = static_cast<const uint8_t*>(data);
  std::memcpy(storage_.get() + pos, src, first);
  if (first < length) std::memcpy(storage_.get(), src + first, length - first);
  write_count_.store(written + length, std::memory_order_release);
  return true;
}

uint32_t HX_FifoBuffer::GetDataLen() const {
  // Read count first: a reader racing ahead can only make the answer smaller, never wrap it.
  const uint64_t read = read_count_.load(std::memory_order_acquire);
  const uint64_t written = write_count_.load(std::memory_order_acquire);
  return static_cast<uint32_t>(written - read);
}

bool HX_FifoBuffer::GetData(void* destination, unsigned long length, bool consume) {
  const uint64_t read = read_count_.load(std::memory_order_relaxed);
  const uint64_t held = write_count_.load(std::memory_order_acquire) - read;
  if (length == 0 || length > held) return false;
  const uint64_t pos = read % capacity_;
  const uint64_t first = std::min<uint64_t>(length, capacity_ - pos);
  auto* dst = static_cast<uint8_t*>(destination);
  std::memcpy(dst, storage_.get() + pos, first);
  if (first < length) std::memcpy(dst + first, storage_.get(), length - first);
  if (consume) read_count_.store(read + length, std::memory_order_release);
  return true;
}
