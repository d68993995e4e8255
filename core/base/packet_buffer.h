#pragma once
// HXPacketBuffer: a fixed receive buffer with a read cursor and a write cursor. Its storage is the
// nominal size plus one eighth of slack behind the nominal end (the limit), so that a packet that
// straddles the limit can still be read whole. Not thread-safe: one owner at a time.

#include <cstdint>
#include <memory>

class HXPacketBuffer {
 public:
  // Storage of nominal + nominal / 8 zero-filled bytes (a negative size counts as 0).
  explicit HXPacketBuffer(int64_t nominal_size);
  HXPacketBuffer(const HXPacketBuffer&) = delete;
  HXPacketBuffer& operator=(const HXPacketBuffer&) = delete;
  virtual ~HXPacketBuffer();

  int64_t capacity() const { return capacity_; }
  uint8_t* GetBufferStart() const { return start_.get(); }
  uint8_t* GetBufferLimit() const { return limit_; }
  uint8_t* GetPacketBufferRead() const { return read_; }
  uint8_t* GetPacketBufferWrite() const { return write_; }

  // Advance the read cursor (never past the write cursor) or the write cursor (never past the
  // end of the storage); false, with the cursor unchanged, when the move would pass that bound.
  bool IncPacketBuffer(int64_t n);
  bool IncPacketBufferWrite(int64_t n);
  void ResetPacketBufferAll();
  void ResetPacketBufferPacket();  // read cursor only
  void ResetPacketBufferWrite();   // write cursor only
  // Both cursors to the start and the storage zero-filled.
  void Reset();

  // Free bytes from the write cursor to the end of the storage, slack included.
  int64_t GetPacketBufferSize() const;
  // Bytes from the start to the write cursor.
  int64_t GetPacketBufferFill() const;
  // Unread bytes: write cursor - read cursor.
  int64_t GetPacketBufferWriteSize() const;
  // Whether the write cursor is beyond the limit; with n, whether writing n more bytes would pass it.
  bool IsOutpass() const;
  bool IsOutpass(int64_t n) const;
  // How far `p` (or p + n) lies beyond the limit, in bytes (negative when before it).
  int64_t IsOutpassBuffer(const uint8_t* p) const;
  int64_t IsOutpassBuffer(const uint8_t* p, int64_t n) const;

  // Copy the first n bytes of the storage to `destination` / n bytes of `source` to the start of
  // the storage (overlap allowed); false, copying nothing, when n does not fit the storage.
  bool Head2Tail(uint8_t* destination, int64_t n) const;
  bool Tail2Head(const uint8_t* source, int64_t n);

  // Moves the unread bytes to the start, so that the read cursor is at the start; false when it
  // was there already.
  bool cutHeadGap();

 private:
  int64_t capacity_;
  std::unique_ptr<uint8_t[]> start_;
  uint8_t* read_;
  uint8_t* write_;
  uint8_t* limit_;
};
