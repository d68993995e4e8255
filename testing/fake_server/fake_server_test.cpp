// The fake server driven by a raw client written here: plain sockets and bytes laid out by hand
// from the wire format, so the server's framing is checked against bytes rather than against
// the client library's classes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/server_messages.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr int kWaitMs = 5000;

// The request of client id "abc" without the secure handshake, and the server's default reply
// to it (accepted, idle time-out 30000, server id "127.0.0.1#vcs", the id "abc" handed back).
const Bytes kRequestAbc = {0x5f, 0x48, 0x58, 0x5f, 0x54, 0x52, 0x41, 0x4e, 0x53, 0x50, 0x4f,
                           0x52, 0x54, 0x5f, 0x00, 0x00, 0x29, 0xef, 0x5d, 0x00, 0x03, 0x61,
                           0x62, 0x63, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00, 0x00, 0x00};
const Bytes kReplyAbc = {0x5f, 0x48, 0x58, 0x5f, 0x54, 0x52, 0x41, 0x4e, 0x53, 0x50, 0x4f, 0x52,
                         0x54, 0x5f, 0x00, 0x00, 0xe9, 0x10, 0xc6, 0x00, 0x00, 0x30, 0x75, 0x00,
                         0x00, 0x0d, 0x31, 0x32, 0x37, 0x2e, 0x30, 0x2e, 0x30, 0x2e, 0x31, 0x23,
                         0x76, 0x63, 0x73, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00};
// The control message 'p' with sequence number 1 as a request (the client's ping).
const Bytes kPing = {0xc1, 0x42, 0x23, 0x00, 0xee, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                     0x88, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x70, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

using Names = std::array<std::string, 9>;  // SrcCID, SrcService, AddString, DstCID, DstService,
                                           // SrcUser, DstUser, SrcServer, DstServer

// A transport message laid out field by field, checksums included.
Bytes HandBuiltMessage(uint8_t flags, uint32_t sequence, uint32_t time_limit, const Names& names,
                       const Bytes& body) {
  Bytes m(16);
  for (const std::string& name : names) {
    m.push_back(static_cast<uint8_t>(name.size()));
    m.insert(m.end(), name.begin(), name.end());
    m.push_back(0);
  }
  const uint32_t h = static_cast<uint32_t>(m.size());
  const uint32_t b = static_cast<uint32_t>(body.size() - 1);
  m.insert(m.end(), body.begin(), body.end());
  m[0] = flags;
  m[2] = h & 0xff;
  m[3] = h >> 8;
  m[5] = b & 0xff;
  m[6] = (b >> 8) & 0xff;
  m[7] = b >> 16;
  for (int i = 0; i < 4; ++i) {
    m[8 + i] = (sequence >> (8 * i)) & 0xff;
    m[12 + i] = (time_limit >> (8 * i)) & 0xff;
  }
  uint32_t body_sum = 0xEE;
  for (uint32_t i = h; i <= b; i += 16) body_sum += m[i] + i;
  m[4] = body_sum & 0xff;
  uint32_t header_sum = 0xAC + (flags & 0xDF);
  for (uint32_t j = 2; j < h; ++j) header_sum += (j >= 12 && j < 16 ? 0 : m[j]) + j;
  m[1] = header_sum & 0xff;
  return m;
}

Bytes Serialized(const HX_Container& container) {
  uint8_t* buffer = nullptr;
  size_t size = 0;
  EXPECT_TRUE(container.SerializeAlloc(buffer, size));
  Bytes bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

HX_Container WithMethod(const char* method) {
  HX_Container container;
  container.AddValue("Method", method);
  return container;
}

Bytes ServiceRequest(uint32_t sequence, const char* method) {
  return HandBuiltMessage(0xC1, sequence, 20000, {"abc", "AUTH", "52", "", "AUTH", "", "", "", ""},
                          Serialized(WithMethod(method)));
}

// A blocking client socket with time-outs on every read.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  ~RawClient() { close(fd_); }

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  bool Send(const Bytes& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Sends one byte per write, with a pause between, so every byte travels alone.
  void SendByteByByte(const Bytes& bytes) {
    for (uint8_t byte : bytes) {
      ASSERT_EQ(send(fd_, &byte, 1, MSG_NOSIGNAL), 1);
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  // What one read returns once bytes are there (empty on time-out or end of stream).
  Bytes ReadOnce(int timeout_ms = kWaitMs) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return {};
    Bytes bytes(65536);
    const ssize_t n = recv(fd_, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  // Exactly `size` bytes, or fewer when the time runs out or the stream ends.
  Bytes Read(size_t size, int timeout_ms = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(timeout_ms);
    Bytes bytes;
    while (bytes.size() < size) {
      const auto left = std::chrono::duration_cast<milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p = {fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      Bytes chunk(size - bytes.size());
      const ssize_t n = recv(fd_, chunk.data(), chunk.size(), 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
    return bytes;
  }
  // A whole transport message: its fixed part tells its length.
  Bytes ReadMessage() {
    Bytes message = Read(16);
    if (message.size() < 16) return message;
    const size_t size = (message[2] | message[3] << 8) + (message[5] | message[6] << 8 |
                                                          message[7] << 16) + 1;
    const Bytes rest = Read(size - 16);
    message.insert(message.end(), rest.begin(), rest.end());
    return message;
  }
  // True when the server closes the stream (after any bytes still on the way).
  bool WaitForEnd(int timeout_ms = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t byte;
      const ssize_t n = recv(fd_, &byte, 1, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
};

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

TEST_F(FakeServerTest, ReadsMessagesHoweverTheyAreCut) {
  auto client = Connected();
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
      {"additional string", HandBuiltMessage(0xC1, 1, 20000, wrong_add_string,
                                             Serialized(WithMethod("A"))),
       "AddString \"53\""},
      {"source user", HandBuiltMessage(0xC1, 1, 20000, source_user, Serialized(WithMethod("A"))),
       "SrcUser"},
      {"body", HandBuiltMessage(0xC1, 1, 20000, auth, {1, 2, 3, 4}), "does not deserialise"},
      {"control time limit", HandBuiltMessage(0xC1, 1, 1000, {"", "", "p", "", "", "", "", "", ""},
                                              {0}),
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
  const Bytes message = HandBuiltMessage(0xC1, 1, 20000, {"abc", "AUTH", "52", "", "AUTH", "", "",
                                                          "", ""},
                                         Serialized(body));
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
  ASSERT_TRUE(server.WaitForMessage([](const auto& m) { return m.method == "Large"; }, 20000,
                                    &received));
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
