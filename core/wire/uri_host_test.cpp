#include "core/wire/uri_host.h"

#include <gtest/gtest.h>

namespace {

struct HostCase {
  const char* text;
  size_t offset;
  bool ok;
  const char* host;          // expected host on success
  uint16_t port;             // expected port (starting from 4307)
  HXUriError::ECode code;    // expected error on failure
  size_t position;           // expected error position on failure
};

TEST(UriHost, ParseHostTable) {
  const HostCase cases[] = {
      {"h1", 0, true, "h1", 4307, HXUriError::eNone, 0},
      {"h2:80", 0, true, "h2", 80, HXUriError::eNone, 0},
      {"h2:", 0, true, "h2", 4307, HXUriError::eNone, 0},  // a ":" at the end keeps the port
      {":81", 0, true, "", 81, HXUriError::eNone, 0},
      {"[::1]:443", 0, true, "::1", 443, HXUriError::eNone, 0},
      {"[::1]", 0, true, "::1", 4307, HXUriError::eNone, 0},
      {"[10.0.0.1]:65535", 0, true, "10.0.0.1", 65535, HXUriError::eNone, 0},
      {"xx[fe80::2]:9", 2, true, "fe80::2", 9, HXUriError::eNone, 0},
      {"h:1:2", 0, false, "", 0, HXUriError::eBadPort, 2},  // only digits after the first ":"
      {"h1:0", 0, false, "", 0, HXUriError::eBadPort, 3},
      {"h1:65536", 0, false, "", 0, HXUriError::eBadPort, 3},
      {"h1:99999999999999999999", 0, false, "", 0, HXUriError::eBadPort, 3},
      {"h1:8a", 0, false, "", 0, HXUriError::eBadPort, 3},
      {"[::1", 0, false, "", 0, HXUriError::eNoClosingBracket, 4},
      {"[h1]:80", 0, false, "", 0, HXUriError::eNotIpLiteral, 3},
      {"ab[h1]:80", 2, false, "", 0, HXUriError::eNotIpLiteral, 5},
      {"[::1]x", 0, false, "", 0, HXUriError::eBadChar, 5},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host = "unchanged";
    uint16_t port = 4307;
    HXUriError error;
    EXPECT_EQ(HXUri::parseHost(c.text, c.offset, host, port, &error), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
      EXPECT_EQ(error.error(), HXUriError::eNone);
    } else {
      EXPECT_EQ(host, "unchanged");
      EXPECT_EQ(port, 4307);
      size_t position = 0;
      EXPECT_EQ(error.error(&position), c.code);
      EXPECT_EQ(position, c.position);
    }
  }
}

TEST(UriHost, ParseHostWithoutErrorObject) {
  std::string host;
  uint16_t port = 1;
  EXPECT_FALSE(HXUri::parseHost("[x]", 0, host, port, nullptr));
  EXPECT_TRUE(HXUri::parseHost("a:2", 0, host, port, nullptr));
  EXPECT_EQ(port, 2);
}

TEST(UriHost, NumericHostTable) {
  struct Case {
    const char* text;
    size_t offset;
    size_t length;
    bool numeric;
  } cases[] = {
      {"10.0.0.1", 0, 0, true},   {"1.2", 0, 0, true},       {"::1", 0, 0, true},
      {"[::1]", 0, 0, true},      {"[1.2.3.4]", 0, 0, false},  // a "." in brackets
      {"[]", 0, 0, false},        {"fe80::1", 0, 0, false},  {"fd00::1", 0, 0, false},
      {"host.com", 0, 0, false},  {"h1", 0, 0, false},       {"host:80", 0, 0, false},
      {".12", 0, 0, false},       {".1", 0, 0, false},       {"12.", 0, 0, false},
      {"1.", 0, 0, false},        {"1.a", 0, 0, false},      {"1", 0, 0, false},
      {"12", 0, 0, false},        {"", 0, 0, false},         {"1-2", 0, 0, false},
      {"ab1.2", 2, 0, true},      {"x10.0.0.1", 1, 0, true}, {"a::1", 1, 0, true},
      {"1.2zz", 0, 3, true},      {"10.0.0.1x", 0, 8, true}, {"1.2zz", 0, 9, false},
      {"10.0.0.1x", 0, 20, false}, {"1.2", 7, 0, false},     {"10.0.0.1", 9, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HXUri::isNumericHost(c.text, c.offset, c.length), c.numeric);
  }
}

TEST(UriHost, LowerCasesAsciiOnly) {
  EXPECT_EQ(HXUri::toLower("AbC-Z\xC3\x84"), "abc-z\xC3\x84");
  EXPECT_EQ(HXUri::toLower("VCS2.TCP"), "vcs2.tcp");
  std::string text = "AbC-Z@[\xc3\x84]";
  HXUri::lower(text);
  EXPECT_EQ(text, "abc-z@[\xc3\x84]");
}

}  // namespace
