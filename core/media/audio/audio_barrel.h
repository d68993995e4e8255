#pragma once
// HX_AudioBarrel is a ring of the last N 16-bit samples, read backwards from the newest: Read
// (count, back) copies count samples starting back samples behind the newest one.
//
// Add of more than N samples keeps the last N of them, placed where they would have landed one by
// one, so a single large Add leaves the ring exactly as the same samples added singly would.
//
// Thread safety: none; the owner serialises access.

#include <cstdint>
#include <vector>

class HX_AudioBarrel {
 public:
  explicit HX_AudioBarrel(unsigned long capacity);

  void Add(const short* samples, unsigned long count);

  // False, copying nothing, when back < count, back exceeds the samples ever added, back exceeds
  // the capacity (those samples were overwritten) or count exceeds the capacity.
  bool Read(short* destination, unsigned long count, unsigned long back) const;

  uint64_t GetTotal() const { return total_; }

 private:
  std::vector<int16_t> storage_;
  uint64_t capacity_;
  uint64_t total_ = 0;
};
