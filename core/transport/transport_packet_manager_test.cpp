#include "core/transport/transport_packet_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/client/recording_manager_test_util.h"
#include "core/transport/cipher_shield_test_util.h"
#include "core/transport/handshake_simple.h"
#include "core/transport/message_check.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/transport/transport_test_peer.h"
#include "testing/fake_server/message_cipher.h"
#include "testing/fake_server/message_frame.h"
#include "testing/fake_server/server_messages.h"
#include "testing/test_support.h"

namespace {

using hx::testing::MessageFrame;
using hx::testing::ScriptedSocket;

constexpr int32_t kKeepGoing = HXZADataManager::keepGoing;
constexpr int32_t kFailed = HXZADataManager::failed;
const std::vector<uint8_t> kKey(16, 0x5a);
constexpr uint64_t kPlainCapacity = 2359296;

struct UnavailableRecorder {
  std::vector<long> reasons;
  void On(const char*, unsigned short, long reason) { reasons.push_back(reason); }
};

// A packet manager of an unconnected transport, fed by a scripted socket; what it dispatches to
// the service "TEST" is recorded. The server side's bytes are made with the fake server's own
// framing and cipher.
class PacketManagerTest : public ::testing::Test {
 protected:
  // A fresh transport and socket, reading plain or enciphered messages.
  void Use(bool enciphered) {
    m_enciphered = enciphered;
    m_transport = std::make_unique<HXZTransport>();
    m_socket = std::make_unique<ScriptedSocket>();
    m_manager = &HXZTransportTestPeer::PacketManager(*m_transport);
    m_cipherShield = std::make_unique<hx::testing::CipherShield>(kKey);
    m_manager->SetSecureShield(enciphered ? static_cast<HXSecureShield*>(m_cipherShield.get()) : &m_plainShield);
    m_serverCipher.SetKeys(kKey, kKey);
    m_unavailable.reasons.clear();
    m_transport->sigServerUnavailable.Connect(&m_unavailable, &UnavailableRecorder::On);
  }

  MessageFrame Service(const std::string& method, size_t padding = 0, const char* service = "TEST") {
    HX_Container body;
    body.AddValue("Method", method.c_str());
    if (padding > 0) {
      // Bytes that do not compress, so the encoded body grows with the padding.
      std::vector<uint8_t> pad(padding);
      uint32_t state = 12345;
      for (uint8_t& byte : pad) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
      body.AddValue("Pad", HX_CNT_BINARY_VT, pad.data(), pad.size());
    }
    MessageFrame frame = hx::testing::ServiceMessage("SRV", service, body);
    frame.sequence = ++m_sequence;
    return frame;
  }
  MessageFrame Control(char code) { return hx::testing::ControlMessage(code, hx::testing::kRequestFlags, ++m_sequence); }

  // The bytes of one message as the server sends it.
  std::vector<uint8_t> OnWire(const std::vector<uint8_t>& message) {
    return m_enciphered ? m_serverCipher.Encipher(message) : message;
  }
  std::vector<uint8_t> Stream(const std::vector<MessageFrame>& frames) {
    std::vector<uint8_t> stream;
    for (const MessageFrame& frame : frames) {
      const std::vector<uint8_t> bytes = OnWire(hx::testing::EncodeMessage(frame));
      stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    return stream;
  }

  // A message of exactly `length` bytes for "TEST" whose body deserialises: the body grows until
  // the message is at most 255 bytes short, and a name makes up the rest.
  MessageFrame MessageOfLength(uint64_t length) {
    int64_t padding = static_cast<int64_t>(length) - 1000;
    for (;;) {
      MessageFrame frame = Service("big", static_cast<size_t>(padding));
      const int64_t missing = static_cast<int64_t>(length) - static_cast<int64_t>(hx::testing::EncodeMessage(frame).size());
      if (missing >= 0 && missing <= 255) {
        frame.names.dst_user.assign(static_cast<size_t>(missing), 'u');
        return frame;
      }
      padding += missing - 100;
    }
  }

  // A message of `length` bytes with a sound header (all nine names of `name_length` bytes) and a
  // body of filler: a reader never keeps such a body, so it need not decode.
  std::vector<uint8_t> HugeMessage(uint64_t length, size_t name_length = 0) {
    MessageFrame frame = Service("huge");
    if (name_length > 0) {
      for (std::string* name : frame.names.InWireOrder()) name->assign(name_length, 'n');
    }
    std::vector<uint8_t> bytes = hx::testing::EncodeMessage(frame);
    const size_t header = bytes[2] | static_cast<size_t>(bytes[3]) << 8;
    const uint64_t body_field = length - header - 1;
    bytes.resize(header);
    bytes[5] = static_cast<uint8_t>(body_field);
    bytes[6] = static_cast<uint8_t>(body_field >> 8);
    bytes[7] = static_cast<uint8_t>(body_field >> 16);
    bytes[1] = hx::testing::MessageHeaderChecksum(bytes.data());
    bytes.resize(length, 0x5c);
    return bytes;
  }

  // Readable events until the socket is drained or the reader fails.
  int32_t Pump() {
    int32_t result = kKeepGoing;
    while (result == kKeepGoing && m_socket->Unread() > 0) result = m_manager->OnReadyRecvImp(m_socket.get(), m_socket.get());
    return result;
  }

  HXHelperHandshakeSimple m_plainShield;
  std::unique_ptr<hx::testing::CipherShield> m_cipherShield;
  hx::testing::MessageCipher m_serverCipher;
  std::unique_ptr<HXZTransport> m_transport;
  HXZTransport::HXTransportPacketManager* m_manager = nullptr;
  std::unique_ptr<ScriptedSocket> m_socket;
  hx::testing::RecordingManager m_service{"TEST"};
  UnavailableRecorder m_unavailable;
  bool m_enciphered = false;
  uint32_t m_sequence = 0;
};

class ReaderTest : public PacketManagerTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { Use(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(PlainAndEnciphered, ReaderTest, ::testing::Bool());

TEST_P(ReaderTest, MessagesCutAnywhereArriveWholeAndInOrder) {
  const std::vector<uint8_t> stream =
      Stream({Service("one"), Control('p'), Service("two", 300), Service("three")});
  for (size_t segment : {stream.size(), size_t{1}, size_t{5}, size_t{16}, size_t{31}, size_t{47}, size_t{64}, size_t{333}}) {
    hx::testing::RecordingManager service("TEST");
    Use(m_enciphered);
    m_socket->ArriveInSegments(stream, segment);
    EXPECT_EQ(Pump(), kKeepGoing) << segment;
    EXPECT_EQ(service.Methods(), (std::vector<std::string>{"one", "two", "three"})) << segment;
  }
  EXPECT_TRUE(m_unavailable.reasons.empty());
}

TEST_P(ReaderTest, ServerDisconnectEndsTheConnectionAndWhatFollowsIsNotRead) {
  m_socket->Arrive(Stream({Service("before"), Control('d'), Service("after")}));
  EXPECT_EQ(Pump(), kKeepGoing);
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"before"});
  EXPECT_EQ(m_unavailable.reasons, std::vector<long>{HXZTransport::kReasonServerDisconnect});
}

TEST_P(ReaderTest, EndOfStreamFailsAndAnEmptyReadWaits) {
  EXPECT_EQ(m_manager->OnReadyRecvImp(m_socket.get(), m_socket.get()), kKeepGoing);
  m_socket->EndStream();
  hx::testing::LogCapture log;
  EXPECT_EQ(m_manager->OnReadyRecvImp(m_socket.get(), m_socket.get()), kFailed);
  EXPECT_TRUE(log.Contains("Transport disconnected"));
}

TEST_P(ReaderTest, MessageForAServiceWithoutManagerOrWithABadBodyFails) {
  MessageFrame bad_body = Service("x");
  bad_body.body = {1, 2, 3};
  for (const MessageFrame& frame : {Service("lost", 0, "NOBODY"), bad_body}) {
    Use(m_enciphered);
    m_socket->Arrive(Stream({frame, Service("never")}));
    hx::testing::LogCapture log;
    EXPECT_EQ(Pump(), kFailed);
    EXPECT_TRUE(log.Contains("Error: OnReadyRecvImp"));
    EXPECT_TRUE(m_service.Methods().empty());
  }
}

TEST_P(ReaderTest, RejectedMessageIsLoggedAndReadingGoesOn) {
  hx::testing::RecordingManager refusing("REFUSE", false);
  m_socket->Arrive(Stream({Service("no", 0, "REFUSE"), Service("yes")}));
  hx::testing::LogCapture log;
  EXPECT_EQ(Pump(), kKeepGoing);
  EXPECT_EQ(refusing.Methods(), std::vector<std::string>{"no"});
  EXPECT_EQ(m_service.Methods(), std::vector<std::string>{"yes"});
  EXPECT_TRUE(log.Contains("Bad/Unknown incoming message sz="));
  EXPECT_TRUE(log.Contains("dSrv=REFUSE, dUsr=, sSrv=SRV, sUsr="));
}


// The largest message the reader keeps is its buffer's storage (plain) or one cipher block less
// (enciphered: deciphering needs a block of room); anything larger is skipped and the
// connection stays.
TEST_P(ReaderTest, OversizedMessageIsSkippedAndTheNextOneRead) {
  const uint64_t largest = GetParam() ? kPlainCapacity - 16 : kPlainCapacity;
  for (uint64_t length : {largest, largest + 1}) {
    hx::testing::RecordingManager service("TEST");
    const MessageFrame big = MessageOfLength(length);
    ASSERT_EQ(hx::testing::EncodeMessage(big).size(), length);
    hx::testing::LogCapture log;
    Use(m_enciphered);
    m_socket->ArriveInSegments(Stream({Service("small"), big, Service("after")}), 100000);
    EXPECT_EQ(Pump(), kKeepGoing) << length;
    const bool kept = length == largest;
    EXPECT_EQ(service.Methods(), kept ? (std::vector<std::string>{"small", "big", "after"})
                                      : (std::vector<std::string>{"small", "after"}))
        << length;
    EXPECT_EQ(log.Contains("Oversized packet received"), !kept) << length;
  }
}

// Skipping never fills the receive buffer, whatever the length: a message of twice its capacity,
// delivered a capacity at a time, and one of the largest length a fixed part with a sound header
// can state (the longest header, the largest body).
TEST_P(ReaderTest, OversizedMessagesOfAnyLengthAreSkipped) {
  struct Case {
    uint64_t length;
    size_t name_length;
  } cases[] = {{2 * kPlainCapacity, 0},
               {hx::transport::kMaxHeaderLength + hx::testing::kMaxMessageBodySize, 255}};
  for (const Case& c : cases) {
    hx::testing::RecordingManager service("TEST");
    Use(m_enciphered);
    std::vector<uint8_t> stream = OnWire(HugeMessage(c.length, c.name_length));
    const std::vector<uint8_t> after = Stream({Service("after")});
    stream.insert(stream.end(), after.begin(), after.end());
    hx::testing::LogCapture log;
    m_socket->ArriveInSegments(stream, kPlainCapacity);
    EXPECT_EQ(Pump(), kKeepGoing) << c.length;
    EXPECT_EQ(service.Methods(), std::vector<std::string>{"after"}) << c.length;
    EXPECT_TRUE(log.Contains("Oversized packet received")) << c.length;
    EXPECT_FALSE(log.Contains("Transport receive buffer full")) << c.length;
  }
}

// A length is believed only once the header that states it passed its checks: a header whose
// checksum is wrong, or bytes that are no messages at all, end the connection instead of making
// the reader skip (or wait for) the valid messages that follow.
TEST_P(ReaderTest, LyingHeaderOrGarbageEndsTheConnection) {
  std::vector<MessageFrame> valid;
  for (int i = 0; i < 200; ++i) valid.push_back(Service("valid " + std::to_string(i)));

  std::vector<uint8_t> lying = HugeMessage(3000000);
  const size_t header = lying[2] | static_cast<size_t>(lying[3]) << 8;
  lying.resize(header);  // the body that the fixed part claims never comes
  lying[1] ^= 0x01;
  std::vector<std::vector<uint8_t>> hostile = {lying};
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    std::vector<uint8_t> garbage(4096);
    uint32_t state = seed;
    for (uint8_t& byte : garbage) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 16);
    hostile.push_back(garbage);
  }
  for (size_t i = 0; i < hostile.size(); ++i) {
    hx::testing::RecordingManager service("TEST");
    Use(m_enciphered);
    std::vector<uint8_t> stream = OnWire(hostile[i]);
    const std::vector<uint8_t> after = Stream(valid);
    stream.insert(stream.end(), after.begin(), after.end());
    m_socket->ArriveInSegments(stream, 1000);
    EXPECT_EQ(Pump(), kFailed) << (i == 0 ? "lying header" : "garbage, seed " + std::to_string(i));
    EXPECT_TRUE(service.Methods().empty()) << i;
  }
}

// Corruptions a server (or a broken link) may produce; each one ends the connection before
// anything of the message reaches a manager.
TEST_P(ReaderTest, MalformedMessagesEndTheConnection) {
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>&);
  } cases[] = {
      {"header length below the nine names", [](std::vector<uint8_t>& m) { m[2] = 33; m[3] = 0; }},
      {"always-set bit clear", [](std::vector<uint8_t>& m) { m[0] &= 0x7f; }},
      {"version 0", [](std::vector<uint8_t>& m) { m[0] &= 0xe0; }},
      {"sequence 0", [](std::vector<uint8_t>& m) { m[8] = m[9] = m[10] = m[11] = 0; }},
      {"header checksum", [](std::vector<uint8_t>& m) { m[1] ^= 1; }},
      {"body checksum", [](std::vector<uint8_t>& m) { m[4] ^= 1; }},
      {"a name running past the header",
       [](std::vector<uint8_t>& m) {
         m[16] = 200;  // the first name's length byte, the header checksum made to fit
         m[1] = hx::testing::MessageHeaderChecksum(m.data());
       }},
  };
  for (const Case& c : cases) {
    Use(GetParam());
    std::vector<uint8_t> message = hx::testing::EncodeMessage(Service("damaged"));
    c.damage(message);
    m_socket->Arrive(OnWire(message));
    m_socket->Arrive(Stream({Service("never")}));
    EXPECT_EQ(Pump(), kFailed) << c.what;
    EXPECT_TRUE(m_service.Methods().empty()) << c.what;
  }
}

// The padding decides how many bytes the last block gives back; they must make up the length
// the fixed part announced.
TEST_F(PacketManagerTest, DecipheredLengthDifferingFromTheHeaderFails) {
  Use(true);
  std::vector<uint8_t> message;
  for (size_t padding = 0; message.empty() || message.size() % 16 < 5; ++padding) {
    message = hx::testing::EncodeMessage(Service("short", padding));
  }
  message.resize(message.size() - 4);  // as many cipher blocks, four bytes fewer
  m_socket->Arrive(m_serverCipher.Encipher(message));
  EXPECT_EQ(Pump(), kFailed);
  EXPECT_TRUE(m_service.Methods().empty());
}

// --- Writing.

class WriterTest : public PacketManagerTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { Use(GetParam()); }

  void Queue(HX_ClientMessage* message) {
    HXAutoLock lock(*m_transport);
    m_manager->PushBack(message);
  }

  // Cuts the written bytes into messages as the server reads them.
  std::vector<MessageFrame> Written() {
    const std::vector<uint8_t>& out = m_socket->Sent();
    std::vector<MessageFrame> frames;
    for (size_t at = 0; at < out.size();) {
      std::vector<uint8_t> plain;
      size_t used = 0;
      if (m_enciphered) {
        uint8_t first[16];
        EXPECT_TRUE(m_serverCipher.DecipherBlocks(out.data() + at, 16, first));
        used = hx::testing::MessageCipher::CipherSize(hx::testing::MessageSizeFromFixedPart(first));
        std::string problem;
        EXPECT_TRUE(m_serverCipher.DecipherMessage(out.data() + at, used, plain, problem)) << problem;
      } else {
        used = hx::testing::MessageSizeFromFixedPart(out.data() + at);
        plain.assign(out.begin() + at, out.begin() + at + used);
      }
      MessageFrame frame;
      std::vector<std::string> problems;
      EXPECT_TRUE(hx::testing::DecodeMessage(plain.data(), plain.size(), frame, problems));
      EXPECT_TRUE(problems.empty()) << problems.front();
      frames.push_back(frame);
      at += used;
    }
    return frames;
  }
};

INSTANTIATE_TEST_SUITE_P(PlainAndEnciphered, WriterTest, ::testing::Bool());

TEST_P(WriterTest, QueuedMessagesGoOutInOrderThroughPartialSends) {
  const std::vector<uint8_t> big(5000, 7);
  const uint8_t small[3] = {1, 2, 3};
  Queue(new HX_ClientMessage("SRC", "52", "AUTH", 20000, small, 3, 1, "cid", nullptr, nullptr, nullptr, nullptr));
  Queue(new HX_ClientMessage("SRC", "52", "CHAT", 20000, big.data(), 5000, 2, "cid", "user", nullptr, "srv", nullptr));
  Queue(new HX_ClientMessage("SRC", "52", "AUTH", 20000, nullptr, 0, 3, "cid", nullptr, nullptr, nullptr, nullptr));  // cannot be built
  Queue(new HX_ClientMessage("SRC", "52", "CLIENT", 7000, small, 3, 4, "cid", nullptr, nullptr, nullptr, nullptr));
  m_socket->LimitSend(777);
  m_socket->SendAsync(true);
  for (int event = 0; event < 100 && m_socket->ReadyToSendRequested(); ++event) {
    ASSERT_EQ(m_manager->OnReadySendImp(m_socket.get(), m_socket.get()), kKeepGoing);
  }
  EXPECT_FALSE(m_socket->ReadyToSendRequested());  // the queue ran empty

  const std::vector<MessageFrame> frames = Written();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].names.dst_service, "AUTH");
  EXPECT_EQ(frames[0].body, std::vector<uint8_t>(small, small + 3));
  EXPECT_EQ(frames[1].names.dst_service, "CHAT");
  EXPECT_EQ(frames[1].names.dst_user, "user");
  EXPECT_EQ(frames[1].body, big);
  EXPECT_EQ(frames[2].names.dst_service, "CLIENT");
  EXPECT_EQ(frames[2].sequence, 4u);
  EXPECT_EQ(frames[2].time_limit, 7000u);
}

}  // namespace
