#pragma once
// The ordered list of configured proxies, owned by the network loop, and the cache that remembers
// which proxy worked for which target. Entries are tried in the order they were added; each has an
// ordinal that is never reused while the list lives.
//
// Thread-safe: the host adds and clears entries on its own thread while connections on the
// network loop's thread read them; every operation holds the list lock.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/proxy/proxy_descriptor.h"
#include "core/net/proxy/proxy_list_iterator.h"
#include "core/net/proxy/sequence_producer.h"

class HX_ProxyAuthenticator;
namespace hx::netproxy {
class GuiAuthHelper;
}

class HX_ProxyList {
 public:
  struct ProxyPair {
    std::shared_ptr<HX_ProxyDescriptor> descriptor;
    // Made on first request, then kept with the entry.
    std::shared_ptr<hx::netproxy::Config> config;
  };

  HX_ProxyList();
  HX_ProxyList(const HX_ProxyList&) = delete;
  HX_ProxyList& operator=(const HX_ProxyList&) = delete;
  ~HX_ProxyList();

  // Appends `descriptor` under the next ordinal.
  void addProxyDescriptor(std::shared_ptr<HX_ProxyDescriptor> descriptor);

  // Without iterator: the first entry's descriptor. With an iterator before the first entry: the
  // first entry's descriptor, and the iterator moves to it. Otherwise the entry the iterator
  // names, or empty. Empty for an empty list (the iterator unchanged).
  std::shared_ptr<HX_ProxyDescriptor> getProxyDescriptor(hx::netproxy::ProxyListIterator* position);
  // The entry after the iterator's, which the iterator moves to; empty (the iterator unchanged)
  // when there is none.
  std::shared_ptr<HX_ProxyDescriptor> getNextDescriptor(hx::netproxy::ProxyListIterator& position);
  // The configuration of the entry the iterator names, made on the first call and the same object
  // on every later one; empty when there is no such entry.
  std::shared_ptr<hx::netproxy::Config> getProxyConfig(const hx::netproxy::ProxyListIterator& position);

  // The process's one "no proxy" descriptor; releasing every pointer to it never frees it.
  static std::shared_ptr<HX_ProxyDescriptor> getNullProxyDescriptor();

  // Remembers that `config` serves `target_key`, while the list has its entry.
  void cacheAdd(const std::string& target_key, const std::shared_ptr<hx::netproxy::Config>& config);
  // The configuration cached for `target_key` (which may be empty when its entry has not made
  // one yet). A key whose entry is gone is forgotten, and the answer is empty.
  std::shared_ptr<hx::netproxy::Config> cacheGet(const std::string& target_key);
  // Forgets `target_key`, or, with a configuration, only when the key points at its entry.
  void cacheRemove(const std::string& target_key, const hx::netproxy::Config* config);

  // Removes every entry and every cached key; the numbering goes on and the authenticator stays.
  void clear();

  // The authenticator, or null while no helper was ever installed.
  HX_ProxyAuthenticator* getAuthenticator();
  // Makes the authenticator when there is none and installs `helper` in it.
  void setGuiHelper(std::shared_ptr<hx::netproxy::GuiAuthHelper> helper);

 private:
  using EntryMap = std::map<uint32_t, ProxyPair>;

  // The entry with exactly this ordinal, or end().
  EntryMap::iterator findEntry(uint32_t ordinal);

  std::shared_ptr<HX_ProxyAuthenticator> m_authenticator;
  std::map<std::string, uint32_t> m_cache;
  HXLock m_lock;
  hx::netproxy::SequenceProducer m_ordinals;
  EntryMap m_entries;
};
