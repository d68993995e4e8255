#include "core/net/dns/dns_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hx::dns {
namespace {

using Bytes = std::vector<uint8_t>;

// The uncompressed wire form of a text, or nothing when it does not encode.
Bytes Wire(const std::string& text) {
  uint8_t wire[NS_MAXCDNAME];
  const int length = ns_name_compress(text.c_str(), wire, sizeof wire, nullptr, nullptr);
  return length < 0 ? Bytes() : Bytes(wire, wire + length);
}

int FullyQualified(const std::string& text) {
  uint8_t wire[NS_MAXCDNAME];
  return ns_name_pton(text.c_str(), wire, sizeof wire);
}

std::string Text(const Bytes& wire) {
  char text[NS_MAXDNAME];
  return ns_name_ntop(wire.data(), text, sizeof text) < 0 ? std::string("<error>") : std::string(text);
}

TEST(DnsName, TextToWireAndBack) {
  struct Case {
    std::string text;
    Bytes wire;
    int fully_qualified;
    std::string back;  // the text that the wire form prints as
  };
  const Case cases[] = {
      {"example.com", {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}, 0, "example.com"},
      {"Example.COM.", {7, 'E', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'C', 'O', 'M', 0}, 1, "Example.COM"},
      {".", {0}, 1, "."},
      {"", {0}, 0, "."},
      {"a\\.b.c", {3, 'a', '.', 'b', 1, 'c', 0}, 0, "a\\.b.c"},
      {"\\065bc", {3, 'A', 'b', 'c', 0}, 0, "Abc"},
      {"x\\001\\255", {3, 'x', 1, 255, 0}, 0, "x\\001\\255"},
      {"sp\\ ace", {6, 's', 'p', ' ', 'a', 'c', 'e', 0}, 0, "sp\\032ace"},
      {"q\\\"@$;()\\\\", {8, 'q', '"', '@', '$', ';', '(', ')', '\\', 0}, 0,
       "q\\\"\\@\\$\\;\\(\\)\\\\"},
      // Bit-string labels: hex digits, optionally the number of significant bits.
      {"\\[xa/3]", {0x41, 3, 0xa0, 0}, 0, "\\[xa/3]"},
      {"a\\[x1]", {5, 'a', '[', 'x', '1', ']', 0}, 0, "a[x1]"},  // "\\[" starts bits only at a label start
      {"\\[x0f1].hx", {0x41, 12, 0x0f, 0x10, 2, 'h', 'x', 0}, 0, "\\[x0f1/12].hx"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Wire(c.text), c.wire) << c.text;
    EXPECT_EQ(FullyQualified(c.text), c.fully_qualified) << c.text;
    EXPECT_EQ(Text(c.wire), c.back) << c.text;
  }
}

TEST(DnsName, FullBitStringOf256Bits) {
  const std::string hex(64, 'f');
  const Bytes wire = Wire("\\[x" + hex + "]");
  ASSERT_EQ(wire.size(), 2u + 32u + 1u);
  EXPECT_EQ(wire[1], 0);  // a count of 0 means 256 bits
  EXPECT_EQ(Text(wire), "\\[x" + hex + "/256]");
}

TEST(DnsName, RejectsBadText) {
  const std::string cases[] = {
      "a..b",        "..",        ".a",         "a\\",         "\\256",       "\\12",
      "\\[x]",       "\\[y1]",    "\\[x1/5]",   "\\[x1/3]",     "\\[xf/3]",     "\\[x1/0]",
      "\\[x1",       "\\[x1]b",   "\\[x1/01]",    "\\[x1/300]",
      std::string(64, 'a'),                    // label over 63 bytes
      "\\[x" + std::string(65, '0') + "]",     // more than 256 bits
  };
  for (const std::string& text : cases) EXPECT_EQ(FullyQualified(text), -1) << text;
  // A too small buffer fails instead of writing past it.
  uint8_t small[4] = {0, 0, 0, 0xee};
  EXPECT_EQ(ns_name_pton("abc", small, 3), -1);
  EXPECT_EQ(small[3], 0xee);
  char text[7];
  const uint8_t name[] = {3, 'a', 'b', 'c', 2, 'd', 'e', 0};
  EXPECT_EQ(ns_name_ntop(name, text, 6), -1);
  EXPECT_EQ(ns_name_ntop(name, text, 7), 6);
}

struct UnpackCase {
  const char* what;
  Bytes message;
  size_t start;
  int occupied;          // -1: must fail
  std::string expanded;  // presentation text when it succeeds
};

TEST(DnsName, UnpackFollowsPointersAndStopsOnBadOnes) {
  const UnpackCase cases[] = {
      {"plain", {1, 'a', 2, 'b', 'c', 0}, 0, 6, "a.bc"},
      {"pointer at the end", {1, 'a', 0, 1, 'b', 0xc0, 0}, 3, 4, "b.a"},
      {"chain of two pointers", {1, 'a', 0, 0xc0, 0, 1, 'b', 0xc0, 3}, 5, 4, "b.a"},
      {"lone pointer", {1, 'x', 0, 0xc0, 0}, 3, 2, "x"},
      {"pointer to itself", {0xc0, 0}, 0, -1, ""},
      {"two pointers in a loop", {1, 'a', 0xc0, 4, 0xc0, 0}, 0, -1, ""},
      {"pointer past the message", {1, 'a', 0xc0, 9}, 0, -1, ""},
      {"pointer cut after its first byte", {1, 'a', 0xc0}, 0, -1, ""},
      {"label running past the end", {5, 'a', 'b'}, 0, -1, ""},
      {"name without its root", {1, 'a'}, 0, -1, ""},
      {"reserved label type", {0x80, 'a', 0}, 0, -1, ""},
      {"unknown extended label type", {0x42, 1, 0xff, 0}, 0, -1, ""},
      {"bit-string type as the last byte", {1, 'a', 0x41}, 2, -1, ""},
      {"bit-string bits past the end", {0x41, 16, 0xab}, 0, -1, ""},
      {"bit-string label", {0x41, 8, 0xab, 0}, 0, 4, "\\[xab/8]"},
  };
  for (const UnpackCase& c : cases) {
    // A heap copy of exactly the message, so that reading past it is caught.
    std::vector<uint8_t> message(c.message);
    char text[NS_MAXDNAME];
    const int occupied = ns_name_uncompress(message.data(), message.data() + message.size(),
                                            message.data() + c.start, text, sizeof text);
    EXPECT_EQ(occupied, c.occupied) << c.what;
    if (c.occupied >= 0 && occupied >= 0) EXPECT_EQ(std::string(text), c.expanded) << c.what;
  }
}

TEST(DnsName, UnpackRefusesStartsOutsideTheMessageAndNamesOver255Bytes) {
  const uint8_t message[] = {1, 'a', 0};
  uint8_t wire[NS_MAXCDNAME];
  EXPECT_EQ(ns_name_unpack(message, message + 3, message + 3, wire, sizeof wire), -1);
  EXPECT_EQ(ns_name_unpack(message + 1, message + 3, message, wire, sizeof wire), -1);
  EXPECT_EQ(ns_name_unpack(message, message + 3, message, wire, 2), -1);

  // 128 one-byte labels make 257 bytes of wire form; pointers cannot stretch a name past 255.
  Bytes long_name;
  for (int i = 0; i < 128; ++i) long_name.insert(long_name.end(), {1, 'z'});
  long_name.push_back(0);
  EXPECT_EQ(ns_name_unpack(long_name.data(), long_name.data() + long_name.size(), long_name.data(),
                           wire, sizeof wire),
            -1);
  Bytes chained;
  for (int i = 0; i < 200; ++i) chained.insert(chained.end(), {1, 'z', 0xc0, static_cast<uint8_t>(chained.size() + 4)});
  chained.push_back(0);
  EXPECT_EQ(ns_name_unpack(chained.data(), chained.data() + chained.size(), chained.data(), wire,
                           sizeof wire),
            -1);
}

TEST(DnsName, CompressPointsAtEarlierNamesWithoutRegardToCase) {
  uint8_t message[128] = {};
  const uint8_t* names[20] = {message, nullptr};
  const uint8_t** end = names + 20;
  uint8_t* at = message + 12;
  const int first = ns_name_compress("www.example.com", at, 64, names, end);
  ASSERT_EQ(first, 17);
  at += first;
  const int second = ns_name_compress("MAIL.Example.Com.", at, 64, names, end);
  const Bytes expected_second = {4, 'M', 'A', 'I', 'L', 0xc0, 12 + 4};
  ASSERT_EQ(second, static_cast<int>(expected_second.size()));
  EXPECT_EQ(Bytes(at, at + second), expected_second);
  at += second;
  const int third = ns_name_compress("www.example.com", at, 64, names, end);
  ASSERT_EQ(third, 2);
  EXPECT_EQ(at[0], 0xc0);
  EXPECT_EQ(at[1], 12);
  at += third;
  // Only names written with a label of their own are offered to later names.
  EXPECT_EQ(names[1], message + 12);
  EXPECT_EQ(names[2], message + 12 + first);
  EXPECT_EQ(names[3], nullptr);

  char text[NS_MAXDNAME];
  EXPECT_EQ(ns_name_uncompress(message, at, message + 12 + first, text, sizeof text), second);
  EXPECT_STREQ(text, "MAIL.example.com");
}

TEST(DnsName, PackWithoutTableOrRoomInTheTable) {
  uint8_t message[64] = {};
  const uint8_t* names[2] = {message, nullptr};  // no room for any name position
  EXPECT_EQ(ns_name_compress("a.b", message + 12, 32, names, names + 2), 5);
  EXPECT_EQ(names[1], nullptr);
  EXPECT_EQ(ns_name_compress("a.b", message + 20, 32, names, names + 2), 5);
  EXPECT_EQ(ns_name_compress("a.b", message + 30, 32, nullptr, nullptr), 5);
  EXPECT_EQ(ns_name_compress("a.b", message + 40, 4, nullptr, nullptr), -1);
  const uint8_t pointer_name[] = {1, 'a', 0xc0, 0};
  EXPECT_EQ(ns_name_pack(pointer_name, message, sizeof message, nullptr, nullptr), -1);
}

}  // namespace
}  // namespace hx::dns
