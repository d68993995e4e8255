#pragma once
// HX_GroupsDB: the per-user database of the address book's contact groups, schema version 2.
// Table "groups" holds each group's id (from the server), name and type; table "id_list" one row
// per membership of a peer in a group (a membership added twice is stored twice and read once).
// The file name comes from the derived HX_GroupsManager.
//
// Every operation answers false, an empty collection or the default group while the database is
// closed, without touching it. A database error ends an operation with false, or with what a
// reader had collected before it. Rows of a file that this class did not write are read
// defensively: a row whose group id is NULL or outside 32 bits is skipped (no 32-bit id could
// name it), a NULL name reads as empty, a NULL type as 0, a NULL member is skipped.
//
// Thread safety: as HXDBBase; every operation runs its statements in one session under the
// object's lock.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "core/storage/db_peer_base.h"

class HX_GroupsDB : public HXDBPeerBase {
 public:
  static constexpr int kSchemaVersion = 2;

  // One group as the database and the manager hand it out.
  struct Group {
    bool m_isEmpty = true;  // no members, or not found
    int32_t m_groupId = -1;
    std::string m_groupName;
    int32_t m_groupType = -1;
    std::set<std::string> m_peers;  // byte-wise order

    bool operator==(const Group&) const = default;
  };
  using GroupMap = std::map<int32_t, Group>;
  using GroupIdSet = std::set<int32_t>;

  HX_GroupsDB();
  ~HX_GroupsDB() override = default;

  // Creates the group or, when it exists, gives it the new name and type. A null or empty name
  // becomes the id written in decimal.
  bool CreateGroup(int64_t groupId, const char* name, int64_t type);
  // Deletes the group, then its memberships; when the first step fails the memberships stay.
  bool DeleteGroup(int64_t groupId);
  bool DropGroups();
  bool DropPeers();
  // Adds one membership row (also for a group that does not exist).
  bool AddPeer(const char* peerId, int64_t groupId);
  // Removes every row of that membership.
  bool DelPeer(const char* peerId, int64_t groupId);

  GroupIdSet GetGroupsID();
  // Every group with its members, keyed by id.
  GroupMap GetGroups();
  // The group with its members; the default Group (empty, id -1, type -1) when there is none or
  // the id does not fit 32 bits.
  Group GetGroup(int64_t groupId);
  bool groupExists(int64_t groupId);

  // Creates both tables and the index and writes the version, in one transaction. A database
  // error is thrown on to the caller (cppdb::cppdb_error).
  bool CreateTables();
  bool Create() override;
  // DropGroups, then DropPeers when that succeeded; true when both did.
  bool Drop() override;

 protected:
  // Adds the members of `group` (by its id) to its member set and sets its empty flag.
  void getPeersList(const HXDBBaseSessionLock& held, Group& group);
};
