// The multicast trials and regular connections on real sockets of the real loop, over
// 127.0.0.1 (IPv4 multicast is looped back there; the IPv6 cases run in the network-namespace
// tests). What the trials set is read back from the descriptors; a join or connect that cannot
// work is reported to the listener as a failure; the receiving connection's checks run over
// crafted datagrams sent to its group by a plain socket.

#include "core/streams/udp_mcast_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/address/if_list.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_test_util.h"
#include "testing/media_relay/mcast_relay.h"

namespace hx::testing {
namespace {

constexpr uint32_t kKey = 0x01020304;

// The listener a handshake manager would be.
class RecordingListener : public HX_NetTrialConnection::ListenerCallback {
 public:
  void onTrialConnectDone(HX_NetTrialConnection*, bool success) override {
    (success ? succeeded : failed).fetch_add(1);
  }
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
};

class RecordingSink : public HX_NhpDataSink {
 public:
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t datagramSize) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.emplace_back(packet, packet + size);
    m_datagramSizes.push_back(datagramSize);
    return true;
  }
  std::vector<std::vector<uint8_t>> packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }
  std::vector<size_t> datagramSizes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagramSizes;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_packets;
  std::vector<size_t> m_datagramSizes;
};

// Sizes a socket buffer before the trial's rule looks at it.
template <class Trial>
class PresizedTrial : public Trial {
 public:
  PresizedTrial(HX_UdpMcastSocket* socket, int option, int size)
      : Trial(nullptr, socket), m_option(option), m_size(size) {}

 protected:
  void prepareSocket(HX_UdpMcastSocket* socket) override {
    setsockopt(socket->GetHandle(), SOL_SOCKET, m_option, &m_size, sizeof m_size);
  }

 private:
  const int m_option;
  const int m_size;
};

HXIpIfListItem Loopback() {
  HXIfList list;
  list.gather();
  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  for (const HXIpIfListItem& item : items) {
    if (item.str() == "127.0.0.1") return item;
  }
  return {};
}

HX_UdpMcastSocket* NewSocket() {
  return HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

int IntOption(int handle, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  if (getsockopt(handle, level, name, &value, &length) != 0) return -1;
  return value;
}

class UdpMcastConnection : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    local = Loopback();
    ASSERT_FALSE(local.empty()) << "no 127.0.0.1 on this machine";
    port = FreeUdpPort();
    group = Target("239.255.77.1");
  }
  // Recycled connections and their sockets are deleted by jobs on the loop: let them run.
  void TearDown() override {
    OnLoop([] {});
    OnLoop([] {});
    LoopFixture::TearDown();
  }
  HX_MediaConnectionTrialUDPMcast::ConnectTarget Target(const std::string& address) {
    HX_MediaConnectionTrialUDPMcast::ConnectTarget target;
    HXIpAddress ip;
    EXPECT_TRUE(ip.set(address.c_str()));
    target.group = HXSockAddr(ip::Proto::udp, ip, port);
    target.local = local;
    target.udpKey = kKey;
    return target;
  }
  // Starts `trial` towards `target` and waits for its one report.
  void Run(HX_MediaConnectionTrialUDPMcast* trial,
           const HX_MediaConnectionTrialUDPMcast::ConnectTarget& target) {
    trial->setListener(&listener);
    ASSERT_TRUE(trial->connectPeer(target));
    ASSERT_TRUE(trial->start());
    ASSERT_TRUE(WaitUntil([&] { return listener.succeeded + listener.failed == 1; }));
  }

  HXIpIfListItem local;
  uint16_t port = 0;
  HX_MediaConnectionTrialUDPMcast::ConnectTarget group;
  RecordingListener listener;
};

TEST_F(UdpMcastConnection, TargetText) {
  EXPECT_EQ(group.str(), "Mcast 239.255.77.1:" + std::to_string(port) + " local 127.0.0.1");
}

TEST_F(UdpMcastConnection, SenderTrialSetsTypeOfServiceAndTimeToLive) {
  auto* trial = new HX_SenderConnectionTrialUDPMcast(nullptr, NewSocket());
  Run(trial, group);
  EXPECT_EQ(listener.succeeded, 1);
  const int handle = trial->socket()->GetHandle();
  ASSERT_NE(handle, -1);
  EXPECT_EQ(IntOption(handle, IPPROTO_IP, IP_TOS), 48);
  EXPECT_EQ(IntOption(handle, IPPROTO_IP, IP_MULTICAST_TTL), 5);
  HXSockAddr remote;
  ASSERT_TRUE(remote.setFromLiveRemote(handle));
  EXPECT_EQ(remote.strBind(), group.group.strBind());
  trial->connRecycle();
}

// What cannot work is reported as a failure: a join on an address no interface has, a connect
// to a group of the other family.
TEST_F(UdpMcastConnection, FailedJoinOrConnectIsReported) {
  {
    auto target = group;
    HXIpAddress nowhere;
    ASSERT_TRUE(nowhere.set("192.0.2.77"));
    target.local = HXIpIfListItem(nullptr, nowhere, HXNetMask());
    auto* trial = new HX_ReceiverConnectionTrialUDPMcast(nullptr, NewSocket());
    Run(trial, target);
    EXPECT_EQ(listener.failed, 1);
    trial->connRecycle();
  }
  {
    RecordingListener other;
    auto target = Target("ff15::77");
    auto* trial = new HX_SenderConnectionTrialUDPMcast(nullptr, NewSocket());
    trial->setListener(&other);
    ASSERT_TRUE(trial->connectPeer(target));
    ASSERT_TRUE(trial->start());
    ASSERT_TRUE(WaitUntil([&] { return other.succeeded + other.failed == 1; }));
    EXPECT_EQ(other.failed, 1);
    trial->connRecycle();
  }
}

// Buffers below 32768 bytes are raised to it; larger ones stay. The system doubles what it is
// given: 4096 reads 8192, 40000 reads 80000.
TEST_F(UdpMcastConnection, TrialBufferRule) {
  struct Case {
    int presize;
    int atLeast;
    int exactly;  // 0: only the lower bound
  };
  const Case cases[] = {{4096, 32768, 0}, {40000, 80000, 80000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.presize);
    RecordingListener sendListener;
    auto* sender =
        new PresizedTrial<HX_SenderConnectionTrialUDPMcast>(NewSocket(), SO_SNDBUF, c.presize);
    sender->setListener(&sendListener);
    ASSERT_TRUE(sender->connectPeer(group));
    ASSERT_TRUE(sender->start());
    ASSERT_TRUE(WaitUntil([&] { return sendListener.succeeded == 1; }));
    const int sent = IntOption(sender->socket()->GetHandle(), SOL_SOCKET, SO_SNDBUF);
    EXPECT_GE(sent, c.atLeast);
    if (c.exactly != 0) EXPECT_EQ(sent, c.exactly);
    sender->connRecycle();

    RecordingListener receiveListener;
    auto* receiver =
        new PresizedTrial<HX_ReceiverConnectionTrialUDPMcast>(NewSocket(), SO_RCVBUF, c.presize);
    receiver->setListener(&receiveListener);
    ASSERT_TRUE(receiver->connectPeer(group));
    ASSERT_TRUE(receiver->start());
    ASSERT_TRUE(WaitUntil([&] { return receiveListener.succeeded == 1; }));
    const int received = IntOption(receiver->socket()->GetHandle(), SOL_SOCKET, SO_RCVBUF);
    EXPECT_GE(received, c.atLeast);
    if (c.exactly != 0) EXPECT_EQ(received, c.exactly);
    receiver->connRecycle();
  }
}

// A datagram with a valid head around `payload`, optionally altered afterwards.
std::vector<uint8_t> Datagram(const std::vector<uint8_t>& payload, uint32_t key = kKey) {
  std::vector<uint8_t> d(HX_UdpMulticastHead::kSize + payload.size());
  std::copy(payload.begin(), payload.end(), d.begin() + HX_UdpMulticastHead::kSize);
  HX_UdpMulticastHead::Write(d.data(), payload.data(), static_cast<uint16_t>(payload.size()), 7, 2,
                             key);
  return d;
}

// The receiving connection's checks, one crafted datagram each. Every case is followed by a
// marker datagram: what the sink holds before the marker is what the case let through.
TEST_F(UdpMcastConnection, ReceiverChecksCraftedDatagrams) {
  auto* trial = new HX_ReceiverConnectionTrialUDPMcast(nullptr, NewSocket());
  Run(trial, group);
  ASSERT_EQ(listener.succeeded, 1);
  RecordingSink sink;
  HX_UdpMcastSocket* taken = HXZServer::inheritNative<HX_UdpMcastSocket>(trial->socket());
  ASSERT_NE(taken, nullptr);
  auto* connection = new HX_ReceiverConnectionUDPMulticast(nullptr, &sink, taken, kKey);
  trial->connRecycle();
  connection->start();

  const std::vector<uint8_t> payload = {0x10, 1, 0, 0, 0xAB, 0xCD};
  const std::vector<uint8_t> big(300, 0x5A);
  auto with = [](std::vector<uint8_t> d, size_t at, uint8_t value) {
    d[at] = value;
    return d;
  };
  auto grown = [](std::vector<uint8_t> d, size_t by) {
    d.resize(d.size() + by, 0xEE);
    return d;
  };
  // A 20-byte head: the payload starts at 20.
  std::vector<uint8_t> longHead = Datagram(payload);
  longHead.insert(longHead.begin() + 14, 6, 0x00);
  longHead[8] = 20;
  std::vector<uint8_t> hugeLength = Datagram(payload);
  hugeLength[0] = static_cast<uint8_t>(65501 & 0xFF);
  hugeLength[1] = static_cast<uint8_t>(65501 >> 8);
  std::vector<uint8_t> shortOfPayload = Datagram(big);
  shortOfPayload.resize(shortOfPayload.size() - 1);

  struct Case {
    const char* name;
    std::vector<uint8_t> datagram;
    bool accepted;
    std::vector<uint8_t> packet;  // what reaches the sink when accepted
  };
  const std::vector<uint8_t> empty = Datagram({});
  const std::vector<Case> cases = {
      {"13 bytes", std::vector<uint8_t>(empty.begin(), empty.begin() + 13), false, {}},
      {"head length 0", with(Datagram(payload), 8, 0), false, {}},
      {"head length 13", with(Datagram(payload), 8, 13), false, {}},
      {"payload length above 65500", hugeLength, false, {}},
      {"shorter than head and payload", shortOfPayload, false, {}},
      {"wrong checksum",
       with(Datagram(payload), 7, McastRelay::Checksum(payload.data(), 6) + 1),
       false,
       {}},
      {"empty payload without 172", with(Datagram({}), 7, 171), false, {}},
      {"another key", Datagram(payload, kKey + 1), false, {}},
      {"exactly 14 bytes, empty payload", Datagram({}), true, {}},
      {"payload", Datagram(payload), true, payload},
      {"longer datagram than head and payload", grown(Datagram(big), 9), true, big},
      {"head of 20 bytes", longHead, true, payload},
  };

  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(sender, -1);
  in_addr loop{};
  loop.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &loop, sizeof loop), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "239.255.77.1", &to.sin_addr);
  auto send = [&](const std::vector<uint8_t>& d) {
    ASSERT_EQ(sendto(sender, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(d.size()));
  };
  const std::vector<uint8_t> marker = {0x30, 0, 9, 9, 'm'};
  size_t expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    send(c.datagram);
    send(Datagram(marker));
    expected += c.accepted ? 2 : 1;
    ASSERT_TRUE(WaitUntil([&] { return sink.packets().size() >= expected; }));
    const auto packets = sink.packets();
    ASSERT_EQ(packets.size(), expected);
    EXPECT_EQ(packets.back(), marker);
    if (c.accepted) {
      EXPECT_EQ(packets[expected - 2], c.packet);
      EXPECT_EQ(sink.datagramSizes()[expected - 2], c.datagram.size());
    }
  }
  close(sender);
  connection->connRecycle();
}

}  // namespace
}  // namespace hx::testing
