#pragma once
// Statement texts of the call history database (schema version 14) and the steps that bring older
// files up to it. The texts are the ones every client writes; keep them byte for byte (blanks and
// tabs included).

#include <cstdint>
#include <map>
#include <vector>

namespace hx::lastCalls::db {

inline constexpr const char* create =
    "CREATE TABLE IF NOT EXISTS lastCalls  (   Type        INTEGER NOT NULL DEFAULT 0,   ConfType    INTEGER NOT NULL DEFAULT 0,   Peer        CHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE ,   ReadDone    BOOLEAN NOT NULL DEFAULT 0 ,   StartTime   INTEGER NOT NULL DEFAULT (strftime('%s', 'now')),    JoinTime INTEGER DEFAULT NULL,   EndTime     INTEGER NOT NULL DEFAULT (strftime('%s', 'now')),    ConfId  CHAR    DEFAULT \"\" COLLATE NOCASE,   NamedConfId   CHAR    DEFAULT NULL COLLATE NOCASE,   ConfName   CHAR    DEFAULT \"\" COLLATE NOCASE,   InitialState INTEGER NOT NULL DEFAULT 999,   State        INTEGER NOT NULL DEFAULT 999);";
inline constexpr const char* set_indexes_0 =
    "CREATE INDEX IF NOT EXISTS idx_0 ON lastCalls (StartTime DESC);";
inline constexpr const char* set_indexes_1 =
    "CREATE INDEX IF NOT EXISTS idx_1 ON lastCalls (State);";
inline constexpr const char* drop =
    "DROP TABLE IF EXISTS lastCalls;";
inline constexpr const char* check_active_invite_to_multi =
    "SELECT RowId     FROM lastCalls     WHERE (State == ? or State == ?) and (ConfId = ? or (NamedConfId = ? and ConfId = ''));";
inline constexpr const char* check_active_named_join_sent =
    "SELECT NamedConfId     FROM lastCalls     WHERE State == ? and Peer = '' and ConfId = ''    order by StartTime desc limit 1;";
inline constexpr const char* check_active_reqinvite =
    "SELECT RowId     FROM lastCalls     WHERE (State == ? or State == ?) and Peer = ? and ConfId = ''    order by StartTime desc limit 1;";
inline constexpr const char* clear =
    "DELETE FROM lastCalls;";
inline constexpr const char* complete_old_calls =
    "UPDATE lastCalls SET  State = ?, EndTime = CASE  WHEN JoinTime > EndTime THEN JoinTime  ELSE EndTime  END  WHERE State != ?";
inline constexpr const char* insert =
    "INSERT OR IGNORE INTO lastCalls\t(Type, ConfType, Peer, ReadDone, StartTime, EndTime, ConfId, NamedConfId, ConfName, InitialState, State)\tVALUES (?, ?, ?, 0, ?, ?, ?, ?, ?, ?, ?);";
inline constexpr const char* join =
    " UPDATE lastCalls SET    JoinTime = ?, State = ?    WHERE RowId = (SELECT RowId FROM lastCalls WHERE State != ? and ConfId = ? and Peer = ? order by rowid desc limit 1);";
inline constexpr const char* join_to_conf =
    "UPDATE lastCalls SET    JoinTime = ?, ConfId = ?, ConfName = ?, State = ?, NamedConfId = ?    WHERE State == ? and (NamedConfId = ? or NamedConfId = ? or (NamedConfId is null and ConfId = ?));";
inline constexpr const char* update_my_conf =
    "UPDATE lastCalls SET    JoinTime = ?, ConfId = ?, ConfName = ?, State = ?, NamedConfId = ?, Peer = ?    WHERE State == ? and (NamedConfId = ? or NamedConfId = ? or (NamedConfId is null and ConfId = ?));";
inline constexpr const char* join_to_my_conf =
    "INSERT OR IGNORE INTO lastCalls\t(Type, ConfType, Peer, ReadDone, StartTime, JoinTime, EndTime, ConfId, NamedConfId, ConfName, InitialState, State)\tVALUES (?, ?, ?, 0, ?, ?, ?, ?, null, ?, ?, ?);";
inline constexpr const char* finish =
    "UPDATE lastCalls SET   State = ?,   EndTime = CASE   WHEN JoinTime is not NULL THEN ?   ELSE EndTime   END,   Type = CASE   WHEN State in (?, ?, ?) and JoinTime is NULL THEN ?   ELSE Type   END   WHERE State != ? and (ConfId = ? or Peer = ? or NamedConfId = ?);";
inline constexpr const char* update_reqinvite =
    " UPDATE lastCalls SET    ConfId = ?, ConfName = ?, State = ?    WHERE lastCalls.rowid = ?;";
inline constexpr const char* update_state =
    " UPDATE lastCalls SET    State = ?    WHERE rowid = ?;";
inline constexpr const char* reject_incoming_reqinvite =
    "UPDATE lastCalls SET    Type = ?, ConfId = ?, State = ?    WHERE State = ? and Peer = ? and ConfId = '';";
inline constexpr const char* set_read_done =
    " UPDATE lastCalls SET    ReadDone = 1   WHERE  lastCalls.rowid = ? ;";
inline constexpr const char* set_read_done_all =
    " UPDATE lastCalls SET    ReadDone = 1 ;";
inline constexpr const char* set_read_done_for_peer =
    " UPDATE lastCalls SET    ReadDone = 1    WHERE Peer = ? ;";
inline constexpr const char* select_last_n =
    "SELECT rowid, Type, ConfType, Peer, ReadDone, StartTime, EndTime, CASE WHEN State != ? THEN ? ELSE EndTime - COALESCE(JoinTime, EndTime) END Duration, ConfId, COALESCE(NamedConfId, ConfId) NamedConfId,  ConfName, InitialState, State    FROM lastCalls    ORDER BY StartTime DESC LIMIT ?;";
inline constexpr const char* select_last_n_by_type =
    "SELECT rowid, Type, ConfType, Peer, ReadDone, StartTime, EndTime, CASE WHEN State != ? THEN ? ELSE EndTime - COALESCE(JoinTime, EndTime) END Duration, ConfId, COALESCE(NamedConfId, ConfId) NamedConfId, ConfName, InitialState, State    FROM lastCalls    WHERE ReadDone = ?   ORDER BY StartTime DESC LIMIT ?;";
inline constexpr const char* select_count =
    "SELECT Peer, count(*)   FROM lastCalls   WHERE Type = ?   GROUP BY Peer   ORDER BY Peer;";
inline constexpr const char* select_count_by_type =
    "SELECT Peer, count(*)   FROM lastCalls   WHERE ReadDone = ?   AND Type = ?   GROUP BY Peer   ORDER BY Peer;";

// Target version -> the statements that bring a file of the version below it up to it.
inline const std::map<uint32_t, std::vector<const char*>> upgrade = {
    {12,
     {"ALTER TABLE lastCalls ADD COLUMN ConfId CHAR DEFAULT \"\" COLLATE NOCASE;",
      "ALTER TABLE lastCalls ADD COLUMN ConfName CHAR DEFAULT \"\" COLLATE NOCASE;"}},
    {13,
     {"ALTER TABLE lastCalls ADD COLUMN JoinTime INTEGER DEFAULT NULL;",
      "ALTER TABLE lastCalls ADD COLUMN NamedConfId CHAR DEFAULT NULL COLLATE NOCASE;",
      "ALTER TABLE lastCalls ADD COLUMN State INTEGER NOT NULL DEFAULT 999;", set_indexes_1}},
    {14, {"ALTER TABLE lastCalls ADD COLUMN InitialState INTEGER NOT NULL DEFAULT 999;"}},
};

}  // namespace hx::lastCalls::db
