#include "core/base/text_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::string left;
  std::string right;
  int32_t exact;     // utf8strncmp
  int32_t caseless;  // utf8strncasecmp
};

// Lengths are the strings' sizes, so embedded zeros count.
const std::vector<Case> kCases = {
    {"abc", "abc", 0, 0},
    {"abc", "ABC", 1, 0},
    {"ab", "abc", 0, -1},  // stops when the left side is used up; then the shorter first
    {"abc", "ab", 0, 1},
    {"abd", "abc", 1, 1},
    {"ABD", "abc", -1, 1},  // the caseless order compares lower-case forms
    {"a", "b", -1, -1},
    {"\u00C0bc", "\u00E0BC", -1, 0},  // ÀBC and àbc
    {"\xC4\xB0", "i", 1, 0},                    // İ lowers to i
    {"\xC3\xBF", "\xC5\xB8", -1, 0},            // ÿ and Ÿ
    {"\xC5\xBF", "s", 1, 1},                    // long s is no s
    {std::string("ab\0x", 4), std::string("ab\0y", 4), 0, 0},  // a zero code point ends it
    {std::string("ab\0", 3), "ab", 0, 1},
    {"", "a", -2, -2},  // a length of 0 is invalid input
    {"a", "", 2, 2},
    {"a\xC3", "a\xC3", -2, -2},  // equal pairs do not hide a bad byte behind them
    {"\xC3", "a", -2, -2},
    {"a", "\xC3", 2, 2},
    {"\xC0\x80", std::string(1, '\0'), 0, 0},  // C0 80 is the zero code point
};

TEST(TextCompare, ComparesByCodePoints) {
  for (const auto& c : kCases) {
    const std::string label =
        testing::PrintToString(c.left) + " vs " + testing::PrintToString(c.right);
    EXPECT_EQ(utf8strncmp(c.left.data(), c.left.size(), c.right.data(), c.right.size()), c.exact)
        << label;
    EXPECT_EQ(utf8strncasecmp(c.left.data(), c.left.size(), c.right.data(), c.right.size()),
              c.caseless)
        << label;
  }
}

TEST(TextCompare, OrdersZeroTerminatedTextsWithoutCase) {
  EXPECT_EQ(hxicomparestr("", ""), 0);
  EXPECT_EQ(hxicomparestr("", "a"), -1);
  EXPECT_EQ(hxicomparestr("a", ""), 1);
  EXPECT_EQ(hxicomparestr(nullptr, "a"), -1);
  EXPECT_EQ(hxicomparestr("User@Example", "user@example"), 0);
  EXPECT_EQ(hxicomparestr("alice", "Bob"), -1);
  EXPECT_EQ(hxicomparestr("\xD0\x90\xD0\x91", "\xD0\xB0\xD0\xB1"), 0);  // АБ and аб
}

}  // namespace
