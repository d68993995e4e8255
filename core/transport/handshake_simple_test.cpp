#include "core/transport/handshake_simple.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/transport/scripted_socket_test_util.h"
#include "testing/fake_server/handshake_record.h"
#include "testing/test_support.h"

namespace {

using hx::testing::EncodeTransportHandshakeReply;
using hx::testing::ScriptedSocket;
using hx::testing::TransportHandshakeReply;
using hx::testing::TransportHandshakeRequest;

constexpr int32_t kKeepGoing = HXZADataManager::keepGoing;
constexpr int32_t kFailed = HXZADataManager::failed;
constexpr int32_t kDone = HXZADataManager::done;

// The request as the fake server reads it; `problems` receives what it finds unusual.
TransportHandshakeRequest DecodeRequest(const std::vector<uint8_t>& bytes,
                                        std::vector<std::string>* problems = nullptr) {
  TransportHandshakeRequest request;
  std::vector<std::string> found;
  EXPECT_TRUE(hx::testing::DecodeTransportHandshakeRequest(bytes.data(), bytes.size(), request, found));
  if (problems != nullptr) {
    *problems = found;
  } else {
    EXPECT_TRUE(found.empty()) << found.front();
  }
  return request;
}

// A handshake whose request went out on `socket`, now waiting for the reply.
void SendRequest(HXHelperHandshakeSimple& handshake, ScriptedSocket& socket, bool keepClientId = false) {
  handshake.InitHandshake(keepClientId, false, true, false);
  ASSERT_EQ(handshake.OnReadySendImp(&socket, &socket), kKeepGoing);
  ASSERT_EQ(handshake.GetTransportState(), HXHelperHandshakeSimple::stateRequestSent);
}

TEST(HandshakeSimple, RequestAsksForSecurityOnlyWithoutTls) {
  for (bool tls : {false, true}) {
    ScriptedSocket socket(tls);
    socket.SendAsync(true);
    HXHelperHandshakeSimple handshake;
    SendRequest(handshake, socket);
    EXPECT_FALSE(socket.ReadyToSendRequested());
    const TransportHandshakeRequest request = DecodeRequest(socket.Sent());
    EXPECT_EQ(request.secure_requested, !tls);
    EXPECT_EQ(request.client_id, "");
    EXPECT_EQ(request.keep_alive, 0);
  }
}

TEST(HandshakeSimple, RequestThatDoesNotGoOutWholeFails) {
  ScriptedSocket socket;
  socket.LimitSend(10);
  HXHelperHandshakeSimple handshake;
  handshake.InitHandshake(false, false, true, false);
  hx::testing::LogCapture log;
  EXPECT_EQ(handshake.OnReadySendImp(&socket, &socket), kFailed);
  EXPECT_EQ(handshake.GetResult(), 5);
  EXPECT_TRUE(log.Contains("HXHelperHandshakeSimple::SendHandshake snd_size 10 msg_size 26"));
}

// The reply must be read whole however TCP cuts it, and nothing behind it may be taken: the
// server's next message can share its last segment.
TEST(HandshakeSimple, ReplyIsAssembledFromAnySegmentsAndNothingMoreIsRead) {
  TransportHandshakeReply reply;
  reply.secure = true;
  reply.client_id = "client-7";
  const std::vector<uint8_t> record = EncodeTransportHandshakeReply(reply);
  const std::vector<uint8_t> next_message = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<uint8_t> stream = record;
  stream.insert(stream.end(), next_message.begin(), next_message.end());

  for (size_t segment : {stream.size(), size_t{1}, size_t{7}, size_t{19}, size_t{20}, size_t{21}, record.size() - 1}) {
    ScriptedSocket socket;
    HXHelperHandshakeSimple handshake;
    SendRequest(handshake, socket);
    socket.ArriveInSegments(stream, segment);
    // One event per segment, as the loop would deliver them; a wait in between is not a failure.
    int32_t progress = kKeepGoing;
    for (int event = 0; event < 200 && progress == kKeepGoing; ++event) {
      progress = handshake.OnReadyRecvImp(&socket, &socket);
    }
    EXPECT_EQ(progress, kDone) << "segment " << segment;
    EXPECT_EQ(socket.Unread(), next_message.size()) << "segment " << segment;
    EXPECT_STREQ(handshake.GetSID(), "127.0.0.1#vcs");
    EXPECT_STREQ(handshake.GetCID(), "client-7");
    EXPECT_TRUE(handshake.GetSSL());
    EXPECT_EQ(handshake.GetTransportState(), HXHelperHandshakeSimple::stateReplyAccepted);
  }
}

TEST(HandshakeSimple, StreamEndingBeforeTheReplyIsWholeFails) {
  const std::vector<uint8_t> record = EncodeTransportHandshakeReply(TransportHandshakeReply{});
  struct Case {
    size_t delivered;
    int32_t result;
  } cases[] = {{0, 6}, {19, 6}, {20, 4}, {record.size() - 1, 4}};
  for (const Case& c : cases) {
    ScriptedSocket socket;
    HXHelperHandshakeSimple handshake;
    SendRequest(handshake, socket);
    socket.Arrive(record.data(), c.delivered);
    EXPECT_EQ(handshake.OnReadyRecvImp(&socket, &socket), kKeepGoing);
    socket.EndStream();
    EXPECT_EQ(handshake.OnReadyRecvImp(&socket, &socket), kFailed) << c.delivered;
    EXPECT_EQ(handshake.GetResult(), c.result) << c.delivered;
  }
}

TEST(HandshakeSimple, ReplyVerdicts) {
  const std::string long_server_id(80, 's');
  struct Case {
    const char* what;
    TransportHandshakeReply reply;
    bool tls;
    int32_t result;
    std::string sid;
  } cases[] = {
      {"secure granted", {.secure = true}, false, 0, "127.0.0.1#vcs"},
      {"server refuses", {.result = 2, .secure = true}, false, 2, "127.0.0.1#vcs"},
      {"no security on a plain socket", {}, false, 7, "127.0.0.1#vcs"},
      {"no security over TLS", {}, true, 0, "127.0.0.1#vcs"},
      {"server asks for keep-alive", {.secure = true, .keep_alive = 1}, false, 6, "127.0.0.1#vcs"},
      {"no names", {.names_flag = false, .secure = true}, false, 0, ""},
      {"server id cut to 64", {.server_id = long_server_id, .secure = true}, false, 0, long_server_id.substr(0, 64)},
  };
  for (const Case& c : cases) {
    ScriptedSocket socket(c.tls);
    HXHelperHandshakeSimple handshake;
    SendRequest(handshake, socket);
    socket.Arrive(EncodeTransportHandshakeReply(c.reply));
    hx::testing::LogCapture log;
    EXPECT_EQ(handshake.OnReadyRecvImp(&socket, &socket), c.result == 0 ? kDone : kFailed) << c.what;
    EXPECT_EQ(handshake.GetResult(), c.result) << c.what;
    EXPECT_EQ(std::string(handshake.GetSID()), c.sid) << c.what;
    EXPECT_EQ(handshake.GetIdleTimeout(), 30000) << c.what;
    EXPECT_EQ(log.Contains("FAILED: imbalanced network"), c.reply.keep_alive.value_or(0) != 0) << c.what;
  }
}

TEST(HandshakeSimple, DamagedReplyFailsWithResult4) {
  std::vector<uint8_t> record = EncodeTransportHandshakeReply(TransportHandshakeReply{});
  record.back() ^= 0x40;  // the body checksum no longer matches
  ScriptedSocket socket;
  HXHelperHandshakeSimple handshake;
  SendRequest(handshake, socket);
  socket.Arrive(record);
  EXPECT_EQ(handshake.OnReadyRecvImp(&socket, &socket), kFailed);
  EXPECT_EQ(handshake.GetResult(), 4);
  EXPECT_EQ(handshake.GetIdleTimeout(), 0);
}

TEST(HandshakeSimple, EventsInTheWrongStateFailWithResult3) {
  ScriptedSocket socket;
  HXHelperHandshakeSimple handshake;
  handshake.InitHandshake(false, false, true, false);
  EXPECT_EQ(handshake.OnReadyRecvImp(&socket, &socket), kFailed);  // nothing sent yet
  EXPECT_EQ(handshake.GetResult(), 3);

  SendRequest(handshake, socket);
  socket.ClearSent();
  EXPECT_EQ(handshake.OnReadySendImp(&socket, &socket), kFailed);  // sent already
  EXPECT_EQ(handshake.GetResult(), 3);
  EXPECT_TRUE(socket.Sent().empty());
}

// A client id the server assigned is sent again on the next connect; the second name of the
// request only holds 64 characters of it.
TEST(HandshakeSimple, LongAssignedClientIdIsSentAgainWithItsSecondNameCut) {
  const std::string long_id(200, 'c');
  ScriptedSocket first;
  HXHelperHandshakeSimple handshake;
  SendRequest(handshake, first);
  first.Arrive(EncodeTransportHandshakeReply({.client_id = long_id, .secure = true}));
  ASSERT_EQ(handshake.OnReadyRecvImp(&first, &first), kDone);

  ScriptedSocket second;
  SendRequest(handshake, second, true);
  std::vector<std::string> problems;
  const TransportHandshakeRequest request = DecodeRequest(second.Sent(), &problems);
  EXPECT_EQ(problems, std::vector<std::string>{"handshake second name differs from the client id"});
  EXPECT_EQ(request.client_id, long_id);
  EXPECT_EQ(request.second_name, long_id.substr(0, 64));

  ScriptedSocket third;
  SendRequest(handshake, third, false);  // without keeping, the ids are forgotten
  EXPECT_EQ(DecodeRequest(third.Sent()).client_id, "");
}

}  // namespace
