#include "core/contacts/cache/address_book_cache.h"

#include <cppdb/errors.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/base/wall_clock.h"
#include "core/contacts/cache/address_book_cache_statements.h"
#include "core/contacts/db_columns.h"
#include "core/storage/db_guard.h"

namespace sql = hx::cache;
using hx::contacts::NumberColumn;
using hx::contacts::TextColumn;

namespace {

hx::CallIdType TypeOf(const std::string& peer) {
  hx::CallIdType type = hx::CallIdType::user;
  hx::CallIdParser::parseScheme(peer, type);
  return type;
}

// Runs `work` on the caller's session; database errors become false.
template <typename Work>
bool Guarded(Work&& work) {
  return DB_GUARD_CALL([&] { work(); });
}

// Clears the contact bit and the contact's flags (the ban bit stays); the name's source follows
// the contact bit, as it does when entries are merged or rebuilt.
void LeaveContactList(HX_GrossBuchCache::ResolveCacheItem& item) {
  item.m_flags &= 0xFFFEu;
  item.m_source = hx::DisplayName::kSourceCache;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Runs `steps` in one transaction on the held session: committed when they answer true, rolled
// back when they answer false or a statement fails.
template <typename Steps>
bool InTransaction(const HXDBBaseSessionLock& held, Steps&& steps) {
  bool committed = false;
  const bool ok = DB_GUARD_CALL([&] {
    cppdb::transaction transaction(*held);
    if (!steps()) return;
    transaction.commit();
    committed = true;
  });
  return ok && committed;
}

}  // namespace

HX_GrossBuchCache::HX_GrossBuchCache() : HXDBPeerBase(kSchemaVersion, "HX_GrossBuchCache") {}

HX_GrossBuchCache::~HX_GrossBuchCache() { Close(); }

std::string HX_GrossBuchCache::GetStorageNameSuffix() const { return "cache.sqlite"; }

bool HX_GrossBuchCache::IsUserOpen() const { return !PeerId().empty(); }

bool HX_GrossBuchCache::Create() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        {
          cppdb::transaction transaction(*held);
          *held << sql::create << cppdb::exec;
          *held << sql::index_contacts << cppdb::exec;
          *held << sql::index_bans << cppdb::exec;
          *held << sql::create_hash << cppdb::exec;
          SetVersion(held, kSchemaVersion);
          transaction.commit();
        }
        if (!UpdateDatabase(held)) throw cppdb::cppdb_error("address-book cache: lists not loaded");
      },
      true);
}

// The result is the drop's: a rebuild that could not drop the old tables must fail, so that the
// open creates the file anew instead of keeping tables of another layout.
bool HX_GrossBuchCache::Drop() {
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    *held << sql::drop << cppdb::exec;
    *held << sql::drop_hash << cppdb::exec;
  });
}

bool HX_GrossBuchCache::Upgrade(int oldVersion) { return oldVersion == 10 && upgrade_from_v10(); }

bool HX_GrossBuchCache::upgrade_from_v10() {
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << sql::reset_ab << cppdb::exec;
    SetVersion(held, kSchemaVersion);
    transaction.commit();
  });
}

bool HX_GrossBuchCache::OpenDatabase(const char* peer, const char* dir) {
  bool opened = false;
  try {
    opened = HXDBPeerBase::OpenDatabase(peer, dir, ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    // Neither opened nor created anew: the folder is missing or cannot be written.
    opened = false;
  }
  if (!opened) return false;
  bool loaded = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    loaded = UpdateDatabase(held);
  });
  return ok && loaded;
}

bool HX_GrossBuchCache::UpdateDatabase(const HXDBBaseSessionLock& held) {
  return UpdateResolvCache(held) && UpdateHashList(held) && UpdateCrcList(held);
}

bool HX_GrossBuchCache::UpdateHashList(const HXDBBaseSessionLock& held) {
  m_hashList.clear();
  return Guarded([&] {
    cppdb::result row = *held << sql::get_all_hash;
    while (row.next()) {
      const int64_t book = NumberColumn<int64_t>(row, 0);
      // A book id no book can have (written by someone else) must not land on a real one.
      if (book < 0 || book > UINT32_MAX) continue;
      m_hashList[static_cast<uint32_t>(book)] = static_cast<uint32_t>(NumberColumn<int64_t>(row, 1));
    }
  });
}

bool HX_GrossBuchCache::UpdateCrcList(const HXDBBaseSessionLock& held) {
  m_crcList.clear();
  return Guarded([&] {
    cppdb::result row = *held << sql::get_all_crc;
    while (row.next()) {
      const int64_t book = NumberColumn<int64_t>(row, 0);
      // A book id no book can have (written by someone else) must not land on a real one.
      if (book < 0 || book > UINT32_MAX) continue;
      m_crcList[static_cast<uint32_t>(book)] = static_cast<uint32_t>(NumberColumn<int64_t>(row, 1));
    }
  });
}

void HX_GrossBuchCache::addCacheItem(const std::string& peer, const ResolveCacheItem& item) {
  auto found = m_resolveCache.find(peer);
  if (found == m_resolveCache.end()) {
    m_resolveCache.emplace(peer, item);
    return;
  }
  ResolveCacheItem& stored = found->second;
  stored.m_flags |= item.m_flags;
  stored.m_type = TypeOf(peer);
  stored.m_dn = item.m_dn;
  stored.m_source = (stored.m_flags & kContactBit) != 0 ? hx::DisplayName::kSourceContacts
                                                        : hx::DisplayName::kSourceCache;
  stored.m_nextRequest = 0;
}

bool HX_GrossBuchCache::UpdateResolvCache(const HXDBBaseSessionLock& held) {
  const int64_t now = hx::WallClockSeconds();
  std::erase_if(m_resolveCache,
                [now](const auto& entry) { return entry.second.m_nextRequest <= now; });
  if (!IsUserOpen()) return true;
  return Guarded([&] {
    cppdb::result row = *held << sql::get_cache;
    while (row.next()) {
      std::string peer = TextColumn(row, 0);
      std::string name = TextColumn(row, 1);
      // The contact list keeps its 32-bit form: the contact's flags in the upper half, bit 0.
      const auto contact = static_cast<uint32_t>(NumberColumn<int64_t>(row, 2));
      const int64_t banned = NumberColumn<int64_t>(row, 3);
      uint32_t flags = (contact & kContactBit) != 0 ? (contact & 0xFFFF0000u) | kContactBit : 0;
      if (banned != 0) flags |= kBanBit;
      // A placeholder still in its window shadows its row until a rebuild after the window.
      if (m_resolveCache.count(peer) != 0) continue;
      const int32_t source = (flags & kContactBit) != 0 ? hx::DisplayName::kSourceContacts
                                                        : hx::DisplayName::kSourceCache;
      const hx::CallIdType type = TypeOf(peer);
      m_resolveCache.emplace(std::move(peer),
                             ResolveCacheItem(type, std::move(name), source, flags, 0));
    }
  });
}

// --- contact list -----------------------------------------------------------------------------

bool HX_GrossBuchCache::AddToContactListNL(const HXDBBaseSessionLock& held, const std::string& peer,
                                           const std::string& name, uint32_t flags,
                                           bool cacheOnly) {
  const uint32_t contact = (flags << 16) | kContactBit;
  if (!cacheOnly) {
    const long long now = hx::WallClockSeconds();
    const bool written = Guarded([&] {
      *held << sql::insert_contact << peer << name << static_cast<long long>(contact) << now
            << cppdb::exec;
      *held << sql::update_contact << name << static_cast<long long>(contact) << now << peer
            << cppdb::exec;
    });
    if (!written) return false;
  }
  addCacheItem(peer,
               ResolveCacheItem(TypeOf(peer), name, hx::DisplayName::kSourceContacts, contact, 0));
  return true;
}

bool HX_GrossBuchCache::AddContactsToContactList(
    const std::list<hx::contacts::contactMetaData>& contacts, bool clearFirst, uint32_t bookHash,
    uint32_t contactsCrc) {
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    if (clearFirst && !ClearContactList(held)) return false;
    for (const auto& item : contacts) {
      if (item.callId == nullptr ||
          !AddToContactListNL(held, item.callId, item.displayName, item.flags, false)) {
        return false;
      }
    }
    SetBookCrc(held, HX_AB_CONTACTS, contactsCrc);
    SetBookHashNL(held, HX_AB_CONTACTS, bookHash);
    return true;
  });
}

bool HX_GrossBuchCache::AddPeerAbCommon(const char* peer, const char* name, uint32_t flags,
                                        uint32_t bookHash, uint32_t contactsCrc) {
  if (peer == nullptr) return false;
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    if (!AddToContactListNL(held, peer, name != nullptr ? name : "", flags, false)) return false;
    SetBookCrc(held, HX_AB_CONTACTS, contactsCrc);
    SetBookHashNL(held, HX_AB_CONTACTS, bookHash);
    return true;
  });
}

bool HX_GrossBuchCache::DelPeerAbCommon(const char* peer, uint32_t bookHash, uint32_t contactsCrc) {
  if (peer == nullptr) return false;
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    if (!RemoveFromContactList(held, peer)) return false;
    SetBookCrc(held, HX_AB_CONTACTS, contactsCrc);
    SetBookHashNL(held, HX_AB_CONTACTS, bookHash);
    return true;
  });
}

bool HX_GrossBuchCache::RemoveFromContactList(const HXDBBaseSessionLock& held, const char* peer) {
  if (peer == nullptr) return false;
  const long long now = hx::WallClockSeconds();
  unsigned long long deleted = 0;
  const bool ok = Guarded([&] {
    *held << sql::del_contact << now << peer << cppdb::exec;
    cppdb::statement clear = *held << sql::del_contact_clear << peer;
    clear.exec();
    deleted = clear.affected();
  });
  if (!ok) return false;
  auto found = m_resolveCache.find(peer);
  if (found != m_resolveCache.end()) {
    if (deleted != 0) {
      m_resolveCache.erase(found);
    } else {
      LeaveContactList(found->second);
    }
  }
  return true;
}

bool HX_GrossBuchCache::ClearContactList(const HXDBBaseSessionLock& held) {
  unsigned long long changed = 0;
  const bool ok = Guarded([&] {
    cppdb::statement reset = *held << sql::reset_ab;
    reset.exec();
    changed = reset.affected();
  });
  if (!ok) return false;
  if (changed != 0) {
    for (auto& [peer, item] : m_resolveCache) {
      if ((item.m_flags & kContactBit) != 0) LeaveContactList(item);
    }
  }
  return true;
}

bool HX_GrossBuchCache::AddToContactList(const char* peer, const char* name) {
  if (peer == nullptr) return false;
  HXDBBaseSessionLock held = Session();
  return AddToContactListNL(held, peer, name != nullptr ? name : peer, 0, true);
}

std::set<std::string> HX_GrossBuchCache::GetContacts() const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  std::set<std::string> contacts;
  for (const auto& [peer, item] : m_resolveCache) {
    if ((item.m_flags & kContactBit) != 0) contacts.insert(peer);
  }
  return contacts;
}

void HX_GrossBuchCache::getContacts(std::set<hx::Contact>& contacts,
                                    const StatusFunction& status) const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  // The contact order tells ids apart that differ only in letter case; the server does not.
  std::set<std::string> seen;
  for (const auto& [peer, item] : m_resolveCache) {
    if ((item.m_flags & kContactBit) == 0) continue;
    if (!seen.insert(LowerAscii(peer)).second) continue;
    const HX_UserPresence_Status state = status ? status(peer) : USER_STATUS_UNDEF;
    contacts.insert(hx::Contact(peer, item.m_dn, state, item.m_flags >> 16));
  }
}

bool HX_GrossBuchCache::IsContact(const std::string& peer) const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  auto found = m_resolveCache.find(peer);
  return found != m_resolveCache.end() && (found->second.m_flags & kContactBit) != 0;
}

// --- ban list ---------------------------------------------------------------------------------

bool HX_GrossBuchCache::AddToBanList(const HXDBBaseSessionLock& held, const char* peer,
                                     const char* name) {
  if (peer == nullptr) return false;
  std::string shown;
  if (name == nullptr) {
    shown = peer;
  } else if (*name == '\0') {
    hx::DisplayName known;
    if (getDisplayName(peer, known)) shown = known.m_dn;
  } else {
    shown = name;
  }
  const long long now = hx::WallClockSeconds();
  unsigned long long changed = 0;
  const bool ok = Guarded([&] {
    cppdb::statement insert = *held << sql::insert_ban << peer << shown << now;
    insert.exec();
    changed = insert.affected();
    if (changed != 0) return;
    cppdb::statement update = *held << sql::update_ban << now << peer;
    update.exec();
    changed = update.affected();
  });
  if (!ok) return false;
  if (changed == 0) return true;
  addCacheItem(peer,
               ResolveCacheItem(TypeOf(peer), shown, hx::DisplayName::kSourceCache, kBanBit, 0));
  return true;
}

bool HX_GrossBuchCache::RemoveFromBanList(const HXDBBaseSessionLock& held, const char* peer,
                                          const char* name) {
  if (peer == nullptr) return false;
  const long long now = hx::WallClockSeconds();
  unsigned long long deleted = 0;
  const bool ok = Guarded([&] {
    if (name != nullptr) {
      *held << sql::del_ban_dn << now << name << peer << cppdb::exec;
      return;
    }
    *held << sql::del_ban << now << peer << cppdb::exec;
    cppdb::statement clear = *held << sql::del_contact_clear << peer;
    clear.exec();
    deleted = clear.affected();
  });
  if (!ok) return false;
  auto found = m_resolveCache.find(peer);
  if (found != m_resolveCache.end()) {
    if (deleted != 0) {
      m_resolveCache.erase(found);
    } else {
      found->second.m_flags &= ~kBanBit;
    }
  }
  return true;
}

bool HX_GrossBuchCache::ClearBanList() {
  HXDBBaseSessionLock held = Session();
  const bool ok = Guarded([&] { *held << sql::reset_ban << cppdb::exec; });
  if (!ok) return false;
  for (auto& [peer, item] : m_resolveCache) item.m_flags &= ~kBanBit;
  return true;
}

bool HX_GrossBuchCache::ManageAbBanList(uint32_t bookHash, const std::set<std::string>& bans,
                                        std::set<std::string>& added,
                                        std::set<std::string>& removed) {
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    const std::set<std::string> current = GetBans();
    for (const std::string& peer : current) {
      if (bans.count(peer) != 0) continue;
      if (!RemoveFromBanList(held, peer.c_str(), nullptr)) return false;
      removed.insert(peer);
    }
    for (const std::string& peer : bans) {
      if (current.count(peer) != 0) continue;
      if (!AddToBanList(held, peer.c_str(), nullptr)) return false;
      added.insert(peer);
    }
    SetBookHashNL(held, HX_AB_BANS, bookHash);
    return true;
  });
}

bool HX_GrossBuchCache::AddPeerAbBanList(const char* peer, const char* name, uint32_t bookHash) {
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    if (!AddToBanList(held, peer, name)) return false;
    SetBookHashNL(held, HX_AB_BANS, bookHash);
    return true;
  });
}

bool HX_GrossBuchCache::DelPeerAbBanList(const char* peer, const char* name, uint32_t bookHash) {
  HXDBBaseSessionLock held = Session();
  return InTransaction(held, [&] {
    if (!RemoveFromBanList(held, peer, name)) return false;
    SetBookHashNL(held, HX_AB_BANS, bookHash);
    return true;
  });
}

std::set<std::string> HX_GrossBuchCache::GetBans() const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  std::set<std::string> bans;
  for (const auto& [peer, item] : m_resolveCache) {
    if ((item.m_flags & kBanBit) != 0) bans.insert(peer);
  }
  return bans;
}

bool HX_GrossBuchCache::IsBan(const std::string& peer) const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  auto found = m_resolveCache.find(peer);
  if (found != m_resolveCache.end()) return (found->second.m_flags & kBanBit) != 0;
  // Until the user's lists are known, nobody counts as allowed.
  return !IsUserOpen();
}

// --- display names ----------------------------------------------------------------------------

bool HX_GrossBuchCache::AddToCache(const char* peer, const char* name) {
  if (peer == nullptr || name == nullptr) return false;
  HXDBBaseSessionLock held = Session();
  if (!IsUserOpen()) return true;
  const long long now = hx::WallClockSeconds();
  unsigned long long changed = 0;
  const bool ok = Guarded([&] {
    cppdb::statement insert = *held << sql::insert_cache << peer << name << now;
    insert.exec();
    changed = insert.affected();
    if (changed != 0) return;
    // Changes only rows that are not contacts: a contact's name is the contact list's.
    cppdb::statement update = *held << sql::update_cache << name << now << peer;
    update.exec();
    changed = update.affected();
  });
  if (!ok) return false;
  if (changed == 0) return true;
  addCacheItem(peer, ResolveCacheItem(TypeOf(peer), name, hx::DisplayName::kSourceCache, 0, 0));
  return true;
}

void HX_GrossBuchCache::ExpireCache() {
  HXDBBaseSessionLock held = Session();
  const long long now = hx::WallClockSeconds();
  unsigned long long deleted = 0;
  const bool ok = Guarded([&] {
    cppdb::statement clear = *held << sql::clear_cache << now;
    clear.exec();
    deleted = clear.affected();
  });
  if (ok && deleted != 0) UpdateResolvCache(held);
}

bool HX_GrossBuchCache::getDisplayName(const char* peer, hx::DisplayName& name) const {
  if (peer == nullptr) return false;
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  const bool reduce = *peer == '#' || *peer == '+' || *peer == '\\';
  const std::string key =
      reduce ? hx::CallIdParser::getCallIdNC(std::string(peer)) : std::string(peer);
  auto found = m_resolveCache.find(key);
  if (found == m_resolveCache.end()) return false;
  name = static_cast<const hx::DisplayName&>(found->second);
  return true;
}

std::optional<std::string> HX_GrossBuchCache::GetDisplayName(
    const char* peer, hx::DisplayName::ReturnValue choice) const {
  if (peer != nullptr) {
    HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
    auto found = m_resolveCache.find(peer);
    if (found != m_resolveCache.end() && found->second.m_nextRequest == 0)
      return found->second.m_dn;
  }
  switch (choice) {
    case hx::DisplayName::kReturnCallId:
      if (peer == nullptr) return std::nullopt;
      return std::string(peer);
    case hx::DisplayName::kReturnNull:
      return std::nullopt;
    default:
      return std::string();
  }
}

bool HX_GrossBuchCache::isCacheRequestAllowed(const std::string& peer) {
  HXAutoLock hold(*this);
  auto found = m_resolveCache.find(peer);
  if (found == m_resolveCache.end()) {
    const hx::DisplayName generated = hx::CallIdParser::dnFromCallId(peer);
    found = m_resolveCache
                .emplace(peer, ResolveCacheItem(generated.m_type, generated.m_dn,
                                                hx::DisplayName::kSourceGenerated, 0, 0))
                .first;
  }
  const int64_t now = hx::WallClockSeconds();
  if (now < found->second.m_nextRequest) return false;
  // Saturated: a clock at the end of its range must not overflow the window.
  found->second.m_nextRequest =
      now > INT64_MAX - kRequestWindowSeconds ? INT64_MAX : now + kRequestWindowSeconds;
  return true;
}

// --- per-book hash and checksum ---------------------------------------------------------------

uint32_t HX_GrossBuchCache::GetBookHash(HX_AddressBook book) const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  auto found = m_hashList.find(static_cast<uint32_t>(book));
  return found != m_hashList.end() ? found->second : 0;
}

uint32_t HX_GrossBuchCache::GetBookCrc(HX_AddressBook book) const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  auto found = m_crcList.find(static_cast<uint32_t>(book));
  return found != m_crcList.end() ? found->second : 0;
}

void HX_GrossBuchCache::SetBookHashNL(const HXDBBaseSessionLock& held, HX_AddressBook book,
                                      uint32_t hash) {
  const bool ok = Guarded([&] {
    *held << sql::insert_hash << static_cast<int>(book) << static_cast<int32_t>(hash)
          << cppdb::exec;
    *held << sql::update_hash << static_cast<int32_t>(hash) << static_cast<int>(book)
          << cppdb::exec;
  });
  if (ok) m_hashList[static_cast<uint32_t>(book)] = hash;
}

void HX_GrossBuchCache::SetBookHash(HX_AddressBook book, uint32_t hash) {
  HXDBBaseSessionLock held = Session();
  SetBookHashNL(held, book, hash);
}

void HX_GrossBuchCache::SetBookCrc(const HXDBBaseSessionLock& held, HX_AddressBook book,
                                   uint32_t crc) {
  if (!IsUserOpen()) return;
  const bool ok = Guarded([&] {
    *held << sql::insert_crc << static_cast<int>(book) << static_cast<int32_t>(crc) << cppdb::exec;
    *held << sql::update_crc << static_cast<int32_t>(crc) << static_cast<int>(book) << cppdb::exec;
  });
  if (ok) m_crcList[static_cast<uint32_t>(book)] = crc;
}

void HX_GrossBuchCache::SetBookCrc(HX_AddressBook book, uint32_t crc) {
  HXDBBaseSessionLock held = Session();
  SetBookCrc(held, book, crc);
}

bool HX_GrossBuchCache::PeerIdLess::operator()(const std::string& left,
                                               const std::string& right) const {
  const auto fold = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a')
                                  : static_cast<unsigned char>(c);
  };
  return std::lexicographical_compare(
      left.begin(), left.end(), right.begin(), right.end(),
      [&fold](char a, char b) { return fold(a) < fold(b); });
}

HX_GrossBuchCache::ResolveCacheMap HX_GrossBuchCache::ResolveCache() const {
  HXAutoLock hold(const_cast<HX_GrossBuchCache&>(*this));
  return m_resolveCache;
}
