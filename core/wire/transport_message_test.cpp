#include "core/wire/transport_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Names {
  const char* srcCID = nullptr;
  const char* srcService = nullptr;
  const char* addString = nullptr;
  const char* dstCID = nullptr;
  const char* dstService = nullptr;
  const char* srcUser = nullptr;
  const char* dstUser = nullptr;
  const char* srcServer = nullptr;
  const char* dstServer = nullptr;
};

const Names kRouted = {"cid-1", "CLIENT", "52", "cid-2", "CONFERENCE", "alice", "bob", "srv-a", "srv-b"};

bool Build(HX_TransportMessage& message, unsigned request, uint32_t sequence, const Names& n,
           const std::string& body, uint32_t time_limit = 20000) {
  return message.Set(request, sequence, n.srcCID, n.srcService, n.addString, n.dstCID, n.dstService,
                     time_limit, body.data(), static_cast<uint32_t>(body.size()), n.dstUser,
                     n.srcUser, n.dstServer, n.srcServer);
}

// A message built here, handed out as a malloc'ed buffer as if it had just been received.
HX_FixedPartMessage* Wire(unsigned request, uint32_t sequence, const Names& names, const std::string& body) {
  HX_TransportMessage message;
  EXPECT_TRUE(Build(message, request, sequence, names, body));
  return message.ReleaseMessage();
}

std::vector<uint8_t> BytesOf(const HX_FixedPartMessage* message) {
  return std::vector<uint8_t>(message->Bytes(), message->Bytes() + message->MessageLength());
}

TEST(TransportMessageTest, BuildsTheWireLayout) {
  HX_FixedPartMessage* raw = Wire(1, 1, Names{}, "A");
  // Header checksum: 0xAC + 0xC1, plus the offsets 2..33 (560), plus the non-zero bytes
  // H = 0x22, body checksum 0xEE and sequence 1: 1198 mod 256 = 0xAE. H (34) is above the
  // body-length-minus-one value (0), so the body checksum is its start value 0xEE.
  std::vector<uint8_t> expected = {0xC1, 0xAE, 0x22, 0x00, 0xEE, 0x00, 0x00, 0x00,
                                   0x01, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00};
  expected.resize(34, 0);
  expected.push_back('A');
  EXPECT_EQ(BytesOf(raw), expected);
  std::free(raw);
}

TEST(TransportMessageTest, WritesTheNamesInWireOrder) {
  HX_TransportMessage message;
  ASSERT_TRUE(Build(message, 0, 7, kRouted, "body"));
  const uint8_t* body = nullptr;
  ASSERT_EQ(message.Body(&body), 4u);
  const uint8_t* start = body - (16 + 5 + 6 + 2 + 5 + 10 + 5 + 3 + 5 + 5 + 9 * 2);
  std::string names(reinterpret_cast<const char*>(start) + 16, reinterpret_cast<const char*>(body));
  const char kExpected[] = "\x05" "cid-1\0\x06" "CLIENT\0\x02" "52\0\x05" "cid-2\0\x0A" "CONFERENCE\0"
                          "\x05" "alice\0\x03" "bob\0\x05" "srv-a\0\x05" "srv-b";
  EXPECT_EQ(names, std::string(kExpected, sizeof(kExpected)));  // the literal's own NUL ends srv-b
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), 4), "body");
  EXPECT_STREQ(message.SrcCID(), "cid-1");
  EXPECT_STREQ(message.SrcService(), "CLIENT");
  EXPECT_STREQ(message.AddString(), "52");
  EXPECT_STREQ(message.DstCID(), "cid-2");
  EXPECT_STREQ(message.DstService(), "CONFERENCE");
  EXPECT_STREQ(message.SrcUser(), "alice");
  EXPECT_STREQ(message.DstUser(), "bob");
  EXPECT_STREQ(message.SrcServer(), "srv-a");
  EXPECT_STREQ(message.DstServer(), "srv-b");
  EXPECT_EQ(message.Sequence(), 7u);
  EXPECT_EQ(message.TimeLimit(), 20000u);
  EXPECT_EQ(message.Version(), 1);
  EXPECT_TRUE(message.IsReply());
  EXPECT_EQ(message.Type(), 2);
}

TEST(TransportMessageTest, BodyChecksumSamplesEverySixteenthByteUpToTheStoredLength) {
  // H = 34 and a 100-byte body (stored 99): offsets 34, 50, 66, 82 and 98 are sampled.
  HX_FixedPartMessage* raw = Wire(1, 1, Names{}, std::string(100, '\0'));
  EXPECT_EQ(raw->bodyCksum, (0xEE + 34 + 50 + 66 + 82 + 98) % 256);
  for (size_t offset = 34; offset < 134; ++offset) {
    const uint8_t saved = raw->Bytes()[offset];
    raw->Bytes()[offset] ^= 0x01;
    EXPECT_EQ(HX_CheckMessageCksums(raw), (offset - 34) % 16 != 0 || offset > 99) << offset;
    raw->Bytes()[offset] = saved;
  }
  std::free(raw);

  // With H above the stored body length nothing is sampled, whatever the body holds.
  for (const char* body : {"\x00", "\x7F", "\xFF"}) {
    HX_FixedPartMessage* small = Wire(1, 1, Names{}, std::string(body, 1));
    EXPECT_EQ(small->bodyCksum, 0xEE);
    std::free(small);
  }
}

TEST(TransportMessageTest, HeaderChecksumLeavesOutNotifyBitAndTimeLimit) {
  HX_FixedPartMessage* raw = Wire(1, 1, Names{}, "x");
  const std::vector<uint8_t> original = BytesOf(raw);
  raw->flags |= HX_FixedPartMessage::kNotifyFlag;
  raw->SetTimeLimit(123456);
  EXPECT_TRUE(HX_CheckMessageCksums(raw));
  // The stored bytes are the only input: the check leaves the buffer as it found it.
  EXPECT_EQ(raw->flags & HX_FixedPartMessage::kNotifyFlag, HX_FixedPartMessage::kNotifyFlag);
  EXPECT_EQ(raw->TimeLimit(), 123456u);

  for (size_t offset : {0, 2, 4, 5, 8, 11, 16, 33}) {
    std::vector<uint8_t> changed = original;
    changed[offset] ^= 0x02;
    EXPECT_FALSE(HX_CheckMessageCksums(reinterpret_cast<HX_FixedPartMessage*>(changed.data()))) << offset;
  }
  std::free(raw);
}

TEST(TransportMessageTest, BodyLengthLimits) {
  struct Case {
    uint32_t length;
    bool built;
  };
  const Case cases[] = {{0, false}, {1, true}, {1u << 24, true}, {(1u << 24) + 1, false}};
  std::vector<uint8_t> body((1u << 24) + 1, 0x5A);
  for (const Case& c : cases) {
    HX_TransportMessage message;
    EXPECT_EQ(message.Set(1, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, body.data(), c.length,
                          nullptr, nullptr, nullptr, nullptr),
              c.built)
        << c.length;
    EXPECT_EQ(message.Body(), c.built ? c.length : 0u);
  }
  HX_TransportMessage message;
  EXPECT_FALSE(message.Set(1, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 1, nullptr,
                           nullptr, nullptr, nullptr));
}

TEST(TransportMessageTest, NamesTakeAtMost255Bytes) {
  const std::string longest(255, 'n');
  const std::string too_long(256, 'n');
  for (int position = 0; position < 9; ++position) {
    const char* names[9] = {};
    HX_TransportMessage message;
    ASSERT_TRUE(Build(message, 1, 1, kRouted, "old"));

    names[position] = too_long.c_str();
    Names n{names[0], names[1], names[2], names[3], names[4], names[5], names[6], names[7], names[8]};
    EXPECT_FALSE(Build(message, 1, 2, n, "new")) << position;
    EXPECT_EQ(message.Sequence(), 1u) << "a refused build leaves the message as it was";

    names[position] = longest.c_str();
    n = Names{names[0], names[1], names[2], names[3], names[4], names[5], names[6], names[7], names[8]};
    ASSERT_TRUE(Build(message, 1, 2, n, "new")) << position;
    EXPECT_EQ(message.GetName(position + 1), longest);
  }
}

TEST(TransportMessageTest, AdoptingRefusesMalformedMessages) {
  struct Case {
    const char* what;
    void (*damage)(HX_FixedPartMessage*);
    bool fix_checksums;
  };
  const Case cases[] = {
      {"nothing wrong", [](HX_FixedPartMessage*) {}, true},
      {"header length 15", [](HX_FixedPartMessage* m) { m->SetHeaderLength(15); }, true},
      {"header length 0", [](HX_FixedPartMessage* m) { m->SetHeaderLength(0); }, true},
      {"bit 7 clear", [](HX_FixedPartMessage* m) { m->flags &= 0x7F; }, true},
      {"version 0", [](HX_FixedPartMessage* m) { m->flags &= 0xE0; }, true},
      {"sequence 0", [](HX_FixedPartMessage* m) { m->SetSequence(0); }, true},
      {"header checksum", [](HX_FixedPartMessage* m) { m->headerCksum ^= 1; }, false},
      {"body checksum", [](HX_FixedPartMessage* m) { m->bodyCksum ^= 1; }, false},
      {"covered header byte", [](HX_FixedPartMessage* m) { m->Bytes()[20] ^= 1; }, false},
  };
  for (const Case& c : cases) {
    HX_FixedPartMessage* raw = Wire(1, 9, kRouted, std::string(64, 'b'));
    c.damage(raw);
    if (c.fix_checksums) HX_CalcMessageCksums(raw);
    const bool good = std::string(c.what) == "nothing wrong";

    HX_TransportMessage message;
    ASSERT_TRUE(Build(message, 1, 3, Names{}, "previous"));
    EXPECT_EQ(message.Set(raw), good) << c.what;
    if (good) {
      EXPECT_EQ(message.Sequence(), 9u);
      EXPECT_STREQ(message.DstService(), "CONFERENCE");
      EXPECT_EQ(message.Type(), 1);
    } else {
      EXPECT_EQ(message.Sequence(), 3u) << c.what;  // unchanged, and the buffer is still ours
      std::free(raw);
    }
  }
}

TEST(TransportMessageTest, NameWalkStaysInsideTheHeader) {
  // A received header that ends after the second name: later names are not found.
  HX_FixedPartMessage* raw = Wire(1, 1, Names{}, std::string(32, 'b'));
  raw->SetHeaderLength(20);
  HX_CalcMessageCksums(raw);
  HX_TransportMessage message;
  ASSERT_TRUE(message.Set(raw));
  EXPECT_STREQ(message.SrcCID(), "");
  EXPECT_STREQ(message.SrcService(), "");
  EXPECT_EQ(message.AddString(), nullptr);
  EXPECT_EQ(message.DstServer(), nullptr);
  EXPECT_EQ(message.GetName(0), nullptr);
  EXPECT_EQ(message.GetName(10), nullptr);

  // A name whose NUL is not where its length says.
  HX_FixedPartMessage* bad_nul = Wire(1, 1, kRouted, "b");
  bad_nul->Bytes()[16 + 1 + 5] = 'x';  // the NUL of SrcCID
  EXPECT_EQ(message.GetName(1, bad_nul), nullptr);
  EXPECT_STREQ(message.GetName(1, raw), "");
  std::free(bad_nul);
}

TEST(TransportMessageTest, SetNameShiftsTheRestAndKeepsTheMessageValid) {
  HX_FixedPartMessage* raw = Wire(1, 5, kRouted, std::string(300, 'z'));
  HX_TransportMessage message;
  ASSERT_TRUE(message.Set(raw));
  const uint16_t header_length = raw->HeaderLength();

  ASSERT_TRUE(message.SetDstService("a-much-longer-service"));
  EXPECT_STREQ(message.DstService(), "a-much-longer-service");
  EXPECT_STREQ(message.DstCID(), "cid-2");
  EXPECT_STREQ(message.SrcUser(), "alice");
  EXPECT_STREQ(message.DstServer(), "srv-b");
  const uint8_t* body = nullptr;
  ASSERT_EQ(message.Body(&body), 300u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), 300), std::string(300, 'z'));

  // The edited buffer is a sound message: it passes the receiver's checks again.
  HX_FixedPartMessage* edited = message.ReleaseMessage();
  EXPECT_EQ(edited->HeaderLength(), header_length + 21 - 10);
  HX_TransportMessage again;
  ASSERT_TRUE(again.Set(edited));
  ASSERT_TRUE(again.SetSrcCID(""));
  ASSERT_TRUE(again.SetString(std::string(255, 's').c_str()));
  EXPECT_EQ(again.SrcCID(), std::string());
  EXPECT_EQ(again.AddString(), std::string(255, 's'));
  EXPECT_EQ(again.SrcService(), std::string("CLIENT"));
  // Still received, so it can be answered.
  EXPECT_TRUE(again.FormReply(nullptr, 0, "r", 1, nullptr));
}

TEST(TransportMessageTest, SetNameRefusals) {
  HX_TransportMessage message;
  EXPECT_FALSE(message.SetSrcCID("x")) << "not valid";
  ASSERT_TRUE(Build(message, 1, 1, kRouted, "b"));
  EXPECT_FALSE(message.SetName(1, nullptr));
  EXPECT_FALSE(message.SetName(0, "x"));
  EXPECT_FALSE(message.SetName(10, "x"));
  EXPECT_FALSE(message.SetSrcCID(std::string(256, 'x').c_str()));
  EXPECT_STREQ(message.SrcCID(), "cid-1");
}

TEST(TransportMessageTest, SetNameOfEmptyToEmptyLeavesTheBuffer) {
  HX_TransportMessage message;
  ASSERT_TRUE(Build(message, 1, 1, Names{}, "body"));
  const uint8_t* before = nullptr;
  message.Body(&before);
  const std::vector<uint8_t> bytes(before - 34, before + 4);
  EXPECT_TRUE(message.SetDstUser(""));
  const uint8_t* after = nullptr;
  message.Body(&after);
  EXPECT_EQ(after, before);
  EXPECT_EQ(std::vector<uint8_t>(after - 34, after + 4), bytes);
}

TEST(TransportMessageTest, SetNameNeverOverflowsTheHeaderLength) {
  // A received message whose header already spans 65,535 bytes (names and padding).
  const size_t header_length = 0xFFFF;
  auto* raw = static_cast<HX_FixedPartMessage*>(std::calloc(1, header_length + 1));
  raw->flags = 0xC1;
  raw->SetHeaderLength(header_length);
  raw->SetBodyLength(1);
  raw->SetSequence(1);
  HX_CalcMessageCksums(raw);
  HX_TransportMessage message;
  ASSERT_TRUE(message.Set(raw));
  EXPECT_FALSE(message.SetSrcCID("x"));
  EXPECT_STREQ(message.SrcCID(), "");
  EXPECT_EQ(message.Body(), 1u);
}

TEST(TransportMessageTest, FormReplyAnswersReceivedRequestsOnly) {
  struct Case {
    const char* what;
    unsigned request;
    uint8_t extra_flags;
    bool received;
    bool answered;
  };
  const Case cases[] = {
      {"received request", 1, 0, true, true},
      {"request built here", 1, 0, false, false},
      {"received reply", 0, 0, true, false},
      {"received notification", 1, HX_FixedPartMessage::kNotifyFlag, true, false},
  };
  for (const Case& c : cases) {
    HX_TransportMessage request;
    HX_FixedPartMessage* raw = Wire(c.request, 77, kRouted, "question");
    raw->flags |= c.extra_flags;
    if (c.received) {
      ASSERT_TRUE(request.Set(raw));
    } else {
      ASSERT_TRUE(Build(request, c.request, 77, kRouted, "question"));
      std::free(raw);
    }
    HX_TransportMessage reply;
    EXPECT_EQ(reply.FormReply(&request, 5000, "answer", 6, "ok"), c.answered) << c.what;
    if (!c.answered) continue;
    EXPECT_EQ(reply.Type(), 2);
    EXPECT_EQ(reply.Version(), 1);
    EXPECT_EQ(reply.Sequence(), 77u);
    EXPECT_EQ(reply.TimeLimit(), 5000u);
    EXPECT_STREQ(reply.SrcCID(), "cid-2");
    EXPECT_STREQ(reply.SrcService(), "CONFERENCE");
    EXPECT_STREQ(reply.AddString(), "ok");
    EXPECT_STREQ(reply.DstCID(), "cid-1");
    EXPECT_STREQ(reply.DstService(), "CLIENT");
    EXPECT_STREQ(reply.SrcUser(), "bob");
    EXPECT_STREQ(reply.DstUser(), "alice");
    EXPECT_STREQ(reply.SrcServer(), tr_endpointName.c_str());
    EXPECT_STREQ(reply.DstServer(), "srv-a");
  }
}

TEST(TransportMessageTest, FormReplyToItselfCopiesBeforeFreeing) {
  HX_TransportMessage message;
  ASSERT_TRUE(message.Set(Wire(1, 4, kRouted, "echo me")));
  const uint8_t* body = nullptr;
  const uint32_t length = message.Body(&body);
  ASSERT_TRUE(message.FormReply(nullptr, 1, body, length, message.AddString()));
  EXPECT_STREQ(message.SrcService(), "CONFERENCE");
  EXPECT_STREQ(message.AddString(), "52");
  message.Body(&body);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body), length), "echo me");
  EXPECT_FALSE(message.FormReply(nullptr, 1, "again", 5, nullptr)) << "a built reply is not a received request";
}

TEST(TransportMessageTest, ReadersOfAMessageThatIsNotValid) {
  HX_TransportMessage message;
  const uint8_t* body = reinterpret_cast<const uint8_t*>(&message);
  EXPECT_EQ(message.Body(&body), 0u);
  EXPECT_EQ(body, nullptr);
  EXPECT_FALSE(message.IsValid());
  EXPECT_EQ(message.Version(), 0);
  EXPECT_FALSE(message.IsRequest());
  EXPECT_FALSE(message.IsReply());
  EXPECT_FALSE(message.IsNotify());
  EXPECT_EQ(message.Type(), 0);
  EXPECT_EQ(message.Sequence(), 0u);
  EXPECT_EQ(message.TimeLimit(), 0u);
  EXPECT_FALSE(message.IsFromServer());
  EXPECT_EQ(message.SrcCID(), nullptr);
  EXPECT_EQ(message.ReleaseMessage(), nullptr);
}

TEST(TransportMessageTest, TypeAndOrigin) {
  HX_FixedPartMessage* raw = Wire(0, 1, Names{}, "n");
  raw->flags |= HX_FixedPartMessage::kNotifyFlag;  // not covered by the checksum
  HX_TransportMessage notification;
  ASSERT_TRUE(notification.Set(raw));
  EXPECT_EQ(notification.Type(), 3);
  EXPECT_TRUE(notification.IsNotify());
  EXPECT_TRUE(notification.IsReply());
  EXPECT_TRUE(notification.IsFromServer());

  HX_TransportMessage request;
  ASSERT_TRUE(Build(request, 1, 1, kRouted, "r"));
  EXPECT_EQ(request.Type(), 1);
  EXPECT_FALSE(request.IsFromServer());
}

TEST(TransportMessageTest, ResetAndRelease) {
  HX_TransportMessage message;
  ASSERT_TRUE(Build(message, 1, 1, kRouted, "r"));
  message.Reset();
  EXPECT_FALSE(message.IsValid());
  EXPECT_EQ(message.SrcCID(), nullptr);

  ASSERT_TRUE(Build(message, 1, 2, kRouted, "r"));
  HX_FixedPartMessage* kept = message.ReleaseMessage();
  EXPECT_FALSE(message.IsValid());
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Sequence(), 2u);
  std::free(kept);
}

}  // namespace
