#include "core/net/proxy/proxy_auth_session.h"

#include <utility>

#include "core/net/loop/zserver.h"
#include "core/net/proxy/http/http_auth_session.h"
#include "core/net/proxy/proxy_authenticator.h"
#include "core/net/proxy/proxy_list.h"

namespace hx::netproxy {

void ProtocolAuthSession::clear() {
  clearImp();
  m_state = stateIdle;
}

void ProtocolAuthSession::resetState() {
  if (m_state <= stateWaitingGui) return;
  resetStateImp();
  m_state = stateIdle;
}

GuiNotifyEvent ProtocolAuthSession::getError() const {
  switch (m_state) {
    case stateNoCredentials:
      return eventNoCredentials;
    case stateRefused:
      return eventBadCredentials;
    case stateUnusable:
      return eventUnusable;
    default:
      return eventNone;
  }
}

HttpAuthSession::HttpAuthSession(std::shared_ptr<hx::http::AuthSession> session)
    : m_session(std::move(session)) {}

HttpAuthSession::~HttpAuthSession() { dropRequest(); }

std::shared_ptr<AuthChallengeGuiUserPassword> HttpAuthSession::createChallengeGui() const {
  return std::make_shared<AuthChallengeGuiUserPassword>(m_session ? m_session->realm()
                                                                  : std::string());
}

void HttpAuthSession::dropRequest() {
  if (!m_request) return;
  const std::shared_ptr<AuthDialogGui> request = std::move(m_request);
  request->stop();
  // The authenticator keeps a request until it is removed; only the one that made it can, and
  // only while it still exists (the proxy list owns it).
  HX_ProxyList* list = HXZServer::getProxyList();
  HX_ProxyAuthenticator* authenticator = list == nullptr ? nullptr : list->getAuthenticator();
  if (authenticator != nullptr && authenticator == request->authenticator()) {
    authenticator->removeDialog(request->number());
  }
}

uint32_t HttpAuthSession::setGuiRequest(std::shared_ptr<AuthDialogGui> dialog,
                                        AuthCallback* callback) {
  const uint32_t number = getNextSeqId();
  m_request = std::move(dialog);
  m_waiting[number] = callback;
  m_state = stateWaitingGui;
  return number;
}

bool HttpAuthSession::waitingGui(AuthCallback* callback, uint32_t& number) {
  if (!m_request || m_state != stateWaitingGui) return false;
  if (number != kNone && m_waiting.count(number) != 0) return true;
  number = getNextSeqId();
  m_waiting[number] = callback;
  return true;
}

void HttpAuthSession::removeRequest(uint32_t number) { m_waiting.erase(number); }

bool HttpAuthSession::isSeqIdFree(uint32_t number) const { return m_waiting.count(number) == 0; }

void HttpAuthSession::onResponseReady(uint32_t) {
  if (!m_request) return;
  m_state = stateNoCredentials;
  const std::shared_ptr<AuthResponseGui> response = m_request->getResponse();
  if (response && response->getType() == authUserPassword) {
    const auto& credentials = static_cast<const AuthResponseGuiUserPassword&>(*response);
    if (credentials.ready() && m_session) {
      m_session->setUserPassword(credentials.getUser(), credentials.getPassword());
      m_state = stateCredentials;
    }
  }
  dropRequest();
  // Callbacks may register again or withdraw while they run: take the list first.
  std::map<uint32_t, AuthCallback*> waiting;
  waiting.swap(m_waiting);
  for (const auto& [number, callback] : waiting) callback->onResponseReady(number);
}

void HttpAuthSession::clearImp() {
  dropRequest();
  m_waiting.clear();
  m_session.reset();
}

void HttpAuthSession::resetStateImp() {
  dropRequest();
  m_waiting.clear();
}

}  // namespace hx::netproxy
