#include "testing/fake_server/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hx::testing {
namespace {

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

std::string SystemError(const char* call) {
  return std::string(call) + ": " + std::strerror(errno);
}

// Milliseconds from `now` until `due`, rounded up, for poll(); -1 when nothing is due.
int PollTimeout(ServerClock::time_point now, ServerClock::time_point due) {
  if (due == ServerClock::time_point::max()) return -1;
  if (due <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  return static_cast<int>(std::min<int64_t>(wait, 60000));
}

}  // namespace

FakeServer::FakeServer(FakeServerOptions options)
    : options_(std::move(options)), settings_(options_.connection) {}

FakeServer::~FakeServer() {
  Stop();
  SSL_CTX_free(tls_context_);
}

bool FakeServer::Start(std::string* error) {
  // Its TLS connections write through OpenSSL's socket layer, which does not ask to be spared the
  // signal: a client that hangs up mid-write must not end the test program.
  signal(SIGPIPE, SIG_IGN);
  if (thread_.joinable()) {
    SetError(error, "already started");
    return false;
  }
  if (!wake_->ok()) {
    SetError(error, SystemError("eventfd"));
    return false;
  }
  if (!options_.tls_certificate_path.empty() || !options_.tls_private_key_path.empty()) {
    tls_context_ = MakeTlsServerContext(options_.tls_certificate_path.c_str(),
                                        options_.tls_private_key_path.c_str());
    if (tls_context_ == nullptr) {
      SetError(error, "TLS certificate or key cannot be used");
      return false;
    }
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    SetError(error, SystemError("socket"));
    return false;
  }
  const int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (options_.receive_buffer_bytes > 0) {
    // Set before listen so that accepted sockets inherit it (and their window scale suits it).
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer_bytes,
               sizeof(options_.receive_buffer_bytes));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.bind_address.c_str(), &address.sin_addr) != 1) {
    SetError(error, "bad bind address " + options_.bind_address);
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  socklen_t length = sizeof(address);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    SetError(error, SystemError("bind or listen"));
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void FakeServer::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    wake_->Wake();
    thread_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

void FakeServer::SetConnectionSettings(const ConnectionSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

void FakeServer::SetServiceHandler(const std::string& service, ServiceHandler handler) {
  // Waits for a call of the old handler under way: its owner may be destroyed once this returns.
  std::lock_guard<std::recursive_mutex> dispatch(dispatch_mutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (handler) {
    handlers_[service] = std::move(handler);
  } else {
    handlers_.erase(service);
  }
}

ServiceHandler FakeServer::FindHandler(const std::string& service) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = handlers_.find(service);
  return found == handlers_.end() ? ServiceHandler() : found->second;
}

ServiceHandler FakeServer::Dispatcher(const std::string& service) {
  // Looked up again under the dispatch lock, so that a handler removed meanwhile is not called.
  return [this, service](FakeConnection& connection, const ReceivedMessage& message) {
    std::lock_guard<std::recursive_mutex> dispatch(dispatch_mutex_);
    if (ServiceHandler handler = FindHandler(service)) handler(connection, message);
  };
}

std::shared_ptr<FakeConnection> FakeServer::WaitForConnection(int timeout_ms, int id) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool arrived = accepted_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return id >= 1 && connections_.size() >= static_cast<size_t>(id);
  });
  return arrived ? connections_[id - 1] : nullptr;
}

std::vector<std::shared_ptr<FakeConnection>> FakeServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void FakeServer::AcceptAll() {
  while (true) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // Pieces of cut output must leave at once, each in its own segment.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::shared_ptr<FakeConnection> connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection = std::make_shared<FakeConnection>(
          static_cast<int>(connections_.size()) + 1, fd, tls_context_, settings_, journal_, wake_,
          [this](const std::string& service) { return Dispatcher(service); });
      connections_.push_back(connection);
    }
    accepted_.notify_all();
    open_.push_back(std::move(connection));
  }
}

void FakeServer::Run() {
  std::vector<pollfd> fds;
  while (!stopping_) {
    ServerClock::time_point now = ServerClock::now();
    fds.assign({{wake_->fd(), POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    ServerClock::time_point due = ServerClock::time_point::max();
    for (const auto& connection : open_) {
      const short events = connection->PollEvents(now);  // may close the connection
      fds.push_back({connection->fd_, events, 0});
      due = std::min(due, connection->NextTurnDue(now));
    }
    if (poll(fds.data(), fds.size(), PollTimeout(now, due)) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) wake_->Drain();
    now = ServerClock::now();
    // Every connection gets a turn, not only those with events: pauses end, scripts grow, and
    // input left unread at the bound of a turn waits.
    for (size_t i = 0; i < open_.size(); ++i) open_[i]->Service(fds[i + 2].revents, now);
    open_.erase(std::remove_if(open_.begin(), open_.end(),
                               [](const auto& connection) { return connection->IsClosed(); }),
                open_.end());
    if (fds[1].revents & POLLIN) AcceptAll();
  }
  for (const auto& connection : open_) connection->Shut();
  open_.clear();
}

}  // namespace hx::testing
