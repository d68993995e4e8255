#include "core/net/dns/dns64_prefix.h"

#include <gtest/gtest.h>

namespace hx::dns {
namespace {

HXIpAddress Ip(const char* text) {
  HXIpAddress address;
  EXPECT_TRUE(address.set(text)) << text;
  return address;
}

Pref64 Prefix(const char* text, uint8_t length) { return Pref64{Ip(text), length}; }

// The examples of RFC 6052, section 2.4: 192.0.2.33 behind each prefix length.
struct Example {
  const char* prefix;
  uint8_t length;
  const char* embedded;
};
constexpr Example kRfcExamples[] = {
    {"2001:db8::", 32, "2001:db8:c000:221::"},
    {"2001:db8:100::", 40, "2001:db8:1c0:2:21::"},
    {"2001:db8:122::", 48, "2001:db8:122:c000:2:2100::"},
    {"2001:db8:122:300::", 56, "2001:db8:122:3c0:0:221::"},
    {"2001:db8:122:344::", 64, "2001:db8:122:344:c0:2:2100:0"},
    {"2001:db8:122:344::", 96, "2001:db8:122:344::c000:221"},
    {"64:ff9b::", 96, "64:ff9b::c000:221"},
};

TEST(Dns64Prefix, SynthesisPlacesTheIpv4AddressByPrefixLength) {
  for (const Example& example : kRfcExamples) {
    HXIpAddress synthesised;
    ASSERT_TRUE(Prefix(example.prefix, example.length).synthesis(Ip("192.0.2.33"), synthesised))
        << example.embedded;
    EXPECT_EQ(synthesised.str(), example.embedded);
  }
  HXIpAddress out;
  EXPECT_TRUE(Prefix("64:ff9b::", 96).synthesis(Ip("192.0.2.1"), out));
  EXPECT_EQ(out.str(), "64:ff9b::c000:201");
  EXPECT_FALSE(Prefix("64:ff9b::", 96).synthesis(Ip("::1"), out));
  EXPECT_FALSE(Prefix("64:ff9b::", 80).synthesis(Ip("192.0.2.1"), out));
}

TEST(Dns64Prefix, EveryPrefixLengthIsFoundBackFromTheWellKnownAddress) {
  for (const Example& example : kRfcExamples) {
    const Pref64 expected = Prefix(example.prefix, example.length);
    for (const char* wellKnown : {"192.0.0.170", "192.0.0.171"}) {
      HXIpAddress answer;
      ASSERT_TRUE(expected.synthesis(Ip(wellKnown), answer));
      Pref64 found;
      ASSERT_TRUE(lookupPref64_n(answer, found)) << answer.str();
      EXPECT_EQ(found, expected) << answer.str();
    }
  }
}

TEST(Dns64Prefix, AnswersWithoutOneClearPrefixGiveNone) {
  const char* cases[] = {
      "64:ff9b::c000:ac",          // 192.0.0.172 is no well-known address
      "64:ff9b:0:0:100::c000:aa",  // byte 8 is not 0
      "0:0:c000:aa::c000:aa",      // the well-known address at two places (/32 and /96)
      "::",
  };
  for (const char* text : cases) {
    Pref64 found;
    EXPECT_FALSE(lookupPref64_n(Ip(text), found)) << text;
  }
  Pref64 found;
  EXPECT_FALSE(lookupPref64_n(Ip("192.0.0.170"), found));
  EXPECT_TRUE(lookupPref64_n(Ip("64:ff9b::c000:aa"), found));
  EXPECT_EQ(found, Prefix("64:ff9b::", 96));
}

}  // namespace
}  // namespace hx::dns
