#include "testing/scripted_http_proxy.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/security/md5.h"

namespace hx::testing {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

std::string Md5Hex(const std::string& text) {
  MD5Context context;
  unsigned char digest[16];
  MD5Init(&context);
  MD5Update(&context, text.data(), static_cast<uint32_t>(text.size()));
  MD5Final(digest, &context);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

bool SendAll(int handle, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(handle, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Copies bytes both ways until either side ends.
void Relay(int a, int b) {
  pollfd items[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  char buffer[16384];
  for (;;) {
    if (poll(items, 2, 30000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (items[i].revents == 0) continue;
      const ssize_t n = recv(items[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (!SendAll(items[1 - i].fd, std::string(buffer, static_cast<size_t>(n)))) return;
    }
  }
}

}  // namespace

ScriptedHttpProxy::ScriptedHttpProxy(Script script) : m_script(std::move(script)) {
  m_listener = socket(AF_INET, SOCK_STREAM, 0);
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

ScriptedHttpProxy::~ScriptedHttpProxy() {
  m_stopping = true;
  shutdown(m_listener, SHUT_RDWR);
  m_acceptor.join();
  close(m_listener);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int handle : m_open) shutdown(handle, SHUT_RDWR);
  }
  for (std::thread& server : m_servers) server.join();
}

std::vector<ProxyRequest> ScriptedHttpProxy::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void ScriptedHttpProxy::AcceptLoop() {
  while (!m_stopping) {
    const int handle = accept(m_listener, nullptr, nullptr);
    if (handle < 0) {
      if (m_stopping) return;
      continue;
    }
    const int connection = m_connections.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.push_back(handle);
    m_servers.emplace_back([this, handle, connection] { Serve(handle, connection); });
  }
}

void ScriptedHttpProxy::CloseServed(int handle) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(std::remove(m_open.begin(), m_open.end(), handle), m_open.end());
  }
  close(handle);
}

void ScriptedHttpProxy::Serve(int handle, int connection) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = recv(handle, buffer, sizeof buffer, 0);
      if (n <= 0) {
        CloseServed(handle);
        return;
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
    ProxyRequest request;
    request.head = pending.substr(0, end + 2);
    pending.erase(0, end + 4);
    request.connection = connection;
    const size_t line_end = request.head.find("\r\n");
    const std::string line = request.head.substr(0, line_end);
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    size_t at = line_end + 2;
    while (at < request.head.size()) {
      const size_t next = request.head.find("\r\n", at);
      const std::string header = request.head.substr(at, next - at);
      const size_t colon = header.find(':');
      if (colon != std::string::npos) {
        request.headers[Lower(Trim(header.substr(0, colon)))] = Trim(header.substr(colon + 1));
      }
      at = next + 2;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      request.index = static_cast<int>(m_requests.size());
      m_requests.push_back(request);
    }
    const ProxyAction action = m_script(request);
    SendAll(handle, action.bytes);
    switch (action.after) {
      case ProxyAction::keep:
        continue;
      case ProxyAction::close:
        CloseServed(handle);
        return;
      case ProxyAction::reset: {
        linger hard{1, 0};
        setsockopt(handle, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        CloseServed(handle);
        return;
      }
      case ProxyAction::silent:
        // Reads and drops until the client or the proxy's end closes the connection.
        while (recv(handle, buffer, sizeof buffer, 0) > 0) {
        }
        CloseServed(handle);
        return;
      case ProxyAction::tunnel: {
        const int target = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(action.tunnel_port);
        if (connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
          if (!pending.empty()) SendAll(target, pending);
          Relay(handle, target);
        }
        close(target);
        CloseServed(handle);
        return;
      }
    }
  }
}

std::string ScriptedHttpProxy::DigestField(const std::string& value, const std::string& name) {
  size_t at = 0;
  while ((at = value.find(name + "=", at)) != std::string::npos) {
    if (at == 0 || value[at - 1] == ',' || value[at - 1] == ' ') break;
    ++at;
  }
  if (at == std::string::npos) return "";
  at += name.size() + 1;
  if (at < value.size() && value[at] == '"') {
    const size_t end = value.find('"', at + 1);
    return value.substr(at + 1, end - at - 1);
  }
  const size_t end = value.find(',', at);
  return value.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool ScriptedHttpProxy::CheckDigest(const ProxyRequest& request, const std::string& user,
                                    const std::string& password, std::string* why) {
  auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const auto found = request.headers.find("proxy-authorization");
  if (found == request.headers.end()) return fail("no Proxy-Authorization");
  const std::string& value = found->second;
  if (value.rfind("Digest ", 0) != 0) return fail("not Digest: " + value);
  const std::string uri = DigestField(value, "uri");
  if (uri != request.target) return fail("uri " + uri + " is not the target " + request.target);
  if (DigestField(value, "username") != user) return fail("user");
  const std::string realm = DigestField(value, "realm");
  const std::string nonce = DigestField(value, "nonce");
  const std::string qop = DigestField(value, "qop");
  const std::string algorithm = Lower(DigestField(value, "algorithm"));
  std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
  if (algorithm == "md5-sess") ha1 = Md5Hex(ha1 + ":" + nonce + ":" + DigestField(value, "cnonce"));
  const std::string ha2 = Md5Hex(request.method + ":" + uri);
  const std::string expected =
      qop.empty() ? Md5Hex(ha1 + ":" + nonce + ":" + ha2)
                  : Md5Hex(ha1 + ":" + nonce + ":" + DigestField(value, "nc") + ":" +
                           DigestField(value, "cnonce") + ":" + qop + ":" + ha2);
  if (DigestField(value, "response") != expected) return fail("wrong response in " + value);
  return true;
}

std::string ScriptedHttpProxy::Answer407(const std::vector<std::string>& challenges,
                                         const std::string& extra_headers) {
  std::string answer = "HTTP/1.1 407 Proxy Authentication Required\r\n";
  for (const std::string& challenge : challenges)
    answer += "Proxy-Authenticate: " + challenge + "\r\n";
  answer += extra_headers;
  answer += "Content-Length: 0\r\n\r\n";
  return answer;
}

}  // namespace hx::testing
