#include "core/net/proxy/proxy_authenticator.h"

#include <utility>
#include <vector>

#include "core/base/stored_task.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_config.h"

using hx::netproxy::AuthChallengeGui;
using hx::netproxy::AuthDialogGui;
using hx::netproxy::AuthResponseGui;
using hx::netproxy::AuthType;
using hx::netproxy::Config;
using hx::netproxy::GuiAuthHelper;
using hx::netproxy::GuiNotifyEvent;

namespace hx::netproxy {

AuthDialogGui::AuthDialogGui(uint32_t number, HX_ProxyAuthenticator* authenticator,
                             std::shared_ptr<Config> config, AuthCallback* requester)
    : m_requester(requester),
      m_authenticator(authenticator),
      m_config(std::move(config)),
      m_number(number) {}

bool AuthDialogGui::setChallenge(std::shared_ptr<AuthChallengeGui> challenge) {
  HXAutoLock lock(m_lock);
  if (m_state != stateIdle) return false;
  m_state = stateChallenge;
  m_record = std::move(challenge);
  HXZServer::ScheduleUrgentJob(
      HXCallback::Save(m_authenticator, &HX_ProxyAuthenticator::onSetChallenge, m_number), 0,
      "proxy auth");
  return true;
}

std::shared_ptr<AuthChallengeGui> AuthDialogGui::getChallenge() {
  HXAutoLock lock(m_lock);
  if (m_state != stateChallenge) return nullptr;
  return std::static_pointer_cast<AuthChallengeGui>(m_record);
}

void AuthDialogGui::setResponse(std::shared_ptr<AuthResponseGui> response) {
  HXAutoLock lock(m_lock);
  if (m_state != stateChallenge) return;
  m_record = std::move(response);
  m_state = stateResponse;
  HXZServer::ScheduleNetworkJob(
      HXCallback::Save(m_authenticator, &HX_ProxyAuthenticator::runDialogEvent, m_number), 0);
}

std::shared_ptr<AuthResponseGui> AuthDialogGui::getResponse() {
  HXAutoLock lock(m_lock);
  if (m_state != stateResponse) return nullptr;
  m_state = stateIdle;
  return std::static_pointer_cast<AuthResponseGui>(std::move(m_record));
}

uint32_t AuthDialogGui::state() {
  HXAutoLock lock(m_lock);
  return m_state;
}

void AuthDialogGui::stop() {
  HXAutoLock lock(m_lock);
  m_requester = nullptr;
  m_state = stateIdle;
}

void AuthDialogGui::notifyRequester() {
  AuthCallback* requester = nullptr;
  {
    HXAutoLock lock(m_lock);
    if (m_state == stateIdle) return;
    requester = m_requester;
  }
  // Outside the lock: the requester takes the response, which locks again. Both run on the
  // loop's thread, the only one that clears the requester.
  if (requester != nullptr) requester->onResponseReady(m_number);
}

GuiAuthHelper::~GuiAuthHelper() = default;

void GuiAuthHelper::setResponse(uint32_t number, std::shared_ptr<AuthResponseGui> response) {
  if (HX_ProxyAuthenticator* authenticator = m_authenticator.load()) {
    authenticator->onGuiSetResponse(number, std::move(response));
  }
}

}  // namespace hx::netproxy

HX_ProxyAuthenticator::HX_ProxyAuthenticator() = default;

HX_ProxyAuthenticator::~HX_ProxyAuthenticator() {
  HXAutoLock lock(m_lock);
  if (m_helper) m_helper->m_authenticator = nullptr;
}

HX_ProxyAuthenticator::ProxyName HX_ProxyAuthenticator::nameOf(const Config& config) {
  ProxyName name;
  if (const auto& descriptor = config.getDescriptor()) {
    name.host = descriptor->getHost();
    name.port = descriptor->getPort();
  }
  return name;
}

bool HX_ProxyAuthenticator::isSeqIdFree(uint32_t number) const {
  return m_requests.count(number) == 0 && m_cache.count(number) == 0;
}

void HX_ProxyAuthenticator::setGuiHelper(std::shared_ptr<GuiAuthHelper> helper) {
  HXAutoLock lock(m_lock);
  if (m_helper) m_helper->m_authenticator = nullptr;
  m_helper = std::move(helper);
  if (m_helper) m_helper->m_authenticator = this;
}

std::shared_ptr<GuiAuthHelper> HX_ProxyAuthenticator::guiHelper() {
  HXAutoLock lock(m_lock);
  return m_helper;
}

bool HX_ProxyAuthenticator::hasAuthType(AuthType type) {
  HXAutoLock lock(m_lock);
  return m_helper && m_helper->hasAuthType(type);
}

std::shared_ptr<AuthDialogGui> HX_ProxyAuthenticator::createDialog(std::shared_ptr<Config> config) {
  if (!config) return nullptr;
  HXAutoLock lock(m_lock);
  const uint32_t number = getNextSeqId();
  auto* requester = config->getAuthSession().get();
  auto dialog = std::make_shared<AuthDialogGui>(number, this, std::move(config), requester);
  m_requests[number] = dialog;
  return dialog;
}

void HX_ProxyAuthenticator::removeDialog(uint32_t number) {
  HXAutoLock lock(m_lock);
  auto request = m_requests.find(number);
  if (request != m_requests.end()) {
    request->second->stop();
    m_requests.erase(request);
  }
  auto entry = m_requestEntries.find(number);
  if (entry != m_requestEntries.end() && eraseCacheEntry(entry->second, false)) {
    m_requestEntries.erase(entry);
  }
}

bool HX_ProxyAuthenticator::eraseCacheEntry(uint32_t entry, bool force) {
  HXAutoLock lock(m_lock);
  if (m_cache.count(entry) == 0) return true;
  for (auto name = m_proxyNames.begin(); name != m_proxyNames.end(); ++name) {
    if (name->second != entry) continue;
    if (!force) return false;
    m_proxyNames.erase(name);
    break;
  }
  m_cache.erase(entry);
  return true;
}

std::shared_ptr<AuthResponseGui> HX_ProxyAuthenticator::getCachedResponse(
    const std::shared_ptr<Config>& config, AuthType type) {
  if (!config) return nullptr;
  HXAutoLock lock(m_lock);
  auto name = m_proxyNames.find(nameOf(*config));
  if (name == m_proxyNames.end()) return nullptr;
  auto entry = m_cache.find(name->second);
  if (entry == m_cache.end() || !entry->second.response) {
    if (entry == m_cache.end() || entry->second.waiting == kNone) m_proxyNames.erase(name);
    return nullptr;
  }
  if (entry->second.waiting != kNone) return nullptr;
  const auto& response = entry->second.response;
  if (!response->isReusable() || response->getType() != type) return nullptr;
  return response;
}

void HX_ProxyAuthenticator::badAuthCredentials(const std::shared_ptr<Config>& config) {
  if (!config) return;
  if (const auto& session = config->getAuthSession()) session->resetState();
  HXAutoLock lock(m_lock);
  auto name = m_proxyNames.find(nameOf(*config));
  if (name == m_proxyNames.end()) return;
  auto entry = m_cache.find(name->second);
  if (entry != m_cache.end() && entry->second.waiting != kNone) return;
  if (entry != m_cache.end()) m_cache.erase(entry);
  m_proxyNames.erase(name);
}

void HX_ProxyAuthenticator::reportError(std::shared_ptr<Config> config, GuiNotifyEvent event,
                                        const std::string& text) {
  std::shared_ptr<GuiAuthHelper> helper = guiHelper();
  if (helper) helper->notifyEvent(std::move(config), event, text);
}

void HX_ProxyAuthenticator::onSetChallenge(uint32_t number) {
  std::shared_ptr<AuthDialogGui> answer_now;
  std::shared_ptr<AuthResponseGui> answer;
  {
    HXAutoLock lock(m_lock);
    auto request = m_requests.find(number);
    if (request == m_requests.end()) return;
    const std::shared_ptr<AuthDialogGui> dialog = request->second;
    const ProxyName name = nameOf(*dialog->config());
    bool named = false;
    auto known = m_proxyNames.find(name);
    if (known != m_proxyNames.end()) {
      auto entry = m_cache.find(known->second);
      if (entry == m_cache.end()) {
        m_proxyNames.erase(known);
      } else if (entry->second.waiting != kNone) {
        if (entry->second.waiting == number) return;
        // Another request for this proxy is still with the user: this one gets no credentials.
        answer_now = dialog;
      } else {
        named = true;
        const std::shared_ptr<AuthChallengeGui> challenge = dialog->getChallenge();
        const auto& cached = entry->second.response;
        if (cached && cached->isReusable() && challenge &&
            cached->getType() == challenge->getType()) {
          answer_now = dialog;
          answer = cached->clone();
        }
      }
    }
    if (!answer_now) {
      if (!m_helper) {
        answer_now = dialog;
      } else {
        // The entry and the request's record of it exist before the helper is called, so that
        // an answer given inside the call finds them.
        const uint32_t entry = getNextSeqId();
        m_cache[entry] = CacheEntry{nullptr, number};
        m_requestEntries[number] = entry;
        if (!named) m_proxyNames[name] = entry;
        if (!m_helper->requestCredentials(dialog)) {
          eraseCacheEntry(entry, true);
          m_requestEntries.erase(number);
          answer_now = dialog;
        }
      }
    }
  }
  if (answer_now) answer_now->setResponse(std::move(answer));
}

void HX_ProxyAuthenticator::onGuiSetResponse(uint32_t number,
                                             std::shared_ptr<AuthResponseGui> response) {
  std::shared_ptr<AuthDialogGui> dialog;
  {
    HXAutoLock lock(m_lock);
    auto request = m_requests.find(number);
    if (request != m_requests.end()) dialog = request->second;
    auto record = m_requestEntries.find(number);
    if (record != m_requestEntries.end()) {
      auto entry = m_cache.find(record->second);
      if (entry != m_cache.end()) {
        if (response && response->isReusable()) {
          entry->second.setResponse(response->clone());
        } else {
          eraseCacheEntry(record->second, true);
        }
      }
      m_requestEntries.erase(record);
    }
  }
  if (dialog) dialog->setResponse(std::move(response));
}

void HX_ProxyAuthenticator::runDialogEvent(uint32_t number) {
  std::shared_ptr<AuthDialogGui> dialog;
  {
    HXAutoLock lock(m_lock);
    auto request = m_requests.find(number);
    if (request == m_requests.end()) return;
    dialog = request->second;
  }
  dialog->notifyRequester();
}

size_t HX_ProxyAuthenticator::cacheSize() {
  HXAutoLock lock(m_lock);
  return m_cache.size();
}

size_t HX_ProxyAuthenticator::requestCount() {
  HXAutoLock lock(m_lock);
  return m_requests.size();
}
