#pragma once
// Small helpers shared by the tests: temporary folders, free loopback ports, captured log lines,
// child processes for real local servers, and the rule for tools a test needs.

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace hx::testing {

// The full path of a program found on PATH or in the sbin folders, or "" when it is missing.
std::string FindTool(const std::string& name);

// True under CI (CI=true), where a missing tool fails a test instead of skipping it.
bool RunningUnderCi();

// Use at the top of a test body: skips the test when `tool` is missing, fails it under CI.
#define HX_REQUIRE_TOOL(tool, path_var)                                              \
  std::string path_var = ::hx::testing::FindTool(tool);                              \
  if (path_var.empty()) {                                                            \
    if (::hx::testing::RunningUnderCi()) FAIL() << "required tool missing: " << tool; \
    GTEST_SKIP() << "tool not installed: " << tool;                                  \
  }

// A port on 127.0.0.1 that was free a moment ago (SOCK_STREAM or SOCK_DGRAM).
uint16_t FreeLoopbackPort(int socket_type);

// A fresh folder under the system's temporary folder, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Collects every ios_log line while it lives. Thread-safe.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A child process (a local server such as dnsmasq or openssl s_server) that is killed and
// waited for at destruction. Its standard output and error go to `log_file` when one is given.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& log_file = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // True while the process has not exited.
  bool Running();
  // Sends `signal` and waits for the process to end.
  void Stop(int signal);

 private:
  pid_t pid_ = -1;
};

// Polls `condition` every few milliseconds until it holds or `timeout_ms` passed.
template <typename Condition>
bool WaitFor(Condition condition, int timeout_ms);

// Waits until something accepts TCP connections on 127.0.0.1:port, up to `timeout_ms`.
bool WaitForTcpListener(uint16_t port, int timeout_ms);

}  // namespace hx::testing

#include "testing/test_support_inl.h"
