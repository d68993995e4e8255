#pragma once
// HX_ContactStorage: the user's contact list in memory, in display order, with a 32-bit contacts
// hash that sums one hash per contact (peer id, display name and flags; never the status), so that
// the list can be checked against the book checksum the cache stored.
//
// Ids are found without regard to letter case (UTF-8): two ids that differ only in case are one
// contact, and the stored id is the first one given. An id that is not valid UTF-8 equals only
// the same bytes. An index beside the ordered set finds an id in constant time.
//
// Thread safety: the store is its own recursive lock (HXMultiLock<0>). Every operation takes it
// for its whole duration; readers on other threads hold it from LockContactList to
// UnlockContactList, and callers that apply a whole list hold getContactStorageLock across their
// calls. GetContactsHash reads an atomic without the lock; each operation publishes the hash once,
// when it is done, so that a reader never sees the sum of a list that never was (a contact taken
// out and not yet put back). Nothing is called out of the store while its lock is held.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "core/base/lock.h"
#include "core/contacts/names/call_id_parser.h"
#include "core/contacts/stores/contact.h"

class HX_ContactStorage : public HXMultiLock<0> {
 public:
  using ContactSet = std::set<hx::Contact>;

  HX_ContactStorage() = default;
  // A copy is a new empty store with its own lock.
  HX_ContactStorage(const HX_ContactStorage&) : HXMultiLock<0>() {}
  HX_ContactStorage& operator=(const HX_ContactStorage&) = delete;
  ~HX_ContactStorage() override = default;

  // Takes the lock and keeps it; the caller reads the set and then calls UnlockContactList.
  const ContactSet& LockContactList();
  void UnlockContactList();
  HXLock& getContactStorageLock() { return *this; }

  // Inserts into `out`, in contact order, every contact for which `keep` answers true; answers
  // how many were new to `out`.
  size_t getContactListFiltered(ContactSet& out,
                                const std::function<bool(const hx::Contact&)>& keep);

  // Inserts a new contact or replaces the stored one with the same id ignoring case, and answers
  // a copy of the stored contact. New: the name defaults to the id and status -127 becomes 0.
  // Replaced: the stored id stays, a null name keeps the stored name, status -127 keeps the
  // stored status, the flags are the new ones. `user` is not used.
  hx::Contact PushContact(const char* user, const char* peerId, const char* displayName,
                          HX_UserPresence_Status status, uint32_t flags);
  // The contact whose id equals `peerId` ignoring case; end() for none or a null id.
  ContactSet::const_iterator SearchContact(const char* peerId) const;
  // name hash (peer id) + name hash (display name) + flags, modulo 2^32.
  static uint32_t CalcContactHash(const hx::Contact& contact);
  void DropContact(const char* peerId);
  void DropContactList();
  uint32_t GetContactsHash() const { return contactsHash.load(std::memory_order_acquire); }
  // Renames a stored contact; a null name or an unknown id changes nothing.
  void SetDisplayName(const char* peerId, const char* displayName);
  // The stored name; otherwise by `ifMissing`: the id itself, an empty text, or none (also for
  // a null id with kReturnCallId).
  std::optional<std::string> GetDisplayName(const char* peerId,
                                            hx::DisplayName::ReturnValue ifMissing) const;
  void setContactsAllStatus(HX_UserPresence_Status status);
  // Replaces the list; of ids equal ignoring case the first in `list`'s order is kept.
  void setContactList(const ContactSet& list);
  bool IsPeerExists(const char* peerId) const;
  void updateContactStatus(const char* peerId, HX_UserPresence_Status status);

  // The key under which `peerId` is indexed: equal for ids equal ignoring case (valid UTF-8), and
  // for an invalid id only for the same bytes.
  static std::string FoldedKey(const std::string& peerId);

 protected:
  ContactSet contacts;
  std::atomic<uint32_t> contactsHash{0};

 private:
  using Index = std::unordered_map<std::string, ContactSet::const_iterator>;

  // Inserts `contact` (its id, folded to `key`, not yet present) into the set, the index and the
  // running sum.
  void InsertNL(hx::Contact contact, std::string key);
  // Applies `change` (never to the id) to the contact that `entry` indexes and puts it back in
  // order; with `rehash`, the running sum follows the contact's hash.
  template <typename Change>
  void ChangeNL(Index::iterator entry, bool rehash, Change change);
  // Makes the running sum the value GetContactsHash answers.
  void PublishHashNL();

  Index m_index;
  uint32_t m_hashSum = 0;  // the sum of the contact hashes, kept under the lock
};
