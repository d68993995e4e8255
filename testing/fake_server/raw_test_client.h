#pragma once
// For the fake server's tests: a raw client on plain sockets and transport messages laid out by
// hand from the wire format, so that the server's framing is checked against bytes rather than
// against the client library's classes. Header only: test code, not part of the server.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"

namespace hx::testing::raw {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

inline constexpr int kWaitMs = 5000;

// Worked out by hand from the wire format.
// The request of client id "abc" without the secure handshake: version 9, head checksum 0x79,
// body checksum 0x2f, a 12-byte body. Then the server's default reply to it: accepted, idle
// time-out 30000, server id "127.0.0.1#vcs", the id "abc" handed back, names flag set.
inline const Bytes kRequestAbc = {0x5f, 0x48, 0x58, 0x5f, 0x54, 0x52, 0x41, 0x4e, 0x53, 0x50, 0x4f,
                                  0x52, 0x54, 0x5f, 0x00, 0x00, 0x29, 0xef, 0x5d, 0x00, 0x03, 0x61,
                                  0x62, 0x63, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00, 0x00, 0x00};
inline const Bytes kReplyAbc = {
    0x5f, 0x48, 0x58, 0x5f, 0x54, 0x52, 0x41, 0x4e, 0x53, 0x50, 0x4f, 0x52, 0x54, 0x5f, 0x00,
    0x00, 0xe9, 0x10, 0xc6, 0x00, 0x00, 0x30, 0x75, 0x00, 0x00, 0x0d, 0x31, 0x32, 0x37, 0x2e,
    0x30, 0x2e, 0x30, 0x2e, 0x31, 0x23, 0x76, 0x63, 0x73, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00};
// The control message 'p' with sequence number 1 as a request (the client's ping): H = 35 and a
// one-byte body, which is not sampled (H > 0), so the body checksum keeps its start value 0xEE.
inline const Bytes kPing = {0xc1, 0x42, 0x23, 0x00, 0xee, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                            0x88, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x70, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

using Names = std::array<std::string, 9>;  // SrcCID, SrcService, AddString, DstCID, DstService,
                                           // SrcUser, DstUser, SrcServer, DstServer

// A transport message laid out field by field, checksums included.
inline Bytes HandBuiltMessage(uint8_t flags, uint32_t sequence, uint32_t time_limit,
                              const Names& names, const Bytes& body) {
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

inline Bytes Serialized(const HX_Container& container) {
  uint8_t* buffer = nullptr;
  size_t size = 0;
  EXPECT_TRUE(container.SerializeAlloc(buffer, size));
  Bytes bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

inline HX_Container WithMethod(const char* method) {
  HX_Container container;
  container.AddValue("Method", method);
  return container;
}

inline Bytes ServiceRequest(uint32_t sequence, const char* method) {
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
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
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
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
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
    const size_t size =
        (message[2] | message[3] << 8) + (message[5] | message[6] << 8 | message[7] << 16) + 1;
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

}  // namespace hx::testing::raw
