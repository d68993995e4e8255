#pragma once
// HX_GroupsManager: the client's contact groups, "<MD5 of the peer id>.groups.sqlite", with the
// update rules of a groups answer from the address book, an optional in-memory copy of all
// groups and a change signal.
//
// A groups answer is applied as Reset (both tables emptied), one AddToDB per group and per
// membership, then UpdateCache, which refreshes the copy (when caching is on) and emits
// groupsChanged. While caching is off every read goes to the database.
//
// Thread safety: every operation may be called from any thread. The database operations
// serialise on the database object's own lock; the copy has a lock of its own, which UpdateCache
// holds while it reads the database, so the order is the cache lock, then the database lock.
// groupsChanged is emitted on the thread that calls UpdateCache (or OpenDatabase), without a lock.

#include <atomic>
#include <cstdint>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/contacts/groups/groups_db.h"

class HX_GroupsManager : public HX_GroupsDB {
 public:
  HX_GroupsManager() = default;
  // A copy takes nothing from its source: it is a new, closed manager with caching off, an empty
  // copy of the groups and no listeners.
  HX_GroupsManager(const HX_GroupsManager&);
  HX_GroupsManager& operator=(const HX_GroupsManager&) = delete;
  ~HX_GroupsManager() override;

  std::string GetStorageNameSuffix() const override;

  // Opens (or creates) the user's file read-write, recreating a damaged one, then UpdateCache.
  // False for a null or empty peer and when the file can be neither opened nor created (a
  // database error of the recreation is answered as false, never thrown).
  bool OpenDatabase(const char* peerId, const char* dir);
  // With caching on, replaces the copy by the database's groups; then, when the database is
  // open, emits groupsChanged.
  void UpdateCache();
  // One group of an answer. Without a peer: creates the group or renames and retypes it. With a
  // peer: creates the group first when it does not exist (false, and no membership, when that
  // fails), then adds the membership; an existing group keeps its name and type.
  bool AddToDB(int64_t groupId, const char* name, int64_t type, const char* peerId);
  // False when the group is not in the database; else removes the membership (with a peer) or
  // the group with all its memberships.
  bool DelFromDB(int64_t groupId, const char* peerId);
  // Drops and recreates both tables, emptying them. False when the database is closed or any
  // step fails; a database error is answered, never thrown, and the next answer's Reset builds
  // the tables again.
  bool Reset();

  // Switching caching on fills the copy (UpdateCache); switching it off, even when it was off
  // already, empties it.
  void SetUseCache(bool on);
  void ClearCache();

  // From the copy when caching is on, else from the database.
  GroupMap Groups();
  GroupIdSet GroupsID();
  // The group whose id equals `groupId` taken as 32 bits; the default Group when there is none.
  Group OneGroup(int64_t groupId);

  // No arguments: listeners reread the groups with Groups().
  hx::Signal0<void> groupsChanged;

 private:
  std::atomic<bool> m_useCache{false};
  GroupMap m_cache;
  HXLock m_cacheLock;
};
