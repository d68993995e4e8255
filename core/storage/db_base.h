#pragma once
// The base class of every SQLite database of the core: it owns the cppdb session, opens the file
// with a fixed procedure (old-name migration, integrity check, tune-up, schema version with create,
// zero-version and upgrade hooks), copies itself into another file for backups and helps with paging.
//
// Thread safety: the object is its own recursive lock (the database lock). Every operation takes it
// for its statements, so one database is used by one thread at a time; `Session` hands the lock out
// for several statements in a row. The global database lock (HX_DBManager) is always taken first.

#include <cppdb/frontend.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "core/base/lock.h"

// The open session of a database with its lock held; the lock is released when this object dies.
// Operations whose name ends in NL expect the caller to hold one.
class HXDBBaseSessionLock {
 public:
  HXDBBaseSessionLock(cppdb::session* session, HXLock* lock);
  ~HXDBBaseSessionLock();
  HXDBBaseSessionLock(HXDBBaseSessionLock&& other) noexcept;
  HXDBBaseSessionLock(const HXDBBaseSessionLock&) = delete;
  HXDBBaseSessionLock& operator=(const HXDBBaseSessionLock&) = delete;
  HXDBBaseSessionLock& operator=(HXDBBaseSessionLock&&) = delete;

  cppdb::session& operator*() const { return *session_; }
  cppdb::session* operator->() const { return session_; }

 private:
  cppdb::session* session_;
  HXLock* lock_;
};

namespace hx::db {

// Thin holders used by the derived classes for paged queries and row reading.
struct Statement {
  cppdb::statement statement;
};

struct Result {
  cppdb::result result;
};

// A connection of its own, apart from any database object's (for tools that open a file
// directly); the database classes hand out theirs through HXDBBase::Session.
struct Session {
  cppdb::session session;
};

}  // namespace hx::db

class HXDBBase : public HXLock {
 public:
  // What an open does when the file cannot be opened as it is (the values are stored by callers).
  enum OpenMode : int {
    Recreate = 0,             // skip the first open: always delete the file and create it anew
    ReadOnly = 1,             // existing file only; fail otherwise
    ReadWrite = 2,            // existing file only; fail otherwise
    ReadWriteOrRecreate = 3,  // existing file; delete it and create it anew when that fails
  };

  // A stream buffer over a caller's byte range: reads come from it, writes go into it and stop
  // at its end.
  class streamhelper : public std::streambuf {
   public:
    streamhelper(char* begin, char* end) {
      setg(begin, begin, end);
      setp(begin, end);
    }
  };

  static constexpr uint64_t kUnlimited = UINT64_MAX;
  static constexpr int kBusyTimeoutMs = 5000;
  static constexpr size_t kInitialRequestLimit = 10;

  HXDBBase(int version, const char* name);
  ~HXDBBase() override;

  // The file name ("settings.sqlite") or, for a user's database, the suffix after the peer id.
  virtual std::string GetStorageNameSuffix() const;
  virtual std::string GetStorageFSName() const;
  virtual std::string GetStorageFSName(const std::string& peer) const;
  virtual void Close();
  // A new, unopened object of the same class for backups; null where backups are not supported.
  virtual HXDBBase* createInstance() const;
  // Creates the schema and writes its version.
  virtual bool Create() = 0;
  virtual bool Drop() = 0;
  // Called by the open procedure when the file's user_version is 0.
  virtual bool handleZeroVersion();
  // Called when the file's user_version is another one than the class's: drops and creates.
  virtual bool Upgrade(int oldVersion);

  // Opens the file named GetStorageNameSuffix() in `dir` (which ends in a separator, or is empty
  // for ":memory:"); true at once when already open. In modes Recreate and ReadWriteOrRecreate a
  // cppdb::cppdb_error of the recreate step reaches the caller.
  //
  // Several processes may share the file. ReadWriteOrRecreate creates a missing or empty file in
  // place (creating the schema is idempotent) and deletes and recreates only a file that is
  // provably damaged (not a database, or its integrity check reports damage) or whose content the
  // schema hooks refuse; a file that is busy, locked, cannot be opened or whose version cannot be
  // read fails the open and is left alone. Every connection waits up to kBusyTimeoutMs for
  // another connection's lock.
  bool OpenDatabase(const char* dir, OpenMode mode);
  bool IsOpen() const;
  HXDBBaseSessionLock Session() const;
  void closeNL(const HXDBBaseSessionLock& held);

  // WAL journal, no syncing, an auto-checkpoint every 250 pages; true when WAL is on.
  bool TuneUp();
  // Full syncing and no journal, for a freshly created copy; true when the journal is off.
  bool TuneUpForBackup();

  std::string GetStorageName() const;
  std::string GetStorageName(const std::string& peer) const;
  // "peer.suffix" becomes the upper-case MD5 hex of peer, a dot and the suffix; a resource part
  // after '/' is dropped first. Names with fewer than two dots are returned unchanged.
  std::string PathEncode(const std::string& name) const;

  // Copies every table of this open database, rows with their row ids, into the file of the same
  // name in `dir`, which must already hold the same schema; the target's own rows are replaced.
  // All or nothing: one transaction.
  bool backup(const std::string& dir) const;
  bool showTables(std::vector<std::string>& tables) const;
  bool attachDB(const std::string& file, const std::string& alias) const;
  bool backupTable(const std::string& alias, const std::string& table) const;
  bool detachDB(const std::string& alias) const;

  // Closes the database and deletes the file at `path` with its "-wal" and "-shm" companions;
  // true when the main file was deleted.
  bool RemoveDBFile(const std::string& path);
  // Deletes the database file at `path` with its "-wal" and "-shm" companions: a stale
  // write-ahead log left beside a new file would be replayed into it. True when the main file was
  // deleted. ":memory:" names no file and is left alone.
  static bool DeleteDatabaseFiles(const std::string& path);
  // Renames a file of an older naming scheme (with its companions) unless `to` exists.
  bool Migrate(const std::string& from, const std::string& to);

  // The file's user_version; 0 also when it cannot be read (ReadVersion tells the two apart).
  int GetVersion();
  bool ReadVersion(int& version);
  void SetVersion(const HXDBBaseSessionLock& held, unsigned version);

  // Paging: a limit below 1000 rows per page, or unlimited.
  bool SetRequestLimit(size_t n);
  size_t GetRequestLimit() const { return kInitialRequestLimit; }
  uint64_t LimitVal() const { return request_limit_; }
  bool IsUnlimReq() const { return request_limit_ == kUnlimited; }
  std::string ReqWithLim(const std::string& query) const;
  void AppendLimParams(hx::db::Statement& statement, unsigned page) const;

  // For T = unsigned short, unsigned long long and std::string; false when the column is NULL.
  template <typename T>
  bool dbFetchColumn(hx::db::Result& result, int column, T& out) const {
    return result.result.fetch(column, out);
  }
  template <typename T>
  T dbFetchDef(hx::db::Result& result, int column, const T& def) const {
    T value;
    return dbFetchColumn(result, column, value) ? value : def;
  }

 protected:
  bool _Migrate(const char* dir, const std::string& storageName);
  bool _Open(const char* dir, const std::string& storageName, OpenMode mode);
  bool _OpenInternal(const std::string& connection, bool create);

 private:
  // Locking does not change what a const operation reads, so const operations may lock too.
  HXLock& DatabaseLock() const { return const_cast<HXDBBase&>(*this); }
  // Why the last first open failed, as far as the recreating mode cares.
  enum class OpenFailure { kNone, kEmpty, kRefusedSchema };

  bool PassesIntegrityCheck();
  bool PrepareOpenedSession(bool create);
  bool CheckVersion();
  bool ReadPageCount(int& pages);
  bool ReadSchemaSnapshot(int& objects, int& version);
  bool CreateInPlace(const std::string& connection);
  static bool IsProvablyDamaged(const std::string& path);
  static bool FileExists(const std::string& path);

  OpenFailure open_failure_ = OpenFailure::kNone;

  std::unique_ptr<cppdb::session> session_;
  uint64_t request_limit_ = kInitialRequestLimit;
  int schema_version_;
  std::string name_;
};
