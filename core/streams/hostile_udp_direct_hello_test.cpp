// The hello handshake seen from a hostile peer: datagrams cut short, length fields that lie, bodies
// of garbage or with keys missing, doubled or of the wrong type, control numbers that do not match,
// replies out of order, timers early, late or never, and a clock that jumps back. Every datagram is
// assembled here byte by byte and handed over in a buffer of exactly its size, so that a read past
// its end shows under AddressSanitizer. The socket side is a recording stand-in: what matters here
// is what the handshake sends, not that the system can send it.
#include <endian.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"
#include "core/net/address/net_mask.h"
#include "core/net/loop/zserver.h"
#include "core/streams/udp_direct_handshake.h"
#include "core/streams/udp_direct_hello.h"

namespace hx::streams {
namespace {

using Bytes = std::vector<uint8_t>;
using Calls = std::vector<std::string>;
using State = UdpDirectHandshakeHelper::State;

constexpr int32_t kOwnCtrl = 0x5eed;
constexpr int32_t kPeerCtrl = -99;

HXSockAddr Udp(const char* host, const char* port) {
  HXSockAddr address;
  EXPECT_TRUE(address.set(ip::Proto::udp, host, port, 0, 0));
  return address;
}

Bytes AddressForm(const HXSockAddr& address) {
  Bytes form(64);
  size_t length = form.size();
  EXPECT_TRUE(HXAddrFactory::serialize(address, form.data(), length));
  form.resize(length);
  return form;
}

// --- Bodies, entry by entry, so that any key can be dropped, doubled or mistyped.

struct Entry {
  std::string name;
  ContainerVT type;
  Bytes value;  // strings: the text bytes without a terminator
};
using Entries = std::vector<Entry>;

Entry Str(const std::string& name, const std::string& text) {
  return {name, HX_CNT_STRING_VT, Bytes(text.begin(), text.end())};
}
Entry Raw(const std::string& name, ContainerVT type, Bytes value) {
  return {name, type, std::move(value)};
}
Entry HostInt(const std::string& name, int32_t value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return {name, HX_CNT_INTEGER_VT, bytes};
}
Bytes BigEndian64(uint64_t value) {
  Bytes bytes(8);
  for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<uint8_t>(value);
  return bytes;
}

Bytes Serialized(const Entries& entries) {
  HX_Container body;
  for (const Entry& e : entries) {
    EXPECT_TRUE(body.AddValue(e.name, e.type, e.value.data(), e.value.size())) << e.name;
  }
  Bytes wire(body.GetAllocSize());
  size_t size = wire.size();
  EXPECT_TRUE(body.Serialize(wire.data(), size));
  wire.resize(size);
  return wire;
}

Entries Without(Entries entries, const std::string& name) {
  std::erase_if(entries, [&](const Entry& e) { return e.name == name; });
  return entries;
}

Entries Plus(Entries entries, const Entry& extra) {
  entries.push_back(extra);
  return entries;
}

Entries With(Entries entries, const Entry& replacement) {
  for (Entry& e : entries) {
    if (e.name == replacement.name) e = replacement;
  }
  return entries;
}

const HXSockAddr kPeerLocal = Udp("10.1.2.3", "40000");
const HXSockAddr kPeerSeen = Udp("203.0.113.9", "7000");

// What the peer "bob" sends to "alice" in conference "sid-1", names in odd case.
Entries CommonEntries(const Bytes& version, uint64_t sendTime) {
  return {Str("ConferenceName", "SID-1"),
          Str("participantName", "bob"),
          Str("connectedParticipantName", "Alice"),
          Raw("HandshakeVersion", HX_CNT_INTEGER_VT, version),
          Raw("SendTime", HX_CNT_INT64_VT, BigEndian64(sendTime)),
          Raw("LocalIntEp", HX_CNT_BINARY_VT, AddressForm(kPeerLocal)),
          Raw("RemoteExtEp", HX_CNT_BINARY_VT, AddressForm(kPeerSeen))};
}
const Bytes kV1 = {0, 0, 0, 1};
const Bytes kV0 = {0, 0, 0, 0};

Entries HelloEntries(const Bytes& version = kV1, uint64_t sendTime = 12345,
                     int32_t ctrl = kPeerCtrl) {
  Entries entries = CommonEntries(version, sendTime);
  entries.push_back(HostInt("CtrlNum", ctrl));
  return entries;
}

Entries OkEntries(int32_t ctrl, const Bytes& version = kV1, uint64_t sendTime = 777,
                  uint64_t retBackTime = 0) {
  Entries entries = {HostInt("CtrlNum", ctrl)};
  if (version.empty()) return entries;
  for (const Entry& e : CommonEntries(version, sendTime)) entries.push_back(e);
  if (retBackTime != 0) {
    entries.push_back(Raw("RetBackTime", HX_CNT_INT64_VT, BigEndian64(retBackTime)));
  }
  return entries;
}

// Header text (with its NUL unless `withNul` is false), the length field, the body.
Bytes Datagram(const std::string& text, const Bytes& body,
               std::optional<uint32_t> length = std::nullopt, bool withNul = true) {
  Bytes out(text.begin(), text.end());
  if (withNul) out.push_back(0);
  const uint32_t field = htole32(length.value_or(static_cast<uint32_t>(body.size())));
  const uint8_t* l = reinterpret_cast<const uint8_t*>(&field);
  out.insert(out.end(), l, l + 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}
Bytes Hello(const Entries& entries) { return Datagram(udp::kHelloText, Serialized(entries)); }
Bytes Ok(const Entries& entries) { return Datagram(udp::kOkReplyText, Serialized(entries)); }

// The first `n` bytes in a buffer of exactly that size.
Bytes Cut(const Bytes& datagram, size_t n) {
  return Bytes(datagram.begin(), datagram.begin() + std::min(n, datagram.size()));
}

bool ReadsAsHello(const Bytes& datagram, udp::HelloRequestData* out = nullptr) {
  udp::HelloRequestData scratch;
  return udp::readHelloRequest(datagram.data(), datagram.size(), out ? *out : scratch);
}
bool ReadsAsOk(const Bytes& datagram, udp::ReplyData* out = nullptr) {
  udp::ReplyData scratch;
  return udp::readOkReply(datagram.data(), datagram.size(), out ? *out : scratch);
}

bool SameAddress(const HXSockAddr& a, const HXSockAddr& b) { return a.cmp(b, true) == 0; }
bool IsEmptyAddress(const HXSockAddr& a) { return a.family() == 0; }

// --- Header recognition and reading.

TEST(HostileUdpDirectHelloRead, EveryCutOfAHelloOrOkIsRecognisedAndReadOnlyWhenWhole) {
  struct Case {
    const char* what;
    Bytes whole;
    size_t headerSize;
    bool hello;
  };
  const Case cases[] = {
      {"hello", Hello(HelloEntries()), udp::kHelloHeaderSize, true},
      {"ok", Ok(OkEntries(kOwnCtrl)), udp::kOkReplyHeaderSize, false},
      {"ok to a version-0 peer", Ok(OkEntries(kOwnCtrl, {})), udp::kOkReplyHeaderSize, false},
  };
  for (const Case& c : cases) {
    for (size_t n = 0; n <= c.whole.size(); ++n) {
      SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(n));
      const Bytes cut = Cut(c.whole, n);
      const bool headerWhole = n >= c.headerSize;
      EXPECT_EQ(udp::isUdpDCHelloHeader(cut.data(), cut.size()), c.hello && headerWhole);
      EXPECT_EQ(udp::isUdpDCOkReplyHeader(cut.data(), cut.size()), !c.hello && headerWhole);
      EXPECT_EQ(udp::isTrialUdpDCHeader(cut.data(), cut.size()), headerWhole);
      const bool whole = n == c.whole.size();
      EXPECT_EQ(ReadsAsHello(cut), c.hello && whole);
      EXPECT_EQ(ReadsAsOk(cut), !c.hello && whole);
    }
  }
}

TEST(HostileUdpDirectHelloRead, HeaderTextsInOddShapes) {
  const Bytes body = Serialized(HelloEntries());
  auto padded = [](std::string text, size_t size) {
    Bytes out(text.begin(), text.end());
    out.resize(size, 0);
    return out;
  };
  struct Case {
    const char* what;
    Bytes datagram;
    bool hello;
    bool ok;
  };
  const Case cases[] = {
      {"hello in lower case", Datagram("udp_direct_connect", body), true, false},
      {"hello in mixed case", Datagram("Udp_Direct_Connect", body), true, false},
      {"ok in lower case", Datagram("udp_conn_ok", body), false, true},
      {"hello text without its NUL", Datagram("UDP_DIRECT_CONNECTX", body, {}, true), false,
       false},
      {"hello text, NUL missing, body follows", Datagram("UDP_DIRECT_CONNECT", body, {}, false),
       false, false},
      {"ok text without its NUL", Datagram("UDP_CONN_OKAY", body), false, false},
      {"hello text cut short by an early NUL", Datagram("UDP_DIRECT", body), false, false},
      {"ok text cut short by an early NUL", Datagram("UDP_CONN", body), false, false},
      {"empty text", Datagram("", body), false, false},
      {"ok text alone, 11 bytes", padded("UDP_CONN_OK", 11), false, false},
      {"ok text and NUL, 12 bytes", padded("UDP_CONN_OK", 12), false, true},
      {"ok text padded to 19 bytes", padded("UDP_CONN_OK", 19), false, true},
      {"ok text padded to 23 bytes", padded("UDP_CONN_OK", 23), false, true},
      {"hello text alone, 18 bytes", padded("UDP_DIRECT_CONNECT", 18), false, false},
      {"hello text and NUL, 19 bytes", padded("UDP_DIRECT_CONNECT", 19), true, false},
      {"hello text with a longer tail", Datagram("UDP_DIRECT_CONNECT_2", body), false, false},
      {"ok text and an X, exactly 12 bytes", padded("UDP_CONN_OKX", 12), false, false},
      {"hello text and an X, exactly 19 bytes", padded("UDP_DIRECT_CONNECTX", 19), false,
       false},
      {"ok text then the hello text, no NUL", padded("UDP_CONN_OKUDP_DIRECT_CONNECT", 29),
       false, false},
      {"all 0xff, 40 bytes", Bytes(40, 0xff), false, false},
      {"all zero, 40 bytes", Bytes(40, 0), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes& d = c.datagram;
    EXPECT_EQ(udp::isUdpDCHelloHeader(d.data(), d.size()), c.hello);
    EXPECT_EQ(udp::isUdpDCOkReplyHeader(d.data(), d.size()), c.ok);
    EXPECT_EQ(udp::isTrialUdpDCHeader(d.data(), d.size()), c.hello || c.ok);
  }
  // A null pointer is never a header, whatever size comes with it.
  for (size_t size : {size_t{0}, size_t{19}, size_t{1000}}) {
    EXPECT_FALSE(udp::isUdpDCHelloHeader(nullptr, size));
    EXPECT_FALSE(udp::isUdpDCOkReplyHeader(nullptr, size));
    EXPECT_FALSE(udp::isTrialUdpDCHeader(nullptr, size));
  }
  // A lower-case hello is read as a hello, a lower-case OK as an OK.
  EXPECT_TRUE(ReadsAsHello(Datagram("udp_direct_connect", body)));
  EXPECT_TRUE(ReadsAsOk(Datagram("uDp_CoNn_Ok", Serialized(OkEntries(kOwnCtrl)))));
}

TEST(HostileUdpDirectHelloRead, LengthFieldsThatLieAreRefused) {
  const Bytes body = Serialized(HelloEntries());
  const uint32_t real = static_cast<uint32_t>(body.size());
  for (const bool hello : {true, false}) {
    const char* text = hello ? udp::kHelloText : udp::kOkReplyText;
    for (const uint32_t length : {0u, real + 1, real + 1000, 0x80000000u, 0xffffffffu}) {
      SCOPED_TRACE(std::string(text) + " length field " + std::to_string(length));
      const Bytes d = Datagram(text, body, length);
      EXPECT_FALSE(ReadsAsHello(d));
      EXPECT_FALSE(ReadsAsOk(d));
    }
    // A header and a length field with nothing behind them.
    for (const uint32_t length : {0u, 1u, 0xffffffffu}) {
      const Bytes d = Datagram(text, {}, length);
      EXPECT_FALSE(ReadsAsHello(d));
      EXPECT_FALSE(ReadsAsOk(d));
    }
    // Bytes after the body are ignored.
    Bytes tail = Datagram(text, body);
    tail.insert(tail.end(), 100, 0xee);
    EXPECT_EQ(ReadsAsHello(tail), hello);
    EXPECT_EQ(ReadsAsOk(tail), !hello);
  }
}

TEST(HostileUdpDirectHelloRead, GarbageBodiesAreRefused) {
  const Bytes valid = Serialized(HelloEntries());
  std::vector<Bytes> bodies = {
      Bytes(1, 0),
      Bytes(4, 0),
      Bytes(4, 0xff),
      Bytes(64, 0xff),
      Bytes(64, 0x00),
      {0x10, 0, 0, 0, 1, 2, 3},                 // a raw length of 16 and three bytes
      {0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0, 0},  // a raw length of 2^31 - 1
  };
  // The valid body with a lying raw length and the valid body cut in its coded part.
  Bytes bigRaw = valid;
  bigRaw[0] = bigRaw[1] = bigRaw[2] = 0xff;
  bodies.push_back(bigRaw);
  for (size_t n = 1; n < valid.size(); n += 3) bodies.push_back(Cut(valid, n));
  uint32_t seed = 12345;
  for (int i = 0; i < 50; ++i) {
    Bytes noise(1 + i * 7);
    for (uint8_t& b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    bodies.push_back(noise);
  }
  for (const Bytes& body : bodies) {
    SCOPED_TRACE("body of " + std::to_string(body.size()) + " bytes");
    // Whatever such a body yields, it has no "CtrlNum" and so is never a valid message.
    EXPECT_FALSE(ReadsAsHello(Datagram(udp::kHelloText, body)));
    EXPECT_FALSE(ReadsAsOk(Datagram(udp::kOkReplyText, body)));
  }
}

TEST(HostileUdpDirectHelloRead, MissingDoubledAndMistypedKeys) {
  struct Case {
    const char* what;
    Entries entries;
    bool hello;  // valid as a hello
    bool ok;     // valid as an OK reply
  };
  const Entries all = HelloEntries();
  Entries ctrlTwice = all;
  ctrlTwice.push_back(HostInt("CtrlNum", 1));
  Entries ctrlStringFirst = all;
  ctrlStringFirst.insert(ctrlStringFirst.begin(), Str("CtrlNum", "7"));
  const Case cases[] = {
      {"all keys", all, true, true},
      {"no CtrlNum", Without(all, "CtrlNum"), false, false},
      {"CtrlNum as a string", With(all, Str("CtrlNum", "-99")), false, false},
      {"CtrlNum as a 64-bit integer",
       With(all, Raw("CtrlNum", HX_CNT_INT64_VT, Bytes(8, 0))), false, false},
      {"CtrlNum twice", ctrlTwice, true, true},
      {"a string CtrlNum before the integer one", ctrlStringFirst, true, true},
      {"CtrlNum in odd case", Plus(Without(all, "CtrlNum"), HostInt("cTRLnUM", 31)), true, true},
      {"CtrlNum under a longer name", Plus(Without(all, "CtrlNum"), HostInt("CtrlNumber", 1)),
       false, false},
      {"no ConferenceName", Without(all, "ConferenceName"), false, true},
      {"no participantName", Without(all, "participantName"), false, true},
      {"no connectedParticipantName", Without(all, "connectedParticipantName"), false, true},
      {"empty ConferenceName", With(all, Str("ConferenceName", "")), false, true},
      {"ConferenceName as a binary",
       With(all, Raw("ConferenceName", HX_CNT_BINARY_VT, {'s', 'i', 'd'})), false, true},
      {"participantName as an integer", With(all, HostInt("participantName", 5)), false, true},
      {"only CtrlNum", {HostInt("CtrlNum", 3)}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadsAsHello(Hello(c.entries)), c.hello);
    EXPECT_EQ(ReadsAsOk(Ok(c.entries)), c.ok);
  }
  // The first integer "CtrlNum" wins, the name is matched without regard to case.
  udp::HelloRequestData data;
  ASSERT_TRUE(ReadsAsHello(Hello(ctrlTwice), &data));
  EXPECT_EQ(data.controlNumber, kPeerCtrl);
  ASSERT_TRUE(ReadsAsHello(Hello(ctrlStringFirst), &data));
  EXPECT_EQ(data.controlNumber, kPeerCtrl);
  ASSERT_TRUE(ReadsAsHello(Hello(Plus(Without(all, "CtrlNum"), HostInt("cTRLnUM", 31))), &data));
  EXPECT_EQ(data.controlNumber, 31);
  // A doubled version or endpoint: the first entry of the type counts, even when it is the worse.
  udp::HelloRequestData doubled;
  Entries versions = Without(all, "HandshakeVersion");
  versions.insert(versions.begin(), Raw("HandshakeVersion", HX_CNT_INTEGER_VT, kV0));
  versions.push_back(Raw("handshakeversion", HX_CNT_INTEGER_VT, kV1));
  ASSERT_TRUE(ReadsAsHello(Hello(versions), &doubled));
  EXPECT_EQ(doubled.version, 0);
  EXPECT_EQ(doubled.sendTime, 0u);
  udp::HelloRequestData endpoints;
  Entries eps = Without(all, "LocalIntEp");
  eps.insert(eps.begin(), Raw("LocalIntEp", HX_CNT_BINARY_VT, Bytes(9, 0xff)));
  eps.push_back(Raw("LocalIntEp", HX_CNT_BINARY_VT, AddressForm(kPeerLocal)));
  ASSERT_TRUE(ReadsAsHello(Hello(eps), &endpoints));
  EXPECT_TRUE(IsEmptyAddress(endpoints.localIntEp)) << endpoints.localIntEp.strBind();
}

TEST(HostileUdpDirectHelloRead, VersionBytesDecideWhatElseIsRead) {
  struct Case {
    const char* what;
    std::optional<Entry> version;  // none: the key is left out
    int32_t expected;
  };
  const Case cases[] = {
      {"00 00 00 01", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, kV1), 1},
      {"00 00 00 07", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, {0, 0, 0, 7}), 1},
      {"7f ff ff ff", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, {0x7f, 0xff, 0xff, 0xff}), 1},
      {"01 00 00 00, host order by mistake",
       Raw("HandshakeVersion", HX_CNT_INTEGER_VT, {1, 0, 0, 0}), 1},
      {"00 00 00 00", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, kV0), 0},
      {"ff ff ff ff", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, {0xff, 0xff, 0xff, 0xff}), -1},
      {"80 00 00 00", Raw("HandshakeVersion", HX_CNT_INTEGER_VT, {0x80, 0, 0, 0}),
       std::numeric_limits<int32_t>::min()},
      {"missing", std::nullopt, 0},
      {"as a 64-bit integer", Raw("HandshakeVersion", HX_CNT_INT64_VT, BigEndian64(1)), 0},
      {"as a string", Str("HandshakeVersion", "1"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Entries entries = Without(HelloEntries(), "HandshakeVersion");
    if (c.version) entries.insert(entries.begin() + 3, *c.version);
    for (const bool hello : {true, false}) {
      udp::ReplyData data;
      Entries body = entries;
      if (!hello) body.push_back(Raw("RetBackTime", HX_CNT_INT64_VT, BigEndian64(4242)));
      data.source = kPeerSeen;
      const bool read = hello ? ReadsAsHello(Hello(body), &data) : ReadsAsOk(Ok(body), &data);
      ASSERT_TRUE(read);
      EXPECT_EQ(data.version, c.expected);
      EXPECT_EQ(data.controlNumber, kPeerCtrl);
      EXPECT_EQ(data.participantName, "bob");
      if (c.expected > 0) {
        EXPECT_EQ(data.sendTime, 12345u);
        EXPECT_TRUE(SameAddress(data.localIntEp, kPeerLocal)) << data.localIntEp.strBind();
        EXPECT_TRUE(SameAddress(data.remoteExtEp, kPeerSeen)) << data.remoteExtEp.strBind();
        if (!hello) EXPECT_EQ(data.retBackTime, 4242u);
      } else {
        // Nothing beyond the names and the control number is read from an old peer.
        EXPECT_EQ(data.sendTime, 0u);
        EXPECT_TRUE(IsEmptyAddress(data.localIntEp)) << data.localIntEp.strBind();
        EXPECT_TRUE(IsEmptyAddress(data.remoteExtEp)) << data.remoteExtEp.strBind();
        if (!hello) EXPECT_EQ(data.retBackTime, 0u);
      }
      // The source comes from the datagram, never from the body.
      EXPECT_TRUE(SameAddress(data.source, kPeerSeen));
    }
  }
}

TEST(HostileUdpDirectHelloRead, TimesAndAddressesThatAreMissingMistypedOrOversized) {
  Bytes padded = AddressForm(kPeerLocal);
  const Bytes good = padded;
  padded.resize(51, 0);  // a valid form followed by padding up to one byte over the limit
  Bytes lyingLength = good;
  lyingLength[0] = 21;  // claims the IPv6 size over IPv4 bytes
  Bytes oddProtocol = good;
  oddProtocol[2] = 9;
  struct Case {
    const char* what;
    Entry entry;
    bool present;
  };
  const Case cases[] = {
      {"valid", Raw("LocalIntEp", HX_CNT_BINARY_VT, good), true},
      {"51 bytes", Raw("LocalIntEp", HX_CNT_BINARY_VT, padded), false},
      {"a kilobyte", Raw("LocalIntEp", HX_CNT_BINARY_VT, Bytes(1024, 9)), false},
      {"empty", Raw("LocalIntEp", HX_CNT_BINARY_VT, {}), false},
      {"one byte", Raw("LocalIntEp", HX_CNT_BINARY_VT, {9}), false},
      {"cut by a byte", Raw("LocalIntEp", HX_CNT_BINARY_VT, Cut(good, good.size() - 1)), false},
      {"length byte says 21", Raw("LocalIntEp", HX_CNT_BINARY_VT, lyingLength), false},
      {"all 0xff", Raw("LocalIntEp", HX_CNT_BINARY_VT, Bytes(21, 0xff)), false},
      {"as a string", Str("LocalIntEp", "10.1.2.3:40000"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    udp::HelloRequestData data;
    ASSERT_TRUE(ReadsAsHello(Hello(With(HelloEntries(), c.entry)), &data));
    EXPECT_EQ(IsEmptyAddress(data.localIntEp), !c.present) << data.localIntEp.strBind();
    if (c.present) EXPECT_TRUE(SameAddress(data.localIntEp, kPeerLocal));
    // The other endpoint is not disturbed by a bad neighbour.
    EXPECT_TRUE(SameAddress(data.remoteExtEp, kPeerSeen));
  }
  // An IPv6 endpoint is read as well.
  const HXSockAddr v6 = Udp("2001:db8::5", "1234");
  udp::HelloRequestData data;
  ASSERT_TRUE(ReadsAsHello(
      Hello(With(HelloEntries(), Raw("RemoteExtEp", HX_CNT_BINARY_VT, AddressForm(v6)))), &data));
  EXPECT_TRUE(SameAddress(data.remoteExtEp, v6)) << data.remoteExtEp.strBind();

  // Times: missing or mistyped read as 0; the extremes survive the byte order.
  struct TimeCase {
    const char* what;
    std::optional<Entry> entry;
    uint64_t expected;
  };
  const TimeCase times[] = {
      {"missing", std::nullopt, 0},
      {"as a 32-bit integer", HostInt("SendTime", 12345), 0},
      {"as a binary", Raw("SendTime", HX_CNT_BINARY_VT, BigEndian64(12345)), 0},
      {"all bits", Raw("SendTime", HX_CNT_INT64_VT, BigEndian64(UINT64_MAX)), UINT64_MAX},
      {"top bit", Raw("SendTime", HX_CNT_INT64_VT, BigEndian64(1ull << 63)), 1ull << 63},
      {"0x0102030405060708", Raw("SendTime", HX_CNT_INT64_VT, BigEndian64(0x0102030405060708)),
       0x0102030405060708},
  };
  for (const TimeCase& t : times) {
    SCOPED_TRACE(t.what);
    Entries entries = Without(HelloEntries(), "SendTime");
    if (t.entry) entries.push_back(*t.entry);
    udp::HelloRequestData hello;
    ASSERT_TRUE(ReadsAsHello(Hello(entries), &hello));
    EXPECT_EQ(hello.sendTime, t.expected);
    udp::ReplyData reply;
    // The same bytes under "RetBackTime" in a reply.
    Entries okEntries = OkEntries(kOwnCtrl);
    if (t.entry) {
      Entry echo = *t.entry;
      echo.name = "RetBackTime";
      okEntries.push_back(echo);
    }
    ASSERT_TRUE(ReadsAsOk(Ok(okEntries), &reply));
    EXPECT_EQ(reply.retBackTime, t.expected);
  }
}

TEST(HostileUdpDirectHelloRead, ControlNumbersAndLongNamesSurviveTheRoundTrip) {
  for (const int32_t ctrl : {std::numeric_limits<int32_t>::min(), -1, 0, 1,
                             std::numeric_limits<int32_t>::max()}) {
    udp::HelloRequestData hello;
    ASSERT_TRUE(ReadsAsHello(Hello(HelloEntries(kV1, 1, ctrl)), &hello));
    EXPECT_EQ(hello.controlNumber, ctrl);
    udp::ReplyData reply;
    ASSERT_TRUE(ReadsAsOk(Ok(OkEntries(ctrl)), &reply));
    EXPECT_EQ(reply.controlNumber, ctrl);
  }
  const std::string longName(8000, 'n');
  udp::HelloRequestData hello;
  ASSERT_TRUE(ReadsAsHello(Hello(With(HelloEntries(), Str("participantName", longName))), &hello));
  EXPECT_EQ(hello.participantName, longName);
}

// --- The handshake helper against a hostile peer.

// The handler's queued requests, in order.
class RecordingHandler : public UdpDirectHandshakeHandler {
 public:
  explicit RecordingHandler(Calls& calls) : calls_(calls) {}
  uint32_t getSocketId() const override { return socketId; }
  void setSendStateAsync(bool on) override { calls_.push_back(on ? "h send on" : "h send off"); }
  void startTimer(uint32_t type, uint64_t ms) override {
    calls_.push_back("h timer " + std::to_string(type) + " " + std::to_string(ms));
  }
  void stopTimer(uint32_t type) override { calls_.push_back("h stop " + std::to_string(type)); }
  void changeSocket(uint32_t id, const HXSockAddr& address) override {
    calls_.push_back("h move " + std::to_string(id) + " " + address.strBind());
  }
  uint32_t socketId = 1;

 private:
  Calls& calls_;
};

// The listener socket during a callback: records what is sent and asked for; takes whole
// datagrams unless told to take fewer bytes.
class RecordingSocket : public UdpDirectHandshakeSocket {
 public:
  RecordingSocket(Calls& calls, uint32_t id, HXSockAddr bound)
      : calls_(calls), id_(id), bound_(std::move(bound)) {}
  uint32_t getSocketId() const override { return id_; }
  HXSockAddr getBoundAddress() const override { return bound_; }
  size_t sendTo(const void* data, size_t size, const HXSockAddr& to) override {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    sent.push_back(Bytes(bytes, bytes + size));
    destinations.push_back(to);
    return shortBy > size ? 0 : size - shortBy;
  }
  void setSendState(bool on) override { calls_.push_back(on ? "s send on" : "s send off"); }
  void startTimer(uint32_t type, uint64_t ms) override {
    calls_.push_back("s timer " + std::to_string(type) + " " + std::to_string(ms));
  }
  bool assocFromAddr(const HXSockAddr& address) override {
    calls_.push_back("s assoc " + address.strBind());
    return true;
  }

  std::vector<Bytes> sent;
  std::vector<HXSockAddr> destinations;
  size_t shortBy = 0;  // bytes the socket leaves unsent

 private:
  Calls& calls_;
  uint32_t id_;
  HXSockAddr bound_;
};

// The keys of a datagram we sent, in order, with the body's container.
struct Sent {
  bool hello = false;
  std::vector<std::string> keys;
  HX_Container body;
};
Sent Parse(const Bytes& datagram) {
  Sent out;
  out.hello = udp::isUdpDCHelloHeader(datagram.data(), datagram.size());
  const size_t header = out.hello ? udp::kHelloHeaderSize : udp::kOkReplyHeaderSize;
  EXPECT_GE(datagram.size(), header + 4);
  if (datagram.size() < header + 4) return out;
  uint32_t length;
  std::memcpy(&length, datagram.data() + header, 4);
  EXPECT_EQ(le32toh(length), datagram.size() - header - 4);
  EXPECT_TRUE(out.body.Deserialize(datagram.data() + header + 4, datagram.size() - header - 4));
  out.body.Reset();
  while (out.body.Next()) out.keys.push_back(out.body.GetName());
  return out;
}

const std::vector<std::string> kCommonKeys = {
    "ConferenceName", "participantName", "connectedParticipantName", "HandshakeVersion",
    "SendTime",       "LocalIntEp",      "RemoteExtEp"};

class HostileUdpDirectHandshakeTest : public ::testing::Test {
 protected:
  HostileUdpDirectHandshakeTest() : helper_(Connection(), kOwnCtrl) {
    helper_.setTickSource([this] { return tick_; });
  }

  static udp::TrialDirectConnection Connection() {
    udp::TrialDirectConnection connection;
    connection.epn = 3;
    connection.local = kLocal;
    connection.remote = kPeerLocal;  // the peer's own address: no NAT between us
    connection.peerName = "Bob";
    connection.socketId = 1;
    connection.rtt = 55;
    connection.confInfo = std::make_shared<udp::ConferenceInfo>();
    connection.confInfo->ownName = "alice";
    connection.confInfo->conferenceName = "sid-1";
    return connection;
  }

  // Peer datagrams come from the peer's own address unless said otherwise.
  void Deliver(const Bytes& datagram, const HXSockAddr& source = kPeerLocal) {
    const Bytes exact = datagram;  // a buffer of exactly the datagram's size
    helper_.onRecvMsg(handler_, socket_, {exact.data(), exact.size(), source, kLocal});
  }
  void ReadySend() { helper_.onReadySend(handler_, socket_); }
  void At(uint64_t tick) { tick_ = tick; }
  bool Called(const std::string& call) const {
    return std::find(calls_.begin(), calls_.end(), call) != calls_.end();
  }
  // The ms of the last start of timer `type`, by the handler or on the socket.
  std::optional<uint64_t> LastTimer(uint32_t type) const {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      for (const char* who : {"h timer ", "s timer "}) {
        const std::string prefix = who + std::to_string(type) + " ";
        if (it->rfind(prefix, 0) == 0) return std::stoull(it->substr(prefix.size()));
      }
    }
    return std::nullopt;
  }

  // Handshake started at `tick`, first hello sent.
  void StartAndSendHello(uint64_t tick = 1000) {
    At(tick);
    helper_.startHandshake(handler_);
    ReadySend();
    ASSERT_EQ(socket_.sent.size(), 1u);
    ASSERT_TRUE(Parse(socket_.sent.back()).hello);
    calls_.clear();
  }

  static inline const HXSockAddr kLocal = Udp("192.0.2.1", "5000");
  uint64_t tick_ = 0;
  Calls calls_;
  RecordingHandler handler_{calls_};
  RecordingSocket socket_{calls_, 1, kLocal};
  UdpDirectHandshakeHelper helper_;
};

TEST_F(HostileUdpDirectHandshakeTest, ConstructionForgetsTheRoundTripAndHasNoPeerVersion) {
  EXPECT_EQ(helper_.getConnection().rtt, 0u);
  EXPECT_EQ(helper_.getPeerVersion(), -1);
  EXPECT_EQ(helper_.getState(), State::kCreated);
  EXPECT_TRUE(SameAddress(helper_.getConnection().localNat, kLocal));
  EXPECT_TRUE(SameAddress(helper_.getConnection().remoteNat, kPeerLocal));
  // Timers that fire before anything was armed are ignored.
  for (const uint32_t type : {0u, 1u, 2u, 3u, UINT32_MAX}) helper_.onTimer(handler_, type);
  EXPECT_TRUE(calls_.empty());
  ReadySend();  // nothing due: nothing sent
  EXPECT_TRUE(socket_.sent.empty());
}

TEST_F(HostileUdpDirectHandshakeTest, HelloDatagramsFromAStrangerChangeNothing) {
  StartAndSendHello();
  const Bytes hello = Hello(HelloEntries());
  std::vector<Bytes> rubbish = {
      Hello(With(HelloEntries(), Str("ConferenceName", "sid-2"))),
      Hello(With(HelloEntries(), Str("ConferenceName", "sid-1 "))),
      Hello(With(HelloEntries(), Str("participantName", "mallory"))),
      Hello(With(HelloEntries(), Str("participantName", "Bobby"))),
      Hello(With(HelloEntries(), Str("connectedParticipantName", "carol"))),
      Hello(With(HelloEntries(), Str("connectedParticipantName", "alic"))),
      Hello(Without(HelloEntries(), "CtrlNum")),
      Datagram(udp::kHelloText, Serialized(HelloEntries()), 0xffffffffu),
      Bytes(),
      Bytes(40, 0),
  };
  for (size_t n = 0; n < hello.size(); ++n) rubbish.push_back(Cut(hello, n));
  for (const Bytes& d : rubbish) Deliver(d);
  EXPECT_FALSE(helper_.isHelloAccepted());
  EXPECT_EQ(helper_.getPeerVersion(), -1);
  EXPECT_TRUE(calls_.empty()) << calls_.front();
  EXPECT_EQ(socket_.sent.size(), 1u);
  // The very same hello, whole and from the same place, is accepted.
  Deliver(hello);
  EXPECT_TRUE(helper_.isHelloAccepted());
  EXPECT_TRUE(Called("s send on"));
}

TEST_F(HostileUdpDirectHandshakeTest, OkRepliesOutOfTurnOrWithAnotherControlNumberAreDropped) {
  // Before any hello was sent, even the right control number is not taken.
  helper_.startHandshake(handler_);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  EXPECT_FALSE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getOkRepliesAccepted(), 0u);
  calls_.clear();
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 1u);
  calls_.clear();
  for (const int32_t ctrl : {kOwnCtrl + 1, -kOwnCtrl, 0, kPeerCtrl,
                             std::numeric_limits<int32_t>::min(), kOwnCtrl << 8}) {
    SCOPED_TRACE(ctrl);
    Deliver(Ok(OkEntries(ctrl)));
    Deliver(Ok(OkEntries(ctrl, {})));
  }
  // The right control number in a datagram cut short or with a lying length is no reply either.
  const Bytes ok = Ok(OkEntries(kOwnCtrl));
  for (size_t n = 0; n < ok.size(); ++n) Deliver(Cut(ok, n));
  Deliver(Datagram(udp::kOkReplyText, Serialized(OkEntries(kOwnCtrl)), 0x80000000u));
  EXPECT_FALSE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getOkRepliesAccepted(), 0u);
  EXPECT_EQ(helper_.getPeerVersion(), -1);
  EXPECT_EQ(helper_.getConnection().rtt, 0u);
  EXPECT_TRUE(calls_.empty()) << calls_.front();
  // Hellos go on: the resend timer still makes the next one due.
  At(1300);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_TRUE(Called("h send on"));
  ReadySend();
  EXPECT_EQ(socket_.sent.size(), 2u);
}

TEST_F(HostileUdpDirectHandshakeTest, AFloodOfHellosIsAnsweredOncePerChanceToSend) {
  StartAndSendHello();
  At(1100);
  for (int i = 0; i < 200; ++i) Deliver(Hello(HelloEntries(kV1, 5000 + i)));
  EXPECT_TRUE(helper_.isHelloAccepted());
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 2u);
  const Sent answer = Parse(socket_.sent.back());
  EXPECT_FALSE(answer.hello);
  // The answer echoes the last hello's send time.
  uint64_t echoed = 0;
  size_t size = 8;
  ASSERT_TRUE(answer.body.GetValue("RetBackTime", HX_CNT_INT64_VT, &echoed, size));
  EXPECT_EQ(be64toh(echoed), 5199u);
  // Nothing is due any more: the next chance to send sends nothing.
  ReadySend();
  EXPECT_EQ(socket_.sent.size(), 2u);
}

TEST_F(HostileUdpDirectHandshakeTest, RepliesFollowThePeerVersionBothWays) {
  // A version-0 hello, then a version-1 one, then version 0 again: each answer fits the last.
  struct Step {
    Bytes version;
    uint64_t sendTime;
    std::vector<std::string> keys;
  };
  std::vector<std::string> v1Keys = {"CtrlNum"};
  v1Keys.insert(v1Keys.end(), kCommonKeys.begin(), kCommonKeys.end());
  std::vector<std::string> v1KeysEcho = v1Keys;
  v1KeysEcho.push_back("RetBackTime");
  const Step steps[] = {
      {kV0, 0, {"CtrlNum"}},
      {kV1, 9000, v1KeysEcho},
      {kV0, 0, {"CtrlNum"}},
      {{0, 0, 0, 9}, 0, v1Keys},  // no send time to echo
      {{0xff, 0xff, 0xff, 0xff}, 0, {"CtrlNum"}},
  };
  StartAndSendHello();
  for (const Step& step : steps) {
    SCOPED_TRACE(socket_.sent.size());
    Entries entries = HelloEntries(step.version, step.sendTime);
    if (step.sendTime == 0) entries = Without(entries, "SendTime");
    Deliver(Hello(entries));
    ASSERT_TRUE(helper_.isHelloAccepted());
    ReadySend();
    const Sent answer = Parse(socket_.sent.back());
    EXPECT_FALSE(answer.hello);
    EXPECT_EQ(answer.keys, step.keys);
    int32_t ctrl = 0;
    size_t size = 4;
    ASSERT_TRUE(answer.body.GetValue("CtrlNum", HX_CNT_INTEGER_VT, &ctrl, size));
    EXPECT_EQ(ctrl, kPeerCtrl);  // host order
  }
}

TEST_F(HostileUdpDirectHandshakeTest, Version1EndFollowsTheEchoedSendTimeOnlyWhenItIsInThePast) {
  // Our hello at 1000, the peer's hello at 1100, our answer at 1110, its OK at 1200.
  struct Case {
    const char* what;
    uint64_t retBackTime;
    uint64_t endInMs;  // after 1200: 1110 + 3 x R + 300 - 1200
  };
  const Case cases[] = {
      {"no echo", 0, 510},
      {"echo of our hello", 1000, 1110 + 600 + 300 - 1200},
      {"echo of now", 1200, 510},
      {"echo from the future", 5000, 510},
      {"echo of all bits", UINT64_MAX, 510},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    calls_.clear();
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket_);
    At(1100);
    Bytes hello = Hello(HelloEntries());
    helper.onRecvMsg(handler_, socket_, {hello.data(), hello.size(), kPeerLocal, kLocal});
    At(1110);
    helper.onReadySend(handler_, socket_);
    At(1200);
    Bytes ok = Ok(OkEntries(kOwnCtrl, kV1, 777, c.retBackTime));
    helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), kPeerLocal, kLocal});
    EXPECT_TRUE(helper.isOkReplyAccepted());
    EXPECT_EQ(helper.getState(), State::kRunning);
    EXPECT_EQ(LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer), c.endInMs);
  }
}

TEST_F(HostileUdpDirectHandshakeTest, ConversationEndTimerEarlyLateAndWithTheClockGoneBack) {
  // Both messages accepted at 1200 with the end at 1710.
  struct Case {
    uint64_t now;
    std::optional<uint64_t> restartMs;  // none: the handshake is done
  };
  const Case cases[] = {{1710, std::nullopt}, {1690, std::nullopt}, {1680, 30},
                        {99999, std::nullopt}, {200, 1510},         {0, 1710}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket_);
    At(1100);
    const Bytes hello = Hello(HelloEntries());
    helper.onRecvMsg(handler_, socket_, {hello.data(), hello.size(), kPeerLocal, kLocal});
    At(1110);
    helper.onReadySend(handler_, socket_);
    At(1200);
    const Bytes ok = Ok(OkEntries(kOwnCtrl));
    helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), kPeerLocal, kLocal});
    ASSERT_EQ(LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer), 510u);
    calls_.clear();
    At(c.now);
    helper.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
    if (c.restartMs) {
      EXPECT_EQ(calls_, Calls{"h timer 2 " + std::to_string(*c.restartMs)});
      EXPECT_EQ(helper.getState(), State::kRunning);
    } else {
      EXPECT_EQ(helper.getState(), State::kDone);
      // Fired once more, it finds nothing armed.
      calls_.clear();
      helper.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
      EXPECT_TRUE(calls_.empty()) << calls_.front();
    }
  }
}

TEST_F(HostileUdpDirectHandshakeTest, AnEndWithin25MsOfTheOkIsReachedAtOnce) {
  // Our answer leaves at 1110, so the end lies at 1710; the peer's OK comes just before it.
  struct Case {
    uint64_t okAt;
    std::optional<uint64_t> timerMs;  // none: done at once
  };
  const Case cases[] = {{1684, 26}, {1685, std::nullopt}, {1709, std::nullopt},
                        {1710, std::nullopt}, {5000, std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.okAt);
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    calls_.clear();
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket_);
    At(1100);
    const Bytes hello = Hello(HelloEntries());
    helper.onRecvMsg(handler_, socket_, {hello.data(), hello.size(), kPeerLocal, kLocal});
    At(1110);
    helper.onReadySend(handler_, socket_);
    At(c.okAt);
    const Bytes ok = Ok(OkEntries(kOwnCtrl));
    helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), kPeerLocal, kLocal});
    EXPECT_EQ(LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer), c.timerMs);
    EXPECT_EQ(helper.getState(), c.timerMs ? State::kRunning : State::kDone);
  }
}

TEST_F(HostileUdpDirectHandshakeTest, OneDatagramPerChanceToSendTheAnswerFirst) {
  At(1000);
  helper_.startHandshake(handler_);
  Deliver(Hello(HelloEntries()));  // answer and first hello both due
  calls_.clear();
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 1u);
  EXPECT_FALSE(Parse(socket_.sent[0]).hello);
  EXPECT_FALSE(Called("s send off"));  // the hello is still due
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 2u);
  EXPECT_TRUE(Parse(socket_.sent[1]).hello);
  EXPECT_TRUE(Called("s send off"));
  ReadySend();
  EXPECT_EQ(socket_.sent.size(), 2u);
}

TEST_F(HostileUdpDirectHandshakeTest, OldPeerRoundTripIsNotSampledWhenTheClockWentBack) {
  struct Case {
    int hellos;  // sent at 1000, 1300, 1600, ...
    uint64_t okAt;
    uint64_t rtt;
  };
  const Case cases[] = {
      {1, 900, 0}, {1, 1000, 0}, {1, 1001, 1}, {3, 1100, 0}, {3, 1600, 0}, {3, 1700, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.hellos) + " hellos, OK at " + std::to_string(c.okAt));
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket_);
    for (int i = 1; i < c.hellos; ++i) {
      At(1000 + 300 * i);
      helper.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
      helper.onReadySend(handler_, socket_);
    }
    ASSERT_EQ(helper.getHellosSent(), static_cast<uint32_t>(c.hellos));
    At(c.okAt);
    const Bytes ok = Ok(OkEntries(kOwnCtrl, {}));
    helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), kPeerLocal, kLocal});
    ASSERT_TRUE(helper.isOkReplyAccepted());
    EXPECT_EQ(helper.getPeerVersion(), 0);
    EXPECT_EQ(helper.getConnection().rtt, c.rtt);
  }
}

TEST_F(HostileUdpDirectHandshakeTest, OnlyAVersion0PeerIsCutOffAtTheFifthOk) {
  for (const bool v0 : {true, false}) {
    SCOPED_TRACE(v0 ? "version 0" : "version 1");
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket_);
    Bytes hello = Hello(v0 ? Without(HelloEntries(), "HandshakeVersion") : HelloEntries());
    helper.onRecvMsg(handler_, socket_, {hello.data(), hello.size(), kPeerLocal, kLocal});
    helper.onReadySend(handler_, socket_);
    const Bytes ok = Ok(v0 ? OkEntries(kOwnCtrl, {}) : OkEntries(kOwnCtrl));
    for (uint32_t n = 1; n <= 12; ++n) {
      At(1000 + n);
      helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), kPeerLocal, kLocal});
      const bool over = v0 && n >= 5;
      if (!over || n == 5) EXPECT_EQ(helper.getOkRepliesAccepted(), n);
      EXPECT_EQ(helper.getState(), over ? State::kDone : State::kRunning) << n;
    }
  }
}

TEST_F(HostileUdpDirectHandshakeTest, MessagesAfterTheEndDoNotRestartTheHandshake) {
  StartAndSendHello();
  Deliver(Hello(HelloEntries()));
  ReadySend();
  At(1200);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  const std::optional<uint64_t> end = LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer);
  ASSERT_TRUE(end.has_value());
  At(1200 + *end);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
  ASSERT_EQ(helper_.getState(), State::kDone);
  EXPECT_TRUE(Called("h stop 1"));
  EXPECT_TRUE(Called("h stop 2"));
  EXPECT_TRUE(Called("h send off"));
  // Late OKs, late timers: the state stays done and the timers stay off.
  calls_.clear();
  for (int i = 0; i < 10; ++i) Deliver(Ok(OkEntries(kOwnCtrl)));
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_EQ(helper_.getState(), State::kDone);
  EXPECT_FALSE(LastTimer(UdpDirectHandshakeHelper::kHelloTimer).has_value());
  EXPECT_FALSE(Called("h send on"));
}

TEST_F(HostileUdpDirectHandshakeTest, HelloTimerEarlyLateAndWithTheClockGoneBack) {
  // The hello sent at 1000 is due again at 1300.
  struct Case {
    uint64_t now;
    std::optional<uint64_t> restartMs;  // none: the hello becomes due
  };
  const Case cases[] = {
      {1300, std::nullopt}, {1280, std::nullopt}, {1275, std::nullopt}, {1274, 26},
      {1270, 30},           {9000, std::nullopt}, {100, 1200},          {0, 1300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
    helper.setTickSource([this] { return tick_; });
    RecordingSocket socket(calls_, 1, kLocal);
    At(1000);
    helper.startHandshake(handler_);
    helper.onReadySend(handler_, socket);
    calls_.clear();
    At(c.now);
    helper.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
    if (c.restartMs) {
      EXPECT_EQ(calls_, Calls{"h timer 1 " + std::to_string(*c.restartMs)});
      helper.onReadySend(handler_, socket);
      EXPECT_EQ(socket.sent.size(), 1u);  // not due: nothing sent
    } else {
      EXPECT_EQ(calls_, Calls{"h send on"});
      helper.onReadySend(handler_, socket);
      ASSERT_EQ(socket.sent.size(), 2u);
      EXPECT_TRUE(Parse(socket.sent.back()).hello);
      EXPECT_EQ(helper.getHellosSent(), 2u);
    }
    // The conversation-end timer is not armed: firing it does nothing.
    calls_.clear();
    helper.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(helper.getState(), State::kRunning);
  }
}

TEST_F(HostileUdpDirectHandshakeTest, LateOkFromAnOldPeerEndsAtOnceInsteadOfInTheFarFuture) {
  // Our only hello leaves at 5, the old peer's hello starts the conversation at 10, and its OK
  // comes 13 s later (the resend timer never fired): R = 12995 ms, so the end
  // (10 - R / 2 + 6000) lies long in the past.
  At(5);
  helper_.startHandshake(handler_);
  ReadySend();
  At(10);
  Deliver(Hello(Without(HelloEntries(), "HandshakeVersion")));
  ReadySend();
  At(13000);
  Deliver(Ok(OkEntries(kOwnCtrl, {})));
  EXPECT_TRUE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getState(), State::kDone);
  const std::optional<uint64_t> end = LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer);
  EXPECT_FALSE(end.has_value()) << *end;
}

TEST_F(HostileUdpDirectHandshakeTest, ASendTakenInPartEndsTheHandshake) {
  for (const size_t shortBy : {size_t{1}, size_t{4}, SIZE_MAX}) {
    SCOPED_TRACE(shortBy);
    for (const bool answering : {false, true}) {
      UdpDirectHandshakeHelper helper(Connection(), kOwnCtrl);
      helper.setTickSource([this] { return tick_; });
      RecordingSocket socket(calls_, 1, kLocal);
      At(1000);
      helper.startHandshake(handler_);
      if (answering) {
        helper.onReadySend(handler_, socket);
        Bytes hello = Hello(HelloEntries());
        helper.onRecvMsg(handler_, socket, {hello.data(), hello.size(), kPeerLocal, kLocal});
      }
      calls_.clear();
      socket.shortBy = shortBy;
      helper.onReadySend(handler_, socket);
      // Not running any more, and no hello resend left armed.
      EXPECT_NE(helper.getState(), State::kRunning);
      EXPECT_TRUE(helper.getState() == State::kDone || helper.getState() == State::kFailed);
      EXPECT_TRUE(Called("h stop 1"));
      EXPECT_TRUE(Called("h send off"));
      EXPECT_FALSE(LastTimer(UdpDirectHandshakeHelper::kHelloTimer).has_value());
    }
  }
}

TEST_F(HostileUdpDirectHandshakeTest, HelloWithAForeignLocalEndpointNeverCompletesTheConversation) {
  StartAndSendHello();
  // The peer claims a local endpoint other than the address we send to: its hello is answered
  // but does not count as heard.
  const HXSockAddr other = Udp("10.9.9.9", "1");
  Deliver(Hello(With(HelloEntries(), Raw("LocalIntEp", HX_CNT_BINARY_VT, AddressForm(other)))));
  EXPECT_FALSE(helper_.isHelloAccepted());
  ReadySend();
  At(1200);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  EXPECT_TRUE(helper_.isOkReplyAccepted());
  EXPECT_FALSE(LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer).has_value());
  EXPECT_EQ(helper_.getState(), State::kRunning);
}

TEST_F(HostileUdpDirectHandshakeTest, LinkLocalPeerCompletesThoughItsEndpointCarriesNoScope) {
  // The trial sends to the peer's link-local address on interface 2; the peer's endpoint, as
  // carried in the body, has no scope id, and its datagrams arrive marked with interface 3.
  udp::TrialDirectConnection connection = Connection();
  connection.local = Udp("fe80::1%2", "5000");
  connection.remote = Udp("fe80::5%2", "7000");
  UdpDirectHandshakeHelper helper(std::move(connection), kOwnCtrl);
  helper.setTickSource([this] { return tick_; });
  const HXSockAddr source = Udp("fe80::5%3", "7000");
  const Bytes endpoint = AddressForm(Udp("fe80::5", "7000"));
  At(1000);
  helper.startHandshake(handler_);
  helper.onReadySend(handler_, socket_);
  const Bytes hello =
      Hello(With(HelloEntries(), Raw("LocalIntEp", HX_CNT_BINARY_VT, endpoint)));
  helper.onRecvMsg(handler_, socket_, {hello.data(), hello.size(), source, kLocal});
  EXPECT_TRUE(helper.isHelloAccepted());
  // Later datagrams go where the peer's came from, scope included.
  EXPECT_EQ(helper.getConnection().remote.cmp(source), 0)
      << helper.getConnection().remote.strBind();
  helper.onReadySend(handler_, socket_);
  EXPECT_EQ(socket_.destinations.back().cmp(source), 0);
  At(1200);
  const Bytes ok = Ok(With(OkEntries(kOwnCtrl), Raw("LocalIntEp", HX_CNT_BINARY_VT, endpoint)));
  helper.onRecvMsg(handler_, socket_, {ok.data(), ok.size(), source, kLocal});
  EXPECT_TRUE(helper.isHelloAccepted());
  EXPECT_TRUE(helper.isOkReplyAccepted());
  EXPECT_TRUE(LastTimer(UdpDirectHandshakeHelper::kConversationEndTimer).has_value());
}

TEST_F(HostileUdpDirectHandshakeTest, RoundTripSettersKeepTheSmallerKnownTime) {
  struct Case {
    uint64_t stored;
    uint64_t given;
    uint64_t ext;   // after setExtRtt
    uint64_t save;  // after saveRtt
  };
  const Case cases[] = {
      {0, 50, 0, 50},     {100, 50, 50, 50},           {100, 200, 100, 100},
      {100, 100, 100, 100}, {UINT64_MAX, 1, 1, 1},     {1, UINT64_MAX, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.stored) + " " + std::to_string(c.given));
    helper_.getConnection().rtt = c.stored;
    helper_.setExtRtt(c.given);
    EXPECT_EQ(helper_.getConnection().rtt, c.ext);
    helper_.getConnection().rtt = c.stored;
    helper_.saveRtt(c.given);
    EXPECT_EQ(helper_.getConnection().rtt, c.save);
  }
}

TEST_F(HostileUdpDirectHandshakeTest, HellosFromOutsideTheBindingInTheWrongStateAreRefused) {
  const HXSockAddr stranger = Udp("198.51.100.77", "9999");
  udp::HelloRequestData hello;
  ASSERT_TRUE(ReadsAsHello(Hello(HelloEntries()), &hello));
  hello.source = stranger;
  const Bytes datagram = Hello(HelloEntries());
  const UdpDirectDatagram message{datagram.data(), datagram.size(), stranger, kLocal};
  for (const State state : {State::kRegistered, State::kTied, State::kDone, State::kFailed,
                            State::kMoved}) {
    SCOPED_TRACE(static_cast<int>(state));
    helper_.setState(state);
    EXPECT_FALSE(helper_.applyMsg(handler_, socket_, message, hello));
    EXPECT_EQ(helper_.getState(), state);
  }
  EXPECT_FALSE(helper_.isHelloAccepted());
  EXPECT_TRUE(calls_.empty()) << calls_.front();
  // In state 0 a hello for another name is refused, the right one taken.
  helper_.setState(State::kCreated);
  udp::HelloRequestData wrong = hello;
  wrong.connectedParticipantName = "carol";
  EXPECT_FALSE(helper_.applyMsg(handler_, socket_, message, wrong));
  EXPECT_FALSE(helper_.isHelloAccepted());
  EXPECT_TRUE(helper_.applyMsg(handler_, socket_, message, hello));
  EXPECT_TRUE(helper_.isHelloAccepted());
}

TEST_F(HostileUdpDirectHandshakeTest, HelloOnAnotherSocketMovesOnlyWhenItsEndpointHolds) {
  StartAndSendHello();
  const HXSockAddr stranger = Udp("198.51.100.77", "9999");
  const HXSockAddr otherBound = Udp("192.0.2.2", "5000");
  RecordingSocket other(calls_, 2, otherBound);
  auto Apply = [&](const Entries& entries, RecordingSocket& socket) {
    const Bytes datagram = Hello(entries);
    udp::HelloRequestData hello;
    EXPECT_TRUE(ReadsAsHello(datagram, &hello));
    hello.source = stranger;
    return helper_.applyMsg(handler_, socket,
                            {datagram.data(), datagram.size(), stranger, socket.getBoundAddress()},
                            hello);
  };
  const HXSockAddr foreign = Udp("10.1.2.3", "40001");  // one port off the peer's endpoint
  EXPECT_FALSE(
      Apply(With(HelloEntries(), Raw("LocalIntEp", HX_CNT_BINARY_VT, AddressForm(foreign))),
            other));
  EXPECT_FALSE(Apply(With(HelloEntries(), Str("participantName", "mallory")), other));
  EXPECT_EQ(helper_.getState(), State::kRunning);
  EXPECT_EQ(helper_.getConnection().socketId, 1u);
  EXPECT_TRUE(calls_.empty()) << calls_.front();

  // The same socket as the handler's: the stranger's address is bound, nothing moves.
  EXPECT_FALSE(Apply(HelloEntries(), socket_));
  EXPECT_TRUE(Called("s assoc " + stranger.strBind()));
  EXPECT_EQ(helper_.getState(), State::kRunning);

  // Another socket with the peer's endpoint confirmed: the trial moves there.
  calls_.clear();
  EXPECT_FALSE(Apply(HelloEntries(), other));
  EXPECT_EQ(helper_.getState(), State::kMoved);
  EXPECT_EQ(helper_.getConnection().socketId, 2u);
  EXPECT_TRUE(SameAddress(helper_.getConnection().local, otherBound));
  EXPECT_TRUE(SameAddress(helper_.getConnection().localNat, otherBound));
  EXPECT_TRUE(Called("h move 2 " + stranger.strBind()));
}

TEST_F(HostileUdpDirectHandshakeTest, HelloOnAnotherSocketAfterBothMessagesMovesNothing) {
  StartAndSendHello();
  Deliver(Hello(HelloEntries()));
  ReadySend();
  At(1200);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  ASSERT_TRUE(helper_.isHelloAccepted() && helper_.isOkReplyAccepted());
  calls_.clear();
  const HXSockAddr stranger = Udp("198.51.100.77", "9999");
  RecordingSocket other(calls_, 2, Udp("192.0.2.2", "5000"));
  const Bytes datagram = Hello(HelloEntries());
  udp::HelloRequestData hello;
  ASSERT_TRUE(ReadsAsHello(datagram, &hello));
  hello.source = stranger;
  for (RecordingSocket* socket : {&other, &socket_}) {
    EXPECT_FALSE(helper_.applyMsg(handler_, *socket,
                                  {datagram.data(), datagram.size(), stranger,
                                   socket->getBoundAddress()},
                                  hello));
  }
  EXPECT_EQ(helper_.getState(), State::kRunning);
  EXPECT_EQ(helper_.getConnection().socketId, 1u);
  EXPECT_TRUE(calls_.empty()) << calls_.front();
}

TEST_F(HostileUdpDirectHandshakeTest, RefusedMessagesFromElsewhereDoNotRedirectOurDatagrams) {
  StartAndSendHello();
  const HXSockAddr attacker = Udp("198.51.100.66", "6666");
  Deliver(Hello(With(HelloEntries(), Str("ConferenceName", "sid-2"))), attacker);
  Deliver(Hello(With(HelloEntries(), Str("participantName", "mallory"))), attacker);
  Deliver(Ok(OkEntries(kOwnCtrl + 1)), attacker);
  Deliver(Ok(Without(OkEntries(kOwnCtrl), "CtrlNum")), attacker);
  EXPECT_TRUE(SameAddress(helper_.getConnection().remote, kPeerLocal));
  // The peer's own hello then gets its answer at its own address, and so does the next hello.
  Deliver(Hello(HelloEntries()));
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 2u);
  EXPECT_TRUE(SameAddress(socket_.destinations.back(), kPeerLocal));
  At(1300);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  ReadySend();
  ASSERT_EQ(socket_.sent.size(), 3u);
  EXPECT_TRUE(Parse(socket_.sent.back()).hello);
  EXPECT_TRUE(SameAddress(socket_.destinations.back(), kPeerLocal));
}

TEST_F(HostileUdpDirectHandshakeTest, OurHelloCarriesExtremeControlNumbersAndTicksIntact) {
  struct Case {
    int32_t ctrl;
    uint64_t now;
  };
  const Case cases[] = {{std::numeric_limits<int32_t>::min(), 1},
                        {std::numeric_limits<int32_t>::max(), 0x0102030405060708},
                        {-1, UINT64_MAX - 1},
                        {0, 1ull << 63}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ctrl);
    UdpDirectHandshakeHelper helper(Connection(), c.ctrl);
    HXNetMessage message;
    ASSERT_TRUE(helper.createHelloRequest(message, c.now));
    const Bytes wire(message.buffer(), message.buffer() + message.size());
    const Sent sent = Parse(wire);
    std::vector<std::string> keys = kCommonKeys;
    keys.push_back("CtrlNum");
    EXPECT_EQ(sent.keys, keys);
    uint8_t version[4] = {};
    size_t size = 4;
    ASSERT_TRUE(sent.body.GetValue("HandshakeVersion", HX_CNT_INTEGER_VT, version, size));
    EXPECT_EQ(Bytes(version, version + 4), kV1);
    // Read back as the peer would read it.
    udp::HelloRequestData hello;
    ASSERT_TRUE(ReadsAsHello(wire, &hello));
    EXPECT_EQ(hello.controlNumber, c.ctrl);
    EXPECT_EQ(hello.sendTime, c.now);
    EXPECT_EQ(hello.version, 1);
    EXPECT_TRUE(SameAddress(hello.localIntEp, kLocal));
    EXPECT_TRUE(SameAddress(hello.remoteExtEp, kPeerLocal));
  }
  // Addresses without a serialised form are left out; the hello stays readable.
  udp::TrialDirectConnection bare = Connection();
  bare.local.clear();
  bare.remote.clear();
  UdpDirectHandshakeHelper helper(std::move(bare), kOwnCtrl);
  HXNetMessage message;
  ASSERT_TRUE(helper.createHelloRequest(message, 5));
  const Bytes wire(message.buffer(), message.buffer() + message.size());
  const std::vector<std::string> keys = {"ConferenceName", "participantName",
                                         "connectedParticipantName", "HandshakeVersion",
                                         "SendTime", "CtrlNum"};
  EXPECT_EQ(Parse(wire).keys, keys);
  EXPECT_TRUE(ReadsAsHello(wire));
}

TEST_F(HostileUdpDirectHandshakeTest, DatagramsAreBuiltWhateverTheMessageHeldBefore) {
  // A message that held a long packet, with its read offset moved, and one that views a small
  // buffer of someone else's: each ends up holding exactly the new datagram.
  HXNetMessage used;
  const Bytes junk(5000, 0xab);
  used.append(junk.data(), junk.size());
  used.offset(100);
  uint8_t small[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  HXNetMessage viewing(small, sizeof(small), sizeof(small));
  Deliver(Hello(HelloEntries(kV0)));  // the peer is an old one: the answer is the short form
  for (HXNetMessage* message : {&used, &viewing}) {
    ASSERT_TRUE(helper_.createHelloRequest(*message, 77));
    const Bytes hello(message->buffer(), message->buffer() + message->size());
    udp::HelloRequestData read;
    ASSERT_TRUE(ReadsAsHello(hello, &read));
    EXPECT_EQ(read.sendTime, 77u);
    EXPECT_EQ(Parse(hello).keys.size(), kCommonKeys.size() + 1);
    // The long hello is followed in the same message by the short answer: nothing of it lingers.
    ASSERT_TRUE(helper_.createAnswer(*message, 78));
    const Bytes answer(message->buffer(), message->buffer() + message->size());
    EXPECT_TRUE(ReadsAsOk(answer));
    EXPECT_EQ(Parse(answer).keys, std::vector<std::string>{"CtrlNum"});
  }
  // The viewed buffer is not written beyond its end (AddressSanitizer would tell) and, being too
  // small, was left for owned storage.
  EXPECT_TRUE(viewing.owns());
}

TEST_F(HostileUdpDirectHandshakeTest, ResetForgetsTheOldConversation) {
  StartAndSendHello();
  Deliver(Hello(HelloEntries()));
  ReadySend();
  At(1200);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  ASSERT_TRUE(helper_.isOkReplyAccepted());
  helper_.initVars(kOwnCtrl + 7);
  EXPECT_FALSE(helper_.isHelloAccepted());
  EXPECT_FALSE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getOkRepliesAccepted(), 0u);
  EXPECT_EQ(helper_.getHellosSent(), 0u);
  EXPECT_EQ(helper_.getPeerVersion(), -1);
  calls_.clear();
  // Old timers and old replies find nothing armed and nothing sent.
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
  Deliver(Ok(OkEntries(kOwnCtrl)));
  Deliver(Ok(OkEntries(kOwnCtrl + 7)));  // no hello sent since the reset
  EXPECT_FALSE(helper_.isOkReplyAccepted());
  EXPECT_TRUE(calls_.empty()) << calls_.front();
}

TEST_F(HostileUdpDirectHandshakeTest, SiblingSocketWithoutAnEndpointMustBeShownOnOurNetwork) {
  StartAndSendHello();
  const HXSockAddr stranger = Udp("198.51.100.77", "9999");
  // An old peer sends no endpoint: the other socket must be a sibling of ours, same family and
  // port, which these are not.
  // The last one shares family and port, but with no network loop running there is no interface
  // list to show that it sits on our network.
  const HXSockAddr others[] = {Udp("192.0.2.1", "5001"), Udp("2001:db8::1", "5000"),
                               Udp("192.0.2.1", "0"), Udp("192.0.2.2", "5000")};
  const Bytes datagram = Hello(Without(HelloEntries(), "HandshakeVersion"));
  udp::HelloRequestData hello;
  ASSERT_TRUE(ReadsAsHello(datagram, &hello));
  hello.source = stranger;
  for (const HXSockAddr& bound : others) {
    SCOPED_TRACE(bound.strBind());
    RecordingSocket other(calls_, 2, bound);
    EXPECT_FALSE(helper_.applyMsg(handler_, other,
                                  {datagram.data(), datagram.size(), stranger, bound}, hello));
    EXPECT_EQ(helper_.getState(), State::kRunning);
    EXPECT_EQ(helper_.getConnection().socketId, 1u);
  }
  // Nor may the "other" socket be the handler's own.
  EXPECT_FALSE(helper_.applyMsg(handler_, socket_,
                                {datagram.data(), datagram.size(), stranger, kLocal}, hello));
  EXPECT_EQ(helper_.getState(), State::kRunning);
  EXPECT_TRUE(calls_.empty()) << calls_.front();
}

// Two handshake helpers talking to each other through a network that repeats, reorders or loses
// datagrams, on simulated ticks: timers fire when their tick comes, readiness to send is granted
// while asked for.
class Side {
 public:
  Side(const char* own, const char* peer, uint32_t socketId, const HXSockAddr& local,
       const HXSockAddr& remote, int32_t ctrl, const uint64_t& tick)
      : socket_(calls_, socketId, local), helper_(Connection(own, peer, local, remote), ctrl) {
    helper_.setTickSource([&tick] { return tick; });
  }
  UdpDirectHandshakeHelper& helper() { return helper_; }
  RecordingSocket& socket() { return socket_; }
  const HXSockAddr& local() const { return helper_.getConnection().local; }

  void Start() {
    helper_.startHandshake(handler_);
    Absorb(0);
  }
  // Fires due timers and sends while readiness is asked for.
  void Step(uint64_t now) {
    for (auto it = timers_.begin(); it != timers_.end();) {
      if (it->second > now) {
        ++it;
        continue;
      }
      const uint32_t type = it->first;
      it = timers_.erase(it);
      helper_.onTimer(handler_, type);
      Absorb(now);
    }
    if (sendOn_) {
      helper_.onReadySend(handler_, socket_);
      Absorb(now);
    }
  }
  void Receive(const Bytes& datagram, const HXSockAddr& source, uint64_t now) {
    helper_.onRecvMsg(handler_, socket_, {datagram.data(), datagram.size(), source, local()});
    Absorb(now);
  }

 private:
  static udp::TrialDirectConnection Connection(const char* own, const char* peer,
                                               const HXSockAddr& local,
                                               const HXSockAddr& remote) {
    udp::TrialDirectConnection connection;
    connection.local = local;
    connection.remote = remote;
    connection.peerName = peer;
    connection.socketId = 1;
    connection.confInfo = std::make_shared<udp::ConferenceInfo>();
    connection.confInfo->ownName = own;
    connection.confInfo->conferenceName = "sid-1";
    return connection;
  }
  // Applies the requests made since the last look.
  void Absorb(uint64_t now) {
    for (const std::string& call : calls_) {
      uint32_t type = 0;
      unsigned long long ms = 0;
      if (std::sscanf(call.c_str(), "%*c timer %u %llu", &type, &ms) == 2) {
        timers_[type] = now + ms;
      } else if (std::sscanf(call.c_str(), "h stop %u", &type) == 1) {
        timers_.erase(type);
      } else if (call.ends_with("send on")) {
        sendOn_ = true;
      } else if (call.ends_with("send off")) {
        sendOn_ = false;
      }
    }
    calls_.clear();
  }

  Calls calls_;
  RecordingHandler handler_{calls_};
  RecordingSocket socket_;
  UdpDirectHandshakeHelper helper_;
  std::map<uint32_t, uint64_t> timers_;
  bool sendOn_ = false;
};

TEST(HostileUdpDirectHandshakeDuel, BothSidesFinishThroughARepeatingReorderingOrLossyNetwork) {
  enum class Net { kClean, kTwiceReversed, kEveryThirdLost, kFirstFiveLost };
  for (const Net net : {Net::kClean, Net::kTwiceReversed, Net::kEveryThirdLost,
                        Net::kFirstFiveLost}) {
    SCOPED_TRACE(static_cast<int>(net));
    uint64_t tick = 1000;
    const HXSockAddr a = Udp("192.0.2.1", "5000");
    const HXSockAddr b = Udp("192.0.2.2", "6000");
    Side alice("alice", "Bob", 1, a, b, std::numeric_limits<int32_t>::min(), tick);
    Side bob("BOB", "alice", 1, b, a, std::numeric_limits<int32_t>::max(), tick);
    alice.Start();
    bob.Start();
    size_t carried[2] = {0, 0};
    size_t counted[2] = {0, 0};
    // Each datagram that left one side is carried to the other per the network's manner; losses
    // are counted per direction.
    auto Carry = [&](Side& from, Side& to, size_t& done, size_t& counter) {
      std::vector<Bytes> batch(from.socket().sent.begin() + done, from.socket().sent.end());
      done = from.socket().sent.size();
      if (net == Net::kTwiceReversed) std::reverse(batch.begin(), batch.end());
      for (const Bytes& d : batch) {
        ++counter;
        if (net == Net::kEveryThirdLost && counter % 3 == 0) continue;
        if (net == Net::kFirstFiveLost && counter <= 5) continue;
        to.Receive(d, from.local(), tick);
        if (net == Net::kTwiceReversed) to.Receive(d, from.local(), tick);
      }
    };
    const auto Done = [](Side& s) { return s.helper().getState() == State::kDone; };
    for (int step = 0; step < 3000 && !(Done(alice) && Done(bob)); ++step, tick += 10) {
      alice.Step(tick);
      bob.Step(tick);
      Carry(alice, bob, carried[0], counted[0]);
      Carry(bob, alice, carried[1], counted[1]);
    }
    EXPECT_EQ(alice.helper().getState(), State::kDone);
    EXPECT_EQ(bob.helper().getState(), State::kDone);
    EXPECT_TRUE(alice.helper().isHelloAccepted() && alice.helper().isOkReplyAccepted());
    EXPECT_TRUE(bob.helper().isHelloAccepted() && bob.helper().isOkReplyAccepted());
    EXPECT_EQ(alice.helper().getPeerVersion(), 1);
    // Every datagram went to the other side's address.
    for (const HXSockAddr& to : alice.socket().destinations) EXPECT_TRUE(SameAddress(to, b));
    for (const HXSockAddr& to : bob.socket().destinations) EXPECT_TRUE(SameAddress(to, a));
  }
}


// Hellos from an old peer (no endpoint of its own) that arrive on another of our sockets, with a
// network loop running and an interface table of our choosing: one Ethernet interface on
// 192.0.2.0/24, 2001:db8:0:7::/64 and fe80::/64.
class HostileUdpDirectSiblingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loop_ = HXZServer::installNetworkManager();
    ASSERT_NE(loop_, nullptr);
    ASSERT_EQ(loop_->startServerLoop(), 0);
    HXIfIpAddrContainerTS* shared = HXZServer::getIfAddrList();
    ASSERT_NE(shared, nullptr);
    HXIfList table;
    table.addIface(ip::IfType::ethernet, "eth9", 9);
    const HXSockAddr address = Udp("192.0.2.1", "0");
    const HXIpAddress zero = HXAddrFactory::zero(address.family());
    table.addIfaceAddress("eth9", address, HXNetMask(address.family(), 24), zero, zero);
    const HXSockAddr address6 = Udp("2001:db8:0:7::1", "0");
    const HXIpAddress zero6 = HXAddrFactory::zero(address6.family());
    table.addIfaceAddress("eth9", address6, HXNetMask(address6.family(), 64), zero6, zero6);
    // A link-local network too, so that only the link-local rule keeps such a trial in place.
    table.addIfaceAddress("eth9", Udp("fe80::1%9", "0"), HXNetMask(address6.family(), 64), zero6,
                          zero6);
    table.getIfAddrList(shared->lockList());
    shared->unlockList();
  }
  static void TearDownTestSuite() {
    if (loop_ == nullptr) return;
    loop_->Shutdown();
    delete loop_;
    loop_ = nullptr;
  }
  static inline HXZServer* loop_ = nullptr;
};

TEST_F(HostileUdpDirectSiblingTest, HelloOnAnotherSocketMovesOnlyOnTheSameNetworkAndPort) {
  struct Case {
    const char* local;
    const char* bound;
    const char* boundPort;
    bool moves;
  };
  const Case cases[] = {
      {"192.0.2.1", "192.0.2.77", "5000", true},    // a sibling on the interface's network
      {"192.0.2.1", "192.0.2.77", "5001", false},   // another port
      {"192.0.2.1", "192.0.3.77", "5000", false},   // another network
      {"192.0.2.1", "10.0.0.1", "5000", false},     // far away
      {"198.18.0.1", "198.18.0.2", "5000", false},  // on no interface of ours
      {"2001:db8:0:7::1", "2001:db8:0:7::99", "5000", true},
      {"2001:db8:0:7::1", "2001:db8:0:8::99", "5000", false},
      {"2001:db8:0:7::1", "2001:db8:0:7::99", "5001", false},
      {"2001:db8:0:7::1", "192.0.2.77", "5000", false},  // another family
      {"192.0.2.1", "2001:db8:0:7::99", "5000", false},
      {"fe80::1%9", "fe80::2%9", "5000", false},  // a link-local trial never moves
  };
  const HXSockAddr stranger = Udp("198.51.100.77", "9999");
  const Bytes datagram = Hello(Without(HelloEntries(), "HandshakeVersion"));
  udp::HelloRequestData hello;
  ASSERT_TRUE(ReadsAsHello(datagram, &hello));
  hello.source = stranger;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.local) + " / " + c.bound + ":" + c.boundPort);
    uint64_t tick = 1000;
    Side side("alice", "Bob", 1, Udp(c.local, "5000"), kPeerLocal, kOwnCtrl, tick);
    side.Start();
    side.Step(tick);
    Calls calls;
    RecordingHandler handler(calls);
    handler.socketId = 1;
    const HXSockAddr bound = Udp(c.bound, c.boundPort);
    RecordingSocket other(calls, 2, bound);
    EXPECT_FALSE(side.helper().applyMsg(handler, other,
                                        {datagram.data(), datagram.size(), stranger, bound},
                                        hello));
    const udp::TrialDirectConnection& connection = side.helper().getConnection();
    if (c.moves) {
      EXPECT_EQ(side.helper().getState(), State::kMoved);
      EXPECT_EQ(connection.socketId, 2u);
      EXPECT_TRUE(SameAddress(connection.local, bound));
      EXPECT_TRUE(SameAddress(connection.localNat, bound));
      EXPECT_EQ(calls, Calls{"h move 2 " + stranger.strBind()});
      // The answer is due and leaves from the new socket.
      side.helper().onReadySend(handler, other);
      ASSERT_EQ(other.sent.size(), 1u);
      EXPECT_FALSE(Parse(other.sent.back()).hello);
    } else {
      EXPECT_EQ(side.helper().getState(), State::kRunning);
      EXPECT_EQ(connection.socketId, 1u);
      EXPECT_TRUE(SameAddress(connection.local, Udp(c.local, "5000")));
      EXPECT_TRUE(calls.empty()) << calls.front();
    }
  }
}
}  // namespace
}  // namespace hx::streams
