// The sample barrel: reads backwards from the newest sample, fed one sample per call or in
// one call of more samples than it holds.
#include "core/media/audio/audio_barrel.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<short> ReadOrEmpty(const HX_AudioBarrel& barrel, unsigned long count,
                               unsigned long back) {
  std::vector<short> out(count + 1, -7);
  if (!barrel.Read(out.data(), count, back)) return {};
  EXPECT_EQ(out[count], -7) << "wrote past the asked count";
  out.resize(count);
  return out;
}

TEST(AudioBarrel, SinglyAndInOneCallGiveTheSameRing) {
  const short samples[] = {1, 2, 3, 4, 5, 6};
  HX_AudioBarrel singly(4), at_once(4);
  for (short s : samples) singly.Add(&s, 1);
  // More samples than the capacity in one call: the last four must land where they would
  // have landed one by one.
  at_once.Add(samples, 6);
  for (const HX_AudioBarrel* b : {&singly, &at_once}) {
    EXPECT_EQ(b->GetTotal(), 6u);
    EXPECT_EQ(ReadOrEmpty(*b, 2, 3), (std::vector<short>{4, 5}));
    EXPECT_EQ(ReadOrEmpty(*b, 4, 4), (std::vector<short>{3, 4, 5, 6}));
    EXPECT_EQ(ReadOrEmpty(*b, 1, 1), (std::vector<short>{6}));
  }
}

TEST(AudioBarrel, ReadRefusals) {
  HX_AudioBarrel barrel(4);
  const short samples[] = {1, 2, 3, 4, 5, 6};
  barrel.Add(samples, 6);
  struct Case {
    unsigned long count, back;
  };
  // back below count; back past everything added; back past the capacity (overwritten
  // samples); count above the capacity.
  for (const Case c : {Case{3, 2}, Case{2, 7}, Case{2, 5}, Case{5, 6}}) {
    EXPECT_TRUE(ReadOrEmpty(barrel, c.count, c.back).empty()) << c.count << " back " << c.back;
  }
  HX_AudioBarrel fresh(4);
  fresh.Add(samples, 2);
  EXPECT_TRUE(ReadOrEmpty(fresh, 2, 3).empty());
  EXPECT_EQ(ReadOrEmpty(fresh, 2, 2), (std::vector<short>{1, 2}));
}

TEST(AudioBarrel, WrapsAcrossManyAddsOfMixedSizes) {
  HX_AudioBarrel barrel(7);
  std::vector<short> all;
  short next = 0;
  for (unsigned long n : {3ul, 5ul, 1ul, 9ul, 2ul, 7ul, 15ul, 4ul}) {
    std::vector<short> block(n);
    for (auto& s : block) s = next++;
    barrel.Add(block.data(), n);
    all.insert(all.end(), block.begin(), block.end());
    for (unsigned long back = 1; back <= 8; ++back) {
      const auto got = ReadOrEmpty(barrel, back, back);
      if (back > 7 || back > all.size()) {
        EXPECT_TRUE(got.empty()) << "back " << back;
        continue;
      }
      ASSERT_EQ(got, std::vector<short>(all.end() - back, all.end())) << "back " << back;
    }
  }
}

}  // namespace
