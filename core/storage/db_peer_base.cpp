#include "core/storage/db_peer_base.h"

#include "core/storage/db_guard.h"
#include "core/storage/db_manager.h"

HXDBPeerBase::HXDBPeerBase(int version, const char* name) : HXDBBase(version, name) {}

std::string HXDBPeerBase::GetStorageFSName() const { return GetStorageFSName(PeerId()); }

void HXDBPeerBase::Close() {
  DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    closeNL(held);
    peer_id_.clear();
  });
}

std::string HXDBPeerBase::PeerId() const {
  HXDBBaseSessionLock held = Session();
  return peer_id_;
}

bool HXDBPeerBase::OpenDatabase(const char* peer, const char* dir, HXDBBase::OpenMode mode) {
  if (peer == nullptr || *peer == '\0') return false;
  const std::string wanted = peer;
  if (PeerId() == wanted) return true;
  // The global lock comes first, so the database lock is not held while waiting for it.
  HXAutoLock global(HX_DBManager::instance()->getLock());
  const bool ok = _Open(dir, GetStorageName(wanted), mode);
  if (ok) {
    HXDBBaseSessionLock held = Session();
    peer_id_ = wanted;
  }
  return ok;
}
