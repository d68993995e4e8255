#pragma once
// A recording subscriber of the address-book manager, standing where the SDK bridge would: it
// connects, after the client object, to the signals the bridge subscribes to (and to
// beginContactListUpdate, which tests need to see a list's start), and records each emission as
// one line with copies of its values, marked " [locked]" when the emitting thread held the
// contact store's lock. Lines: "begin <whole> <offline>", "end <subscribed all>",
// "setPeer <user> <id> <name> <status> <mode>", "searchBegin <id> <name> <mail>", "searchEnd",
// "avatar <peer> <type> <size> <hash>", "deleted <id>", "blocked <id>", "unblocked <id>",
// "details <id> <first> <last>", "groupsBegin", "groupsEnd", "group <id> <name> <type> <member>",
// "groupDeleted <id> <member>", "groupCmd <command> <result>"; a null text reads "(null)".
//
// Thread safety: the record is locked; emissions may come from any thread. Whether the store's
// lock is held is found by trying it from another thread, so each emission costs a thread start.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "core/contacts/addressbook/contacts_manager.h"

class HX_ContactStorage;

namespace hx::testing {

class ContactsRecorder {
 public:
  // Connects to `manager`'s signals; `store` is the contact store whose lock is checked. Both
  // must outlive the recorder's connection (Disconnect before either goes).
  ContactsRecorder(HX_ContactsManager& manager, HX_ContactStorage& store);
  ~ContactsRecorder();
  ContactsRecorder(const ContactsRecorder&) = delete;
  ContactsRecorder& operator=(const ContactsRecorder&) = delete;

  void Disconnect();
  // Whether each emission checks the store's lock (on at first); a benchmark turns it off.
  void setCheckLock(bool check) { m_checkLock.store(check); }
  std::vector<std::string> Lines() const;
  // How many lines begin with `prefix`.
  size_t Count(const std::string& prefix) const;
  void Clear();

 private:
  void Add(std::string line);
  void OnBegin(bool whole, bool offline);
  void OnEnd(bool subscribedAll);
  void OnSetPeer(const char* user, const char* id, const char* name, HX_UserPresence_Status status,
                 int32_t mode);
  void OnSearchBegin(const char* id, const char* name, const char* mail);
  void OnSearchEnd();
  void OnAvatar(const char* peer, const char* type, const void* bytes, uint64_t size, int32_t hash);
  void OnDeleted(const char* id);
  void OnBlocked(const char* id);
  void OnUnblocked(const char* id);
  void OnDetails(const char* id, const HX_UserDetailsStorage::Information& info);
  void OnGroupsBegin();
  void OnGroupsEnd();
  void OnGroup(int32_t id, const char* name, int32_t type, const char* member);
  void OnGroupDeleted(int32_t id, const char* member);
  void OnGroupCmd(int32_t command, int32_t result);

  HX_ContactsManager* m_manager;
  HX_ContactStorage& m_store;
  std::atomic<bool> m_checkLock{true};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

}  // namespace hx::testing
