#include "core/wire/endpoint_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The stored checksum, written here from the format so that it checks the library's own.
uint32_t Checksum(const Bytes& bytes) {
  const size_t length = bytes.size();
  uint32_t sum = static_cast<uint32_t>((length >> 2) + (length & 3)) + 0x3D141591u;
  size_t i = 4;
  for (; i + 4 <= length; i += 4)
    sum += bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (uint32_t{bytes[i + 3]} << 24);
  for (; i < length; ++i) sum += bytes[i];
  return sum;
}

void PutU32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Sealed(Bytes bytes) {
  PutU32(bytes, 0, Checksum(bytes));
  return bytes;
}

void Append(Bytes& bytes, const std::string& text) {
  bytes.push_back(static_cast<uint8_t>(text.size()));
  bytes.insert(bytes.end(), text.begin(), text.end());
  bytes.push_back(0);
}

void Append16(Bytes& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// A stored endpoint with the given host, port and protocol and empty proxy fields.
Bytes Stored(const std::string& host, uint16_t port, const std::string& protocol) {
  Bytes bytes(4, 0);
  Append(bytes, host);
  Append16(bytes, port);
  Append(bytes, protocol);
  Append(bytes, "");
  Append16(bytes, 1080);
  Append(bytes, "");
  Append(bytes, "");
  bytes.push_back(4);
  Append(bytes, "");
  Append16(bytes, 8080);
  Append(bytes, "");
  Append(bytes, "");
  return Sealed(bytes);
}

// A list blob holding `records` under the given record count.
Bytes Blob(const std::vector<Bytes>& records, uint32_t count) {
  Bytes bytes(8, 0);
  PutU32(bytes, 4, count);
  for (const Bytes& record : records) {
    const size_t at = bytes.size();
    bytes.resize(at + 4);
    PutU32(bytes, at, static_cast<uint32_t>(record.size()));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return Sealed(bytes);
}

Bytes Serialized(const HX_Endpoint& endpoint) {
  size_t size = 0;
  endpoint.Serialize(nullptr, size);
  Bytes bytes(size);
  EXPECT_TRUE(endpoint.Serialize(bytes.data(), size));
  return bytes;
}

HX_Endpoint Full(hx::EpType type, const char* host, uint16_t port) {
  return HX_Endpoint(type, "name", host, port, "s", 2, "u", "p", 5, "x", 3, "y", "z");
}

TEST(EndpointRecordTest, EmptyEndpointKnownAnswer) {
  const HX_Endpoint endpoint("name", hx::tcpConnect);
  // Checksum: (27 >> 2) + (27 & 3) + 0x3D141591 plus the words 0x10D30000, 0x438, 0x40000, 0x1F9000.
  const Bytes expected = {0xD2, 0xA9, 0x0A, 0x4E, 0, 0, 0xD3, 0x10, 0, 0, 0, 0, 0x38, 0x04,
                          0,    0,    0,    0,    4, 0, 0, 0x90, 0x1F, 0, 0, 0, 0};
  EXPECT_EQ(Serialized(endpoint), expected);
}

TEST(EndpointRecordTest, StoresEveryFieldInOrder) {
  Bytes expected(4, 0);
  Append(expected, "h");
  Append16(expected, 1);
  Append(expected, "Tcp");
  Append(expected, "s");
  Append16(expected, 2);
  Append(expected, "u");
  Append(expected, "p");
  expected.push_back(5);
  Append(expected, "x");
  Append16(expected, 3);
  Append(expected, "y");
  Append(expected, "z");
  EXPECT_EQ(Serialized(Full(hx::tcpConnect, "h", 1)), Sealed(expected));
  EXPECT_EQ(expected.size(), 27u + 1 + 3 + 1 + 1 + 1 + 1 + 1 + 1);
}

TEST(EndpointRecordTest, SerializeReportsTheSizeItNeeds) {
  const HX_Endpoint endpoint = Full(hx::tcpConnect, "host", 4307);
  size_t size = 0;
  EXPECT_FALSE(endpoint.Serialize(nullptr, size));
  const size_t needed = size;
  EXPECT_EQ(needed, 27u + 4 + 3 + 6);

  Bytes buffer(needed, 0xEE);
  size = needed - 1;
  EXPECT_FALSE(endpoint.Serialize(buffer.data(), size));
  EXPECT_EQ(size, needed);
  EXPECT_EQ(buffer, Bytes(needed, 0xEE)) << "nothing written into a buffer that is too small";
  EXPECT_TRUE(endpoint.Serialize(buffer.data(), size));
}

TEST(EndpointRecordTest, TextsLongerThanTheLengthByteAreNotStored) {
  const std::string longest(255, 'a');
  const std::string too_long(256, 'a');
  for (int field = 0; field < 8; ++field) {
    for (const std::string* text : {&longest, &too_long}) {
      const char* t[8] = {"", "", "", "", "", "", "", ""};
      t[field] = text->c_str();
      HX_Endpoint endpoint("n", hx::tcpConnect);
      endpoint.ApplyProperties(t[0], 1, t[1], t[2], 2, t[3], t[4], 4, t[5], 3, t[6], t[7]);
      Bytes buffer(2000);
      size_t size = buffer.size();
      const bool fits = text == &longest;
      EXPECT_EQ(endpoint.Serialize(buffer.data(), size), fits) << field;
      EXPECT_EQ(size, fits ? 27u + 255 : 0u) << field;
      if (fits && field == 0) {
        auto back = HX_Endpoint::Factory(buffer.data(), size, true);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->getHost(), longest);
      }
    }
  }
}

TEST(EndpointRecordTest, ReadsBackHostPortAndProtocolOnly) {
  const Bytes stored = Serialized(Full(static_cast<hx::EpType>(3), "10.0.0.7", 5000));
  auto endpoint = HX_Endpoint::Factory(stored.data(), stored.size(), true);
  ASSERT_NE(endpoint, nullptr);
  EXPECT_STREQ(endpoint->GetHost(), "10.0.0.7");
  EXPECT_EQ(endpoint->GetPort(), 5000);
  EXPECT_STREQ(endpoint->GetProtocol(), "DirectUdp");
  EXPECT_EQ(endpoint->GetType(), 2) << "made as type 0, bit 1 from the protocol";
  EXPECT_STREQ(endpoint->GetSocksHost(), "");
  EXPECT_EQ(endpoint->GetSocksPort(), 1080);
  EXPECT_STREQ(endpoint->GetSocksUser(), "");
  EXPECT_STREQ(endpoint->GetSocksPassword(), "");
  EXPECT_EQ(endpoint->GetSocksVersion(), 4);
  EXPECT_STREQ(endpoint->GetHttpHost(), "");
  EXPECT_EQ(endpoint->GetHttpPort(), 8080);
  EXPECT_STREQ(endpoint->GetHttpUser(), "");
  EXPECT_STREQ(endpoint->GetHttpPassword(), "");
  EXPECT_EQ(HX_Endpoint::Factory(stored.data(), stored.size(), false), nullptr);
}

TEST(EndpointRecordTest, StoredPortZeroMeansTheDefault) {
  const Bytes stored = Stored("h", 0, "Tcp");
  auto endpoint = HX_Endpoint::Factory(stored.data(), stored.size(), true);
  ASSERT_NE(endpoint, nullptr);
  EXPECT_EQ(endpoint->GetPort(), 4307);
}

TEST(EndpointRecordTest, TypeFollowsTheProtocolIgnoringCase) {
  struct Case {
    const char* protocol;
    bool direct_udp;
  };
  const Case cases[] = {{"DirectUdp", true}, {"directudp", true}, {"DIRECTUDP", true}, {"dIrEcTuDp", true},
                        {"Tcp", false},      {"DirectUdpX", false}, {"Direct", false},  {"", false}};
  for (const Case& c : cases) {
    const Bytes stored = Stored("h", 1, c.protocol);
    for (int start_type : {0, 1, 2, 3, 0x10}) {
      HX_Endpoint endpoint("n", static_cast<hx::EpType>(start_type));
      ASSERT_TRUE(endpoint.Deserialize(stored.data(), stored.size())) << c.protocol;
      // Bit 0 is carried over, bit 1 comes from the protocol, nothing else stays.
      EXPECT_EQ(endpoint.GetType(), (start_type & 1) | (c.direct_udp ? 2 : 0)) << c.protocol << " " << start_type;
      EXPECT_STREQ(endpoint.GetProtocol(), c.protocol);
    }
  }
}

TEST(EndpointRecordTest, DamagedRecordsAreRefused) {
  Bytes damaged = Stored("host", 1, "Tcp");
  damaged[6] ^= 1;
  Bytes host_without_nul = {0, 0, 0, 0, 5, 'h', 'o', 's', 't', 's'};
  Bytes ends_after_port = {0, 0, 0, 0, 1, 'h', 0, 0x10, 0x20};  // no protocol length byte
  Bytes ends_after_length = {0, 0, 0, 0, 1, 'h', 0, 0x10, 0x20, 3};
  Bytes protocol_without_nul = {0, 0, 0, 0, 1, 'h', 0, 0x10, 0x20, 3, 'T', 'c', 'p'};
  struct Case {
    const char* what;
    Bytes bytes;
    bool read;
  };
  const Case cases[] = {
      {"smallest sound record", Sealed({0, 0, 0, 0, 0, 0, 1, 0, 0, 0}), true},
      {"five bytes", Sealed({0, 0, 0, 0, 0}), false},
      {"checksum", damaged, false},
      {"host without NUL", Sealed(host_without_nul), false},
      {"ends after the port", Sealed(ends_after_port), false},
      {"ends after the protocol length", Sealed(ends_after_length), false},
      {"protocol without NUL", Sealed(protocol_without_nul), false},
  };
  for (const Case& c : cases) {
    HX_Endpoint endpoint("n", hx::tcpConnect);
    EXPECT_EQ(endpoint.Deserialize(c.bytes.data(), c.bytes.size()), c.read) << c.what;
  }
  HX_Endpoint endpoint("n", hx::tcpConnect);
  EXPECT_FALSE(endpoint.Deserialize(nullptr, 100));
  EXPECT_EQ(HX_Endpoint::Factory(nullptr, 100, true), nullptr);
}

std::vector<std::string> Hosts(const HX_TransportEndpointList& list) {
  std::vector<std::string> hosts;
  for (const auto& endpoint : list) hosts.push_back(endpoint->getHost());
  return hosts;
}

TEST(EndpointRecordTest, ListBlobKeepsOrderAndSkipsDamagedRecords) {
  const Bytes a = Stored("a", 1, "Tcp");
  const Bytes b = Stored("b", 2, "DirectUdp");
  const Bytes c = Stored("c", 3, "Tcp");
  Bytes bad = Stored("bad", 4, "Tcp");
  bad[5] ^= 1;
  using HostList = std::vector<std::string>;
  struct Case {
    const char* what;
    Bytes blob;
    HostList hosts;
  };
  const Case cases[] = {
      {"three records", Blob({a, b, c}, 3), {"a", "b", "c"}},
      {"count above the records present", Blob({a, b}, 100), {"a", "b"}},
      {"count below the records present", Blob({a, b, c}, 2), {"a", "b"}},
      {"damaged record is skipped", Blob({a, bad, c}, 3), {"a", "c"}},
      {"a skipped record still counts", Blob({bad, b, c}, 2), {"b"}},
      {"count 0", Blob({a}, 0), {}},
      {"record size 0 stops", Blob({a, {}, b}, 3), {"a"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hosts(HX_Endpoint::Factory("srv", c.blob.data(), c.blob.size(), true)), c.hosts) << c.what;
  }
}

TEST(EndpointRecordTest, ListBlobRecordSizesAreBounded) {
  const Bytes a = Stored("a", 1, "Tcp");
  for (uint32_t size : {uint32_t(a.size() + 1), 0x7FFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    Bytes blob = Blob({a, a}, 2);
    PutU32(blob, 8 + 4 + a.size(), size);  // the second record claims more than is left
    blob = Sealed(blob);
    EXPECT_EQ(Hosts(HX_Endpoint::Factory("srv", blob.data(), blob.size(), true)), std::vector<std::string>{"a"})
        << size;
  }
}

TEST(EndpointRecordTest, ListBlobRefusals) {
  const Bytes a = Stored("a", 1, "Tcp");
  const Bytes blob = Blob({a}, 1);
  Bytes damaged = blob;
  damaged.back() ^= 1;
  EXPECT_EQ(HX_Endpoint::Factory("srv", blob.data(), blob.size(), true).size(), 1u);
  EXPECT_TRUE(HX_Endpoint::Factory("srv", damaged.data(), damaged.size(), true).empty());
  EXPECT_TRUE(HX_Endpoint::Factory(nullptr, blob.data(), blob.size(), true).empty());
  EXPECT_TRUE(HX_Endpoint::Factory("srv", nullptr, blob.size(), true).empty());
  const Bytes twelve = Sealed(Bytes{0, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0});
  EXPECT_TRUE(HX_Endpoint::Factory("srv", twelve.data(), twelve.size(), true).empty());
}

TEST(EndpointRecordTest, ListFlagChoosesTheStartType) {
  const Bytes blob = Blob({Stored("a", 1, "Tcp"), Stored("b", 2, "directudp")}, 2);
  std::vector<int> types;
  for (bool flag : {true, false})
    for (const auto& endpoint : HX_Endpoint::Factory("srv", blob.data(), blob.size(), flag))
      types.push_back(endpoint->GetType());
  EXPECT_EQ(types, (std::vector<int>{0, 2, 1, 3}));
}

TEST(EndpointRecordTest, EqualTypeHostAndPort) {
  const HX_Endpoint base = Full(hx::tcpConnect, "a", 1);
  struct Case {
    HX_Endpoint other;
    bool equal;
  };
  const Case cases[] = {
      {Full(hx::tcpConnect, "a", 1), true},
      {HX_Endpoint(hx::tcpConnect, nullptr, "a", 1, nullptr, 9, nullptr, nullptr, 9, nullptr, 9, nullptr, nullptr), true},
      {Full(hx::tcpConnect, "A", 1), false},
      {Full(hx::tcpConnect, "a ", 1), false},
      {Full(hx::tcpConnect, "a", 2), false},
      {Full(static_cast<hx::EpType>(1), "a", 1), false},
  };
  for (const Case& c : cases) EXPECT_EQ(base.isEqTypeHostPort(c.other), c.equal) << c.other.GetHost();
}

TEST(EndpointRecordTest, ConstructionAndReset) {
  struct Case {
    int type;
    const char* protocol;
  };
  const Case cases[] = {{0, "Tcp"}, {1, "Tcp"}, {2, "DirectUdp"}, {3, "DirectUdp"}, {4, ""}, {0xFFFF, ""}};
  for (const Case& c : cases) {
    EXPECT_STREQ(Full(static_cast<hx::EpType>(c.type), "h", 1).GetProtocol(), c.protocol) << c.type;
  }

  HX_Endpoint endpoint(static_cast<hx::EpType>(3), nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr, 0,
                       nullptr, 0, nullptr, nullptr);
  EXPECT_STREQ(endpoint.GetHost(), "");
  EXPECT_STREQ(endpoint.GetSocksUser(), "");
  endpoint.SetFamily(30);
  endpoint.SetHost("host");
  endpoint.Reset();
  EXPECT_EQ(endpoint.GetType(), 3);
  EXPECT_EQ(endpoint.GetFamily(), 30);
  EXPECT_STREQ(endpoint.GetHost(), "");
  EXPECT_STREQ(endpoint.GetProtocol(), "");
  EXPECT_EQ(endpoint.GetPort(), 4307);
  EXPECT_EQ(endpoint.GetSocksPort(), 1080);
  EXPECT_EQ(endpoint.GetSocksVersion(), 4);
  EXPECT_EQ(endpoint.GetHttpPort(), 8080);
  EXPECT_EQ(HX_Endpoint::emptyString, "");
}

}  // namespace

namespace {

uint32_t LoadU32(const Bytes& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (uint32_t{bytes[at + 3]} << 24);
}

// The list blob of two stored forms of 10 and 12 bytes: 4 + 4 + 4 + 10 + 4 + 12 bytes, the count
// at offset 4, the second length at offset 22, and a checksum over the last 34 bytes that starts
// from 0x3D141592 + (34 >> 2) + (34 & 3).
TEST(EndpointListBlobTest, WriterLaysOutTheWorkedExample) {
  Bytes first(10);
  Bytes second(12);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(0x10 + i);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(0xA0 + i);
  const Bytes blob = HX_Endpoint::MakeListBlob({first, second});
  ASSERT_EQ(blob.size(), 38u);
  EXPECT_EQ(LoadU32(blob, 4), 2u);
  EXPECT_EQ(LoadU32(blob, 8), 10u);
  EXPECT_EQ(Bytes(blob.begin() + 12, blob.begin() + 22), first);
  EXPECT_EQ(LoadU32(blob, 22), 12u);
  EXPECT_EQ(Bytes(blob.begin() + 26, blob.end()), second);
  uint32_t sum = 0x3D141592u + 8 + 2;
  size_t i = 4;
  for (; i + 4 <= blob.size(); i += 4) sum += LoadU32(blob, i);
  for (; i < blob.size(); ++i) sum += blob[i];
  EXPECT_EQ(LoadU32(blob, 0), sum);
  EXPECT_EQ(LoadU32(blob, 0), Checksum(blob));
}

TEST(EndpointListBlobTest, WrittenListReadsBackThroughTheReader) {
  std::vector<Bytes> stored;
  for (const char* host : {"10.0.0.1", "host.example"}) {
    HX_Endpoint endpoint(nullptr, hx::tcpConnect);
    endpoint.SetHost(host);
    endpoint.SetPort(5060);
    size_t size = 0;
    endpoint.Serialize(nullptr, size);
    Bytes form(size);
    ASSERT_TRUE(endpoint.Serialize(form.data(), size));
    stored.push_back(form);
  }
  const Bytes blob = HX_Endpoint::MakeListBlob(stored);
  const HX_TransportEndpointList list = HX_Endpoint::Factory("list", blob.data(), blob.size(), true);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.front()->getHost(), "10.0.0.1");
  EXPECT_EQ(list.back()->getHost(), "host.example");
  EXPECT_EQ(list.back()->GetPort(), 5060);
  // An empty list is the bare head with a valid checksum.
  const Bytes empty = HX_Endpoint::MakeListBlob({});
  ASSERT_EQ(empty.size(), 8u);
  EXPECT_EQ(LoadU32(empty, 0), Checksum(empty));
}

}  // namespace
