#include "core/net/proxy/proxy_selector.h"

#include <utility>

#include "core/net/address/address_class.h"
#include "core/net/address/if_addr_container_ts.h"
#include "core/net/address/ip_address.h"
#include "core/net/loop/endpoint_holder.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/proxy_list.h"

using hx::netproxy::Config;
using hx::netproxy::ProxyListIterator;

namespace {

constexpr uint32_t kLookupLimitMs = 15000;

}  // namespace

HX_ProxySelector::HX_ProxySelector() = default;
HX_ProxySelector::~HX_ProxySelector() = default;

bool HX_ProxySelector::lookup(const std::string& name, std::vector<std::string>& answer) {
  return HXZServer::QueryAMulti(name, answer, this, kLookupLimitMs);
}

void HX_ProxySelector::stop() { HXZServer::revokeDNSCallback(this); }

void HX_ProxySelector::resolveInto(std::vector<HXSockAddr>& out,
                                   const std::vector<std::string>& texts, uint16_t port) const {
  ip::Proto::type proto = m_target->getSockAddr().proto();
  if (proto == ip::Proto::unknown) proto = ip::Proto::tcp;
  for (const std::string& text : texts) {
    HXIpAddress address;
    HXSockAddr socket_address;
    if (address.set(text.c_str()) && socket_address.set(proto, address, port)) {
      out.push_back(socket_address);
    }
  }
}

bool HX_ProxySelector::lookupProxyConfig(std::shared_ptr<HXZAEndpointHolder> target) {
  if (!target) return false;
  m_flags = 0;
  m_position.rewind();
  m_stage = stageNone;
  m_candidate.reset();
  m_proxyAddrs.clear();
  m_targetAddrs.clear();
  m_target = std::move(target);
  std::vector<std::string> answer;
  if (lookup(m_target->getAddrStr(), answer)) onTargetResolved(answer);
  return processLookup();
}

void HX_ProxySelector::onTargetResolved(const std::vector<std::string>& texts) {
  m_flags |= kTargetResolved;
  resolveInto(m_targetAddrs, texts, m_target->getSockAddr().port());
  if (keepLocalTargets()) m_flags |= kTargetLocal;
}

bool HX_ProxySelector::keepLocalTargets() {
  std::vector<bool> local(m_targetAddrs.size(), false);
  bool any = false;
  for (size_t i = 0; i < m_targetAddrs.size(); ++i) {
    const auto klass = ip::IANA_Addr_Type::getType(m_targetAddrs[i]);
    local[i] = klass == ip::IANA_Addr_Type::loopback || klass == ip::IANA_Addr_Type::link_local;
    any = any || local[i];
  }
  HXIfIpAddrContainerTS* interfaces = HXZServer::getIfAddrList();
  if (!any && interfaces != nullptr) {
    const HXIfIpAddrContainer& list = interfaces->lockList();
    for (const HXIpIfListItem& item : list.getAddrSet()) {
      const HXNetMask& mask = item.mask();
      const HXIpAddress network = mask.net(item);
      for (size_t i = 0; i < m_targetAddrs.size(); ++i) {
        if (m_targetAddrs[i].family() != mask.family()) continue;
        if (mask.net(m_targetAddrs[i]).cmp(network) == 0) local[i] = any = true;
      }
    }
    interfaces->unlockList();
  }
  if (!any) return false;
  std::vector<HXSockAddr> kept;
  for (size_t i = 0; i < m_targetAddrs.size(); ++i) {
    if (local[i]) kept.push_back(m_targetAddrs[i]);
  }
  m_targetAddrs = std::move(kept);
  return true;
}

bool HX_ProxySelector::processLookup() {
  if ((m_flags & kTargetResolved) && (m_flags & kTargetLocal)) return connectDirect();
  if (HX_ProxyList* list = HXZServer::getProxyList()) {
    if (checkCached(*list) || checkProxy(*list)) return true;
  }
  if (m_flags & kTargetResolved) return connectDirect();
  return true;  // the target's answer is awaited
}

bool HX_ProxySelector::connectDirect() {
  auto config = std::make_shared<Config>(HX_ProxyList::getNullProxyDescriptor(),
                                         ProxyListIterator(), m_targetAddrs);
  return proxyFound(std::move(config), !m_targetAddrs.empty());
}

bool HX_ProxySelector::proxyFound(std::shared_ptr<Config> config, bool ok) {
  stop();
  m_stage = stageHandedOver;
  return onProxyFound(std::move(config), ok);
}

void HX_ProxySelector::OnCallbackQueryA(const std::string& host,
                                        const std::vector<std::string>& list) {
  if (m_stage == stageHandedOver || !m_target) return;
  if (!(m_flags & kTargetResolved) && host == m_target->getAddrStr()) {
    onTargetResolved(list);
    processLookup();
    return;
  }
  if (m_candidate && host == m_candidate->getDescriptor()->getHost()) {
    resolveInto(m_proxyAddrs, list, m_candidate->getDescriptor()->getPort());
    m_flags |= kProxyResolved;
  }
  processLookup();
}

void HX_ProxySelector::takeCandidate(std::shared_ptr<Config> config, Stage stage) {
  m_candidate = std::move(config);
  m_stage = stage;
  m_flags &= ~kProxyResolved;
  // Addresses of an earlier candidate must not end up in this one.
  m_proxyAddrs.clear();
}

void HX_ProxySelector::dropCandidate() {
  m_candidate.reset();
  m_flags &= ~kProxyResolved;
  m_proxyAddrs.clear();
  m_position.rewind();
  m_stage = stageNone;
}

void HX_ProxySelector::resolveCandidate() {
  const auto& descriptor = m_candidate->getDescriptor();
  std::vector<std::string> answer;
  if (!lookup(descriptor->getHost(), answer)) return;
  resolveInto(m_proxyAddrs, answer, descriptor->getPort());
  m_flags |= kProxyResolved;
}

bool HX_ProxySelector::checkCached(HX_ProxyList& list) {
  const std::string key = m_target->getAddrStr();
  std::shared_ptr<Config> cached = list.cacheGet(key);
  if (!cached) {
    // The cached candidate has left the list: walk it from the start.
    if (m_stage == stageCached) dropCandidate();
    return false;
  }
  if (cached != m_candidate) {
    takeCandidate(cached, stageCached);
    resolveCandidate();
  }
  if (!(m_flags & kProxyResolved)) return true;  // the proxy's answer is awaited
  if (!m_proxyAddrs.empty() && cached->sameAddrList(m_proxyAddrs) && proxyFound(cached, true)) {
    return true;
  }
  // The proxy's addresses changed (or it has none): forget it for this target.
  list.cacheRemove(key, cached.get());
  dropCandidate();
  return false;
}

bool HX_ProxySelector::checkProxy(HX_ProxyList& list) {
  for (auto descriptor = list.getProxyDescriptor(&m_position); descriptor;
       descriptor = list.getNextDescriptor(m_position)) {
    if (!descriptor->isReady()) continue;
    if (m_stage == stageNone) {
      std::shared_ptr<Config> config = list.getProxyConfig(m_position);
      if (!config) return false;
      takeCandidate(std::move(config), stageListWalk);
      resolveCandidate();
    }
    if (m_flags & kProxyResolved) {
      if (m_proxyAddrs.empty()) {
        m_stage = stageNone;  // the proxy's host gives no address: skip it
        continue;
      }
      m_candidate->setAddrList(std::move(m_proxyAddrs));
      m_proxyAddrs.clear();
      if (!proxyFound(m_candidate, true)) {
        m_stage = stageNone;
        continue;
      }
      list.cacheAdd(m_target->getAddrStr(), m_candidate);
    }
    if (m_stage != stageNone) return true;
  }
  return false;
}
