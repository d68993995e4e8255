#include "core/streams/listener_socket_holder.h"

#include "core/streams/net_listener.h"

namespace hx::streams {

bool ListenerSocketHolder::reBind(const HXIpIfAddrSet& interfaces) {
  bool publish = false;
  {
    HXAutoLock lock(getLock());
    const std::vector<HXSockAddr> before = getListenerBindings();
    const int started = reBindImpNL(interfaces);
    if (started < 0) return false;
    if (started > 0) {
      m_state.store(kBinding, std::memory_order_release);
    } else {
      // Nothing to wait for: when sockets were dropped, peers must stop being told about them.
      publish = state() != kBinding && getListenerBindings().size() != before.size();
    }
  }
  if (publish) publishBound();
  return true;
}

void ListenerSocketHolder::publishBound() {
  if (HX_NetListener* listener = owner()) listener->onListenerBound(getListenerType());
}

bool ListenerSocketHolder::isInIfaddrList(const HXSockAddr& bound,
                                          const HXIpIfAddrSet& interfaces) {
  for (const HXIpIfListItem& item : interfaces) {
    if (bound.HXAIpAddressBase::cmp(item) == 0) return true;
  }
  return false;
}

}  // namespace hx::streams
