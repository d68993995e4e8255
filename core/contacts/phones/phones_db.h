#pragma once
// HX_PhonesDB: the per-user database of the address book's phone numbers,
// "<MD5 of the peer id>.phones.sqlite", schema version 1: one row per phone entry, keyed by the
// server's phone id without regard to letter case.
//
// Every operation runs its statements in one session under the object's lock; false, an empty
// set or an empty entry mean a database error (a closed database is one). Rows of a file that
// this class did not write are read defensively: a NULL text reads as empty, a NULL type as 0
// (an empty entry) and a NULL editable flag as false.
//
// Thread safety: as HXDBBase.

#include <cstdint>
#include <set>
#include <string>

#include "core/storage/db_peer_base.h"

// The kind of a phone number as the address book sends it; stored and returned unchanged.
enum PhoneType : int32_t {};

class HX_PhonesDB : public HXDBPeerBase {
 public:
  static constexpr int kSchemaVersion = 1;

  // One phone entry.
  struct Description {
    Description() = default;
    Description(std::string phoneId, std::string peerId, std::string phone, PhoneType phoneType,
                bool editable);

    // True when the phone id, the peer id or the number is empty, or the type is 0.
    bool IsEmpty() const;
    // By number text, then by phone id, both byte-wise (the shorter of two prefixes first).
    bool operator<(const Description& other) const;
    bool operator==(const Description&) const = default;

    std::string m_phoneId;
    std::string m_peerId;
    std::string m_phone;
    PhoneType m_phoneType{0};
    bool m_editable = false;
  };
  using DescriptionSet = std::set<Description>;

  HX_PhonesDB();
  ~HX_PhonesDB() override = default;

  std::string GetStorageNameSuffix() const override;

  // Creates the row of `phoneId` when it is new, then sets all its values (one session, no
  // transaction): a row of another peer moves to `peerId`. False for a null text.
  bool SetPhone(const char* phoneId, const char* peerId, const char* phone, PhoneType type, bool editable);
  bool DelPhone(const char* phoneId);
  // The peer's entries; what was read before a database error stays in the set.
  DescriptionSet GetPhoneList(const char* peerId);
  // The entry of the first row of `phoneId`; an empty entry (type 0) when there is none.
  Description GetPhoneDescription(const char* phoneId);

  // Creates the table and its index and writes the version, in one transaction; a database error
  // is thrown on to the caller (cppdb::cppdb_error).
  bool Create() override;
  bool Drop() override;
  // Drop, then Create when Drop succeeded; Create's error is thrown on as well.
  bool Reset();
};
