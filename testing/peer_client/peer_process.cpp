#include "testing/peer_client/peer_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace hx::testing {

PeerProcess::~PeerProcess() { Finish(); }

bool PeerProcess::Start(const std::string& program, const std::vector<std::string>& arguments) {
  int output[2];
  int input[2];
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  if (pipe2(input, O_CLOEXEC) != 0) {
    close(output[0]);
    close(output[1]);
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  m_pid = fork();
  if (m_pid == 0) {
    dup2(input[0], STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  if (m_pid < 0) {
    close(input[1]);
    close(output[0]);
    return false;
  }
  m_input = input[1];
  m_reader = std::thread(&PeerProcess::Read, this, output[0]);
  return true;
}

void PeerProcess::Read(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(pending.substr(0, end));
      }
      pending.erase(0, end + 1);
      m_changed.notify_all();
    }
  }
  close(fd);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
  }
  m_changed.notify_all();
}

bool PeerProcess::WaitLine(const std::string& prefix, int timeoutMs, std::string* found) {
  std::unique_lock<std::mutex> lock(m_mutex);
  bool matched = false;
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    while (m_next < m_lines.size()) {
      const std::string& line = m_lines[m_next++];
      if (line.compare(0, prefix.size(), prefix) == 0) {
        if (found != nullptr) *found = line;
        matched = true;
        return true;
      }
    }
    // The program ended: no line will come.
    return m_closed;
  });
  return matched;
}

bool PeerProcess::Saw(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const std::string& line : m_lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::vector<std::string> PeerProcess::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

int PeerProcess::Finish() {
  if (m_input >= 0) {
    close(m_input);
    m_input = -1;
  }
  if (m_pid > 0) {
    int status = 0;
    if (waitpid(m_pid, &status, 0) == m_pid && WIFEXITED(status)) m_status = WEXITSTATUS(status);
    m_pid = -1;
  }
  if (m_reader.joinable()) m_reader.join();
  return m_status;
}

}  // namespace hx::testing
