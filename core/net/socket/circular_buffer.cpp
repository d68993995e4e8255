#include "core/net/socket/circular_buffer.h"

#include <algorithm>
#include <cstring>

CircularBuffer::CircularBuffer(size_t capacity) : m_data(std::max<size_t>(capacity, 2)) {}

size_t CircularBuffer::Size() const {
  return m_write >= m_read ? m_write - m_read : Capacity() - m_read + m_write;
}

size_t CircularBuffer::linearDataSize() const {
  return m_write >= m_read ? m_write - m_read : Capacity() - m_read;
}

size_t CircularBuffer::linearFreeSpace() const {
  if (m_write < m_read) return m_read - m_write - 1;
  // Writing up to the end is fine unless the read position sits at 0: then the last byte must
  // stay free, or the ring would look empty.
  return Capacity() - m_write - (m_read == 0 ? 1 : 0);
}

void CircularBuffer::Commit(size_t n) {
  n = std::min(n, linearFreeSpace());
  m_write += n;
  if (m_write == Capacity()) m_write = 0;
}

void CircularBuffer::Reserve(size_t n) {
  const size_t stored = Size();
  if (stored + n < Capacity()) return;
  std::vector<uint8_t> grown((3 * (stored + n)) / 2);
  Copy(grown.data(), stored);
  m_data.swap(grown);
  m_read = 0;
  m_write = stored;
}

void CircularBuffer::Push(const void* data, size_t n) {
  Reserve(n);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const size_t piece = std::min(n, linearFreeSpace());
    std::memcpy(WritePtr(), bytes, piece);
    Commit(piece);
    bytes += piece;
    n -= piece;
  }
}

size_t CircularBuffer::Copy(void* out, size_t n) const {
  n = std::min(n, Size());
  if (n == 0) return 0;
  auto* bytes = static_cast<uint8_t*>(out);
  const size_t first = std::min(n, linearDataSize());
  std::memcpy(bytes, ReadPtr(), first);
  std::memcpy(bytes + first, m_data.data(), n - first);
  return n;
}

size_t CircularBuffer::Get(void* out, size_t n, bool peek) {
  if (Empty()) return 0;
  n = Copy(out, n);
  if (!peek) Cut(n);
  return n;
}

size_t CircularBuffer::Cut(size_t n) {
  n = std::min(n, Size());
  m_read = (m_read + n) % Capacity();
  if (m_read == m_write) Clear();
  return n;
}

bool CircularBuffer::Compare(const void* data, size_t n) const {
  if (Size() != n) return false;
  if (n == 0) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t first = std::min(n, linearDataSize());
  return std::memcmp(ReadPtr(), bytes, first) == 0 &&
         std::memcmp(m_data.data(), bytes + first, n - first) == 0;
}
