#include "core/net/address/addr_factory.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

HXIpAddress Addr(const char* text) { return HXAddrFactory::get(text); }

HXSockAddr Sock(ip::Proto::type proto, const char* text, uint16_t port) {
  return HXSockAddr(proto, Addr(text), port);
}

template <typename Address>
Bytes Serialize(const Address& address) {
  uint8_t buffer[64];
  size_t length = sizeof(buffer);
  if (!HXAddrFactory::serialize(address, buffer, length)) return {};
  return Bytes(buffer, buffer + length);
}

TEST(AddrFactory, MakesAddresses) {
  EXPECT_EQ(HXAddrFactory::get(0x0a000001u).str(), "10.0.0.1");
  EXPECT_EQ(HXAddrFactory::v4(10).str(), "10.0.0.0");
  EXPECT_EQ(HXAddrFactory::v4(192, 168).str(), "192.168.0.0");
  EXPECT_EQ(HXAddrFactory::v4(1, 2, 3, 4).str(), "1.2.3.4");
  EXPECT_EQ(HXAddrFactory::v6(0x2001, 0xdb8).str(), "2001:db8::");
  EXPECT_EQ(HXAddrFactory::get(Addr("fe80::3%3")).str_wscope(), "fe80::3%3");

  EXPECT_EQ(HXAddrFactory::zero(4).str(), "0.0.0.0");
  EXPECT_EQ(HXAddrFactory::zero(6).str(), "::");
  EXPECT_EQ(HXAddrFactory::zero(9).family(), 9);  // stored as given
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  EXPECT_EQ(HXAddrFactory::zero(reinterpret_cast<sockaddr*>(&in6)).str(), "::");
  sockaddr other{};
  other.sa_family = AF_UNIX;
  EXPECT_EQ(HXAddrFactory::zero(&other).family(), 0);

  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* info = nullptr;
  ASSERT_EQ(getaddrinfo("fe80::9%7", nullptr, &hints, &info), 0);
  EXPECT_EQ(HXAddrFactory::get(info).str_wscope(), "fe80::9%7");
  freeaddrinfo(info);
  EXPECT_TRUE(HXAddrFactory::get(static_cast<const addrinfo*>(nullptr)).empty());
}

TEST(AddrSerialize, WritesKnownForms) {
  const Bytes v6_loopback_udp_53 = {21, 2, 2, 0, 53, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0,  0, 0, 0, 0, 0, 0, 1};
  struct {
    HXSockAddr address;
    Bytes expected;
  } sock_cases[] = {
      {Sock(ip::Proto::tcp, "10.0.0.1", 443), {0x09, 0x02, 0x01, 0x01, 0xbb, 0x0a, 0, 0, 0x01}},
      {Sock(ip::Proto::udp, "::1", 53), v6_loopback_udp_53},
      {Sock(ip::Proto::udp, "fe80::1%4", 1), {21, 2, 2, 0, 1, 0xfe, 0x80, 0, 0, 0, 0, 0, 0,
                                              0,  0, 0, 0, 0, 0, 0,    1}},  // no scope id
      {Sock(static_cast<ip::Proto::type>(0x102), "1.2.3.4", 0), {9, 2, 2, 0, 0, 1, 2, 3, 4}},
      {Sock(ip::Proto::unknown, "10.0.0.1", 443), {}},
      {Sock(static_cast<ip::Proto::type>(3), "10.0.0.1", 443), {}},
      {HXSockAddr(ip::Proto::tcp, 443), {}},  // no address
  };
  for (const auto& c : sock_cases) {
    SCOPED_TRACE(c.address.strBind(true));
    EXPECT_EQ(Serialize(c.address), c.expected);
  }
  EXPECT_EQ(Serialize(Addr("10.0.0.1")), (Bytes{6, 1, 10, 0, 0, 1}));
  EXPECT_EQ(Serialize(Addr("2001:db8::2%5")),
            (Bytes{18, 1, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(Serialize(HXIpAddress()), Bytes{});
}

TEST(AddrSerialize, ReportsNeededLength) {
  struct {
    bool sock;       // serialise the socket address, else the plain address
    bool null_buffer;
    size_t length;   // offered
    bool ok;
    size_t reported;
  } cases[] = {
      {true, true, 64, false, 9},   {true, false, 0, false, 9},   {true, false, 8, false, 9},
      {true, false, 9, true, 9},    {false, true, 64, false, 6},  {false, false, 0, false, 6},
      {false, false, 5, false, 6},  {false, false, 6, true, 6},
  };
  const HXSockAddr sock = Sock(ip::Proto::tcp, "10.0.0.1", 443);
  const HXIpAddress address = Addr("10.0.0.1");
  for (const auto& c : cases) {
    uint8_t buffer[64];
    size_t length = c.length;
    uint8_t* target = c.null_buffer ? nullptr : buffer;
    const bool ok = c.sock ? HXAddrFactory::serialize(sock, target, length)
                           : HXAddrFactory::serialize(address, target, length);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(length, c.reported);
  }
  // An empty address has no form, whatever room is offered.
  uint8_t buffer[64];
  size_t length = sizeof(buffer);
  EXPECT_FALSE(HXAddrFactory::serialize(HXIpAddress(), buffer, length));
  EXPECT_EQ(length, 0u);
  length = sizeof(buffer);
  EXPECT_FALSE(HXAddrFactory::serialize(HXAddrFactory::zero(5), buffer, length));
  EXPECT_EQ(length, 0u);
}

TEST(AddrSerialize, PeeksKindAndLength) {
  struct {
    Bytes input;
    bool null_buffer;
    int kind;
    size_t length;
  } cases[] = {
      {{}, true, 0, 6},           {{9}, false, 0, 6},         {{9, 1}, false, 0, 0},
      {{9, 2}, false, 2, 9},      {{21, 2}, false, 2, 21},    {{6, 1}, false, 1, 6},
      {{18, 1}, false, 1, 18},    {{6, 2}, false, 0, 0},      {{9, 3}, false, 0, 0},
      {{0, 0}, false, 0, 0},      {{255, 2, 1}, false, 0, 0},
  };
  for (const auto& c : cases) {
    size_t length = c.input.size();
    EXPECT_EQ(HXAddrFactory::deserializePeekType(c.null_buffer ? nullptr : c.input.data(), length),
              c.kind);
    EXPECT_EQ(length, c.length);
  }
}

TEST(AddrSerialize, RoundTrips) {
  const HXSockAddr originals[] = {Sock(ip::Proto::tcp, "10.0.0.1", 443),
                                  Sock(ip::Proto::udp, "2001:db8::7", 65535),
                                  Sock(ip::Proto::udp, "0.0.0.0", 0)};
  for (const auto& original : originals) {
    SCOPED_TRACE(original.strBind(true));
    Bytes form = Serialize(original);
    ASSERT_FALSE(form.empty());
    form.push_back(0x5a);  // a following field is not consumed
    HXSockAddr read;
    size_t length = form.size();
    ASSERT_TRUE(HXAddrFactory::deserialize(read, form.data(), length));
    EXPECT_EQ(length, form.size() - 1);
    EXPECT_EQ(read.cmp(original), 0);
    EXPECT_EQ(read.strBind(true), original.strBind(true));

    HXIpAddress address;  // the address part of a socket-address form
    length = form.size();
    ASSERT_TRUE(HXAddrFactory::deserialize(address, form.data(), length));
    EXPECT_EQ(address.str(), original.str());

    const Bytes address_form = Serialize(address);
    HXIpAddress again;
    length = address_form.size();
    ASSERT_TRUE(HXAddrFactory::deserialize(again, address_form.data(), length));
    EXPECT_EQ(again.cmp(address), 0);
  }
}

TEST(AddrSerialize, ReadingDropsScopeAndKeepsWhatTheFormLacks) {
  HXSockAddr sock = Sock(ip::Proto::tcp, "fe80::1%4", 8080);
  const Bytes address_form = Serialize(Addr("10.1.2.3"));
  size_t length = address_form.size();
  ASSERT_TRUE(HXAddrFactory::deserialize(sock, address_form.data(), length));
  EXPECT_EQ(sock.strBind(true), "tcp://10.1.2.3:8080");

  const Bytes sock_form = Serialize(Sock(ip::Proto::udp, "fe80::2%9", 99));
  length = sock_form.size();
  ASSERT_TRUE(HXAddrFactory::deserialize(sock, sock_form.data(), length));
  EXPECT_EQ(sock.strBind(true), "udp://fe80::2%0:99");

  // The protocol byte is taken as read; such an address does not serialise again.
  const Bytes odd_proto = {9, 2, 7, 0, 80, 1, 2, 3, 4};
  length = odd_proto.size();
  ASSERT_TRUE(HXAddrFactory::deserialize(sock, odd_proto.data(), length));
  EXPECT_EQ(sock.proto(), 7);
  EXPECT_EQ(Serialize(sock), Bytes{});
}

// Every cut of a valid form fails and asks for the length it needs; nothing is read past the
// cut (the bytes sit in a heap buffer of exactly that size, so ASan sees any overrun).
TEST(AddrSerialize, TruncatedFormsFailWithNeededLength) {
  const Bytes forms[] = {Serialize(Sock(ip::Proto::udp, "2001:db8::7", 5)),
                         Serialize(Sock(ip::Proto::tcp, "10.0.0.1", 5)),
                         Serialize(Addr("2001:db8::7")), Serialize(Addr("10.0.0.1"))};
  for (const Bytes& form : forms) {
    for (size_t cut = 0; cut < form.size(); ++cut) {
      SCOPED_TRACE(cut);
      uint8_t* heap = static_cast<uint8_t*>(std::malloc(cut + 1));
      std::memcpy(heap, form.data(), cut);
      HXSockAddr sock = Sock(ip::Proto::tcp, "9.9.9.9", 9);
      size_t length = cut;
      EXPECT_FALSE(HXAddrFactory::deserialize(sock, heap, length));
      EXPECT_EQ(length, cut < 2 ? 6 : form.size());
      HXIpAddress address;
      length = cut;
      EXPECT_FALSE(HXAddrFactory::deserialize(address, heap, length));
      EXPECT_EQ(length, cut < 2 ? 6 : form.size());
      std::free(heap);
    }
  }
  const Bytes foreign = {9, 1, 0, 0, 0, 0, 0, 0, 0};
  HXIpAddress address;
  size_t length = foreign.size();
  EXPECT_FALSE(HXAddrFactory::deserialize(address, foreign.data(), length));
  EXPECT_EQ(length, 0u);
  length = 64;
  EXPECT_FALSE(HXAddrFactory::deserialize(address, nullptr, length));
  EXPECT_EQ(length, 6u);
}

}  // namespace
