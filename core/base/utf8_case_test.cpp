#include "core/base/utf8_case.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Utf8Case, MapsCodePointsThroughTheTables) {
  struct Case {
    uint32_t code, lower, upper;
  };
  const std::vector<Case> cases = {
      {'A', 'a', 'A'},         {'a', 'a', 'A'},          {'1', '1', '1'},
      {0xC0, 0xE0, 0xC0},      {0xE0, 0xE0, 0xC0},       // À à
      {0x130, 0x69, 0x130},    {0x131, 0x131, 0x49},     // dotted and dotless i
      {0xFF, 0xFF, 0x178},     {0x178, 0xFF, 0x178},     // ÿ Ÿ
      {0xB5, 0xB5, 0xB5},      {0x17F, 0x17F, 0x17F},    // micro sign, long s: no row
      {0x3A3, 0x3C3, 0x3A3},   {0x3C3, 0x3C3, 0x3A3},    // Σ σ
      {0x410, 0x430, 0x410},   {0x430, 0x430, 0x410},    // А а
      {0xFF21, 0xFF41, 0xFF21}, {0xFF41, 0xFF41, 0xFF21},  // full-width A a
      {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wlc(c.code), c.lower) << std::hex << c.code;
    EXPECT_EQ(wuc(c.code), c.upper) << std::hex << c.code;
  }
}

std::string Lower(const std::string& in, size_t capacity, int32_t* result) {
  std::vector<char> out(capacity + 1, '#');  // one guard byte past the capacity
  size_t size = capacity;
  *result = utf8lcstr(in.data(), in.size(), out.data(), &size);
  EXPECT_EQ(out[capacity], '#') << "wrote past the capacity";
  if (*result != 0) {
    EXPECT_EQ(size, capacity) << "size changed on failure";
    return std::string();
  }
  EXPECT_EQ(out[size], '\0');
  return std::string(out.data(), size);
}

TEST(Utf8Case, ChangesTheCaseOfText) {
  int32_t result = 0;
  EXPECT_EQ(Lower("\u00C0BC", 64, &result), "\u00E0bc");  // ÀBC -> àbc
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Lower("", 7, &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Lower(std::string("A\0B", 3), 64, &result), std::string("a\xC0\x80") + "b");

  std::vector<char> out(64);
  size_t size = out.size();
  ASSERT_EQ(utf8ucstr("stra\u00DFe \u00FF", 10, out.data(), &size), 0);
  EXPECT_EQ(std::string(out.data(), size), "STRA\u00DFE \u0178");  // ß has no upper row
}

TEST(Utf8Case, NeedsSixSpareBytesInTheOutput) {
  int32_t result = 0;
  // "ABC" gives 3 bytes: the capacity must be at least 3 + 6.
  EXPECT_EQ(Lower("ABC", 9, &result), "abc");
  EXPECT_EQ(Lower("ABC", 8, &result), "");
  EXPECT_EQ(result, -3);
  // An empty text still needs a capacity of 7.
  Lower("", 6, &result);
  EXPECT_EQ(result, -3);
}

TEST(Utf8Case, ReportsInvalidInputAndUnencodableMappings) {
  int32_t result = 0;
  Lower("ab\xC3", 64, &result);
  EXPECT_EQ(result, -1);
  Lower("\xC1\x81", 64, &result);
  EXPECT_EQ(result, -1);

  char out[16];
  size_t size = sizeof(out);
  EXPECT_EQ(changeutf8case("a", 1, out, &size, [](uint32_t) { return 0x80000000u; }), -2);
  EXPECT_EQ(size, sizeof(out));
  EXPECT_EQ(utf8lcstr("a", 1, nullptr, &size), -3);
  EXPECT_EQ(utf8lcstr("a", 1, out, nullptr), -3);
}

}  // namespace
