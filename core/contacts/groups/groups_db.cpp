#include "core/contacts/groups/groups_db.h"

#include <cppdb/frontend.h>

#include <limits>
#include <utility>
#include <vector>

#include "core/contacts/groups/groups_statements.h"
#include "core/storage/db_guard.h"

namespace {

// The group id of the current row's `column` when it is present and fits 32 bits.
bool FetchGroupId(cppdb::result& row, int column, int32_t& id) {
  long long value = 0;
  if (!row.fetch(column, value)) return false;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return false;
  id = static_cast<int32_t>(value);
  return true;
}

// The type is kept in 32 bits as the server's value; a NULL reads as the column's default.
int32_t FetchGroupType(cppdb::result& row, int column) {
  long long value = 0;
  if (!row.fetch(column, value)) value = 0;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

std::string FetchText(cppdb::result& row, int column) {
  std::string text;
  if (!row.fetch(column, text)) text.clear();
  return text;
}

}  // namespace

HX_GroupsDB::HX_GroupsDB() : HXDBPeerBase(kSchemaVersion, "HX_GroupsDB") {}

bool HX_GroupsDB::CreateGroup(int64_t groupId, const char* name, int64_t type) {
  if (!IsOpen()) return false;
  const std::string group_name =
      name != nullptr && *name != '\0' ? std::string(name) : std::to_string(groupId);
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::groups::insert_group << static_cast<long long>(groupId) << cppdb::exec;
    *held << hx::groups::update_group << group_name << static_cast<long long>(type)
          << static_cast<long long>(groupId) << cppdb::exec;
  });
}

bool HX_GroupsDB::DeleteGroup(int64_t groupId) {
  if (!IsOpen()) return false;
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::groups::delete_group << static_cast<long long>(groupId) << cppdb::exec;
    *held << hx::groups::del_group_list << static_cast<long long>(groupId) << cppdb::exec;
  });
}

bool HX_GroupsDB::DropGroups() {
  if (!IsOpen()) return false;
  return DB_GUARD_CALL([&] { *Session() << hx::groups::drop_groups << cppdb::exec; });
}

bool HX_GroupsDB::DropPeers() {
  if (!IsOpen()) return false;
  return DB_GUARD_CALL([&] { *Session() << hx::groups::drop_contact_list << cppdb::exec; });
}

bool HX_GroupsDB::AddPeer(const char* peerId, int64_t groupId) {
  if (peerId == nullptr || !IsOpen()) return false;
  return DB_GUARD_CALL([&] {
    *Session() << hx::groups::add_contact_list << static_cast<long long>(groupId) << std::string(peerId)
               << cppdb::exec;
  });
}

bool HX_GroupsDB::DelPeer(const char* peerId, int64_t groupId) {
  if (peerId == nullptr || !IsOpen()) return false;
  return DB_GUARD_CALL([&] {
    *Session() << hx::groups::del_contact_list << static_cast<long long>(groupId) << std::string(peerId)
               << cppdb::exec;
  });
}

HX_GroupsDB::GroupIdSet HX_GroupsDB::GetGroupsID() {
  GroupIdSet ids;
  if (!IsOpen()) return ids;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::groups::get_group_id_list;
    while (row.next()) {
      int32_t id = 0;
      if (FetchGroupId(row, 0, id)) ids.insert(id);
    }
  });
  return ids;
}

HX_GroupsDB::GroupMap HX_GroupsDB::GetGroups() {
  GroupMap groups;
  if (!IsOpen()) return groups;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    // The members are read with statements of their own, so the group rows are read out first.
    std::vector<Group> rows;
    {
      cppdb::result row = *held << hx::groups::get_group_list;
      while (row.next()) {
        Group group;
        if (!FetchGroupId(row, 0, group.m_groupId)) continue;
        group.m_groupName = FetchText(row, 1);
        group.m_groupType = FetchGroupType(row, 2);
        rows.push_back(std::move(group));
      }
    }
    for (Group& group : rows) {
      getPeersList(held, group);
      const int32_t id = group.m_groupId;
      groups[id] = std::move(group);
    }
  });
  return groups;
}

HX_GroupsDB::Group HX_GroupsDB::GetGroup(int64_t groupId) {
  Group group;
  // Members are looked up by 32-bit id, so a wider id could only be answered with another
  // group's members.
  if (groupId < std::numeric_limits<int32_t>::min() || groupId > std::numeric_limits<int32_t>::max())
    return group;
  if (!IsOpen()) return group;
  Group found;
  bool exists = false;
  const bool read = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    {
      cppdb::result row = *held << hx::groups::get_group_description << static_cast<long long>(groupId);
      if (row.next()) {
        exists = true;
        found.m_groupId = static_cast<int32_t>(groupId);
        found.m_groupName = FetchText(row, 0);
        found.m_groupType = FetchGroupType(row, 1);
      }
    }
    if (exists) getPeersList(held, found);
  });
  // A group whose members could not be read is not handed out half-filled.
  if (read && exists) group = std::move(found);
  return group;
}

bool HX_GroupsDB::groupExists(int64_t groupId) {
  if (!IsOpen()) return false;
  bool exists = false;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::groups::get_group_description << static_cast<long long>(groupId);
    exists = row.next();
  });
  return exists;
}

void HX_GroupsDB::getPeersList(const HXDBBaseSessionLock& held, Group& group) {
  cppdb::result row = *held << hx::groups::get_contact_list << static_cast<int>(group.m_groupId);
  while (row.next()) {
    std::string peer;
    if (row.fetch(0, peer)) group.m_peers.insert(std::move(peer));
  }
  group.m_isEmpty = group.m_peers.empty();
}

bool HX_GroupsDB::CreateTables() {
  return DB_GUARD_CALL(
      [&] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << hx::groups::create_groups << cppdb::exec;
        *held << hx::groups::create_contact_list << cppdb::exec;
        *held << hx::groups::index_contact_list << cppdb::exec;
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

bool HX_GroupsDB::Create() { return CreateTables(); }

bool HX_GroupsDB::Drop() { return DropGroups() && DropPeers(); }
