// The media stream handshake against hostile peers on loopback, on both sides. The peer is a plain
// blocking socket that writes "_HX_STREAMS_" records byte by byte: right ones, and ones with roles,
// track masks and counts that disagree, strings whose lengths lie, bodies too short or too long,
// cut at every length, a byte at a time, with extra bytes, garbage, closes and resets. The
// handshake runs as the data manager of a real socket on the network loop; its data manager
// results, its state, its negotiated tracks and the bytes it sends are what the tests check.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/socket_data_handler.h"
#include "core/streams/stream_handshake.h"
#include "core/transport/stream_helper_simple.h"
#include "core/transport/tcp_proto_probe.h"
#include "testing/hostile_peers/blocking_peer.h"

namespace {

using hx::hostile::Bytes;

constexpr int32_t kNone = -1;

// The connection's owner: hands the loop's events to the handshake and records the first result
// that ends it. A failed handshake closes the connection, as a stream's owner does.
class StreamHolder : public HXZTCPSocketHandy {
 public:
  StreamHolder(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZTCPSocketHandy(helper, handle, family, type, protocol) {}
  StreamHolder(HXZASocketHelper* helper, HXZADataHandler& other)
      : HXZTCPSocketHandy(helper, other) {}

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    if (result.load() != kNone) {
      SendAsync(false);
      return 0;
    }
    return Note(handshake->OnReadySendImp(this, this));
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    if (result.load() != kNone) {
      char sink[256];
      Recv(sink, sizeof sink, 0);
      if (RecvEnded()) SetState(false);
      return 0;
    }
    return Note(handshake->OnReadyRecvImp(this, this));
  }
  void OnClose(HXZADataHandler*) override { ended.fetch_add(1); }
  void OnError() override {
    ended.fetch_add(1);
    int32_t expected = kNone;
    result.compare_exchange_strong(expected, HXZADataManager::failed);
    SetState(false);
  }

  int32_t Note(int32_t state) {
    if (state == HXZADataManager::keepGoing) return state;
    int32_t expected = kNone;
    result.compare_exchange_strong(expected, state);
    if (state == HXZADataManager::failed) Close(true);
    return state;
  }

  HXHelperStreamSimple* handshake = nullptr;
  std::atomic<int32_t> result{kNone};
  std::atomic<int> ended{0};
};

int32_t WaitResult(const StreamHolder& holder, int limit_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (holder.result.load() == kNone && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return holder.result.load();
}

std::vector<uint8_t> TrackList(const uint8_t* list) {
  std::vector<uint8_t> tracks;
  for (int i = 0; i < 256 && list[i] != 0; ++i) tracks.push_back(list[i]);
  return tracks;
}

const std::vector<unsigned> kOwn{1, 2, 5, 254, 255};

Bytes StreamRecord(const Bytes& body, uint32_t version = 1) {
  return hx::hostile::MakeRecord("_HX_STREAMS_", version, body);
}

class HostileStreamHandshakeTest : public hx::testing::LoopFixture {
 protected:
  struct Side {
    std::unique_ptr<HXHelperStreamSimple> handshake = std::make_unique<HXHelperStreamSimple>();
    StreamHolder* holder = nullptr;
  };

  Side& NewSide() {
    sides.push_back(std::make_unique<Side>());
    return *sides.back();
  }

  // Accepting side of type 2 over the connection the peer opened to `listener`.
  bool Accept(hx::hostile::LoopbackListener& listener, Side& side) {
    const int accepted = listener.Accept();
    if (accepted == -1) return false;
    hx::hostile::SetNonBlocking(accepted);
    if (!side.handshake->AcceptStream(HX_StreamClient_Receiver)) return false;
    // Activated on the loop's thread, which then polls the new socket at once.
    OnLoop([&] {
      HXZANullDataHandler raw(accepted, AF_INET, SOCK_STREAM, IPPROTO_TCP);
      side.holder = HXZServer::inheritNative<StreamHolder>(&raw);
      if (side.holder == nullptr) return;
      side.holder->handshake = side.handshake.get();
      side.holder->SetState(true);
    });
    return side.holder != nullptr;
  }

  // Connecting side: a receiver of "cf" named "alice" asking for "bob".
  bool Connect(uint16_t port, Side& side) {
    if (!side.handshake->ConnectStream("cf", "alice", "bob", HX_StreamClient_Receiver)) return false;
    side.holder =
        HXZServer::implantNative<StreamHolder>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    side.holder->handshake = side.handshake.get();
    bool started = false;
    OnLoop([&] {
      started = side.holder->Connect(hx::testing::LoopbackEndpoint(port, ip::Proto::tcp));
    });
    return started;
  }

  void TearDown() override {
    for (auto& side : sides) {
      if (side->holder != nullptr) OnLoop([&] { side->holder->GC(); });
    }
    LoopFixture::TearDown();
    // The handshakes outlive their sockets: the members are destroyed after the loop ended.
  }

  std::vector<std::unique_ptr<Side>> sides;
};

struct RequestCase {
  std::string name;
  std::function<void(int fd)> send;
  bool accepted;
  std::vector<uint8_t> tracks = {};  // negotiated, when accepted
};

std::vector<RequestCase> RequestCases() {
  using namespace hx::hostile;
  std::vector<RequestCase> cases;
  auto send = [](Bytes bytes) { return [bytes](int fd) { SendAll(fd, bytes); }; };
  auto send_end = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      shutdown(fd, SHUT_WR);
    };
  };
  const std::vector<uint8_t> all{1, 2, 5, 254, 255};
  StreamRequestFields valid;  // a sender's request for the default tracks
  cases.push_back({"valid", send(StreamRecord(StreamRequestBody(valid))), true, all});
  cases.push_back({"valid_bytewise",
                   [valid](int fd) { SendBytewise(fd, StreamRecord(StreamRequestBody(valid))); },
                   true, all});
  {
    Bytes extra = StreamRecord(StreamRequestBody(valid));
    extra.insert(extra.end(), 50, 0x42);
    cases.push_back({"valid_extra_bytes", send(extra), true, all});
  }
  {
    StreamRequestFields some = valid;
    some.count = 2;
    some.mask = TrackMask({2, 254});
    cases.push_back({"subset_mask", send(StreamRecord(StreamRequestBody(some))), true, {2, 254}});
  }
  {
    // The count is only a marker of "all tracks"; a count that disagrees with a present mask does
    // not change what the mask says.
    StreamRequestFields wrong = valid;
    wrong.count = 9;
    cases.push_back({"count_disagrees_with_mask", send(StreamRecord(StreamRequestBody(wrong))), true,
                     all});
  }
  {
    // Long names: the body grows close to the 2,048-byte buffer.
    StreamRequestFields big = valid;
    big.conference = std::string(255, 'c');
    big.streamId = big.name = std::string(255, 's');
    big.peerId = std::string(255, 'p');
    cases.push_back({"longest_names", send(StreamRecord(StreamRequestBody(big))), true, all});
  }
  {
    StreamRequestFields receiver = valid;
    receiver.role = 1;  // a receiver asking a receiver
    cases.push_back({"wrong_role", send(StreamRecord(StreamRequestBody(receiver))), false});
  }
  {
    StreamRequestFields all_tracks = valid;
    all_tracks.count = 255;
    all_tracks.mask.reset();
    cases.push_back({"no_mask", send(StreamRecord(StreamRequestBody(all_tracks))), false});
    all_tracks.mask = TrackMask({1, 2});  // 32 mask bytes that the count says are not there
    cases.push_back({"count_255_with_mask", send(StreamRecord(StreamRequestBody(all_tracks))), false});
  }
  {
    StreamRequestFields other = valid;
    other.count = 2;
    other.mask = TrackMask({3, 4});
    cases.push_back({"no_common_track", send(StreamRecord(StreamRequestBody(other))), false});
    other.count = 1;
    other.mask = Bytes(32, 0);
    (*other.mask)[0] = 1;  // track 0 does not exist
    cases.push_back({"only_track_zero", send(StreamRecord(StreamRequestBody(other))), false});
    other.mask = Bytes(32, 0);
    other.count = 0;
    cases.push_back({"empty_mask", send(StreamRecord(StreamRequestBody(other))), false});
  }
  {
    // The count claims a mask, the body ends at the count.
    StreamRequestFields cut = valid;
    cut.mask.reset();
    cases.push_back({"mask_missing", send(StreamRecord(StreamRequestBody(cut))), false});
    // Half a mask.
    Bytes half = StreamRequestBody(valid);
    half.resize(half.size() - 16);
    cases.push_back({"half_mask", send(StreamRecord(half)), false});
  }
  {
    // A conference length that reaches past the body.
    Bytes lying = StreamRequestBody(valid);
    lying[1] = 200;
    cases.push_back({"conference_length_lies", send(StreamRecord(lying)), false});
    Bytes lying_last = StreamRequestBody(valid);
    // Name length byte: role, lc, "cf\0", ls, "s\0", lp, "p\0", then ln.
    lying_last[1 + 1 + 3 + 1 + 2 + 1 + 2] = 250;
    cases.push_back({"name_length_lies", send(StreamRecord(lying_last)), false});
    Bytes no_nul = StreamRequestBody(valid);
    no_nul[1 + 1 + 3 + 1 + 1] = 'X';  // where the stream id's NUL belongs
    cases.push_back({"stream_id_without_nul", send(StreamRecord(no_nul)), false});
  }
  cases.push_back({"body_below_10", send(StreamRecord(Bytes(9, 0))), false});
  cases.push_back({"version_0", send(StreamRecord(StreamRequestBody(valid), 0)), false});
  // A head that announces a record over 2,048 bytes: refused as soon as the head is there.
  cases.push_back({"too_long_head_only",
                   send(Bytes(MakeLyingRecord("_HX_STREAMS_", 1, 4000, Bytes{}))), false});
  {
    Bytes body = StreamRequestBody(valid);
    Bytes fits = body;
    fits.resize(2048 - 20, 0);  // the fields, then padding inside the body
    cases.push_back({"record_2048", send(StreamRecord(fits)), true, all});
    Bytes over = body;
    over.resize(2049 - 20, 0);
    cases.push_back({"record_2049", send(StreamRecord(over)), false});
  }
  cases.push_back({"garbage", send(Bytes(64, 0xA5)), false});
  cases.push_back({"close_at_once", [](int fd) { shutdown(fd, SHUT_WR); }, false});
  cases.push_back({"reset_at_once", [](int fd) { ResetClose(fd); }, false});
  const Bytes record = StreamRecord(StreamRequestBody(valid));
  for (size_t cut = 1; cut < record.size(); ++cut) {
    Bytes part(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"cut_" + std::to_string(cut) + "_end", send_end(part), false});
  }
  for (size_t cut : {10u, 20u, 40u}) {
    Bytes part(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"cut_" + std::to_string(cut) + "_reset", [part](int fd) {
                       SendAll(fd, part);
                       std::this_thread::sleep_for(std::chrono::milliseconds(20));
                       ResetClose(fd);
                     },
                     false});
  }
  return cases;
}

TEST_F(HostileStreamHandshakeTest, AcceptingSideJudgesEveryRequest) {
  for (const RequestCase& row : RequestCases()) {
    SCOPED_TRACE(row.name);
    hx::hostile::LoopbackListener listener;
    const int peer = hx::hostile::ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Side& side = NewSide();
    ASSERT_TRUE(Accept(listener, side));
    const bool reset = row.name.find("reset") != std::string::npos;
    row.send(peer);
    const int32_t result = WaitResult(*side.holder, 1500);
    if (!row.accepted) {
      EXPECT_EQ(result, HXZADataManager::failed);
      EXPECT_NE(side.handshake->GetStreamState(), HXHelperStreamSimple::stateDone);
      if (!reset) {
        // Refused: no response, and the connection goes.
        const Bytes answer = hx::hostile::ReadExactly(peer, 20, 2000);
        EXPECT_TRUE(answer.empty()) << "a refused request was answered";
        close(peer);
      }
      continue;
    }
    EXPECT_EQ(result, HXZADataManager::done);
    EXPECT_EQ(side.handshake->GetStreamState(), HXHelperStreamSimple::stateDone);
    EXPECT_EQ(TrackList(side.handshake->GetTracks()), row.tracks);
    const auto answer = hx::hostile::ReadRecord(peer, 2000);
    EXPECT_TRUE(answer.has_value()) << "no response";
    if (!answer) {
      close(peer);
      continue;
    }
    EXPECT_EQ(answer->primary, "_HX_STREAMS_");
    EXPECT_EQ(answer->version, 1u);
    EXPECT_TRUE(answer->headOk);
    EXPECT_TRUE(answer->bodyOk);
    EXPECT_EQ(answer->body, hx::hostile::StreamResponseBody(1, 5, hx::hostile::TrackMask(kOwn)));
    EXPECT_EQ(hx::hostile::Word(answer->raw) & 0xFFF8001Fu, 0x1080001u);
    close(peer);
  }
}

TEST_F(HostileStreamHandshakeTest, AcceptingSideWaitsForAPartialRequest) {
  using namespace hx::hostile;
  const Bytes record = StreamRecord(StreamRequestBody(StreamRequestFields{}));
  for (size_t cut = 1; cut < record.size(); ++cut) {
    SCOPED_TRACE(cut);
    LoopbackListener listener;
    const int peer = ConnectLoopback(listener.port());
    Side& side = NewSide();
    ASSERT_TRUE(Accept(listener, side));
    ASSERT_TRUE(SendAll(peer, record.data(), cut));
    EXPECT_TRUE(StaysSilentAndOpen(peer, 20));
    EXPECT_EQ(side.holder->result.load(), kNone);
    ASSERT_TRUE(SendAll(peer, record.data() + cut, record.size() - cut));
    EXPECT_EQ(WaitResult(*side.holder, 1000), HXZADataManager::done);
    EXPECT_TRUE(ReadRecord(peer, 200).has_value());
    close(peer);
  }
}

// The listener's path: the probe reads the whole request and hands the connection on with the
// record in its buffer; the accepting handshake must judge those bytes without waiting for more.
struct ProbeHandOver {
  void OnStream(HX_ZeroHandshakeFixedPart const&, HXZADataHandler* handler) {
    holder = HXZServer::inheritNative<StreamHolder>(handler);
    if (holder == nullptr) return;
    holder->handshake = handshake;
    holder->SetState(true);
  }
  HXHelperStreamSimple* handshake = nullptr;
  StreamHolder* holder = nullptr;
};

TEST_F(HostileStreamHandshakeTest, RequestTakenOverFromTheProbeIsJudged) {
  using namespace hx::hostile;
  struct Row {
    const char* name;
    Bytes record;
    bool accepted;
  };
  StreamRequestFields wrong_role;
  wrong_role.role = 1;
  const std::vector<Row> rows = {
      {"valid", StreamRecord(StreamRequestBody(StreamRequestFields{})), true},
      {"wrong_role", StreamRecord(StreamRequestBody(wrong_role)), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackListener listener;
    const int peer = ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Side& side = NewSide();
    ASSERT_TRUE(side.handshake->AcceptStream(HX_StreamClient_Receiver));
    auto hand_over = std::make_unique<ProbeHandOver>();
    hand_over->handshake = side.handshake.get();
    const int accepted = listener.Accept();
    ASSERT_NE(accepted, -1);
    SetNonBlocking(accepted);
    bool started = false;
    OnLoop([&] {
      HXZANullDataHandler raw(accepted, AF_INET, SOCK_STREAM, IPPROTO_TCP);
      auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(&raw);
      if (probe == nullptr) return;
      probe->fireProbeStream.Connect(hand_over.get(), &ProbeHandOver::OnStream);
      started = probe->start(5000);
    });
    ASSERT_TRUE(started);
    ASSERT_TRUE(SendAll(peer, row.record));
    // Nothing more comes from the peer: the buffered record alone must decide.
    for (int i = 0; i < 1000 && hand_over->holder == nullptr; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(hand_over->holder, nullptr) << "the probe did not hand the stream on";
    side.holder = hand_over->holder;
    const int32_t result = WaitResult(*side.holder, 2000);
    if (row.accepted) {
      EXPECT_EQ(result, HXZADataManager::done);
      const auto answer = ReadRecord(peer, 2000);
      EXPECT_TRUE(answer.has_value()) << "no response";
    } else {
      EXPECT_EQ(result, HXZADataManager::failed);
      EXPECT_TRUE(ReadExactly(peer, 20, 1000).empty());
    }
    OnLoop([] {});  // the hand-over object is no longer used once the loop ran past it
    close(peer);
  }
}

struct AnswerCase {
  std::string name;
  std::function<void(int fd)> send;
  bool accepted;
};

std::vector<AnswerCase> AnswerCases() {
  using namespace hx::hostile;
  std::vector<AnswerCase> cases;
  auto send = [](Bytes bytes) { return [bytes](int fd) { SendAll(fd, bytes); }; };
  auto send_end = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      shutdown(fd, SHUT_WR);
    };
  };
  const Bytes valid = StreamRecord(StreamResponseBody(1, 2, TrackMask({1, 2})));
  cases.push_back({"valid", send(valid), true});
  cases.push_back({"valid_bytewise", [valid](int fd) { SendBytewise(fd, valid); }, true});
  cases.push_back({"all_tracks", send(StreamRecord(StreamResponseBody(1, 255, std::nullopt))), true});
  {
    Bytes extra = valid;
    extra.insert(extra.end(), 30, 0x10);
    cases.push_back({"valid_extra_bytes", send(extra), true});
  }
  cases.push_back({"flag_clear", send(StreamRecord(StreamResponseBody(0, 2, TrackMask({1, 2})))),
                   false});
  cases.push_back({"count_without_mask", send(StreamRecord(StreamResponseBody(1, 3, std::nullopt))),
                   false});
  {
    Bytes half = StreamResponseBody(1, 2, TrackMask({1, 2}));
    half.resize(20);
    cases.push_back({"half_mask", send(StreamRecord(half)), false});
  }
  cases.push_back({"body_of_one", send(StreamRecord(Bytes{1})), false});
  cases.push_back({"version_0", send(StreamRecord(StreamResponseBody(1, 255, std::nullopt), 0)),
                   false});
  cases.push_back({"too_long_head_only",
                   send(MakeLyingRecord("_HX_STREAMS_", 1, 3000, Bytes{})), false});
  cases.push_back({"garbage", send(Bytes(64, 0xA5)), false});
  cases.push_back({"close_without_answer", [](int fd) { shutdown(fd, SHUT_WR); }, false});
  cases.push_back({"reset_without_answer", [](int fd) { ResetClose(fd); }, false});
  for (size_t cut = 1; cut < valid.size(); ++cut) {
    Bytes part(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"cut_" + std::to_string(cut) + "_end", send_end(part), false});
  }
  return cases;
}

TEST_F(HostileStreamHandshakeTest, ConnectingSideSendsItsRequestAndJudgesTheAnswer) {
  using namespace hx::hostile;
  StreamRequestFields expected;
  expected.role = 1;
  expected.conference = "cf";
  expected.streamId = expected.name = "alice";
  expected.peerId = "bob";
  const Bytes expected_body = StreamRequestBody(expected);
  for (const AnswerCase& row : AnswerCases()) {
    SCOPED_TRACE(row.name);
    LoopbackListener listener;
    Side& side = NewSide();
    ASSERT_TRUE(Connect(listener.port(), side));
    const int peer = listener.Accept();
    ASSERT_NE(peer, -1);
    const auto request = ReadRecord(peer, 3000);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->primary, "_HX_STREAMS_");
    EXPECT_EQ(request->version, 1u);
    EXPECT_TRUE(request->headOk);
    EXPECT_TRUE(request->bodyOk);
    EXPECT_EQ(request->body, expected_body);
    EXPECT_EQ(request->body.size(), 2u + 5 + 3 + 5 + 10 + 32);
    row.send(peer);
    const int32_t result = WaitResult(*side.holder, 3000);
    if (row.accepted) {
      EXPECT_EQ(result, HXZADataManager::done);
      EXPECT_EQ(side.handshake->GetStreamState(), HXHelperStreamSimple::stateDone);
    } else {
      EXPECT_EQ(result, HXZADataManager::failed);
      EXPECT_NE(side.handshake->GetStreamState(), HXHelperStreamSimple::stateDone);
    }
    close(peer);
  }
}

}  // namespace
