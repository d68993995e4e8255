#include "core/security/random_string.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

TEST(RandomString, DrawsOnlyFromTheGivenPartOfTheAlphabet) {
  const std::string nonce = HX_Random::random_string(10, kAlphabet, 16);
  EXPECT_EQ(nonce.size(), 10u);
  EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;

  // Over many draws every one of the 16 characters turns up (missing one: about 1e-44).
  HX_Random random;
  const std::string many = random.rnd_string(1600, kAlphabet, 16);
  EXPECT_EQ(std::set<char>(many.begin(), many.end()).size(), 16u);

  EXPECT_EQ(HX_Random::random_string(0, kAlphabet, 16), "");
  EXPECT_EQ(HX_Random::random_string(5, kAlphabet, 0), "");
  EXPECT_EQ(HX_Random::random_string(5, nullptr, 16), "");
  EXPECT_EQ(HX_Random::random_string(3, "x", 1), "xxx");
}

TEST(RandomString, EachObjectReadsItsOwnSeed) {
  HX_Random first;
  HX_Random second;
  EXPECT_NE(first.rnd_string(32, kAlphabet, 62), second.rnd_string(32, kAlphabet, 62));
  EXPECT_NE(HX_Random::random_string(32, kAlphabet, 62),
            HX_Random::random_string(32, kAlphabet, 62));
}

TEST(RandomString, DrawsFromAGivenEngine) {
  std::mt19937 one(42);
  std::mt19937 two(42);
  const std::string a = HX_Random::random_string(one, 20, kAlphabet, 62);
  EXPECT_EQ(a, HX_Random::random_string(two, 20, kAlphabet, 62));
  EXPECT_NE(a, HX_Random::random_string(one, 20, kAlphabet, 62));  // the engine moved on
}

}  // namespace
