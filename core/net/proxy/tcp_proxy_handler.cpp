#include "core/net/proxy/tcp_proxy_handler.h"

#include <utility>

#include "core/base/ios_log.h"
#include "core/net/proxy/protocol_handler.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/socket/common_socket.h"

using hx::netproxy::Config;
using hx::netproxy::ProtocolHandler;

HXZTcpProxyHandler::HXZTcpProxyHandler(HXZCommonSocket* socket) : m_socket(socket) {}

HXZTcpProxyHandler::~HXZTcpProxyHandler() { stop(); }

int32_t HXZTcpProxyHandler::GetState() {
  HXAutoLock lock(m_lock);
  return m_state;
}

void HXZTcpProxyHandler::detach() {
  m_socket->RemoveCallback(this);
  m_socket->KillProxyHandler();
}

void HXZTcpProxyHandler::reportPendingError() {
  if (m_errorPending.exchange(false)) m_socket->OnError();
}

bool HXZTcpProxyHandler::Connect(std::shared_ptr<HXZAEndpointHolder> target) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  bool started = false;
  {
    HXAutoLock lock(m_lock);
    if (m_state != stateIdle && m_state != stateClosed && m_state != stateFailed) {
      ios_log("State %d", m_state);
      return false;
    }
    m_socket->PushCallback(this);
    m_state = stateLookup;
    started = lookupProxyConfig(std::move(target));
    if (!started) {
      m_state = stateFailed;
      detach();
    }
  }
  reportPendingError();
  return started;
}

void HXZTcpProxyHandler::OnCallbackQueryA(const std::string& host,
                                          const std::vector<std::string>& list) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  {
    HXAutoLock lock(m_lock);
    if (m_state == stateLookup) HX_ProxySelector::OnCallbackQueryA(host, list);
  }
  reportPendingError();
}

bool HXZTcpProxyHandler::onProxyFound(std::shared_ptr<Config> config, bool ok) {
  HXAutoLock lock(m_lock);
  if (m_state != stateLookup) return true;
  if (ok) {
    m_config = std::move(config);
    m_state = stateNegotiating;
    m_protocolHandler = m_config->getProtocolHandler(getTarget());
    if (m_protocolHandler && m_protocolHandler->start(m_socket, m_socket)) return true;
  }
  m_state = stateFailed;
  m_protocolHandler.reset();
  detach();
  m_errorPending = true;  // delivered once the lock is released
  return false;
}

std::shared_ptr<ProtocolHandler> HXZTcpProxyHandler::currentHandler() {
  HXAutoLock lock(m_lock);
  return m_state == stateNegotiating ? m_protocolHandler : nullptr;
}

int32_t HXZTcpProxyHandler::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  std::shared_ptr<ProtocolHandler> protocol = currentHandler();
  if (!protocol) return HXZADataManager::failed;
  const int32_t result = protocol->OnReadyRecvImp(socket, handler);
  switchNextState(result);
  return result;
}

int32_t HXZTcpProxyHandler::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  std::shared_ptr<ProtocolHandler> protocol = currentHandler();
  if (!protocol) return HXZADataManager::failed;
  const int32_t result = protocol->OnReadySendImp(socket, handler);
  switchNextState(result);
  return result;
}

void HXZTcpProxyHandler::switchNextState(int32_t result) {
  {
    HXAutoLock lock(m_lock);
    if (m_state != stateNegotiating) return;
    if (result == HXZADataManager::failed) {
      m_state = stateFailed;
      m_socket->RemoveCallback(this);
      m_socket->SetState(false);
      m_socket->KillProxyHandler();
      m_errorPending = true;
    } else if (result == HXZADataManager::done) {
      m_state = stateDone;
      m_socket->RemoveCallback(this);
      // The layers above take this as the completion of the connect.
      m_socket->HXZASocket::SendAsync(true);
      m_socket->KillProxyHandler();
    }
  }
  reportPendingError();
}

void HXZTcpProxyHandler::OnBoundLocal(bool ok) {
  if (auto protocol = currentHandler()) protocol->OnBoundLocal(ok);
}

void HXZTcpProxyHandler::OnTimer(unsigned id) {
  if (auto protocol = currentHandler()) protocol->OnTimer(id);
}

void HXZTcpProxyHandler::OnError() {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  if (HXZASocketCallbacks* next = stopWithState(stateFailed)) next->OnError();
}

HXZASocketCallbacks* HXZTcpProxyHandler::stopWithState(int32_t state) {
  HXZASocketCallbacks* next = nullptr;
  {
    HXAutoLock lock(m_lock);
    if (m_state == stateLookup || m_state == stateNegotiating) {
      if (m_protocolHandler) {
        m_protocolHandler->stop(m_socket, m_socket);
        m_protocolHandler.reset();
      }
      next = getSocketNextCallback();
      if (state == stateClosed) {
        m_state = stateClosing;  // stays on the chain for the socket's close
      } else {
        m_state = state;
        detach();
      }
    } else if (m_state == stateDone) {
      m_state = state;
    }
  }
  stop();
  return next;
}

bool HXZTcpProxyHandler::Close(bool silent) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  if (stopWithState(stateClosed) == nullptr) return silent;
  m_closeNotify = !silent;
  return false;
}

void HXZTcpProxyHandler::OnClose(HXZADataHandler* closed) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  HXZASocketCallbacks* next = nullptr;
  {
    HXAutoLock lock(m_lock);
    if (m_state != stateClosing) return;
    if (m_closeNotify.exchange(false)) next = getSocketNextCallback();
    m_state = stateClosed;
    detach();
  }
  if (next != nullptr) next->OnClose(closed);
}
