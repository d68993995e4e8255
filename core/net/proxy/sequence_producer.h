#pragma once
// Hands out 32-bit numbers in ascending order, wrapping around, for the proxy list's ordinals and
// the numbering of authentication requests. A derived class tells which numbers are taken.
//
// Not locked: the owner serialises its calls.

#include <cstdint>

namespace hx::netproxy {

class SequenceProducer {
 public:
  // Never handed out; the value of "no number".
  static constexpr uint32_t kNone = 0xFFFFFFFF;

  SequenceProducer() = default;
  SequenceProducer(const SequenceProducer&) = delete;
  SequenceProducer& operator=(const SequenceProducer&) = delete;
  virtual ~SequenceProducer();

  // The number after the last one handed out (0 first), skipping kNone and every number that
  // isSeqIdFree refuses.
  uint32_t getNextSeqId();

  // Whether `number` may be handed out; every number unless a derived class says otherwise.
  virtual bool isSeqIdFree(uint32_t number) const;

 private:
  uint32_t m_last = kNone;
};

}  // namespace hx::netproxy
