#pragma once
// HX_BinBuff: an owned byte buffer with its size, used to carry a serialised container or any other
// bytes inside other records. Copies are deep; a move takes the bytes and leaves the source empty.
// Not thread-safe: one thread changes a buffer at a time.

#include <cstddef>
#include <cstdint>

class HX_Container;

class HX_BinBuff {
 public:
  HX_BinBuff() = default;
  // A copy of `size` bytes; a null pointer or size 0 gives an empty buffer (as does lack of memory).
  HX_BinBuff(const void* bytes, size_t size);
  HX_BinBuff(const HX_BinBuff& other);
  HX_BinBuff& operator=(const HX_BinBuff& other);
  HX_BinBuff(HX_BinBuff&& other) noexcept;
  HX_BinBuff& operator=(HX_BinBuff&& other) noexcept;
  ~HX_BinBuff();

  // Replaces the content with a copy of `size` bytes (which may lie inside this buffer). A null
  // pointer or size 0 empties it. The storage is reallocated only when the size changes. False, and
  // the buffer left empty, when memory runs out.
  bool Set(const void* bytes, size_t size);
  // Replaces the content with the container's wire form. False, and the buffer left empty, when the
  // container cannot be serialised.
  bool Set(const HX_Container& container);
  // When the size differs, frees the storage and allocates `size` bytes whose contents are undefined.
  bool SetSize(size_t size);
  // Frees the bytes.
  void Empty();

  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

  // Equal sizes and equal bytes.
  bool operator==(const HX_BinBuff& other) const;

 private:
  uint8_t* data_ = nullptr;  // from malloc, owned; null when empty
  size_t size_ = 0;
};
