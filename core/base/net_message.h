#pragma once
// HXNetMessage: a growable byte buffer with a used size and a read offset. It either owns its
// storage or views storage that someone else owns; sockets receive into it and handshakes build
// their outgoing packets in it. Not thread-safe: one owner at a time.

#include <cstddef>
#include <cstdint>

class HXNetMessage {
 public:
  // Empty: no storage, not owning.
  HXNetMessage() = default;
  // A new owned storage of `capacity` bytes, nothing used yet.
  explicit HXNetMessage(uint64_t capacity);
  // Views `storage` (not owned) of which the first `used` bytes are in use; the read offset is
  // `used` too. `used` is cut to `capacity`.
  HXNetMessage(uint8_t* storage, uint64_t capacity, uint64_t used);

  // A copy of an owning message owns a copy of the used bytes in storage of the same capacity;
  // a copy of a viewing message views the same storage.
  HXNetMessage(const HXNetMessage& other);
  HXNetMessage& operator=(const HXNetMessage& other);
  // Takes everything and leaves `other` empty.
  HXNetMessage(HXNetMessage&& other) noexcept;
  HXNetMessage& operator=(HXNetMessage&& other) noexcept;
  virtual ~HXNetMessage();

  uint8_t* buffer() const { return storage_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t size() const { return size_; }
  bool owns() const { return owns_; }

  // Grows the storage to at least `n` bytes, keeping its content; afterwards the message owns it.
  void ensureSize(uint64_t n);

  // Copies bytes behind the used part, growing the storage as needed; returns the new size.
  // The source may lie inside this message's own storage.
  uint64_t append(const void* bytes, uint64_t n);
  uint64_t append(const HXNetMessage& other);

  // Removes `n` bytes at `position` (or everything from `position` on when fewer remain); the
  // read offset follows the bytes it pointed at, or moves to `position` when those were removed.
  void cut(uint64_t position, uint64_t n);

  uint64_t offset() const { return offset_; }
  // Moves the read offset by `delta`, stopping at 0 and at the used size; returns the previous offset.
  uint64_t offset(int32_t delta);

  // Sets the used size (growing the storage when needed) and keeps the read offset within it.
  void setSize(uint64_t n);
  // Grows the used size by `n` bytes already written in place, at most to the capacity.
  void sizeAdjust(uint64_t n);
  // Grows or shrinks the used size, between 0 and the capacity; the read offset stays within it.
  void sizeAdjust(int64_t delta);
  // Plain int and unsigned counts pick their form without ambiguity.
  void sizeAdjust(int delta) { sizeAdjust(static_cast<int64_t>(delta)); }
  void sizeAdjust(unsigned n) { sizeAdjust(static_cast<uint64_t>(n)); }

  // Frees owned storage and views `storage` instead, with nothing used and the given read offset.
  void setBuf(uint8_t* storage, uint64_t capacity, uint64_t offset);
  // Both free owned storage and forget it together with size, capacity and offset, so that the
  // message is empty again (a capacity without storage would be a trap for the next append).
  void freeBuf();
  void reset();

  // Writes a hex dump of at most the first 7000 bytes to the diagnostic log, after `text`.
  static void printhex(const void* bytes, uint64_t length, const char* text);

 private:
  uint8_t* storage_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  bool owns_ = false;
};
