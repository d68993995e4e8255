#pragma once
// Statement texts of the address-book cache database (schema version 11). The texts are the ones
// every client writes; keep them byte for byte.

namespace hx::cache {

inline constexpr const char* create =
    "CREATE TABLE IF NOT EXISTS \"peers\" (\"PeerId\" CHAR PRIMARY KEY NOT NULL UNIQUE COLLATE NOCASE,\"DisplayName\" CHAR NOT NULL DEFAULT \"\",\"ContactList\" INTEGER NOT NULL DEFAULT 0,\"BanList\" INTEGER NOT NULL DEFAULT 0,\"LastUpdate\" INTEGER NOT NULL DEFAULT 0)";
inline constexpr const char* drop =
    "DROP TABLE IF EXISTS \"peers\";";
inline constexpr const char* create_hash =
    "CREATE TABLE IF NOT EXISTS \"hash\" (\"BookId\" INTEGER PRIMARY KEY NOT NULL DEFAULT 0,\"BookHash\" INTEGER DEFAULT 0,\"BookCrc\" INTEGER DEFAULT 0)";
inline constexpr const char* drop_hash =
    "DROP TABLE IF EXISTS \"hash\";";
inline constexpr const char* index_contacts =
    "CREATE INDEX IF NOT EXISTS \"contacts\" ON \"peers\" (\"ContactList\" ASC)";
inline constexpr const char* index_bans =
    "CREATE INDEX IF NOT EXISTS \"bans\" ON \"peers\" (\"BanList\" ASC)";
inline constexpr const char* insert_contact =
    "INSERT OR IGNORE INTO \"main\".\"peers\"(\"PeerId\",\"DisplayName\",\"ContactList\",\"LastUpdate\") VALUES (?, ?, ?, ?);";
inline constexpr const char* update_contact =
    " UPDATE \"main\".\"peers\" SET \"DisplayName\"=?,\"ContactList\"=?,\"LastUpdate\"=? WHERE  \"PeerId\"=?;";
inline constexpr const char* del_contact =
    "UPDATE \"main\".\"peers\" SET \"ContactList\"=0,\"LastUpdate\"=? WHERE \"PeerId\"=?;";
inline constexpr const char* del_contact_clear =
    "DELETE FROM \"main\".\"peers\" WHERE PeerId=? and ContactList=0 and BanList=0;";
inline constexpr const char* insert_ban =
    "INSERT OR IGNORE INTO \"main\".\"peers\"(\"PeerId\",\"DisplayName\",\"BanList\",\"LastUpdate\")VALUES (?, ?, 1, ?);";
inline constexpr const char* update_ban =
    "UPDATE \"main\".\"peers\" SET \"BanList\"=1,\"LastUpdate\"=? WHERE \"PeerId\"=?;";
inline constexpr const char* del_ban =
    "UPDATE \"main\".\"peers\" SET \"BanList\"=0,\"LastUpdate\"=? WHERE \"PeerId\"=?;";
inline constexpr const char* del_ban_dn =
    "UPDATE \"main\".\"peers\" SET \"BanList\"=0,\"LastUpdate\"=?,\"DisplayName\"=? WHERE \"PeerId\"=?;";
inline constexpr const char* insert_cache =
    "INSERT OR IGNORE INTO \"main\".\"peers\"(\"PeerId\",\"DisplayName\",\"LastUpdate\")VALUES (?, ?, ?);";
inline constexpr const char* update_cache =
    "UPDATE \"main\".\"peers\" SET \"DisplayName\"=?,\"LastUpdate\"=? WHERE \"PeerId\"=? AND \"ContactList\"=0;";
inline constexpr const char* get_cache =
    "SELECT PeerId,DisplayName,ContactList,BanList FROM \"main\".\"peers\";";
inline constexpr const char* reset_ab =
    "UPDATE \"main\".\"peers\" SET \"ContactList\"=0;";
inline constexpr const char* reset_ban =
    "UPDATE \"main\".\"peers\" SET \"BanList\"=0;";
inline constexpr const char* clear_cache =
    "DELETE FROM main.peers WHERE ContactList=0 AND BanList=0 AND  (? - LastUpdate) > 2592000;";
inline constexpr const char* insert_hash =
    "INSERT OR IGNORE INTO \"main\".\"hash\"(\"BookId\",\"BookHash\")VALUES (?, ?);";
inline constexpr const char* update_hash =
    "UPDATE \"main\".\"hash\" SET \"BookHash\"=? WHERE \"BookId\"=?;";
inline constexpr const char* insert_crc =
    "INSERT OR IGNORE INTO \"main\".\"hash\"(\"BookId\",\"BookCrc\")VALUES (?, ?);";
inline constexpr const char* update_crc =
    "UPDATE \"main\".\"hash\" SET \"BookCrc\"=? WHERE \"BookId\"=?;";
inline constexpr const char* get_all_hash =
    "SELECT \"BookId\", \"BookHash\" FROM \"main\".\"hash\";";
inline constexpr const char* get_all_crc =
    "SELECT \"BookId\", \"BookCrc\" FROM \"main\".\"hash\";";

}  // namespace hx::cache
