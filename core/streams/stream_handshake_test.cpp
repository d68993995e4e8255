// The stream handshake records and track sets: known records built and read back, every refusal
// of the formers, and readers walked over cut and lying records.

#include "core/streams/stream_handshake.h"

#include <gtest/gtest.h>

#include <array>
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

const uint8_t kDefaultTracks[] = {1, 2, 255, 5, 254};

std::array<uint8_t, 32> DefaultMask() {
  std::array<uint8_t, 256> table{};
  EXPECT_TRUE(HX_SetFTracks(table.data(), kDefaultTracks, 5));
  std::array<uint8_t, 32> mask{};
  HX_SetMTracks(mask.data(), table.data());
  return mask;
}

RecordPtr Form(const char* name, int32_t type, const char* conf, const char* id, const char* peer,
               const uint8_t* mask) {
  HX_ZeroHandshakeFixedPart* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(1);
  const bool ok = HX_FormStreamHandshake(&record, name, type, conf, id, peer, mask);
  EXPECT_EQ(ok, record != nullptr);
  return RecordPtr(record);
}

TEST(TrackSets, FlagTablesFromLists) {
  std::array<uint8_t, 256> table{};
  const uint8_t repeated[] = {1, 2, 2};
  const uint8_t with_zero[] = {1, 0};
  EXPECT_FALSE(HX_SetFTracks(table.data(), repeated, 3));
  EXPECT_FALSE(HX_SetFTracks(table.data(), with_zero, 2));
  EXPECT_FALSE(HX_SetFTracks(table.data(), kDefaultTracks, 0));
  EXPECT_FALSE(HX_SetFTracks(table.data(), kDefaultTracks, 256));
  EXPECT_FALSE(HX_SetFTracks(table.data(), nullptr, 5));
  ASSERT_TRUE(HX_SetFTracks(table.data(), nullptr, 255));
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(HX_NumberFTracks(table.data()), 255u);

  ASSERT_TRUE(HX_SetFTracks(table.data(), kDefaultTracks, 5));
  EXPECT_EQ(HX_NumberFTracks(table.data()), 5u);
  std::array<uint8_t, 256> list{};
  ASSERT_EQ(HX_GetTracks(list.data(), table.data()), 5u);
  EXPECT_EQ(std::vector<uint8_t>(list.begin(), list.begin() + 6),
            (std::vector<uint8_t>{1, 2, 5, 254, 255, 0}));
}

TEST(TrackSets, MasksCountCrossAndCompare) {
  const std::array<uint8_t, 32> mask = DefaultMask();
  EXPECT_EQ(mask[0], 0x26);   // tracks 1, 2, 5
  EXPECT_EQ(mask[31], 0xC0);  // tracks 254, 255
  EXPECT_EQ(HX_NumberMTracks(mask.data()), 5u);

  std::array<uint8_t, 32> only_zero{};
  only_zero[0] = 1;
  EXPECT_EQ(HX_NumberMTracks(only_zero.data()), 0u);
  std::array<uint8_t, 256> table{};
  EXPECT_EQ(HX_GetFTracks(table.data(), only_zero.data()), 0u);
  EXPECT_EQ(table[0], 0);

  ASSERT_EQ(HX_GetFTracks(table.data(), mask.data()), 5u);
  std::array<uint8_t, 32> back{};
  HX_SetMTracks(back.data(), table.data());
  EXPECT_TRUE(HX_CmpMTracks(back.data(), mask.data()));

  std::array<uint8_t, 32> other{};
  other[0] = 0x04 | 0x01;  // track 2 and the unused bit 0
  other[12] = 0x01;        // track 96
  std::array<uint8_t, 32> crossed = mask;
  EXPECT_EQ(HX_CrossingMTracks(crossed.data(), other.data()), 1u);
  EXPECT_FALSE(HX_CmpMTracks(crossed.data(), mask.data()));
  std::array<uint8_t, 256> t1{};
  std::array<uint8_t, 256> t2{};
  HX_GetFTracks(t1.data(), crossed.data());
  const uint8_t video[] = {2};
  HX_SetFTracks(t2.data(), video, 1);
  EXPECT_TRUE(HX_CmpFTracks(t1.data(), t2.data()));
}

TEST(StreamHandshake, KnownRequestOfASender) {
  const std::array<uint8_t, 32> mask = DefaultMask();
  RecordPtr record = Form("s", HX_StreamClient_Sender, "cf", "s", "p", mask.data());
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->primary, "_HX_STREAMS_");
  EXPECT_EQ(record->Version(), 1);
  ASSERT_EQ(record->BodyLength(), 47u);
  EXPECT_TRUE(HX_CheckZeroHandshakeCksum(record.get()));
  const uint8_t expected_head[] = {0, 2, 'c', 'f', 0, 1, 's', 0, 1, 'p', 0, 1, 's', 0, 5};
  EXPECT_EQ(std::memcmp(record->Body(), expected_head, sizeof expected_head), 0);
  EXPECT_EQ(std::memcmp(record->Body() + 15, mask.data(), 32), 0);

  int32_t type = 0;
  const char* conf = nullptr;
  const char* id = nullptr;
  const char* peer = nullptr;
  const char* name = nullptr;
  const uint8_t* read_mask = nullptr;
  ASSERT_TRUE(HX_GetStreamHandshakeFields(record.get(), type, conf, id, peer, name, read_mask));
  EXPECT_EQ(type, HX_StreamClient_Receiver);  // the accepting side receives from a sender
  EXPECT_STREQ(conf, "cf");
  EXPECT_STREQ(id, "s");
  EXPECT_STREQ(peer, "p");
  EXPECT_STREQ(name, "s");
  ASSERT_NE(read_mask, nullptr);
  EXPECT_TRUE(HX_CmpMTracks(read_mask, mask.data()));
}

TEST(StreamHandshake, RequestWithoutMaskAndOfAReceiver) {
  RecordPtr record = Form("r", HX_StreamClient_Receiver, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->BodyLength(), 47u - 32u - 4u);  // empty texts, no mask
  EXPECT_EQ(record->Body()[0], 1);
  int32_t type = 0;
  const char *conf, *id, *peer, *name;
  const uint8_t* mask = reinterpret_cast<const uint8_t*>(1);
  ASSERT_TRUE(HX_GetStreamHandshakeFields(record.get(), type, conf, id, peer, name, mask));
  EXPECT_EQ(type, HX_StreamClient_Sender);
  EXPECT_EQ(mask, nullptr);
  EXPECT_STREQ(conf, "");
  EXPECT_EQ(record->Body()[record->BodyLength() - 1], 255);

  // A mask of every track travels as the count 255 without mask.
  std::array<uint8_t, 256> all{};
  ASSERT_TRUE(HX_SetFTracks(all.data(), nullptr, 255));
  std::array<uint8_t, 32> all_mask{};
  HX_SetMTracks(all_mask.data(), all.data());
  RecordPtr full = Form("r", HX_StreamClient_Receiver, "c", "i", "p", all_mask.data());
  ASSERT_NE(full, nullptr);
  ASSERT_TRUE(HX_GetStreamHandshakeFields(full.get(), type, conf, id, peer, name, mask));
  EXPECT_EQ(mask, nullptr);
}

TEST(StreamHandshake, FormerRefusals) {
  const std::string long_text(256, 'x');
  const std::string longest(255, 'x');
  struct Case {
    const char* name;
    int32_t type;
    const char* conf;
    const char* id;
    const char* peer;
    bool ok;
  } cases[] = {
      {"n", 1, "c", "i", "p", true},
      {"", 1, "c", "i", "p", false},
      {nullptr, 1, "c", "i", "p", false},
      {long_text.c_str(), 1, "c", "i", "p", false},
      {longest.c_str(), 2, longest.c_str(), longest.c_str(), longest.c_str(), true},
      {"n", 0, "c", "i", "p", false},
      {"n", 3, "c", "i", "p", false},
      {"n", 1, long_text.c_str(), "i", "p", false},
      {"n", 1, "c", long_text.c_str(), "p", false},
      {"n", 1, "c", "i", long_text.c_str(), false},
  };
  for (const Case& c : cases) {
    RecordPtr record = Form(c.name, c.type, c.conf, c.id, c.peer, nullptr);
    EXPECT_EQ(record != nullptr, c.ok) << (c.name ? std::strlen(c.name) : 0) << " type " << c.type;
  }
  HX_ZeroHandshakeFixedPart* record = nullptr;
  EXPECT_FALSE(HX_FormStreamHandshake(nullptr, "n", 1, "c", "i", "p", nullptr));
  EXPECT_TRUE(HX_FormStreamHandshakeResponse(&record, nullptr));
  std::free(record);
}

// Every cut of the body length makes the reader refuse, never read beyond what it announces.
TEST(StreamHandshake, ReaderRefusesCutAndLyingRecords) {
  const std::array<uint8_t, 32> mask = DefaultMask();
  RecordPtr good = Form("stream", HX_StreamClient_Sender, "conf", "stream", "peer", mask.data());
  ASSERT_NE(good, nullptr);
  const size_t full = good->BodyLength();
  int32_t type;
  const char *conf, *id, *peer, *name;
  const uint8_t* read_mask;
  for (size_t body = 1; body < full; ++body) {
    // A copy exactly as long as the head says, so the sanitizer sees any read beyond it.
    std::vector<uint8_t> bytes(20 + body);
    std::memcpy(bytes.data(), good.get(), bytes.size());
    auto* cut = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
    cut->SetBodyLengthField(static_cast<uint32_t>(body - 1));
    EXPECT_FALSE(HX_GetStreamHandshakeFields(cut, type, conf, id, peer, name, read_mask)) << body;
  }
  std::vector<uint8_t> bytes(good->RecordLength());
  std::memcpy(bytes.data(), good.get(), bytes.size());
  auto* lying = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
  lying->Body()[1] = 5;  // conference length beyond its NUL
  EXPECT_FALSE(HX_GetStreamHandshakeFields(lying, type, conf, id, peer, name, read_mask));
  std::memcpy(bytes.data(), good.get(), bytes.size());
  lying->SetVersion(0);
  EXPECT_FALSE(HX_GetStreamHandshakeFields(lying, type, conf, id, peer, name, read_mask));
  EXPECT_FALSE(HX_GetStreamHandshakeFields(nullptr, type, conf, id, peer, name, read_mask));
}

TEST(StreamHandshake, Responses) {
  const std::array<uint8_t, 32> mask = DefaultMask();
  HX_ZeroHandshakeFixedPart* raw = nullptr;
  ASSERT_TRUE(HX_FormStreamHandshakeResponse(&raw, mask.data()));
  RecordPtr with_mask(raw);
  EXPECT_EQ(with_mask->RecordLength(), 54u);
  EXPECT_EQ(with_mask->PackedWord() & 0xFFF8001Fu, 0x1080001u);
  ASSERT_TRUE(HX_FormStreamHandshakeResponse(&raw, nullptr));
  RecordPtr without(raw);
  EXPECT_EQ(without->RecordLength(), 22u);
  EXPECT_EQ(without->PackedWord() & 0xFFF8001Fu, 0x80001u);

  const uint8_t* read = nullptr;
  ASSERT_TRUE(HX_GetStreamHandshakeResponseFields(with_mask.get(), read));
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(HX_CmpMTracks(read, mask.data()));
  ASSERT_TRUE(HX_GetStreamHandshakeResponseFields(without.get(), read));
  EXPECT_EQ(read, nullptr);

  // Count 3 in a body of 2: refused. Flag bit clear, version 0, a one-byte body: refused.
  std::array<uint8_t, 22> bytes{};
  std::memcpy(bytes.data(), without.get(), 22);
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
  record->Body()[1] = 3;
  EXPECT_FALSE(HX_GetStreamHandshakeResponseFields(record, read));
  record->Body()[1] = 255;
  record->Body()[0] = 2;
  EXPECT_FALSE(HX_GetStreamHandshakeResponseFields(record, read));
  record->Body()[0] = 1;
  record->SetVersion(0);
  EXPECT_FALSE(HX_GetStreamHandshakeResponseFields(record, read));
  record->SetVersion(1);
  record->SetBodyLengthField(0);
  EXPECT_FALSE(HX_GetStreamHandshakeResponseFields(record, read));
  EXPECT_FALSE(HX_GetStreamHandshakeResponseFields(nullptr, read));
}

TEST(StreamCksum, EveryTwoHundredThirtyFourthByte) {
  std::vector<uint8_t> bytes(500, 0);
  EXPECT_EQ(HX_StreamCksum(bytes.data(), 0), 172);
  bytes[0] = 10;
  bytes[1] = 99;    // not sampled
  bytes[234] = 80;  // 172 + 10 + 80 = 262 -> 6
  bytes[468] = 1;
  EXPECT_EQ(HX_StreamCksum(bytes.data(), 468), 6);
  EXPECT_EQ(HX_StreamCksum(bytes.data(), 469), 7);
}

}  // namespace
