// The fake server driven by a raw client (raw_test_client.h): plain sockets and bytes laid out
// by hand from the wire format.

#include "testing/fake_server/fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/raw_test_client.h"
#include "testing/fake_server/server_messages.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using namespace raw;  // NOLINT: the raw client and its worked bytes

class FakeServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  // A client past the plain handshake, with the server's side of it.
  std::unique_ptr<RawClient> Connected(std::shared_ptr<FakeConnection>* connection = nullptr) {
    auto client = std::make_unique<RawClient>(server_.port());
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(client->Send(kRequestAbc));
    EXPECT_EQ(client->Read(kReplyAbc.size()), kReplyAbc);
    auto accepted = server_.WaitForConnection(kWaitMs, ++connections_);
    EXPECT_TRUE(accepted && accepted->WaitForPhase(ConnectionPhase::kMessages, kWaitMs));
    if (connection != nullptr) *connection = accepted;
    return client;
  }

  void ExpectNoViolations() {
    for (const std::string& violation : server_.Violations()) ADD_FAILURE() << violation;
  }

  FakeServer server_;
  int connections_ = 0;
};

TEST(FakeServerHandBuiltTest, BuilderMatchesTheWorkedPing) {
  EXPECT_EQ(HandBuiltMessage(0xC1, 1, 5000, {"", "", "p", "", "", "", "", "", ""}, {0}), kPing);
}

TEST_F(FakeServerTest, AnswersTheHandshakeWithTheWorkedReplyBytes) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  ASSERT_TRUE(connection);
  const auto request = connection->handshake_request();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->client_id, "abc");
  EXPECT_FALSE(request->secure_requested);
  EXPECT_EQ(connection->assigned_client_id(), "abc");
  ExpectNoViolations();
}

TEST_F(FakeServerTest, ReplyFollowsTheSettings) {
  struct Case {
    const char* what;
    TransportHandshakeReply reply;
    ConnectionPhase phase;
  };
  TransportHandshakeReply refused;
  refused.result = 2;
  TransportHandshakeReply assigned;
  assigned.client_id = "given-id";
  assigned.server_id = "srv#as";
  assigned.idle_timeout_ms = 6000;
  assigned.names_flag = false;
  assigned.keep_alive = 1;
  TransportHandshakeReply secure_unasked;  // granted, but the client did not ask
  secure_unasked.secure = true;
  const Case cases[] = {
      {"refused", refused, ConnectionPhase::kRefused},
      {"assigned", assigned, ConnectionPhase::kMessages},
      {"secure not asked", secure_unasked, ConnectionPhase::kMessages},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectionSettings settings;
    settings.handshake_reply = c.reply;
    server_.SetConnectionSettings(settings);
    RawClient client(server_.port());
    ASSERT_TRUE(client.Send(kRequestAbc));
    const Bytes head = client.Read(20);
    ASSERT_EQ(head.size(), 20u);
    const uint32_t word = head[16] | head[17] << 8 | head[18] << 16 | uint32_t{head[19]} << 24;
    const Bytes body = client.Read((word >> 19) + 1);
    EXPECT_EQ(word & 0x1f, 1u | (c.reply.names_flag ? 8u : 0u) | (c.reply.secure ? 16u : 0u));
    ASSERT_GE(body.size(), 5u);
    EXPECT_EQ(body[0], c.reply.result);
    EXPECT_EQ(body[1] | body[2] << 8, c.reply.idle_timeout_ms);
    const std::string server_id(body.begin() + 6, body.begin() + 6 + body[5]);
    EXPECT_EQ(server_id, c.reply.server_id);
    const size_t at = 7 + body[5];
    const std::string client_id(body.begin() + at + 1, body.begin() + at + 1 + body[at]);
    EXPECT_EQ(client_id, c.reply.client_id.empty() ? "abc" : c.reply.client_id);
    EXPECT_EQ(body.size(), at + 2 + body[at] + (c.reply.keep_alive ? 1 : 0));
    auto connection = server_.WaitForConnection(kWaitMs, ++connections_);
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->WaitForPhase(c.phase, kWaitMs));
  }
  ExpectNoViolations();
}

TEST_F(FakeServerTest, ServiceMessageRoundTripThroughAHandler) {
  server_.SetServiceHandler("AUTH", [](FakeConnection& connection, const ReceivedMessage& m) {
    HX_Container answer = WithMethod("LoginResult");
    answer.AddValue("Result", int32_t{0});
    if (m.method == "Login") connection.Reply(m, answer);
  });
  auto client = Connected();
  ASSERT_TRUE(client->Send(ServiceRequest(5, "Login")));

  ReceivedMessage received;
  ASSERT_TRUE(server_.WaitForMessage([](const auto& m) { return m.method == "Login"; }, kWaitMs,
                                     &received));
  EXPECT_EQ(received.service(), "AUTH");
  EXPECT_EQ(received.frame.names.src_cid, "abc");
  EXPECT_EQ(received.frame.sequence, 5u);
  EXPECT_FALSE(received.control);

  HX_Container answer = WithMethod("LoginResult");
  answer.AddValue("Result", int32_t{0});
  // The reply mirrors the request: same sequence and time limit, reply flags, the services and
  // connection ids swapped, no additional string.
  EXPECT_EQ(client->ReadMessage(),
            HandBuiltMessage(0x81, 5, 20000, {"", "AUTH", "", "abc", "AUTH", "", "", "", ""},
                             Serialized(answer)));
  ExpectNoViolations();
}

// A fake service removes its handler in its destructor; a message handled at that moment must be
// done before the removal returns, or the handler runs on a destroyed object.
TEST_F(FakeServerTest, RemovingAHandlerWaitsForItsRunningCall) {
  std::atomic<bool> running{false};
  std::atomic<bool> done{false};
  server_.SetServiceHandler("AUTH", [&](FakeConnection&, const ReceivedMessage&) {
    running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    done = true;
  });
  auto client = Connected();
  ASSERT_TRUE(client->Send(ServiceRequest(1, "Login")));
  for (int waited = 0; !running.load() && waited < kWaitMs; waited += 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(running.load());
  server_.SetServiceHandler("AUTH", nullptr);
  EXPECT_TRUE(done.load());
}

TEST_F(FakeServerTest, WithoutKeepingMessagesHandlersStillSeeEveryOne) {
  std::atomic<int> handled{0};
  server_.SetServiceHandler("AUTH", [&handled](FakeConnection&, const ReceivedMessage& m) {
    if (m.method == "Login") handled.fetch_add(1);
  });
  server_.SetKeepMessages(false);
  auto client = Connected();
  for (uint32_t sequence = 1; sequence <= 3; ++sequence) ASSERT_TRUE(client->Send(ServiceRequest(sequence, "Login")));
  for (int waited = 0; handled.load() < 3 && waited < kWaitMs; waited += 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(handled.load(), 3);
  EXPECT_TRUE(server_.Messages().empty());

  // Keeping again: the next message is kept.
  server_.SetKeepMessages(true);
  ASSERT_TRUE(client->Send(ServiceRequest(4, "Login")));
  ReceivedMessage received;
  ASSERT_TRUE(server_.WaitForMessage([](const auto& m) { return m.method == "Login"; }, kWaitMs, &received));
  EXPECT_EQ(received.frame.sequence, 4u);
  EXPECT_EQ(server_.Messages().size(), 1u);
  ExpectNoViolations();
}

TEST_F(FakeServerTest, AnswersPingsUnlessTold) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  ASSERT_TRUE(client->Send(kPing));
  Bytes pong = kPing;
  pong[0] = 0x81;  // a reply: the header checksum loses 0x40 too
  pong[1] = 0x02;
  EXPECT_EQ(client->ReadMessage(), pong);
  ReceivedMessage received;
  ASSERT_TRUE(server_.WaitForMessage([](const auto& m) { return m.control; }, kWaitMs, &received));
  EXPECT_EQ(received.control_code(), 'p');

  connection->SetAnswerPings(false);
  ASSERT_TRUE(client->Send(kPing));
  EXPECT_TRUE(client->ReadOnce(300).empty());
  EXPECT_EQ(server_.Messages().size(), 2u);
  ExpectNoViolations();
}

TEST_F(FakeServerTest, SendsDisconnectAndCloses) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  connection->SendDisconnect();
  connection->Close();
  EXPECT_EQ(client->ReadMessage(),
            HandBuiltMessage(0xC1, 1, 5000, {"", "", "d", "", "", "", "", "", ""}, {0}));
  EXPECT_TRUE(client->WaitForEnd());
  EXPECT_TRUE(connection->WaitForPhase(ConnectionPhase::kClosed, kWaitMs));
}

TEST_F(FakeServerTest, CutsItsOutputIntoPieces) {
  ConnectionSettings settings;
  settings.shaping.piece_size = 10;
  settings.shaping.piece_gap = milliseconds(100);
  server_.SetConnectionSettings(settings);
  RawClient client(server_.port());
  ASSERT_TRUE(client.Send(kRequestAbc));
  // The client waits in its read, so the first piece arrives alone: the head is not complete.
  const Bytes first = client.ReadOnce();
  EXPECT_EQ(first.size(), 10u);
  Bytes reply = first;
  const Bytes rest = client.Read(kReplyAbc.size() - first.size());
  reply.insert(reply.end(), rest.begin(), rest.end());
  EXPECT_EQ(reply, kReplyAbc);
}

TEST_F(FakeServerTest, SendsSeveralMessagesInOneSegment) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  std::vector<MessageFrame> messages = {ServiceMessage("AUTH", "AUTH", WithMethod("One")),
                                        ServiceMessage("AUTH", "AUTH", WithMethod("Two"))};
  connection->SendTogether(messages);
  const Bytes one = HandBuiltMessage(0xC1, 1, 20000, {"", "AUTH", "", "", "AUTH", "", "", "", ""},
                                     Serialized(WithMethod("One")));
  const Bytes two = HandBuiltMessage(0xC1, 2, 20000, {"", "AUTH", "", "", "AUTH", "", "", "", ""},
                                     Serialized(WithMethod("Two")));
  Bytes both = one;
  both.insert(both.end(), two.begin(), two.end());
  EXPECT_EQ(client->ReadOnce(), both);
}

TEST_F(FakeServerTest, ScriptedPauseAndRawBytesKeepTheirOrder) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  const auto start = std::chrono::steady_clock::now();
  connection->Pause(milliseconds(300));
  connection->SendRaw({'x', 'y'});
  connection->Send(ControlMessage('d'));
  EXPECT_EQ(client->Read(2), (Bytes{'x', 'y'}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(250));
  EXPECT_EQ(client->ReadMessage().size(), kPing.size());
}

TEST_F(FakeServerTest, ReadsRequestAndMessagesHoweverTheyAreCut) {
  auto client = std::make_unique<RawClient>(server_.port());
  client->SendByteByByte(kRequestAbc);
  EXPECT_EQ(client->Read(kReplyAbc.size()), kReplyAbc);
  client->SendByteByByte(ServiceRequest(1, "ByteByByte"));
  Bytes together = ServiceRequest(2, "First");
  const Bytes second = ServiceRequest(3, "Second");
  together.insert(together.end(), second.begin(), second.end());
  ASSERT_TRUE(client->Send(together));
  ASSERT_TRUE(server_.WaitForMessage([](const auto& m) { return m.method == "Second"; }, kWaitMs));
  const auto messages = server_.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].method, "ByteByByte");
  EXPECT_EQ(messages[1].method, "First");
  ExpectNoViolations();
}

TEST_F(FakeServerTest, RecordsEveryBreachOfTheProtocol) {
  Bytes bad_checksum = ServiceRequest(1, "Login");
  bad_checksum[1] ^= 1;
  Bytes bad_version = ServiceRequest(1, "Login");
  bad_version[0] = 0xC2;
  const Names auth = {"abc", "AUTH", "52", "", "AUTH", "", "", "", ""};
  Names wrong_add_string = auth;
  wrong_add_string[2] = "53";
  Names source_user = auth;
  source_user[5] = "me";
  struct Case {
    const char* what;
    Bytes message;
    const char* violation;
  };
  const Case cases[] = {
      {"header checksum", bad_checksum, "header checksum"},
      {"version", bad_version, "version: found 2"},
      {"sequence 0", HandBuiltMessage(0xC1, 0, 20000, auth, Serialized(WithMethod("A"))),
       "sequence number 0"},
      {"notify", HandBuiltMessage(0xE1, 1, 20000, auth, Serialized(WithMethod("A"))),
       "not a plain request"},
      {"additional string",
       HandBuiltMessage(0xC1, 1, 20000, wrong_add_string, Serialized(WithMethod("A"))),
       "AddString \"53\""},
      {"source user", HandBuiltMessage(0xC1, 1, 20000, source_user, Serialized(WithMethod("A"))),
       "SrcUser"},
      {"body", HandBuiltMessage(0xC1, 1, 20000, auth, {1, 2, 3, 4}), "does not deserialise"},
      {"control time limit",
       HandBuiltMessage(0xC1, 1, 1000, {"", "", "p", "", "", "", "", "", ""}, {0}),
       "time limit 1000"},
      {"control body", HandBuiltMessage(0xC1, 1, 5000, {"", "", "p", "", "", "", "", "", ""}, {7}),
       "single NUL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Connected();
    ASSERT_TRUE(client->Send(c.message));
    const std::string prefix = "connection " + std::to_string(connections_) + ": ";
    EXPECT_TRUE(WaitFor(
        [&] {
          const auto violations = server_.Violations();
          return std::any_of(violations.begin(), violations.end(), [&](const std::string& v) {
            return v.rfind(prefix, 0) == 0 && v.find(c.violation) != std::string::npos;
          });
        },
        kWaitMs));
  }
}

TEST_F(FakeServerTest, UnreadableStreamOrRequestEndsTheConnection) {
  std::shared_ptr<FakeConnection> connection;
  auto client = Connected(&connection);
  Bytes short_header = kPing;
  short_header[2] = 20;  // a header that cannot hold nine names
  ASSERT_TRUE(client->Send(short_header));
  EXPECT_TRUE(client->WaitForEnd());
  EXPECT_TRUE(connection->WaitForPhase(ConnectionPhase::kClosed, kWaitMs));

  RawClient second(server_.port());
  Bytes request = kRequestAbc;
  request[20] = 40;  // the client id's length runs past the body
  ASSERT_TRUE(second.Send(request));
  EXPECT_TRUE(second.WaitForEnd());
  const auto violations = server_.Violations();
  EXPECT_TRUE(std::any_of(violations.begin(), violations.end(), [](const std::string& v) {
    return v.find("connection 2: handshake request body cut short") == 0;
  }));
}

TEST_F(FakeServerTest, GarbageOrDelayedReplyAsScripted) {
  ConnectionSettings settings;
  settings.raw_handshake_reply = Bytes{'g', 'a', 'r', 'b', 'a', 'g', 'e'};
  settings.handshake_reply_delay = milliseconds(300);
  server_.SetConnectionSettings(settings);
  RawClient client(server_.port());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.Send(kRequestAbc));
  EXPECT_EQ(client.Read(7), *settings.raw_handshake_reply);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(250));
  // The server expects nothing after such a reply; what comes is a breach.
  ASSERT_TRUE(client.Send(kPing));
  EXPECT_TRUE(WaitFor([&] { return !server_.Violations().empty(); }, kWaitMs));
}

TEST(FakeServerBufferTest, StopsReadingUntilToldToGoOn) {
  FakeServerOptions options;
  options.receive_buffer_bytes = 16384;
  FakeServer server(options);
  ASSERT_TRUE(server.Start());
  RawClient client(server.port());
  ASSERT_TRUE(client.Send(kRequestAbc));
  ASSERT_EQ(client.Read(kReplyAbc.size()), kReplyAbc);
  auto connection = server.WaitForConnection(kWaitMs);
  ASSERT_TRUE(connection);
  connection->SetReading(false);

  // One large message that does not compress: the client's writes stop once both sockets'
  // (small) buffers are full.
  HX_Container body = WithMethod("Large");
  std::mt19937 random(7);
  Bytes filler(512 * 1024);
  for (uint8_t& byte : filler) byte = static_cast<uint8_t>(random());
  body.AddValue("Filler", HX_CNT_BINARY_VT, filler.data(), filler.size());
  const int send_buffer = 16384;
  setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
  const Bytes message = HandBuiltMessage(
      0xC1, 1, 20000, {"abc", "AUTH", "52", "", "AUTH", "", "", "", ""}, Serialized(body));
  fcntl(client.fd(), F_SETFL, fcntl(client.fd(), F_GETFL) | O_NONBLOCK);
  size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = send(client.fd(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0) break;
    sent += static_cast<size_t>(n);
  }
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_LT(sent, message.size());
  EXPECT_TRUE(server.Messages().empty());

  connection->SetReading(true);
  fcntl(client.fd(), F_SETFL, fcntl(client.fd(), F_GETFL) & ~O_NONBLOCK);
  ASSERT_TRUE(client.Send(Bytes(message.begin() + static_cast<long>(sent), message.end())));
  ReceivedMessage received;
  ASSERT_TRUE(
      server.WaitForMessage([](const auto& m) { return m.method == "Large"; }, 20000, &received));
  size_t size = 0;
  const void* value = received.body.GetValueRef("Filler", HX_CNT_BINARY_VT, size);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(Bytes(static_cast<const uint8_t*>(value), static_cast<const uint8_t*>(value) + size),
            filler);
  EXPECT_TRUE(server.Violations().empty());
}

TEST(FakeServerLifeTest, StopsWithConnectionsOpenAndRefusesASecondStart) {
  FakeServer server;
  ASSERT_TRUE(server.Start());
  std::string error;
  EXPECT_FALSE(server.Start(&error));
  EXPECT_EQ(error, "already started");
  RawClient client(server.port());
  ASSERT_TRUE(client.Send(kRequestAbc));
  auto connection = server.WaitForConnection(kWaitMs);
  ASSERT_TRUE(connection);
  server.Stop();
  EXPECT_EQ(connection->phase(), ConnectionPhase::kClosed);
  EXPECT_TRUE(client.WaitForEnd());
  EXPECT_EQ(server.WaitForConnection(0, 2), nullptr);
}

}  // namespace
}  // namespace hx::testing
