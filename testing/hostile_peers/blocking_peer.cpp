#include "testing/hostile_peers/blocking_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace hx::hostile {

namespace {
using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for readability; false on time-out.
bool WaitIn(int handle, int limit_ms) {
  pollfd item{handle, POLLIN, 0};
  int rc;
  do {
    rc = poll(&item, 1, limit_ms);
  } while (rc < 0 && errno == EINTR);
  return rc == 1;
}
}  // namespace

LoopbackListener::LoopbackListener() {
  m_handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(m_handle, 64);
  socklen_t length = sizeof address;
  getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  if (m_handle != -1) close(m_handle);
}

int LoopbackListener::Accept(int limit_ms) {
  if (!WaitIn(m_handle, limit_ms)) return -1;
  return accept4(m_handle, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectLoopback(uint16_t port) {
  const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(handle);
    return -1;
  }
  const int one = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return handle;
}

void SetNonBlocking(int handle) { fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK); }

bool SendAll(int handle, const uint8_t* bytes, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n = send(handle, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool SendBytewise(int handle, const Bytes& bytes) {
  const int one = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  for (uint8_t byte : bytes) {
    if (!SendAll(handle, &byte, 1)) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  return true;
}

void ResetClose(int handle) {
  linger option{1, 0};
  setsockopt(handle, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  close(handle);
}

Bytes ReadExactly(int handle, size_t count, int limit_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  Bytes bytes;
  uint8_t chunk[4096];
  while (bytes.size() < count) {
    if (!WaitIn(handle, Remaining(end))) break;
    const ssize_t n = recv(handle, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

std::optional<Record> ReadRecord(int handle, int limit_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  Bytes bytes = ReadExactly(handle, kHeadSize, limit_ms);
  if (bytes.size() < kHeadSize) return std::nullopt;
  const size_t body = LengthField(Word(bytes)) + 1;
  Bytes rest = ReadExactly(handle, body, Remaining(end));
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  return ParseRecord(bytes);
}

bool WaitClosed(int handle, int limit_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  uint8_t chunk[4096];
  for (;;) {
    if (!WaitIn(handle, Remaining(end))) return false;
    const ssize_t n = recv(handle, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
  }
}

bool StaysSilentAndOpen(int handle, int ms) { return !WaitIn(handle, ms); }

}  // namespace hx::hostile
