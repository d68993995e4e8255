#include "core/net/proxy/proxy_auth_records.h"

namespace hx::netproxy {

void WipeText(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = '*';
}

AuthResponseGuiUserPassword::AuthResponseGuiUserPassword(const AuthResponseGuiUserPassword& other)
    : AuthResponseGui(),
      m_ready(other.m_ready),
      m_password(other.m_password),
      m_user(other.m_user) {}

AuthResponseGuiUserPassword::~AuthResponseGuiUserPassword() { wipe(); }

std::shared_ptr<AuthResponseGui> AuthResponseGuiUserPassword::clone() const {
  return std::make_shared<AuthResponseGuiUserPassword>(*this);
}

void AuthResponseGuiUserPassword::set(const std::string& user, const std::string& password) {
  wipe();
  m_user = user;
  m_password = password;
  m_ready = true;
}

}  // namespace hx::netproxy
