#include "core/storage/db_base.h"

#include <utility>

#include "core/storage/db_guard.h"
#include "core/storage/sqlite_statements.h"

HXDBBaseSessionLock::HXDBBaseSessionLock(cppdb::session* session, HXLock* lock)
    : session_(session), lock_(lock) {
  lock_->Lock();
}

HXDBBaseSessionLock::HXDBBaseSessionLock(HXDBBaseSessionLock&& other) noexcept
    : session_(other.session_), lock_(std::exchange(other.lock_, nullptr)) {}

HXDBBaseSessionLock::~HXDBBaseSessionLock() {
  if (lock_ != nullptr) lock_->Unlock();
}

HXDBBase::HXDBBase(int version, const char* name)
    : session_(std::make_unique<cppdb::session>()), schema_version_(version), name_(name ? name : "") {}

HXDBBase::~HXDBBase() {
  HXAutoLock hold(*this);
  // The base's own Close: a derived part is already gone.
  HXDBBase::Close();
  session_.reset();
}

std::string HXDBBase::GetStorageNameSuffix() const { return ""; }

std::string HXDBBase::GetStorageFSName() const { return GetStorageNameSuffix(); }

std::string HXDBBase::GetStorageFSName(const std::string& peer) const {
  return PathEncode(GetStorageName(peer));
}

void HXDBBase::Close() {
  DB_GUARD_CALL([this] { closeNL(Session()); });
}

void HXDBBase::closeNL(const HXDBBaseSessionLock& held) {
  if (held->is_open()) held->close();
}

HXDBBase* HXDBBase::createInstance() const { return nullptr; }

bool HXDBBase::handleZeroVersion() { return false; }

bool HXDBBase::Upgrade(int /*oldVersion*/) { return Drop() && Create(); }

bool HXDBBase::IsOpen() const { return Session()->is_open(); }

HXDBBaseSessionLock HXDBBase::Session() const {
  return HXDBBaseSessionLock(session_.get(), &DatabaseLock());
}

int HXDBBase::GetVersion() {
  int version = 0;
  return ReadVersion(version) ? version : 0;
}

bool HXDBBase::ReadVersion(int& version) {
  bool read = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::sqlite::get_version;
    read = row.next() && row.fetch(0, version);
  });
  return ok && read;
}

void HXDBBase::SetVersion(const HXDBBaseSessionLock& held, unsigned version) {
  *held << (hx::sqlite::set_version + std::to_string(version)) << cppdb::exec;
}

bool HXDBBase::SetRequestLimit(size_t n) {
  request_limit_ = n < 1000 ? n : kUnlimited;
  return true;
}

std::string HXDBBase::ReqWithLim(const std::string& query) const {
  return IsUnlimReq() ? query : query + hx::sqlite::limit_part;
}

void HXDBBase::AppendLimParams(hx::db::Statement& statement, unsigned page) const {
  if (IsUnlimReq()) return;
  const unsigned long long offset = static_cast<unsigned long long>(page) * request_limit_;
  statement.statement.bind(offset);
  statement.statement.bind(static_cast<unsigned long long>(request_limit_));
}
