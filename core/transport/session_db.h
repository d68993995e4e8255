#pragma once
// The store in which the transport session keeps what outlives a connection: each domain's login
// and key, the last server address and port, the last domain, and named values of other parts.
// The settings database implements it; implementations are safe to call from any thread.

#include <cstddef>
#include <string>

namespace hx::transport {

class SessionDB {
 public:
  virtual ~SessionDB() = default;

  virtual void SetDomainLogin(const std::string& domain, const std::string& login) = 0;
  virtual void SetDomainKey(const std::string& domain, const std::string& key) = 0;
  // The stored login and key of `domain`; false, leaving both unchanged, when none are stored.
  virtual bool GetLoginParams(const std::string& domain, std::string& login, std::string& key) = 0;
  // The last server address and its port; an empty address when none is stored.
  virtual std::string getServerAddress(unsigned short& port) = 0;
  // The last domain, or `def` (which is then stored) when none is.
  virtual std::string getLastConnectedDomain(const std::string& def) = 0;
  virtual void setServerAddress(const std::string& address, unsigned short port) = 0;
  virtual void setLastConnectedDomain(const std::string& domain) = 0;
  // A named value as text; false with `value` = `def` (empty for null) when it is missing.
  virtual bool ReadRef(const char* name, std::string& value, const char* def) = 0;
  // A named value copied into `buffer`, cut at `size` bytes; false when it is missing.
  virtual bool ReadRef(const char* name, void* buffer, size_t size) = 0;
  virtual void Remove(const char* name) = 0;
  virtual void Write(const char* name, const void* data, size_t size) = 0;
};

}  // namespace hx::transport
