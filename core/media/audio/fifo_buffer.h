#pragma once
// HX_FifoBuffer is a byte ring of fixed capacity: the jitter buffers, the mixing sink, the
// resampler, the sender's audio framing and the microphone thread queue PCM through it.
//
// A block is stored whole or not at all (AddData answers false when it does not fit), and a
// read takes exactly the asked length or nothing. A read may peek (consume false) and then
// returns the same bytes again on the next call.
//
// The read and write counts are 64-bit totals of the bytes moved since construction; the held
// length is their difference and the positions are the totals modulo the capacity. With 32-bit
// totals the positions would jump at the wrap whenever the capacity does not divide 2^32 (after
// about 12 hours of 48 kHz audio); 64-bit totals never wrap in practice.
//
// Thread safety: one writer thread (AddData) and one reader thread (GetData) may run at the same
// time without a lock. The writer publishes its bytes by a release store of the write count that
// the reader loads with acquire, and the reader hands the room back the same way through the
// read count. GetDataLen may be called from either side. Two writers or two readers need a lock.

#include <atomic>
#include <cstdint>
#include <memory>

class HX_FifoBuffer {
 public:
  explicit HX_FifoBuffer(unsigned capacity);
  ~HX_FifoBuffer();
  HX_FifoBuffer(const HX_FifoBuffer&) = delete;
  HX_FifoBuffer& operator=(const HX_FifoBuffer&) = delete;

  // Appends length bytes. False, with nothing stored, when the free room is smaller than
  // length. An empty block is always accepted. data may be null only when length is 0.
  bool AddData(const void* data, unsigned long length);

  // Bytes held (never more than the capacity).
  uint32_t GetDataLen() const;

  // Copies length bytes from the oldest held byte into destination and, when consume is true,
  // removes them. False, copying nothing, unless 1 <= length <= held length.
  bool GetData(void* destination, unsigned long length, bool consume);

  uint32_t GetCapacity() const { return capacity_; }

 private:
  std::unique_ptr<uint8_t[]> storage_;
  const uint32_t capacity_;
  std::atomic<uint64_t> read_count_{0};
  std::atomic<uint64_t> write_count_{0};
};
