#include "core/wire/zero_handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A record of `body_length` zero bytes (unless given) under `primary` with checksums computed.
std::vector<uint8_t> MakeRecord(uint32_t body_length, const char* primary = "_HX_PING_",
                                uint8_t version = 1, std::vector<uint8_t> body = {}) {
  std::vector<uint8_t> bytes(kZeroHandshakeHeadSize + body_length, 0);
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
  record->SetPrimaryField(primary);
  record->SetVersion(version);
  record->SetBodyLengthField(body_length - 1);
  std::copy(body.begin(), body.end(), record->Body());
  HX_CalcZeroHandshakeCksums(record);
  return bytes;
}

HX_ZeroHandshakeFixedPart* AsRecord(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
}

TEST(ZeroHandshakeTest, PackedWordKeepsItsFieldsApart) {
  HX_ZeroHandshakeFixedPart record{};
  record.SetPackedWord(0xFFFFFFFF);
  record.SetVersion(0x0A);
  record.SetBodyLengthField(0x1234);
  EXPECT_EQ(record.Version(), 0x0A);
  EXPECT_EQ(record.BodyLengthField(), 0x1234u);
  EXPECT_EQ(record.BodyLength(), 0x1235u);
  EXPECT_EQ(record.RecordLength(), 0x1235u + 20);
  EXPECT_EQ(record.HeadCksum(), 0xFF);
  EXPECT_EQ(record.BodyCksum(), 0x3F);
  // Little-endian on the wire: version in the low bits of byte 16, length in the top of byte 19.
  EXPECT_EQ(record.packed[0] & 0x1F, 0x0A);
  EXPECT_EQ(record.packed[3], 0x1234 >> 5);
}

TEST(ZeroHandshakeTest, PrimaryFieldIsCutAndPadded) {
  HX_ZeroHandshakeFixedPart record;
  std::memset(&record, 0xEE, sizeof(record));
  record.SetPrimaryField("0123456789ABCDEFGH");
  EXPECT_EQ(std::string(record.primary, 15), "0123456789ABCDE");
  EXPECT_EQ(record.primary[15], 0);
  record.SetPrimaryField(HX_CHECK_SRV_PRIMARY_FIELD);
  EXPECT_STREQ(record.primary, "CHECK_SRV");
  for (size_t i = 9; i < 16; ++i) EXPECT_EQ(record.primary[i], 0) << i;
}

TEST(ZeroHandshakeTest, OneByteBodySamplesOnlyThatByte) {
  for (int byte : {0, 0x12, 0x80, 0xFF}) {
    auto bytes = MakeRecord(1, "_HX_PING_", 1, {static_cast<uint8_t>(byte)});
    EXPECT_EQ(AsRecord(bytes)->BodyCksum(), (202 + byte - 20) % 64) << byte;
    EXPECT_TRUE(HX_CheckZeroHandshakeCksum(AsRecord(bytes)));
  }
}

TEST(ZeroHandshakeTest, BodyChecksumSamplesEveryThirdByte) {
  // Four bytes: offsets 20 and 23 count. Three bytes: only offset 20.
  auto four = MakeRecord(4, "_HX_PING_", 1, {50, 60, 70, 80});
  EXPECT_EQ(AsRecord(four)->BodyCksum(), (202 + 50 - 20 + 80 - 23) % 64);
  auto three = MakeRecord(3, "_HX_PING_", 1, {50, 60, 70});
  EXPECT_EQ(AsRecord(three)->BodyCksum(), (202 + 50 - 20) % 64);
}

TEST(ZeroHandshakeTest, HeaderChecksumKnownAnswer) {
  // 0xAC + version 25 + length 8 + body checksum 7 + the bytes of "_HX_TRANSPORT_" (1162) = 94.
  auto bytes = MakeRecord(9, HX_Transport_PrimaryField, 25, {2, 'a', 'b', 0, 1, 'c', 0, 7, 1});
  EXPECT_EQ(AsRecord(bytes)->BodyCksum(), 7);
  EXPECT_EQ(AsRecord(bytes)->HeadCksum(), 94);
  EXPECT_EQ(AsRecord(bytes)->PackedWord(), 0x0040EBD9u);
}

TEST(ZeroHandshakeTest, OnlySampledBodyBytesAreCovered) {
  auto bytes = MakeRecord(10);
  for (size_t offset = 20; offset < bytes.size(); ++offset) {
    auto changed = bytes;
    changed[offset] ^= 0x01;
    const bool sampled = (offset - 20) % 3 == 0;
    EXPECT_TRUE(HX_CheckZeroHandshakeHeadCksum(AsRecord(changed))) << offset;
    EXPECT_EQ(HX_CheckZeroHandshakeBodyCksum(AsRecord(changed)), !sampled) << offset;
    EXPECT_EQ(HX_CheckZeroHandshakeCksum(AsRecord(changed)), !sampled) << offset;
  }
}

TEST(ZeroHandshakeTest, HeadChangesInvalidateTheHeaderChecksum) {
  struct Case {
    const char* what;
    void (*change)(HX_ZeroHandshakeFixedPart*);
  };
  const Case cases[] = {
      {"version", [](HX_ZeroHandshakeFixedPart* r) { r->SetVersion(r->Version() + 1); }},
      {"length", [](HX_ZeroHandshakeFixedPart* r) { r->SetBodyLengthField(r->BodyLengthField() - 1); }},
      {"first primary byte", [](HX_ZeroHandshakeFixedPart* r) { r->primary[0] ^= 0x20; }},
      {"padding byte", [](HX_ZeroHandshakeFixedPart* r) { r->primary[15] = 'x'; }},
      {"stored body checksum",
       [](HX_ZeroHandshakeFixedPart* r) { r->SetPackedWord(r->PackedWord() ^ (1u << 13)); }},
  };
  for (const Case& c : cases) {
    auto bytes = MakeRecord(8);
    c.change(AsRecord(bytes));
    EXPECT_FALSE(HX_CheckZeroHandshakeHeadCksum(AsRecord(bytes))) << c.what;
    EXPECT_FALSE(HX_CheckZeroHandshakeCksum(AsRecord(bytes))) << c.what;
  }
}

TEST(ZeroHandshakeTest, LargestRecordSamplesUpToItsLastThirdByte) {
  auto bytes = MakeRecord(kZeroHandshakeMaxBody);
  ASSERT_EQ(bytes.size(), 8212u);
  EXPECT_EQ(AsRecord(bytes)->BodyLengthField(), 8191u);
  EXPECT_TRUE(HX_CheckZeroHandshakeCksum(AsRecord(bytes)));
  auto last_sampled = bytes;
  last_sampled[8210] = 1;
  EXPECT_FALSE(HX_CheckZeroHandshakeBodyCksum(AsRecord(last_sampled)));
  auto last_byte = bytes;
  last_byte[8211] = 1;
  EXPECT_TRUE(HX_CheckZeroHandshakeBodyCksum(AsRecord(last_byte)));
}

TEST(ZeroHandshakeTest, NullRecordIsRefused) {
  HX_CalcZeroHandshakeCksums(nullptr);
  EXPECT_FALSE(HX_CheckZeroHandshakeHeadCksum(nullptr));
  EXPECT_FALSE(HX_CheckZeroHandshakeBodyCksum(nullptr));
  EXPECT_FALSE(HX_CheckZeroHandshakeCksum(nullptr));
  EXPECT_TRUE(HX_AcsLibInitial());
}

}  // namespace
