// The URI object (split and rebuild) and the escapes of the URI toolkit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/wire/uri_escape.h"
#include "core/wire/uri_host.h"

namespace {

TEST(Uri, CharacterSetsAreTheirSlices) {
  EXPECT_EQ(HXUri::GenDelims, ":/?#[]@");
  EXPECT_EQ(HXUri::SubDelims, "!$&'()");
  EXPECT_EQ(HXUri::Digit, "0123456789");
  EXPECT_EQ(HXUri::Unreserved.size(), 66u);
  EXPECT_EQ(HXUri::Unreserved.substr(0, 4), "_~-.");
  EXPECT_EQ(HXUri::AlphaDigit.size(), 62u);
  EXPECT_EQ(HXUri::AlphaDigit.substr(50, 4), "yz01");
  EXPECT_EQ(HXUri::SchemeSet.size(), 65u);
  EXPECT_EQ(HXUri::SchemeSet.front(), '-');
  EXPECT_EQ(HXUri::SchemeSet.back(), '+');
}

TEST(Uri, SplitsEveryPart) {
  HXUri uri;
  ASSERT_TRUE(uri.set("KalVenor://me:secret@[2001:db8::7]:4308/conf/room?a=1&b=2#top?x"));
  EXPECT_EQ(uri.scheme(), "kalvenor");
  EXPECT_EQ(uri.user(), "me");
  EXPECT_EQ(uri.password(), "secret");
  EXPECT_EQ(uri.host(), "2001:db8::7");
  EXPECT_EQ(uri.port(), 4308);
  EXPECT_EQ(uri.path(), "/conf/room");
  EXPECT_EQ(uri.query(), "a=1&b=2");
  EXPECT_EQ(uri.anchor(), "top?x");  // a "?" after "#" belongs to the anchor
  EXPECT_TRUE(uri.is_scheme("KALVENOR"));
  EXPECT_FALSE(uri.is_scheme(""));
  EXPECT_EQ(uri.error(), HXUriError::eNone);
}

TEST(Uri, AbsentPartsAnswerTheirDefaults) {
  HXUri uri("kalvenor://host.example");
  EXPECT_TRUE(uri.is_host());
  EXPECT_FALSE(uri.is_port());
  EXPECT_FALSE(uri.is_user());
  EXPECT_FALSE(uri.is_path());
  EXPECT_EQ(uri.port(4307), 4307);
  EXPECT_EQ(uri.user("nobody"), "nobody");
  EXPECT_EQ(uri.query("none"), "none");

  HXUri no_scheme("host.example:80/p");  // begins with a letter, "/" after ":" is fine
  EXPECT_TRUE(no_scheme.is_scheme());
  HXUri path_only("relative/path?q");
  EXPECT_FALSE(path_only.is_scheme());
  EXPECT_TRUE(path_only.is_scheme(""));
  EXPECT_EQ(path_only.path(), "relative/path");
  EXPECT_EQ(path_only.query(), "q");

  HXUri empty_query("x:/p?#");
  EXPECT_FALSE(empty_query.is_query());
  EXPECT_TRUE(empty_query.is_anchor());
  EXPECT_TRUE(HXUri().empty());
}

TEST(Uri, WritesBackWhatItRead) {
  const std::vector<std::string> links = {
      "kalvenor://me:secret@[2001:db8::7]:4308/conf/room?a=1&b=2#top",
      "kalvenor://me@[::1]/",
      "kalvenor://[fe80::1]:9",
      "dorvello://user@host.example:80/path?q#a",
      "kalvenor://10.0.0.1:4307",
      "brassunelo:opaque/path?query",
      "mailto:/x#only-anchor",
      "kalvenor://@odd@host:80/p",  // empty user information before a host with "@"
  };
  for (const auto& link : links) {
    HXUri uri;
    ASSERT_TRUE(uri.set(link)) << link;
    EXPECT_EQ(uri.str(), link);
    HXUri again;
    ASSERT_TRUE(again.set(uri.str())) << uri.str();
    EXPECT_EQ(again.host(), uri.host());
    EXPECT_EQ(again.port(), uri.port());
  }
}

TEST(Uri, AnIpv6HostIsWrittenInBrackets) {
  // Without brackets "::1" would read back as host "" and port ":1", which fails.
  HXUri uri("kalvenor://[::1]:443/p");
  EXPECT_EQ(uri.str(), "kalvenor://[::1]:443/p");
  HXUri back(uri.str());
  EXPECT_EQ(back.error(), HXUriError::eNone);
  EXPECT_EQ(back.host(), "::1");
  EXPECT_EQ(back.port(), 443);
}

struct ErrorCase {
  const char* text;
  HXUriError::ECode code;
  size_t position;
};

TEST(Uri, ErrorsAndTheirPositions) {
  const ErrorCase cases[] = {
      {"", HXUriError::eEmptyUri, 0},
      {"ka_lvenor://h", HXUriError::eBadChar, 2},                     // "_" is no scheme character
      {"kalvenor://[::1]x:80", HXUriError::eBadChar, 16},             // only ":" may follow "]"
      {"kalvenor://u@[::1:80/p", HXUriError::eNoClosingBracket, 20},  // end of the authority
      {"kalvenor://host:8o/p", HXUriError::eBadPort, 16},
      {"kalvenor://host:0", HXUriError::eBadPort, 16},
      {"kalvenor://u:p@host:65536", HXUriError::eBadPort, 20},
      {"kalvenor://[host]:80", HXUriError::eNotIpLiteral, 16},
      {"[h1]:80/p", HXUriError::eNotIpLiteral, 3},  // without scheme
      {"1host:x", HXUriError::eBadPort, 6},
  };
  for (const auto& c : cases) {
    HXUri uri;
    EXPECT_FALSE(uri.set(c.text)) << c.text;
    size_t position = 99;
    EXPECT_EQ(uri.error(&position), c.code) << c.text;
    EXPECT_EQ(position, c.position) << c.text;
    EXPECT_EQ(uri.errorPos(), c.position) << c.text;
  }
}

TEST(Uri, SchemeHelpers) {
  EXPECT_EQ(HXUri::getSchemeLen("kalvenor:x"), 8u);
  EXPECT_EQ(HXUri::getSchemeLen("a/b:c"), 0u);
  EXPECT_EQ(HXUri::getSchemeLen("plain"), 0u);
  size_t position = 0;
  EXPECT_TRUE(HXUri::checkScheme("a+b-c.d9", position));
  EXPECT_FALSE(HXUri::checkScheme("ab?c", position));
  EXPECT_EQ(position, 2u);
}

TEST(UriEscape, PercentDecoding) {
  const std::pair<std::string, std::string> cases[] = {
      {"%41b", "Ab"},     {"%4a%4A", "JJ"},
      {"%", "%"},         {"a%", "a%"},
      {"%%", "%"},        {"%%41", "%41"},
      {"%4", "%4"},       {"%zz", "%zz"},
      {"100%25", "100%"}, {"%00x", std::string("\0x", 2)},
  };
  for (const auto& [in, expected] : cases) {
    std::string out = "old";
    EXPECT_TRUE(HXUriEscape::unescapePct(in, out));
    EXPECT_EQ(out, expected) << in;
  }
}

TEST(UriEscape, CharacterReferences) {
  struct Case {
    const char* text;
    bool ok;
    char character;
    size_t length;
  };
  const Case cases[] = {
      {"&lt;", true, '<', 4},   {"&GT;x", true, '>', 4},  {"&amp;", true, '&', 5},
      {"&AmP;", true, '&', 5},  {"&#39;", true, '\'', 5}, {"&quot;", true, '"', 6},
      {"&QUOT;", true, '"', 6}, {"&lt", false, 0, 0},     {"&xt;", false, 0, 0},
      {"&amp", false, 0, 0},    {"&#40;", false, 0, 0},   {"lt;;", false, 0, 0},
      {"&quot", false, 0, 0},
  };
  for (const auto& c : cases) {
    char character = 0;
    size_t length = 0;
    const std::string text = c.text;
    EXPECT_EQ(HXUriEscape::unescapeAmp(text.data(), text.size(), character, length), c.ok)
        << c.text;
    if (c.ok) {
      EXPECT_EQ(character, c.character) << c.text;
      EXPECT_EQ(length, c.length) << c.text;
    }
  }
}

TEST(UriEscape, QueryVariables) {
  HXUriEscape::QueryVariables variables;
  const std::string text = "x&&a=1&b&amp;c=&lt;2=3&&quot;d&#39;=v&amp;";
  HXUriEscape::UriVarsParser(text, variables, 1);
  ASSERT_EQ(variables.size(), 4u);
  auto it = variables.begin();
  EXPECT_EQ(it->name, "a");
  EXPECT_EQ(it->namePos, 3u);
  EXPECT_EQ(it->value, "1");
  EXPECT_EQ(it->valuePos, 5u);
  ++it;
  EXPECT_EQ(it->name, "b");
  EXPECT_EQ(it->value, "");
  EXPECT_EQ(it->valuePos, 0u);  // no "="
  ++it;
  EXPECT_EQ(it->name, "c");
  EXPECT_EQ(it->namePos, 13u);
  EXPECT_EQ(it->value, "<2=3");  // only the first "=" splits
  ++it;
  EXPECT_EQ(it->name, "\"d'");  // a reference starts the name with its character
  EXPECT_EQ(it->value, "v");
}

}  // namespace
