#include "core/streams/listener_udp.h"

#include <algorithm>

#include "core/base/stored_task.h"
#include "core/net/loop/zserver.h"
#include "core/streams/net_listener.h"
#include "core/streams/udp_listener_socket.h"

using hx::streams::BindInfoList;
using hx::streams::ListenerSocketUDP;

// Runs after the connector's pass that completed the shutdown has returned: deleting the
// listener inside that pass would leave the pass to touch a freed object.
class HX_ListenerUDP::ShutdownTask : public HXStoredTask {
 public:
  explicit ShutdownTask(HX_ListenerUDP* listener) : m_listener(listener) {}
  void Execute() override {
    if (HX_NetListener* owner = m_listener->owner()) {
      owner->onListenerShutdownCompleted(kUdp);
    } else {
      delete m_listener;
    }
  }

 private:
  HX_ListenerUDP* const m_listener;
};

HX_ListenerUDP::HX_ListenerUDP(HX_NetListener* owner, uint16_t configuredPort)
    : ListenerSocketHolder(owner),
      m_port(configuredPort < 1024 ? kDefaultPort : configuredPort) {}

BindInfoList HX_ListenerUDP::getBindInfo() {
  HXAutoLock lock(getLock());
  BindInfoList entries;
  for (ListenerSocketUDP* socket : m_sockets) {
    if (socket->getSocketId() != NoSocketId) {
      entries.push_back({socket->getSocketId(), socket->getBoundAddress()});
    }
  }
  return entries;
}

std::vector<HXSockAddr> HX_ListenerUDP::getListenerBindings() {
  std::vector<HXSockAddr> bindings;
  for (const auto& entry : getBindInfo()) bindings.push_back(entry.address);
  return bindings;
}

void HX_ListenerUDP::stopListener() {
  if (!m_stopping.exchange(true)) shutdown();
}

int HX_ListenerUDP::reBindImpNL(const HXIpIfAddrSet& interfaces) {
  if (m_stopping.load()) return -1;
  for (auto it = m_sockets.begin(); it != m_sockets.end();) {
    ListenerSocketUDP* socket = *it;
    // A socket whose add is still queued has no id to destroy by; the next re-bind drops it.
    if (socket->getSocketId() == NoSocketId ||
        isInIfaddrList(socket->getBoundAddress(), interfaces)) {
      ++it;
      continue;
    }
    it = m_sockets.erase(it);
    destroySocketNL(socket->getSocketId());
    ++m_pending;
  }
  for (const HXIpIfListItem& item : interfaces) {
    const bool kept = std::any_of(m_sockets.begin(), m_sockets.end(), [&](auto* socket) {
      return socket->getBoundAddress().HXAIpAddressBase::cmp(item) == 0;
    });
    if (kept) continue;
    const HXSockAddr address(ip::Proto::udp, item, m_port);
    ListenerSocketUDP* socket = ListenerSocketUDP::create(address.sysFamily());
    if (!socket->start(address) || !addSocketNL(socket)) {
      socket->stop();
      continue;
    }
    m_sockets.push_back(socket);
    ++m_pending;
  }
  return m_pending;
}

void HX_ListenerUDP::onSocketListEvent(bool added, uint32_t, ListenerSocketUDP* socket, bool ok) {
  const bool gone = socket != nullptr && (!added || !ok);
  bool complete = false;
  {
    HXAutoLock lock(getLock());
    if (gone) m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), socket),
                              m_sockets.end());
    if (m_pending > 0 && --m_pending == 0 && !m_stopping.load()) {
      setBoundNL();
      complete = true;
    }
  }
  if (gone) socket->stop();
  if (complete) publishBound();
}

void HX_ListenerUDP::onShutdownCcnCompleted() {
  {
    // The connector has stopped every socket.
    HXAutoLock lock(getLock());
    m_sockets.clear();
  }
  // A loop that no longer takes jobs is ending; the owner then deletes the listener itself.
  HXZServer::ScheduleNetworkJob(new ShutdownTask(this), 0);
}
