#pragma once
// The per-user chat history database, "<MD5 of the peer id>.chat.sqlite", at schema version 13:
// messages with their full-text index and previews, the list of chats (pages) and the message
// attributes with their name directory. This is the part that creating, upgrading, backing up and
// restoring the file needs; the message store is built on it.
//
// Thread safety: as HXDBPeerBase; every statement runs under the database lock.

#include <string>

#include "core/storage/db_peer_base.h"

class HX_ChatDB : public HXDBPeerBase {
 public:
  static constexpr int kSchemaVersion = 13;

  HX_ChatDB();
  ~HX_ChatDB() override = default;

  std::string GetStorageNameSuffix() const override;
  HXDBBase* createInstance() const override;
  bool Create() override;
  bool Drop() override;
  // A file without a version: recognised as version 11 or 10 by its columns, else rebuilt empty.
  bool handleZeroVersion() override;
  bool Upgrade(int oldVersion) override;

  // Drops every table: all in one transaction (false on an error), or one by one, where an error
  // skips only that table (always true).
  bool dropTables(bool oneByOne);

 private:
  bool upgrade_from_v12();
  void create_new_v12_tables(const HXDBBaseSessionLock& held);
  // Whether `probe` runs on this file, that is whether the column it reads exists.
  bool QueryRuns(const char* probe);
  bool UpgradeRecognised(int version);
};
