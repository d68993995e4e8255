#pragma once
// A byte ring that grows when a push would fill it. One byte always stays free, so that equal
// read and write positions mean "empty"; a removal that empties the ring moves both positions
// back to the start, which keeps the next writes in one piece.
//
// Not locked: one owner uses it at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

class CircularBuffer {
 public:
  explicit CircularBuffer(size_t capacity);

  size_t Capacity() const { return m_data.size(); }
  // Bytes stored.
  size_t Size() const;
  bool Empty() const { return m_read == m_write; }
  // Bytes that can be written before the ring is full.
  size_t FreeSpace() const { return Capacity() - Size() - 1; }
  // Bytes readable from ReadPtr() without wrapping.
  size_t linearDataSize() const;
  // Bytes writable at WritePtr() without wrapping.
  size_t linearFreeSpace() const;
  const uint8_t* ReadPtr() const { return m_data.data() + m_read; }
  uint8_t* WritePtr() { return m_data.data() + m_write; }
  // Stores `n` bytes that the caller wrote at WritePtr(); at most linearFreeSpace().
  void Commit(size_t n);

  // Makes room for `n` more bytes: when the stored bytes and `n` would reach the capacity, the
  // ring grows to one and a half times their sum, its bytes moved to the start.
  void Reserve(size_t n);
  // Appends `n` bytes, growing first when they would not fit.
  void Push(const void* data, size_t n);
  // Copies up to `n` stored bytes from the front; returns the count.
  size_t Copy(void* out, size_t n) const;
  // Copies up to `n` bytes from the front and, unless `peek`, removes them; returns the count.
  size_t Get(void* out, size_t n, bool peek);
  // Removes up to `n` bytes from the front; returns the count.
  size_t Cut(size_t n);
  // True when exactly `n` bytes are stored and equal `data`.
  bool Compare(const void* data, size_t n) const;
  void Clear() { m_read = m_write = 0; }

 private:
  std::vector<uint8_t> m_data;
  size_t m_read = 0;
  size_t m_write = 0;
};
