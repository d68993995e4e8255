#pragma once
// HX_ContactsManager: the client side of the address-book service "ABOOK". It asks the server for
// the user's books (contact list, ban list, groups, phones, L-statuses, pictures, searches), each
// with the hash the server sent with it last time (kept by the address-book cache), so that an
// unchanged book is not sent again; it sends the user's changes to the books and the presence
// subscriptions of the contacts to "PRESENCE"; and it applies what comes back to the shared
// state's stores and the cache, reporting each change through its signals.
//
// Until a contact list arrives after a login, the request for every book repeats on a growing
// schedule (20 s, 30 s, ... 110 s, then every 30 minutes). Each scheduled repetition carries the
// request sequence of its time; any later change of the sequence (a new request cycle, a reset, a
// contact list or its loss) makes it do nothing.
//
// Thread safety: requests come from the host's thread and the client object, answers and notices
// from the network loop thread, repetitions from the loop's urgent worker pool. The manager's lock
// guards the pending group commands, the group sequence id, the repetition count and the scheduled
// repetitions; it is never held while a request is sent or a signal emitted. The destructor stops
// further repetitions, removes the pending one and waits for a running one. Signals are connected
// before messages flow (hx::Signal's rules). A contact-list answer emits beginContactListUpdate,
// setPeer and endContactListUpdate while it holds the contact store's lock, so that a reader of
// the list never sees it half built: their subscribers must not wait for a thread that takes that
// lock. Every other signal is emitted without a lock.
//
// Texts handed to signals point into the message being handled or into the manager's
// temporaries; a subscriber copies what it keeps.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/contacts/cache/address_book.h"
#include "core/contacts/cache/address_book_cache.h"
#include "core/contacts/stores/search_storage.h"
#include "core/contacts/stores/status_storage.h"

class HX_Container;

// The kind of a phone-book number, the server's value (core/contacts/phones/phones_db.h).
enum PhoneType : int32_t;
// How the server is to block a user, passed through unchanged.
using HX_PeerBlockType = int32_t;

class HX_ContactsManager : public HX_AbstractManager {
 public:
  using contactMetaData = hx::contacts::contactMetaData;
  // (call id, alias) pairs of the external address book.
  using ExternalContacts = std::list<std::pair<std::string, std::string>>;
  // The direction of a call-history request, the server's value.
  using Direction = int32_t;

  // A group command sent and not yet answered.
  struct WaitedGroup {
    int32_t cmd = 0;
    int32_t gid = 0;     // not set for a create command
    std::string name;    // create and rename
    std::string callId;  // add and remove member
  };

  // Every request is sent with this time limit.
  static constexpr uint32_t kRequestTimeLimitMs = 20000;

  HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                     std::shared_ptr<HX_GrossBuchCache> cache);
  ~HX_ContactsManager() override;

  // The delay before repetition `attempt` (0 for the first) of the request for every book.
  static uint32_t RetryDelayMs(uint32_t attempt);
  // Divides every repetition delay by `divisor` (1 by default); for live tests.
  void setRetryDelayDivisor(uint32_t divisor) { m_retryDivisor.store(divisor == 0 ? 1 : divisor); }

  const std::shared_ptr<HX_GrossBuchCache>& contactCache() const { return cache; }

  // --- Requests to "ABOOK"; each answers whether the transport queued it.
  bool SearchAddressBook(const char* query, int32_t addressBook, uint32_t hash);
  bool RequestAddressBook(uint32_t hash) { return SearchAddressBook("", HX_AB_CONTACTS, hash); }
  bool RequestBanList(uint32_t hash) { return SearchAddressBook("", HX_AB_BANS, hash); }
  bool RequestGroupList(uint32_t hash) { return SearchAddressBook("", HX_AB_GROUPS, hash); }
  bool RequestPhoneList(uint32_t hash) { return SearchAddressBook("", HX_AB_PHONES, hash); }
  bool FindUser(const char* callId, const char* name, const char* email);
  // Asks for a peer's details at most once per 30 s; false for a contact (nothing sent), true
  // while a request is on its way.
  bool reqPeerDetails(const char* peerId);
  bool GetUserPicture(const char* peerId, int32_t hash);
  bool AddToAddressBook(const char* callId, const char* displayName, int32_t addressBook);
  bool AddToExtAddressBook(const char* callId, const char* displayName);
  bool AddToPhoneBook(const char* callId, const char* phone, PhoneType type);
  bool BlockUser(const char* callId, HX_PeerBlockType type);
  bool RemoveFromAddressBook(const char* callId, int32_t addressBook);
  bool UnblockUser(const char* callId);
  bool RemoveFromPhoneBook(const char* phoneId);
  bool WipeMyPicture();
  // Renames the contact locally at once (the shared state's peer-name signal), then sends.
  bool SetDisplayName(const char* callId, const char* displayName);
  bool SetPhone(const char* callId, const char* phoneId, const char* phone, PhoneType type);
  bool SetMyPicture(const void* bytes, uint32_t size, const char* pictureType);
  void RequestCallHistoryFromServer(const char* callId, int32_t count, Direction direction,
                                    int64_t lastCachedCall);

  // Group commands: "SeqID" is the next group sequence id, used up even when the send fails;
  // a sent command waits for its answer.
  bool CreateGroup(const char* groupName);
  bool RemoveGroup(int32_t groupId);
  bool RenameGroup(int32_t groupId, const char* groupName);
  bool AddToGroup(int32_t groupId, const char* callId);
  bool RemoveFromGroup(int32_t groupId, const char* callId);

  // Batch additions into a container the caller fills.
  static void BeginAddMyContacts(HX_Container& container, int32_t addressBook);
  static void BeginAddExtContacts(HX_Container& container);
  static void BeginAddMyExternalContacts(HX_Container& container);
  static void PushMyContact(HX_Container& container, const char* callId);
  static void PushMyContact(HX_Container& container, const char* callId, const char* displayName);
  // False for an empty container; otherwise sends it.
  bool EndAddMyContacts(const HX_Container& container);

  // --- Requests to "PRESENCE".
  bool Subscribe(const char* callId);
  bool Subscribe(const char* const* ids, size_t count, bool cause);
  // Nothing is sent for an empty set (false).
  bool Subscribe(const std::set<std::string>& ids, bool cause);
  // Each id's status is erased from the status store first.
  bool Unsubscribe(const char* callId);
  bool Unsubscribe(const char* const* ids, size_t count);
  bool Unsubscribe(const std::set<std::string>& ids);
  bool GetUserStatus(const char* callId);
  bool SubscriptionManage(const char* callId, const char* method);
  bool SubscriptionManage(const char* const* ids, size_t count, const char* method, bool cause);
  bool SubscriptionManage(const std::set<std::string>& ids, const char* method, bool cause);

  // --- Request cycle.
  // Starts a new cycle: the books are requested and the repetition scheduled. `login` is not used.
  bool RequestAddressBooks(const char* login);
  // A scheduled repetition does nothing from now on.
  void resetDeferredRequests();
  // The repetition job: repeats the cycle when nothing changed the sequence since `sequence`.
  void onRequestABookTimeout(uint32_t sequence);

  bool IsBanned(const char* peerId) const;
  // Appends the cached ban list; answers the list's size.
  size_t GetLocalBanList(std::list<std::string>& list) const;

  // --- Answers and notices (network loop).
  bool ParseIncomimgMessage(HX_Container& message) override;
  bool ParseCallHistory(HX_Container& message);
  // The contact list rebuilt from the cache (at start and after login).
  void UpdatePeersFromCache();
  // The contact list rebuilt from the cache with every contact offline (connection lost).
  void DisablePeersFromCache();
  // A display name learnt elsewhere (virtual: tests of the services that call it watch it).
  virtual void OnUpdatePeerIdCache(const char* peerId, const char* displayName, bool updateContact);
  bool AddPeer_abBanList(const char* callId, const char* displayName, uint32_t hash,
                         int32_t unused);
  bool DelPeer_abBanList(const char* callId, const char* displayName, uint32_t hash);
  void impFirePhoneArrived(const char* phoneId, const char* callId, const char* phone,
                           PhoneType type, bool editable);

  // Signals, in this order.
  hx::Signal2<bool, bool> beginContactListUpdate;  // (whole list, all offline)
  hx::Signal1<bool> endContactListUpdate;
  // (user name, call id, display name, status, mode: 1 list, 0 added, 2 added as a new user)
  hx::Signal5<const char*, const char*, const char*, HX_UserPresence_Status, int32_t> setPeer;
  hx::Signal0<void> groupsBeginUpdate;
  hx::Signal0<void> groupsEndUpdate;
  hx::Signal4<int32_t, const char*, int32_t, const char*> groupArrived;  // (id, name, type, member)
  hx::Signal2<int32_t, const char*> groupDeleted;                        // (id, member)
  hx::Signal2<int32_t, int32_t> groupCmdDone;                            // (command, result)
  hx::Signal0<void> phonesBeginUpdate;
  hx::Signal0<void> phonesEndUpdate;
  // (phone id, call id, phone, type, editable)
  hx::Signal5<const char*, const char*, const char*, PhoneType, bool> phoneArrived;
  hx::Signal3<const char*, const char*, const char*> searchBeginUpdate;  // (call id, name, e-mail)
  hx::Signal0<void> searchEndUpdate;
  hx::Signal2<const char*, const char*> searchResult;  // (call id, display name)
  hx::Signal2<const char*, const HX_UserDetailsStorage::Information&> contactDetailsArrived;
  hx::Signal1<const char*> contactDeleted;
  hx::Signal1<const char*> contactBlocked;
  hx::Signal1<const char*> contactUnblocked;
  hx::Signal0<void> myPictureUpdated;
  hx::Signal0<void> myPictureRemoved;
  hx::Signal1<const ExternalContacts&> externalContactsArrived;
  hx::Signal0<void> lStatusBeginUpdate;
  hx::Signal2<const char*, HX_LStatus> lStatusArrived;
  hx::Signal0<void> lStatusEndUpdate;
  // (peer id, picture type, bytes, size, hash)
  hx::Signal5<const char*, const char*, const void*, uint64_t, int32_t> avatarArrived;
  hx::Signal2<const char*, int32_t> avatarNotChanged;  // (peer id, hash)
  // (call id, 0 add or 1 remove, cause)
  hx::Signal3<const char*, int32_t, int32_t> addressBookCmdFailed;
  hx::Signal2<const char*, HX_UserPresence_Status> userStatusArrived;

 private:
  bool Send(const HX_Container& body, const char* service);
  std::string Normalised(const char* id) const;
  std::string MyLogin() const;
  bool requestAddressBooksInt();
  void scheduleRetry(uint32_t attempt, uint32_t sequence);
  bool sendGroupCommand(HX_Container& body, WaitedGroup waited);

  // Handlers of incoming messages.
  bool ParseContacts(HX_Container& message);
  bool AddPeer(HX_Container& message);
  bool DelPeer(HX_Container& message);
  bool UpdateContacts(HX_Container& message);
  bool ManageGroups(HX_Container& message);
  void GetUserStatus_answer(HX_Container& message);
  bool parseSearch_abCommon(bool complete, int32_t records, uint32_t hash, HX_Container& message);
  void parseSearch_abBanList(uint32_t hash, HX_Container& message);
  void parseSearch_abGroups(HX_Container& message);
  void parseSearch_abPhones(HX_Container& message);
  void parseSearch_abLStatus(HX_Container& message);
  void parseSearch_abPerson(HX_Container& message);
  void parseSearch_abPersonDetails(HX_Container& message);
  void parseSearch_abUserPicture(int32_t cause, int32_t result, int32_t hash,
                                 HX_Container& message);
  bool AddPeer_abCommon(const char* callId, const char* displayName, uint32_t hash, uint32_t flags,
                        int32_t mode);
  bool DelPeer_abCommon(const char* callId, const char* displayName, uint32_t hash);
  bool AddPeer_abExternalContacts(HX_Container& message);

  std::shared_ptr<HX_GrossBuchCache> cache;
  std::atomic<uint32_t> requestSeq{0};
  // Guarded by m_lock.
  uint32_t requestAttempt = 0;
  std::map<int32_t, WaitedGroup> waitedGroups;
  int32_t groupSeqId = 0;
  // Scheduled repetitions by their sequence (job ids); none is added once m_closing is set.
  std::map<uint32_t, uint32_t> m_retryJobs;
  bool m_closing = false;
  mutable HXLock m_lock;
  std::atomic<uint32_t> m_retryDivisor{1};
};
