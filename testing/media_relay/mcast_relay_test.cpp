// The fake multicast relay over 127.0.0.1 with plain sockets on both sides: it forwards what
// senders send to its group to every receiver group with the receiver's key in the head, refuses
// datagrams whose head does not hold, and each fault knob does what it says.

#include "testing/media_relay/mcast_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace hx::testing {
namespace {

// Groups are shared by every process on the host: ports free at start keep concurrent runs apart.
uint16_t FreePort() {
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
  close(handle);
  return ntohs(address.sin_port);
}
const uint16_t kSenderPort = FreePort();
const uint16_t kReceiverPort = [] {
  uint16_t port = FreePort();
  while (port == kSenderPort) port = FreePort();
  return port;
}();
constexpr char kSenderGroup[] = "239.255.79.1";
constexpr char kReceiverGroup[] = "239.255.79.2";

// A plain socket joined to the receiver group on 127.0.0.1.
class GroupReader {
 public:
  GroupReader() {
    m_handle = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(m_handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kReceiverPort);
    inet_pton(AF_INET, kReceiverGroup, &address.sin_addr);
    m_ok = bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ip_mreq request{};
    request.imr_multiaddr = address.sin_addr;
    request.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    m_ok =
        m_ok && setsockopt(m_handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
  }
  ~GroupReader() { close(m_handle); }
  bool ok() const { return m_ok; }
  // The next datagram within `ms`, empty when none came.
  std::vector<uint8_t> next(int ms = 5000) {
    pollfd item{m_handle, POLLIN, 0};
    if (poll(&item, 1, ms) != 1) return {};
    std::vector<uint8_t> datagram(65536);
    const ssize_t n = recv(m_handle, datagram.data(), datagram.size(), 0);
    datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return datagram;
  }

 private:
  int m_handle = -1;
  bool m_ok = false;
};

void SendToRelay(const std::vector<uint8_t>& datagram) {
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loop{};
  loop.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &loop, sizeof loop);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSenderPort);
  inet_pton(AF_INET, kSenderGroup, &to.sin_addr);
  sendto(handle, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(handle);
}

std::vector<uint8_t> Datagram(const std::vector<uint8_t>& payload, uint32_t key) {
  std::vector<uint8_t> d(14, 0);
  d[0] = static_cast<uint8_t>(payload.size());
  d[1] = static_cast<uint8_t>(payload.size() >> 8);
  d[6] = 2;
  d[7] = McastRelay::Checksum(payload.data(), payload.size());
  d[8] = 14;
  d[9] = 1;
  for (int i = 0; i < 4; ++i) d[10 + i] = static_cast<uint8_t>(key >> (8 * i));
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

uint32_t KeyOf(const std::vector<uint8_t>& d) {
  return d[10] | (d[11] << 8) | (d[12] << 16) | (static_cast<uint32_t>(d[13]) << 24);
}

TEST(McastRelay, ChecksumOfEmptyAndSpacedBytes) {
  EXPECT_EQ(McastRelay::Checksum(nullptr, 0), 172);
  std::vector<uint8_t> bytes(500, 0);
  bytes[0] = 1;
  bytes[234] = 2;
  bytes[468] = 3;
  bytes[1] = 100;  // not a sampled byte
  EXPECT_EQ(McastRelay::Checksum(bytes.data(), bytes.size()), 178);
}

TEST(McastRelay, ForwardsWithTheReceiversKeyAndRefusesBrokenHeads) {
  McastRelay relay;
  GroupReader reader;
  ASSERT_TRUE(reader.ok());
  ASSERT_TRUE(relay.joinSenderGroup(kSenderGroup, kSenderPort, "127.0.0.1"));
  ASSERT_TRUE(relay.addReceiverGroup(kReceiverGroup, kReceiverPort, 0xCAFE, "127.0.0.1"));

  const std::vector<uint8_t> payload(400, 0x42);
  std::vector<uint8_t> broken = Datagram(payload, 1);
  broken[7] ^= 1;
  SendToRelay(broken);
  SendToRelay(Datagram(payload, 1));
  const std::vector<uint8_t> got = reader.next();
  ASSERT_EQ(got.size(), 14 + payload.size());
  EXPECT_EQ(KeyOf(got), 0xCAFEu);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 14, got.end()), payload);
  EXPECT_TRUE(reader.next(200).empty());
  EXPECT_EQ(relay.counters().received, 2u);
  EXPECT_EQ(relay.counters().malformed, 1u);
}

// Each knob at full strength on its own.
TEST(McastRelay, FaultKnobs) {
  struct Case {
    const char* name;
    McastRelay::Faults faults;
    int expectedCount;  // datagrams out for one in
  };
  auto with = [](auto set) {
    McastRelay::Faults faults;
    set(faults);
    return faults;
  };
  const Case cases[] = {
      {"drop", with([](auto& f) { f.drop = 1; }), 0},
      {"duplicate", with([](auto& f) { f.duplicate = 1; }), 2},
      {"spoil key", with([](auto& f) { f.spoilKey = 1; }), 1},
      {"spoil checksum", with([](auto& f) { f.spoilChecksum = 1; }), 1},
      {"cut", with([](auto& f) { f.cut = 1; }), 1},
  };
  const std::vector<uint8_t> payload(300, 0x17);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    McastRelay relay;
    GroupReader reader;
    ASSERT_TRUE(reader.ok());
    relay.setFaults(c.faults);
    ASSERT_TRUE(relay.joinSenderGroup(kSenderGroup, kSenderPort, "127.0.0.1"));
    ASSERT_TRUE(relay.addReceiverGroup(kReceiverGroup, kReceiverPort, 0xCAFE, "127.0.0.1"));
    SendToRelay(Datagram(payload, 1));
    std::vector<std::vector<uint8_t>> out;
    for (std::vector<uint8_t> d = reader.next(1000); !d.empty(); d = reader.next(300)) {
      out.push_back(d);
    }
    ASSERT_EQ(static_cast<int>(out.size()), c.expectedCount);
    if (out.empty()) continue;
    const std::vector<uint8_t>& d = out[0];
    if (c.faults.spoilKey > 0) EXPECT_NE(KeyOf(d), 0xCAFEu);
    if (c.faults.spoilChecksum > 0) EXPECT_FALSE(McastRelay::HeadHolds(d.data(), d.size()));
    if (c.faults.cut > 0) EXPECT_LT(d.size(), 14 + payload.size());
  }
}

// Reordering holds one datagram back until the next has gone.
TEST(McastRelay, ReorderSwapsNeighbours) {
  McastRelay relay;
  GroupReader reader;
  ASSERT_TRUE(reader.ok());
  McastRelay::Faults faults;
  faults.reorder = 1;
  relay.setFaults(faults);
  ASSERT_TRUE(relay.joinSenderGroup(kSenderGroup, kSenderPort, "127.0.0.1"));
  ASSERT_TRUE(relay.addReceiverGroup(kReceiverGroup, kReceiverPort, 9, "127.0.0.1"));
  SendToRelay(Datagram({1}, 1));
  EXPECT_TRUE(reader.next(200).empty());
  SendToRelay(Datagram({2}, 1));
  const std::vector<uint8_t> first = reader.next();
  const std::vector<uint8_t> second = reader.next();
  ASSERT_EQ(first.size(), 15u);
  ASSERT_EQ(second.size(), 15u);
  EXPECT_EQ(first[14], 2);
  EXPECT_EQ(second[14], 1);
}

}  // namespace
}  // namespace hx::testing
