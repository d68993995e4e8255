#include "core/wire/client_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(ClientMessageTest, BuildsARequestWithAnEmptyDestinationConnection) {
  const std::string body = "serialised container";
  HX_ClientMessage message("CLIENT", "52", "CONFERENCE", 20000, body.data(),
                           static_cast<uint32_t>(body.size()), 42, "my-cid", "bob", "alice",
                           "srv-b", "srv-a");
  ASSERT_TRUE(message.IsValid());
  EXPECT_EQ(message.Type(), 1);
  EXPECT_EQ(message.Sequence(), 42u);
  EXPECT_EQ(message.TimeLimit(), 20000u);
  EXPECT_STREQ(message.SrcCID(), "my-cid");
  EXPECT_STREQ(message.SrcService(), "CLIENT");
  EXPECT_STREQ(message.AddString(), "52");
  EXPECT_STREQ(message.DstCID(), "");
  EXPECT_STREQ(message.DstService(), "CONFERENCE");
  EXPECT_STREQ(message.SrcUser(), "alice");
  EXPECT_STREQ(message.DstUser(), "bob");
  EXPECT_STREQ(message.SrcServer(), "srv-a");
  EXPECT_STREQ(message.DstServer(), "srv-b");
  // 16 + names (6+6+2+0+10+5+3+5+5 = 42, plus 2 each) + body.
  EXPECT_EQ(message.Size(), 16u + 42 + 18 + body.size());
}

TEST(ClientMessageTest, ControlMessageShape) {
  const char nul = 0;
  HX_ClientMessage ping(nullptr, "p", nullptr, 5000, &nul, 1, 3, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(ping.IsValid());
  const uint8_t* data = ping.Data();
  // Body-length field 0 is what the reader takes for a control message.
  EXPECT_EQ(data[5] | data[6] | data[7], 0);
  EXPECT_EQ(ping.Size(), 16u + 1 + 9 * 2 + 1);
  EXPECT_STREQ(ping.AddString(), "p");
}

TEST(ClientMessageTest, PartialSendsMoveTheCursorButNeverPastTheEnd) {
  HX_ClientMessage message("S", "52", "D", 1, "0123456789", 10, 1, nullptr, nullptr, nullptr, nullptr, nullptr);
  const uint8_t* start = message.Data();
  const uint64_t total = message.Size();
  message.PartialInc(7);
  EXPECT_EQ(message.Data(), start + 7);
  EXPECT_EQ(message.Size(), total - 7);
  message.PartialInc(total);  // more than is left
  EXPECT_EQ(message.Size(), 0u);
  EXPECT_EQ(message.Data(), start + total);
  message.PartialInc(UINT64_MAX);
  EXPECT_EQ(message.Size(), 0u);
  EXPECT_EQ(message.Data(), start + total);
}

TEST(ClientMessageTest, NothingToSendWithoutABuffer) {
  HX_ClientMessage refused("S", "52", "D", 1, nullptr, 0, 1, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_FALSE(refused.IsValid());
  EXPECT_EQ(refused.Data(), nullptr);
  EXPECT_EQ(refused.Size(), 0u);
  refused.PartialInc(5);
  EXPECT_EQ(refused.Size(), 0u);
}

TEST(ClientMessageTest, AdoptsReceivedBuffersThroughEveryPointerType) {
  HX_ClientMessage source("S", "52", "D", 1, "payload", 7, 9, nullptr, nullptr, nullptr, nullptr, nullptr);
  const uint64_t size = source.Size();
  auto copy = [&] {
    void* buffer = std::malloc(size);
    std::memcpy(buffer, source.Data(), size);
    return buffer;
  };

  HX_ClientMessage from_char(static_cast<char*>(copy()));
  HX_ClientMessage from_bytes(static_cast<uint8_t*>(copy()));
  HX_ClientMessage from_fixed(static_cast<HX_FixedPartMessage*>(copy()));
  for (HX_ClientMessage* message : {&from_char, &from_bytes, &from_fixed}) {
    EXPECT_TRUE(message->IsValid());
    EXPECT_EQ(message->Sequence(), 9u);
    EXPECT_EQ(message->Size(), size);
  }

  // A damaged buffer is not taken over: it stays the caller's.
  auto* damaged = static_cast<uint8_t*>(copy());
  damaged[8] = damaged[9] = damaged[10] = damaged[11] = 0;
  HX_ClientMessage refused(damaged);
  EXPECT_FALSE(refused.IsValid());
  std::free(damaged);

  // Release hands the buffer back without freeing it.
  HX_FixedPartMessage* released = from_fixed.Release();
  EXPECT_FALSE(from_fixed.IsValid());
  EXPECT_EQ(from_fixed.Size(), 0u);
  std::free(released);
}

}  // namespace
