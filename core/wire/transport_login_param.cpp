#include "core/wire/transport_login_param.h"

void HX_TransportLoginParam::SetDomainKey(const std::string& domain, const std::string& key) {
  m_domain = domain;
  m_key = key;
}

void HX_TransportLoginParam::SetDomainLogin(const std::string& domain, const std::string& login) {
  m_domain = domain;
  m_login = login;
}

void HX_TransportLoginParam::SetLoginParams(const std::string& domain, const std::string& login,
                                            const std::string& key) {
  m_domain = domain;
  m_login = login;
  m_key = key;
}

void HX_TransportLoginParam::clear() {
  m_domain.clear();
  m_login.clear();
  m_key.clear();
  m_encryptPassword = true;
}

bool HX_TransportLoginParam::empty() const {
  return m_encryptPassword && m_login.empty() && m_key.empty();
}
