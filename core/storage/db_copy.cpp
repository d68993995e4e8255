// Copying an open database into a file of the same schema, for backup and restore.

#include "core/storage/db_base.h"
#include "core/storage/db_guard.h"
#include "core/storage/sqlite_statements.h"

namespace {

// An SQL identifier in double quotes, so that any table name is taken as a name.
std::string QuotedName(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string JoinFolder(const std::string& dir, const std::string& name) {
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) return dir + name;
  return dir + "/" + name;
}

}  // namespace

bool HXDBBase::TuneUpForBackup() {
  bool journal_off = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::sqlite::make_sync_full << cppdb::exec;
    cppdb::result row = *held << hx::sqlite::journal_off_mode;
    std::string mode;
    journal_off = row.next() && row.fetch(0, mode) && mode == "off";
  });
  return ok && journal_off;
}

bool HXDBBase::backup(const std::string& dir) const {
  if (!IsOpen()) return false;
  std::vector<std::string> tables;
  if (!showTables(tables)) return false;
  const std::string alias = "bkpdb";
  if (!attachDB(JoinFolder(dir, GetStorageFSName()), alias)) return false;
  for (const std::string& table : tables) {
    if (!backupTable(alias, table)) {
      detachDB(alias);
      return false;
    }
  }
  return detachDB(alias);
}

bool HXDBBase::showTables(std::vector<std::string>& tables) const {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result rows = *held << hx::sqlite::show_tables;
    while (rows.next()) {
      std::string name;
      rows.fetch(0, name);
      tables.push_back(name);
    }
  });
}

bool HXDBBase::attachDB(const std::string& file, const std::string& alias) const {
  bool attached = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result rows = *held << ("ATTACH DATABASE ? AS " + QuotedName(alias) + ";") << file;
    std::string first;
    attached = !rows.next() || !rows.fetch(0, first) || first.find("rror") == std::string::npos;
  });
  return ok && attached;
}

bool HXDBBase::backupTable(const std::string& alias, const std::string& table) const {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << (hx::sqlite::backup_table_1 + QuotedName(alias) + "." + QuotedName(table) +
              hx::sqlite::backup_table_2 + QuotedName(table) + ";")
          << cppdb::exec;
  });
}

bool HXDBBase::detachDB(const std::string& alias) const {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::sqlite::detach_db << alias << cppdb::exec;
  });
}
