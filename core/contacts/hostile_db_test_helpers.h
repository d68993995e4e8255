#pragma once
// Helpers of the hostile tests of the per-user databases: files that someone else wrote or
// damaged (made with the sqlite3 tool or from raw bytes), and a child process that runs one
// operation with a time limit, so that a hang or a crash is reported as such instead of stopping
// the whole test program.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/contacts/contacts_db_test_helpers.h"

namespace hx::hostile_testing {

// How a child process ended.
struct ChildEnd {
  bool exited = false;   // returned or called _exit
  int code = -1;         // its exit code when it exited
  int signal = 0;        // the signal that ended it otherwise
  bool timedOut = false; // still running at the limit (then killed)

  bool Clean() const { return exited && code == 0; }
  std::string Describe() const {
    if (timedOut) return "hung (killed at the time limit)";
    if (exited) return "exited with " + std::to_string(code);
    return "killed by signal " + std::to_string(signal);
  }
};

// Runs `body` in a forked child and waits up to `seconds` for it; the child's exit code is what
// `body` returns. With `uid` other than 0 the child first drops to that user and group, so that
// file permissions bind it even when the tests run as root.
inline ChildEnd RunInChild(const std::function<int()>& body, int seconds = 20, uid_t uid = 0) {
  ChildEnd end;
  const pid_t child = fork();
  if (child < 0) return end;
  if (child == 0) {
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(120);
    _exit(body());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      end.timedOut = true;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) {
    end.exited = true;
    end.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
  }
  return end;
}

// The user id of "nobody", for children that must not bypass file permissions.
constexpr uid_t kNobody = 65534;

// Lets other users enter `dir` (a temporary folder is created for its owner only).
inline void OpenToOthers(const std::string& dir) { chmod(dir.c_str(), 0755); }

// Cuts the file to `length` bytes.
inline bool Truncate(const std::string& file, off_t length) {
  return truncate(file.c_str(), length) == 0;
}

// A text of `n` bytes, none of them 0, none a quote.
inline std::string Filler(size_t n, char first = 'a') {
  std::string text(n, first);
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + (first + i) % 26);
  return text;
}

}  // namespace hx::hostile_testing

namespace hx::hostile_testing {

// Every regular file below `root` that is not below `inside` (both folders, `inside` ending in
// a separator); one per line.
inline std::string FilesOutside(const std::string& root, const std::string& inside) {
  std::string outside;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string path = entry.path().string();
    if (path.compare(0, inside.size(), inside) != 0) outside += path + "\n";
  }
  return outside;
}

}  // namespace hx::hostile_testing
