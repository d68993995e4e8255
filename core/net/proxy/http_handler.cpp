#include "core/net/proxy/http_handler.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/base/ios_log.h"
#include "core/net/loop/endpoint_holder.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/http/http_auth_session.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_authenticator.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"

namespace hx::netproxy {

using hx::http::AuthChallenge;
using hx::http::AuthChallengeList;
using hx::http::Header;
using hx::http::HeadersList;
using hx::http::Method;
using hx::http::Response;

namespace {

constexpr uint32_t kNoNumber = 0xFFFFFFFF;

// Every value of the response's headers of `code`, joined as one list.
std::string HeaderValues(const HeadersList& headers, hx::http::HCode code) {
  std::string joined;
  for (const Header& header : headers) {
    if (header.code() != code) continue;
    if (!joined.empty()) joined += ", ";
    joined +=
        header.value().getTag() == HX_Variant::kString ? header.value().getString() : std::string();
  }
  return joined;
}

}  // namespace

HttpHandler::AuthListener::~AuthListener() {
  if (m_number == kNoNumber) return;
  if (const auto& session = m_handler->m_config->getAuthSession()) session->removeRequest(m_number);
}

void HttpHandler::AuthListener::onResponseReady(uint32_t) {
  m_number = kNoNumber;
  if (m_handler->m_state == stateWaitingCredentials) m_handler->onCredentials();
}

HttpHandler::HttpHandler(std::shared_ptr<Config> config, std::shared_ptr<HXZAEndpointHolder> target)
    : ProtocolHandler(std::move(config), std::move(target)), m_listener(this) {}

HttpHandler::~HttpHandler() = default;

HX_ProxyAuthenticator* HttpHandler::getAuthenticator() {
  HX_ProxyList* list = HXZServer::getProxyList();
  return list == nullptr ? nullptr : list->getAuthenticator();
}

std::shared_ptr<HttpAuthSession> HttpHandler::authSession() const {
  return std::dynamic_pointer_cast<HttpAuthSession>(m_config->getAuthSession());
}

bool HttpHandler::start(HXZCommonSocket* socket, HXZADataHandler* handler) {
  if (m_state == stateStopped) m_state = stateIdle;
  const auto& addresses = m_config->getAddrList();
  if (addresses.empty() || socket == nullptr) return false;
  m_answered = false;
  // The plain TCP connect: the socket's own Connect would enter the proxy layer again.
  if (!socket->HXZTCPSocket::Connect(std::make_shared<HXZEndpointSockAddr>(addresses.front()))) {
    return false;
  }
  m_socket = socket;
  m_dataHandler = handler;
  m_state = stateConnecting;
  return true;
}

void HttpHandler::stop(HXZCommonSocket*, HXZADataHandler*) { m_state = stateStopped; }

std::string HttpHandler::getTargetBind() const {
  std::string host = m_target->getAddrStr();
  if (std::count(host.begin(), host.end(), ':') > 1) host = "[" + host + "]";
  return host + ":" + std::to_string(m_target->getSockAddr().port());
}

std::string HttpHandler::requestText() const {
  return std::string(reinterpret_cast<const char*>(m_request.buffer()), m_request.size());
}

bool HttpHandler::fillSendBuf() {
  const std::string target = getTargetBind();
  const std::shared_ptr<HttpAuthSession> session = authSession();
  if (session) {
    if (session->waitingGui(&m_listener, m_listener.m_number)) {
      m_state = stateWaitingCredentials;
      return true;
    }
    if (const GuiNotifyEvent error = session->getError(); error != eventNone) {
      m_config->reportError(error, std::string());
      return false;
    }
  }
  m_state = stateSending;

  HeadersList headers;
  headers.emplace_back(hx::http::Host, target);
  headers.emplace_back(hx::http::UserAgent, m_config->getDescriptor()->getHttpUserAgent());
  m_usedCredentials = 0;
  if (session && session->httpSession()) {
    // The digest covers the request-target as the request line writes it.
    const std::string value = session->httpSession()->createAuthHeader(Method::nConnect, target);
    m_usedCredentials = session->httpSession()->credentialsNumber();
    if (!value.empty()) headers.emplace_back(hx::http::ProxyAuthorization, value);
  }

  m_request.setSize(0);
  m_request.offset(-static_cast<int32_t>(m_request.offset()));
  for (int attempt = 0; attempt < 2; ++attempt) {
    size_t line_length = m_request.capacity();
    const bool line =
        Method::Connect(target, reinterpret_cast<char*>(m_request.buffer()), line_length);
    size_t headers_length = line ? m_request.capacity() - line_length : 0;
    const bool rest =
        line && HeadersList::put(headers, reinterpret_cast<char*>(m_request.buffer()) + line_length,
                                 headers_length);
    if (line && rest) {
      m_request.setSize(line_length + headers_length);
      return true;
    }
    if (attempt == 0) {
      // Sizes only: the line's needed length is known; the headers' with a null destination.
      size_t needed_line = 0;
      Method::Connect(target, nullptr, needed_line);
      size_t needed_headers = 0;
      HeadersList::put(headers, nullptr, needed_headers);
      m_request.ensureSize(needed_line + needed_headers);
    }
  }
  return false;
}

int32_t HttpHandler::sendRequest(bool build) {
  if (build) {
    if (!fillSendBuf()) {
      resetConnection();
      return HXZADataManager::failed;
    }
    if (m_state == stateWaitingCredentials) {
      m_socket->HXZASocket::SendAsync(false);
      return HXZADataManager::keepGoing;
    }
  }
  const uint64_t offset = m_request.offset();
  const uint64_t left = m_request.size() - offset;
  size_t sent = 0;
  if (left > 0) sent = m_socket->Parent()->SendImp(m_request.buffer() + offset, left, 0, m_socket);
  if (sent == 0 && left > 0) {
    if (m_socket->GetSendStatus() == HXZSendStatus::wouldBlock) {
      m_socket->HXZASocket::SendAsync(true);  // the send buffer is full: wait for room
      return HXZADataManager::keepGoing;
    }
    return reconnect();
  }
  m_request.offset(static_cast<int32_t>(sent));
  if (m_request.offset() >= m_request.size()) {
    m_state = stateSent;
    m_socket->HXZASocket::SendAsync(false);
  } else if ((m_dataHandler->GetFlags() & HXZADataHandler::kReadyToSend) == 0) {
    m_socket->HXZASocket::SendAsync(true);
  }
  return HXZADataManager::keepGoing;
}

int32_t HttpHandler::reconnect() {
  resetConnection();
  if (!m_answered) {
    if (m_emptyReconnects >= kMaxEmptyReconnects) {
      ios_log("Proxy %s closed %u connections without an answer",
              m_config->getDescriptor()->getHost().c_str(), m_emptyReconnects + 1);
      m_config->reportError(eventUnusable, "no answer");
      return HXZADataManager::failed;
    }
    ++m_emptyReconnects;
  }
  m_state = stateIdle;
  return start(m_socket, m_dataHandler) ? HXZADataManager::keepGoing : HXZADataManager::failed;
}

int32_t HttpHandler::OnReadySendImp(HXZASocket*, HXZADataHandler* handler) {
  switch (m_state) {
    case stateWaitingCredentials:
      m_credentialsArrived = false;
      if (handler->GetHandle() == -1) return reconnect();
      return sendRequest(true);
    case stateConnecting:
      return sendRequest(true);
    case stateSending:
      return sendRequest(false);
    default:
      return HXZADataManager::failed;
  }
}

int32_t HttpHandler::OnReadyRecvImp(HXZASocket*, HXZADataHandler* handler) {
  std::shared_ptr<HXNetMessage> buffer = handler->getDataBuffer(false);
  if (!buffer) {
    buffer = std::make_shared<HXNetMessage>(bufStep);
    handler->setDataBuffer(buffer);
  }
  auto reader = [this](void* bytes, size_t length) {
    return m_socket->Parent()->RecvImp(bytes, length, 0, m_socket);
  };
  uint64_t total = 0;
  m_socket->RecvToBuffer(buffer->size() + bufStep, total, reader);
  if (total == 0) {
    if (!handler->RecvEnded()) return HXZADataManager::keepGoing;  // nothing there yet
    // The proxy closed the connection.
    switch (m_state) {
      case stateConnecting:
      case stateSending:
      case stateSent:
        return reconnect();
      case stateWaitingCredentials:
        resetConnection();
        // The user may have answered just before the close, when the socket still stood: the
        // wake-up asked for then never comes for a closed socket, so connect again here.
        if (m_credentialsArrived.exchange(false)) return reconnect();
        return HXZADataManager::keepGoing;
      default:
        resetConnection();
        return HXZADataManager::failed;
    }
  }
  if (m_state != stateSending && m_state != stateSent) {
    return m_state == stateWaitingCredentials ? HXZADataManager::keepGoing
                                              : HXZADataManager::failed;
  }
  for (;;) {
    size_t consumed = static_cast<size_t>(buffer->size());
    const bool finished =
        m_response.parse(reinterpret_cast<const char*>(buffer->buffer()), consumed);
    buffer->cut(0, consumed);
    if (finished) return processResponse();
    const uint64_t before = total;
    m_socket->RecvToBuffer(buffer->size() + bufStep, total, reader);
    if (total == before) return HXZADataManager::keepGoing;
  }
}

int32_t HttpHandler::processResponse() {
  if (m_response.complete()) {
    m_answered = true;
    m_emptyReconnects = 0;
  }
  const int32_t status = m_response.status();
  if (m_response.complete() && status >= 200 && status <= 299) {
    if (const auto session = authSession(); session && session->httpSession()) {
      for (const Header& header : m_response.headers()) {
        if (header.code() == hx::http::ProxyAuthenticationInfo) {
          session->httpSession()->updateAuthenticationInfo(header.toString());
        }
      }
    }
    std::shared_ptr<HXNetMessage> buffer = m_dataHandler->getDataBuffer(false);
    if (buffer && buffer->size() > 0) {
      // Tunnel bytes that came with the answer: the loop hands them up at once.
      m_dataHandler->SetFlag(HXZADataHandler::kBufferedData);
    } else {
      m_dataHandler->setDataBuffer(nullptr);
    }
    m_request.freeBuf();
    m_response.clear();
    return HXZADataManager::done;
  }

  if (m_response.complete() && status == 407 &&
      m_response.headers().lookupHdr(hx::http::ProxyAuthenticate) != nullptr) {
    const std::string value = HeaderValues(m_response.headers(), hx::http::ProxyAuthenticate);
    AuthChallengeList challenges;
    if (hx::http::AuthSession::parseAuthenticateHeader(value, challenges) == 0) {
      m_config->reportError(eventUnusable, value);
      resetConnection();
      return HXZADataManager::failed;
    }
    std::shared_ptr<HttpAuthSession> session = authSession();
    const bool existed = session != nullptr && session->httpSession() != nullptr;
    if (!existed) session = createAuthSession(value, challenges);
    if (!session) {
      resetConnection();
      return HXZADataManager::failed;
    }
    const auto& http = session->httpSession();
    const AuthChallenge* chosen = nullptr;
    for (const AuthChallenge& challenge : challenges) {
      if (challenge.type() == http->authType()) {
        chosen = &challenge;
        break;
      }
    }
    if (chosen == nullptr) {
      m_config->clearAuthSession();
      m_config->reportError(eventSchemeWithdrawn, value);
      resetConnection();
      return HXZADataManager::failed;
    }
    if (existed) http->setChallenge(*chosen, m_usedCredentials);
    m_response.clear();

    if (http->credentialsNumber() == http->refusedNumber()) {
      HX_ProxyAuthenticator* authenticator = getAuthenticator();
      if (http->credentialsNumber() != 0) {
        if (authenticator != nullptr) authenticator->badAuthCredentials(m_config);
        m_config->reportError(eventBadCredentials, value);
      }
      m_state = stateWaitingCredentials;
      if (!session->waitingGui(&m_listener, m_listener.m_number) &&
          (authenticator == nullptr || !requestCredentialsFromGui(authenticator, *session))) {
        if (!existed) m_config->clearAuthSession();
        resetConnection();
        return HXZADataManager::failed;
      }
      return HXZADataManager::keepGoing;
    }
    return sendRequest(true);
  }

  if (m_response.complete() || m_response.failed()) {
    m_config->reportError(eventUnusable, m_response.statusLine());
  }
  resetConnection();
  return HXZADataManager::failed;
}

void HttpHandler::resetConnection() {
  if (m_socket == nullptr) return;
  m_socket->HXZTCPSocketHandy::Close(true);
  m_dataHandler->ClearFlag(HXZADataHandler::kBufferedData);
  if (auto buffer = m_dataHandler->getDataBuffer(false)) buffer->setSize(0);
  m_response.clear();
  m_request.setSize(0);
}

std::shared_ptr<HttpAuthSession> HttpHandler::createAuthSession(
    const std::string& value, const AuthChallengeList& challenges) {
  HX_ProxyAuthenticator* authenticator = getAuthenticator();
  if (authenticator == nullptr) return nullptr;
  // The best kind the helper supports wins: a credential scheme over Digest over Basic; among
  // challenges of one kind the last.
  const AuthChallenge* chosen = nullptr;
  hx::http::AuthType choice = hx::http::authNone;
  for (const AuthChallenge& challenge : challenges) {
    switch (challenge.type()) {
      case hx::http::authCredential:
        if (authenticator->hasAuthType(authCredential)) {
          choice = hx::http::authCredential;
          chosen = &challenge;
        }
        break;
      case hx::http::authDigest:
        if (choice != hx::http::authCredential && authenticator->hasAuthType(authUserPassword)) {
          choice = hx::http::authDigest;
          chosen = &challenge;
        }
        break;
      case hx::http::authBasic:
        if ((choice == hx::http::authNone || choice == hx::http::authBasic) &&
            authenticator->hasAuthType(authUserPassword)) {
          choice = hx::http::authBasic;
          chosen = &challenge;
        }
        break;
      default:
        break;
    }
  }
  if (chosen == nullptr) {
    m_config->reportError(eventUnusable, value);
    return nullptr;
  }
  auto http = hx::http::AuthSession::createSession(chosen->type());
  if (!http) {
    m_config->reportError(eventUnusable, value);
    return nullptr;
  }
  auto session = std::make_shared<HttpAuthSession>(http);
  m_config->setAuthSession(session);
  http->setChallenge(*chosen, m_usedCredentials);
  if (auto cached = authenticator->getCachedResponse(m_config, authUserPassword)) {
    const auto& credentials = static_cast<const AuthResponseGuiUserPassword&>(*cached);
    http->setUserPassword(credentials.getUser(), credentials.getPassword());
  }
  return session;
}

bool HttpHandler::requestCredentialsFromGui(HX_ProxyAuthenticator* authenticator,
                                            HttpAuthSession& session) {
  if (m_listener.m_number != kNoNumber) {
    // The listener's number belongs to the session's numbering: withdraw it there.
    session.removeRequest(m_listener.m_number);
    m_listener.m_number = kNoNumber;
  }
  std::shared_ptr<AuthDialogGui> dialog = authenticator->createDialog(m_config);
  if (!dialog) {
    ios_log("Can't create dialog");
    return false;
  }
  m_listener.m_number = session.setGuiRequest(dialog, &m_listener);
  if (m_listener.m_number == kNoNumber) return false;
  return dialog->setChallenge(session.createChallengeGui());
}

void HttpHandler::onCredentials() {
  if (m_dataHandler == nullptr) return;
  m_credentialsArrived = true;
  if (m_dataHandler->GetHandle() == -1) {
    // The proxy closed the connection while the user was asked: a ready-to-send would never
    // come for a socket without descriptor, so connect again now (unless the close, seeing the
    // answer, already did).
    if (!m_credentialsArrived.exchange(false)) return;
    if (reconnect() == HXZADataManager::failed) {
      if (HXZASocketCallbacks* top = m_dataHandler->Callback()) top->OnError();
    }
    return;
  }
  m_socket->HXZASocket::SendAsync(true);
}

}  // namespace hx::netproxy
