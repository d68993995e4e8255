#pragma once
// The client's key-value store of settings and its per-domain login store, in "settings.sqlite"
// (HX_SettingsDBFile) or in memory (HX_SettingsDBTemp). Names compare without regard to ASCII case;
// values are byte strings, numbers stored as their decimal text.
//
// Thread safety: every operation may be called from any thread; each takes the database lock for
// its statements. A database error makes readers report "not found"; writers that return a result
// report it, the others log it. A connection waits up to 5 s for another one's lock.

#include <cstddef>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>

#include "core/storage/db_base.h"
#include "core/transport/session_db.h"

class HX_SettingsDB : public hx::transport::SessionDB, public HXDBBase {
 public:
  static constexpr int kSchemaVersion = 11;
  static constexpr unsigned short kDefaultServerPort = 4307;

  explicit HX_SettingsDB(const char* name);
  ~HX_SettingsDB() override = default;

  // hx::transport::SessionDB
  void SetDomainLogin(const std::string& domain, const std::string& login) override;
  void SetDomainKey(const std::string& domain, const std::string& key) override;
  bool GetLoginParams(const std::string& domain, std::string& login, std::string& key) override;
  std::string getServerAddress(unsigned short& port) override;
  std::string getLastConnectedDomain(const std::string& def) override;
  void setServerAddress(const std::string& address, unsigned short port) override;
  void setLastConnectedDomain(const std::string& domain) override;
  bool ReadRef(const char* name, std::string& value, const char* def) override;
  bool ReadRef(const char* name, void* buffer, size_t size) override;
  void Remove(const char* name) override;
  void Write(const char* name, const void* data, size_t size) override;

  // HXDBBase
  bool Upgrade(int oldVersion) override;
  bool Create() override;
  bool Drop() override;

  // The setting's text read as a T with formatted input (a text that does not parse gives the
  // stream's failed-extraction value and still counts as found); `def` when it is missing.
  template <typename T>
  T Read(const char* name, T def, bool* found = nullptr) {
    std::ostringstream text;
    const bool exists = _Get(name, text);
    if (found != nullptr) *found = exists;
    if (!exists) return def;
    std::istringstream in(text.str());
    T value{};
    in >> value;
    return value;
  }

  // Stores the value's formatted text (a string's bytes, a C string's characters). False when the
  // database could not take it, also after waiting out another connection's lock.
  template <typename T>
  bool Write(const char* name, T value) {
    std::ostringstream text;
    if constexpr (std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>) {
      if (value != nullptr) text << value;
    } else {
      text << value;
    }
    std::istringstream in(text.str());
    return _Write(name, in);
  }

  // The logins of every domain that are neither empty nor blank; false when the query failed.
  bool GetSavedLogins(std::set<std::string>& logins);

 protected:
  // Writes the value of `name` to `out`; true when a row with a non-NULL value was found.
  bool _Get(const char* name, std::ostream& out);
  // Stores the bytes of `in` as the value of `name`, in one transaction; false (logged) when the
  // database refused it.
  bool _Write(const char* name, std::istream& in);

 private:
  bool UpgradeFromVersion1();
  bool _CreateOld();
  bool _ReadOldLoginParams(std::string& appId, std::string& login, std::string& key);
  void _WriteOldLoginParams(const std::string& appId, const std::string& login, const std::string& key);
  void StoreAppEndpointId(const std::string& appId);
  void UpdateLogins(const char* statement, const std::string& domain, const std::string& value);
};

class HX_SettingsDBFile : public HX_SettingsDB {
 public:
  HX_SettingsDBFile();
  HXDBBase* createInstance() const override;
  std::string GetStorageNameSuffix() const override;
};

class HX_SettingsDBTemp : public HX_SettingsDB {
 public:
  HX_SettingsDBTemp();
  std::string GetStorageNameSuffix() const override;
};
