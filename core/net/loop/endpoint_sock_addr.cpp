#include "core/net/loop/endpoint_sock_addr.h"

#include <sys/socket.h>

#include "core/net/address/addr_factory.h"
#include "core/net/address/native_address_text.h"
#include "core/net/socket/native_socket_address.h"

namespace {

// Binding texts resolve to IPv4 records (so that "*" is 0.0.0.0), except a numeric IPv6 host,
// which could never resolve as IPv4.
int localFamilyOf(const std::string& text) {
  return GetAddressFamily(parseZAddrUri(text, nullptr)) == AF_INET6 ? AF_INET6 : AF_INET;
}

}  // namespace

HXSockAddr HXZEndpointSockAddrBase::getSockAddr() const {
  HXAutoSpinLock lock(m_lock);
  return m_addr;
}

bool HXZEndpointSockAddrBase::notifyOnResolv(Handler* handler) {
  HXAutoSpinLock lock(m_lock);
  if (m_handler != nullptr) return false;
  m_handler = handler;
  return true;
}

void HXZEndpointSockAddrBase::notifyOnResolvRemoveIf(Handler* handler) {
  HXAutoSpinLock lock(m_lock);
  if (m_handler == handler) m_handler = nullptr;
}

int32_t HXZEndpointSockAddrBase::state() const {
  HXAutoSpinLock lock(m_lock);
  return m_state;
}

void HXZEndpointSockAddrBase::OnCallbackQueryA(const char*, const char* address) {
  Handler* handler;
  {
    HXAutoSpinLock lock(m_lock);
    HXIpAddress ip;
    if (address != nullptr) ip = HXAddrFactory::get(address);
    if (!ip.empty() && m_addr.set(m_addr.proto(), ip, m_addr.port())) {
      m_state = stateResolved;
    } else {
      m_state = stateFailed;
    }
    handler = m_handler;
  }
  if (handler != nullptr) handler->onEPAddrResolved(this);
}

void HXZEndpointSockAddrBase::setAddrImp(bool local, uint16_t port, const std::string& text,
                                         ip::Proto::type proto) {
  // Protocol and port are in place before the lookup starts: its answer may arrive on another
  // thread before the lookup call has returned, and it keeps them.
  uint16_t text_port = 0;
  parseZAddrUri(text, &text_port);
  const uint16_t kept_port = port != 0 ? port : text_port;
  store(HXSockAddr(proto, kept_port), stateResolving);
  HXSockAddr addr;
  if (local) {
    HXZNativeSocketAddressLocal resolved(text, localFamilyOf(text), this);
    if (const addrinfo* info = resolved.GetAddressInfo()) {
      addr.set(proto, info->ai_addr, info->ai_addrlen);
    }
  } else {
    HXZNativeSocketAddressRemote resolved(text, AF_UNSPEC, this);
    if (const addrinfo* info = resolved.GetAddressInfo()) {
      addr.set(proto, info->ai_addr, info->ai_addrlen);
    }
  }
  // A pending name is left to the answer, which may have come already.
  if (addr.empty()) return;
  addr.setPort(kept_port);
  store(addr, stateResolved);
}

void HXZEndpointSockAddrBase::store(const HXSockAddr& addr, int32_t state) {
  HXAutoSpinLock lock(m_lock);
  m_addr = addr;
  m_state = state;
}

std::string HXZEndpointSockAddrBase::addrText() const { return getSockAddr().str_wscope(); }

HXZEndpointSockAddr::HXZEndpointSockAddr(bool local, const char* text, uint16_t port,
                                         ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(local, text, port, proto);
}

HXZEndpointSockAddr::HXZEndpointSockAddr(bool local, const std::string& text, ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(local, text, proto);
}

HXZEndpointSockAddr::HXZEndpointSockAddr(bool local, uint16_t port, const std::string& text,
                                         ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(local, port, text, proto);
}

HXZEndpointSockAddr::HXZEndpointSockAddr(const HXAIpAddressBase& address, ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(address, proto);
}

HXZEndpointSockAddr::HXZEndpointSockAddr(const HXSockAddr& addr)
    : HXZEndpointSockAddrBase(addr, addr.empty() ? stateFailed : stateResolved) {}

HXZEndpointSockAddr::~HXZEndpointSockAddr() { revokeAnswers(); }

void HXZEndpointSockAddr::set(bool local, const char* text, uint16_t port, ip::Proto::type proto) {
  setAddrImp(local, port, text != nullptr ? text : "", proto);
}

void HXZEndpointSockAddr::set(bool local, const std::string& text, ip::Proto::type proto) {
  setAddrImp(local, 0, text, proto);
}

void HXZEndpointSockAddr::set(bool local, uint16_t port, const std::string& text,
                              ip::Proto::type proto) {
  setAddrImp(local, port, text, proto);
}

void HXZEndpointSockAddr::set(const HXAIpAddressBase& address, ip::Proto::type proto) {
  HXSockAddr addr = getSockAddr();
  const ip::Proto::type kept = proto == kKeepProto ? addr.proto() : proto;
  const bool ok = addr.set(kept, address, addr.port());
  if (!ok) addr = HXSockAddr(kept, addr.port());
  store(addr, ok ? stateResolved : stateFailed);
}

void HXZEndpointSockAddr::set(const HXSockAddr& addr) {
  store(addr, addr.empty() ? stateFailed : stateResolved);
}

void HXZEndpointSockAddr::setInaddrAnyPF(ip::Family::type family, uint16_t port,
                                         ip::Proto::type proto) {
  HXSockAddr addr;
  const bool ok = addr.set(proto, HXAddrFactory::zero(family), port);
  store(addr, ok ? stateResolved : stateFailed);
}

void HXZEndpointSockAddr::setInaddrAnySF(int sys_family, uint16_t port, ip::Proto::type proto) {
  setInaddrAnyPF(static_cast<ip::Family::type>(ip::Family::fromSysFamily(sys_family)), port, proto);
}

std::shared_ptr<HXZEndpointSockAddr> HXZEndpointSockAddr::remoteTCP(const std::string& text) {
  return std::make_shared<HXZEndpointSockAddr>(false, text, ip::Proto::tcp);
}

std::shared_ptr<HXZEndpointSockAddr> HXZEndpointSockAddr::remoteTCP(const std::string& text,
                                                                    uint16_t port) {
  return std::make_shared<HXZEndpointSockAddr>(false, port, text, ip::Proto::tcp);
}
