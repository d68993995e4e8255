#include "testing/hostile_proxy/hostile_http_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace hx::testing {
namespace {

constexpr int kStepMs = 5;
// A client that takes nothing for this long has stopped reading.
constexpr int kStallMs = 3000;
constexpr size_t kMaxRequest = 64 * 1024;

void Linger0(int handle) {
  linger abort_close{1, 0};
  setsockopt(handle, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
}

}  // namespace

HostileHttpProxy::HostileHttpProxy(std::vector<ProxyScript> scripts)
    : m_scripts(std::move(scripts)) {
  if (m_scripts.empty()) m_scripts.push_back({});
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(m_listener, 64);
  socklen_t length = sizeof address;
  getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

HostileHttpProxy::~HostileHttpProxy() {
  m_stop = true;
  m_acceptor.join();
  // Only the acceptor adds servers, and it has ended.
  for (std::thread& server : m_servers) server.join();
  close(m_listener);
}

std::vector<std::string> HostileHttpProxy::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void HostileHttpProxy::AcceptLoop() {
  while (!m_stop) {
    pollfd item{m_listener, POLLIN, 0};
    if (poll(&item, 1, kStepMs) != 1) continue;
    const int handle = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (handle < 0) continue;
    const int on = 1;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int index = m_accepted.fetch_add(1);
    const ProxyScript& script =
        m_scripts[std::min<size_t>(static_cast<size_t>(index), m_scripts.size() - 1)];
    m_servers.emplace_back([this, handle, &script] { Serve(handle, script); });
  }
}

bool HostileHttpProxy::WaitReadable(int handle, int ms) {
  for (int waited = 0; !m_stop && waited < ms; waited += kStepMs) {
    pollfd item{handle, POLLIN, 0};
    if (poll(&item, 1, kStepMs) == 1) return true;
  }
  return false;
}

bool HostileHttpProxy::SendAll(int handle, const char* bytes, size_t length) {
  size_t done = 0;
  int stalled = 0;
  while (done < length && !m_stop) {
    pollfd item{handle, POLLOUT, 0};
    if (poll(&item, 1, kStepMs) != 1) {
      stalled += kStepMs;
      if (stalled >= kStallMs) return false;
      continue;
    }
    stalled = 0;
    const ssize_t n = send(handle, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    m_sent.fetch_add(static_cast<uint64_t>(n));
  }
  return done == length;
}

bool HostileHttpProxy::ReadOneRequest(int handle) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest) {
    if (!WaitReadable(handle, 5000)) return false;
    const ssize_t n = recv(handle, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_clientCloses.fetch_add(1);
      return false;
    }
    // Keeps whatever follows the empty line too: a client must not send past its request.
    request.append(buffer, static_cast<size_t>(n));
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_requests.push_back(request);
  return true;
}

void HostileHttpProxy::Serve(int handle, const ProxyScript& script) {
  bool open = true;
  for (const ProxyAct& act : script) {
    if (!open || m_stop) break;
    switch (act.kind) {
      case ProxyAct::kRead:
        open = ReadOneRequest(handle);
        break;
      case ProxyAct::kSend:
        open = SendAll(handle, act.bytes.data(), act.bytes.size());
        break;
      case ProxyAct::kDrip:
        for (char byte : act.bytes) {
          if (!(open = SendAll(handle, &byte, 1))) break;
          std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        break;
      case ProxyAct::kStream: {
        open = SendAll(handle, act.bytes.data(), act.bytes.size());
        // Units are sent in batches, so that a stream of small units does not cost a system
        // call each.
        const uint64_t per_batch =
            std::max<uint64_t>(1, 16 * 1024 / std::max<size_t>(1, act.unit.size()));
        std::string batch;
        for (uint64_t i = 0; i < per_batch; ++i) batch += act.unit;
        for (uint64_t left = act.count; open && left > 0;) {
          const uint64_t units = std::min(left, per_batch);
          open = SendAll(handle, batch.data(), static_cast<size_t>(units * act.unit.size()));
          left -= units;
        }
        if (!open) m_clientCloses.fetch_add(1);
        break;
      }
      case ProxyAct::kSilent:
      case ProxyAct::kEcho: {
        char buffer[4096];
        while (open && !m_stop) {
          if (!WaitReadable(handle, 1 << 30)) break;
          const ssize_t n = recv(handle, buffer, sizeof buffer, 0);
          if (n <= 0) {
            m_clientCloses.fetch_add(1);
            open = false;
          } else if (act.kind == ProxyAct::kEcho) {
            open = SendAll(handle, buffer, static_cast<size_t>(n));
          }
        }
        break;
      }
      case ProxyAct::kPause:
        for (uint64_t waited = 0; waited < act.count && !m_stop; waited += kStepMs)
          std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
        break;
      case ProxyAct::kClose:
        shutdown(handle, SHUT_WR);
        open = false;
        break;
      case ProxyAct::kReset:
        Linger0(handle);
        open = false;
        break;
    }
  }
  close(handle);
  m_finished.fetch_add(1);
}

}  // namespace hx::testing
