#include "core/contacts/names/call_id_parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using hx::CallIdParser;
using hx::CallIdType;
using hx::DisplayName;

const std::string kConferenceIcon = "\xF0\x9F\x91\xA5";
const std::string kSipIcon = "\xF0\x9F\x92\xBB";
const std::string kTelIcon = "\xE2\x98\x8E\xEF\xB8\x8F";
const std::string kRtspIcon = "\xF0\x9F\x93\xB9";
const std::string kMailIcon = "\xE2\x9C\x89\xEF\xB8\x8F";
const std::string kH323Icon = "\xF0\x9F\x93\xA0";
const std::string kFbIcon = "\xE2\x93\x95";
const std::string kGlIcon = "\xE2\x92\xBC";
const std::string kVkIcon = "\xE2\x93\x8B";

struct Row {
  std::string id;
  CallIdType type;
  int32_t prefix;
  std::string name;
  std::string extra;
  std::string shortId;
  std::string nc;
  std::string decorated;
};

TEST(CallIdParser, TableOfIds) {
  const std::string jp = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // three characters of 3 bytes
  const std::vector<Row> rows = {
      {"\\C\\Room", CallIdType::conference, 3, "Conference Room", "", "\\C\\Room", "\\C\\Room",
       kConferenceIcon + " Conference Room"},
      {"\\c\\Room", CallIdType::conference, 3, "Conference Room", "", "\\c\\Room", "\\c\\Room",
       kConferenceIcon + " Conference Room"},
      {"\\x\\Room", CallIdType::user, 0, "\\x\\Room", "", "\\x\\Room", "\\x\\Room", "\\x\\Room"},
      {"\\c", CallIdType::user, 0, "\\c", "", "\\c", "\\c", "\\c"},
      {"#SIP:bob@host.example/dev42", CallIdType::sip, 5, "bob@host.example", "dev42",
       "#SIP:bob@host.example", "#SIP:bob@host.example", kSipIcon + " bob@host.example"},
      {"#sip:bob@host.example", CallIdType::sip, 5, "bob@host.example", "",
       "#sip:bob@host.example", "#sip:bob@host.example", kSipIcon + " bob@host.example"},
      {"#sip:a/", CallIdType::sip, 5, "a", "", "#sip:a/", "#sip:a", kSipIcon + " a"},
      {"+15551234/ab12", CallIdType::tel, 0, "+15551234", "ab12", "+15551234", "+15551234",
       kTelIcon + " +15551234"},
      {"#tel:15551234", CallIdType::tel, 5, "15551234", "", "#tel:15551234", "#tel:15551234",
       kTelIcon + " 15551234"},
      {"#rtsp://cam%20one.example/stream1", CallIdType::rtsp, 6, "cam one.example", "stream1",
       "#rtsp://cam%20one.example", "#rtsp://cam%20one.example", kRtspIcon + " cam one.example"},
      {"#rtsp://host", CallIdType::rtsp, 6, "/", "host", "#rtsp:/", "#rtsp:/", kRtspIcon + " /"},
      {"#h323:10.0.0.1/x", CallIdType::h323, 6, "10.0.0.1", "x", "#h323:10.0.0.1",
       "#h323:10.0.0.1", kH323Icon + " 10.0.0.1"},
      {"#guest:jonathan@example.com", CallIdType::guest, 7, "Guest jona", "jonathan",
       "#guest:jonathan@example.com", "#guest:jonathan@example.com", "Guest jona"},
      {"#Guest:al@x", CallIdType::guest, 7, "Guest al", "al", "#Guest:al@x", "#Guest:al@x",
       "Guest al"},
      {"#guest:visitor42", CallIdType::guest, 7, "visitor42", "", "#guest:visitor42",
       "#guest:visitor42", "visitor42"},
      // Four bytes would split the second character: the cut stays on a character boundary.
      {"#guest:" + jp + "@x", CallIdType::guest, 7, "Guest \xE6\x97\xA5", jp, "#guest:" + jp + "@x",
       "#guest:" + jp + "@x", "Guest \xE6\x97\xA5"},
      {"#mailto:a@b.example", CallIdType::email, 8, "a@b.example", "", "#mailto:a@b.example",
       "#mailto:a@b.example", kMailIcon + " a@b.example"},
      {"#mailto:a@b/c", CallIdType::email, 8, "a@b/c", "", "#mailto:a@b/c", "#mailto:a@b/c",
       kMailIcon + " a@b/c"},
      {"#FB:acc", CallIdType::fb, 4, "acc", "", "#FB:acc", "#FB:acc", kFbIcon + " acc"},
      {"#gl:acc", CallIdType::gl, 4, "acc", "", "#gl:acc", "#gl:acc", kGlIcon + " acc"},
      {"#vk:acc", CallIdType::vk, 4, "acc", "", "#vk:acc", "#vk:acc", kVkIcon + " acc"},
      {"#x:rest", CallIdType::user, 3, "rest", "", "#x:rest", "#x:rest", "rest"},
      {"#xmpp:carol@chat/r", CallIdType::user, 6, "carol@chat/r", "", "#xmpp:carol@chat/r",
       "#xmpp:carol@chat/r", "carol@chat/r"},
      {"#averyveryverylongscheme:rest", CallIdType::user, 25, "rest", "",
       "#averyveryverylongscheme:rest", "#averyveryverylongscheme:rest", "rest"},
      {"#:rest", CallIdType::user, 2, "rest", "", "#:rest", "#:rest", "rest"},
      {"#nocolon", CallIdType::user, 0, "#nocolon", "", "#nocolon", "#nocolon", "#nocolon"},
      {"alice/x", CallIdType::user, 0, "alice/x", "", "alice/x", "alice/x", "alice/x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    CallIdType type = CallIdType::conference;
    EXPECT_EQ(CallIdParser::parseScheme(row.id, type), row.prefix);
    EXPECT_EQ(type, row.type);
    CallIdParser parser(row.id);
    EXPECT_EQ(parser.m_callId, row.id);
    EXPECT_EQ(parser.m_type, row.type);
    EXPECT_EQ(parser.m_dn, row.name);
    EXPECT_EQ(parser.m_extra, row.extra);
    EXPECT_EQ(parser.callIdShort(), row.shortId);
    EXPECT_EQ(CallIdParser::getCallIdNC(row.id), row.nc);
    EXPECT_EQ(CallIdParser::getCallIdNC(std::string(row.id)), row.nc);
    EXPECT_EQ(parser.getDnDecorated(), row.decorated);
    const DisplayName dn = CallIdParser::dnFromCallId(row.id);
    EXPECT_EQ(dn.m_type, row.type);
    EXPECT_EQ(dn.m_dn, row.name);
    EXPECT_EQ(dn.m_source, DisplayName::kSourceGenerated);
  }
}

TEST(CallIdParser, EmptyId) {
  CallIdType type = CallIdType::sip;
  EXPECT_EQ(CallIdParser::parseScheme("", type), -1);
  EXPECT_EQ(type, CallIdType::user);
  CallIdParser parser;
  EXPECT_FALSE(parser.parse(""));
  EXPECT_EQ(parser.m_type, CallIdType::user);
  EXPECT_EQ(parser.m_dn, "");
  EXPECT_EQ(parser.m_source, DisplayName::kSourceNone);
  const CallIdParser fromNull(static_cast<const char*>(nullptr));
  EXPECT_EQ(fromNull.m_callId, "");
  EXPECT_EQ(fromNull.m_type, CallIdType::user);
  EXPECT_EQ(CallIdParser::getDevRandomPos(""), 0u);
}

TEST(CallIdParser, DevRandomPos) {
  EXPECT_EQ(CallIdParser::getDevRandomPos("#sip:a/b/c"), 8u);
  EXPECT_EQ(CallIdParser::getDevRandomPos("#sip:abc"), 0u);
  EXPECT_EQ(CallIdParser::getDevRandomPos("alice/x"), 0u);
  EXPECT_EQ(CallIdParser::getDevRandomPos("+1/2"), 2u);
}

TEST(DisplayName, Icons) {
  EXPECT_EQ(DisplayName::getIcon(CallIdType::conference), kConferenceIcon);
  EXPECT_EQ(DisplayName::getIcon(CallIdType::guest), "");
  EXPECT_EQ(DisplayName::getIcon(CallIdType::user), "");
  EXPECT_EQ(DisplayName::getIcon(static_cast<CallIdType>(11)), "");
  EXPECT_EQ(DisplayName::getIcon(static_cast<CallIdType>(-1)), "");
  DisplayName name;
  EXPECT_EQ(name.m_type, CallIdType::user);
  EXPECT_EQ(name.m_source, DisplayName::kSourceNone);
  name.m_type = CallIdType::tel;
  EXPECT_EQ(&name.getIcon(), &DisplayName::m_icons[5]);
}

TEST(DisplayName, RemoveDomain) {
  struct Case {
    std::string text;
    const char* domain;
    std::string expected;
  };
  const Case cases[] = {
      {"bob@corp.example", "corp.example", "bob"},
      {"bob@corp.example", "corp.exampl", "bob@corp.example"},
      {"bob@corp.example", "corp.example.org", "bob@corp.example"},
      {"bob@corp.example", "Corp.Example", "bob@corp.example"},
      {"bob", "corp.example", "bob"},
      {"bob@corp.example", nullptr, "bob@corp.example"},
      {"bob@a@corp.example", "corp.example", "bob@a@corp.example"},
      {"bob@", "", "bob"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    DisplayName::removeDomain(text, c.domain);
    EXPECT_EQ(text, c.expected) << c.text;
    DisplayName dn(CallIdType::user, c.text, DisplayName::kSourceContacts);
    dn.removeDnDomain(c.domain);
    EXPECT_EQ(dn.m_dn, c.expected) << c.text;
  }
}

TEST(CallIdParser, LocalizeChangesLaterNames) {
  CallIdParser::localize("Konferenz ", "Gast ");
  EXPECT_EQ(CallIdParser("\\c\\room").m_dn, "Konferenz room");
  EXPECT_EQ(CallIdParser("#guest:otto@x").m_dn, "Gast otto");
  CallIdParser::localize("Conference ", "Guest ");
  EXPECT_EQ(CallIdParser("\\c\\room").m_dn, "Conference room");
}

// Names are generated on several threads while another localises the prefixes.
TEST(CallIdParser, LocalizeWhileGenerating) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> makers;
  for (int t = 0; t < 2; ++t) {
    makers.emplace_back([&] {
      while (!stop.load()) {
        const std::string name = CallIdParser("\\c\\r").m_dn;
        if (name != "Conference r" && name != "Sitzung r") ADD_FAILURE() << name;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    CallIdParser::localize(i % 2 ? "Sitzung " : "Conference ", "Guest ");
  }
  CallIdParser::localize("Conference ", "Guest ");
  stop = true;
  for (auto& maker : makers) maker.join();
}

}  // namespace
