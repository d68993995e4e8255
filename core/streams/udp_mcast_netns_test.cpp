// Multicast trials and connections in both address families across a veth pair, run inside a
// private network namespace by testing/netns/run_in_veth_netns.sh (IPv6 multicast does not work
// on lo). The sender sends on one end of the pair, the receiver joins on the other; each
// datagram crosses the pair and passes the receiving connection's checks.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/address/if_list.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/udp_mcast_connection.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_sender_base.h"
#include "core/streams/udp_test_util.h"

namespace hx::testing {
namespace {

constexpr uint32_t kKey = 0x600D600D;

class Listener : public HX_NetTrialConnection::ListenerCallback {
 public:
  void onTrialConnectDone(HX_NetTrialConnection*, bool success) override {
    (success ? succeeded : failed).fetch_add(1);
  }
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
};

class Sink : public HX_NhpDataSink {
 public:
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.emplace_back(packet, packet + size);
    return true;
  }
  std::vector<std::vector<uint8_t>> packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_packets;
};

// A send handler with no stream: the connection only needs it for its callbacks.
class IdleSender : public HX_SenderUDPBase {
 public:
  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return 0; }
  void PingStream() override {}
};

HXIpIfListItem Item(const char* variable) {
  const char* address = std::getenv(variable);
  if (address == nullptr) return {};
  HXIfList list;
  list.gather();
  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  for (const HXIpIfListItem& item : items) {
    if (item.str() == address) return item;
  }
  return {};
}

HX_UdpMcastSocket* NewSocket() {
  return HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

class UdpMcastNetns : public LoopFixture {
 protected:
  void SetUp() override {
    if (std::getenv("HX_NETNS") == nullptr) {
      GTEST_SKIP() << "runs under testing/netns/run_in_veth_netns.sh (ctest does that)";
    }
    LoopFixture::SetUp();
  }
  void TearDown() override {
    if (loop == nullptr) return;
    OnLoop([] {});
    OnLoop([] {});
    LoopFixture::TearDown();
  }
};

TEST_F(UdpMcastNetns, BothFamiliesCrossTheVethPair) {
  struct Case {
    const char* group;
    const char* senderAddress;    // environment variable naming the sending end's address
    const char* receiverAddress;  // the receiving end's
    int hopsLevel;
    int hopsOption;
  };
  const Case cases[] = {
      {"239.255.80.1", "HX_VETH_A_IPV4", "HX_VETH_B_IPV4", IPPROTO_IP, IP_MULTICAST_TTL},
      {"ff15::80:1", "HX_VETH_A_IPV6", "HX_VETH_B_IPV6", IPPROTO_IPV6, IPV6_MULTICAST_HOPS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    HX_MediaConnectionTrialUDPMcast::ConnectTarget target;
    HXIpAddress group;
    ASSERT_TRUE(group.set(c.group));
    target.group = HXSockAddr(ip::Proto::udp, group, FreeUdpPort());
    target.udpKey = kKey;

    target.local = Item(c.receiverAddress);
    ASSERT_FALSE(target.local.empty());
    Listener receiverListener;
    auto* receiverTrial = new HX_ReceiverConnectionTrialUDPMcast(nullptr, NewSocket());
    receiverTrial->setListener(&receiverListener);
    receiverTrial->connectPeer(target);
    ASSERT_TRUE(receiverTrial->start());
    ASSERT_TRUE(WaitUntil([&] { return receiverListener.succeeded + receiverListener.failed; }));
    ASSERT_EQ(receiverListener.succeeded, 1);
    Sink sink;
    auto* receiving = new HX_ReceiverConnectionUDPMulticast(
        nullptr, &sink, HXZServer::inheritNative<HX_UdpMcastSocket>(receiverTrial->socket()), kKey);
    receiverTrial->connRecycle();
    receiving->start();

    target.local = Item(c.senderAddress);
    ASSERT_FALSE(target.local.empty());
    Listener senderListener;
    auto* senderTrial = new HX_SenderConnectionTrialUDPMcast(nullptr, NewSocket());
    senderTrial->setListener(&senderListener);
    senderTrial->connectPeer(target);
    ASSERT_TRUE(senderTrial->start());
    ASSERT_TRUE(WaitUntil([&] { return senderListener.succeeded + senderListener.failed; }));
    ASSERT_EQ(senderListener.succeeded, 1);
    int hops = 0;
    socklen_t length = sizeof hops;
    ASSERT_EQ(
        getsockopt(senderTrial->socket()->GetHandle(), c.hopsLevel, c.hopsOption, &hops, &length),
        0);
    EXPECT_EQ(hops, 5);
    IdleSender handler;
    auto* sending = new HX_SenderConnectionUDPMulticast(
        &handler, HXZServer::inheritNative<HX_UdpMcastSocket>(senderTrial->socket()), kKey);
    senderTrial->connRecycle();

    const std::vector<uint8_t> payload = {0x30, 0, 1, 0, 'v', 'e', 't', 'h'};
    std::vector<uint8_t> datagram(HX_UdpMulticastHead::kSize);
    HX_UdpMulticastHead::Write(datagram.data(), payload.data(), payload.size(), 1, 5, kKey);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    // The join may take a moment to reach the pair: send until one arrives.
    EXPECT_TRUE(WaitUntil([&] {
      EXPECT_EQ(sending->sendData(datagram.data(), datagram.size()), datagram.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return !sink.packets().empty();
    }));
    if (!sink.packets().empty()) EXPECT_EQ(sink.packets()[0], payload);
    sending->connRecycle();
    receiving->connRecycle();
    OnLoop([] {});
  }
}

}  // namespace
}  // namespace hx::testing
