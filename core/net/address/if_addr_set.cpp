#include "core/net/address/if_addr_set.h"

#include "core/net/address/ip_iface.h"

void HXIpIfAddrSet::removeDownAndLocalhostIf() {
  for (auto it = begin(); it != end();) {
    const HXIpIface* iface = it->ifGet();
    const bool down = iface != nullptr && (iface->flags() & ip::IfFlags::up_and_running) == 0;
    if (down || it->isLoopbackIf())
      it = erase(it);
    else
      ++it;
  }
}
