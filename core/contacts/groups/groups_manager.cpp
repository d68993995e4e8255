#include "core/contacts/groups/groups_manager.h"

#include <cppdb/errors.h>

HX_GroupsManager::HX_GroupsManager(const HX_GroupsManager&) : HX_GroupsDB() {}

HX_GroupsManager::~HX_GroupsManager() = default;

std::string HX_GroupsManager::GetStorageNameSuffix() const { return "groups.sqlite"; }

bool HX_GroupsManager::OpenDatabase(const char* peerId, const char* dir) {
  bool opened = false;
  try {
    opened = HXDBPeerBase::OpenDatabase(peerId, dir, HXDBBase::ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    // The recreation itself failed (an unwritable folder, a full disk): the file is unusable.
    opened = false;
  }
  if (!opened) return false;
  UpdateCache();
  return true;
}

void HX_GroupsManager::UpdateCache() {
  if (m_useCache.load()) {
    HXAutoLock hold(m_cacheLock);
    m_cache = GetGroups();
  }
  if (IsOpen()) groupsChanged.Emit();
}

bool HX_GroupsManager::AddToDB(int64_t groupId, const char* name, int64_t type, const char* peerId) {
  bool result = true;
  if (peerId == nullptr || !groupExists(groupId)) {
    result = CreateGroup(groupId, name, type);
    if (peerId == nullptr || !result) return result;
  }
  return AddPeer(peerId, groupId);
}

bool HX_GroupsManager::DelFromDB(int64_t groupId, const char* peerId) {
  const GroupIdSet ids = GetGroupsID();
  // Ids outside 32 bits are never read back, so they are never found here either.
  if (groupId < INT32_MIN || groupId > INT32_MAX || ids.count(static_cast<int32_t>(groupId)) == 0)
    return false;
  return peerId != nullptr ? DelPeer(peerId, groupId) : DeleteGroup(groupId);
}

bool HX_GroupsManager::Reset() {
  if (!DropGroups() || !DropPeers()) return false;
  try {
    return CreateTables();
  } catch (const cppdb::cppdb_error&) {
    // Reset runs on the thread that parses address-book answers, where nothing would catch it.
    return false;
  }
}

void HX_GroupsManager::SetUseCache(bool on) {
  const bool was = m_useCache.exchange(on);
  if (on && !was) UpdateCache();
  if (!on) ClearCache();
}

void HX_GroupsManager::ClearCache() {
  HXAutoLock hold(m_cacheLock);
  m_cache.clear();
}

HX_GroupsDB::GroupMap HX_GroupsManager::Groups() {
  if (m_useCache.load()) {
    HXAutoLock hold(m_cacheLock);
    return m_cache;
  }
  return GetGroups();
}

HX_GroupsDB::GroupIdSet HX_GroupsManager::GroupsID() {
  if (m_useCache.load()) {
    GroupIdSet ids;
    HXAutoLock hold(m_cacheLock);
    for (const auto& [id, group] : m_cache) ids.insert(ids.end(), id);
    return ids;
  }
  return GetGroupsID();
}

HX_GroupsDB::Group HX_GroupsManager::OneGroup(int64_t groupId) {
  if (m_useCache.load()) {
    HXAutoLock hold(m_cacheLock);
    const auto found = m_cache.find(static_cast<int32_t>(groupId));
    return found != m_cache.end() ? found->second : Group();
  }
  return GetGroup(groupId);
}
