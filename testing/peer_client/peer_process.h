#pragma once
// PeerProcess: a program the test starts as a process of its own (the peer client), with its
// standard output read line by line on a thread of its own and its standard input held open until
// the process is told to finish.
//
// Thread safety: the lines are locked; WaitLine may be called while the reader adds lines.

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

class PeerProcess {
 public:
  PeerProcess() = default;
  // Closes the input, waits for the process and the reader.
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts `program` with `arguments`; false when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& arguments);
  // Waits up to `timeoutMs` for a line, after the ones matched before, that starts with
  // `prefix`; the line in `found`. Lines before it are passed over.
  bool WaitLine(const std::string& prefix, int timeoutMs, std::string* found = nullptr);
  // Whether any line seen so far starts with `prefix`.
  bool Saw(const std::string& prefix) const;
  std::vector<std::string> Lines() const;
  // Closes the input and waits for the exit; the exit status (-1 when it did not exit normally).
  int Finish();

 private:
  void Read(int fd);

  pid_t m_pid = -1;
  int m_input = -1;
  std::thread m_reader;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
  size_t m_next = 0;
  bool m_closed = false;
  int m_status = -1;
};

}  // namespace hx::testing
