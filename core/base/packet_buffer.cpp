#include "core/base/packet_buffer.h"

#include <algorithm>
#include <cstring>

namespace {

int64_t StorageFor(int64_t nominal_size) {
  const int64_t nominal = std::max<int64_t>(nominal_size, 0);
  return nominal + nominal / 8;
}

}  // namespace

HXPacketBuffer::HXPacketBuffer(int64_t nominal_size)
    : capacity_(StorageFor(nominal_size)),
      start_(new uint8_t[capacity_]()),
      read_(start_.get()),
      write_(start_.get()),
      limit_(start_.get() + std::max<int64_t>(nominal_size, 0)) {}

HXPacketBuffer::~HXPacketBuffer() = default;

bool HXPacketBuffer::IncPacketBuffer(int64_t n) {
  if (n < 0 || n > write_ - read_) return false;
  read_ += n;
  return true;
}

bool HXPacketBuffer::IncPacketBufferWrite(int64_t n) {
  if (n < 0 || n > GetPacketBufferSize()) return false;
  write_ += n;
  return true;
}

void HXPacketBuffer::ResetPacketBufferAll() { read_ = write_ = start_.get(); }

void HXPacketBuffer::ResetPacketBufferPacket() { read_ = start_.get(); }

void HXPacketBuffer::ResetPacketBufferWrite() { write_ = start_.get(); }

void HXPacketBuffer::Reset() {
  ResetPacketBufferAll();
  std::memset(start_.get(), 0, static_cast<size_t>(capacity_));
}

int64_t HXPacketBuffer::GetPacketBufferSize() const { return start_.get() + capacity_ - write_; }

int64_t HXPacketBuffer::GetPacketBufferFill() const { return write_ - start_.get(); }

int64_t HXPacketBuffer::GetPacketBufferWriteSize() const { return write_ - read_; }

bool HXPacketBuffer::IsOutpass() const { return write_ > limit_; }

bool HXPacketBuffer::IsOutpass(int64_t n) const { return n > limit_ - write_; }

int64_t HXPacketBuffer::IsOutpassBuffer(const uint8_t* p) const { return p - limit_; }

int64_t HXPacketBuffer::IsOutpassBuffer(const uint8_t* p, int64_t n) const {
  return (p - limit_) + n;
}

bool HXPacketBuffer::Head2Tail(uint8_t* destination, int64_t n) const {
  if (n < 0 || n > capacity_) return false;
  std::memmove(destination, start_.get(), static_cast<size_t>(n));
  return true;
}

bool HXPacketBuffer::Tail2Head(const uint8_t* source, int64_t n) {
  if (n < 0 || n > capacity_) return false;
  std::memmove(start_.get(), source, static_cast<size_t>(n));
  return true;
}

bool HXPacketBuffer::cutHeadGap() {
  if (read_ == start_.get()) return false;
  const int64_t unread = write_ - read_;
  if (unread > 0) std::memmove(start_.get(), read_, static_cast<size_t>(unread));
  read_ = start_.get();
  write_ = start_.get() + std::max<int64_t>(unread, 0);
  return true;
}
