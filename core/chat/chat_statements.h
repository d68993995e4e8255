#pragma once
// Statement texts of the chat database (schema version 13) that its creation, removal and
// upgrades run.

namespace hx::chat {

namespace historyDB {

inline constexpr const char* create_messages_table =
    "CREATE TABLE IF NOT EXISTS messages (MesTimeInt INTEGER NOT NULL DEFAULT 0, "
    "ChatID CHAR NOT NULL DEFAULT '' COLLATE NOCASE, Peer CHAR NOT NULL DEFAULT '' COLLATE NOCASE, "
    "Text TEXT NOT NULL DEFAULT '', IsCommon BOOLEAN NOT NULL DEFAULT 0, "
    "Outgoing BOOLEAN NOT NULL DEFAULT 0, SendDone BOOLEAN NOT NULL DEFAULT 0, "
    "ReadDone BOOLEAN NOT NULL DEFAULT 0, NotifyType INTEGER NOT NULL DEFAULT 0);";
inline constexpr const char* check_fts_table = "SELECT * FROM sqlite_master WHERE name='fts' AND type='table';";
inline constexpr const char* create_fts_table = "CREATE VIRTUAL TABLE fts USING fts4();";
inline constexpr const char* create_previews_table =
    "CREATE TABLE IF NOT EXISTS previews (Height     INTEGER NOT NULL DEFAULT 0,Width      INTEGER NOT NULL "
    "DEFAULT 0,Mimetype   CHAR,Picture    BLOB);";
inline constexpr const char* set_indexes_0 = "CREATE INDEX IF NOT EXISTS idx_0 ON messages (Peer ASC);";
inline constexpr const char* set_indexes_1 = "CREATE INDEX IF NOT EXISTS idx_1 ON messages (Peer, MesTimeInt DESC);";
inline constexpr const char* set_indexes_2 = "CREATE INDEX IF NOT EXISTS idx_2 ON messages (IsCommon DESC);";
inline constexpr const char* set_indexes_3 = "CREATE INDEX IF NOT EXISTS idx_3 ON messages (SendDone DESC, Peer ASC);";
inline constexpr const char* set_indexes_4 = "CREATE INDEX IF NOT EXISTS idx_4 ON messages (ReadDone DESC, Peer ASC);";
inline constexpr const char* set_indexes_5 =
    "CREATE INDEX IF NOT EXISTS idx_5 ON messages (ChatID, IsCommon, MesTimeInt DESC);";
inline constexpr const char* drop_previews = "DROP TABLE IF EXISTS previews;";
inline constexpr const char* drop_fts = "DROP TABLE IF EXISTS fts;";
inline constexpr const char* drop_messages = "DROP TABLE IF EXISTS messages;";

namespace upd_v10_v11 {
inline constexpr const char* check_db_v10 = "SELECT MesTime from messages LIMIT 1;";
}  // namespace upd_v10_v11

namespace upd_v11_v12 {
inline constexpr const char* check_db_v11 = "SELECT MesTimeInt from messages LIMIT 1;";
}  // namespace upd_v11_v12

namespace upd_v12_v13 {
inline constexpr const char* drop_uploads = "DROP TABLE IF EXISTS uploads;";
}  // namespace upd_v12_v13

}  // namespace historyDB

namespace pagesDB {

inline constexpr const char* create =
    "CREATE TABLE IF NOT EXISTS pages (PageId CHAR NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, "
    "Title CHAR DEFAULT '', IsCommon BOOLEAN NOT NULL DEFAULT 0, LastShowTimeInt INTEGER NOT NULL DEFAULT 0);";
inline constexpr const char* set_indexes_0 = "CREATE INDEX IF NOT EXISTS idx_0 ON pages (PageId ASC)";
inline constexpr const char* set_indexes_1 = "CREATE INDEX IF NOT EXISTS idx_1 ON pages (LastShowTimeInt DESC)";
inline constexpr const char* drop = "DROP TABLE IF EXISTS pages ;";

}  // namespace pagesDB

namespace attribDB {

inline constexpr const char* create_attrib_directory_table =
    "CREATE TABLE IF NOT EXISTS attrib_directory (AttribId INTEGER NOT NULL DEFAULT 0 PRIMARY KEY, "
    "AttribName CHAR NOT NULL DEFAULT '' UNIQUE);";
inline constexpr const char* create_attributes_table =
    "CREATE TABLE IF NOT EXISTS attributes (AttribId INTEGER NOT NULL DEFAULT 0, "
    "MessageId INTEGER NOT NULL DEFAULT 0, ValueType CHAR(1) NOT NULL DEFAULT 'U', Value);";
inline constexpr const char* set_indexes_attributes_0 =
    "CREATE INDEX IF NOT EXISTS idx_attr_0 ON attributes (MessageId ASC);";
inline constexpr const char* set_indexes_attributes_1 =
    "CREATE INDEX IF NOT EXISTS idx_attr_1 ON attributes (AttribId ASC);";
inline constexpr const char* drop_attributes = "DROP TABLE IF EXISTS attributes;";
inline constexpr const char* drop_attrib_directory = "DROP TABLE IF EXISTS attrib_directory;";

}  // namespace attribDB

}  // namespace hx::chat
