#include "core/net/proxy/proxy_list.h"

#include <utility>

#include "core/net/proxy/proxy_authenticator.h"

using hx::netproxy::Config;
using hx::netproxy::ProxyListIterator;

HX_ProxyList::HX_ProxyList() = default;
HX_ProxyList::~HX_ProxyList() = default;

HX_ProxyList::EntryMap::iterator HX_ProxyList::findEntry(uint32_t ordinal) {
  return m_entries.find(ordinal);
}

void HX_ProxyList::addProxyDescriptor(std::shared_ptr<HX_ProxyDescriptor> descriptor) {
  HXAutoLock guard(m_lock);
  m_entries[m_ordinals.getNextSeqId()] = ProxyPair{std::move(descriptor), nullptr};
}

std::shared_ptr<HX_ProxyDescriptor> HX_ProxyList::getProxyDescriptor(ProxyListIterator* position) {
  HXAutoLock guard(m_lock);
  if (m_entries.empty()) return nullptr;
  if (position == nullptr) return m_entries.begin()->second.descriptor;
  if (position->beforeFirst()) {
    position->setOrdinal(m_entries.begin()->first);
    return m_entries.begin()->second.descriptor;
  }
  auto it = findEntry(position->ordinal());
  return it == m_entries.end() ? nullptr : it->second.descriptor;
}

std::shared_ptr<HX_ProxyDescriptor> HX_ProxyList::getNextDescriptor(ProxyListIterator& position) {
  HXAutoLock guard(m_lock);
  // "Before the first" is the largest ordinal, so nothing follows it.
  auto it = m_entries.upper_bound(position.ordinal());
  if (it == m_entries.end()) return nullptr;
  position.setOrdinal(it->first);
  return it->second.descriptor;
}

std::shared_ptr<Config> HX_ProxyList::getProxyConfig(const ProxyListIterator& position) {
  HXAutoLock guard(m_lock);
  auto it = findEntry(position.ordinal());
  if (it == m_entries.end()) return nullptr;
  if (!it->second.config) {
    it->second.config = std::make_shared<Config>(it->second.descriptor, position);
  }
  return it->second.config;
}

std::shared_ptr<HX_ProxyDescriptor> HX_ProxyList::getNullProxyDescriptor() {
  static HX_ProxyDescriptorDummy null_proxy;
  static const std::shared_ptr<HX_ProxyDescriptor> shared(&null_proxy,
                                                          [](HX_ProxyDescriptor*) {});
  return shared;
}

void HX_ProxyList::cacheAdd(const std::string& target_key, const std::shared_ptr<Config>& config) {
  if (!config) return;
  HXAutoLock guard(m_lock);
  if (findEntry(config->getOrdinal()) == m_entries.end()) return;
  m_cache[target_key] = config->getOrdinal();
}

std::shared_ptr<Config> HX_ProxyList::cacheGet(const std::string& target_key) {
  HXAutoLock guard(m_lock);
  auto cached = m_cache.find(target_key);
  if (cached == m_cache.end()) return nullptr;
  auto entry = findEntry(cached->second);
  if (entry == m_entries.end()) {
    m_cache.erase(cached);
    return nullptr;
  }
  return entry->second.config;
}

void HX_ProxyList::cacheRemove(const std::string& target_key, const Config* config) {
  HXAutoLock guard(m_lock);
  auto cached = m_cache.find(target_key);
  if (cached == m_cache.end()) return;
  if (config == nullptr || cached->second == config->getOrdinal()) m_cache.erase(cached);
}

void HX_ProxyList::clear() {
  HXAutoLock guard(m_lock);
  m_entries.clear();
  m_cache.clear();
}

HX_ProxyAuthenticator* HX_ProxyList::getAuthenticator() {
  HXAutoLock guard(m_lock);
  return m_authenticator.get();
}

void HX_ProxyList::setGuiHelper(std::shared_ptr<hx::netproxy::GuiAuthHelper> helper) {
  HX_ProxyAuthenticator* authenticator = nullptr;
  {
    HXAutoLock guard(m_lock);
    if (!m_authenticator) m_authenticator = std::make_shared<HX_ProxyAuthenticator>();
    authenticator = m_authenticator.get();
  }
  // Outside the list lock: the authenticator takes its own.
  authenticator->setGuiHelper(std::move(helper));
}
