// The participant records: role words into role and flags, copies that keep the owner bit.
#include "core/conference/model/participant_info.h"

#include <gtest/gtest.h>

namespace {

using conference::ParticipantInfoHolder;

TEST(ParticipantInfo, RoleWordsIntoRoleAndFlags) {
  struct Row {
    int32_t word;
    bool isOperator;
    int32_t role;
    uint64_t flags;
  } rows[] = {
      {0x100, false, 0, 0x1},
      {0x20000, false, 0, 0x10},
      {0x40000, false, 0, 0x2},
      {0x80000, false, 0, 0x20},
      {0x2, true, 2, 0x8},
      {0xE0103, true, 3, 0x3B},
      {static_cast<int32_t>(0xFFFFFFFF), false, 0xFF, 0x33},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.word);
    const ParticipantInfoHolder info(row.word, row.isOperator, 9);
    EXPECT_EQ(info.role, row.role);
    EXPECT_EQ(info.flags, row.flags);
    EXPECT_EQ(info.deviceStatus, 9);
    EXPECT_EQ(info.videoType, 0);
    EXPECT_TRUE(info.text.empty());
  }
}

TEST(ParticipantInfo, SetMixKeepsOtherBits) {
  ParticipantInfoHolder info(0x100, true, 1);
  info.flags |= ParticipantInfoHolder::kOwner;
  info.setMix(0x40000, false);
  EXPECT_EQ(info.flags, ParticipantInfoHolder::kOwner | ParticipantInfoHolder::kFlagBit1);
}

TEST(ParticipantInfo, CopiesKeepTheOwnerBitWhenAsked) {
  ParticipantInfoHolder owner(1, false, 1);
  owner.flags |= ParticipantInfoHolder::kOwner;
  const ParticipantInfoHolder other(0x102, false, 5);
  ParticipantInfoHolder copy = owner;
  copy.set(other, true);
  EXPECT_EQ(copy.role, 2);
  EXPECT_EQ(copy.deviceStatus, 5);
  EXPECT_EQ(copy.flags, ParticipantInfoHolder::kOwner | ParticipantInfoHolder::kNotSending);
  copy = owner;
  copy.set(other, false);
  EXPECT_EQ(copy.flags, ParticipantInfoHolder::kNotSending);

  conference::PartInfo part;
  part.text = "Display";
  part.role = 0x80005;
  part.deviceStatus = 7;
  part.isOperator = true;
  part.videoType = 3;
  copy = owner;
  copy.set(part, true);
  EXPECT_EQ(copy.videoType, 3);
  EXPECT_EQ(copy.deviceStatus, 7);
  EXPECT_EQ(copy.role, 5);
  EXPECT_EQ(copy.text, "Display");
  EXPECT_EQ(copy.flags, ParticipantInfoHolder::kOwner | ParticipantInfoHolder::kFlagBit5 |
                            ParticipantInfoHolder::kOperator);
  part.text = std::string_view();
  copy.set(part, true);
  EXPECT_TRUE(copy.text.empty());
}

}  // namespace
