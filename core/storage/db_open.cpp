// The open procedure of every database: migration of old file names, first open in the caller's
// mode, recreation of unusable files, integrity check, tune-up and schema version handling.

#include <cstdio>

#include "core/storage/db_base.h"
#include "core/storage/db_guard.h"
#include "core/storage/sqlite_statements.h"

namespace {

constexpr const char* kInMemoryName = ":memory:";

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
  if (mode != Recreate) {
    DB_GUARD_CALL([&] { success = _OpenInternal(connection + ModeSuffix(mode), false); });
  }
  if (mode == Recreate || (!success && mode == ReadWriteOrRecreate)) {
    DB_GUARD_CALL(
        [&] {
          RemoveDBFile(path);
          success = _OpenInternal(connection, true);
        },
        true);
  }
  return success;
}

bool HXDBBase::_OpenInternal(const std::string& connection, bool create) {
  HXAutoLock hold(*this);
  session_->open(connection);
  if (!session_->is_open()) return false;
  // A session whose checks failed must not stay open: the next OpenDatabase would take it as good.
  bool ok = false;
  try {
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
  TuneUp();
  if (create) return Create();
  const int version = GetVersion();
  if (version == schema_version_) return true;
  if (version != 0) return Upgrade(version);
  return handleZeroVersion();
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
