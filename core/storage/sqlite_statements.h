#pragma once
// Statement texts shared by every database of the core.

namespace hx::sqlite {

inline constexpr const char* make_async = "PRAGMA synchronous = OFF";
inline constexpr const char* memory_mode = "PRAGMA journal_mode = MEMORY";
inline constexpr const char* wal_mode = "PRAGMA journal_mode = WAL";
inline constexpr const char* wal_autocheckpoint_val = "PRAGMA wal_autocheckpoint = ";
inline constexpr const char* set_version = "PRAGMA user_version = ";
inline constexpr const char* get_version = "PRAGMA user_version;";
inline constexpr const char* limit_part = " LIMIT ?, ? ;";
inline constexpr const char* integrity_check = "PRAGMA integrity_check(1);";
inline constexpr const char* make_sync_full = "PRAGMA synchronous = FULL";
inline constexpr const char* journal_off_mode = "PRAGMA journal_mode = OFF";
inline constexpr const char* detach_db = "DETACH DATABASE ?;";
// Every connection waits this long for another connection's lock before a statement fails.
inline constexpr const char* busy_timeout = "PRAGMA busy_timeout = 5000";
inline constexpr const char* page_count = "PRAGMA page_count;";
inline constexpr const char* schema_snapshot =
    "SELECT (SELECT count(*) FROM sqlite_master), (SELECT user_version FROM pragma_user_version);";
inline constexpr const char* show_tables = "SELECT name FROM sqlite_master WHERE type='table';";
// Backup copies skip the tables that a virtual table keeps for itself: the copy of the virtual
// table fills those of the target.
inline constexpr const char* show_shadow_tables =
    "SELECT name FROM pragma_table_list WHERE schema='main' AND type='shadow';";
inline constexpr const char* table_columns = "SELECT name FROM pragma_table_info(?, 'main');";
inline constexpr const char* table_without_rowid =
    "SELECT wr FROM pragma_table_list WHERE schema='main' AND name=?;";

}  // namespace hx::sqlite
