#pragma once
// HX_GrossBuchCache: the per-user cache of what the address-book service told the client (the
// contact list, the ban list, display names of peers resolved on request, and per address book the
// server's last hash and a local checksum), in one SQLite file per user ("<peer>.cache.sqlite",
// stored under the per-user file name), schema version 11. The peers table is mirrored in memory
// as the resolve cache, so display-name, contact and ban lookups never touch the disk.
//
// Versions at open: a new file is created; version 10 keeps its rows but every row leaves the
// contact list (the hashes stay); any other version, 0 included, creates the file anew.
//
// The resolve cache: every write merges its entry into the map (flags ORed, name and type
// replaced, source 2 for contacts and 0 otherwise, any pending request ended), so contact flags
// only gain bits in memory until the next rebuild from the file. A peer-details request leaves a
// placeholder that is pending for 30 s; while an entry is pending, GetDisplayName answers the
// caller's fallback.
//
// Results: a database error ends the operation, which answers false (or does nothing); the
// in-memory change of a write follows its statements, so a failed statement leaves the map as it
// was. Bulk writes run in one transaction and roll back at the first failure (map changes of the
// steps before it stay until the next rebuild). Opening answers false, and throws nothing, when
// the file can be neither opened nor created (a missing or unwritable folder).
//
// Thread safety: every operation may run on any thread; all serialise on the object's own
// recursive lock (the object is its HXLock). Operations whose names end in NL take the session
// lock of a caller that holds it already, so several of them form one transaction. Opening takes
// the global database lock first.

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/contacts/cache/address_book.h"
#include "core/contacts/names/call_id_parser.h"
#include "core/contacts/stores/contact.h"
#include "core/storage/db_peer_base.h"

class HX_GrossBuchCache : public HXDBPeerBase {
 public:
  static constexpr int kSchemaVersion = 11;
  // Contact-list bits of an entry's flags; the contact's own flags sit in bits 16 to 31.
  static constexpr uint32_t kContactBit = 1;
  static constexpr uint32_t kBanBit = 2;
  // A peer is asked about at most once in this many seconds.
  static constexpr int64_t kRequestWindowSeconds = 30;
  // Rows that are neither contacts nor banned go this many seconds after their last update.
  static constexpr int64_t kExpirySeconds = 2592000;

  // One entry of the resolve cache; the first three fields are the peer's hx::DisplayName.
  struct ResolveCacheItem : hx::DisplayName {
    ResolveCacheItem() = default;
    ResolveCacheItem(hx::CallIdType type, std::string dn, int32_t source, uint32_t flags,
                     int64_t nextRequest)
        : hx::DisplayName(type, std::move(dn), source),
          m_flags(flags),
          m_nextRequest(nextRequest) {}
    uint32_t m_flags = 0;
    // 0 when resolved; otherwise the earliest second for another request (a pending entry).
    int64_t m_nextRequest = 0;
  };
  // Peer ids compare as the file's "PeerId" column does (COLLATE NOCASE: ASCII letters without
  // regard to case), so that the memory holds one entry where the file holds one row, whichever
  // case of the id a later answer uses.
  struct PeerIdLess {
    bool operator()(const std::string& left, const std::string& right) const;
  };
  using ResolveCacheMap = std::map<std::string, ResolveCacheItem, PeerIdLess>;

  using StatusFunction = std::function<HX_UserPresence_Status(const std::string&)>;

  HX_GrossBuchCache();
  ~HX_GrossBuchCache() override;

  // HXDBBase
  std::string GetStorageNameSuffix() const override;
  bool Create() override;
  bool Drop() override;
  bool Upgrade(int oldVersion) override;

  // Opens the file of `peer` in `dir` and loads the three in-memory lists. Opening the open peer
  // again keeps the file and reloads the lists.
  bool OpenDatabase(const char* peer, const char* dir);
  using HXDBPeerBase::OpenDatabase;

  // Contact list.
  bool AddToContactListNL(const HXDBBaseSessionLock& held, const std::string& peer,
                          const std::string& name, uint32_t flags, bool cacheOnly);
  bool AddContactsToContactList(const std::list<hx::contacts::contactMetaData>& contacts,
                                bool clearFirst, uint32_t bookHash, uint32_t contactsCrc);
  bool AddPeerAbCommon(const char* peer, const char* name, uint32_t flags, uint32_t bookHash,
                       uint32_t contactsCrc);
  bool DelPeerAbCommon(const char* peer, uint32_t bookHash, uint32_t contactsCrc);
  bool RemoveFromContactList(const HXDBBaseSessionLock& held, const char* peer);
  bool ClearContactList(const HXDBBaseSessionLock& held);
  // Makes the peer a contact in memory only (the name, or the id when it is null).
  bool AddToContactList(const char* peer, const char* name);
  std::set<std::string> GetContacts() const;
  // Every contact as an hx::Contact with the status function's answer (-127 without one). Of two
  // ids that differ only in letter case the first in byte order is kept.
  void getContacts(std::set<hx::Contact>& contacts, const StatusFunction& status) const;
  bool IsContact(const std::string& peer) const;

  // Ban list.
  bool AddToBanList(const HXDBBaseSessionLock& held, const char* peer, const char* name);
  bool RemoveFromBanList(const HXDBBaseSessionLock& held, const char* peer, const char* name);
  bool ClearBanList();
  // Replaces the ban list by the server's full list; the ids added and removed are inserted into
  // the out sets.
  bool ManageAbBanList(uint32_t bookHash, const std::set<std::string>& bans,
                       std::set<std::string>& added, std::set<std::string>& removed);
  bool AddPeerAbBanList(const char* peer, const char* name, uint32_t bookHash);
  bool DelPeerAbBanList(const char* peer, const char* name, uint32_t bookHash);
  std::set<std::string> GetBans() const;
  // The ban bit of a known peer; for an unknown one true while no user's file is open.
  bool IsBan(const std::string& peer) const;

  // Display names.
  bool AddToCache(const char* peer, const char* name);
  void ExpireCache();
  bool UpdateResolvCache(const HXDBBaseSessionLock& held);
  // The cached name of the peer ('#', '+' and '\' ids without their device suffix); a pending
  // entry counts as found.
  bool getDisplayName(const char* peer, hx::DisplayName& name) const;
  // The cached name of exactly this id when resolved; otherwise by `choice`: the id itself, no
  // text (nullopt) or an empty text.
  std::optional<std::string> GetDisplayName(const char* peer,
                                            hx::DisplayName::ReturnValue choice) const;
  // Whether a peer-details request may go out now; marks the peer pending for 30 s when so.
  bool isCacheRequestAllowed(const std::string& peer);

  // Per-book hash and checksum (0 when none is stored).
  uint32_t GetBookHash(HX_AddressBook book) const;
  uint32_t GetBookCrc(HX_AddressBook book) const;
  void SetBookHashNL(const HXDBBaseSessionLock& held, HX_AddressBook book, uint32_t hash);
  void SetBookHash(HX_AddressBook book, uint32_t hash);
  // Only while a user's file is open.
  void SetBookCrc(const HXDBBaseSessionLock& held, HX_AddressBook book, uint32_t crc);
  void SetBookCrc(HX_AddressBook book, uint32_t crc);

  // A copy of the resolve cache, for inspection.
  ResolveCacheMap ResolveCache() const;

 private:
  bool upgrade_from_v10();
  bool UpdateDatabase(const HXDBBaseSessionLock& held);
  bool UpdateHashList(const HXDBBaseSessionLock& held);
  bool UpdateCrcList(const HXDBBaseSessionLock& held);
  void addCacheItem(const std::string& peer, const ResolveCacheItem& item);
  bool IsUserOpen() const;

  ResolveCacheMap m_resolveCache;
  std::map<uint32_t, uint32_t> m_hashList;
  std::map<uint32_t, uint32_t> m_crcList;
};
