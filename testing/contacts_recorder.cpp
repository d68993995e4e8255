#include "testing/contacts_recorder.h"

#include <future>

#include "core/contacts/stores/contact_storage.h"

namespace hx::testing {
namespace {

std::string T(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

ContactsRecorder::ContactsRecorder(HX_ContactsManager& manager, HX_ContactStorage& store)
    : m_manager(&manager), m_store(store) {
  manager.beginContactListUpdate.Connect(this, &ContactsRecorder::OnBegin);
  manager.endContactListUpdate.Connect(this, &ContactsRecorder::OnEnd);
  manager.setPeer.Connect(this, &ContactsRecorder::OnSetPeer);
  manager.searchBeginUpdate.Connect(this, &ContactsRecorder::OnSearchBegin);
  manager.searchEndUpdate.Connect(this, &ContactsRecorder::OnSearchEnd);
  manager.avatarArrived.Connect(this, &ContactsRecorder::OnAvatar);
  manager.contactDeleted.Connect(this, &ContactsRecorder::OnDeleted);
  manager.contactBlocked.Connect(this, &ContactsRecorder::OnBlocked);
  manager.contactUnblocked.Connect(this, &ContactsRecorder::OnUnblocked);
  manager.contactDetailsArrived.Connect(this, &ContactsRecorder::OnDetails);
  manager.groupsBeginUpdate.Connect(this, &ContactsRecorder::OnGroupsBegin);
  manager.groupsEndUpdate.Connect(this, &ContactsRecorder::OnGroupsEnd);
  manager.groupArrived.Connect(this, &ContactsRecorder::OnGroup);
  manager.groupDeleted.Connect(this, &ContactsRecorder::OnGroupDeleted);
  manager.groupCmdDone.Connect(this, &ContactsRecorder::OnGroupCmd);
}

ContactsRecorder::~ContactsRecorder() { Disconnect(); }

void ContactsRecorder::Disconnect() {
  HX_ContactsManager* manager = m_manager;
  if (manager == nullptr) return;
  m_manager = nullptr;
  manager->beginContactListUpdate.Disconnect(this, &ContactsRecorder::OnBegin);
  manager->endContactListUpdate.Disconnect(this, &ContactsRecorder::OnEnd);
  manager->setPeer.Disconnect(this, &ContactsRecorder::OnSetPeer);
  manager->searchBeginUpdate.Disconnect(this, &ContactsRecorder::OnSearchBegin);
  manager->searchEndUpdate.Disconnect(this, &ContactsRecorder::OnSearchEnd);
  manager->avatarArrived.Disconnect(this, &ContactsRecorder::OnAvatar);
  manager->contactDeleted.Disconnect(this, &ContactsRecorder::OnDeleted);
  manager->contactBlocked.Disconnect(this, &ContactsRecorder::OnBlocked);
  manager->contactUnblocked.Disconnect(this, &ContactsRecorder::OnUnblocked);
  manager->contactDetailsArrived.Disconnect(this, &ContactsRecorder::OnDetails);
  manager->groupsBeginUpdate.Disconnect(this, &ContactsRecorder::OnGroupsBegin);
  manager->groupsEndUpdate.Disconnect(this, &ContactsRecorder::OnGroupsEnd);
  manager->groupArrived.Disconnect(this, &ContactsRecorder::OnGroup);
  manager->groupDeleted.Disconnect(this, &ContactsRecorder::OnGroupDeleted);
  manager->groupCmdDone.Disconnect(this, &ContactsRecorder::OnGroupCmd);
}

void ContactsRecorder::Add(std::string line) {
  if (m_checkLock.load()) {
    // The lock is recursive: only another thread finds out whether this one holds it.
    HXLock& lock = m_store.getContactStorageLock();
    const bool held = !std::async(std::launch::async, [&lock] {
                         if (!lock.TryLock()) return false;
                         lock.Unlock();
                         return true;
                       }).get();
    if (held) line += " [locked]";
  }
  std::lock_guard<std::mutex> guard(m_mutex);
  m_lines.push_back(std::move(line));
}

std::vector<std::string> ContactsRecorder::Lines() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_lines;
}

size_t ContactsRecorder::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  size_t count = 0;
  for (const std::string& line : m_lines)
    count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return count;
}

void ContactsRecorder::Clear() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_lines.clear();
}

void ContactsRecorder::OnBegin(bool whole, bool offline) {
  Add("begin " + std::to_string(whole) + " " + std::to_string(offline));
}
void ContactsRecorder::OnEnd(bool subscribedAll) { Add("end " + std::to_string(subscribedAll)); }
void ContactsRecorder::OnSetPeer(const char* user, const char* id, const char* name,
                                 HX_UserPresence_Status status, int32_t mode) {
  Add("setPeer " + T(user) + " " + T(id) + " " + T(name) + " " + std::to_string(status) + " " +
      std::to_string(mode));
}
void ContactsRecorder::OnSearchBegin(const char* id, const char* name, const char* mail) {
  Add("searchBegin " + T(id) + " " + T(name) + " " + T(mail));
}
void ContactsRecorder::OnSearchEnd() { Add("searchEnd"); }
void ContactsRecorder::OnAvatar(const char* peer, const char* type, const void*, uint64_t size,
                                int32_t hash) {
  Add("avatar " + T(peer) + " " + T(type) + " " + std::to_string(size) + " " +
      std::to_string(hash));
}
void ContactsRecorder::OnDeleted(const char* id) { Add("deleted " + T(id)); }
void ContactsRecorder::OnBlocked(const char* id) { Add("blocked " + T(id)); }
void ContactsRecorder::OnUnblocked(const char* id) { Add("unblocked " + T(id)); }
void ContactsRecorder::OnDetails(const char* id, const HX_UserDetailsStorage::Information& info) {
  Add("details " + T(id) + " " + info.firstName + " " + info.lastName);
}
void ContactsRecorder::OnGroupsBegin() { Add("groupsBegin"); }
void ContactsRecorder::OnGroupsEnd() { Add("groupsEnd"); }
void ContactsRecorder::OnGroup(int32_t id, const char* name, int32_t type, const char* member) {
  Add("group " + std::to_string(id) + " " + T(name) + " " + std::to_string(type) + " " + T(member));
}
void ContactsRecorder::OnGroupDeleted(int32_t id, const char* member) {
  Add("groupDeleted " + std::to_string(id) + " " + T(member));
}
void ContactsRecorder::OnGroupCmd(int32_t command, int32_t result) {
  Add("groupCmd " + std::to_string(command) + " " + std::to_string(result));
}

}  // namespace hx::testing
