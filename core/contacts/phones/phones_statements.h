#pragma once
// Statement texts of the phones database ("phones.sqlite"): one row per phone entry of the
// address book's phones book.

namespace hx::phones {

inline constexpr const char* create_phones =
    "CREATE TABLE IF NOT EXISTS \"phones\" (\"PhoneId\" CHAR PRIMARY KEY NOT NULL UNIQUE COLLATE NOCASE,"
    "\"PeerId\" CHAR NOT NULL DEFAULT \"\",\"Phone\" CHAR NOT NULL DEFAULT \"\",\"Type\" INTEGER NOT NULL "
    "DEFAULT 0,\"Editable\" INTEGER NOT NULL DEFAULT 0)";
inline constexpr const char* index_phone_list =
    "CREATE INDEX IF NOT EXISTS \"peer_id_phones\" ON \"phones\" (\"PeerId\" ASC);";
inline constexpr const char* drop_phones = "DROP TABLE IF EXISTS \"phones\";";
inline constexpr const char* insert_phone =
    "INSERT OR IGNORE INTO \"main\".\"phones\"(\"PhoneId\") VALUES (?);";
inline constexpr const char* update_phone =
    " UPDATE \"main\".\"phones\" SET \"PeerId\"=?,\"Phone\"=?,\"Type\"=?,\"Editable\"=? WHERE  "
    "\"PhoneId\"=?;";
inline constexpr const char* delete_phone = "DELETE FROM \"main\".\"phones\" WHERE \"PhoneId\"=?;";
inline constexpr const char* del_phone = delete_phone;
inline constexpr const char* get_peer_phones = "SELECT * FROM \"main\".\"phones\" WHERE \"PeerId\"=?;";
inline constexpr const char* get_phone_description = "SELECT * FROM \"main\".\"phones\" WHERE \"PhoneId\"=?;";

}  // namespace hx::phones
