// The packet manager's writer against a real loopback TCP connection with small socket buffers:
// messages queued together are gathered into few writes, the socket takes only part of most of
// them, and the peer still reads every message whole, in order, enciphered as before.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/transport/cipher_shield_test_util.h"
#include "core/transport/handshake_simple.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/transport/transport_packet_manager.h"
#include "core/transport/transport_test_peer.h"
#include "core/wire/client_message.h"
#include "testing/fake_server/message_cipher.h"
#include "testing/fake_server/message_frame.h"

namespace {

using hx::testing::MessageFrame;
using Manager = HXZTransport::HXTransportPacketManager;

const std::vector<uint8_t> kKey(16, 0x5a);
constexpr int kSmallBuffer = 4096;

// Sends into a non-blocking TCP socket; what does not fit its buffer is refused, as the network
// loop's sockets do.
class LoopbackSocket : public hx::testing::ScriptedSocket {
 public:
  explicit LoopbackSocket(int fd) : m_fd(fd) {}
  size_t Send(const void* buffer, size_t length, int) override {
    ++m_calls;
    const ssize_t n = ::send(m_fd, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    const size_t taken = n > 0 ? static_cast<size_t>(n) : 0;
    if (taken < length) ++m_partial;
    return taken;
  }
  int calls() const { return m_calls; }
  int partial() const { return m_partial; }

 private:
  int m_fd;
  int m_calls = 0;
  int m_partial = 0;
};

// A connected loopback pair whose sender and receiver buffers are as small as the kernel allows.
struct LoopbackPair {
  int sender = -1;
  int receiver = -1;
  LoopbackPair() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    int small = kSmallBuffer;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // inherited by the accepted socket
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(listener);
      return;
    }
    sender = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    if (connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      receiver = accept(listener, nullptr, nullptr);
    close(listener);
  }
  ~LoopbackPair() {
    if (sender >= 0) close(sender);
    if (receiver >= 0) close(receiver);
  }
};

class PacketWriterTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    m_manager = &HXZTransportTestPeer::PacketManager(m_transport);
    m_manager->SetSecureShield(Enciphered() ? static_cast<HXSecureShield*>(&m_cipherShield) : &m_plainShield);
    m_serverCipher.SetKeys(kKey, kKey);
  }
  bool Enciphered() const { return GetParam(); }

  void Queue(HX_ClientMessage* message) {
    HXAutoLock lock(m_transport);
    m_manager->PushBack(message);
  }

  // Cuts a byte stream into messages as the server reads them.
  std::vector<MessageFrame> Frames(const std::vector<uint8_t>& stream) {
    std::vector<MessageFrame> frames;
    for (size_t at = 0; at < stream.size();) {
      std::vector<uint8_t> plain;
      size_t used = 0;
      if (Enciphered()) {
        uint8_t first[16];
        if (stream.size() - at < 16 || !m_serverCipher.DecipherBlocks(stream.data() + at, 16, first)) break;
        used = hx::testing::MessageCipher::CipherSize(hx::testing::MessageSizeFromFixedPart(first));
        std::string problem;
        if (stream.size() - at < used || !m_serverCipher.DecipherMessage(stream.data() + at, used, plain, problem)) break;
      } else {
        if (stream.size() - at < 16) break;
        used = hx::testing::MessageSizeFromFixedPart(stream.data() + at);
        if (stream.size() - at < used) break;
        plain.assign(stream.begin() + static_cast<ptrdiff_t>(at), stream.begin() + static_cast<ptrdiff_t>(at + used));
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

  HXZTransport m_transport;
  Manager* m_manager = nullptr;
  HXHelperHandshakeSimple m_plainShield;
  hx::testing::CipherShield m_cipherShield{kKey};
  hx::testing::MessageCipher m_serverCipher;
};

INSTANTIATE_TEST_SUITE_P(PlainAndEnciphered, PacketWriterTest, ::testing::Bool());

// A body of `size` bytes that tells its message apart.
std::vector<uint8_t> Body(uint32_t index, size_t size) {
  std::vector<uint8_t> body(size);
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(index * 31 + i * 7);
  return body;
}

TEST_P(PacketWriterTest, MessagesQueuedTogetherArriveInOrderThroughASmallSendBuffer) {
  LoopbackPair pair;
  ASSERT_GE(pair.receiver, 0);
  LoopbackSocket socket(pair.sender);

  // Mostly small messages, with some that alone pass the batch size and one that cannot be built.
  constexpr uint32_t kMessages = 600;
  std::vector<size_t> sizes;
  for (uint32_t index = 0; index < kMessages; ++index) {
    const size_t size = index % 97 == 5 ? Manager::kSendBatchSize + 3000 : index % 13 == 0 ? 5000 : 1 + index % 300;
    sizes.push_back(size);
    const std::vector<uint8_t> body = Body(index, size);
    Queue(new HX_ClientMessage("SRC", "52", "CHAT", 20000, body.data(), static_cast<uint32_t>(body.size()), index + 1,
                               "cid", "user", nullptr, "srv", nullptr));
    if (index == 300)
      Queue(new HX_ClientMessage("SRC", "52", "AUTH", 20000, nullptr, 0, 0, "cid", nullptr, nullptr, nullptr, nullptr));
  }

  // The loop thread's part: a ready-to-send event whenever the socket can take bytes, until the
  // writer stops asking; the peer reads in small bites meanwhile.
  std::vector<uint8_t> stream;
  std::vector<uint8_t> bite(1500);
  socket.SendAsync(true);
  int events = 0;
  while (socket.ReadyToSendRequested() && events < 1000000) {
    pollfd writable{pair.sender, POLLOUT, 0};
    if (poll(&writable, 1, 0) == 1) {
      ++events;
      ASSERT_EQ(m_manager->OnReadySendImp(&socket, &socket), Manager::keepGoing);
    }
    const ssize_t n = recv(pair.receiver, bite.data(), bite.size(), MSG_DONTWAIT);
    if (n > 0) stream.insert(stream.end(), bite.begin(), bite.begin() + n);
  }
  ASSERT_FALSE(socket.ReadyToSendRequested()) << "the queue never ran empty";
  shutdown(pair.sender, SHUT_WR);
  for (ssize_t n; (n = recv(pair.receiver, bite.data(), bite.size(), 0)) > 0;) stream.insert(stream.end(), bite.begin(), bite.begin() + n);

  const std::vector<MessageFrame> frames = Frames(stream);
  ASSERT_EQ(frames.size(), kMessages);
  for (uint32_t index = 0; index < kMessages; ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(frames[index].sequence, index + 1);
    EXPECT_EQ(frames[index].names.dst_service, "CHAT");
    EXPECT_EQ(frames[index].names.dst_user, "user");
    ASSERT_EQ(frames[index].body, Body(index, sizes[index]));
  }
  // The socket refused parts of writes, and several messages went out per write.
  EXPECT_GT(socket.partial(), 10);
  EXPECT_LT(socket.calls(), static_cast<int>(kMessages) / 2);
}

TEST_P(PacketWriterTest, ABatchStopsAtItsSizeAndTheRestWaitsForTheNextEvent) {
  hx::testing::ScriptedSocket socket;
  // Messages of about 10 KiB: six fit a batch, the seventh would not.
  constexpr uint32_t kMessages = 14;
  for (uint32_t index = 0; index < kMessages; ++index) {
    const std::vector<uint8_t> body = Body(index, 10000);
    Queue(new HX_ClientMessage("SRC", "52", "CHAT", 20000, body.data(), static_cast<uint32_t>(body.size()), index + 1,
                               "cid", nullptr, nullptr, nullptr, nullptr));
  }
  socket.SendAsync(true);
  std::vector<size_t> per_event;
  while (socket.ReadyToSendRequested()) {
    const size_t before = Frames(socket.Sent()).size();
    ASSERT_EQ(m_manager->OnReadySendImp(&socket, &socket), Manager::keepGoing);
    per_event.push_back(Frames(socket.Sent()).size() - before);
    ASSERT_LT(per_event.size(), 10u);
  }
  EXPECT_EQ(per_event, (std::vector<size_t>{6, 6, 2, 0}));  // the last event finds the queue empty
  const std::vector<MessageFrame> frames = Frames(socket.Sent());
  ASSERT_EQ(frames.size(), kMessages);
  for (uint32_t index = 0; index < kMessages; ++index) EXPECT_EQ(frames[index].body, Body(index, 10000));
}

}  // namespace
