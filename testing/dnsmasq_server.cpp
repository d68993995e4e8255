#include "testing/dnsmasq_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace hx::testing {

DnsmasqServer::DnsmasqServer(const std::string& program, const std::vector<std::string>& records) {
  // The free port may be taken by someone else before dnsmasq binds it: then try another.
  for (int attempt = 0; attempt < 3 && !m_ready; ++attempt) {
    m_port = FreeLoopbackPort(SOCK_DGRAM);
    std::vector<std::string> argv = {program,
                                     "--no-daemon",
                                     "--port=" + std::to_string(m_port),
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--conf-file=/dev/null",
                                     "--pid-file="};
    argv.insert(argv.end(), records.begin(), records.end());
    m_process = std::make_unique<ChildProcess>(argv);
    m_ready = m_process->started() && WaitUntilAnswering(5000);
  }
}

bool DnsmasqServer::WaitUntilAnswering(int timeout_ms) const {
  const int handle = socket(AF_INET, SOCK_DGRAM, 0);
  if (handle < 0) return false;
  const timeval wait{0, 100000};
  setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(m_port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A query for the root name's A record: header (id 1, one question), root name, type, class.
  const uint8_t query[] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    sendto(handle, query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    uint8_t answer[512];
    answered = recv(handle, answer, sizeof answer, 0) > 0;
  }
  close(handle);
  return answered;
}

}  // namespace hx::testing
