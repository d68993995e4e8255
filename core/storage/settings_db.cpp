#include "core/storage/settings_db.h"

#include "core/base/ios_log.h"
#include "core/storage/db_guard.h"
#include "core/storage/settings_keys.h"
#include "core/storage/settings_statements.h"

namespace {

// Keys of the version 1 schema, and the key under which the client reads its application id.
constexpr const char kOldAppId[] = "AppId";
constexpr const char kOldLastLogin[] = "LastLogin";
constexpr const char kOldKey[] = "Key";
constexpr const char kAppEndpointId[] = "AppEndpId";

}  // namespace

HX_SettingsDB::HX_SettingsDB(const char* name) : HXDBBase(kSchemaVersion, name) {}

bool HX_SettingsDB::Create() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << hx::settings::db::create_main << cppdb::exec;
        *held << hx::settings::db::create_logins << cppdb::exec;
        *held << hx::settings::db::set_indexes_0 << cppdb::exec;
        *held << hx::settings::db::set_indexes_1 << cppdb::exec;
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

bool HX_SettingsDB::Drop() {
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << hx::settings::db::drop_main << cppdb::exec;
    *held << hx::settings::db::drop_logins << cppdb::exec;
    transaction.commit();
  });
}

bool HX_SettingsDB::Upgrade(int oldVersion) {
  if (oldVersion == 1) return UpgradeFromVersion1();
  // Other versions keep their tables and version. A version 10 file may hold the application id
  // only under its old name; the client reads it under the new one.
  if (oldVersion == 10) {
    std::string current;
    std::string appId;
    if (!ReadRef(kAppEndpointId, current, nullptr) && ReadRef(kOldAppId, appId, nullptr)) {
      StoreAppEndpointId(appId);
    }
  }
  return true;
}

bool HX_SettingsDB::UpgradeFromVersion1() {
  if (!_CreateOld()) return false;
  std::string appId;
  std::string login;
  std::string key;
  const bool all_found = _ReadOldLoginParams(appId, login, key);
  if (!HXDBBase::Upgrade(1)) return false;
  if (all_found) _WriteOldLoginParams(appId, login, key);
  return all_found;
}

bool HX_SettingsDB::_CreateOld() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        *held << hx::settings::old_db::create_main << cppdb::exec;
      },
      true);
}

bool HX_SettingsDB::_ReadOldLoginParams(std::string& appId, std::string& login, std::string& key) {
  // The current statements work on the old table: SQLite matches column names without case.
  const bool has_app_id = ReadRef(kOldAppId, appId, nullptr);
  const bool has_login = ReadRef(kOldLastLogin, login, nullptr);
  const bool has_key = ReadRef(kOldKey, key, nullptr);
  return has_app_id && has_login && has_key;
}

void HX_SettingsDB::_WriteOldLoginParams(const std::string& appId, const std::string& login,
                                         const std::string& key) {
  const size_t at = login.find('@');
  if (at == std::string::npos) return;
  const std::string domain = login.substr(at + 1);
  Write(kOldAppId, appId.c_str());
  StoreAppEndpointId(appId);
  SetDomainLogin(domain, login);
  SetDomainKey(domain, key);
}

void HX_SettingsDB::StoreAppEndpointId(const std::string& appId) { Write(kAppEndpointId, appId.c_str()); }

bool HX_SettingsDB::_Get(const char* name, std::ostream& out) {
  if (name == nullptr) return false;
  bool found = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::settings::db::get << name;
    found = row.next() && row.fetch(0, out);
  });
  return ok && found;
}

bool HX_SettingsDB::_Write(const char* name, std::istream& in) {
  if (name == nullptr) return false;
  const bool written = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << hx::settings::db::set << name << in << cppdb::exec;
    transaction.commit();
  });
  if (!written) ios_log("Settings: cannot store %s", name);
  return written;
}

bool HX_SettingsDB::ReadRef(const char* name, std::string& value, const char* def) {
  std::ostringstream out;
  if (_Get(name, out)) {
    value = out.str();
    return true;
  }
  value = def != nullptr ? def : "";
  return false;
}

bool HX_SettingsDB::ReadRef(const char* name, void* buffer, size_t size) {
  char* begin = static_cast<char*>(buffer);
  streamhelper window(begin, begin + (buffer != nullptr ? size : 0));
  std::ostream out(&window);
  return _Get(name, out);
}

void HX_SettingsDB::Write(const char* name, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::string copy(bytes, bytes != nullptr ? size : 0);
  streamhelper window(copy.data(), copy.data() + copy.size());
  std::istream in(&window);
  _Write(name, in);
}

void HX_SettingsDB::Remove(const char* name) {
  if (name == nullptr) return;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << hx::settings::db::delete_param << name << cppdb::exec;
  });
}

bool HX_SettingsDB::GetSavedLogins(std::set<std::string>& logins) {
  logins.clear();
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result rows = *held << hx::settings::db::get_saved_logins_all;
    while (rows.next()) {
      std::string login;
      rows.fetch(0, login);
      logins.insert(login);
    }
  });
}

void HX_SettingsDB::UpdateLogins(const char* statement, const std::string& domain, const std::string& value) {
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << hx::settings::db::insert_domain_login << domain << cppdb::exec;
    *held << statement << value << domain << cppdb::exec;
    transaction.commit();
  });
}

void HX_SettingsDB::SetDomainLogin(const std::string& domain, const std::string& login) {
  UpdateLogins(hx::settings::db::update_login, domain, login);
}

void HX_SettingsDB::SetDomainKey(const std::string& domain, const std::string& key) {
  UpdateLogins(hx::settings::db::update_key, domain, key);
}

bool HX_SettingsDB::GetLoginParams(const std::string& domain, std::string& login, std::string& key) {
  bool found = false;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << hx::settings::db::get_login_key << domain;
    if (!row.next()) return;
    std::string stored_login;
    std::string stored_key;
    row.fetch(0, stored_login);
    row.fetch(1, stored_key);
    login = stored_login;
    key = stored_key;
    found = true;
  });
  return found;
}

std::string HX_SettingsDB::getServerAddress(unsigned short& port) {
  std::string address;
  port = kDefaultServerPort;
  if (!ReadRef(LastServerAddress, address, nullptr)) return "";
  const unsigned short stored = Read<unsigned short>(ServerPort, kDefaultServerPort);
  if (stored != 0) port = stored;
  return address;
}

std::string HX_SettingsDB::getLastConnectedDomain(const std::string& def) {
  std::string domain;
  if (ReadRef(ServerDomain, domain, def.c_str())) return domain;
  Write(ServerDomain, def);
  return def;
}

void HX_SettingsDB::setServerAddress(const std::string& address, unsigned short port) {
  Write(ServerAddress, address);
  Write(LastServerAddress, address);
  Write(ServerPort, port);
}

void HX_SettingsDB::setLastConnectedDomain(const std::string& domain) { Write(ServerDomain, domain); }

HX_SettingsDBFile::HX_SettingsDBFile() : HX_SettingsDB("HX_SettingsDBFile") {}

HXDBBase* HX_SettingsDBFile::createInstance() const { return new HX_SettingsDBFile(); }

std::string HX_SettingsDBFile::GetStorageNameSuffix() const { return "settings.sqlite"; }

HX_SettingsDBTemp::HX_SettingsDBTemp() : HX_SettingsDB("HX_SettingsDBTemp") {}

std::string HX_SettingsDBTemp::GetStorageNameSuffix() const { return ":memory:"; }
