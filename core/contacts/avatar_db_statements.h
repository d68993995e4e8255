#pragma once
// Statement texts of the avatar database (schema version 11). The texts are the ones every client
// writes; keep them byte for byte (the two blanks after WHERE included).

namespace hx::contacts::db {

inline constexpr const char* create =
    "CREATE TABLE IF NOT EXISTS \"avatars\" (\"PeerId\" CHAR PRIMARY KEY NOT NULL UNIQUE COLLATE NOCASE, \"PicMime\" CHAR NOT NULL DEFAULT \"\", \"Pic\" BLOB NOT NULL DEFAULT x'', \"PicHash\" INTEGER NOT NULL DEFAULT 0, \"PicSize\" INTEGER NOT NULL DEFAULT 0, \"LastWrite\" INTEGER NOT NULL DEFAULT 0, \"LastRead\" INTEGER NOT NULL DEFAULT 0)";
inline constexpr const char* create_thumbnails =
    "CREATE TABLE IF NOT EXISTS \"thumbnails\" (\"PeerId\" CHAR NOT NULL COLLATE NOCASE, \"Pic\" BLOB NOT NULL DEFAULT x'', \"PicWidth\" INTEGER NOT NULL DEFAULT 0, \"PicHeight\" INTEGER NOT NULL DEFAULT 0, \"PicSize\" INTEGER NOT NULL DEFAULT 0, \"LastWrite\" INTEGER NOT NULL DEFAULT 0, \"LastRead\" INTEGER NOT NULL DEFAULT 0, UNIQUE (\"PeerId\", \"PicWidth\", \"PicHeight\") ON CONFLICT REPLACE);";
inline constexpr const char* drop =
    "DROP TABLE IF EXISTS \"avatars\";";
inline constexpr const char* drop_thumbnails =
    "DROP TABLE IF EXISTS \"thumbnails\";";
inline constexpr const char* index_search =
    "CREATE INDEX IF NOT EXISTS \"search\" ON \"avatars\" (\"PeerId\" ASC)";
inline constexpr const char* index_search_thumbnails =
    "CREATE INDEX IF NOT EXISTS \"thumbhash\" ON \"thumbnails\" (\"PeerId\" ASC)";
inline constexpr const char* insert_avatar =
    "INSERT OR IGNORE INTO \"main\".\"avatars\" (\"PeerId\") VALUES (?);";
inline constexpr const char* insert_thumbnail =
    "INSERT OR IGNORE INTO \"main\".\"thumbnails\" (\"PeerId\", \"PicWidth\", \"PicHeight\") VALUES (?, ?, ?);";
inline constexpr const char* update_avatar =
    "UPDATE \"main\".\"avatars\" SET \"PicMime\"=?, \"Pic\"=?, \"PicHash\"=?, \"PicSize\"=?, \"LastWrite\"=?, \"LastRead\"=? WHERE  \"PeerId\"=?;";
inline constexpr const char* update_avatar_empty_picture =
    "UPDATE \"main\".\"avatars\" SET \"PicMime\"=\"\", \"Pic\"=x'', \"PicHash\"=?, \"PicSize\"=0, \"LastWrite\"=?, \"LastRead\"=? WHERE  \"PeerId\"=?;";
inline constexpr const char* update_thumbnail =
    "UPDATE \"main\".\"thumbnails\" SET \"Pic\"=?, \"PicSize\"=?, \"LastWrite\"=?, \"LastRead\"=? WHERE  \"PeerId\"=? AND \"PicWidth\"=? AND \"PicHeight\"=?;";
inline constexpr const char* update_avatar_access_time =
    "UPDATE \"main\".\"avatars\" SET \"LastRead\"=? WHERE  \"PeerId\"=?;";
inline constexpr const char* update_avatar_write_time =
    "UPDATE \"main\".\"avatars\" SET \"LastWrite\"=? WHERE  \"PeerId\"=?;";
inline constexpr const char* update_thumbnail_access_time =
    "UPDATE \"main\".\"thumbnails\" SET \"LastRead\"=? WHERE  \"PeerId\"=? AND \"PicWidth\"=? AND \"PicHeight\"=?;";
inline constexpr const char* update_thumbnails_write_time =
    "UPDATE \"main\".\"thumbnails\" SET \"LastWrite\"=? WHERE  \"PeerId\"=?";
inline constexpr const char* get_avatar =
    "SELECT PicMime,Pic,PicHash,PicSize,LastWrite FROM \"main\".\"avatars\" WHERE \"PeerId\"=? AND \"PicSize\"<?;";
inline constexpr const char* get_thumbnail =
    "SELECT Pic,PicWidth,PicHeight,PicSize,LastWrite FROM \"main\".\"thumbnails\" WHERE \"PeerId\"=? AND \"PicWidth\"=? AND \"PicHeight\"=?;";
inline constexpr const char* get_avatar_hash =
    "SELECT PicHash FROM \"main\".\"avatars\" WHERE  \"PeerId\"=?;";
inline constexpr const char* delete_avatar =
    "DELETE FROM \"main\".\"avatars\" WHERE  \"PeerId\"=?;";
inline constexpr const char* delete_thumbnail =
    "DELETE FROM \"main\".\"thumbnails\" WHERE  \"PeerId\"=? AND \"PicWidth\"=? AND \"PicHeight\"=?;";
inline constexpr const char* delete_all_thumbnail =
    "DELETE FROM \"main\".\"thumbnails\" WHERE  \"PeerId\"=?;";
inline constexpr const char* clear_avatars =
    "DELETE FROM \"main\".\"avatars\" WHERE ? - \"LastRead\" > 1209600;";
inline constexpr const char* clear_thumbnails =
    "DELETE FROM \"main\".\"thumbnails\" WHERE ? - \"LastRead\" > 1209600;";

}  // namespace hx::contacts::db
