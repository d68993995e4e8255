#include "core/storage/db_manager.h"

#include <cppdb/errors.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>

#include "core/chat/chat_db.h"
#include "core/storage/backup_files.h"
#include "core/storage/db_peer_base.h"
#include "core/storage/restore_staging.h"
#include "core/storage/settings_db.h"

using hx::backup::ensureLastSlash;
using hx::backup::joinPath;

HX_DBManager* HX_DBManager::m_instance = nullptr;

namespace {

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string WithLastSlash(std::string path) {
  ensureLastSlash(path);
  return path;
}

// Copies into a folder that is the live one would delete the live files first.
bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

// Opens a fresh target for a copy in mode Recreate: the class's empty schema, no journal.
bool CreateEmptyCopy(HXDBBase& copy, const std::string& dir, const std::string& peer) {
  try {
    bool ok = false;
    if (peer.empty()) {
      ok = copy.OpenDatabase(dir.c_str(), HXDBBase::Recreate);
    } else {
      auto* peer_copy = dynamic_cast<HXDBPeerBase*>(&copy);
      ok = peer_copy != nullptr && peer_copy->OpenDatabase(peer.c_str(), dir.c_str(), HXDBBase::Recreate);
    }
    return ok && copy.TuneUpForBackup();
  } catch (const cppdb::cppdb_error&) {
    return false;
  }
}

}  // namespace

HX_DBManager::BfInfo::BfInfo(uint32_t type, std::string fileName, int64_t size, std::string peerId)
    : type(type), fileName(std::move(fileName)), size(size), peerId(std::move(peerId)) {}

HX_DBManager* HX_DBManager::instance() {
  std::lock_guard<std::mutex> guard(InstanceMutex());
  if (m_instance == nullptr) m_instance = new HX_DBManager();
  return m_instance;
}

HX_DBManager* HX_DBManager::existing() {
  std::lock_guard<std::mutex> guard(InstanceMutex());
  return m_instance;
}

void HX_DBManager::destroy(HX_DBManager* manager) {
  {
    std::lock_guard<std::mutex> guard(InstanceMutex());
    if (manager == nullptr || manager != m_instance) return;
    m_instance = nullptr;
  }
  manager->Lock();  // waits for a backup or restore that is still running
  manager->Unlock();
  delete manager;
}

bool HX_DBManager::openSettingsDB(HX_SettingsDB* db, const char* dir) {
  if (db == nullptr) return false;
  HXAutoLock hold(*this);
  try {
    return db->OpenDatabase(dir, HXDBBase::ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    return false;
  }
}

bool HX_DBManager::backupDB(HXDBBase* db, const std::string& dir) {
  return db != nullptr && copyDatabase(*db, dir, "");
}

bool HX_DBManager::backupDBPeer(HXDBPeerBase* db, const std::string& dir) {
  if (db == nullptr) return false;
  const std::string peer = db->PeerId();
  return !peer.empty() && copyDatabase(*db, dir, peer);
}

bool HX_DBManager::copyDatabase(HXDBBase& db, const std::string& dir, const std::string& peer) {
  HXAutoLock hold(*this);
  const std::string folder = WithLastSlash(dir);
  HXDBBase::DeleteDatabaseFiles(joinPath(folder, db.GetStorageFSName()));
  std::unique_ptr<HXDBBase> copy(db.createInstance());
  if (copy == nullptr) return false;
  const bool created = CreateEmptyCopy(*copy, folder, peer);
  copy.reset();
  return created && db.backup(folder);
}

bool HX_DBManager::addBListEntry(BfInfoList& entries, const std::string& dir, uint32_t type,
                                 const std::string& fileName, const std::string& peerId) {
  // The description separates fields with spaces and entries with line ends: a name holding
  // either could not be read back.
  const char* separators = " \n\r";
  if (fileName.find_first_of(separators) != std::string::npos ||
      peerId.find_first_of(separators) != std::string::npos) {
    return false;
  }
  const int64_t size = hx::backup::getFileSize(joinPath(dir, fileName));
  if (size < 0) return false;
  entries.emplace_back(type, fileName, size, peerId);
  return true;
}

bool HX_DBManager::backup(const std::string& backupDir, const std::string& dbDir,
                          std::vector<std::string>& files, HX_SettingsDB* settings, HX_ChatDB* chat) {
  HXAutoLock hold(*this);
  const std::string dir = WithLastSlash(backupDir);
  const std::string live = WithLastSlash(dbDir);
  if (SameFolder(dir, live)) return false;

  std::unique_ptr<HX_SettingsDBFile> own_settings;
  if (settings == nullptr || !settings->IsOpen()) {
    own_settings = std::make_unique<HX_SettingsDBFile>();
    if (!own_settings->OpenDatabase(live.c_str(), HXDBBase::ReadWrite)) return false;
    settings = own_settings.get();
  }
  std::set<std::string> logins;
  settings->GetSavedLogins(logins);

  BfInfoList entries;
  if (!backupDB(settings, dir) ||
      !addBListEntry(entries, dir, kSettingsEntry, settings->GetStorageFSName(), "")) {
    return false;
  }
  if (chat != nullptr && chat->IsOpen() && backupDBPeer(chat, dir)) {
    const std::string peer = chat->PeerId();
    addBListEntry(entries, dir, kChatEntry, chat->GetStorageFSName(), peer);
    logins.erase(peer);
  }
  if (!logins.empty()) {
    HX_ChatDB saved_chat;
    for (const std::string& login : logins) {
      if (saved_chat.OpenDatabase(login.c_str(), live.c_str(), HXDBBase::ReadWrite) &&
          backupDBPeer(&saved_chat, dir)) {
        addBListEntry(entries, dir, kChatEntry, saved_chat.GetStorageFSName(), saved_chat.PeerId());
      }
      saved_chat.Close();
    }
  }
  if (!genBackupInfo(dir, entries)) return false;

  for (const BfInfo& entry : entries) files.push_back(entry.fileName);
  files.push_back(hx::backup::BinfoFilename);
  return true;
}

bool HX_DBManager::restore(const std::string& dbDir, const std::string& backupDir) {
  HXAutoLock hold(*this);
  const std::string live = WithLastSlash(dbDir);
  const std::string source = WithLastSlash(backupDir);
  uint32_t version = 0;
  BfInfoList entries;
  if (!readBackupInfo(source, version, entries)) return false;

  // Every copy is rebuilt aside first; only then do the live files change. A restore killed in
  // the middle left its staging folder, a partial copy, behind; no restore runs now but this one.
  RestoreStaging::removeStale(live);
  RestoreStaging staging(live);
  if (!staging.created()) return false;
  std::vector<std::string> staged;
  for (const BfInfo& entry : entries) {
    std::string name;
    if (!restoreEntry(entry, source, staging.path(), name)) return false;
    staged.push_back(name);
  }
  for (const std::string& name : staged) {
    if (!staging.replaceLive(name)) return false;
  }
  return true;
}

bool HX_DBManager::restoreEntry(const BfInfo& entry, const std::string& backupDir,
                                const std::string& stagingDir, std::string& fileName) {
  // The file opened follows from the class (settings) or the peer id (chat), not from the
  // recorded file name, which only served the size check.
  if (entry.type == kSettingsEntry) {
    HX_SettingsDBFile settings;
    if (!settings.OpenDatabase(backupDir.c_str(), HXDBBase::ReadWrite)) return false;
    fileName = settings.GetStorageFSName();
    return backupDB(&settings, stagingDir);
  }
  HX_ChatDB chat;
  if (!chat.OpenDatabase(entry.peerId.c_str(), backupDir.c_str(), HXDBBase::ReadWrite)) return false;
  fileName = chat.GetStorageFSName();
  return backupDBPeer(&chat, stagingDir);
}
