#pragma once
// The login identity the transport logs in with: domain, login name, the key that stands in for
// the password (a session cookie or a key taken from a call link) and whether the password is sent
// encrypted. A value record; not thread-safe.

#include <string>

class HX_TransportLoginParam {
 public:
  HX_TransportLoginParam() = default;
  virtual ~HX_TransportLoginParam() = default;
  HX_TransportLoginParam(const HX_TransportLoginParam&) = default;
  HX_TransportLoginParam& operator=(const HX_TransportLoginParam&) = default;

  void SetDomainKey(const std::string& domain, const std::string& key);
  void SetDomainLogin(const std::string& domain, const std::string& login);
  void SetLoginParams(const std::string& domain, const std::string& login, const std::string& key);

  void setDomain(const std::string& domain) { m_domain = domain; }
  void setLogin(const std::string& login) { m_login = login; }
  void setKey(const std::string& key) { m_key = key; }
  void setEncryptPassword(bool encrypt) { m_encryptPassword = encrypt; }

  const std::string& getDomain() const { return m_domain; }
  const std::string& getLogin() const { return m_login; }
  const std::string& getKey() const { return m_key; }
  bool getEncryptPassword() const { return m_encryptPassword; }

  // Empties the three texts and sets encrypt password back to true.
  void clear();
  // True only when nothing identifies a user: encrypt password is true and both login and key are
  // empty. The domain does not count; a record that sends the password in clear is never empty.
  bool empty() const;

 private:
  std::string m_domain;
  std::string m_login;
  std::string m_key;
  bool m_encryptPassword = true;
};
