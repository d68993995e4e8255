#include "core/streams/listener_socket_tcp.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket.h"
#include "core/streams/listener_accept.h"

namespace hx::streams {

namespace {

constexpr int kBacklog = 16;

bool BindPort(int handle, HXSockAddr address, uint16_t port) {
  address.setPort(port);
  return ::bind(handle, address.sockaddr(), address.sa_len()) == 0;
}

}  // namespace

ListenerSocketTCP* ListenerSocketTCP::create(int family) {
  return HXZServer::implantNative<ListenerSocketTCP>(-1, family, SOCK_STREAM, IPPROTO_TCP);
}

bool ListenerSocketTCP::start(const HXSockAddr& address) {
  if (address.empty()) return false;
  State idle = kIdle;
  if (!m_state.compare_exchange_strong(idle, kStarting)) return false;
  m_bound = address;
  return true;
}

bool ListenerSocketTCP::bindWithFallback(int handle) {
  for (uint32_t port = kFirstPort; port <= kLastPort; ++port) {
    if (BindPort(handle, m_bound, static_cast<uint16_t>(port))) return true;
  }
  return BindPort(handle, m_bound, 0);
}

bool ListenerSocketTCP::bindAndListen() {
  if (state() != kStarting) return false;
  const int handle = native_socket(m_bound.sysFamily(), SOCK_STREAM, IPPROTO_TCP);
  HXSockAddr bound;
  const bool ok = handle != -1 && bindWithFallback(handle) && ::listen(handle, kBacklog) == 0 &&
                  bound.setFromLiveLocal(handle);
  if (handle != -1) {
    // Owned by the socket object from here on, so that stop closes it on either outcome.
    SetFamily(m_bound.sysFamily());
    SetHandle(handle);
  }
  if (!ok) {
    m_state.store(kFailed, std::memory_order_release);
    return false;
  }
  m_bound = bound;
  m_state.store(kBound, std::memory_order_release);
  SetState(true);  // readiness: a connection waits to be accepted
  return true;
}

int32_t ListenerSocketTCP::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  std::unique_ptr<HXZADataHandler> accepted = Parent()->AcceptImp(this);
  if (accepted != nullptr) ListenerAcceptRouter::probe(accepted.get());
  return 0;
}

void ListenerSocketTCP::stop() {
  if (m_stopped.exchange(true)) return;
  GC();
}

}  // namespace hx::streams
