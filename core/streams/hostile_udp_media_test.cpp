// The UDP media path as a hostile relay or peer sees it: datagrams cut at every length around the
// 14-byte multicast head, heads that lie about their own length, payload lengths that lie,
// checksums one off, other keys, floods from several threads, a connection recycled while
// datagrams arrive; packets that do not decipher; frames that the send side must cut without
// writing outside them. Datagrams that the plain check sees live in allocations of exactly their
// size, so that AddressSanitizer reports any byte read outside them; the receiving connection is
// fed over real loopback multicast by plain sockets.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/conference/store/conference_lock.h"
#include "core/net/address/if_list.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/security/stream_crypter.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/udp_direct_media_connection.h"
#include "core/streams/udp_mcast_connection.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_sender_base.h"
#include "core/streams/udp_stream_helper.h"
#include "core/streams/udp_test_util.h"
#include "testing/media_relay/mcast_relay.h"

namespace hx::testing {
namespace {

constexpr uint32_t kUdpKey = 0x5A6B7C8D;
constexpr char kKeyA[] = "00112233445566778899aabbccddeeff";
constexpr char kKeyB[] = "ffeeddccbbaa99887766554433221100";
constexpr size_t kHead = HX_UdpMulticastHead::kSize;

using Bytes = std::vector<uint8_t>;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A datagram built by hand (the relay's own checksum): `headLength` head bytes (the ones past 14
// zero), then `payload`.
Bytes Datagram(const Bytes& payload, uint32_t key = kUdpKey, uint8_t headLength = kHead) {
  Bytes d(headLength + payload.size(), 0);
  PutLe16(d.data(), static_cast<uint32_t>(payload.size()));
  d[2] = 0x11;
  d[3] = 0x22;
  d[6] = 5;
  d[7] = McastRelay::Checksum(payload.data(), payload.size());
  d[8] = headLength;
  d[9] = 1;
  d[10] = static_cast<uint8_t>(key);
  d[11] = static_cast<uint8_t>(key >> 8);
  d[12] = static_cast<uint8_t>(key >> 16);
  d[13] = static_cast<uint8_t>(key >> 24);
  std::copy(payload.begin(), payload.end(), d.begin() + headLength);
  return d;
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 31);
  return b;
}

// What the receiving side must do with a datagram, written from the head's rules.
struct Verdict {
  bool accepted = false;
  size_t offset = 0;
  size_t length = 0;
};
Verdict Expected(const Bytes& d, uint32_t key) {
  Verdict v;
  if (d.size() < kHead || d[8] < kHead) return v;
  const size_t h = d[8];
  const size_t p = Le16(d.data());
  if (p > HX_UdpMulticastHead::kMaxPayload) return v;
  if (p > 0) {
    if (d.size() < h + p || d[7] != McastRelay::Checksum(d.data() + h, p)) return v;
  } else if (d[7] != 172) {
    return v;
  }
  if (Le32(d.data() + 10) != key) return v;
  return {true, h, p};
}

// Runs the check on a copy of `d` in an allocation of exactly its size.
Verdict Check(const Bytes& d, uint32_t key) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size()]);
  std::copy(d.begin(), d.end(), exact.get());
  Verdict v;
  v.accepted = HX_CheckMulticastDatagram(exact.get(), d.size(), key, v.offset, v.length);
  if (!v.accepted) v.offset = v.length = 0;
  return v;
}

void ExpectVerdict(const Bytes& d, const Verdict& want) {
  const Verdict got = Check(d, kUdpKey);
  EXPECT_EQ(got.accepted, want.accepted);
  if (got.accepted && want.accepted) {
    EXPECT_EQ(got.offset, want.offset);
    EXPECT_EQ(got.length, want.length);
  }
}

// ---------------------------------------------------------------------------------------------
// The head check alone.

// A 20-byte datagram (head and 6 payload bytes) and a 14-byte one (empty payload) with junk
// after it, cut or grown to every length from 0 to 20.
TEST(HostileMulticastHead, EveryLengthAroundTheHead) {
  const Bytes six = Pattern(6, 3);
  const Bytes full = Datagram(six);
  const Bytes empty = Datagram({});
  for (size_t n = 0; n <= 20; ++n) {
    SCOPED_TRACE(n);
    ExpectVerdict(Bytes(full.begin(), full.begin() + n),
                  n == full.size() ? Verdict{true, kHead, 6} : Verdict{});
    Bytes grown = empty;
    grown.resize(n, 0xEE);
    ExpectVerdict(grown, n >= kHead ? Verdict{true, kHead, 0} : Verdict{});
  }
}

// Head length byte: 0 to 13 are never media; 14 and more move the payload; the payload must lie
// where the head says, under the checksum.
TEST(HostileMulticastHead, HeadLengthByte) {
  const Bytes payload = Pattern(9, 40);
  for (int h = 0; h <= 40; ++h) {
    SCOPED_TRACE(h);
    // Built with the payload at h (or at 14 when h is below 14, then byte 8 rewritten).
    Bytes d = Datagram(payload, kUdpKey, static_cast<uint8_t>(std::max<int>(h, kHead)));
    d[8] = static_cast<uint8_t>(h);
    ExpectVerdict(d, h < static_cast<int>(kHead) ? Verdict{}
                                                 : Verdict{true, static_cast<size_t>(h), 9});
    // The same head length with the payload left at 14: the bytes at h do not hold it.
    if (h > static_cast<int>(kHead)) {
      Bytes shifted = Datagram(payload);
      shifted[8] = static_cast<uint8_t>(h);
      ExpectVerdict(shifted, Expected(shifted, kUdpKey));
    }
  }
}

// Payload lengths that lie, checksums one off, the empty payload's 172.
TEST(HostileMulticastHead, PayloadLengthsAndChecksumsThatLie) {
  auto withLength = [](Bytes d, uint32_t p) {
    PutLe16(d.data(), p);
    return d;
  };
  auto withSum = [](Bytes d, int delta) {
    d[7] = static_cast<uint8_t>(d[7] + delta);
    return d;
  };
  const Bytes small = Pattern(30, 9);
  const Bytes max = Pattern(HX_UdpMulticastHead::kMaxPayload, 1);
  const Bytes over = Pattern(HX_UdpMulticastHead::kMaxPayload + 1, 1);
  Bytes largest = Pattern(65535, 2);
  struct Case {
    const char* name;
    Bytes datagram;
    Verdict want;
  };
  const Case cases[] = {
      {"length as sent", Datagram(small), {true, kHead, 30}},
      {"length 0 over a payload, sum of the payload", withLength(Datagram(small), 0), {}},
      {"length 0 over a payload, sum 172",
       [&] {
         Bytes d = withLength(Datagram(small), 0);
         d[7] = 172;
         return d;
       }(),
       {true, kHead, 0}},
      {"one past the datagram", withLength(Datagram(small), 31), {}},
      // A datagram may hold more than head and payload.
      {"one short of the payload", withLength(Datagram(small), 29), {true, kHead, 29}},
      {"65500 in a datagram that holds them", Datagram(max), {true, kHead, 65500}},
      {"65500 in a datagram one short",
       [&] {
         Bytes d = Datagram(max);
         d.pop_back();
         return d;
       }(),
       {}},
      {"65501 in a datagram that holds them", Datagram(over), {}},
      {"65535 in a datagram that holds them", Datagram(largest), {}},
      {"65535 in a small datagram", withLength(Datagram(small), 65535), {}},
      {"checksum plus one", withSum(Datagram(small), 1), {}},
      {"checksum minus one", withSum(Datagram(small), -1), {}},
      {"empty payload, 172", Datagram({}), {true, kHead, 0}},
      {"empty payload, 171", withSum(Datagram({}), -1), {}},
      {"empty payload, 173", withSum(Datagram({}), 1), {}},
      {"empty payload, 0", withSum(Datagram({}), -172), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectVerdict(c.datagram, c.want);
  }
}

// Any byte of the key differs: dropped. The bytes the receiver does not judge (tick, track,
// byte 9) may be anything.
TEST(HostileMulticastHead, KeyAndUnjudgedBytes) {
  const Bytes payload = Pattern(12, 77);
  for (size_t at = 10; at < 14; ++at) {
    SCOPED_TRACE(at);
    Bytes d = Datagram(payload);
    d[at] ^= 0x01;
    ExpectVerdict(d, {});
  }
  EXPECT_FALSE(Check(Datagram(payload), 0).accepted);
  EXPECT_TRUE(Check(Datagram(payload, 0), 0).accepted);
  for (size_t at : {2, 3, 4, 5, 6, 9}) {
    SCOPED_TRACE(at);
    for (uint8_t value : {0, 3, 255}) {
      Bytes d = Datagram(payload);
      d[at] = value;
      ExpectVerdict(d, {true, kHead, 12});
    }
  }
}

// Whatever is accepted lies inside the datagram: a head length that points past the end of a
// datagram with an empty payload must not hand out an offset outside it.
TEST(HostileMulticastHead, AcceptedPayloadLiesInsideTheDatagram) {
  for (int h : {15, 20, 100, 255}) {
    SCOPED_TRACE(h);
    Bytes d = Datagram({});
    d[8] = static_cast<uint8_t>(h);
    const Verdict v = Check(d, kUdpKey);
    if (v.accepted) EXPECT_LE(v.offset + v.length, d.size());
  }
}

// Seeded random damage to valid datagrams, compared with the rules; every datagram sits in an
// allocation of its own size. Empty payloads whose head length points past the end are the
// previous test's.
TEST(HostileMulticastHead, RandomDamageFollowsTheRules) {
  std::mt19937 random(20261211);
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const uint32_t lengths[] = {0, 1, 65500, 65501, 65535};
  size_t accepted = 0, rejected = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes d = Datagram(Pattern(below(48), static_cast<uint8_t>(round)), kUdpKey,
                       static_cast<uint8_t>(kHead + (below(4) == 0 ? below(8) : 0)));
    for (uint32_t m = below(4); m > 0; --m) {
      switch (below(6)) {
        case 0: d.resize(below(static_cast<uint32_t>(d.size()) + 1)); break;
        case 1: d.resize(d.size() + 1 + below(6), static_cast<uint8_t>(below(256))); break;
        case 2:
          if (d.size() >= 2) {
            const uint32_t pick = below(7);
            PutLe16(d.data(), pick < 5 ? lengths[pick] : Le16(d.data()) + (pick == 5 ? 1 : -1));
          }
          break;
        case 3: if (d.size() > 7) d[7] = static_cast<uint8_t>(d[7] + (below(2) ? 1 : -1)); break;
        case 4: if (d.size() > 8) d[8] = static_cast<uint8_t>(below(24)); break;
        default: if (!d.empty()) d[below(static_cast<uint32_t>(d.size()))] ^= 1 << below(8); break;
      }
    }
    if (d.size() >= kHead && Le16(d.data()) == 0 && d[8] > d.size()) continue;
    const Verdict want = Expected(d, kUdpKey);
    const Verdict got = Check(d, kUdpKey);
    (want.accepted ? accepted : rejected)++;
    ASSERT_EQ(got.accepted, want.accepted) << "round " << round << " size " << d.size();
    if (want.accepted) {
      ASSERT_EQ(got.offset, want.offset) << "round " << round;
      ASSERT_EQ(got.length, want.length) << "round " << round;
    }
  }
  // The damage reached both sides of the rules.
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(rejected, 1000u);
}

// ---------------------------------------------------------------------------------------------
// The receiving multicast connection over loopback.

class RecordingSink : public HX_NhpDataSink {
 public:
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t datagramSize) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.emplace_back(packet, packet + size);
    m_datagramSizes.push_back(datagramSize);
    if (m_also) m_also(packet, size);
    return true;
  }
  // What the receive handler would do with each packet besides; set before traffic starts.
  void setAlso(std::function<void(const uint8_t*, size_t)> also) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_also = std::move(also);
  }
  std::vector<Bytes> packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }
  std::vector<size_t> datagramSizes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagramSizes;
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets.size();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Bytes> m_packets;
  std::vector<size_t> m_datagramSizes;
  std::function<void(const uint8_t*, size_t)> m_also;
};

class Listener : public HX_NetTrialConnection::ListenerCallback {
 public:
  void onTrialConnectDone(HX_NetTrialConnection*, bool success) override {
    (success ? succeeded : failed).fetch_add(1);
  }
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
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

uint16_t FreeUdpPort() {
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

constexpr char kGroup[] = "239.255.91.7";

// A plain socket that sends to the group over loopback, as the relay would.
class GroupSender {
 public:
  explicit GroupSender(uint16_t port) {
    m_handle = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr loop{};
    loop.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(m_handle, IPPROTO_IP, IP_MULTICAST_IF, &loop, sizeof loop);
    m_to.sin_family = AF_INET;
    m_to.sin_port = htons(port);
    inet_pton(AF_INET, kGroup, &m_to.sin_addr);
  }
  ~GroupSender() { close(m_handle); }
  bool Send(const Bytes& d) const {
    return sendto(m_handle, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&m_to),
                  sizeof m_to) == static_cast<ssize_t>(d.size());
  }

 private:
  int m_handle;
  sockaddr_in m_to{};
};

class HostileMcastReceiver : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    const HXIpIfListItem local = Loopback();
    ASSERT_FALSE(local.empty()) << "no 127.0.0.1 on this machine";
    port = FreeUdpPort();
    HX_MediaConnectionTrialUDPMcast::ConnectTarget target;
    HXIpAddress ip;
    ASSERT_TRUE(ip.set(kGroup));
    target.group = HXSockAddr(ip::Proto::udp, ip, port);
    target.local = local;
    target.udpKey = kUdpKey;
    auto* trial = new HX_ReceiverConnectionTrialUDPMcast(
        nullptr,
        HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    trial->setListener(&listener);
    ASSERT_TRUE(trial->connectPeer(target));
    ASSERT_TRUE(trial->start());
    ASSERT_TRUE(WaitUntil([&] { return listener.succeeded + listener.failed == 1; }));
    ASSERT_EQ(listener.succeeded, 1);
    HX_UdpMcastSocket* taken = HXZServer::inheritNative<HX_UdpMcastSocket>(trial->socket());
    ASSERT_NE(taken, nullptr);
    connection = new HX_ReceiverConnectionUDPMulticast(nullptr, &sink, taken, kUdpKey);
    trial->connRecycle();
    connection->start();
    sender = std::make_unique<GroupSender>(port);
  }
  void TearDown() override {
    if (connection != nullptr) connection->connRecycle();
    OnLoop([] {});
    OnLoop([] {});
    LoopFixture::TearDown();
  }

  // Sends `d` and then a marker; true when the sink took `d` (the marker arrives after it).
  // The case's packet is returned in `packet`.
  bool Delivered(const Bytes& d, Bytes& packet, size_t& datagramSize) {
    const Bytes marker = Datagram({0x30, 0, 0x4D, 0x4B, static_cast<uint8_t>(++markers)});
    const size_t before = sink.count();
    EXPECT_TRUE(sender->Send(d));
    EXPECT_TRUE(sender->Send(marker));
    EXPECT_TRUE(WaitUntil([&] {
      const auto packets = sink.packets();
      return packets.size() > before && packets.back() == Bytes(marker.begin() + kHead,
                                                                 marker.end());
    }));
    const auto packets = sink.packets();
    const auto sizes = sink.datagramSizes();
    EXPECT_LE(packets.size(), before + 2);
    if (packets.size() != before + 2) return false;
    packet = packets[before];
    datagramSize = sizes[before];
    return true;
  }

  // After a burst that may have filled the socket's buffer: markers go until one is the last
  // thing the sink took.
  bool SeeMarker() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      sender->Send(Datagram(kMarker));
      for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto packets = sink.packets();
        if (!packets.empty() && packets.back() == kMarker) return true;
      }
    }
    return false;
  }

  const Bytes kMarker = {0x30, 0, 0x4D, 0x4B};
  Listener listener;
  RecordingSink sink;
  uint16_t port = 0;
  HX_ReceiverConnectionUDPMulticast* connection = nullptr;
  std::unique_ptr<GroupSender> sender;
  int markers = 0;
};

// Every length from 0 to 20 of a 20-byte datagram, an empty datagram included (which must not
// end the connection), and each head length byte below 14.
TEST_F(HostileMcastReceiver, CutDatagramsAndShortHeads) {
  const Bytes payload = Pattern(6, 0x31);
  const Bytes full = Datagram(payload);
  for (size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE("length " + std::to_string(n));
    Bytes packet;
    size_t size = 0;
    const bool delivered = Delivered(Bytes(full.begin(), full.begin() + n), packet, size);
    EXPECT_EQ(delivered, n == full.size());
    if (delivered) {
      EXPECT_EQ(packet, payload);
      EXPECT_EQ(size, full.size());
    }
  }
  for (uint8_t h = 0; h < kHead; ++h) {
    SCOPED_TRACE("head length " + std::to_string(h));
    Bytes d = full;
    d[8] = h;
    Bytes packet;
    size_t size = 0;
    EXPECT_FALSE(Delivered(d, packet, size));
  }
}

// The largest datagrams a relay can send over IPv4 (65507 bytes), with payload lengths that fit,
// lie by one, or lie outright.
TEST_F(HostileMcastReceiver, LargestDatagramsAndLyingLengths) {
  constexpr size_t kLargest = 65507;
  const Bytes payload = Pattern(kLargest - kHead, 0x42);
  const Bytes whole = Datagram(payload);
  auto withLength = [&](uint32_t p, int sumDelta = 0) {
    Bytes d = whole;
    PutLe16(d.data(), p);
    const size_t covered = std::min<size_t>(p, payload.size());
    d[7] = static_cast<uint8_t>(
        (p == 0 ? 172 : McastRelay::Checksum(d.data() + kHead, covered)) + sumDelta);
    return d;
  };
  struct Case {
    const char* name;
    Bytes datagram;
    bool delivered;
    size_t length;
  };
  const Case cases[] = {
      {"whole", whole, true, payload.size()},
      {"empty payload in a full datagram", withLength(0), true, 0},
      {"one past the datagram", withLength(static_cast<uint32_t>(payload.size() + 1)), false, 0},
      {"65500", withLength(65500), false, 0},
      {"65501", withLength(65501), false, 0},
      {"65535", withLength(65535), false, 0},
      {"checksum one off", withLength(static_cast<uint32_t>(payload.size()), 1), false, 0},
      {"100 of the bytes", withLength(100), true, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes packet;
    size_t size = 0;
    const bool delivered = Delivered(c.datagram, packet, size);
    EXPECT_EQ(delivered, c.delivered);
    if (delivered && c.delivered) {
      EXPECT_EQ(packet, Bytes(payload.begin(), payload.begin() + c.length));
      EXPECT_EQ(size, kLargest);
    }
  }
}

// Four threads flood the group with duplicates of valid datagrams mixed with cut, spoiled and
// foreign ones. What reaches the sink is only ever a valid payload, whole; the connection keeps
// working afterwards. (Loopback may drop some of a flood: only what arrives is judged.)
TEST_F(HostileMcastReceiver, FloodOfDuplicatesAndJunkFromSeveralThreads) {
  std::vector<Bytes> valid;
  for (int i = 0; i < 8; ++i) valid.push_back(Pattern(20 + i * 50, static_cast<uint8_t>(i)));
  std::set<Bytes> allowed(valid.begin(), valid.end());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      GroupSender own(port);
      std::mt19937 random(t + 1);
      for (int i = 0; i < 400; ++i) {
        const Bytes& payload = valid[random() % valid.size()];
        Bytes d = Datagram(payload);
        switch (random() % 5) {
          case 0: d.resize(random() % d.size()); break;
          case 1: d[7] ^= 1; break;
          case 2: d = Datagram(payload, kUdpKey ^ 0x100); break;
          case 3: d[8] = static_cast<uint8_t>(random() % kHead); break;
          default: break;
        }
        own.Send(d);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(SeeMarker()) << "the connection stopped receiving after the flood";
  for (const Bytes& p : sink.packets()) {
    if (p == kMarker) continue;
    EXPECT_EQ(allowed.count(p), 1u) << "a packet of " << p.size() << " bytes that was never sent";
  }
}

// The connection is recycled from the test thread while a thread floods it: no crash, and once
// the loop has run its jobs the sink hears nothing more.
TEST_F(HostileMcastReceiver, RecycledWhileDatagramsArrive) {
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    GroupSender own(port);
    const Bytes d = Datagram(Pattern(64, 9));
    while (flooding.load()) own.Send(d);
  });
  ASSERT_TRUE(WaitUntil([&] { return sink.count() > 50; }));
  connection->connRecycle();
  connection = nullptr;
  OnLoop([] {});
  OnLoop([] {});
  const size_t after = sink.count();
  for (int i = 0; i < 50; ++i) sender->Send(Datagram(Pattern(64, 9)));
  OnLoop([] {});
  OnLoop([] {});
  EXPECT_EQ(sink.count(), after);
  flooding = false;
  flood.join();
}

// A relay that duplicates, reorders, delays, spoils checksums and keys and cuts datagrams short,
// carrying enciphered data packets (heads written by the client's own head code). Every packet
// that reaches the sink deciphers to one that was sent; the receive queue behind the cipher
// releases only frames that were sent.
TEST_F(HostileMcastReceiver, MisbehavingRelay) {
  constexpr char kSenderGroup[] = "239.255.91.8";
  const uint16_t senderPort = FreeUdpPort();
  McastRelay relay;
  McastRelay::Faults faults;
  faults.duplicate = 0.3;
  faults.reorder = 0.3;
  faults.delayMs = 2;
  faults.spoilChecksum = 0.15;
  faults.spoilKey = 0.15;
  faults.cut = 0.15;
  faults.seed = 99;
  relay.setFaults(faults);
  ASSERT_TRUE(relay.joinSenderGroup(kSenderGroup, senderPort, "127.0.0.1"));
  ASSERT_TRUE(relay.addReceiverGroup(kGroup, port, kUdpKey, "127.0.0.1"));

  HX_MediaStreamUDPHelper cipher;
  ASSERT_TRUE(cipher.crypterInit(kKeyA));
  HX_StreamCrypter crypter;
  ASSERT_TRUE(crypter.Init(kKeyA));
  // Sent in the clear after the traffic; it never enters the queue.
  const Bytes marker = {0x30, 0, 0x4D, 0x4B};
  HX_ReceiveFrameQueueNhp queue(false, 0, false);
  HXNetMessage decipherBuffer(64);
  std::vector<uint8_t> frameBuffer(1 << 20);
  std::vector<Bytes> deciphered, frames;
  auto drain = [&] {
    size_t frameLength = 0;
    int type = -1;
    while (queue.Get(frameBuffer.data(), frameBuffer.size(), frameLength, type)) {
      if (type == 3) frames.emplace_back(frameBuffer.data(), frameBuffer.data() + frameLength);
    }
  };
  sink.setAlso([&](const uint8_t* packet, size_t size) {
    size_t length = 0;
    const uint8_t* plain = cipher.decryptPacket(packet, size, decipherBuffer, length);
    deciphered.emplace_back(plain, plain + length);
    if (Bytes(plain, plain + length) == marker) return;
    queue.Add(plain, length);
    drain();
  });

  std::set<Bytes> sentPackets, sentFrames;
  const int sendHandle = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loop{};
  loop.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(sendHandle, IPPROTO_IP, IP_MULTICAST_IF, &loop, sizeof loop);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(senderPort);
  inet_pton(AF_INET, kSenderGroup, &to.sin_addr);
  constexpr int kPackets = 300;
  for (int i = 0; i < kPackets; ++i) {
    const Bytes payload = Pattern(10 + (i * 37) % 700, static_cast<uint8_t>(i));
    Bytes packet = {0x33, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    packet.insert(packet.end(), payload.begin(), payload.end());
    sentPackets.insert(packet);
    sentFrames.insert(payload);
    Bytes d(kHead + packet.size() + 16);
    uint32_t n = static_cast<uint32_t>(d.size() - kHead);
    ASSERT_TRUE(crypter.Encrypt(packet.data(), static_cast<uint32_t>(packet.size()),
                                d.data() + kHead, n));
    d.resize(kHead + n);
    HX_UdpMulticastHead::Write(d.data(), d.data() + kHead, static_cast<uint16_t>(n), i, 5, 0x77);
    ASSERT_EQ(sendto(sendHandle, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
              static_cast<ssize_t>(d.size()));
    if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(WaitUntil([&] { return relay.counters().received >= kPackets; }));
  // The faults end; a clean marker through the relay follows everything before it.
  relay.setFaults({});
  bool seen = false;
  for (int attempt = 0; attempt < 100 && !seen; ++attempt) {
    Bytes d = Datagram(marker, 0x77);
    sendto(sendHandle, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    for (int i = 0; i < 100 && !seen; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto packets = sink.packets();
      seen = !packets.empty() && packets.back() == marker;
    }
  }
  close(sendHandle);
  EXPECT_TRUE(seen);
  sink.setAlso(nullptr);

  size_t delivered = 0;
  for (const Bytes& p : deciphered) {
    if (p == marker) continue;
    ++delivered;
    EXPECT_EQ(sentPackets.count(p), 1u) << "a packet of " << p.size() << " bytes never sent";
  }
  // Some of the traffic passes the faults (about half); none of the spoiled part does.
  EXPECT_GT(delivered, static_cast<size_t>(kPackets / 10));
  // The queue is the test thread's from here on: every data frame that arrived in order (a late
  // one may be given up) is released with time, and none twice however often it came.
  std::set<Bytes> inOrder;
  int highest = -1;
  for (const Bytes& p : deciphered) {
    if (p == marker || p.size() <= 4) continue;
    const int sequence = Le16(p.data() + 2);
    if (sequence >= highest) inOrder.emplace(p.begin() + 4, p.end());
    highest = std::max(highest, sequence);
  }
  EXPECT_TRUE(WaitUntil([&] {
    drain();
    const std::set<Bytes> released(frames.begin(), frames.end());
    return std::includes(released.begin(), released.end(), inOrder.begin(), inOrder.end());
  }));
  EXPECT_EQ(std::set<Bytes>(frames.begin(), frames.end()).size(), frames.size())
      << "a frame released twice";
  for (const Bytes& f : frames) {
    EXPECT_EQ(sentFrames.count(f), 1u) << "a frame of " << f.size() << " bytes never sent";
  }
}

// NHP packets that are garbage or lie about their own lengths, inside heads that hold, behind a
// stream without key: the receive queue behind the connection takes them without reading or
// writing outside them (its output buffer is a small exact allocation), never reports more than
// it wrote, and the connection goes on delivering.
TEST_F(HostileMcastReceiver, GarbageNhpPacketsInsideValidHeads) {
  HX_MediaStreamUDPHelper clear;
  HX_ReceiveFrameQueueNhp queue(false, 2, false);
  HXNetMessage decipherBuffer(16);
  constexpr size_t kCapacity = 64;
  std::unique_ptr<uint8_t[]> out(new uint8_t[kCapacity]);
  std::vector<size_t> overlong;
  size_t released = 0;
  sink.setAlso([&](const uint8_t* packet, size_t size) {
    size_t length = 0;
    const uint8_t* plain = clear.decryptPacket(packet, size, decipherBuffer, length);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[length]);
    std::copy(plain, plain + length, exact.get());
    queue.Add(exact.get(), length);
    size_t frameLength = 0;
    int type = -1;
    while (queue.Get(out.get(), kCapacity, frameLength, type)) {
      ++released;
      if (frameLength > kCapacity) overlong.push_back(frameLength);
    }
  });
  std::mt19937 random(4242);
  std::vector<Bytes> sent;
  for (int flags = 0; flags < 64; ++flags) {
    for (size_t n = 0; n <= 12; ++n) {
      Bytes packet(n);
      for (uint8_t& b : packet) b = static_cast<uint8_t>(random());
      if (n > 0) packet[0] = static_cast<uint8_t>(flags);
      sent.push_back(packet);
    }
  }
  // Packets whose bytes claim far more than they carry, and ones larger than the output buffer.
  for (int flags : {0x03, 0x13, 0x23, 0x33, 0x22, 0x21}) {
    Bytes packet = {static_cast<uint8_t>(flags), 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    sent.push_back(packet);
    packet.resize(200, 0xAB);
    sent.push_back(packet);
  }
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_TRUE(sender->Send(Datagram(sent[i])));
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(SeeMarker()) << "the connection stopped receiving";
  sink.setAlso(nullptr);
  // Whole data packets are among the garbage: the queue released frames, the check had work.
  EXPECT_GT(released, 0u);
  EXPECT_TRUE(overlong.empty()) << "the queue reported " << overlong.front() << " bytes in a "
                                << kCapacity << "-byte buffer";
  EXPECT_GT(sink.count(), sent.size() / 2);
}

// ---------------------------------------------------------------------------------------------
// Packets that do not decipher.

// Garbage of every length from 0 to 48 and a large one, and packets enciphered with another
// key: either they go on exactly as received, or (a foreign key's padding may look right by
// chance) as a shorter deciphering; never longer than what arrived.
TEST(HostileUdpCipher, GarbageAndForeignKeyPackets) {
  HX_MediaStreamUDPHelper helper;
  ASSERT_TRUE(helper.crypterInit(kKeyA));
  HX_StreamCrypter foreign;
  ASSERT_TRUE(foreign.Init(kKeyB));
  HXNetMessage buffer(4);
  std::vector<Bytes> packets;
  std::mt19937 random(7);
  for (size_t n = 0; n <= 48; ++n) {
    Bytes garbage(n);
    for (uint8_t& b : garbage) b = static_cast<uint8_t>(random());
    packets.push_back(garbage);
    Bytes plain = Pattern(n, static_cast<uint8_t>(n));
    Bytes cipher(n + 32);
    uint32_t size = static_cast<uint32_t>(cipher.size());
    ASSERT_TRUE(foreign.Encrypt(plain.data(), static_cast<uint32_t>(n), cipher.data(), size));
    cipher.resize(size);
    packets.push_back(cipher);
  }
  packets.push_back(Pattern(65504, 5));
  size_t asReceived = 0;
  for (const Bytes& p : packets) {
    SCOPED_TRACE(p.size());
    std::unique_ptr<uint8_t[]> exact(new uint8_t[p.size()]);
    std::copy(p.begin(), p.end(), exact.get());
    size_t length = 12345;
    const uint8_t* out = helper.decryptPacket(exact.get(), p.size(), buffer, length);
    if (out == exact.get()) {
      EXPECT_EQ(length, p.size());
      ++asReceived;
    } else {
      ASSERT_NE(out, nullptr);
      EXPECT_LT(length, p.size());
      EXPECT_GE(length + 16, p.size());
      EXPECT_EQ(p.size() % 16, 0u);
    }
  }
  EXPECT_GT(asReceived, packets.size() / 2);
}

// A packet of the largest size a relay carries deciphers whole into a buffer that starts small.
TEST(HostileUdpCipher, LargestPacketDeciphersWhole) {
  HX_MediaStreamUDPHelper helper;
  ASSERT_TRUE(helper.crypterInit(kKeyA));
  HX_StreamCrypter same;
  ASSERT_TRUE(same.Init(kKeyA));
  const Bytes plain = Pattern(65480, 3);
  Bytes cipher(plain.size() + 16);
  uint32_t size = static_cast<uint32_t>(cipher.size());
  ASSERT_TRUE(same.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), cipher.data(), size));
  ASSERT_LE(size, HX_UdpMulticastHead::kMaxPayload);
  HXNetMessage buffer(16);
  size_t length = 0;
  const uint8_t* out = helper.decryptPacket(cipher.data(), size, buffer, length);
  ASSERT_NE(out, cipher.data());
  EXPECT_EQ(Bytes(out, out + length), plain);
}

// ---------------------------------------------------------------------------------------------
// The direct receiving connection passes every datagram on whole, whatever its size.

class NullHandler : public HX_MediaStreamNetHandler {
 public:
  bool startConnection(const std::string&) override { return true; }
};

TEST(HostileUdpDirectReceiver, DatagramsOfEverySizeGoOnWhole) {
  ConferenceLock noConference;
  auto list = std::make_shared<HX_ConnectionUdpDirect>(noConference);
  NullHandler handler;
  RecordingSink sink;
  auto* connection = new HX_ReceiverConnectionRegularUdpDirect(&handler, &sink, list);
  connection->start();
  const size_t sizes[] = {0, 1, 13, 14, 15, 1500, 65507, 65535};
  for (size_t n : sizes) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
    const Bytes bytes = Pattern(n, static_cast<uint8_t>(n));
    std::copy(bytes.begin(), bytes.end(), exact.get());
    list->receiver()->onDataReceived(exact.get(), n);
  }
  const auto packets = sink.packets();
  ASSERT_EQ(packets.size(), std::size(sizes));
  for (size_t i = 0; i < std::size(sizes); ++i) {
    EXPECT_EQ(packets[i], Pattern(sizes[i], static_cast<uint8_t>(sizes[i])));
    EXPECT_EQ(sink.datagramSizes()[i], sizes[i]);
  }
  connection->connRecycle();
  EXPECT_EQ(list->receiver(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The send side: what leaves is always a well-formed datagram, whatever the frame.

class TestSender : public HX_SenderUDPBase {
 public:
  explicit TestSender(HX_TickSource clock) : HX_SenderUDPBase(std::move(clock)) {}
  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return 0; }
  void PingStream() override {}
  void prepare() {
    HXAutoLock lock(owner()->getStreamLock());
    setupQueues(0, 0, false);
    setupSending(true, kIpv4Overhead);
  }
};

class HostileUdpSender : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
  }
  void TearDown() override {
    if (stream) EXPECT_TRUE(ShutDownStream(stream.get()));
    stream.reset();
    LoopFixture::TearDown();
  }
  void Start(const std::string& key) {
    stream = std::make_unique<UdpTestStream>(1);
    sender = new TestSender(clock.source());
    stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
    stream->setConnectionHandler(sender);
    ASSERT_TRUE(sender->startConnection(key));
    link = std::make_unique<RecordingSendConnection>(sender, kUdpKey, 212992);
    ASSERT_TRUE(ConnectStream(stream.get(), link.get()));
    sender->prepare();
  }
  size_t Queued() {
    HXAutoLock lock(stream->getStreamLock());
    return sender->sendQueue()->QueuedPackets();
  }
  // Plays writable notifications until the queue is empty (bounded).
  void Drain() {
    for (int i = 0; i < 100000 && Queued() > 0; ++i) sender->onReadySend(link.get());
    EXPECT_EQ(Queued(), 0u);
  }
  // Every datagram has a head that a receiver accepts, with the track of its NHP packet; the
  // payloads (deciphered with `key` when set) are returned.
  std::vector<Bytes> CheckedPayloads(const std::string& key) {
    std::vector<Bytes> out;
    HX_StreamCrypter crypter;
    if (!key.empty()) EXPECT_TRUE(crypter.Init(key.c_str()));
    for (const Bytes& d : link->datagrams()) {
      const Verdict v = Check(d, kUdpKey);
      EXPECT_TRUE(v.accepted) << "a datagram of " << d.size() << " bytes fails the head check";
      if (!v.accepted) continue;
      EXPECT_EQ(v.length, d.size() - kHead);
      Bytes payload(d.begin() + kHead, d.end());
      if (!key.empty()) {
        Bytes plain(payload.size() + 16);
        uint32_t n = static_cast<uint32_t>(plain.size());
        EXPECT_TRUE(crypter.Decrypt(payload.data(), static_cast<uint32_t>(payload.size()),
                                    plain.data(), n));
        plain.resize(n);
        payload = plain;
      }
      EXPECT_GE(payload.size(), 4u);
      if (payload.size() < 4) continue;
      EXPECT_EQ(d[6], hx::streams::convertTrackUdp((payload[0] >> 4) & 3));
      out.push_back(payload);
    }
    return out;
  }

  ManualClock clock;
  std::shared_ptr<HX_Conference> conference;
  std::unique_ptr<UdpTestStream> stream;
  TestSender* sender = nullptr;
  std::unique_ptr<RecordingSendConnection> link;
};

// Audio frames too short to hold the 4-byte tick, and empty frames on every track: nothing is
// written or read outside the caller's bytes, and whatever leaves is well formed.
TEST_F(HostileUdpSender, FramesShorterThanTheirTick) {
  Start("");
  for (int track : {1, 2, 5, 254}) {
    for (size_t n = 0; n <= 4; ++n) {
      SCOPED_TRACE(std::to_string(track) + " / " + std::to_string(n));
      std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
      for (size_t i = 0; i < n; ++i) exact[i] = static_cast<uint8_t>(0xA0 + i);
      sender->AddFrame(track, n, exact.get(), nullptr, 1);
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(exact[i], static_cast<uint8_t>(0xA0 + i));
      Drain();
    }
  }
  CheckedPayloads("");
}

// Tracks that do not exist: whatever leaves carries a head track that matches its packet.
TEST_F(HostileUdpSender, UnknownTracks) {
  Start("");
  for (int track : {0, 3, 4, 6, 100, 253, 255, 256, -1}) {
    SCOPED_TRACE(track);
    const Bytes frame = Pattern(50, static_cast<uint8_t>(track));
    sender->AddFrame(track, frame.size(), frame.data(), nullptr, 1);
    Drain();
  }
  CheckedPayloads("");
}

// Data frames go out as one packet each. One that fits the head's payload length leaves whole;
// one around and past the 16-bit boundary must never leave as a datagram whose head lies about
// its payload (a receiver drops every such datagram).
TEST_F(HostileUdpSender, DataFramesAroundTheLengthLimit) {
  for (const std::string& key : {std::string(), std::string(kKeyA)}) {
    SCOPED_TRACE(key.empty() ? "plain" : "keyed");
    Start(key);
    for (size_t size : {60000u, 65535u, 65536u, 65537u, 200000u}) {
      SCOPED_TRACE(size);
      link->clear();
      const Bytes frame = Pattern(size, static_cast<uint8_t>(size >> 4));
      // Refusing a frame that cannot leave well formed is fine.
      sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1);
      Drain();
      Bytes joined;
      for (const Bytes& payload : CheckedPayloads(key)) {
        EXPECT_EQ((payload[0] >> 4) & 3, 3);
        joined.insert(joined.end(), payload.begin() + 4, payload.end());
      }
      // A frame that cannot leave well formed may be refused; one that leaves leaves whole.
      if (size <= 60000 || !joined.empty()) EXPECT_TRUE(joined == frame);
    }
    ASSERT_TRUE(ShutDownStream(stream.get()));
    stream.reset();
  }
}

// A socket that takes every length around the head but not the whole datagram: the packet stays
// and later leaves whole, once.
TEST_F(HostileUdpSender, SocketTakesEveryLengthShortOfTheDatagram) {
  Start(kKeyA);
  const Bytes frame = Pattern(40, 1);
  for (int taken = 0; taken <= 20; ++taken) {
    SCOPED_TRACE(taken);
    link->clear();
    ASSERT_TRUE(sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1));
    link->accept = taken;
    sender->onReadySend(link.get());
    ASSERT_EQ(link->attempts().size(), 1u);
    const Bytes attempted = link->attempts()[0];
    ASSERT_GT(attempted.size(), static_cast<size_t>(20));
    EXPECT_TRUE(link->datagrams().empty());
    EXPECT_EQ(Queued(), 1u);
    link->accept = -1;
    sender->onReadySend(link.get());
    sender->onReadySend(link.get());
    ASSERT_EQ(link->datagrams().size(), 1u);
    const std::vector<Bytes> payloads = CheckedPayloads(kKeyA);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(Bytes(payloads[0].begin() + 4, payloads[0].end()), frame);
    EXPECT_EQ(Queued(), 0u);
  }
}

// The stream shuts down while two threads add frames and a third plays writable notifications:
// no crash, and afterwards frames are dropped as delivered and nothing more leaves.
TEST_F(HostileUdpSender, ShutDownWhileFramesArrive) {
  Start(kKeyA);
  std::atomic<bool> running{true};
  auto produce = [&](int track, size_t size) {
    const Bytes frame = Pattern(size, static_cast<uint8_t>(track));
    while (running.load()) sender->AddFrame(track, frame.size(), frame.data(), nullptr, 1);
  };
  std::thread audio(produce, 1, 160);
  std::thread data(produce, 5, 3000);
  std::thread writable([&] {
    while (running.load()) sender->onReadySend(link.get());
  });
  ASSERT_TRUE(WaitUntil([&] { return link->datagrams().size() > 100; }));
  EXPECT_TRUE(ShutDownStream(stream.get()));
  running = false;
  audio.join();
  data.join();
  writable.join();
  const size_t sent = link->attempts().size();
  const Bytes frame = Pattern(100, 1);
  EXPECT_TRUE(sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1));
  sender->onReadySend(link.get());
  EXPECT_EQ(link->attempts().size(), sent);
  CheckedPayloads(kKeyA);
  stream.reset();
}

}  // namespace
}  // namespace hx::testing
