#include "core/net/dns/dns_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Query(hx_res_state& state, const char* name, int type, size_t room = 512) {
  Bytes buffer(room);
  const int length = hx_dns_res_nmkquery(&state, 0, name, 1, type, nullptr, 0, nullptr,
                                         buffer.data(), static_cast<int>(buffer.size()));
  buffer.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return buffer;
}

uint16_t HeaderId(const Bytes& message) {
  uint16_t id;
  std::memcpy(&id, message.data(), sizeof id);
  return id;
}

TEST(DnsQuery, ExampleComAaaaWithRecursion) {
  hx_res_state state;
  state.options = HX_RES_RECURSE;
  const Bytes message = Query(state, "example.com", 28);
  const Bytes expected_after_id = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',  0x03, 'c',
                                   'o',  'm',  0x00, 0x00, 0x1c, 0x00, 0x01};
  ASSERT_EQ(message.size(), 29u);
  EXPECT_EQ(Bytes(message.begin() + 2, message.end()), expected_after_id);
  EXPECT_EQ(HeaderId(message), state.id);
}

TEST(DnsQuery, WithoutRecursionOptionLeavesFlagsClear) {
  hx_res_state state;
  const Bytes message = Query(state, "a.b.", 33);
  ASSERT_EQ(message.size(), 12u + 5u + 4u);
  EXPECT_EQ(message[2], 0x00);
  EXPECT_EQ(message[3], 0x00);
  EXPECT_EQ(message[16], 0x00);  // the trailing dot adds no label
  EXPECT_EQ(message[18], 33);
}

TEST(DnsQuery, EveryMessageGetsAFreshUnpredictableId) {
  hx_res_state state;
  std::set<uint16_t> ids;
  std::set<int> steps;
  for (int i = 0; i < 200; ++i) {
    const uint16_t before = state.id;
    const Bytes message = Query(state, "example.com", 1);
    ASSERT_FALSE(message.empty());
    EXPECT_NE(state.id, before);
    EXPECT_EQ(HeaderId(message), state.id);
    ids.insert(state.id);
    steps.insert((state.id - before) & 0xffff);
  }
  // Random ids of 16 bits: 200 draws give almost no repeats, and no common step between them.
  EXPECT_GE(ids.size(), 190u);
  EXPECT_GE(steps.size(), 190u);
}

TEST(DnsQuery, FailsOnBadArgumentsAndNamesThatDoNotEncode) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  // Four labels of 63 bytes are 256 bytes of wire form with the root; three and a 61-byte label
  // are exactly 255.
  const std::string name255 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  const std::string name256 = label63 + "." + label63 + "." + label63 + "." + std::string(62, 'b');
  struct Case {
    const char* what;
    int opcode;
    const char* name;
    int buffer_length;
    bool ok;
  };
  const Case cases[] = {
      {"buffer shorter than a header", 0, "a", 11, false},
      {"opcode other than QUERY", 1, "a", 512, false},
      {"buffer shorter than 16", 0, "", 15, false},
      {"root name in 17 bytes", 0, "", 17, true},
      {"name one byte too long for the room", 0, "abc", 20, false},
      {"name exactly filling the room", 0, "abc", 21, true},
      {"label of 63 bytes", 0, label63.c_str(), 512, true},
      {"label of 64 bytes", 0, label64.c_str(), 512, false},
      {"name of 255 bytes", 0, name255.c_str(), 512, true},
      {"name of 256 bytes", 0, name256.c_str(), 512, false},
      {"empty label", 0, "a..b", 512, false},
      {"null name", 0, nullptr, 512, false},
  };
  for (const Case& c : cases) {
    hx_res_state state;
    Bytes buffer(static_cast<size_t>(c.buffer_length) + 8, 0xee);
    const int length = hx_dns_res_nmkquery(&state, c.opcode, c.name, 1, 1, nullptr, 0, nullptr,
                                           buffer.data(), c.buffer_length);
    EXPECT_EQ(length > 0, c.ok) << c.what;
    EXPECT_LE(length, c.buffer_length) << c.what;
    for (size_t i = static_cast<size_t>(c.buffer_length); i < buffer.size(); ++i)
      ASSERT_EQ(buffer[i], 0xee) << c.what << ": wrote past the buffer";
  }
  hx_res_state state;
  EXPECT_EQ(hx_dns_res_nmkquery(&state, 0, "a", 1, 1, nullptr, 0, nullptr, nullptr, 512), -1);
}

TEST(DnsOptRecord, AdvertisesPayloadAndCountsItself) {
  struct Case {
    int answer_length;
    uint32_t options;
    Bytes record;
  };
  const Case cases[] = {
      {4096, 0, {0x00, 0x00, 0x29, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {70000, 0, {0x00, 0x00, 0x29, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {512, HX_RES_USE_DNSSEC, {0x00, 0x00, 0x29, 0x02, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    hx_res_state state;
    state.options = c.options;
    Bytes message = Query(state, "vcs2.tcp.example.net", 33);
    const int length = static_cast<int>(message.size());
    message.resize(message.size() + 11);
    ASSERT_EQ(message[10], 0);
    ASSERT_EQ(message[11], 0);
    EXPECT_EQ(hx_res_nopt(&state, length, message.data(), static_cast<int>(message.size()),
                          c.answer_length),
              length + 11);
    EXPECT_EQ(Bytes(message.begin() + length, message.end()), c.record) << c.answer_length;
    EXPECT_EQ(message[10], 0);
    EXPECT_EQ(message[11], 1);
  }
}

TEST(DnsOptRecord, RefusesWhenTheRecordDoesNotFit) {
  hx_res_state state;
  Bytes message = Query(state, "example.com", 33);
  const int length = static_cast<int>(message.size());
  message.resize(message.size() + 10);
  const Bytes before = message;
  EXPECT_EQ(hx_res_nopt(&state, length, message.data(), static_cast<int>(message.size()), 4096), -1);
  EXPECT_EQ(hx_res_nopt(&state, 8, message.data(), static_cast<int>(message.size()), 4096), -1);
  EXPECT_EQ(hx_res_nopt(&state, length, message.data(), length + 40, -1), -1);
  EXPECT_EQ(message, before);
}

TEST(DnsExpand, RootGivesEmptyTextAndNamesTheirDottedForm) {
  const uint8_t message[] = {0x00, 0x03, 'w', 'w', 'w', 0x02, 'h', 'x', 0x00, 0xc0, 0x05};
  char text[64];
  EXPECT_EQ(hx_dn_expand(message, message + sizeof message, message, text, sizeof text), 1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(hx_dn_expand(message, message + sizeof message, message + 1, text, sizeof text), 8);
  EXPECT_STREQ(text, "www.hx");
  EXPECT_EQ(hx_dn_expand(message, message + sizeof message, message + 9, text, sizeof text), 2);
  EXPECT_STREQ(text, "hx");
  EXPECT_EQ(hx_dn_expand(message, message + sizeof message, message + 1, text, 6), -1);
  EXPECT_EQ(hx_dn_expand(message, message + sizeof message, message + 1, text, 0), -1);
}

}  // namespace
