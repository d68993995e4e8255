#include "core/security/md5.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Vector {
  std::string message;
  std::string digest;  // lower-case hex, as RFC 1321 prints it
};

// The test suite of RFC 1321, appendix A.5.
const std::vector<Vector> kRfc1321 = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Hex(const unsigned char* digest) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < kMD5DigestSize; ++i) {
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

TEST(Md5, WritesTheRfcDigestsInUpperCaseHex) {
  for (const auto& v : kRfc1321) {
    char out[kMD5HexSize];
    std::fill(std::begin(out), std::end(out), 'x');
    EXPECT_EQ(HX_Cipher::md5(v.message.c_str(), out), out);
    EXPECT_EQ(std::string(out), Upper(v.digest)) << v.message;
  }
  char out[kMD5HexSize];
  EXPECT_EQ(HX_Cipher::md5(nullptr, out), nullptr);
  EXPECT_EQ(HX_Cipher::md5("a", nullptr), nullptr);
}

TEST(Md5, StreamsInAnyPieces) {
  for (const auto& v : kRfc1321) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, v.message.size() + 1}) {
      MD5Context context;
      ASSERT_TRUE(MD5Init(&context));
      for (size_t at = 0; at < v.message.size(); at += piece) {
        const size_t n = std::min(piece, v.message.size() - at);
        ASSERT_TRUE(MD5Update(&context, v.message.data() + at, static_cast<uint32_t>(n)));
      }
      unsigned char digest[kMD5DigestSize];
      ASSERT_TRUE(MD5Final(digest, &context));
      EXPECT_EQ(Hex(digest), v.digest) << v.message << " in pieces of " << piece;
    }
  }
}

TEST(Md5, FinalClearsTheContext) {
  MD5Context context;
  unsigned char digest[kMD5DigestSize];
  EXPECT_FALSE(MD5Update(&context, "a", 1));  // not started
  EXPECT_FALSE(MD5Final(digest, &context));

  ASSERT_TRUE(MD5Init(&context));
  ASSERT_TRUE(MD5Update(&context, "junk", 4));
  ASSERT_TRUE(MD5Init(&context));  // a restart forgets what was fed
  ASSERT_TRUE(MD5Update(&context, "abc", 3));
  ASSERT_TRUE(MD5Final(digest, &context));
  EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_FALSE(MD5Update(&context, "a", 1));  // cleared until the next start

  ASSERT_TRUE(MD5Init(&context));
  ASSERT_TRUE(MD5Final(digest, &context));
  EXPECT_EQ(Hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
