#include "core/security/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// RFC 4648, section 10.
const std::vector<std::pair<std::string, std::string>> kRfc4648 = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

std::string Encode(const std::string& bytes) {
  size_t size = 0;
  EXPECT_EQ(HX_Base64::encode(bytes.data(), bytes.size(), nullptr, &size), nullptr);
  std::string text(size, '\0');
  char* out = text.empty() ? reinterpret_cast<char*>(&size) : text.data();  // any non-null buffer
  EXPECT_EQ(HX_Base64::encode(bytes.data(), bytes.size(), out, &size), out);
  EXPECT_EQ(size, text.size());
  return text;
}

std::string Decode(const std::string& text) {
  size_t size = 0;
  EXPECT_EQ(HX_Base64::decode(text.data(), text.size(), nullptr, &size), nullptr);
  std::string bytes(size + 1, '\0');
  size = bytes.size();
  EXPECT_EQ(HX_Base64::decode(text.data(), text.size(), bytes.data(), &size), bytes.data());
  bytes.resize(size);
  return bytes;
}

TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  for (const auto& [bytes, text] : kRfc4648) {
    EXPECT_EQ(Encode(bytes), text) << bytes;
    EXPECT_EQ(Decode(text), bytes) << text;
  }
  EXPECT_EQ(Encode("abc:xyz"), "YWJjOnh5eg==");
  EXPECT_EQ(Encode(std::string("\xFB\xFF\0", 3)), "+/8A");
}

TEST(Base64, RoundTripsEveryLength) {
  std::mt19937 random(7);
  for (size_t length = 0; length < 64; ++length) {
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    EXPECT_EQ(Decode(Encode(bytes)), bytes) << length;
  }
}

TEST(Base64, EncodeNeedsRoomForTheWholeText) {
  char out[8];
  size_t size = 3;
  EXPECT_EQ(HX_Base64::encode("abcd", 4, out, &size), nullptr);
  EXPECT_EQ(size, 8u);  // the size needed, even on failure
  size = 8;
  EXPECT_EQ(HX_Base64::encode("abcd", 4, out, &size), out);
  EXPECT_EQ(std::string(out, 8), "YWJjZA==");
  EXPECT_EQ(HX_Base64::encode("abcd", 4, out, nullptr), nullptr);
  size = 8;
  EXPECT_EQ(HX_Base64::encode(nullptr, 4, out, &size), nullptr);
}

TEST(Base64, DecodeChecksLengthAndRoom) {
  unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  size_t size = 1;
  EXPECT_EQ(HX_Base64::decode("QQ==", 4, out, &size), out);  // one byte into one byte
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(out[1], 0xEE);

  size = 0;
  EXPECT_EQ(HX_Base64::decode("QQ==", 4, out, &size), nullptr);
  EXPECT_EQ(size, 1u);

  size = 4;
  EXPECT_EQ(HX_Base64::decode("QUJDR", 5, out, &size), nullptr);  // not a multiple of 4
  EXPECT_EQ(size, 4u);

  size = 4;
  EXPECT_EQ(HX_Base64::decode("", 0, out, &size), out);
  EXPECT_EQ(size, 0u);

  size = 4;
  EXPECT_EQ(HX_Base64::decode("Q===", 4, out, &size), out);  // only the last two count
  EXPECT_EQ(size, 1u);
}

TEST(Base64, TakesForeignCharactersAsZero) {
  size_t size = 3;
  unsigned char out[3];
  ASSERT_EQ(HX_Base64::decode("A*A!", 4, out, &size), out);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 0);
  ASSERT_EQ(HX_Base64::decode("\xFF=\x80" "A", 4, out, &size), out);  // an early "=" is 0 too
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(out[2], 0);
}

}  // namespace
