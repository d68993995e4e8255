#pragma once
// Statement texts of the groups database ("groups.sqlite"): the groups with their names and
// types, and one row per membership of a peer in a group.

namespace hx::groups {

inline constexpr const char* create_groups =
    "CREATE TABLE IF NOT EXISTS groups ( GroupId INTEGER PRIMARY KEY NOT NULL UNIQUE DEFAULT 0, GroupName "
    "CHAR "
    "NOT NULL DEFAULT \"\", GroupType INTEGER NOT NULL DEFAULT 0 )";
inline constexpr const char* drop_groups = "DROP TABLE IF EXISTS groups ;";
inline constexpr const char* insert_group = "INSERT OR IGNORE INTO groups  (GroupId) VALUES (?);";
inline constexpr const char* update_group = "UPDATE groups SET  GroupName=?, GroupType=? WHERE  GroupId=?;";
inline constexpr const char* delete_group = "DELETE FROM groups WHERE GroupId=?;";
inline constexpr const char* get_group_description =
    "SELECT GroupName, GroupType FROM groups WHERE GroupId=?;";
inline constexpr const char* get_group_list = "SELECT GroupId, GroupName, GroupType FROM groups;";
inline constexpr const char* get_group_id_list = "SELECT GroupId FROM groups;";
inline constexpr const char* create_contact_list =
    "CREATE TABLE IF NOT EXISTS id_list ( GroupId INTEGER NOT NULL DEFAULT 0, PeerId CHAR NOT NULL DEFAULT "
    "\"\")";
inline constexpr const char* drop_contact_list = "DROP TABLE IF EXISTS id_list;";
inline constexpr const char* add_contact_list =
    "INSERT OR IGNORE INTO id_list (GroupId, PeerId) VALUES (?, ?);";
inline constexpr const char* del_contact_list = "DELETE FROM id_list WHERE GroupId=? AND PeerId=?;";
inline constexpr const char* del_group_list = "DELETE FROM id_list WHERE GroupId=?;";
inline constexpr const char* index_contact_list =
    "CREATE INDEX IF NOT EXISTS group_id_list ON id_list (GroupId ASC);";
inline constexpr const char* get_contact_list = "SELECT PeerId FROM id_list WHERE GroupId=?;";

}  // namespace hx::groups
