#include "core/net/proxy/sequence_producer.h"

#include <set>

#include <gtest/gtest.h>

namespace {

using hx::netproxy::SequenceProducer;

// Refuses the numbers it is given, as a producer whose numbers are in use does.
class RefusingProducer : public SequenceProducer {
 public:
  explicit RefusingProducer(std::set<uint32_t> taken) : m_taken(std::move(taken)) {}
  bool isSeqIdFree(uint32_t number) const override { return m_taken.count(number) == 0; }

 private:
  std::set<uint32_t> m_taken;
};

TEST(SequenceProducerTest, CountsUpFromZero) {
  SequenceProducer producer;
  EXPECT_EQ(producer.getNextSeqId(), 0u);
  EXPECT_EQ(producer.getNextSeqId(), 1u);
  EXPECT_EQ(producer.getNextSeqId(), 2u);
}

TEST(SequenceProducerTest, SkipsEveryNumberInUse) {
  // Two neighbours in use: the second must not be handed out either.
  RefusingProducer producer({1, 2, 4});
  EXPECT_EQ(producer.getNextSeqId(), 0u);
  EXPECT_EQ(producer.getNextSeqId(), 3u);
  EXPECT_EQ(producer.getNextSeqId(), 5u);
}

}  // namespace
