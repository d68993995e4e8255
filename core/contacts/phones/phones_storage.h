#pragma once
// HX_PhonesStorage: the phone numbers of the user's contacts, in memory by peer id and written
// through to the user's HX_PhonesDB so that they are there again after a restart. The client
// object empties it when a phones book begins (Reset) and stores each phone of the book
// (SetPhone); readers take a peer's phones with GetPhoneList, which falls back to the file.
//
// The memory copy always takes a change, even when writing it to the file fails, so the two can
// differ after a database error. An entry that moves to another peer keeps its old copy in memory
// under the old peer until the next Reset; the file row, keyed by the phone id, moves.
//
// Thread safety: every operation but OpenDatabase holds the store's own lock for its whole run,
// database calls included; OpenDatabase takes only the global database lock (inside
// HXDBPeerBase). Lock order: the store, then the database object.

#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/contacts/phones/phones_db.h"

class HX_PhonesStorage : public HXLock {
 public:
  using PhonesMap = std::multimap<std::string, HX_PhonesDB::Description>;

  HX_PhonesStorage();
  ~HX_PhonesStorage() override;
  HX_PhonesStorage(const HX_PhonesStorage&) = delete;
  HX_PhonesStorage& operator=(const HX_PhonesStorage&) = delete;

  // Opens (or creates) the user's file read-write, recreating a damaged one. False for a null or
  // empty peer and when the file can be neither opened nor created (a database error of the
  // recreation is answered as false, never thrown); true at once for the peer already open. The
  // memory copy is not touched.
  bool OpenDatabase(const char* peerId, const char* dir);
  // Replaces the peer's entry of that phone id (byte for byte) in memory, or adds it, then
  // writes it to the file; the file's result. A missing phone id, peer id or number is logged
  // and stores nothing (false).
  bool SetPhone(const char* phoneId, const char* peerId, const char* phone, PhoneType type, bool editable);
  // Removes the peer's first entry of that phone id from memory, then the row from the file
  // whether or not one was in memory; the file's result.
  bool DelPhone(const char* phoneId, const char* peerId);
  // The peer's entries from memory; when there are none, from the file, which are then kept in
  // memory (a peer without phones asks the file every time).
  HX_PhonesDB::DescriptionSet GetPhoneList(const char* peerId);
  PhonesMap GetPhonesList();
  // The file's entry of `phoneId`; when it is empty, the peer's entries are reloaded from the
  // file into memory (UpdatePhoneList).
  HX_PhonesDB::Description GetPhoneDescription(const char* peerId, const char* phoneId);
  // Adds every file entry of the peer to memory (entries already there stay, so one can appear
  // twice); true when the file gave at least one.
  bool UpdatePhoneList(const char* peerId);
  // Empties the memory copy, then the file's table. False when the database is closed or any
  // step fails; a database error is answered, never thrown.
  bool Reset();

  // The database, for readers that need the file itself.
  HX_PhonesDB& database() { return *m_phonesDB; }

 private:
  std::unique_ptr<HX_PhonesDB> m_phonesDB;
  PhonesMap m_phones;
};
