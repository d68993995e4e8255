#pragma once
// Helpers of the hostile tests of the per-user databases: files that someone else wrote or
// damaged (made with the sqlite3 tool or from raw bytes, headers that lie, odd things where the
// file should be), a child process that runs one operation with a time limit, optionally as an
// unprivileged user, so that a hang or a crash is reported as such instead of stopping the whole
// test program, and a fixture with the attacks that every such database meets alike.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/contacts/contacts_db_test_helpers.h"
#include "testing/test_support.h"

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

// The user whose files the hostile tests attack.
constexpr const char* kMe = "me@example.org";

// The odd things that may sit where a database file should, each tried in turn: a FIFO (a reader
// would wait for ever), a folder holding a file, a folder where the write-ahead log goes, junk
// write-ahead log and shared-memory files, a link to a document outside the folder.
enum OddFile {
  kFifo = 1,
  kFolder = 2,
  kWalFolder = 4,
  kJunkWal = 8,
  kLinkToDocument = 16,
  kEveryOddFileButTheFifo = kFolder | kWalFolder | kJunkWal | kLinkToDocument
};

// One way of damaging a good file, applied to the file named.
struct FileDamage {
  const char* what;
  std::function<void(const std::string&)> make;
};

// The damages every database is tried with: a file of zero bytes, one of `text`, a header alone,
// a file cut inside a page, one cut inside the header at `headerCut`, and each header lie.
inline std::vector<FileDamage> FileDamages(const std::string& text, off_t headerCut) {
  std::vector<FileDamage> damages = {
      {"zero bytes", [](const std::string& f) { storage_testing::WriteFile(f, ""); }},
      {"text", [text](const std::string& f) { storage_testing::WriteFile(f, text); }},
      {"header only",
       [](const std::string& f) {
         storage_testing::WriteFile(f,
                                    std::string("SQLite format 3\0", 16) + std::string(84, '\xff'));
       }},
      {"cut inside a page", [](const std::string& f) { Truncate(f, 5000); }},
      {"cut inside the header", [headerCut](const std::string& f) { Truncate(f, headerCut); }},
  };
  for (const HeaderLie& lie : HeaderLies()) {
    damages.push_back({lie.what, [lie](const std::string& f) { Patch(f, lie.offset, lie.bytes); }});
  }
  return damages;
}

// Runs `first` in a child of this process and `second` in a child of a second process at the
// same time, each with `seconds` to finish; both must end cleanly.
inline void RunInTwoProcesses(const std::function<int()>& first,
                              const std::function<int()>& second, int seconds = 60) {
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) _exit(RunInChild(second, seconds).Clean() ? 0 : 3);
  const ChildEnd mine = RunInChild(first, seconds);
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_TRUE(mine.Clean()) << mine.Describe();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Runs `write` and `read` on two threads, each with a count that grows by one a call, while a
// third thread calls `switchFile` with 0 to 59 (meant to reopen the database for another user
// and close it now and then). Returns when all three are done.
inline void UseWhileSwitching(const std::function<void(int)>& switchFile,
                              const std::function<void(int)>& write,
                              const std::function<void(int)>& read) {
  // The users run until the last switch, so that every switch meets operations in flight.
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    for (int i = 0; i < 60; ++i) switchFile(i);
    stop = true;
  });
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) write(i);
  });
  for (int i = 0; !stop; ++i) read(i);
  switcher.join();
  writer.join();
}

// The fixture of the hostile tests of one per-user database whose files end in `ending`: the
// sqlite3 tool (missing: a failure under CI, a skip elsewhere), a temporary folder, the file of
// kMe in it, and the attacks that every such database meets in the same way. A fixture that
// derives from it says how to make a good file and how to tell that a file works.
class HostileDbTest : public ::testing::Test {
 protected:
  explicit HostileDbTest(const char* ending) : ending_(ending) {}

  void SetUp() override {
    sqlite3_ = hx::testing::FindTool("sqlite3");
    if (sqlite3_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: sqlite3";
      GTEST_SKIP() << "tool not installed: sqlite3";
    }
  }

  // A step of a test on the database of `user` in `folder`.
  using UserStep = std::function<void(const char* user, const std::string& folder)>;

  // Writes a file with known rows through the class under test.
  virtual void MakeGoodFile() = 0;
  // After an attack on the file: the class opens it and a round trip works.
  virtual void ExpectUsable() = 0;

  std::string Dir() const { return temp_.path() + "/"; }
  std::string FileOf(const std::string& folder, const std::string& user) const {
    return folder + contacts_testing::UpperMd5(user) + ending_;
  }
  std::string File() const { return FileOf(Dir(), kMe); }
  std::string Tool(const std::string& sql) { return contacts_testing::Rows(sqlite3_, File(), sql); }
  void RemoveFile() {
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(File() + end);
  }

  // A fresh good file whose header then claims `version`, as another program might leave it.
  void MakeGoodFileOfVersion(int version) {
    RemoveFile();
    MakeGoodFile();
    Tool("PRAGMA user_version = " + std::to_string(version) + ";");
  }

  // A fresh file made by the tool from `sql`, then `use` in a child process (see RunInChild).
  ChildEnd RunOnFileMadeOf(const std::string& sql, const std::function<int()>& use) {
    RemoveFile();
    Tool(sql);
    return RunInChild(use);
  }

  // For each damage: a good file, its log folded in, damaged, then it must work again.
  void ExpectDamagedFilesReplaced(const std::vector<FileDamage>& damages) {
    for (const FileDamage& damage : damages) {
      SCOPED_TRACE(damage.what);
      RemoveFile();
      MakeGoodFile();
      Tool("PRAGMA wal_checkpoint(TRUNCATE);");
      damage.make(File());
      ExpectUsable();
    }
  }

  // Folds the write-ahead log into the file and turns the log off, and lets others enter the
  // folder, so that a process of another user sees every row in the file itself.
  void ShareWithOtherUsers() {
    Tool("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;");
    OpenToOthers(temp_.path());
  }

  // Makes a good file, makes it and its folder read-only, and runs `body` as "nobody" in a child;
  // the folder is writable again afterwards.
  ChildEnd RunAsNobodyOnReadOnlyFile(const std::function<int()>& body) {
    MakeGoodFile();
    ShareWithOtherUsers();
    chmod(File().c_str(), 0444);
    chmod(temp_.path().c_str(), 0555);
    const ChildEnd end = RunInChild(body, 20, kNobody);
    chmod(temp_.path().c_str(), 0755);
    return end;
  }

  // Tries the odd things (`cases`) where the file of kMe should be, in a folder inside the
  // temporary one. `makeGood` writes a good file with one known row into the folder it is given;
  // `use` opens the database in that folder and works on it in a child process (its exit code: 0
  // when fine); `goodRow` reads the known row back with `goodQuery`. Expected of every case: the
  // child ends in time without a crash, nothing outside the folder is written or made, and a good
  // file beside a broken companion keeps its row.
  void TryOddFiles(int cases, const std::function<void(const std::string&)>& makeGood,
                   const std::function<int(const std::string&)>& use, const std::string& goodQuery,
                   const std::string& goodRow);

  // Users whose ids have path parts ("..", separators) never make, move or delete a file outside
  // their folder, also where a file of an older naming scheme would sit outside it. `openAndWrite`
  // opens the database of the user in the folder given and writes a row.
  void ExpectPathPartsStayInside(const UserStep& openAndWrite);

  // Users whose ids differ only after a dot or in letter case get files of their own: `write`
  // opens the database of each user in the folder given and stores the user's id in it,
  // `expectOwn` opens it again and checks that it reads that id back.
  void ExpectLookAlikeUsersApart(const UserStep& write, const UserStep& expectOwn);

  // Opens kMe's database in `db`, closes it through `store` (the object that holds the file: `db`
  // itself or a part of it), opens it again, then switches to another user and back: each open
  // answers true and leaves the file open.
  template <typename Db, typename Store>
  void ExpectReopenedAfterCloseAndSwitch(Db& db, Store& store) {
    ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
    store.Close();
    ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
    EXPECT_TRUE(store.IsOpen());
    ASSERT_TRUE(db.OpenDatabase("other@x", Dir().c_str()));
    ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
    EXPECT_TRUE(store.IsOpen());
  }

  // Opens kMe's database in `db`, fails to open another user's (a folder sits where that user's
  // file should be), and opens kMe's again: that open answers true and leaves the file open.
  template <typename Db, typename Store>
  void ExpectFirstUserAgainAfterFailedSwitch(Db& db, Store& store) {
    std::filesystem::create_directories(FileOf(Dir(), "other@x") + "/inside");
    ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
    EXPECT_FALSE(db.OpenDatabase("other@x", Dir().c_str()));
    ASSERT_TRUE(db.OpenDatabase(kMe, Dir().c_str()));
    EXPECT_TRUE(store.IsOpen());
  }

  hx::testing::TempDir temp_;
  std::string sqlite3_;

 private:
  const char* ending_;
};

inline void HostileDbTest::TryOddFiles(int cases,
                                       const std::function<void(const std::string&)>& makeGood,
                                       const std::function<int(const std::string&)>& use,
                                       const std::string& goodQuery, const std::string& goodRow) {
  const std::string inner = temp_.path() + "/in/";
  std::filesystem::create_directories(inner);
  const std::string file = FileOf(inner, kMe);
  const auto clean = [&] {
    for (const char* end : {"", "-wal", "-shm", "-journal"}) {
      std::error_code ignored;
      std::filesystem::remove_all(file + end, ignored);
    }
  };
  const auto run = [&](const char* what) {
    SCOPED_TRACE(what);
    const ChildEnd end = RunInChild([&] { return use(inner); }, 30);
    EXPECT_TRUE(end.Clean()) << what << ": " << end.Describe();
  };
  const auto goodStillThere = [&] {
    return contacts_testing::Rows(sqlite3_, file, goodQuery) == goodRow;
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
    makeGood(inner);
    std::filesystem::create_directories(file + "-wal");
    run("a folder where the write-ahead log goes");
    std::filesystem::remove_all(file + "-wal");
    EXPECT_TRUE(goodStillThere()) << "after a folder where the write-ahead log goes";
    clean();
  }
  if (cases & kJunkWal) {
    makeGood(inner);
    std::string junk(40000, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 37 + 11);
    storage_testing::WriteFile(file + "-wal", junk);
    storage_testing::WriteFile(file + "-shm", junk);
    run("junk write-ahead log and shared memory");
    EXPECT_TRUE(goodStillThere()) << "after junk write-ahead log and shared memory";
    clean();
  }
  if (cases & kLinkToDocument) {
    const std::string document = temp_.path() + "/document.txt";
    storage_testing::WriteFile(document, "my document");
    ASSERT_EQ(symlink(document.c_str(), file.c_str()), 0);
    run("a link to a document outside");
    EXPECT_EQ(storage_testing::ReadFile(document), "my document");
    clean();
  }
}

inline void HostileDbTest::ExpectPathPartsStayInside(const UserStep& openAndWrite) {
  const std::string root = temp_.path();
  const std::string inner = root + "/a/b/";
  std::filesystem::create_directories(inner);
  // Files outside the folder under the names an id with path parts would point at.
  const std::vector<std::string> victims = {root + "/escape" + ending_,
                                            root + "/escape@x" + ending_,
                                            root + "/a/escape" + ending_, root + "/escape"};
  for (const std::string& victim : victims) storage_testing::WriteFile(victim, "victim");
  const char* users[] = {"../../escape",      "../../escape@x",   "../escape",      "..", ".", "/",
                         "x/../../../escape", "../../escape.x.y", "..\\..\\escape", "a/"};
  for (const char* user : users) {
    SCOPED_TRACE(user);
    const ChildEnd end = RunInChild([&] {
      openAndWrite(user, inner);
      return 0;
    });
    EXPECT_TRUE(end.Clean()) << end.Describe();
  }
  for (const std::string& victim : victims) {
    EXPECT_EQ(storage_testing::ReadFile(victim), "victim") << victim;
  }
  std::string outside = FilesOutside(root, inner);
  for (const std::string& victim : victims) {
    const size_t at = outside.find(victim + "\n");
    if (at != std::string::npos) outside.erase(at, victim.size() + 1);
  }
  EXPECT_EQ(outside, "");
}

inline void HostileDbTest::ExpectLookAlikeUsersApart(const UserStep& write,
                                                     const UserStep& expectOwn) {
  // The last id looks like a file name of this database.
  const std::string likeAFile = std::string("x") + ending_;
  const char* users[] = {"john.doe@example.org", "john.smith@example.org", "a.b.c.d",
                         "a.b.c.e",              "john@example.org",       "JOHN@example.org",
                         likeAFile.c_str()};
  for (const char* user : users) {
    write(user, Dir());
    if (HasFatalFailure()) return;
  }
  for (const char* user : users) {
    SCOPED_TRACE(user);
    expectOwn(user, Dir());
    if (HasFatalFailure()) return;
    EXPECT_TRUE(storage_testing::Exists(FileOf(Dir(), user)));
  }
}

}  // namespace hx::hostile_testing
