#pragma once
// Helpers of the hostile tests of the per-user databases: files that someone else wrote or
// damaged (made with the sqlite3 tool or from raw bytes, headers that lie, odd things where the
// file should be), and a child process that runs one operation with a time limit, optionally as
// an unprivileged user, so that a hang or a crash is reported as such instead of stopping the
// whole test program.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/contacts/contacts_db_test_helpers.h"

namespace hx::hostile_testing {

// How a child process ended.
struct ChildEnd {
  bool exited = false;    // returned or called _exit
  int code = -1;          // its exit code when it exited
  int signal = 0;         // the signal that ended it otherwise
  bool timedOut = false;  // still running at the limit (then killed)

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

// Overwrites bytes of the file at `offset` with `bytes`.
inline void Patch(const std::string& file, long offset, const std::string& bytes) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekp(offset);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Fields of the database header that lie: each (what, offset, bytes) makes a file whose header
// claims something its pages do not hold.
struct HeaderLie {
  const char* what;
  long offset;
  std::string bytes;
};
inline std::vector<HeaderLie> HeaderLies() {
  return {
      {"page size not a power of two", 16, std::string("\x03\x00", 2)},
      {"reserved bytes at the page end", 20, std::string("\xff", 1)},
      {"page count", 28, std::string("\xff\xff\xff\xff", 4)},
      {"free-list trunk and count", 32, std::string("\x7f\xff\xff\xff\x7f\xff\xff\xff", 8)},
      {"text encoding", 56, std::string("\x00\x00\x00\x05", 4)},
      {"schema page type", 100, std::string("\x07", 1)},
      {"schema cell count", 103, std::string("\xff\xff", 2)},
  };
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

namespace hx::hostile_testing {

// The odd things that may sit where a database file should, each tried in turn on `file`:
// a FIFO (a reader would wait for ever), a folder holding a file, a folder where the write-ahead
// log goes, junk write-ahead log and shared-memory files, a link to a document outside the
// folder and a link to nowhere outside it. `makeGood` writes a good file with one known row;
// `use` opens the database and works on it in a child process (its exit code: 0 when fine);
// `goodStillThere` reads the known row back with the tool. Expected of every case: the child
// ends in time without a crash, nothing outside the folder is written or made, and a good file
// beside a broken companion keeps its row.
enum OddFile {
  kFifo = 1,
  kFolder = 2,
  kWalFolder = 4,
  kJunkWal = 8,
  kLinkToDocument = 16
};
inline void TryOddFilesInPlace(const std::string& file, const std::string& outsideDir,
                               const std::function<void()>& makeGood,
                               const std::function<int()>& use,
                               const std::function<bool()>& goodStillThere, int cases) {
  const auto clean = [&] {
    for (const char* end : {"", "-wal", "-shm", "-journal"}) {
      std::error_code ignored;
      std::filesystem::remove_all(file + end, ignored);
    }
  };
  const auto run = [&](const char* what) {
    SCOPED_TRACE(what);
    const ChildEnd end = RunInChild(use, 30);
    EXPECT_TRUE(end.Clean()) << what << ": " << end.Describe();
  };
  clean();
  if (cases & kFifo) {
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    run("a FIFO");
    clean();
  }
  if (cases & kFolder) {
    std::filesystem::create_directories(file);
    storage_testing::WriteFile(file + "/precious", "precious");
    run("a folder holding a file");
    EXPECT_EQ(storage_testing::ReadFile(file + "/precious"), "precious");
    clean();
  }
  if (cases & kWalFolder) {
    makeGood();
    std::filesystem::create_directories(file + "-wal");
    run("a folder where the write-ahead log goes");
    std::filesystem::remove_all(file + "-wal");
    EXPECT_TRUE(goodStillThere()) << "after a folder where the write-ahead log goes";
    clean();
  }
  if (cases & kJunkWal) {
    makeGood();
    std::string junk(40000, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37 + 11);
    storage_testing::WriteFile(file + "-wal", junk);
    storage_testing::WriteFile(file + "-shm", junk);
    run("junk write-ahead log and shared memory");
    EXPECT_TRUE(goodStillThere()) << "after junk write-ahead log and shared memory";
    clean();
  }
  if (cases & kLinkToDocument) {
    const std::string document = outsideDir + "/document.txt";
    storage_testing::WriteFile(document, "my document");
    ASSERT_EQ(symlink(document.c_str(), file.c_str()), 0);
    run("a link to a document outside");
    EXPECT_EQ(storage_testing::ReadFile(document), "my document");
    clean();
  }
}

}  // namespace hx::hostile_testing
