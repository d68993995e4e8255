#pragma once
// hx::transport::UriLoginParams: the login a call link or a host hands to a transport target:
// domain, login, key and the encrypt-password flag, plus whether a change of login alone is to be
// acted on (force) and whether the login runs on temporary in-memory databases (templogin).
// A value record; not thread-safe.

#include "core/wire/transport_login_param.h"

namespace hx::transport {

class UriLoginParams : public HX_TransportLoginParam {
 public:
  UriLoginParams() = default;
  ~UriLoginParams() override = default;
  UriLoginParams(const UriLoginParams&) = default;
  UriLoginParams& operator=(const UriLoginParams&) = default;

  bool isForce() const { return m_force; }
  void setForce(bool force) { m_force = force; }
  bool isTempLogin() const { return m_tempLogin; }
  void setTempLogin(bool tempLogin) { m_tempLogin = tempLogin; }

  // The base's clear, and both flags false.
  void clear() {
    HX_TransportLoginParam::clear();
    m_force = false;
    m_tempLogin = false;
  }

 private:
  bool m_force = false;
  bool m_tempLogin = false;
};

}  // namespace hx::transport
