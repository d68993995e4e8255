// The transport manager's reaction to network-type changes, on the network loop.
#include <algorithm>

#include "core/base/ios_log.h"
#include "core/client/fsm_shared.h"
#include "core/client/transport_manager.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/loop/zserver.h"
#include "core/transport/transport.h"

namespace {

bool SameAddresses(const HXIpIfAddrSet& a, const HXIpIfAddrSet& b) {
  if (a.size() != b.size()) return false;
  return std::equal(a.begin(), a.end(), b.begin(),
                    [](const HXIpIfListItem& x, const HXIpIfListItem& y) { return x.cmp(y) == 0; });
}

bool Contains(const HXIpIfAddrSet& set, const HXAIpAddressBase& address) {
  for (const HXIpIfListItem& item : set) {
    if (item.HXIpAddress::cmp(address) == 0) return true;
  }
  return false;
}

}  // namespace

void HX_TransportManager::setNetworkType(int32_t type, bool forceReset) {
  ios_log("setNetworkType %d %s", type, forceReset ? "force" : "");
  const uint32_t previousMode = m_fsm != nullptr ? m_fsm->GetNetworkMode() : 0;
  if (m_fsm != nullptr) m_fsm->SetNetworkType(static_cast<hx::network::type>(type));
  const uint32_t mode = static_cast<uint32_t>(type) & ~hx::network::kPlatformFlag;
  HXIfIpAddrContainerTS* interfaces = HXZServer::getIfAddrList();
  if (forceReset && interfaces != nullptr) interfaces->clear();
  HX_ConfStorage* store = confStorage();
  const auto c = connection();

  if (mode == 0) {
    const int32_t state = getStateTrs();
    if (forceReset || (isConnected(state) && !(c && c->pingServer()))) {
      if (state != eNoConnection) {
        if (c) c->DisconnectServer();
        if ((m_tasks.load() & eTaskDisconnect) != 0) {
          m_tasks.fetch_and(~eTaskDisconnect);
          setStateTrs(eNoConnection);
          HXAutoLock lock(m_lock);
          m_ctrl.stopConnection();
        } else {
          const bool wasLoggedIn = setReconnectState();
          HXAutoLock lock(m_lock);
          m_ctrl.setAccessibility(TransportSessionCtrlInfo::eWaiting);
          if (wasLoggedIn) m_ctrl.lostTime = nowSeconds();
        }
        m_tasks.fetch_and(~(eTaskLogout | eTaskRelogin));
      }
      if (interfaces != nullptr) interfaces->clear();
    }
    if (store != nullptr) {
      HXIfIpAddrContainer current;
      if (interfaces != nullptr) current.set(interfaces->getAddrList());
      store->setNetworkType(0, current);
    }
    return;
  }

  HXIpIfAddrSet set;
  getLocalIPList(set);
  set.removeDownAndLocalhostIf();
  const HXIpIfAddrSet known = interfaces != nullptr ? interfaces->getAddrList() : HXIpIfAddrSet();
  if (SameAddresses(known, set)) {
    updateIfAddrList(set, false);
    // Cellular (and the modes treated like it) checks the connection even on unchanged addresses.
    const bool cellular = mode == 7 || mode == 8 || mode == 9;
    if (!cellular && mode == previousMode) return;
  } else {
    if (interfaces != nullptr) {
      interfaces->lockList().set(set);
      interfaces->unlockList();
    }
    if (store != nullptr) {
      HXIfIpAddrContainer current;
      current.set(set);
      store->setNetworkType(mode, current);
    }
    updateIfAddrList(set, true);
  }

  if ((m_tasks.load() & eTaskConnect) != 0) {
    {
      HXAutoLock lock(m_lock);
      m_localBind = HXSockAddr();
      m_localBindChanged = false;
      setConnectTask();
    }
    onLoop(0, &HX_TransportManager::processTasks);
    return;
  }
  const int32_t state = getStateTrs();
  if (state == eNoConnection) return;
  if (isConnected(state)) {
    HXSockAddr bind;
    getLocalBind(bind);
    const bool bindGone = bind.empty() || (!Contains(set, bind) && !bind.isLoopbackIf());
    if (!(previousMode != 0 && bindGone)) {
      if (c && c->pingServer()) {
        // The connection still works: the cloud check stands down.
        m_connectionGeneration.fetch_add(1);
        return;
      }
    }
  }
  // Reconnect.
  bool wasLoggedIn = false;
  {
    HXAutoLock lock(m_lock);
    m_ctrl.refresh = true;
    wasLoggedIn = setReconnectState();
    if (c) c->DisconnectServer();
    m_ctrl.setAccessibility(TransportSessionCtrlInfo::eWaiting);
    if (wasLoggedIn) m_ctrl.lostTime = nowSeconds();
    m_ctrl.counter = TransportSessionCtrlInfo::kCounterReset;
    m_ctrl.delay = 0;
    m_ctrl.lastAttemptTime = 0;
  }
  reconnectOnNetState();
}

void HX_TransportManager::reconnectOnNetState() {
  if (m_tasks.load() != 0) {
    processTasks();
  } else {
    _LookupNextServer(true);
  }
}
