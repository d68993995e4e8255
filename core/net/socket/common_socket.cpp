#include "core/net/socket/common_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <utility>

#include "core/net/proxy/tcp_proxy_handler.h"

std::atomic<bool> HXZCommonSocket::TlsDenied{false};

HXZCommonSocket::HXZCommonSocket(HXZASocketHelper* helper, bool with_tls, bool with_proxy)
    : HXZTCPSocketHandy(helper, -1, AF_INET, SOCK_STREAM, IPPROTO_TCP) {
  if (with_tls && !TlsDenied.load()) m_tls.store(std::make_shared<HXTLSHandler>(this));
  if (with_proxy) m_proxy.store(std::make_shared<HXZTcpProxyHandler>(this));
}

HXZCommonSocket::HXZCommonSocket(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZTCPSocketHandy(helper, other) {
  std::shared_ptr<HXTLSHandler> tls;
  if (auto* common = dynamic_cast<HXZCommonSocket*>(&other)) tls = common->m_tls.exchange(nullptr);
  // A layer carried in the handler's slot has been pushed by the base already.
  if (!tls) tls = YieldTlsHandler();
  if (tls) {
    other.RemoveCallback(tls.get());
    tls->SetOwner(this);
    PushCallback(tls.get());
    m_tls.store(std::move(tls));
  }
}

HXZCommonSocket::~HXZCommonSocket() = default;

bool HXZCommonSocket::Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  // Held here: a failing connect may make either layer drop itself.
  std::shared_ptr<HXTLSHandler> tls = m_tls.load();
  std::shared_ptr<HXZTcpProxyHandler> proxy = m_proxy.load();
  if (tls) {
    if (tls->GetState() != HXTLSHandler::stateIdle) tls->Reset();
    tls->GetContext().requested = 1;
    tls->SetEndpoint(endpoint);  // for the plain retry
    PushCallback(tls.get());
  }
  const bool requested = proxy ? proxy->Connect(endpoint) : HXZTCPSocket::Connect(endpoint);
  if (tls && !requested) {
    RemoveCallback(tls.get());
    m_tls.compare_exchange_strong(tls, nullptr);
  }
  return requested;
}

bool HXZCommonSocket::Reconnect(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  std::shared_ptr<HXZTcpProxyHandler> proxy = std::make_shared<HXZTcpProxyHandler>(this);
  m_proxy.store(proxy);
  return proxy->Connect(std::move(endpoint));
}

bool HXZCommonSocket::Close(bool silent) {
  if (std::shared_ptr<HXTLSHandler> tls = m_tls.load()) {
    tls->socketCloseRequest(!silent);
    silent = false;  // the TLS layer must see the close to take itself off the chain
  }
  // A proxy layer that was under way waits on the chain for the close (false): it must come.
  if (std::shared_ptr<HXZTcpProxyHandler> proxy = m_proxy.load()) {
    if (!proxy->Close(silent)) silent = false;
  }
  return HXZTCPSocketHandy::Close(silent);
}

size_t HXZCommonSocket::Send(const void* buffer, size_t length, int flags) {
  if (std::shared_ptr<HXTLSHandler> tls = m_tls.load()) return tls->SendImpl(buffer, length, flags);
  return HXZTCPSocketHandy::Send(buffer, length, flags);
}

size_t HXZCommonSocket::Recv(void* buffer, size_t length, int flags) {
  if (std::shared_ptr<HXTLSHandler> tls = m_tls.load()) return tls->RecvImpl(buffer, length, flags != 0);
  return HXZTCPSocketHandy::Recv(buffer, length, flags);
}

bool HXZCommonSocket::SendAsync(bool on) {
  if (std::shared_ptr<HXTLSHandler> tls = m_tls.load()) {
    tls->SendAsyncImpl(on);
    return true;
  }
  return HXZTCPSocketHandy::SendAsync(on);
}

HXZTLSContext* HXZCommonSocket::GetTlsContext() {
  std::shared_ptr<HXTLSHandler> tls = m_tls.load();
  return tls && tls->GetState() == HXTLSHandler::stateEstablished ? &tls->GetContext() : nullptr;
}
