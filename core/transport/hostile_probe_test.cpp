// The protocol probe of accepted connections against hostile peers on loopback. The peer is a
// plain blocking socket that connects and sends first bytes as a table row says: right ping,
// transport and stream records, records cut at every length, a byte at a time, lying lengths and
// checksums, primary fields that are unknown or lack their NUL, garbage, silence, resets. The
// probe must emit the one signal the row calls for, or none, and the connection must be closed
// whenever no handler took it: promptly when the bytes decide it, by the time limit otherwise.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/socket_data_handler.h"
#include "core/transport/tcp_proto_probe.h"
#include "testing/hostile_peers/blocking_peer.h"

namespace {

using hx::hostile::Bytes;

// Receives the probe's signals; optionally takes the connection over as a recording socket.
struct Taker {
  void OnPing(HXZADataHandler* handler) { Took(handler, pings, nullptr); }
  void OnTransport(HXZADataHandler* handler) { Took(handler, transports, nullptr); }
  void OnStream(HX_ZeroHandshakeFixedPart const& record, HXZADataHandler* handler) {
    Took(handler, streams, &record);
  }

  void Took(HXZADataHandler* handler, std::atomic<int>& counter,
            const HX_ZeroHandshakeFixedPart* record) {
    std::lock_guard<std::mutex> lock(mutex);
    if (record != nullptr) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(record);
      const size_t total = 20 + (record->PackedWord() >> 19) + 1;
      streamRecord.assign(bytes, bytes + total);
    }
    if (auto buffer = handler->getDataBuffer(false)) {
      pending.assign(buffer->buffer(), buffer->buffer() + buffer->size());
    }
    if (takeOver) {
      taken = HXZServer::inheritNative<hx::testing::RecordingTcpSocket>(handler);
      if (taken != nullptr) taken->SetState(true);
    }
    counter.fetch_add(1);
  }
  int Total() const { return pings.load() + transports.load() + streams.load(); }

  bool takeOver = false;
  std::mutex mutex;
  Bytes streamRecord;
  Bytes pending;
  hx::testing::RecordingTcpSocket* taken = nullptr;
  std::atomic<int> pings{0};
  std::atomic<int> transports{0};
  std::atomic<int> streams{0};
  std::atomic<int> probeDeleted{0};
};

// Counts its own deletion, so that a test sees the probe end.
class CountedProbe : public HXZTcpProtoProbe {
 public:
  CountedProbe(HXZASocketHelper* helper, HXZADataHandler& other) : HXZTcpProtoProbe(helper, other) {}
  ~CountedProbe() override {
    if (destroyed != nullptr) destroyed->fetch_add(1);
  }
  std::atomic<int>* destroyed = nullptr;
};

bool WaitCount(const std::atomic<int>& counter, int limit_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (counter.load() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return counter.load() == 1;
}

enum class Expect { none, ping, transport, stream };

struct ProbeCase {
  std::string name;
  std::function<void(int fd)> send;  // what the peer does after connecting
  Expect expect;
  bool bytesDecide = true;  // the probe must close before its time limit
};

Bytes PingHead() { return hx::hostile::MakeRecord("_HX_PING_", 1, Bytes{0}); }
Bytes TransportHead() { return hx::hostile::MakeRecord("_HX_TRANSPORT_", 1, Bytes{0}); }
Bytes StreamRecord() {
  return hx::hostile::MakeRecord("_HX_STREAMS_", 1,
                                 hx::hostile::StreamRequestBody(hx::hostile::StreamRequestFields{}));
}
Bytes Sized(const std::string& primary, size_t total) {
  Bytes body(total - 20, 0x33);
  return hx::hostile::MakeRecord(primary, 1, body);
}

std::vector<ProbeCase> ProbeCases() {
  using namespace hx::hostile;
  std::vector<ProbeCase> cases;
  auto send = [](Bytes bytes) { return [bytes](int fd) { SendAll(fd, bytes); }; };
  auto send_end = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      shutdown(fd, SHUT_WR);
    };
  };
  cases.push_back({"ping_head", send(PingHead()), Expect::ping});
  cases.push_back({"ping_head_bytewise", [](int fd) { SendBytewise(fd, PingHead()); }, Expect::ping});
  cases.push_back({"transport_head", send(TransportHead()), Expect::transport});
  cases.push_back({"stream_record", send(StreamRecord()), Expect::stream});
  cases.push_back(
      {"stream_record_bytewise", [](int fd) { SendBytewise(fd, StreamRecord()); }, Expect::stream});
  cases.push_back({"stream_record_512", send(Sized("_HX_STREAMS_", 512)), Expect::stream});
  cases.push_back({"stream_record_513", send(Sized("_HX_STREAMS_", 513)), Expect::none});
  cases.push_back({"stream_record_max", send(Sized("_HX_STREAMS_", 8212)), Expect::none});
  {
    Bytes extra = StreamRecord();
    extra.insert(extra.end(), 100, 0x77);
    cases.push_back({"stream_record_extra_bytes", send(extra), Expect::stream});
  }
  // A head that claims 8,192 body bytes while only 10 follow: refused at once, not waited for.
  cases.push_back({"stream_lying_length",
                   send(MakeLyingRecord("_HX_STREAMS_", 1, 8192, Bytes(10, 1))), Expect::none});
  {
    Bytes bad = StreamRecord();
    bad[20] ^= 0x01;  // sampled body byte
    cases.push_back({"stream_body_cksum", send(bad), Expect::none});
  }
  {
    Bytes bad = PingHead();
    SetWord(bad, Word(bad) ^ (1u << 5));
    cases.push_back({"ping_head_cksum", send(bad), Expect::none});
    Bytes bad_len = PingHead();
    SetWord(bad_len, Word(bad_len) ^ (1u << 19));  // the length changed, the checksum not
    cases.push_back({"ping_head_length_unsealed", send(bad_len), Expect::none});
  }
  cases.push_back({"check_srv", send(CheckSrvAnswer(1, 1)), Expect::none});
  cases.push_back({"unknown_primary", send(MakeRecord("_HX_PINGS_", 1, Bytes{0})), Expect::none});
  cases.push_back({"empty_primary", send(MakeRecord("", 1, Bytes{0})), Expect::none});
  // Sixteen bytes without a NUL: no name at all, and nothing may be read beyond them.
  cases.push_back(
      {"primary_without_nul", send(MakeRecord("_HX_PING_AAAAAAA", 1, Bytes{0})), Expect::none});
  {
    // The name ends at its NUL; what pads the rest of the sixteen bytes does not count.
    Bytes padded = PingHead();
    padded[12] = 'Z';
    Seal(padded);
    cases.push_back({"ping_with_junk_after_nul", send(padded), Expect::ping});
  }
  cases.push_back({"garbage", send(Bytes(64, 0xA5)), Expect::none});
  cases.push_back({"silence", [](int) {}, Expect::none, false});
  for (size_t cut = 0; cut < 21; ++cut) {
    Bytes head = PingHead();
    head.resize(cut);
    cases.push_back({"ping_cut_" + std::to_string(cut) + "_end", send_end(head), Expect::none});
  }
  for (size_t cut : {0u, 5u, 20u}) {
    Bytes head = PingHead();
    head.resize(cut);
    cases.push_back({"ping_cut_" + std::to_string(cut) + "_silent", send(head), Expect::none, false});
  }
  const Bytes stream = StreamRecord();
  for (size_t cut = 21; cut < stream.size(); ++cut) {
    Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"stream_cut_" + std::to_string(cut) + "_end", send_end(part), Expect::none});
  }
  cases.push_back({"stream_cut_40_silent", send(Bytes(stream.begin(), stream.begin() + 40)),
                   Expect::none, false});
  return cases;
}

class HostileProbeTest : public hx::testing::LoopFixture {
 protected:
  // Accepts the peer's connection on the loop side and starts a probe over it.
  bool StartProbe(hx::hostile::LoopbackListener& listener, Taker& taker, uint32_t limit_ms,
                  std::atomic<int>* destroyed = nullptr) {
    const int accepted = listener.Accept();
    if (accepted == -1) return false;
    hx::hostile::SetNonBlocking(accepted);
    HXZANullDataHandler raw(accepted, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    auto* probe = HXZServer::inheritNative<CountedProbe>(&raw);
    if (probe == nullptr) return false;
    probe->destroyed = destroyed;
    probe->fireProbePing.Connect(&taker, &Taker::OnPing);
    probe->fireProbeTransport.Connect(&taker, &Taker::OnTransport);
    probe->fireProbeStream.Connect(&taker, &Taker::OnStream);
    return probe->start(limit_ms);
  }

  Taker& NewTaker() {
    takers.push_back(std::make_unique<Taker>());
    return *takers.back();
  }
  void TearDown() override {
    // Sockets taken over by the handlers go back to the loop before it ends.
    for (auto& taker : takers) {
      if (taker->taken != nullptr) OnLoop([&] { taker->taken->GC(); });
    }
    LoopFixture::TearDown();
  }
  std::vector<std::unique_ptr<Taker>> takers;
};

TEST_F(HostileProbeTest, EveryFirstRecordIsHandedOnOrClosed) {
  constexpr uint32_t kLimit = 300;
  constexpr uint32_t kLongLimit = 4000;
  for (const ProbeCase& row : ProbeCases()) {
    SCOPED_TRACE(row.name);
    hx::hostile::LoopbackListener listener;
    const int peer = hx::hostile::ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Taker& taker = NewTaker();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        StartProbe(listener, taker, row.bytesDecide ? kLongLimit : kLimit, &taker.probeDeleted));
    row.send(peer);
    // No handler takes the connection here, so it must always end.
    EXPECT_TRUE(hx::hostile::WaitClosed(peer, kLongLimit + 1000)) << "connection left open";
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (row.bytesDecide) {
      EXPECT_LT(elapsed, kLongLimit - 1000) << "closed by the time limit, not by the bytes";
    } else {
      EXPECT_GE(elapsed, kLimit - 50);
      EXPECT_LT(elapsed, kLimit + 1500);
    }
    close(peer);
    EXPECT_TRUE(WaitCount(taker.probeDeleted, 2000)) << "the probe was not deleted";
    EXPECT_EQ(taker.pings.load(), row.expect == Expect::ping ? 1 : 0);
    EXPECT_EQ(taker.transports.load(), row.expect == Expect::transport ? 1 : 0);
    EXPECT_EQ(taker.streams.load(), row.expect == Expect::stream ? 1 : 0);
  }
}

TEST_F(HostileProbeTest, ResetAtEveryStageEndsTheProbeWithoutSignal) {
  const Bytes stream = StreamRecord();
  for (size_t cut : {0u, 1u, 10u, 20u, 30u, 60u}) {
    SCOPED_TRACE(cut);
    hx::hostile::LoopbackListener listener;
    const int peer = hx::hostile::ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Taker& taker = NewTaker();
    ASSERT_TRUE(StartProbe(listener, taker, 4000, &taker.probeDeleted));
    ASSERT_TRUE(hx::hostile::SendAll(peer, stream.data(), cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hx::hostile::ResetClose(peer);
    EXPECT_TRUE(WaitCount(taker.probeDeleted, 2000)) << "the probe outlived a reset connection";
    EXPECT_EQ(taker.Total(), 0);
  }
}

TEST_F(HostileProbeTest, HandedOnRecordsKeepTheirBytesForTheNextOwner) {
  const Bytes body = hx::hostile::PingBody("conf", "alice", "bob", "ReqBodyVersion", 1);
  const Bytes ping = hx::hostile::MakeRecord("_HX_PING_", 1, body);
  const Bytes stream = StreamRecord();
  for (const Bytes* record : {&ping, &stream}) {
    hx::hostile::LoopbackListener listener;
    const int peer = hx::hostile::ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Taker& taker = NewTaker();
    taker.takeOver = true;
    ASSERT_TRUE(StartProbe(listener, taker, 4000));
    // The head alone first: a ping is handed on without its body.
    ASSERT_TRUE(hx::hostile::SendAll(peer, record->data(), 21));
    if (record == &ping) {
      for (int i = 0; i < 500 && taker.Total() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      EXPECT_EQ(taker.pings.load(), 1);
    }
    ASSERT_TRUE(hx::hostile::SendAll(peer, record->data() + 21, record->size() - 21));
    for (int i = 0; i < 1000 && taker.Total() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(taker.Total(), 1);
    // The taken connection stays open.
    EXPECT_TRUE(hx::hostile::StaysSilentAndOpen(peer, 100));
    std::lock_guard<std::mutex> lock(taker.mutex);
    ASSERT_NE(taker.taken, nullptr);
    if (record == &ping) {
      EXPECT_EQ(taker.pending, Bytes(ping.begin(), ping.begin() + 21));
      // The body was left in the socket: the new owner reads it.
      std::string expected(ping.begin() + 21, ping.end());
      for (int i = 0; i < 500 && taker.taken->received().size() < body.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      const std::string got = taker.taken->received();
      EXPECT_GE(got.size(), expected.size());
      EXPECT_EQ(got.substr(got.size() - std::min(got.size(), expected.size())), expected);
    } else {
      EXPECT_EQ(taker.streamRecord, stream);
      EXPECT_EQ(taker.pending, stream);
    }
    close(peer);
  }
}

}  // namespace
