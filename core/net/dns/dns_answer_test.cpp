#include "core/net/dns/dns_answer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/net/dns/dns_message.h"
#include "core/net/dns/dns_records.h"
#include "testing/dnsmasq_server.h"
#include "testing/test_support.h"

namespace hx::dns {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kNow = 1700000000;

// Builds DNS messages byte by byte. The header is id 0x1234 and the given flags and counts.
class Datagram {
 public:
  Datagram(uint16_t questions, uint16_t answers, uint8_t flags = 0x81, uint8_t rcode = 0) {
    m_bytes = {0x12, 0x34, flags, rcode};
    U16(questions).U16(answers).U16(0).U16(0);
  }

  Datagram& U16(uint16_t value) {
    m_bytes.push_back(static_cast<uint8_t>(value >> 8));
    m_bytes.push_back(static_cast<uint8_t>(value));
    return *this;
  }
  Datagram& U32(uint32_t value) { return U16(static_cast<uint16_t>(value >> 16)).U16(static_cast<uint16_t>(value)); }
  Datagram& Raw(const Bytes& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // The labels of a dotted name, then the root label unless `pointer` ends it instead.
  Datagram& Name(const std::string& dotted, int pointer = -1) {
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      m_bytes.push_back(static_cast<uint8_t>(dot - start));
      m_bytes.insert(m_bytes.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(dot));
      start = dot + 1;
    }
    if (pointer < 0) {
      m_bytes.push_back(0);
    } else {
      m_bytes.push_back(static_cast<uint8_t>(0xc0 | (pointer >> 8)));
      m_bytes.push_back(static_cast<uint8_t>(pointer));
    }
    return *this;
  }
  Datagram& Question(const std::string& name, uint16_t type) { return Name(name).U16(type).U16(kClassIN); }
  // A record whose owner points at the question name.
  Datagram& RecordHead(uint16_t type, uint32_t ttl, uint16_t data_length) {
    return Name("", 12).U16(type).U16(kClassIN).U32(ttl).U16(data_length);
  }
  Datagram& A(const Bytes& address, uint32_t ttl = 300) {
    return RecordHead(kTypeA, ttl, static_cast<uint16_t>(address.size())).Raw(address);
  }
  // An SRV record whose target is written in full.
  Datagram& Srv(uint16_t priority, uint16_t weight, uint16_t port, const std::string& target) {
    const uint16_t target_length = static_cast<uint16_t>(target.empty() ? 1 : target.size() + 2);
    return RecordHead(kTypeSRV, 60, static_cast<uint16_t>(6 + target_length))
        .U16(priority).U16(weight).U16(port).Name(target);
  }

  size_t size() const { return m_bytes.size(); }
  const Bytes& bytes() const { return m_bytes; }

 private:
  Bytes m_bytes;
};

using Server = std::tuple<std::string, uint16_t, uint32_t, uint32_t, std::string>;  // host, port, priority, weight, domain

struct DecodeCase {
  const char* what;
  Bytes datagram;
  bool read;
  std::vector<std::string> addresses;
  std::vector<Server> servers;
};

// The servers in alphabetical order (the set itself is ordered by a hash of the host).
std::vector<Server> ServersOf(const DnsAnswer& answer) {
  std::vector<Server> servers;
  for (const HXServerEndpoint& server : answer.servers)
    servers.emplace_back(server.getHost(), server.getPort(), server.getPriority(), server.getWeight(),
                         server.getDomain());
  std::sort(servers.begin(), servers.end());
  return servers;
}

std::vector<std::string> AddressesOf(const DnsAnswer& answer) {
  std::vector<std::string> addresses;
  for (const AddressAnswer& address : answer.addresses) addresses.push_back(address.address);
  return addresses;
}

const std::string kSrvName = "vcs2.tcp.example.net";

TEST(DnsAnswer, DecodesRecordsAndSkipsWhatIsMalformed) {
  const Bytes v6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const DecodeCase cases[] = {
      {"shorter than a header", Bytes(11, 0x80), false, {}, {}},
      {"query, not a response", Datagram(1, 1, 0x01).Question("a.hx", kTypeA).A({1, 2, 3, 4}).bytes(),
       false, {}, {}},
      {"truncated", Datagram(1, 1, 0x83).Question("a.hx", kTypeA).A({1, 2, 3, 4}).bytes(), false, {}, {}},
      {"one A record", Datagram(1, 1).Question("a.hx", kTypeA).A({10, 0, 0, 1}).bytes(), true,
       {"10.0.0.1"}, {}},
      {"A and AAAA in order",
       Datagram(1, 2).Question("a.hx", kTypeA).RecordHead(kTypeAAAA, 5, 16).Raw(v6).A({10, 0, 0, 2}).bytes(),
       true, {"fd00::1", "10.0.0.2"}, {}},
      {"no answer records", Datagram(1, 0).Question("a.hx", kTypeA).A({10, 0, 0, 1}).bytes(), true, {}, {}},
      {"nothing after the question", Datagram(1, 1).Question("a.hx", kTypeA).bytes(), true, {}, {}},
      {"question cut short", Datagram(1, 1).Name("a.hx").U16(kTypeA).bytes(), true, {}, {}},
      {"question name that does not expand", Datagram(1, 1).Name("a", 0x3f).U32(0).A({1, 1, 1, 1}).bytes(),
       true, {}, {}},
      {"A with 5 bytes skipped, the next record still read",
       Datagram(1, 2).Question("a.hx", kTypeA).A({1, 2, 3, 4, 5}).A({10, 0, 0, 3}).bytes(), true,
       {"10.0.0.3"}, {}},
      {"AAAA with 4 bytes skipped",
       Datagram(1, 1).Question("a.hx", kTypeAAAA).RecordHead(kTypeAAAA, 5, 4).Raw({1, 2, 3, 4}).bytes(), true,
       {}, {}},
      {"RDLENGTH past the datagram ends the reading",
       Datagram(1, 2).Question("a.hx", kTypeA).A({10, 0, 0, 4}).RecordHead(kTypeA, 5, 4).Raw({1, 2}).bytes(),
       true, {"10.0.0.4"}, {}},
      {"fixed record bytes cut short",
       Datagram(1, 2).Question("a.hx", kTypeA).A({10, 0, 0, 5}).Name("", 12).U16(kTypeA).U16(1).bytes(), true,
       {"10.0.0.5"}, {}},
      {"more records counted than present",
       Datagram(1, 0xffff).Question("a.hx", kTypeA).A({10, 0, 0, 6}).bytes(), true, {"10.0.0.6"}, {}},
      {"other types skipped by RDLENGTH",
       Datagram(1, 2).Question("a.hx", kTypeA).RecordHead(5, 60, 3).Raw({1, 'x', 0}).A({10, 0, 0, 7}).bytes(),
       true, {"10.0.0.7"}, {}},
      {"error answer carries no records",
       Datagram(1, 1, 0x81, 0x83).Question("a.hx", kTypeA).A({10, 0, 0, 8}).bytes(), true, {}, {}},
      {"SRV targets of a default server name",
       Datagram(1, 3).Question(kSrvName, kTypeSRV).Srv(10, 5, 4307, "s1.example.net")
           .Srv(99, 0, 443, "s2.example.net").Srv(100, 0, 443, "s3.example.net").bytes(),
       true, {},
       {{"s1.example.net", 4307, 10, 5, "example.net"}, {"s2.example.net", 443, 99, 0, "example.net"}}},
      {"SRV question in capitals keeps the domain as asked",
       Datagram(1, 1).Question("VCS2.TCP.Example.NET", kTypeSRV).Srv(1, 2, 80, "s1").bytes(), true, {},
       {{"s1", 80, 1, 2, "Example.NET"}}},
      {"SRV with an empty target dropped",
       Datagram(1, 2).Question(kSrvName, kTypeSRV).Srv(1, 1, 80, "").Srv(1, 1, 81, "s1").bytes(), true, {},
       {{"s1", 81, 1, 1, "example.net"}}},
      {"SRV for a question shorter than the service prefix skipped",
       Datagram(1, 1).Question("a.b", kTypeSRV).Srv(1, 1, 80, "s1").bytes(), true, {}, {}},
      {"SRV for a question without the service prefix skipped",
       Datagram(1, 1).Question("x.vcs2.tcp.example.net", kTypeSRV).Srv(1, 1, 80, "s1").bytes(), true, {}, {}},
      {"SRV data shorter than its fixed fields skipped",
       Datagram(1, 2).Question(kSrvName, kTypeSRV).RecordHead(kTypeSRV, 60, 5).Raw({0, 1, 0, 1, 0})
           .Srv(1, 1, 80, "s1").bytes(),
       true, {}, {{"s1", 80, 1, 1, "example.net"}}},
      {"SRV target running past RDLENGTH skipped; reading goes on at RDLENGTH, not after the target",
       Datagram(1, 2).Question(kSrvName, kTypeSRV).RecordHead(kTypeSRV, 60, 8).U16(1).U16(1).U16(80)
           .Name("long").Srv(1, 1, 81, "s2").bytes(),
       true, {}, {}},
      {"SRV target pointing at the question name",
       Datagram(1, 1).Question(kSrvName, kTypeSRV).RecordHead(kTypeSRV, 60, 10).U16(3).U16(4).U16(5)
           .Name("x", 12 + 9).bytes(),
       true, {}, {{"x.example.net", 5, 3, 4, "example.net"}}},
      {"SRV target with a pointer loop skipped",
       Datagram(1, 1).Question(kSrvName, kTypeSRV).RecordHead(kTypeSRV, 60, 8).U16(1).U16(1).U16(80)
           .Name("", 12 + 26 + 12 + 6).bytes(),
       true, {}, {}},
      {"the same target twice kept once",
       Datagram(1, 2).Question(kSrvName, kTypeSRV).Srv(1, 1, 80, "s1").Srv(5, 5, 80, "s1").bytes(), true, {},
       {{"s1", 80, 1, 1, "example.net"}}},
  };
  for (const DecodeCase& c : cases) {
    DnsAnswer answer;
    answer.addresses.push_back({"stale", 1, 1});
    // A heap copy of exactly the datagram, so that any read past it is caught.
    const Bytes datagram(c.datagram);
    EXPECT_EQ(DecodeAnswer(datagram.data(), datagram.size(), kNow, answer), c.read) << c.what;
    EXPECT_EQ(AddressesOf(answer), c.addresses) << c.what;
    EXPECT_EQ(ServersOf(answer), c.servers) << c.what;
  }
}

TEST(DnsAnswer, ReportsIdRcodeQuestionAndRecordDetails) {
  const Bytes datagram = Datagram(2, 2)
                             .Question("first.hx", kTypeA)
                             .Question(kSrvName, kTypeSRV)
                             .RecordHead(kTypeA, 3600, 4).Raw({192, 0, 2, 1})
                             .Srv(7, 8, 0, "s1.example.net")
                             .bytes();
  DnsAnswer answer;
  ASSERT_TRUE(DecodeAnswer(datagram.data(), datagram.size(), kNow, answer));
  uint16_t id;
  std::memcpy(&id, datagram.data(), sizeof id);
  EXPECT_EQ(answer.id, id);
  EXPECT_EQ(answer.rcode, 0);
  EXPECT_EQ(answer.questionName, kSrvName);  // the last question
  ASSERT_EQ(answer.addresses.size(), 1u);
  EXPECT_EQ(answer.addresses[0].type, kTypeA);
  EXPECT_EQ(answer.addresses[0].ttl, 3600u);
  ASSERT_EQ(answer.servers.size(), 1u);
  const HXServerEndpoint& server = *answer.servers.begin();
  EXPECT_EQ(server.getPort(), 4307);  // port 0 becomes the default port
  EXPECT_EQ(server.getLastCheckTime(), kNow);
  EXPECT_EQ(server.getLastConnectTime(), 0u);
  EXPECT_EQ(server.getDnsUpdateTime(), 0u);
  EXPECT_EQ(server.getServerUpdateTime(), 0u);
  EXPECT_EQ(server.getPing(), ~0ull);
  EXPECT_EQ(server.getServerId(), "");

  const Bytes error = Datagram(1, 0, 0x81, 0x03).Question("a.hx", kTypeA).bytes();
  ASSERT_TRUE(DecodeAnswer(error.data(), error.size(), kNow, answer));
  EXPECT_EQ(answer.rcode, 3);
}

TEST(DnsAnswer, QuestionNamesOver255CharactersEndTheReading) {
  // Three labels of 63 bytes and one of 61 print as 253 characters; two labels of 63 escaped
  // bytes print as over 500.
  const std::string long_label(63, 'a');
  const std::string fits = long_label + "." + long_label + "." + long_label + "." + std::string(61, 'b');
  Bytes escaped_label = {63};
  escaped_label.insert(escaped_label.end(), 63, 0x01);
  for (const auto& [name_bytes, read] :
       {std::pair{Datagram(1, 1).Question(fits, kTypeA).A({1, 2, 3, 4}).bytes(), true},
        std::pair{Datagram(1, 1).Raw(escaped_label).Raw(escaped_label).Name("x").U32(0).A({1, 2, 3, 4}).bytes(), false}}) {
    DnsAnswer answer;
    ASSERT_TRUE(DecodeAnswer(name_bytes.data(), name_bytes.size(), kNow, answer));
    EXPECT_EQ(answer.addresses.size(), read ? 1u : 0u);
  }
}

TEST(DnsRecords, ReadersCheckTypeLengthAndBounds) {
  const Bytes message = Datagram(0, 0).Raw({10, 0, 0, 1, 0, 1, 0, 2, 0, 3, 0}).bytes();
  std::string address;
  SrvRecord srv;
  struct Case {
    uint16_t type;
    size_t offset;
    uint16_t length;
    bool address_read;
    bool srv_read;
  };
  const Case cases[] = {
      {kTypeA, 12, 4, true, false},
      {kTypeA, 12, 3, false, false},
      {kTypeAAAA, 12, 4, false, false},
      {kTypeA, 20, 4, false, false},        // data past the message
      {kTypeA, SIZE_MAX - 1, 4, false, false},  // offsets that would wrap
      {kTypeSRV, 16, 7, false, true},       // root target
      {kTypeSRV, 16, 6, false, false},      // no room for the target
      {kTypeSRV, 17, 6, false, false},
  };
  for (const Case& c : cases) {
    RecordHeader header;
    header.type = c.type;
    header.dataOffset = c.offset;
    header.dataLength = c.length;
    EXPECT_EQ(ReadAddressRecord(message.data(), message.size(), header, address), c.address_read)
        << c.type << "@" << c.offset;
    EXPECT_EQ(ReadSrvRecord(message.data(), message.size(), header, srv), c.srv_read)
        << c.type << "@" << c.offset;
  }
  EXPECT_EQ(address, "10.0.0.1");
  EXPECT_EQ(srv.priority, 1);
  EXPECT_EQ(srv.weight, 2);
  EXPECT_EQ(srv.port, 3);
  EXPECT_EQ(srv.target, "");
}

TEST(DnsAnswer, SrvDomainOnlyBehindTheServicePrefix) {
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"vcs2.tcp.example.net", true, "example.net"},
      {"VCS2.Tcp.d1.d2", true, "d1.d2"},
      {"vcs2.tcp.", true, ""},
      {"vcs2.tcp", false, ""},
      {"short", false, ""},
      {"", false, ""},
      {"x.vcs2.tcp.d1", false, ""},
      {"vcs2_tcp.d1.d2", false, ""},
  };
  for (const auto& [question, ok, domain] : cases) {
    std::string found;
    EXPECT_EQ(SrvDomainOfQuestion(question, found), ok) << question;
    EXPECT_EQ(found, domain) << question;
  }
}

// Asks a real name server on loopback with queries built by the client's own routines.
class DnsmasqAnswers : public ::testing::Test {
 protected:
  void Start(const std::string& dnsmasq) {
    m_server = std::make_unique<hx::testing::DnsmasqServer>(
        dnsmasq, std::vector<std::string>{
                     "--local=/test/", "--local-ttl=120", "--host-record=a.hx.test,10.1.2.3,fd00::5",
                     "--srv-host=vcs2.tcp.example.test,s1.example.test,4307,10,20",
                     "--srv-host=vcs2.tcp.example.test,s2.example.test,443,20,5",
                     "--srv-host=vcs2.tcp.far.test,s3.example.test,80,100,1"});
    ASSERT_TRUE(m_server->ready());
    m_port = m_server->port();
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(m_socket, 0);
    const timeval wait{0, 100000};
    setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  void TearDown() override {
    if (m_socket >= 0) close(m_socket);
  }

  // Sends the query until an answer comes (the server may still be starting).
  Bytes Ask(const char* name, int type, uint16_t* id) {
    hx_res_state state;
    state.options = HX_RES_RECURSE;
    uint8_t query[512];
    int length = hx_dns_res_nmkquery(&state, 0, name, kClassIN, type, nullptr, 0, nullptr, query,
                                     sizeof query);
    if (type == kTypeSRV) length = hx_res_nopt(&state, length, query, sizeof query, 4096);
    EXPECT_GT(length, 0);
    *id = state.id;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t answer[4096];
    for (int attempt = 0; attempt < 100 && length > 0; ++attempt) {
      sendto(m_socket, query, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      const ssize_t received = recv(m_socket, answer, sizeof answer, 0);
      if (received > 0) return Bytes(answer, answer + received);
    }
    return Bytes();
  }

  uint16_t m_port = 0;
  std::unique_ptr<hx::testing::DnsmasqServer> m_server;
  int m_socket = -1;
};

TEST_F(DnsmasqAnswers, AddressAndServiceLookups) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  Start(dnsmasq);
  struct Case {
    const char* name;
    int type;
    uint8_t rcode;
    std::vector<std::string> addresses;
    std::vector<Server> servers;
  };
  const Case cases[] = {
      {"a.hx.test", kTypeA, 0, {"10.1.2.3"}, {}},
      {"A.HX.test", kTypeAAAA, 0, {"fd00::5"}, {}},
      {"vcs2.tcp.example.test", kTypeSRV, 0, {},
       {{"s1.example.test", 4307, 10, 20, "example.test"}, {"s2.example.test", 443, 20, 5, "example.test"}}},
      {"vcs2.tcp.far.test", kTypeSRV, 0, {}, {}},  // priority 100 only
      {"nosuch.test", kTypeA, 3, {}, {}},
  };
  for (const Case& c : cases) {
    uint16_t id = 0;
    const Bytes datagram = Ask(c.name, c.type, &id);
    ASSERT_FALSE(datagram.empty()) << c.name << ": no answer from dnsmasq";
    DnsAnswer answer;
    ASSERT_TRUE(DecodeAnswer(datagram.data(), datagram.size(), kNow, answer)) << c.name;
    EXPECT_EQ(answer.id, id) << c.name;
    EXPECT_EQ(answer.rcode, c.rcode) << c.name;
    EXPECT_EQ(AddressesOf(answer), c.addresses) << c.name;
    EXPECT_EQ(ServersOf(answer), c.servers) << c.name;
    if (c.rcode == 0) {
      EXPECT_EQ(answer.questionName, c.name);
      EXPECT_GT((datagram[6] << 8) | datagram[7], 0) << c.name << ": the server sent no records";
    }
    for (const AddressAnswer& address : answer.addresses) EXPECT_EQ(address.ttl, 120u) << c.name;
  }
}

}  // namespace
}  // namespace hx::dns
