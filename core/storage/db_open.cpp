// The open procedure of every database: migration of old file names, first open in the caller's
// mode, recreation of unusable files, integrity check, tune-up and schema version handling.

#include <sqlite3.h>
#include <sys/stat.h>

#include <cppdb/errors.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/base/ios_log.h"
#include "core/base/thread_util.h"
#include "core/base/tick_clock.h"
#include "core/storage/db_base.h"
#include "core/storage/db_guard.h"
#include "core/storage/sqlite_statements.h"

namespace {

constexpr const char* kInMemoryName = ":memory:";

// SQLite words both of its contention answers, SQLITE_BUSY ("database is locked") and SQLITE_LOCKED
// ("database table is locked", "database schema is locked"), with "locked"; cppdb passes the text on.
bool IsLockContention(const cppdb::cppdb_error& error) {
  return std::string_view(error.what()).find("locked") != std::string_view::npos;
}

// cppdb reads a connection value up to the next ';' and trims blanks around it; a path that holds
// such characters or a quote goes in single quotes, with quotes inside doubled.
std::string ConnectionValue(const std::string& path) {
  const bool plain = path.find_first_of(";'") == std::string::npos && !path.empty() &&
                     path.front() != ' ' && path.back() != ' ' && path.front() != '\t' &&
                     path.back() != '\t';
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

const char* ModeSuffix(HXDBBase::OpenMode mode) {
  switch (mode) {
    case HXDBBase::ReadOnly:
      return ";mode=readonly";
    case HXDBBase::ReadWrite:
    case HXDBBase::ReadWriteOrRecreate:
      return ";mode=readwrite";
    default:
      return "";
  }
}

}  // namespace

bool HXDBBase::OpenDatabase(const char* dir, OpenMode mode) {
  HXAutoLock hold(*this);
  if (IsOpen()) return true;
  return _Open(dir, GetStorageNameSuffix(), mode);
}

bool HXDBBase::_Open(const char* dir, const std::string& storageName, OpenMode mode) {
  HXAutoLock hold(*this);
  const std::string folder = dir != nullptr ? dir : "";
  _Migrate(folder.c_str(), storageName);
  Close();

  const std::string path = folder + PathEncode(storageName);
  const std::string connection = "sqlite3:db=" + ConnectionValue(path);
  bool success = false;
  if (mode == Recreate) {
    DB_GUARD_CALL(
        [&] {
          RemoveDBFile(path);
          success = _OpenInternal(connection, true);
        },
        true);
    return success;
  }

  const bool existed = FileExists(path);
  open_failure_ = OpenFailure::kNone;
  DB_GUARD_CALL([&] { success = _OpenInternal(connection + ModeSuffix(mode), false); });
  if (success || mode != ReadWriteOrRecreate) return success;

  // Other processes use the same file. Only a file that is missing, still empty, or provably not
  // a sound database of this class is replaced; a busy, locked or unreadable one stays as it is
  // and the open fails, since deleting it would lose what the others have written.
  const bool create_in_place =
      !existed || open_failure_ == OpenFailure::kEmpty || !FileExists(path);
  const bool replace = !create_in_place && (open_failure_ == OpenFailure::kRefusedSchema ||
                                            IsProvablyDamaged(path));
  if (!create_in_place && !replace) {
    ios_log("Database %s cannot be opened now; left as it is", path.c_str());
    return false;
  }
  if (replace) {
    ios_log("Database %s cannot be used as it is; creating it anew", path.c_str());
    DB_GUARD_CALL(
        [&] {
          RemoveDBFile(path);
          success = _OpenInternal(connection, true);
        },
        true);
    return success;
  }
  return CreateInPlace(connection);
}

bool HXDBBase::CreateInPlace(const std::string& connection) {
  // Creating the schema is idempotent, so processes that create the file at the same time all
  // end with it. One whose transaction read the schema before another committed cannot take the
  // write lock (SQLite refuses at once rather than deadlock): it starts again once the other's
  // transaction is over, for as long as the busy time-out.
  const int64_t deadline = hx::GetTickCount() + kBusyTimeoutMs;
  for (;;) {
    try {
      bool success = false;
      DB_GUARD_CALL(
          [&] {
            Close();
            success = _OpenInternal(connection, true);
          },
          true);
      return success;
    } catch (const cppdb::cppdb_error& error) {
      // Only contention is worth waiting for; a path that cannot hold a database (a folder, no
      // rights) fails the same way on every try.
      if (!IsLockContention(error) || hx::GetTickCount() >= deadline) throw;
    }
    hx::SleepFor(std::chrono::milliseconds(5));
  }
}

bool HXDBBase::_OpenInternal(const std::string& connection, bool create) {
  HXAutoLock hold(*this);
  session_->open(connection);
  if (!session_->is_open()) return false;
  // A session whose checks failed must not stay open: the next OpenDatabase would take it as good.
  bool ok = false;
  try {
    *session_ << hx::sqlite::busy_timeout << cppdb::row;
    ok = PrepareOpenedSession(create);
  } catch (...) {
    session_->close();
    throw;
  }
  if (!ok) session_->close();
  return ok;
}

bool HXDBBase::PrepareOpenedSession(bool create) {
  if (!PassesIntegrityCheck()) return false;
  // The schema goes in before a file of zero pages leaves rollback journaling. Were its content
  // only in its write-ahead log, the next connection to open it would lose that log: SQLite takes
  // the log of a zero-page database for a leftover of a deleted one and deletes it.
  int pages = 0;
  const bool tune_first = !create && ReadPageCount(pages) && pages > 0;
  if (tune_first) TuneUp();
  const bool ready = create ? Create() : CheckVersion();
  if (ready && !tune_first) TuneUp();
  return ready;
}

bool HXDBBase::CheckVersion() {
  int version = 0;
  if (!ReadVersion(version)) {
    ios_log("Database %s: cannot read its version", name_.c_str());
    return false;
  }
  if (version == schema_version_) return true;
  const bool accepted = version != 0 ? Upgrade(version) : handleZeroVersion();
  if (accepted) return true;
  if (version != 0) {
    open_failure_ = OpenFailure::kRefusedSchema;
    return false;
  }
  // A file without version and without any schema is one that another process is creating; so is
  // one that has its version by now. Both are read in one statement, from one snapshot: read one
  // after the other they could straddle the other process's commit. A snapshot that cannot be
  // read says nothing about the file.
  int objects = -1;
  int current = 0;
  if (ReadSchemaSnapshot(objects, current)) {
    open_failure_ = objects == 0 || current == schema_version_ ? OpenFailure::kEmpty
                                                              : OpenFailure::kRefusedSchema;
  }
  return false;
}

bool HXDBBase::ReadPageCount(int& pages) {
  bool read = false;
  const bool ran = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::sqlite::page_count;
    read = row.next() && row.fetch(0, pages);
  });
  return ran && read;
}

bool HXDBBase::ReadSchemaSnapshot(int& objects, int& version) {
  bool read = false;
  const bool ran = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::sqlite::schema_snapshot;
    read = row.next() && row.fetch(0, objects) && row.fetch(1, version);
  });
  return ran && read;
}

bool HXDBBase::IsProvablyDamaged(const std::string& path) {
  // SQLite's own result codes tell damage from contention; cppdb's errors carry only texts.
  sqlite3* probe = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &probe, SQLITE_OPEN_READWRITE, nullptr);
  bool damaged = false;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(probe, kBusyTimeoutMs);
    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(probe, hx::sqlite::integrity_check, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(statement);
      if (rc == SQLITE_ROW) {
        const unsigned char* verdict = sqlite3_column_text(statement, 0);
        damaged = verdict == nullptr || std::string(reinterpret_cast<const char*>(verdict)) != "ok";
      }
    }
    sqlite3_finalize(statement);
  }
  const int primary = rc & 0xff;
  damaged = damaged || primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
  sqlite3_close_v2(probe);
  if (damaged) ios_log("Database %s is damaged; creating it anew", path.c_str());
  return damaged;
}

bool HXDBBase::FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

bool HXDBBase::PassesIntegrityCheck() {
  bool passed = false;
  const bool ran = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::sqlite::integrity_check;
    std::string verdict;
    passed = row.next() && row.fetch(0, verdict) && verdict == "ok";
  });
  return ran && passed;
}

bool HXDBBase::TuneUp() {
  bool wal = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::sqlite::make_async << cppdb::exec;
    {
      cppdb::result row = *held << hx::sqlite::wal_mode;
      std::string mode;
      if (row.next() && row.fetch(0, mode)) wal = mode == "wal";
    }
    // The pragma answers with the new value, so it runs as a query.
    if (wal) *held << (hx::sqlite::wal_autocheckpoint_val + std::to_string(250)) << cppdb::row;
  });
  return ok && wal;
}

bool HXDBBase::RemoveDBFile(const std::string& path) {
  Close();
  return DeleteDatabaseFiles(path);
}

bool HXDBBase::DeleteDatabaseFiles(const std::string& path) {
  // A file named ":memory:" in the working folder is someone else's.
  if (path == kInMemoryName) return false;
  std::remove((path + "-wal").c_str());
  std::remove((path + "-shm").c_str());
  return std::remove(path.c_str()) == 0;
}
