// Copying an open database into a file of the same schema, for backup and restore.
//
// Rows are copied with their row ids: the chat database links full-text rows, previews and
// attributes to messages by row id, so renumbering would attach them to the wrong messages. The
// target's own rows (a fresh schema may seed some) are replaced, and the whole copy is one
// transaction.

#include <algorithm>

#include "core/storage/backup_files.h"
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

std::vector<std::string> FirstColumn(cppdb::result rows) {
  std::vector<std::string> values;
  while (rows.next()) values.push_back(rows.get<std::string>(0));
  return values;
}

// SQLite's own tables (sqlite_sequence, sqlite_stat1) are kept by the target itself.
bool IsInternal(const std::string& table) { return table.rfind("sqlite_", 0) == 0; }

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
  // No other statement may run on this connection while the target is attached.
  HXDBBaseSessionLock held = Session();
  std::vector<std::string> tables;
  std::vector<std::string> shadow_tables;
  if (!showTables(tables) ||
      !DB_GUARD_CALL([&] { shadow_tables = FirstColumn(*held << hx::sqlite::show_shadow_tables); })) {
    return false;
  }
  const std::string alias = "bkpdb";
  if (!attachDB(hx::backup::joinPath(dir, GetStorageFSName()), alias)) return false;
  bool copied = false;
  DB_GUARD_CALL([&] {
    cppdb::transaction transaction(*held);
    for (const std::string& table : tables) {
      const bool skipped = IsInternal(table) ||
                           std::find(shadow_tables.begin(), shadow_tables.end(), table) != shadow_tables.end();
      if (!skipped && !backupTable(alias, table)) return;  // the transaction rolls back
    }
    transaction.commit();
    copied = true;
  });
  const bool detached = detachDB(alias);
  return copied && detached;
}

bool HXDBBase::showTables(std::vector<std::string>& tables) const {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    for (std::string& table : FirstColumn(*held << hx::sqlite::show_tables)) tables.push_back(std::move(table));
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
    int without_rowid = 0;
    {
      cppdb::result row = *held << hx::sqlite::table_without_rowid << table;
      if (row.next()) row.fetch(0, without_rowid);
    }
    std::string columns = without_rowid ? "" : "rowid";
    for (const std::string& column : FirstColumn(*held << hx::sqlite::table_columns << table)) {
      columns += (columns.empty() ? "" : ", ") + QuotedName(column);
    }
    const std::string target = QuotedName(alias) + "." + QuotedName(table);
    *held << ("DELETE FROM " + target + ";") << cppdb::exec;
    *held << ("INSERT INTO " + target + " (" + columns + ") SELECT " + columns + " FROM main." + QuotedName(table) + ";")
          << cppdb::exec;
  });
}

bool HXDBBase::detachDB(const std::string& alias) const {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::sqlite::detach_db << alias << cppdb::exec;
  });
}
