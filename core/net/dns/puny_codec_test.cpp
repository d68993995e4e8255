#include "core/net/dns/puny_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NameCase {
  std::string name;
  std::string converted;
};

TEST(PunyCodec, EncodesNonAsciiLabelsOnly) {
  const NameCase cases[] = {
      {"www.Example.COM", "www.Example.COM"},
      {"example.com.", "example.com."},
      {"b\xc3\xbc" "cher.example.com", "xn--bcher-kva.example.com"},
      {"B\xc3\xbc" "cher.de", "xn--Bcher-kva.de"},  // no case mapping
      {"m\xc3\xbc" "nchen", "xn--mnchen-3ya"},
      {"\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd0\xb8\xd1\x81\xd0\xbf\xd1\x8b\xd1\x82\xd0\xb0\xd0"
       "\xbd\xd0\xb8\xd0\xb5",
       "xn--e1afmkfd.xn--80akhbyknj4f"},
      {"\xe4\xbe\x8b\xe3\x81\x88.\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", "xn--r8jz45g.xn--zckzah"},
      {"a..b\xc3\xbc", "a..xn--b-eha"},
      {"", ""},
      // A label that is not UTF-8 stays behind the prefix and ends the conversion after its dot.
      {"a.\xff.b\xc3\xbc" "cher", "a.xn--\xff."},
      {"\xc3", "xn--\xc3"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(HXPunyCodec::Encode(c.name), c.converted) << c.name;
    EXPECT_EQ(HXPunyCodec::Encode(c.name.c_str()), c.converted) << c.name;
  }
  EXPECT_EQ(HXPunyCodec::Encode(static_cast<const char*>(nullptr)), "");
}

TEST(PunyCodec, DecodesPunyLabelsOnly) {
  const NameCase cases[] = {
      {"xn--bcher-kva.example.com", "b\xc3\xbc" "cher.example.com"},
      {"xn--Bcher-kva.de.", "B\xc3\xbc" "cher.de."},
      {"xn--e1afmkfd.xn--80akhbyknj4f",
       "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd0\xb8\xd1\x81\xd0\xbf\xd1\x8b\xd1\x82\xd0\xb0\xd0"
       "\xbd\xd0\xb8\xd0\xb5"},
      {"www.Example.COM", "www.Example.COM"},
      {"XN--bcher-kva.de", "XN--bcher-kva.de"},  // the prefix is matched as written
      {"a..xn--b-eha", "a..b\xc3\xbc"},
      // Not punycode: the label is kept and the conversion ends after its dot.
      {"a.xn--ab-!.xn--bcher-kva", "a.xn--ab-!."},
      {"xn--99999999999999", "xn--99999999999999"},
      // Characters no punycode has, or text the library decodes although it is not a label's
      // one encoded form: kept as they are.
      {"xn--!!!", "xn--!!!"},
      {"xn--!!!.example.com", "xn--!!!."},
      {"xn--bcher_kva.de", "xn--bcher_kva."},
      {"xn--.de", "xn--."},
      {"xn--abc-.de", "xn--abc-."},  // only ASCII: needs no punycode
      {"xn--BCHER-KVA.de", "B\xc3\xbc" "CHER.de"},  // letters in either case
      {"", ""},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(HXPunyCodec::Decode(c.name), c.converted) << c.name;
    EXPECT_EQ(HXPunyCodec::Decode(c.name.c_str()), c.converted) << c.name;
  }
}

TEST(PunyCodec, ResultsStayWithin1025Bytes) {
  std::string name;
  while (name.size() < 1100) name += std::string(50, 'a') + ".";
  // Twenty labels of 51 bytes with their dots fit; the next one does not, so only its dot follows.
  const std::string encoded = HXPunyCodec::Encode(name);
  EXPECT_EQ(encoded, name.substr(0, 20 * 51) + ".");
  EXPECT_EQ(HXPunyCodec::Decode(name), encoded);

  // One label longer than the whole result.
  EXPECT_EQ(HXPunyCodec::Encode(std::string(1026, 'x') + ".com"), ".");
  EXPECT_EQ(HXPunyCodec::Encode(std::string(1025, 'x')), std::string(1025, 'x'));
}

TEST(PunyCodec, LabelConversionRespectsTheRoomGiven) {
  const std::string label = "b\xc3\xbc" "cher";
  const std::string puny = "xn--bcher-kva";
  char out[64];
  struct Case {
    bool encode;
    std::string in;
    size_t room;
    bool ok;
    std::string written;
  };
  const Case cases[] = {
      {true, label, puny.size(), true, puny},
      {true, label, puny.size() - 1, false, "xn--"},
      {true, label, 3, false, ""},
      {true, "abc", 3, true, "abc"},
      {true, "abc", 2, false, ""},
      {true, "", 0, true, ""},
      {false, puny, label.size(), true, label},
      {false, puny, label.size() - 1, false, ""},
      {false, "abc", 2, false, ""},
  };
  for (const Case& c : cases) {
    size_t length = c.room;
    const bool ok = c.encode ? HXPunyCodec::PunyEncode(c.in.data(), c.in.size(), out, length)
                             : HXPunyCodec::PunyDecode(c.in.data(), c.in.size(), out, length);
    EXPECT_EQ(ok, c.ok) << c.in << " in " << c.room;
    EXPECT_LE(length, c.room) << c.in;
    if (ok) EXPECT_EQ(std::string(out, length), c.written) << c.in << " in " << c.room;
  }
}

TEST(PunyCodec, Predicates) {
  EXPECT_TRUE(HXPunyCodec::IsAscii("abc\x7f", 4));
  EXPECT_FALSE(HXPunyCodec::IsAscii("ab\x80", 3));
  EXPECT_TRUE(HXPunyCodec::IsAscii("ab\x80", 2));
  EXPECT_TRUE(HXPunyCodec::IsPuny("xn--abc"));
  EXPECT_TRUE(HXPunyCodec::IsPuny("xn--"));
  EXPECT_FALSE(HXPunyCodec::IsPuny("XN--abc"));
  EXPECT_FALSE(HXPunyCodec::IsPuny("xn-"));
  EXPECT_FALSE(HXPunyCodec::IsPuny(nullptr));
  EXPECT_TRUE(HXPunyCodec::PunyCodecTest());
}

}  // namespace
