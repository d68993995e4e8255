#pragma once
// The base of the per-user databases: the file is named after the user ("peer") who owns it, and
// one object is open for at most one peer at a time. Thread-safe like HXDBBase.

#include <string>

#include "core/storage/db_base.h"

class HXDBPeerBase : public HXDBBase {
 public:
  HXDBPeerBase(int version, const char* name);

  std::string GetStorageFSName() const override;
  using HXDBBase::GetStorageFSName;
  // Closes the session and forgets the peer id.
  void Close() override;

  // Opens the database of `peer` in `dir` under the global database lock; true at once when that
  // peer is open already, false for a null or empty peer. Modes as HXDBBase::OpenDatabase.
  bool OpenDatabase(const char* peer, const char* dir, HXDBBase::OpenMode mode);
  using HXDBBase::OpenDatabase;

  // The user whose database is open; empty when none is.
  std::string PeerId() const;

 private:
  std::string peer_id_;
};
