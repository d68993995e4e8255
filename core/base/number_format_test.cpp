#include "core/base/number_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(NumberFormat, WritesIntegersInAnyBase) {
  struct Case {
    int32_t value;
    int base;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, 10, "0"},
      {-255, 16, "-ff"},
      {255, 16, "ff"},
      {35, 36, "z"},
      {-35, 36, "-z"},
      {5, 2, "101"},
      {INT_MAX, 10, "2147483647"},
      {INT_MIN, 10, "-2147483648"},
      {INT_MIN, 2, "-10000000000000000000000000000000"},
      {-1, 7, "-1"},
      {48, 7, "66"},
      {10, 1, ""},  // no such base
      {10, 37, ""},
      {10, 0, ""},
  };
  for (const auto& c : cases) {
    char buffer[kHxItoaBufferSize];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(hxitoa(c.value, buffer, c.base), buffer);
    EXPECT_EQ(std::string(buffer), c.text) << c.value << " in base " << c.base;
  }
}

TEST(NumberFormat, FormatsWithinTheBuffer) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(hxsnprintf(buffer, 4, "%d-%s", 12, "abc"), 6);  // the full length, cut to fit
  EXPECT_STREQ(buffer, "12-");
  EXPECT_EQ(buffer[4], 'x');
  EXPECT_EQ(hxsnprintf(nullptr, 0, "%d", 12345), 5);
  EXPECT_LT(hxsnprintf(nullptr, 4, "%d", 1), 0);
}

}  // namespace
