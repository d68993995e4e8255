#include "core/net/proxy/sequence_producer.h"

namespace hx::netproxy {

SequenceProducer::~SequenceProducer() = default;

// The search always ends: a derived class could only refuse every number by keeping four
// billion of them.
uint32_t SequenceProducer::getNextSeqId() {
  uint32_t next = m_last;
  do {
    ++next;
    if (next == kNone) next = 0;
  } while (!isSeqIdFree(next));
  m_last = next;
  return next;
}

bool SequenceProducer::isSeqIdFree(uint32_t) const { return true; }

}  // namespace hx::netproxy
