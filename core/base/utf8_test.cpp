#include "core/base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Encoding {
  uint32_t code;
  std::string bytes;
};

// The shortest and longest code point of every sequence length, and the encoded zero.
const std::vector<Encoding> kEncodings = {
    {0x0, "\xC0\x80"},
    {0x1, "\x01"},
    {0x7F, "\x7F"},
    {0x80, "\xC2\x80"},
    {0x7FF, "\xDF\xBF"},
    {0x800, "\xE0\xA0\x80"},
    {0xFFFF, "\xEF\xBF\xBF"},
    {0x10000, "\xF0\x90\x80\x80"},
    {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
    {0x200000, "\xF8\x88\x80\x80\x80"},
    {0x3FFFFFF, "\xFB\xBF\xBF\xBF\xBF"},
    {0x4000000, "\xFC\x84\x80\x80\x80\x80"},
    {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
};

TEST(Utf8, EncodesAndDecodesEveryLength) {
  for (const auto& e : kEncodings) {
    char out[6] = {};
    ASSERT_EQ(wtoutf8(e.code, out), static_cast<int32_t>(e.bytes.size())) << std::hex << e.code;
    EXPECT_EQ(std::string(out, e.bytes.size()), e.bytes) << std::hex << e.code;

    uint32_t decoded = 0xDEADBEEF;
    // Trailing bytes after the sequence are not part of it.
    const std::string followed = e.bytes + "x";
    EXPECT_EQ(utf8tow(followed.data(), followed.size(), &decoded),
              static_cast<int32_t>(e.bytes.size()));
    EXPECT_EQ(decoded, e.code);
  }
}

TEST(Utf8, RefusesCodePointsOfThirtyTwoBits) {
  char out[6];
  EXPECT_EQ(wtoutf8(0x80000000u, out), -1);
  EXPECT_EQ(wtoutf8(0xFFFFFFFFu, out), -1);
}

TEST(Utf8, RefusesInvalidSequences) {
  const std::vector<std::string> invalid = {
      "\x80",                      // continuation byte as lead
      "\xBF",                      //
      "\xFE\x80\x80\x80\x80\x80",  // FE and FF lead nothing
      "\xFF",                      //
      "\xC1\x81",                  // overlong 'A'
      "\xC0\x81",                  // overlong 1 (only C0 80 is allowed)
      "\xE0\x80\x80",              // overlong zero in three bytes
      "\xE0\x9F\xBF",              // overlong 0x7FF
      "\xF0\x8F\xBF\xBF",          // overlong 0xFFFF
      "\xF8\x87\xBF\xBF\xBF",      // overlong 0x1FFFFF
      "\xFC\x83\xBF\xBF\xBF\xBF",  // overlong 0x3FFFFFF
      "\xC3",                      // cut short
      "\xE2\x82",                  //
      "\xFD\xBF\xBF\xBF\xBF",      //
      "\xC3\x28",                  // second byte is not a continuation
      "\xE2\x82\xC0",              //
  };
  for (const auto& bytes : invalid) {
    uint32_t code = 0;
    EXPECT_EQ(utf8tow(bytes.data(), bytes.size(), &code), -1)
        << testing::PrintToString(bytes);
  }
  uint32_t code = 0;
  EXPECT_EQ(utf8tow(nullptr, 4, &code), -1);
  EXPECT_EQ(utf8tow("a", 0, &code), -1);
}

TEST(Utf8, CountsCodePoints) {
  EXPECT_EQ(utf8strlen(""), 0);
  EXPECT_EQ(utf8strlen("abc"), 3);
  EXPECT_EQ(utf8strlen("\u00C0b\u20AC"), 3);  // À b €
  EXPECT_EQ(utf8strlen("ab\xC3"), -1);
  EXPECT_EQ(utf8strlen(nullptr), -1);

  EXPECT_EQ(utf8strnlen("abc", 3), 3);
  EXPECT_EQ(utf8strnlen("abc", 2), 2);
  EXPECT_EQ(utf8strnlen("", 0), 0);
  EXPECT_EQ(utf8strnlen("abc", 4), 3);            // the closing zero byte is not counted
  EXPECT_EQ(utf8strnlen("ab\xC0\x80", 4), 2);     // nor a closing encoded zero
  EXPECT_EQ(utf8strnlen("a\0b", 3), 3);           // a zero inside the text is
  EXPECT_EQ(utf8strnlen("\xC3\x80\xC3", 3), -1);  // cut inside the last character
}

}  // namespace
