#pragma once
// The database manager: the global database lock, the opening of the settings database, and the
// backup and restore of the settings and chat databases.
//
// A backup folder holds one copy of each database file under the live file-system name, plus the
// description file "bpinfo.db": a header line "HXbpinfo <version> <count>", one line per copy
// "<type> <file name> <size>[ <peer id>]" (type 1 the settings, 2 a user's chat database), and the
// CRC-32 of the entry lines (without their line ends) in decimal. Lines end with one LF.
//
// Thread safety: backup, restore and openSettingsDB hold the global lock for their whole run; every
// user's database opens under it too. Take it before any database's own lock, never after.

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/lock.h"

class HXDBBase;
class HXDBPeerBase;
class HX_SettingsDB;
class HX_ChatDB;

namespace hx::backup {

inline constexpr const char* BinfoFilename = "bpinfo.db";
inline constexpr const char* BinfoSign = "HXbpinfo";
inline constexpr uint32_t BinfoVersion = 1;

}  // namespace hx::backup

class HX_DBManager : public HXLock {
 public:
  enum EntryType : uint32_t { kSettingsEntry = 1, kChatEntry = 2 };

  // One copy listed in a backup description.
  struct BfInfo {
    BfInfo(uint32_t type, std::string fileName, int64_t size, std::string peerId);
    uint32_t type;
    std::string fileName;  // inside the backup folder, no directory
    int64_t size;
    std::string peerId;  // empty for the settings database
  };
  using BfInfoList = std::vector<BfInfo>;

  // The single manager, created on the first call.
  static HX_DBManager* instance();
  // The single manager when one exists, else null; never creates it.
  static HX_DBManager* existing();
  // Deletes `manager` when it is the single one (after waiting for a current holder of its lock).
  static void destroy(HX_DBManager* manager);
  HXLock& getLock() { return *this; }

  // Opens `db` in `dir` read-write, recreating the file when it cannot be used as it is.
  bool openSettingsDB(HX_SettingsDB* db, const char* dir);
  // Copies the settings database (opened from `dbDir` when `settings` is null or closed), the
  // open chat database `chat` (may be null) and the chat database of every saved login into
  // `backupDir`, then writes the description. On success appends the names of the written files,
  // "bpinfo.db" last, to `files`. Chat databases that cannot be copied are left out.
  bool backup(const std::string& backupDir, const std::string& dbDir, std::vector<std::string>& files,
              HX_SettingsDB* settings, HX_ChatDB* chat);
  // Checks the description in `backupDir` and replaces the live databases in `dbDir` with the
  // copies it lists. The live files change only when every copy could be rebuilt.
  bool restore(const std::string& dbDir, const std::string& backupDir);

  // Steps of backup and restore.
  bool backupDB(HXDBBase* db, const std::string& dir);
  bool backupDBPeer(HXDBPeerBase* db, const std::string& dir);
  static bool addBListEntry(BfInfoList& entries, const std::string& dir, uint32_t type,
                            const std::string& fileName, const std::string& peerId);
  static bool genBackupInfo(const std::string& dir, const BfInfoList& entries);
  static bool readBackupInfo(const std::string& dir, uint32_t& version, BfInfoList& entries);
  static bool parseFileLine(const std::string& line, BfInfoList& entries);

 private:
  HX_DBManager() = default;
  // backupDB and backupDBPeer: a fresh target of the same class in `dir` (for `peer` when not
  // empty), then every table copied into it.
  bool copyDatabase(HXDBBase& db, const std::string& dir, const std::string& peer);
  bool restoreEntry(const BfInfo& entry, const std::string& backupDir, const std::string& stagingDir,
                    std::string& fileName);

  static HX_DBManager* m_instance;
};
