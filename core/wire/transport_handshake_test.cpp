#include "core/wire/transport_handshake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FreeRecord {
  void operator()(HX_ZeroHandshakeFixedPart* record) const { std::free(record); }
};
using RecordPtr = std::unique_ptr<HX_ZeroHandshakeFixedPart, FreeRecord>;

std::vector<uint8_t> RecordBytes(const HX_ZeroHandshakeFixedPart* record) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(record);
  return std::vector<uint8_t>(bytes, bytes + record->RecordLength());
}

TEST(TransportHandshakeTest, RequestKnownAnswer) {
  RecordPtr request(HX_FormTransportHandshake("ab", "c", 7, true, true));
  ASSERT_NE(request, nullptr);
  std::vector<uint8_t> expected(16, 0);
  std::memcpy(expected.data(), "_HX_TRANSPORT_", 14);
  // Version 25 (9 + 16), header checksum 94, body checksum 7, body length 9 - 1.
  for (uint8_t b : {0xD9, 0xEB, 0x40, 0x00}) expected.push_back(b);
  for (char b : {'\x02', 'a', 'b', '\0', '\x01', 'c', '\0', '\x07', '\x01'}) expected.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(RecordBytes(request.get()), expected);
  EXPECT_TRUE(HX_CheckZeroHandshakeCksum(request.get()));
}

TEST(TransportHandshakeTest, RequestFieldsAndLimits) {
  struct Case {
    size_t id_length;
    size_t second_length;
    bool secure;
    bool formed;
  };
  const Case cases[] = {
      {0, 0, false, true}, {255, 64, false, true}, {256, 0, false, false}, {0, 65, true, false}, {10, 10, true, true},
  };
  for (const Case& c : cases) {
    const std::string id(c.id_length, 'i');
    const std::string second(c.second_length, 's');
    RecordPtr request(HX_FormTransportHandshake(id.c_str(), second.c_str(), 0, c.secure, false));
    ASSERT_EQ(request != nullptr, c.formed) << c.id_length << "/" << c.second_length;
    if (!request) continue;
    EXPECT_STREQ(request->primary, HX_Transport_PrimaryField);
    EXPECT_EQ(request->Version(), c.secure ? 25 : 9);
    EXPECT_EQ(request->BodyLength(), c.id_length + c.second_length + 6);
    const uint8_t* body = request->Body();
    EXPECT_EQ(body[0], c.id_length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + 1)), id);
    EXPECT_EQ(body[c.id_length + 2], c.second_length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + c.id_length + 3)), second);
    EXPECT_EQ(body[c.id_length + c.second_length + 5], 0) << "keep-alive flag";
    EXPECT_TRUE(HX_CheckZeroHandshakeCksum(request.get()));
  }
  RecordPtr nulls(HX_FormTransportHandshake(nullptr, nullptr, 0, false, false));
  ASSERT_NE(nulls, nullptr);
  EXPECT_EQ(nulls->BodyLength(), 6u);
}

// A reply record as a server writes it.
std::vector<uint8_t> Reply(uint8_t version, const std::vector<uint8_t>& body,
                           const char* primary = HX_Transport_PrimaryField) {
  std::vector<uint8_t> bytes(kZeroHandshakeHeadSize + body.size(), 0);
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
  record->SetPrimaryField(primary);
  record->SetVersion(version);
  record->SetBodyLengthField(static_cast<uint32_t>(body.size() - 1));
  std::copy(body.begin(), body.end(), record->Body());
  HX_CalcZeroHandshakeCksums(record);
  return bytes;
}

struct Parsed {
  bool ok = false;
  uint8_t result = 0xAA, value1 = 0, value2 = 0;
  uint16_t idle = 0;
  const char* first = "unset";
  const char* second = "unset";
  bool secure = false, keep_alive = true;
};

Parsed Parse(const std::vector<uint8_t>& bytes) {
  Parsed p;
  p.ok = HX_TransformTransportReplyHandshake(reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(bytes.data()),
                                             p.result, p.idle, p.value1, p.value2, p.first, p.second,
                                             p.secure, p.keep_alive);
  return p;
}

const std::vector<uint8_t> kNumbers = {3, 0x40, 0x1F, 0x11, 0x22};  // result 3, idle 8000

std::vector<uint8_t> With(std::vector<uint8_t> body, const std::vector<uint8_t>& more) {
  body.insert(body.end(), more.begin(), more.end());
  return body;
}

TEST(TransportHandshakeTest, ReplyWithNamesAndSecureFlag) {
  const std::vector<uint8_t> reply = Reply(8 | 16 | 1, With(kNumbers, {3, 's', 'r', 'v', 0, 2, 'i', 'd', 0, 0}));
  const Parsed p = Parse(reply);  // the names point into the record
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.result, 3);
  EXPECT_EQ(p.idle, 8000);
  EXPECT_EQ(p.value1, 0x11);
  EXPECT_EQ(p.value2, 0x22);
  EXPECT_STREQ(p.first, "srv");
  EXPECT_STREQ(p.second, "id");
  EXPECT_TRUE(p.secure);
  EXPECT_FALSE(p.keep_alive);
}

TEST(TransportHandshakeTest, ReplyWithoutNamesBit) {
  // Bit 3 clear: accepted with nothing but the numbers, even when names follow.
  for (const auto& body : {With(kNumbers, {0, 0}), With(kNumbers, {1, 'x', 0, 1, 'y', 0, 1})}) {
    const Parsed p = Parse(Reply(1, body));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.result, 3);
    EXPECT_EQ(p.first, nullptr);
    EXPECT_EQ(p.second, nullptr);
    EXPECT_FALSE(p.secure);
  }
  EXPECT_TRUE(Parse(Reply(1, With(kNumbers, {1, 'x', 0, 1, 'y', 0, 1}))).keep_alive);
}

TEST(TransportHandshakeTest, MalformedRepliesAreRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> bad_checksum = Reply(9, With(kNumbers, {0, 0, 0, 0}));
  bad_checksum[20] ^= 1;
  const Case cases[] = {
      {"bit 3 and one name", Reply(9, With(kNumbers, {1, 'a', 0}))},
      {"name length without its NUL", Reply(1, With(kNumbers, {0}))},
      {"body of 5 bytes", Reply(1, kNumbers)},
      {"version 0", Reply(0, With(kNumbers, {0, 0}))},
      {"other primary field", Reply(1, With(kNumbers, {0, 0}), HX_Stream_PrimaryField)},
      {"longer primary field", Reply(1, With(kNumbers, {0, 0}), "_HX_TRANSPORT_X")},
      {"first name past the body", Reply(9, With(kNumbers, {200, 'a', 0}))},
      {"first name NUL missing", Reply(9, With(kNumbers, {1, 'a', 'b', 1, 'c', 0}))},
      {"second name past the body", Reply(9, With(kNumbers, {1, 'a', 0, 2, 'c', 0}))},
      {"second name NUL missing", Reply(9, With(kNumbers, {1, 'a', 0, 1, 'c', 'd'}))},
      {"damaged body", bad_checksum},
  };
  for (const Case& c : cases) EXPECT_FALSE(Parse(c.bytes).ok) << c.what;
  Parsed p;
  EXPECT_FALSE(HX_TransformTransportReplyHandshake(nullptr, p.result, p.idle, p.value1, p.value2, p.first,
                                                   p.second, p.secure, p.keep_alive));
}

TEST(TransportHandshakeTest, TheClientSupportsNoKeepAlive) { EXPECT_FALSE(HX_GetKeepAliveSupport()); }

}  // namespace
