#pragma once
// Statement texts of the settings database (schema version 11) and of its version 1 table.

namespace hx::settings {

namespace db {

inline constexpr const char* create_main =
    "CREATE TABLE IF NOT EXISTS settings ( Name      CHAR            NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, Value     BLOB            NOT NULL DEFAULT x'');";
inline constexpr const char* create_logins =
    "CREATE TABLE IF NOT EXISTS logins ( Domain    CHAR    NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, Login     CHAR    NOT NULL DEFAULT '' COLLATE NOCASE, Key       CHAR    NOT NULL DEFAULT '');";
inline constexpr const char* set_indexes_0 =
    "CREATE INDEX IF NOT EXISTS idx_0 ON settings (Name ASC)";
inline constexpr const char* set_indexes_1 =
    "CREATE INDEX IF NOT EXISTS idx_1 ON logins (Domain ASC)";
inline constexpr const char* drop_main =
    "DROP TABLE IF EXISTS settings ;";
inline constexpr const char* drop_logins =
    "DROP TABLE IF EXISTS logins ;";
inline constexpr const char* delete_param =
    "DELETE FROM settings  WHERE Name=?;";
inline constexpr const char* set =
    "INSERT OR REPLACE INTO settings  (Name, Value) VALUES ( ?, ?);";
inline constexpr const char* get =
    "SELECT Value  FROM settings  WHERE Name=?;";
inline constexpr const char* insert_domain_login =
    "INSERT OR IGNORE INTO logins  (Domain) VALUES (?);";
inline constexpr const char* update_login =
    "UPDATE logins  SET Login=? WHERE Domain=?;";
inline constexpr const char* update_key =
    "UPDATE logins  SET Key=? WHERE Domain=?;";
inline constexpr const char* get_login_key =
    "SELECT Login, Key  FROM logins  WHERE Domain=? LIMIT 1;";
inline constexpr const char* get_saved_logins_all =
    "SELECT Login FROM logins  WHERE Login IS NOT NULL AND TRIM(Login) != '';";

}  // namespace db

namespace old_db {

inline constexpr const char* create_main =
    "CREATE TABLE IF NOT EXISTS settings ( name      TEXT            NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, type      INTEGER                  DEFAULT 0, value     BLOB            NOT NULL DEFAULT x'');";

}  // namespace old_db

}  // namespace hx::settings
