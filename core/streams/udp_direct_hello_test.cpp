// The hello and OK reply datagrams, read from bytes crafted here by hand (header, length field and
// a body assembled entry by entry), so that the readers are checked against the layout rather
// than against the writer.
#include "core/streams/udp_direct_hello.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/net/address/addr_factory.h"

namespace hx::streams::udp {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Serialized(const HX_Container& body) {
  Bytes wire(body.GetAllocSize());
  size_t size = wire.size();
  EXPECT_TRUE(body.Serialize(wire.data(), size));
  wire.resize(size);
  return wire;
}

// Header text with its NUL, the length field (the body's size plus `lengthDelta`), the body bytes.
Bytes Datagram(const std::string& text, const Bytes& body, int64_t lengthDelta = 0) {
  Bytes out(text.begin(), text.end());
  out.push_back(0);
  const uint32_t length = htole32(static_cast<uint32_t>(body.size() + lengthDelta));
  const uint8_t* l = reinterpret_cast<const uint8_t*>(&length);
  out.insert(out.end(), l, l + 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

HXSockAddr Udp(const char* host, const char* port) {
  HXSockAddr address;
  EXPECT_TRUE(address.set(ip::Proto::udp, host, port, 0, 0));
  return address;
}

Bytes AddressForm(const HXSockAddr& address) {
  Bytes form(32);
  size_t length = form.size();
  EXPECT_TRUE(HXAddrFactory::serialize(address, form.data(), length));
  form.resize(length);
  return form;
}

// A hello body entry by entry; every key can be left out or given odd bytes.
struct BodyPlan {
  const char* conference = "sid-1";
  const char* participant = "bob";
  const char* connected = "alice";
  const uint8_t* version = nullptr;  // the four stored bytes; null leaves the key out
  bool withCtrlNum = true;
  Bytes localIntEp = AddressForm(Udp("192.0.2.7", "5000"));
  bool withRetBackTime = false;
};

constexpr uint8_t kVersion1[] = {0, 0, 0, 1};

Bytes Body(const BodyPlan& plan) {
  HX_Container body;
  if (plan.conference) body.AddValue("ConferenceName", plan.conference);
  if (plan.participant) body.AddValue("participantName", plan.participant);
  if (plan.connected) body.AddValue("connectedParticipantName", plan.connected);
  if (plan.version) body.AddValue("HandshakeVersion", HX_CNT_INTEGER_VT, plan.version, 4);
  const uint8_t sendTime[8] = {0, 0, 0, 0, 0, 0, 0x30, 0x39};  // 12345, most significant first
  body.AddValue("SendTime", HX_CNT_INT64_VT, sendTime, 8);
  if (!plan.localIntEp.empty()) {
    body.AddValue("LocalIntEp", HX_CNT_BINARY_VT, plan.localIntEp.data(), plan.localIntEp.size());
  }
  const Bytes remote = AddressForm(Udp("198.51.100.1", "6000"));
  body.AddValue("RemoteExtEp", HX_CNT_BINARY_VT, remote.data(), remote.size());
  if (plan.withCtrlNum) body.AddValue("CtrlNum", int32_t{-77});
  if (plan.withRetBackTime) {
    const uint8_t back[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x00};  // 256
    body.AddValue("RetBackTime", HX_CNT_INT64_VT, back, 8);
  }
  return Serialized(body);
}

BodyPlan V1() {
  BodyPlan plan;
  plan.version = kVersion1;
  return plan;
}

TEST(UdpDirectHello, HeadersAreRecognisedByTextAndLength) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool hello;
    bool ok;
  };
  auto text = [](const std::string& t, size_t pad) {
    Bytes b(t.begin(), t.end());
    b.push_back(0);
    b.resize(b.size() + pad, 0xAA);
    return b;
  };
  const Case cases[] = {
      {"bare hello header", text("UDP_DIRECT_CONNECT", 0), true, false},
      {"hello in mixed case", text("udp_Direct_connect", 4), true, false},
      {"hello text without room for its NUL", Bytes(kHelloText, kHelloText + 18), false, false},
      {"hello text without its NUL", text("UDP_DIRECT_CONNECTX", 3), false, false},
      {"bare OK header", text("UDP_CONN_OK", 0), false, true},
      {"OK in lower case, long datagram", text("udp_conn_ok", 40), false, true},
      {"OK text one byte short", Bytes(11, 'U'), false, false},
      {"other text", text("UDP_CONN_NO", 20), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isUdpDCHelloHeader(c.bytes.data(), c.bytes.size()), c.hello);
    EXPECT_EQ(isUdpDCOkReplyHeader(c.bytes.data(), c.bytes.size()), c.ok);
    EXPECT_EQ(isTrialUdpDCHeader(c.bytes.data(), c.bytes.size()), c.hello || c.ok);
  }
  EXPECT_FALSE(isTrialUdpDCHeader(nullptr, 100));
}

TEST(UdpDirectHello, MalformedDatagramsAreDropped) {
  BodyPlan noCtrl = V1();
  noCtrl.withCtrlNum = false;
  BodyPlan emptyName = V1();
  emptyName.participant = "";
  BodyPlan missingName = V1();
  missingName.connected = nullptr;
  Bytes corrupt = Body(V1());
  corrupt[5] ^= 0xFF;
  struct Case {
    const char* name;
    Bytes datagram;
    bool helloReads;
  };
  Bytes headerOnly(std::begin(kHelloText), std::end(kHelloText));
  const Case cases[] = {
      {"well formed", Datagram(kHelloText, Body(V1())), true},
      {"trailing bytes ignored",
       [] {
         Bytes d = Datagram(kHelloText, Body(V1()));
         d.insert(d.end(), 9, 0x55);
         return d;
       }(),
       true},
      {"19 bytes: header without a length", headerOnly, false},
      {"length one beyond the datagram", Datagram(kHelloText, Body(V1()), 1), false},
      {"length of 4 GiB - 1", Datagram(kHelloText, Body(V1()), 0xFFFFFFFFll - Body(V1()).size()),
       false},
      {"body does not deserialise", Datagram(kHelloText, corrupt), false},
      {"no CtrlNum", Datagram(kHelloText, Body(noCtrl)), false},
      {"empty participant name", Datagram(kHelloText, Body(emptyName)), false},
      {"missing connected name", Datagram(kHelloText, Body(missingName)), false},
      {"an OK reply is no hello", Datagram(kOkReplyText, Body(V1())), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // In storage of exactly its size, so that a read past its end is an overflow the sanitizer
    // reports.
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.datagram.size()]);
    std::memcpy(exact.get(), c.datagram.data(), c.datagram.size());
    HelloRequestData hello;
    EXPECT_EQ(readHelloRequest(exact.get(), c.datagram.size(), hello), c.helloReads);
  }
}

TEST(UdpDirectHello, OkReplyNeedsOnlyItsControlNumber) {
  BodyPlan noNames = V1();
  noNames.conference = noNames.participant = noNames.connected = nullptr;
  noNames.withRetBackTime = true;
  const Bytes lower = Datagram("udp_conn_ok", Body(noNames));
  ReplyData reply;
  ASSERT_TRUE(readOkReply(lower.data(), lower.size(), reply));
  EXPECT_EQ(reply.controlNumber, -77);
  EXPECT_TRUE(reply.participantName.empty());
  EXPECT_EQ(reply.retBackTime, 256u);
  EXPECT_EQ(reply.sendTime, 12345u);

  BodyPlan noCtrl = noNames;
  noCtrl.withCtrlNum = false;
  const Bytes without = Datagram(kOkReplyText, Body(noCtrl));
  EXPECT_FALSE(readOkReply(without.data(), without.size(), reply));
  const Bytes cut = Datagram(kOkReplyText, Body(noNames), 1);
  EXPECT_FALSE(readOkReply(cut.data(), cut.size(), reply));
}

TEST(UdpDirectHello, VersionDecidesWhatIsRead) {
  const uint8_t seven[] = {0, 0, 0, 7};
  const uint8_t zero[] = {0, 0, 0, 0};
  const uint8_t negative[] = {0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t hostOrderOne[] = {1, 0, 0, 0};  // 0x01000000 once swapped: still above 0
  struct Case {
    const char* name;
    const uint8_t* version;
    int32_t expected;
  };
  const Case cases[] = {
      {"00 00 00 01", kVersion1, 1}, {"00 00 00 07", seven, 1}, {"01 00 00 00", hostOrderOne, 1},
      {"00 00 00 00", zero, 0},      {"missing", nullptr, 0},   {"FF FF FF FF", negative, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BodyPlan plan;
    plan.version = c.version;
    const Bytes d = Datagram(kHelloText, Body(plan));
    HelloRequestData hello;
    ASSERT_TRUE(readHelloRequest(d.data(), d.size(), hello));
    EXPECT_EQ(hello.version, c.expected);
    EXPECT_EQ(hello.controlNumber, -77);
    EXPECT_EQ(hello.participantName, "bob");
    if (c.expected > 0) {
      EXPECT_EQ(hello.sendTime, 12345u);
      EXPECT_EQ(hello.localIntEp.strBind(), "192.0.2.7:5000");
      EXPECT_EQ(hello.remoteExtEp.strBind(), "198.51.100.1:6000");
    } else {
      EXPECT_EQ(hello.sendTime, 0u);
      EXPECT_TRUE(hello.localIntEp.empty());
      EXPECT_TRUE(hello.remoteExtEp.empty());
    }
  }
}

TEST(UdpDirectHello, AddressEntriesOverFiftyBytesOrNotAnAddressCountAsAbsent) {
  const Bytes form = AddressForm(Udp("192.0.2.7", "5000"));
  Bytes padded50 = form;
  padded50.resize(50, 0);
  Bytes padded51 = form;
  padded51.resize(51, 0);
  struct Case {
    const char* name;
    Bytes entry;
    bool present;
  };
  const Case cases[] = {
      {"exact form", form, true},
      {"50 bytes", padded50, true},
      {"51 bytes", padded51, false},
      {"not a form", Bytes{9, 7, 2, 0, 1, 1, 2, 3, 4}, false},
      {"cut form", Bytes(form.begin(), form.end() - 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BodyPlan plan = V1();
    plan.localIntEp = c.entry;
    const Bytes d = Datagram(kHelloText, Body(plan));
    HelloRequestData hello;
    ASSERT_TRUE(readHelloRequest(d.data(), d.size(), hello));
    EXPECT_EQ(!hello.localIntEp.empty(), c.present);
    EXPECT_FALSE(hello.remoteExtEp.empty());
  }
}

TEST(UdpDirectHello, WrittenHelloHasItsByteOrdersAndKeyOrder) {
  HelloRequestData fields;
  fields.conferenceName = "sid-1";
  fields.participantName = "alice";
  fields.connectedParticipantName = "bob";
  fields.sendTime = 0x0102030405060708ull;
  fields.localIntEp = Udp("192.0.2.7", "5000");
  fields.remoteExtEp = Udp("::1", "6000");
  HX_Container body;
  addCommonReqFields(fields, body);
  addCtrlNum(body, 0x11223344);
  HXNetMessage message;
  ASSERT_TRUE(fillMsg(message, body, kHelloText, kHelloHeaderSize));

  const uint8_t* bytes = message.buffer();
  ASSERT_GE(message.size(), 23u);
  EXPECT_EQ(std::memcmp(bytes, "UDP_DIRECT_CONNECT\0", 19), 0);
  uint32_t length;
  std::memcpy(&length, bytes + 19, 4);
  ASSERT_EQ(le32toh(length), message.size() - 23);

  HX_Container back;
  ASSERT_TRUE(back.Deserialize(bytes + 23, message.size() - 23));
  std::vector<std::string> names;
  for (back.Reset(); back.Next();) names.push_back(back.GetName());
  EXPECT_EQ(names, (std::vector<std::string>{"ConferenceName", "participantName",
                                             "connectedParticipantName", "HandshakeVersion",
                                             "SendTime", "LocalIntEp", "RemoteExtEp", "CtrlNum"}));
  size_t size = 0;
  const auto* version =
      static_cast<const uint8_t*>(back.GetValueRef("HandshakeVersion", HX_CNT_INTEGER_VT, size));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(Bytes(version, version + 4), (Bytes{0, 0, 0, 1}));
  const auto* sendTime =
      static_cast<const uint8_t*>(back.GetValueRef("SendTime", HX_CNT_INT64_VT, size));
  ASSERT_NE(sendTime, nullptr);
  EXPECT_EQ(Bytes(sendTime, sendTime + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  const auto* ctrl =
      static_cast<const uint8_t*>(back.GetValueRef("CtrlNum", HX_CNT_INTEGER_VT, size));
  ASSERT_NE(ctrl, nullptr);
  EXPECT_EQ(Bytes(ctrl, ctrl + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));

  HelloRequestData read;
  ASSERT_TRUE(readHelloRequest(bytes, message.size(), read));
  EXPECT_EQ(read.sendTime, fields.sendTime);
  EXPECT_EQ(read.remoteExtEp.strBind(), "::1:6000");
  EXPECT_EQ(read.controlNumber, 0x11223344);
}

}  // namespace
}  // namespace hx::streams::udp
